// quomvlsv with the real ky_vexapi4.dll: the cluster API initialised against the stand-in
// status tool at start, PCS decisions carried out by the shutdown tools, the library's error
// seen in the service's log, stops while the initialisation waits, and the service's cluster
// mutex ordering the status runs of other programs that use the library.
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quorin/platform.h"
#include "service_fixture.h"
#include "timing.h"

namespace {

const char kConfig[] =
    "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n"
    "[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=10.0.0.1\n"
    "[Server2]\nUPS_NUM=1\nUPS_IP1=10.0.0.2\n"
    "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n";

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class VexServiceTest : public ServiceTest {
 protected:
  VexServiceTest() {
    vex_library = "out:ky_vexapi4.dll";
    tsr_dir = install.dir() + "/tsr";
    qt::make_dirs(tsr_dir);
    extra_env["QUORIN_TSR_SCRIPT_DIR"] = tsr_dir;
    WriteConfig(kConfig);
  }
  std::string ToolCalls() const { return qt::read_file(tsr_dir + "/calls.log"); }
  std::string VexLog() const { return qt::read_file(install.data("ky_vexapi4.log")); }
  std::string tsr_dir;
};

TEST_F(VexServiceTest, InitialisesAtStartAndRunsTheClusterShutdownTool) {
  Start();
  EXPECT_TRUE(LogHas("ky_vexapi4.dll loaded successfully"));
  EXPECT_TRUE(LogHas("VexInitializeApi returned: 1, handle: 0"));
  EXPECT_TRUE(LogHas("VEX API initialized successfully (handle: 0)"));
  EXPECT_EQ("tsrstat --rc\n", ToolCalls());
  // The storage UPS is on battery: PCS asks the cluster to shut down through tsrstdn.
  WriteScript("[status]\n10.0.1.1=3\n");
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Cluster shutdown initiated (Storage failure)"));
  EXPECT_EQ("tsrstat --rc\ntsrstdn\n", ToolCalls());
  // The cluster side's own request that follows is answered at once.
  EXPECT_EQ("CSD 0001", Send("CSD 00011"));
  EXPECT_TRUE(LogHas("AD1/CSD: PCS shutdown request detected - returning success"));
  Stop();
  EXPECT_TRUE(LogHas("VEX API terminated"));
  EXPECT_NE(std::string::npos, VexLog().find("===== load ky_vexapi4.dll ====="));
  EXPECT_NE(std::string::npos, VexLog().find("unload ky_vexapi4.dll"));
}

TEST_F(VexServiceTest, PartialServerFailureRunsTheServerShutdownTool) {
  Start();
  WriteScript("[status]\n10.0.0.2=3\n");
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Server shutdown initiated"));
  // The library's response thread runs tsrdown after the call has returned.
  EXPECT_TRUE(qt::wait_until([&] { return ToolCalls().find("tsrdown") != std::string::npos; }));
  EXPECT_EQ(std::string::npos, ToolCalls().find("tsrstdn"));
}

TEST_F(VexServiceTest, TheLibrarysErrorReachesTheServiceLog) {
  // No status tool on the search path: the library cannot start it and says so with 2.
  extra_env["PATH"] = install.dir() + "/empty:/usr/bin:/bin";
  qt::make_dirs(install.dir() + "/empty");
  Start();
  EXPECT_TRUE(LogHas("VexInitializeApi returned: 0, handle: 0"));
  EXPECT_TRUE(LogHas("QuoVexInitializeApi2 failed (error: 0x00000002), retrying..."));
  bool found = false;
  for (const std::string &text : LogTexts())
    if (text.rfind("VEX API initialization failed after ", 0) == 0) {
      found = true;
      EXPECT_NE(std::string::npos, text.find("(error: 0x00000002)")) << text;
    }
  EXPECT_TRUE(found);
  EXPECT_NE(std::string::npos, VexLog().find("CreateProcess Error!<RunCommand>"));
}

TEST_F(VexServiceTest, StopWhileTheServiceWaitsBetweenAttempts) {
  // Real time: each failed attempt is followed by a 5 s pause, in which the stop arrives.
  extra_env["QUORIN_TIME_SCALE"] = "1";
  extra_env["PATH"] = install.dir() + "/empty:/usr/bin:/bin";
  qt::make_dirs(install.dir() + "/empty");
  Start(false);
  ASSERT_TRUE(WaitForLog("QuoVexInitializeApi2 failed (error: 0x00000002), retrying...", 0, 15000));
  uint64_t before = qp_real_tick_ms();
  Stop();
  EXPECT_LT(static_cast<long>(qp_real_tick_ms() - before),
            qt::WellBeforeMs(5000));  // the pause was cut short
  EXPECT_TRUE(LogHas("VEX API initialization cancelled - service stopping"));
  EXPECT_TRUE(LogHas("ky_vexapi4.dll unloaded"));
}

TEST_F(VexServiceTest, StopWhileTheLibraryWaitsForTheClusterService) {
  // The status tool keeps answering 1: the library itself retries inside VexInitializeApi.
  extra_env["QUORIN_TIME_SCALE"] = "1";
  qt::write_file(tsr_dir + "/tsrstat.codes", "1\n");
  Start(false);
  ASSERT_TRUE(qt::wait_until([&] { return ToolCalls().find("tsrstat --rc") != std::string::npos; },
                             std::chrono::seconds(15)));
  uint64_t before = qp_real_tick_ms();
  Stop();
  // The stop does not wait out the library's 120 s: after the wait for the initialisation
  // thread, bounded by the stop's 5 s wait hint, it leaves the library loaded and the process ends.
  EXPECT_TRUE(
      qt::WithinNominal(static_cast<long>(qp_real_tick_ms() - before), 5000, "stop", qt::kLongestStepMs));
  EXPECT_EQ(0, qp_service_wait_process_end("Mavr_tsr_monitor", 10000));
  EXPECT_TRUE(LogHas("Warning: threads still running at stop, libraries and locks left in place"));
  EXPECT_FALSE(LogHas("Unloading ky_vexapi4.dll..."));
}

TEST_F(VexServiceTest, StatusRunsOfTwoHostsNeverOverlapWhileTheServiceHoldsTheClusterMutex) {
  Start();
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex created successfully"));
  qt::write_file(tsr_dir + "/tsrstat.delay_ms", "20");
  qt::write_file(tsr_dir + "/tsrstat.out", "Cluster : CL1\nCL1 : Start\n");
  // Two more programs that use the library beside the service, each with its own status runs.
  std::vector<std::string> argv = {qt::test_bin_dir() + "/qt_vex_host",
                                   qt::out_dir() + "/ky_vexapi4.dll",
                                   "init",
                                   "120",
                                   "loop",
                                   "8",
                                   "status"};
  qt::Child first(argv, Env());
  qt::Child second(argv, Env());
  ASSERT_EQ(0, first.wait(std::chrono::seconds(60))) << first.output();
  ASSERT_EQ(0, second.wait(std::chrono::seconds(60))) << second.output();
  EXPECT_EQ(8, qt::count_of(first.output(), "status=1 state=0x2000000"));
  EXPECT_EQ(8, qt::count_of(second.output(), "status=1 state=0x2000000"));
  EXPECT_EQ(std::string::npos, VexLog().find("not opend")) << VexLog();

  std::vector<std::pair<long long, long long>> spans;
  for (const std::string &line : Lines(qt::read_file(tsr_dir + "/spans.log"))) {
    long long begin = 0, end = 0;
    ASSERT_EQ(2, sscanf(line.c_str(), "tsrstat %lld %lld", &begin, &end)) << line;
    spans.emplace_back(begin, end);
  }
  ASSERT_EQ(19u, spans.size());  // the service's initialisation, then 1 + 8 runs per host
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) EXPECT_GE(spans[i].first, spans[i - 1].second) << "run " << i;
  Stop();
}

}  // namespace
