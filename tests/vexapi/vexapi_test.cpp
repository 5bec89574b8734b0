// ky_vexapi4.dll loaded by a host process per configuration, against the scripted cluster tool
// stand-ins on PATH: load step, log, runner, the seven exports and their concurrency.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "timing.h"

namespace {

const std::string kOpen = "\x81\x73";   // entry mark
const std::string kClose = "\x81\x74";  // exit mark

// "[code]: message" as the log writes it, with its line end.
std::string logLine(uint32_t code, const std::string &message) {
  char head[24];
  snprintf(head, sizeof head, "[%08x]: ", code);
  return head + message + "\r\n";
}

// Whether LINE has the shape of PATTERN: 'A' an upper-case letter, 'a' a lower-case one, '9' a
// digit, 'x' a lower-case hexadecimal digit, '*' any rest; every other character stands for itself.
bool shaped(const std::string &line, const std::string &pattern) {
  size_t i = 0;
  for (char p : pattern) {
    if (p == '*') return true;
    if (i >= line.size()) return false;
    char c = line[i++];
    bool ok = p == 'A'   ? isupper(static_cast<unsigned char>(c))
              : p == 'a' ? islower(static_cast<unsigned char>(c))
              : p == '9' ? isdigit(static_cast<unsigned char>(c))
              : p == 'x' ? isxdigit(static_cast<unsigned char>(c)) && !isupper(static_cast<unsigned char>(c))
                         : c == p;
    if (!ok) return false;
  }
  return i == line.size();
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Whether a line of TEXT contains HEAD (up to its '*') and ends with TAIL.
bool has_line_like(const std::string &text, const std::string &head, const std::string &tail) {
  std::string fixed = head.substr(0, head.find('*'));
  for (const std::string &line : lines(text))
    if (line.find(fixed) != std::string::npos && line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      return true;
  return false;
}

// Values of the "clock=" lines a host printed (real milliseconds), in order.
std::vector<long long> clocks(const std::string &out) {
  std::vector<long long> values;
  for (const std::string &line : lines(out))
    if (line.rfind("clock=", 0) == 0) values.push_back(std::stoll(line.substr(6)));
  return values;
}

// Real milliseconds between the first and the last "clock=" line of OUT (-1 without two).
long long clocked_ms(const std::string &out) {
  std::vector<long long> values = clocks(out);
  return values.size() < 2 ? -1 : values.back() - values.front();
}

// One run of a stand-in tool: its start and end in microseconds of the monotonic clock.
struct Span {
  long long begin, end;
};

// Checks the pauses of a retry loop between the runs of RUNS from index FROM on: from the end of
// one run to the start of the next, PAUSE_MS real milliseconds within the bounds of qt::timing,
// and the start of the next run's process (a step) besides.
void expect_paused(const std::vector<Span> &runs, size_t from, long pause_ms) {
  ASSERT_GE(runs.size(), from + 2);
  std::vector<long> pauses;
  for (size_t i = from + 1; i < runs.size(); ++i)
    pauses.push_back(static_cast<long>((runs[i].begin - runs[i - 1].end) / 1000));
  EXPECT_TRUE(qt::PausesNominal(pauses, pause_ms, "pause between two runs", qt::kLongestStepMs));
}

// The real milliseconds the library's load step took, as the host printed them (-1 without).
long load_ms(const std::string &out) {
  size_t at = out.find("load_ms=");
  return at == std::string::npos ? -1 : atol(out.c_str() + at + 8);
}

class VexApiTest : public ::testing::Test {
 protected:
  qt::Install install_{"vex"};
  qt::TempDir script_{"tsr"};

  std::map<std::string, std::string> env(unsigned scale = 1000) const {
    auto e = install_.env();
    e["QUORIN_TSR_SCRIPT_DIR"] = script_.path();
    e["QUORIN_TIME_SCALE"] = std::to_string(scale);
    return e;
  }
  void codes(const std::string &tool, const std::string &list) {
    qt::write_file(script_ / (tool + ".codes"), list);
  }
  // Output of every run of TOOL, or of run RUN (1 = its first run) only.
  void output(const std::string &tool, const std::string &text, int run = 0) {
    qt::write_file(script_ / (tool + ".out" + (run > 0 ? "." + std::to_string(run) : "")), text);
  }
  std::vector<std::string> host_argv(const std::vector<std::string> &commands) const {
    std::vector<std::string> argv = {qt::test_bin_dir() + "/qt_vex_host", qt::out_dir() + "/ky_vexapi4.dll"};
    argv.insert(argv.end(), commands.begin(), commands.end());
    return argv;
  }
  // Runs one host process to its end and returns what it printed.
  std::string host(const std::vector<std::string> &commands, const std::map<std::string, std::string> &e) {
    std::string out;
    int status = qt::run(host_argv(commands), e, &out);
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("load=ok")) << out;
    return out;
  }
  std::string host(const std::vector<std::string> &commands) { return host(commands, env()); }
  std::string log() const { return qt::read_file(install_.data("ky_vexapi4.log")); }
  // Invocations recorded by the stand-ins ("tool args"), in order.
  std::vector<std::string> calls() const { return lines(qt::read_file(script_ / "calls.log")); }
  int calls_of(const std::string &invocation) const {
    auto all = calls();
    return static_cast<int>(std::count(all.begin(), all.end(), invocation));
  }
  // Runs of TOOL recorded by the stand-ins, in the order they started.
  std::vector<Span> spans_of(const std::string &tool) const {
    std::vector<Span> runs;
    for (const std::string &line : lines(qt::read_file(script_ / "spans.log"))) {
      char name[16];
      Span span{};
      if (sscanf(line.c_str(), "%15s %lld %lld", name, &span.begin, &span.end) == 3 && tool == name)
        runs.push_back(span);
    }
    std::sort(runs.begin(), runs.end(), [](const Span &a, const Span &b) { return a.begin < b.begin; });
    return runs;
  }
  // Starts the stand-ins' records afresh for a further host run of the same test.
  void reset_records(const std::string &tool) {
    for (const std::string &name : {std::string("calls.log"), std::string("spans.log")})
      qt::write_file(script_ / name, "");
    qt::write_file(script_ / (tool + ".count"), "0");
  }
};

TEST_F(VexApiTest, ExportsOnlyTheSevenEntries) {
  std::string out;
  ASSERT_EQ(0, qt::run({"nm", "-D", "--defined-only", qt::out_dir() + "/ky_vexapi4.dll"}, {}, &out));
  std::vector<std::string> names;
  for (const std::string &line : lines(out)) names.push_back(line.substr(line.rfind(' ') + 1));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"VexClusterShutdown", "VexEnumServer", "VexGetClusterName",
                                      "VexGetServerStatus", "VexInitializeApi", "VexServerShutdown",
                                      "VexTerminateApi"}),
            names);
}

