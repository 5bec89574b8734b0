// A quomvlsv installation for one test, started through svcctl.
#include "service_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "quorin/platform.h"

ServiceTest::ServiceTest() {
  calls_path = install.dir() + "/calls.txt";
  times_path = install.dir() + "/times.txt";
  script_path = install.dir() + "/script.ini";
  reboot_record = install.dir() + "/reboot.txt";
  install.add("quomvlsv");
  install.add("libquorin_platform.so");
  install.apply_env();
}

ServiceTest::~ServiceTest() {
  if (started) Stop();
  // Whatever the service printed (sanitizer reports in sanitizer builds) goes to this file.
  std::string printed = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor.out");
  EXPECT_EQ(std::string::npos, printed.find("Sanitizer")) << printed;
  EXPECT_EQ(std::string::npos, printed.find("runtime error")) << printed;
}

void ServiceTest::WriteConfig(const std::string &ini) {
  qt::write_file(install.data("ky_e_net.ini"), ini);
}

void ServiceTest::WriteScript(const std::string &ini) {
  qt::write_file(script_path, ini);
}

std::map<std::string, std::string> ServiceTest::Env() const {
  std::map<std::string, std::string> env = install.env();
  env["QUORIN_TIME_SCALE"] = "100";
  env["QUORIN_REBOOT_COMMAND"] = "echo reboot >> " + reboot_record;
  env["QT_FAKE_SCRIPT"] = script_path;
  env["QT_FAKE_CALLS"] = calls_path;
  env["QT_FAKE_TIMES"] = times_path;
  env["SVCCTL_TIMEOUT_MS"] = "20000";
  for (const auto &[k, v] : extra_env) env[k] = v;
  return env;
}

std::string ServiceTest::Svcctl(const std::vector<std::string> &args, int *status) {
  std::vector<std::string> argv;
  if (!args.empty() && args[0] == "start") argv = start_wrapper;
  argv.push_back(qt::out_dir() + "/svcctl");
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  int rc = qt::run(argv, Env(), &out);
  if (status != nullptr) *status = rc;
  return out;
}

void ServiceTest::InstallLibraries() {
  // "out:NAME" takes the built deliverable NAME, any other name a test library.
  auto add_library = [this](const std::string &library, const char *installed_as) {
    if (library.empty()) return;
    if (library.rfind("out:", 0) == 0)
      install.add(library.substr(4), installed_as);
    else
      install.add(library, installed_as, true);
  };
  add_library(snmp_library, "SNMPUPS.DLL");
  add_library(vex_library, "ky_vexapi4.dll");
}

void ServiceTest::Start(bool wait_for_init) {
  InstallLibraries();
  // Lines of an earlier start stay in the log: only a line written after this start counts.
  size_t written_before = Log().size();
  int status = -1;
  std::string out = Svcctl({"start", "Mavr_tsr_monitor", install.dir() + "/quomvlsv"}, &status);
  ASSERT_EQ(0, status) << out;
  started = true;
  if (wait_for_init) {
    ASSERT_TRUE(WaitForLog("Delayed initialization completed", written_before)) << qt::read_file(LogPath());
  }
}

void ServiceTest::Stop() {
  int status = -1;
  std::string out = Svcctl({"stop", "Mavr_tsr_monitor"}, &status);
  started = false;
  EXPECT_EQ(0, status) << out;
}

std::string ServiceTest::Send(const std::string &request) {
  // The pipe may not be served yet just after the start, or be between instances: wait for
  // it a little, as a client would.
  qp_pipe *pipe = nullptr;
  uint32_t opened = ERROR_FILE_NOT_FOUND;
  for (int attempt = 0; attempt < 100; ++attempt) {
    opened = qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe);
    if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PIPE_BUSY) break;
    qp_pipe_wait("\\\\.\\pipe\\npquomvl1", 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (opened != ERROR_SUCCESS) return "<no pipe>";
  uint32_t done = 0;
  qp_pipe_write(pipe, request.data(), static_cast<uint32_t>(request.size()), &done);
  char reply[4096];
  std::string result;
  if (qp_pipe_read(pipe, reply, sizeof reply, &done) == ERROR_SUCCESS) result.assign(reply, done);
  qp_pipe_close(pipe);
  return result;
}

std::vector<LogEntry> ServiceTest::Log() const {
  std::string content = qt::read_file(LogPath());
  std::vector<LogEntry> entries;
  if (content.size() < 9) return entries;
  long end = 9 + atol(content.substr(0, 8).c_str());
  std::istringstream in(content.substr(9, static_cast<size_t>(end) - 9));
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 31) continue;
    LogEntry e;
    e.stamp = line.substr(0, 19);
    e.mark = line[19];
    std::string code = line.substr(21, 8);
    if (line[4] == '/' && line[20] == '[' && line[29] == ']') {
      EXPECT_EQ(std::string::npos, code.find_first_not_of("0123456789abcdef")) << "code of: " << line;
    }
    e.code = static_cast<unsigned>(strtoul(code.c_str(), nullptr, 16));
    e.text = line.substr(31);
    entries.push_back(e);
  }
  return entries;
}

std::vector<std::string> ServiceTest::LogTexts() const {
  std::vector<std::string> texts;
  for (const LogEntry &e : Log()) texts.push_back(e.text);
  return texts;
}

bool ServiceTest::LogHas(const std::string &text) const {
  return FindText(LogTexts(), text) >= 0;
}

bool ServiceTest::WaitForLog(const std::string &text, size_t from, int timeout_ms) const {
  return qt::wait_until([&] { return FindText(LogTexts(), text, static_cast<int>(from)) >= 0; },
                        std::chrono::milliseconds(timeout_ms));
}

std::vector<std::string> ServiceTest::Calls() const {
  std::vector<std::string> calls;
  std::istringstream in(qt::read_file(calls_path));
  std::string line;
  while (std::getline(in, line)) calls.push_back(line);
  return calls;
}

std::vector<long> ServiceTest::InitCallTimes() const {
  std::vector<long> times;
  std::istringstream in(qt::read_file(times_path));
  for (long t; in >> t;) times.push_back(t);
  return times;
}

int FindText(const std::vector<std::string> &texts, const std::string &text, int from) {
  for (size_t i = static_cast<size_t>(from); i < texts.size(); ++i)
    if (texts[i] == text) return static_cast<int>(i);
  return -1;
}
