// The README's main job: the demonstration must run its whole scenario and pass.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testsupport.h"

namespace {

// Processes whose command line names something below DIR (the demo's cards and service do).
std::vector<std::string> ProcessesUsing(const std::string &dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = qt::read_file(entry.path().string() + "/cmdline");
    for (char &c : cmdline)
      if (c == '\0') c = ' ';
    if (cmdline.find(dir) != std::string::npos) found.push_back(name + ": " + cmdline);
  }
  return found;
}

TEST(DemoTest, WholeScenarioPassesAndLeavesNothingRunning) {
  std::string out;
  int status = qt::run({qt::source_dir() + "/scripts/demo.sh"}, {{"QUORIN_DEMO_OUT", qt::out_dir()}}, &out,
                       std::chrono::seconds(120));
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("MAINS POWER FAILS at the storage UPS 127.0.0.4")) << out;
  EXPECT_NE(std::string::npos,
            out.find("the service decides a CLUSTER SHUTDOWN; the cluster tool tsrstdn ran"))
      << out;
  EXPECT_NE(std::string::npos, out.find("is answered with success at once")) << out;
  EXPECT_NE(std::string::npos, out.find("every UPS output is off")) << out;
  EXPECT_EQ(3, qt::count_of(out, "7 (off)")) << out;
  EXPECT_NE(std::string::npos, out.find("demo passed")) << out;
  EXPECT_EQ(std::string::npos, out.find("DEMO FAILED")) << out;
  // Its temporary installation is gone.
  size_t at = out.find("install directory ");
  ASSERT_NE(std::string::npos, at);
  std::string install = out.substr(at + 18, out.find(',', at) - at - 18);
  EXPECT_FALSE(qt::file_exists(install)) << install;
  // Neither the cards nor the service are left running.
  std::string demo = install.substr(0, install.rfind("/opt/quorin"));
  ASSERT_FALSE(demo.empty());
  EXPECT_TRUE(qt::wait_until([&] { return ProcessesUsing(demo).empty(); }))
      << ::testing::PrintToString(ProcessesUsing(demo));
  EXPECT_NE(std::string::npos, out.find("all report output status 2 (on line)")) << out;
  // The storage UPS record, read back through pwdown.dll.
  EXPECT_NE(std::string::npos, out.find("127.0.0.4        Storage1-UPS1            2 (on line)")) << out;
}

}  // namespace