TEST_F(VexApiTest, RegistryReadsAtLoadAreRetriedElevenTimes) {
  // Ten failed opens, or ten failed reads of "PathName", then success: the install directory
  // is still found, after ten 100 ms pauses in the load step.
  for (const char *fault : {"reg_open:0:10", "reg_query:0:10"}) {
    EXPECT_TRUE(qt::TakesNominal(
        10 * 100,
        [&] {
          qt::write_file(install_.data("ky_vexapi4.log"), "");
          auto e = env(1);
          e["QUORIN_FAULTS"] = fault;
          return load_ms(host({}, e));
        },
        fault));
    EXPECT_NE(std::string::npos, log().find(logLine(2, "===== load ky_vexapi4.dll ====="))) << fault;
  }
  // Eleven failures: the library gives up and has no install directory to write in.
  for (const char *fault : {"reg_open:0:11", "reg_query:0:11"}) {
    qt::write_file(install_.data("ky_vexapi4.log"), "");
    auto e = env();
    e["QUORIN_FAULTS"] = fault;
    host({}, e);
    EXPECT_EQ("", log()) << fault;
  }
}

TEST_F(VexApiTest, LoadWritesTheModeBackAndLogsLoadAndUnload) {
  std::string settings = install_.data("ky_vexapi4.apc");
  host({});
  EXPECT_NE(std::string::npos, qt::read_file(settings).find("[LocalLog]")) << qt::read_file(settings);
  EXPECT_NE(std::string::npos, qt::read_file(settings).find("Mode=2"));
  std::vector<std::string> logged = lines(log());
  ASSERT_EQ(2u, logged.size()) << log();
  EXPECT_TRUE(shaped(logged[0], "Aaa 99 99:99:99 [xxxxxxxx]: *")) << logged[0];
  EXPECT_EQ('\r', logged[0].back());
  EXPECT_NE(std::string::npos, log().find(logLine(2, "===== load ky_vexapi4.dll =====")));
  EXPECT_NE(std::string::npos, log().find(logLine(0, "unload ky_vexapi4.dll")));

  // A settings file without the section keeps its other content and gains the key.
  qt::write_file(settings, "[Other]\r\nKey=1\r\n");
  host({});
  std::string text = qt::read_file(settings);
  EXPECT_NE(std::string::npos, text.find("[Other]\r\nKey=1\r\n")) << text;
  EXPECT_NE(std::string::npos, text.find("[LocalLog]\r\nMode=2\r\n")) << text;

  // Values out of range count as 2 and are left as they are; 0 and 1 are taken.
  for (const auto &[stored, mode] :
       std::vector<std::pair<std::string, uint32_t>>{{"7", 2}, {"-1", 2}, {"1", 1}, {"0", 0}}) {
    qt::write_file(settings, "[LocalLog]\r\nMode=" + stored + "\r\n");
    qt::write_file(install_.data("ky_vexapi4.log"), "");
    host({});
    EXPECT_NE(std::string::npos, log().find(logLine(mode, "===== load ky_vexapi4.dll =====")))
        << stored << log();
    EXPECT_EQ("[LocalLog]\r\nMode=" + stored + "\r\n", qt::read_file(settings));
  }
}

TEST_F(VexApiTest, LogRotatesOncePast500000Bytes) {
  std::string path = install_.data("ky_vexapi4.log");
  // Exactly at the limit the file still takes the load line; the unload line then rotates.
  qt::write_file(path, std::string(500000, 'a'));
  host({});
  std::string rotated = qt::read_file(path + ".1");
  ASSERT_GT(rotated.size(), 500000u);
  EXPECT_EQ(std::string(500000, 'a'), rotated.substr(0, 500000));
  std::vector<std::string> appended = lines(rotated.substr(500000));
  ASSERT_EQ(1u, appended.size());
  EXPECT_NE(std::string::npos, appended[0].find("===== load ky_vexapi4.dll =====\r"));
  EXPECT_EQ(1u, lines(qt::read_file(path)).size());

  // One byte more: the next line starts a new file; the full one replaces the old companion.
  std::string full(500001, 'b');
  qt::write_file(path, full);
  qt::write_file(path + ".1", "older rotation");
  host({});
  EXPECT_EQ(full, qt::read_file(path + ".1"));
  std::vector<std::string> fresh = lines(qt::read_file(path));
  ASSERT_EQ(2u, fresh.size());
  EXPECT_NE(std::string::npos, fresh[0].find("===== load ky_vexapi4.dll ====="));
}

