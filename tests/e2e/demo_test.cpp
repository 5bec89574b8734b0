// The README's main job: the demonstration must run its whole scenario and pass.
#include <gtest/gtest.h>

#include <string>

#include "testsupport.h"

namespace {

TEST(DemoTest, WholeScenarioPassesAndLeavesNothingRunning) {
  std::string out;
  int status = qt::run({qt::source_dir() + "/scripts/demo.sh"}, {{"QUORIN_DEMO_OUT", qt::out_dir()}}, &out,
                       std::chrono::seconds(120));
  EXPECT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("MAINS POWER FAILS at the storage UPS 127.0.0.4")) << out;
  EXPECT_NE(std::string::npos, out.find("the service decides a CLUSTER SHUTDOWN; the cluster tool tsrstdn ran")) << out;
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
}

}  // namespace
