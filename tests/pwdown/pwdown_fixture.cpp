// Test fixture of the pwdown tests: install, registry, stand-in service, loader.
#include "pwdown_fixture.h"

#include <stdlib.h>

#include "tool_text.h"

namespace pwt {

const std::vector<std::string> kType2Registry = {"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01"};

namespace {

std::string Svcctl() {
  return qt::out_dir() + "/svcctl";
}

}  // namespace

void PwdownTest::SetUp() {
  Registry(kType2Registry);
  install_.apply_env();
  qt::make_dirs(StandinFolder());
  StartStandin();
}

void PwdownTest::TearDown() {
  if (standin_running_) StopStandin();
  if (library_ != nullptr) qp_library_free(library_);
  library_ = nullptr;
}

void PwdownTest::Registry(const std::vector<std::string> &values, bool no_path) {
  if (!no_path) {
    install_.write_registry(values);
    return;
  }
  std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n";
  for (const auto &v : values) text += v + "\r\n";
  qt::write_file(install_.registry(), text);
}

void PwdownTest::Script(const std::string &text) {
  qt::write_file(StandinFolder() + "/script", text);
}

std::vector<Frame> PwdownTest::Frames() const {
  std::vector<Frame> frames;
  std::string text = qt::read_file(StandinFolder() + "/frames");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos)
      frames.push_back(
          {atoi(line.substr(0, colon).c_str()), tooltext::UnescapeBytes(line.substr(colon + 1))});
    pos = end + 1;
  }
  return frames;
}

std::vector<std::string> PwdownTest::FrameBytes() const {
  std::vector<std::string> bytes;
  for (const Frame &f : Frames()) bytes.push_back(f.bytes);
  return bytes;
}

void PwdownTest::ClearFrames() {
  qt::write_file(StandinFolder() + "/frames", "");
}

void PwdownTest::StartStandin() {
  std::string out;
  ASSERT_EQ(0, qt::run({Svcctl(), "start", "QUORIN_MVL", qt::test_bin_dir() + "/quorin_mvl_standin"},
                       install_.env(), &out))
      << out;
  standin_running_ = true;
}

void PwdownTest::StopStandin() {
  std::string out;
  EXPECT_EQ(0, qt::run({Svcctl(), "stop", "QUORIN_MVL"}, install_.env(), &out)) << out;
  standin_running_ = false;
}

int PwdownTest::ControlStandin(int code) {
  std::string out;
  return qt::run({Svcctl(), "control", "QUORIN_MVL", std::to_string(code)}, install_.env(), &out);
}

void PwdownTest::Load() {
  library_ = qp_library_load((qt::out_dir() + "/pwdown.dll").c_str());
  ASSERT_NE(nullptr, library_) << GetLastError();
}

void *PwdownTest::Entry(const char *name) {
  if (library_ == nullptr) Load();
  void *entry = library_ != nullptr ? qp_library_symbol(library_, name) : nullptr;
  EXPECT_NE(nullptr, entry) << name;
  return entry;
}

int PwdownTest::Pwctl(const std::vector<std::string> &args, std::string *output,
                      const std::map<std::string, std::string> &extra_env) {
  std::vector<std::string> argv = {qt::out_dir() + "/pwctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto env = install_.env();
  for (const auto &[k, v] : extra_env) env[k] = v;
  return qt::run(argv, env, output);
}

}  // namespace pwt