TEST_F(VexApiTest, InitialiseWaitsForTheStatusToolToAnswer) {
  codes("tsrstat", "1 0");
  // The 120 s window must hold two runs of the status tool and the 5 s pause between them, with
  // room to spare on a loaded machine.
  std::string out = host({"init", "120", "7", "term", "status"}, env(qt::ScaleForWindow(120000, 2, 1, 5000)));
  EXPECT_NE(std::string::npos, out.find("init=1 handle=0 ")) << out;
  EXPECT_EQ(2, calls_of("tsrstat --rc"));
  // Terminating closes the handles but leaves the library initialised.
  EXPECT_NE(std::string::npos, out.find("term=1\nstatus=1 state=0x10000 ")) << out;
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find(logLine(7, kOpen + " VexInitializeApi " + kClose))) << text;
  EXPECT_NE(std::string::npos, text.find(logLine(2, "error : not opend quorinky_tsrx_mutex")));
  EXPECT_NE(std::string::npos, text.find(logLine(0, kClose + "VexInitializeApi" + kOpen)));
  EXPECT_NE(std::string::npos, text.find(logLine(0, kOpen + " VexTerminateApi " + kClose)));
  EXPECT_NE(std::string::npos, text.find(logLine(0, kClose + "VexTerminateApi " + kOpen)));
  EXPECT_EQ(std::string::npos, text.find("not found TESSERA Service."));
  EXPECT_EQ(std::string::npos, text.find("RunCommand Error"));  // a tool that answers 1 is no run error
}

TEST_F(VexApiTest, InitialiseGivesUpWaitingAfterItsLimitButCountsAsInitialised) {
  codes("tsrstat", "1");
  // Every run answers 1: a run, a 5 s pause, and so on, until the first look after 120 s. What
  // is checked holds whatever the runs take; the window need only hold a run and a pause with
  // room to spare.
  const unsigned scale = qt::ScaleForWindow(120000, 1, 1, 5000);
  const long window_ms = 120000 / scale, pause_ms = 5000 / scale;
  std::string out = host({"clock", "init", "120", "clock", "cshut", "5", "3"}, env(scale));
  EXPECT_NE(std::string::npos, out.find("init=1 ")) << out;
  // The call lasts the window, and at most one pause and one run more.
  EXPECT_TRUE(qt::WithinNominal(clocked_ms(out), window_ms, "initialisation", qt::kLongestStepMs));
  std::vector<Span> runs = spans_of("tsrstat");
  ASSERT_GE(runs.size(), 2u);
  EXPECT_EQ(static_cast<int>(runs.size()), calls_of("tsrstat --rc"));
  expect_paused(runs, 0, pause_ms);
  // The last run was started inside the window (it notes its start once its process runs, a
  // step later), and the pause after it reached past the window's end, whatever the runs took.
  const Span &first = runs.front(), &last = runs.back();
  EXPECT_LT((last.begin - first.begin) / 1000, window_ms + qt::kLongestStepMs);
  EXPECT_GE((last.end - first.begin) / 1000 + qt::LatestMs(pause_ms), window_ms);
  EXPECT_EQ(1, qt::count_of(log(), logLine(0, "not found TESSERA Service.")));
  EXPECT_NE(std::string::npos, out.find("cshut=1 ")) << out;  // the library is initialised
}

TEST_F(VexApiTest, MissingToolFailsInitialisationAtOnceWithError2) {
  qt::TempDir empty("nopath");
  auto e = env(1);  // real time: a pause would last 5 s
  e["PATH"] = empty.path();
  std::string out = host({"clock", "init", "120", "clock", "status"}, e);
  EXPECT_NE(std::string::npos, out.find("init=0 handle=0 error=0x2\n")) << out;
  EXPECT_LT(clocked_ms(out), 2500) << out;
  EXPECT_NE(std::string::npos, out.find("status=0 state=0x0 error=0x20000004")) << out;
  std::string text = log();
  EXPECT_EQ(1, qt::count_of(text, logLine(2, "CreateProcess Error!<RunCommand>"))) << text;
  EXPECT_EQ(1, qt::count_of(text, "CreateProcess Error!"));  // tried once, not retried
  EXPECT_EQ(std::string::npos, text.find("not found TESSERA Service."));
  EXPECT_NE(std::string::npos, text.find(logLine(0x4000, "RunCommand Error(2 / 0)[tsrstat --rc]...")));
  EXPECT_NE(std::string::npos, text.find(logLine(0, "VexApiInitialze Error!")));
  EXPECT_EQ(std::string::npos, text.find(kClose + "VexInitializeApi" + kOpen));
}

TEST_F(VexApiTest, RunnerReportsOutputFileAndWaitFailures) {
  // The output file's place is taken by a folder that cannot be removed.
  qt::make_dirs(install_.data("VexGetClusterName.txt"));
  qt::write_file(install_.data("VexGetClusterName.txt/keep"), "x");
  output("tsrcfget", "CL1\n");
  std::string out = host({"init", "120", "name", "16"});
  EXPECT_NE(std::string::npos, out.find("name=0 ")) << out;
  EXPECT_EQ(0, calls_of("tsrcfget -g /root/cluster/name"));
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find("not delete[39] : ")) << text;
  EXPECT_NE(std::string::npos, text.find("]: CreateFile Error!<RunCommand>\r\n"));
  // "RunCommand Error(<the Win32 error> / 0)[...]" with the runner's value as the code.
  EXPECT_TRUE(
      has_line_like(text, "[00003000]: RunCommand Error(*", " / 0)[tsrcfget -g /root/cluster/name]...\r"))
      << text;

  // A host that ignores its children's ends cannot wait for the tool.
  out = host({"ignore-sigchld", "init", "120"});
  EXPECT_NE(std::string::npos, out.find("init=0 ")) << out;
  text = log();
  EXPECT_NE(std::string::npos, text.find("]: WaitForSingleObject Error!<RunCommand>\r\n")) << text;
  EXPECT_TRUE(has_line_like(text, "[00005000]: RunCommand Error(*", " / 0)[tsrstat --rc]...\r")) << text;
}

TEST_F(VexApiTest, BlockedOutputFilesOfTheOtherQueriesFailBeforeTheToolRuns) {
  for (const char *name : {"VexEnumServer.txt", "VexGetServerStatus.txt"}) {
    qt::make_dirs(install_.data(name));
    qt::write_file(install_.data(name) + "/keep", "x");
  }
  output("tsrcfget", "alpha\n");
  output("tsrstat", "Cluster : CL1\nCL1 : Start\n");
  std::string out = host({"init", "120", "enum", "0", "status"});
  // The enumeration still succeeds, without a callback; the status fails after its 16 attempts.
  EXPECT_NE(std::string::npos, out.find("enum=1 calls=0 ")) << out;
  EXPECT_NE(std::string::npos, out.find("status=0 state=0x0 ")) << out;
  EXPECT_EQ(0, calls_of("tsrcfget -e /root/server"));
  EXPECT_EQ(0, calls_of("tsrstat --local"));
  std::string text = log();
  EXPECT_EQ(17, qt::count_of(text, "]: CreateFile Error!<RunCommand>\r\n")) << text;
  EXPECT_TRUE(has_line_like(text, "[00003000]: RunCommand Error(*", " / 0)[tsrcfget -e /root/server]...\r"))
      << text;
  EXPECT_TRUE(has_line_like(text, "[00003000]: RunCommand Error(*", " / 0)[tsrstat --local]...\r")) << text;
  EXPECT_EQ(1, qt::count_of(text, "[tsrstat --local]..."));  // logged after the last attempt only
  EXPECT_TRUE(qt::file_exists(install_.data("VexEnumServer.txt/keep")));
  EXPECT_TRUE(qt::file_exists(install_.data("VexGetServerStatus.txt/keep")));
}

TEST_F(VexApiTest, WhatAToolWritesToStandardErrorIsParsedToo) {
  // Standard output and error share the output file, so both reach the parsing.
  output("tsrcfget", "alpha\n");
  qt::write_file(script_ / "tsrcfget.err", "beta\n");
  output("tsrstat", "Cluster : CL1\n");
  qt::write_file(script_ / "tsrstat.err", "  CL1 ..... : Start\n");
  std::string out = host({"init", "120", "enum", "0", "status"});
  EXPECT_NE(std::string::npos, out.find("server[1234]=alpha\nserver[1234]=beta\nenum=1 calls=2 ")) << out;
  EXPECT_NE(std::string::npos, out.find("status=1 state=0x2000000 ")) << out;
}

TEST_F(VexApiTest, ServerShutdownReturnsAtOnceAndANewInitialisationClearsIt) {
  // The tool lasts 2 s; the call returns without waiting for it.
  qt::write_file(script_ / "tsrdown.delay_ms", "2000");
  output("tsrcfget", "CL1\n");
  output("tsrstat", "Cluster : CL1\nCL1 : Stop\n");
  std::string log_path = install_.data("ky_vexapi4.log");
  std::string out = host({"init", "120", "clock", "sshut", "3", "clock", "wait-for", log_path,
                          kClose + " VexServerShutdownResponseThread " + kOpen, "30000", "clock", "name",
                          "16", "init", "120", "name", "16", "status"});
  std::vector<long long> at = clocks(out);
  ASSERT_EQ(3u, at.size()) << out;
  EXPECT_LT(at[1] - at[0], qt::WellBeforeMs(2000)) << out;  // the call returned well before the tool ended
  EXPECT_TRUE(qt::WithinNominal(at[2] - at[0], 2000, "response thread",
                                qt::kLongestStepMs));  // it ended with the tool
  EXPECT_NE(std::string::npos, out.find("sshut=1 ")) << out;
  EXPECT_NE(std::string::npos, out.find("wait-for=1")) << out;
  std::vector<std::string> results;
  for (const std::string &line : lines(out))
    if (line.rfind("name=", 0) == 0 || line.rfind("status=", 0) == 0) results.push_back(line);
  ASSERT_EQ(3u, results.size()) << out;
  EXPECT_NE(std::string::npos, results[0].find("name=0 ")) << out;  // refused after the shutdown
  EXPECT_NE(std::string::npos, results[0].find(" error=0x20000004")) << out;
  EXPECT_EQ(0u, results[1].find("name=1 size=3 ")) << out;           // the new initialisation cleared it
  EXPECT_EQ(0u, results[2].find("status=1 state=0x10000 ")) << out;  // asked the tool again
  EXPECT_EQ(1, calls_of("tsrdown"));
  EXPECT_EQ(1, calls_of("tsrcfget -g /root/cluster/name"));
  EXPECT_EQ(1, calls_of("tsrstat --local"));
}

TEST_F(VexApiTest, MutexCreationIsRetried) {
  auto e = env();
  e["QUORIN_FAULTS"] = "mutex_create:0:2";  // the log mutex at load fails twice
  host({}, e);
  std::string text = log();
  EXPECT_EQ(1, qt::count_of(text, "error : not created mutex")) << text;
  EXPECT_EQ(1, qt::count_of(text, "]: created mutex\r\n"));
  EXPECT_LT(text.find("created mutex\r\n"), text.find("===== load"));

  // Eleven attempts: ten failures leave the last one, eleven leave no mutex (and no line that
  // one was created).
  for (int failures : {10, 11}) {
    qt::write_file(install_.data("ky_vexapi4.log"), "");
    e["QUORIN_FAULTS"] = "mutex_create:0:" + std::to_string(failures);
    host({}, e);
    text = log();
    EXPECT_EQ(1, qt::count_of(text, "error : not created mutex")) << failures << text;
    EXPECT_EQ(failures == 10 ? 1 : 0, qt::count_of(text, "]: created mutex\r\n")) << failures << text;
    EXPECT_EQ(1, qt::count_of(text, "===== load ky_vexapi4.dll =====")) << failures << text;
  }

  // One failure: the load step pauses 5 s (a fifth of it at scale 5) before the next attempt.
  constexpr unsigned kScale = 5;
  EXPECT_TRUE(qt::TakesNominal(
      5000 / kScale,
      [&] {
        auto once = env(kScale);
        once["QUORIN_FAULTS"] = "mutex_create:0:1";
        return load_ms(host({}, once));
      },
      "pause after a failed mutex creation"));
}

TEST_F(VexApiTest, AStaleOutputFileIsRemovedWithFiftyAttempts) {
  output("tsrcfget", "CL1\n");
  // A removal that fails 49 times succeeds on its fiftieth attempt; one that fails 50 times is
  // logged and the query goes on over the old file. Either way the output is read and removed
  // afterwards (one removal more).
  for (int failures : {49, 50}) {
    qt::write_file(install_.data("VexGetClusterName.txt"), "stale\n");
    qt::write_file(install_.data("ky_vexapi4.log"), "");
    auto e = env();
    e["QT_REMOVE_FAIL"] = "VexGetClusterName.txt:" + std::to_string(failures);
    std::string out = host({"init", "120", "name", "16"}, e);
    EXPECT_NE(std::string::npos, out.find("name=1 size=3 ")) << failures << out;
    EXPECT_NE(std::string::npos, out.find("removes=51\n")) << failures << out;
    EXPECT_EQ(failures == 50 ? 1 : 0, qt::count_of(log(), "]: not delete[13] : ")) << failures << log();
    EXPECT_FALSE(qt::file_exists(install_.data("VexGetClusterName.txt"))) << failures;
  }
}

TEST_F(VexApiTest, ClusterNameIsCutToTheBufferAndReportsItsFullLength) {
  output("tsrcfget", "ABCDE\r\nsecond line\n");
  std::string out = host({"init", "120", "name", "4", "name", "64", "name", "0", "name-null-size"});
  EXPECT_NE(std::string::npos, out.find("name=1 size=5 bytes=41424300 guard=aa")) << out;
  EXPECT_NE(std::string::npos, out.find("name=1 size=5 bytes=4142434445000000")) << out;
  EXPECT_NE(std::string::npos, out.find("name=1 size=5 bytes= guard=aa")) << out;  // nothing written
  EXPECT_NE(std::string::npos, out.find("name=0 error=0x57")) << out;
  EXPECT_EQ(3, calls_of("tsrcfget -g /root/cluster/name"));
  EXPECT_FALSE(qt::file_exists(install_.data("VexGetClusterName.txt")));
  std::string text = log();
  EXPECT_EQ(3, qt::count_of(text, logLine(0, kClose + "VexGetClusterName " + kOpen))) << text;
  EXPECT_EQ(4, qt::count_of(text, kOpen + " VexGetClusterName " + kClose));
}

TEST_F(VexApiTest, ClusterNameFailsOnAFailedToolOrAnEmptyAnswer) {
  codes("tsrcfget", "3 0 0");
  output("tsrcfget", "", 2);
  output("tsrcfget", "\n", 3);
  std::string out = host({"init", "120", "name", "16", "name", "16", "name", "16"});
  EXPECT_EQ(3, qt::count_of(out, "name=0 ")) << out;
  EXPECT_NE(std::string::npos,
            log().find(logLine(0, "RunCommand Error(0 / 3)[tsrcfget -g /root/cluster/name]...")));
}

// Control bytes inside a name from a tool's output are shown escaped in the log, so that the
// name stays on its one line and cannot forge another.
TEST_F(VexApiTest, ControlBytesFromTheToolsAreShownEscapedInTheLog) {
  output("tsrcfget", "be\rta\x1b[2J\n");
  std::string out = host({"init", "120", "enum", "0"});
  EXPECT_NE(std::string::npos, out.find("enum=1 calls=1 ")) << out;
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find(logLine(0x1234, "ServerEnumProc<be\\x0Dta\\x1B[2J>"))) << text;
  EXPECT_EQ(std::string::npos, text.find("\x1b"));
}

TEST_F(VexApiTest, EnumServerCallsBackPerLineAndStopsWhenAsked) {
  codes("tsrcfget", "1 0 0");
  output("tsrcfget", "alpha\r\nbeta\n\n" + std::string(3000, 'x') + "\ngamma", 2);  // no line feed at the end
  output("tsrcfget", "alpha\nbeta\n", 3);
  std::string out = host({"init", "120", "enum", "0", "enum", "0", "enum", "1", "enum-null"});
  std::string cut(1023, 'x');
  EXPECT_NE(std::string::npos, out.find("server[1234]=alpha\nserver[1234]=beta\nserver[1234]=" + cut +
                                        "\nserver[1234]=gamma\nenum=1 calls=4 error=0x0\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("server[1234]=alpha\nenum=1 calls=1 ")) << out;
  EXPECT_NE(std::string::npos, out.find("enum=1 calls=0 ")) << out;  // a failed run still succeeds
  EXPECT_NE(std::string::npos, out.find("enum=0 error=0x57")) << out;
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find(logLine(0x1234, "ServerEnumProc<alpha>"))) << text;
  EXPECT_NE(std::string::npos, text.find(logLine(0x77, "ServerEnumProct Error!")));
  EXPECT_NE(std::string::npos, text.find(logLine(0, "RunCommand Error(0 / 1)[tsrcfget -e /root/server]...")));
  EXPECT_EQ(3, calls_of("tsrcfget -e /root/server"));
  EXPECT_FALSE(qt::file_exists(install_.data("VexEnumServer.txt")));
}

TEST_F(VexApiTest, ServerStatusReadsTheClusterLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Cluster : CL1\r\n  CL1 ........ : Start\r\n", "0x2000000"},
      {"Cluster : CL1\n  CL1 ........ : Stop\n", "0x10000"},
      {"  CL1 : Start\n", "0x10000"},  // no cluster named
      {"Cluster : CL1\nCL1x : Start\nnode1 : Online\nCL1 . . : Started\n", "0x2000000"},
      {"Cluster : CL1\nCL1 Start\n", "0x10000"},  // a name without a colon
      {"Cluster : \n : Start\n", "0x10000"},      // an empty name matches nothing
      {std::string("\x01\x02\xff\x00junk\x7f", 9), "0x10000"},
      {std::string(2 * 1024 * 1024, 'x'), "0x10000"},                             // huge, without a line feed
      {"Cluster : CL1\n" + std::string(5000, 'y') + "CL1 : Start\n", "0x10000"},  // the cut rest is no line
      {"Cluster : CL1\nCL1 : Start", "0x2000000"},  // last line without a line feed
  };
  std::vector<std::string> commands = {"init", "120"};
  for (size_t i = 0; i < cases.size(); ++i) {
    output("tsrstat", cases[i].first, static_cast<int>(i) + 2);  // run 1 is the initialisation
    commands.push_back("status");
  }
  std::vector<std::string> results;
  for (const std::string &line : lines(host(commands)))
    if (line.rfind("status=", 0) == 0) results.push_back(line);
  ASSERT_EQ(cases.size(), results.size());
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(0u, results[i].find("status=1 state=" + cases[i].second + " "))
        << "case " << i << ": " << results[i];
  EXPECT_FALSE(qt::file_exists(install_.data("VexGetServerStatus.txt")));
}

TEST_F(VexApiTest, ServerStatusRetriesSixteenTimes) {
  codes("tsrstat", "0 1 1 0");
  output("tsrstat", "Cluster : CL1\nCL1 : Start\n");
  std::string out = host({"init", "120", "status", "status-null"});
  EXPECT_NE(std::string::npos, out.find("status=1 state=0x2000000")) << out;
  EXPECT_NE(std::string::npos, out.find("status=0 error=0x57")) << out;
  EXPECT_EQ(3, calls_of("tsrstat --local"));

  // Every attempt fails: 16 runs, each after a pause of 5 s (50 ms at scale 100).
  codes("tsrstat", "0 1");
  reset_records("tsrstat");
  out = host({"init", "120", "clock", "status", "clock"}, env(100));
  EXPECT_NE(std::string::npos, out.find("status=0 ")) << out;
  EXPECT_EQ(16, calls_of("tsrstat --local"));
  EXPECT_EQ(1, qt::count_of(log(), logLine(0, "RunCommand Error(0 / 1)[tsrstat --local]...")));
  std::vector<Span> runs = spans_of("tsrstat");
  ASSERT_EQ(17u, runs.size());  // the initialisation's run, then the 16 attempts
  expect_paused(runs, 1, 5000 / 100);
  EXPECT_GE(clocked_ms(out), 15 * 5000 / 100) << out;
}

TEST_F(VexApiTest, ClusterShutdownChecksItsArgumentsAndRunsOnce) {
  codes("tsrstdn", "1 1 0");
  output("tsrcfget", "CL1\n");
  output("tsrstat", "Cluster : CL1\nCL1 : Stop\n");
  std::string out = host({"cshut", "5",    "3",     "init",   "120",  "cshut", "4",    "3",  "cshut",
                          "5",     "2",    "cshut", "5",      "3",    "cshut", "5",    "3",  "name",
                          "16",    "enum", "0",     "status", "init", "120",   "name", "16", "status"});
  std::vector<std::string> results;
  for (const std::string &line : lines(out))
    if (line.rfind("cshut=", 0) == 0 || line.rfind("name=", 0) == 0 || line.rfind("enum=", 0) == 0 ||
        line.rfind("status=", 0) == 0)
      results.push_back(line);
  ASSERT_EQ(10u, results.size()) << out;
  EXPECT_EQ("cshut=0 error=0x20000004", results[0]);  // not initialised
  // A wrong initiator or option is refused without a last error of its own.
  EXPECT_EQ("cshut=0 error=0xc0ffee", results[1]);
  EXPECT_EQ("cshut=0 error=0xc0ffee", results[2]);
  EXPECT_EQ(0u, results[3].find("cshut=1 "));
  EXPECT_EQ(0u, results[4].find("cshut=1 "));  // already started: no further run
  EXPECT_EQ(0u, results[5].find("name=0 size=16 "));
  EXPECT_NE(std::string::npos, results[5].find(" error=0x20000004"));
  EXPECT_EQ(0u, results[6].find("enum=0 calls=0 error=0x20000004"));
  EXPECT_EQ(0u, results[7].find("status=1 state=0x2000000"));
  EXPECT_EQ(0u, results[8].find("name=1 size=3 "));  // a new initialisation clears the start
  EXPECT_EQ(0u, results[9].find("status=1 state=0x10000"));
  EXPECT_EQ(3, calls_of("tsrstdn"));

  std::string text = log();
  EXPECT_NE(std::string::npos, text.find(logLine(4, "illegal argument dwInitiator"))) << text;
  EXPECT_NE(std::string::npos, text.find(logLine(2, "illegal argument dwOption")));
  EXPECT_NE(std::string::npos, text.find(logLine(3, kOpen + " VexClusterShutdown " + kClose)));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, kOpen + " VexClusterShutdown_impl " + kClose)));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, "RunCommand Error(0 / 1)[tsrstdn ]...")));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, "retry start")));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, kClose + " VexClusterShutdown_impl " + kOpen)));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, kClose + " VexClusterShutdown " + kOpen)));
  EXPECT_NE(std::string::npos, text.find(logLine(0x20000004, "ErrorResponse(VexGetClusterName)")));
  EXPECT_NE(std::string::npos, text.find(logLine(0x20000004, kClose + "VexGetClusterName" + kOpen)));
  EXPECT_NE(std::string::npos, text.find(logLine(0x20000004, "ErrorResponse(VexEnumServer)")));
  EXPECT_NE(std::string::npos, text.find(logLine(0x20000004, "ErrorResponse(VexClusterShutdownStart)")));
  EXPECT_NE(std::string::npos, text.find(logLine(0x20000004, kClose + "VexGetServerStatus" + kOpen)));
}

TEST_F(VexApiTest, ClusterShutdownGivesUpAfter81Attempts) {
  codes("tsrstdn", "1");
  // 80 pauses of 5 s between the attempts: 25 ms each at scale 200.
  std::string out = host({"init", "120", "clock", "cshut", "5", "3", "clock", "status"}, env(200));
  EXPECT_NE(std::string::npos, out.find("cshut=0 ")) << out;
  EXPECT_NE(std::string::npos, out.find("status=1 state=0x10000")) << out;  // not counted as started
  EXPECT_EQ(81, calls_of("tsrstdn"));
  std::vector<Span> runs = spans_of("tsrstdn");
  ASSERT_EQ(81u, runs.size());
  expect_paused(runs, 0, 5000 / 200);
  EXPECT_GE(clocked_ms(out), 80 * 5000 / 200) << out;
  std::string text = log();
  EXPECT_EQ(1, qt::count_of(text, "retry start"));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, kClose + " VexClusterShutdown_impl Error!!" + kOpen)));
}

TEST_F(VexApiTest, ServerShutdownRunsOnItsOwnThread) {
  codes("tsrdown", "1 0");
  std::string out =
      host({"sshut", "3", "init", "120", "sshut", "2", "sshut", "3", "status", "name", "8", "wait-for",
            install_.data("ky_vexapi4.log"), " VexServerShutdownResponseThread \x81\x73", "30000"});
  EXPECT_NE(std::string::npos, out.find("wait-for=1")) << out;
  EXPECT_NE(std::string::npos, out.find("sshut=0 error=0x20000004")) << out;
  EXPECT_NE(std::string::npos, out.find("sshut=0 error=0xc0ffee")) << out;
  EXPECT_NE(std::string::npos, out.find("sshut=1 ")) << out;
  EXPECT_NE(std::string::npos, out.find("status=1 state=0x2000000")) << out;
  EXPECT_NE(std::string::npos, out.find("guard=aa error=0x20000004")) << out;
  EXPECT_EQ(2, calls_of("tsrdown"));
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find(logLine(3, kOpen + " VexServerShutdown " + kClose))) << text;
  EXPECT_NE(std::string::npos, text.find(logLine(0, kClose + " VexServerShutdown " + kOpen)));
  EXPECT_NE(std::string::npos, text.find(logLine(0x20000004, "ErrorResponse(VexServerShutdownStart)")));
  EXPECT_EQ(1, qt::count_of(text, logLine(0, "RunCommand Error(0 / 1)[tsrdown ]...")));
  EXPECT_LT(text.find(kOpen + " VexServerShutdownResponseThread " + kClose),
            text.find(kClose + " VexServerShutdownResponseThread " + kOpen));
}

TEST_F(VexApiTest, ServerShutdownThreadGivesUpAfter81AttemptsAndStopsAtUnload) {
  codes("tsrdown", "1");
  // 80 pauses of 5 s between the attempts: 25 ms each at scale 200.
  std::string out = host({"init", "120", "clock", "sshut", "3", "wait-for", install_.data("ky_vexapi4.log"),
                          "VexServerShutdownResponseThread Error!!", "120000", "clock"},
                         env(200));
  EXPECT_NE(std::string::npos, out.find("wait-for=1")) << out;
  EXPECT_EQ(81, calls_of("tsrdown"));
  std::vector<Span> runs = spans_of("tsrdown");
  ASSERT_EQ(81u, runs.size());
  expect_paused(runs, 0, 5000 / 200);
  EXPECT_GE(clocked_ms(out), 80 * 5000 / 200) << out;
  EXPECT_EQ(1, qt::count_of(log(), kClose + " VexServerShutdownResponseThread Error!!" + kOpen));

  // Unloaded while the thread waits out its 5 s pause after the first run: it stops, and the host
  // goes on unharmed for a while (a few of the thread's 100 ms looks at the unload step).
  qt::write_file(install_.data("ky_vexapi4.log"), "");
  qt::write_file(script_ / "calls.log", "");
  out = host({"init", "120", "sshut", "3", "wait-for", install_.data("ky_vexapi4.log"),
              "RunCommand Error(0 / 1)[tsrdown ]...", "30000", "free", "sleep", "300"},
             env(1));
  EXPECT_NE(std::string::npos, out.find("wait-for=1")) << out;
  EXPECT_NE(std::string::npos, out.find("free=1")) << out;
  std::string text = log();
  EXPECT_LT(text.find("VexServerShutdownResponseThread Error!!"), text.find("unload ky_vexapi4.dll")) << text;
  EXPECT_EQ(1, calls_of("tsrdown"));
}

TEST_F(VexApiTest, UnloadDuringAServerShutdownToolRunLeavesTheHostUnharmed) {
  // The tool outlasts the unload step's own wait for running threads: the response thread must
  // stop waiting for it and leave, or it would return into the unloaded library when the tool
  // ends, while the host still runs.
  // The host stays until the tool has ended, and a few of the thread's 100 ms looks after.
  qt::write_file(script_ / "tsrdown.delay_ms", "6000");
  std::string out =
      host({"init", "120", "sshut", "3", "wait-for", script_ / "calls.log", "tsrdown", "10000", "clock",
            "free", "clock", "wait-for", script_ / "spans.log", "tsrdown", "30000", "sleep", "300"},
           env(1));
  EXPECT_NE(std::string::npos, out.find("free=1")) << out;
  EXPECT_LT(clocked_ms(out), qt::WellBeforeMs(5000)) << out;  // the unload did not wait out its 5 s
  EXPECT_EQ(2, qt::count_of(out, "wait-for=1")) << out;
  std::string text = log();
  EXPECT_NE(std::string::npos, text.find(logLine(995, "WaitForSingleObject Error!<RunCommand>"))) << text;
  EXPECT_LT(text.find("WaitForSingleObject Error!<RunCommand>"), text.find("unload ky_vexapi4.dll")) << text;
  EXPECT_EQ(1, calls_of("tsrdown"));
}

TEST_F(VexApiTest, ServerShutdownFailsWhenNoThreadCanStart) {
  // 11 attempts to start the thread, 1 s apart (50 ms at scale 20): ten pauses in all.
  auto e = env(20);
  e["QUORIN_FAULTS"] = "thread_create";
  std::string out = host({"init", "120", "clock", "sshut", "3", "clock", "status"}, e);
  EXPECT_NE(std::string::npos, out.find("sshut=0 ")) << out;
  EXPECT_NE(std::string::npos, out.find("status=1 state=0x10000")) << out;  // no shutdown started
  EXPECT_EQ(1, qt::count_of(log(), "]: beginthred Error!\r\n"));
  EXPECT_EQ(0, calls_of("tsrdown"));
  EXPECT_TRUE(qt::WithinNominal(clocked_ms(out), 10 * 1000 / 20, "eleven attempts"));

  // Ten failures leave the eleventh attempt, which starts the thread.
  qt::write_file(install_.data("ky_vexapi4.log"), "");
  e["QUORIN_FAULTS"] = "thread_create:0:10";
  out = host({"init", "120", "clock", "sshut", "3", "clock", "wait-for", install_.data("ky_vexapi4.log"),
              kClose + " VexServerShutdownResponseThread " + kOpen, "30000"},
             e);
  EXPECT_NE(std::string::npos, out.find("sshut=1 ")) << out;
  EXPECT_NE(std::string::npos, out.find("wait-for=1")) << out;
  EXPECT_EQ(0, qt::count_of(log(), "beginthred Error!"));
  EXPECT_EQ(1, calls_of("tsrdown"));
  EXPECT_TRUE(qt::WithinNominal(clocked_ms(out), 10 * 1000 / 20, "ten failed attempts and the eleventh"));
}

TEST_F(VexApiTest, UnloadEndsAnInitialisationThatIsStillWaiting) {
  codes("tsrstat", "1");
  // The unload comes once the first run of the status tool has answered 1 and the 5 s pause
  // after it has begun (or is about to).
  std::string out = host({"init-async", "4294967295", "wait-for", script_ / "spans.log", "tsrstat", "30000",
                          "clock", "free", "clock"},
                         env(1));
  EXPECT_NE(std::string::npos, out.find("wait-for=1")) << out;
  EXPECT_NE(std::string::npos, out.find("free=1")) << out;
  EXPECT_NE(std::string::npos, out.find("init=0 error=0x3e3")) << out;  // ERROR_OPERATION_ABORTED
  EXPECT_LT(clocked_ms(out), qt::WellBeforeMs(5000)) << out;            // the pause did not run out
}

TEST_F(VexApiTest, StatusRunsOfTwoProcessesNeverOverlapWhileTheServiceHoldsTheMutex) {
  qt::Child holder({qt::test_bin_dir() + "/qt_mutex_holder", "quorinky_tsrx"}, env());
  ASSERT_TRUE(qt::wait_until([&] { return holder.output().find("held") != std::string::npos; }));
  qt::write_file(script_ / "tsrstat.delay_ms", "20");
  output("tsrstat", "Cluster : CL1\nCL1 : Start\n");
  std::vector<std::string> commands = {"init", "120", "loop", "8", "status"};
  qt::Child first(host_argv(commands), env());
  qt::Child second(host_argv(commands), env());
  ASSERT_EQ(0, first.wait(std::chrono::seconds(60))) << first.output();
  ASSERT_EQ(0, second.wait(std::chrono::seconds(60))) << second.output();
  EXPECT_EQ(8, qt::count_of(first.output(), "status=1 state=0x2000000"));
  EXPECT_EQ(8, qt::count_of(second.output(), "status=1 state=0x2000000"));
  EXPECT_EQ(std::string::npos, log().find("not opend"));

  std::vector<std::pair<long long, long long>> spans;
  for (const std::string &line : lines(qt::read_file(script_ / "spans.log"))) {
    long long begin = 0, end = 0;
    ASSERT_EQ(2, sscanf(line.c_str(), "tsrstat %lld %lld", &begin, &end)) << line;
    spans.emplace_back(begin, end);
  }
  ASSERT_EQ(18u, spans.size());
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) EXPECT_GE(spans[i].first, spans[i - 1].second) << "run " << i;
}

TEST_F(VexApiTest, QueriesOfOneProcessNeverShareTheirRuns) {
  for (const char *tool : {"tsrstat", "tsrcfget"})
    qt::write_file(script_ / (std::string(tool) + ".delay_ms"), "5");
  output("tsrstat", "Cluster : CL1\nCL1 ... : Start\n");
  output("tsrcfget", "CL1\nnode2\n");
  std::string out = host({"init", "120", "parallel", "6", "CL1", "0x2000000", "2"});
  EXPECT_NE(std::string::npos, out.find("parallel names_ok=6 states_ok=6 enums_ok=6")) << out;
  std::vector<std::pair<long long, long long>> spans;
  for (const std::string &line : lines(qt::read_file(script_ / "spans.log"))) {
    long long begin = 0, end = 0;
    char tool[16];
    ASSERT_EQ(3, sscanf(line.c_str(), "%15s %lld %lld", tool, &begin, &end)) << line;
    spans.emplace_back(begin, end);
  }
  ASSERT_EQ(19u, spans.size());
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) EXPECT_GE(spans[i].first, spans[i - 1].second) << "run " << i;
}

}  // namespace
