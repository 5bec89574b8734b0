// Start-up, controls, the cluster API initialisation with its retry window and the stop
// sequence of the service.
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "quorin/platform.h"
#include "service_fixture.h"

namespace {

TEST_F(ServiceTest, StartsAndStopsWithItsLogLinesInOrder) {
  Start();
  std::string status = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor");
  EXPECT_NE(std::string::npos, status.find("state=4\n"));
  EXPECT_NE(std::string::npos, status.find("controls=5\n"));
  Stop();
  std::vector<std::string> texts = LogTexts();
  const char *expected[] = {"quorinky_tsrx mutex created successfully",
                            "Service initializing...",
                            "Service started",
                            "Starting pipe server loop...",
                            "Service stop requested",
                            "Service stop requested during client connection wait",
                            "Pipe server loop exited",
                            "Service stopping...",
                            "Terminating VEX API...",
                            "VEX API terminated",
                            "Unloading ky_vexapi4.dll...",
                            "ky_vexapi4.dll unloaded",
                            "Unloading SNMPUPS.DLL...",
                            "SNMPUPS.DLL unloaded",
                            "quorinky_tsrx mutex closed"};
  int at = 0;
  for (const char *text : expected) {
    int found = FindText(texts, text, at);
    EXPECT_GE(found, at) << text;
    if (found >= 0) at = found;
  }
  EXPECT_EQ("quorinky_tsrx mutex closed", texts.back());
  status = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor");
  EXPECT_NE(std::string::npos, status.find("state=1\n"));
  EXPECT_NE(std::string::npos, status.find("exit_code=0\n"));
  // The cluster API was initialised with the handle the library gave and terminated with it.
  std::vector<std::string> calls = Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("VexInitializeApi 0 120", calls[0]);
  EXPECT_EQ("VexTerminateApi 7", calls[1]);
  EXPECT_TRUE(LogHas("VexInitializeApi returned: 1, handle: 7"));
  EXPECT_TRUE(LogHas("VEX API initialized successfully (handle: 7)"));
}

TEST_F(ServiceTest, ControlsOtherThanStopAndRunningFromAConsole) {
  Start();
  int status = -1;
  EXPECT_EQ("0\n", Svcctl({"control", "Mavr_tsr_monitor", "4"}, &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ("120\n", Svcctl({"control", "Mavr_tsr_monitor", "2"}, &status));
  EXPECT_EQ("120\n", Svcctl({"control", "Mavr_tsr_monitor", "3"}, &status));
  EXPECT_FALSE(LogHas("Service stop requested"));
  // Shutdown (5) stops the service like stop.
  EXPECT_EQ("0\n", Svcctl({"control", "Mavr_tsr_monitor", "5"}, &status));
  EXPECT_EQ(0, qp_service_wait_process_end("Mavr_tsr_monitor", 10000));
  started = false;
  EXPECT_TRUE(LogHas("System shutdown requested"));
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));

  // From a plain console the program ends at once with 1063 and writes nothing.
  qt::TempDir other("console");
  std::string out;
  std::map<std::string, std::string> env = install.env();
  env["QUORIN_SVCCTL"] = "";
  env["INVOCATION_ID"] = "";
  env["NOTIFY_SOCKET"] = "";
  EXPECT_EQ(1063 & 0xff, qt::run({install.dir() + "/quomvlsv"}, env, &out));
}

TEST_F(ServiceTest, AnotherHolderOfTheClusterMutex) {
  qt::Child holder({qt::test_bin_dir() + "/qt_mutex_holder", "quorinky_tsrx"}, install.env());
  ASSERT_TRUE(qt::wait_until([&] { return holder.output().find("held") != std::string::npos; }));
  Start();
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex already exists"));
  EXPECT_EQ("C02 00014", Send("C02 0000"));
}

TEST_F(ServiceTest, StopByTerminateSignal) {
  Start();
  std::string status = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor");
  long pid = atol(status.c_str() + status.find("pid=") + 4);
  ASSERT_GT(pid, 0);
  kill(static_cast<pid_t>(pid), SIGTERM);
  EXPECT_EQ(0, qp_service_wait_process_end("Mavr_tsr_monitor", 10000));
  started = false;
  EXPECT_TRUE(LogHas("Service stop requested"));
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));
}

TEST_F(ServiceTest, VexInitializationRetriesForItsWindowThenGivesUp) {
  // Time runs 100 times faster: the 120 s window with 5 s pauses passes in about 1.2 s.
  WriteScript("[vex]\ninit=0\ninit_error=20000004\n");
  Start();
  std::vector<LogEntry> log = Log();
  int attempts = 0;
  std::string failed_line;
  for (const LogEntry &e : log) {
    if (e.text == "QuoVexInitializeApi2 failed (error: 0x20000004), retrying...") ++attempts;
    if (e.text.rfind("VEX API initialization failed after ", 0) == 0) failed_line = e.text;
  }
  // One attempt about every 5 s for 120 s.
  EXPECT_GE(attempts, 20);
  EXPECT_LE(attempts, 26);
  long long seconds = 0;
  unsigned error = 0;
  ASSERT_EQ(2, sscanf(failed_line.c_str(), "VEX API initialization failed after %lld seconds (error: 0x%x)",
                      &seconds, &error))
      << failed_line;
  EXPECT_GE(seconds, 120);
  EXPECT_EQ(0x20000004u, error);
  EXPECT_TRUE(LogHas("Warning: VEX API initialization failed"));
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  // No later attempt is made (0.3 s here are 30 s of the service's time).
  size_t calls = Calls().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(calls, Calls().size());
}

TEST_F(ServiceTest, StopDuringTheVexRetryWait) {
  // Each failed attempt is followed by a pause of 5 s (50 ms here); the real time scale of
  // this test is 1, so the pause really lasts 5 s and the stop falls inside it.
  extra_env["QUORIN_TIME_SCALE"] = "1";
  WriteScript("[vex]\ninit=0\n");
  Start(false);
  ASSERT_TRUE(WaitForLog("QuoVexInitializeApi2 failed (error: 0x00000000), retrying...", 15000));
  uint64_t before = qp_real_tick_ms();
  Stop();
  EXPECT_LT(qp_real_tick_ms() - before, 4000u);
  EXPECT_TRUE(LogHas("VEX API initialization cancelled - service stopping"));
  EXPECT_TRUE(LogHas("Delayed initialization completed"));
  EXPECT_EQ(1, qt::count_of(qt::read_file(calls_path), "VexInitializeApi"));
  // The stop waited for the initialisation thread before unloading the library.
  std::vector<std::string> texts = LogTexts();
  EXPECT_LT(FindText(texts, "Delayed initialization completed"),
            FindText(texts, "Unloading ky_vexapi4.dll..."));
}

TEST_F(ServiceTest, FaultsInsideTheClusterLibraryAreCaught) {
  WriteScript("[vex]\ninit_fault=segv\nterminate_fault=segv\n");
  Start();
  EXPECT_TRUE(LogHas("QuoVexInitializeApi2 caused exception: 0xc0000005"));
  EXPECT_TRUE(LogHas("VEX API initialization failed due to exception"));
  EXPECT_EQ(1, qt::count_of(qt::read_file(calls_path), "VexInitializeApi"));
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  Stop();
  EXPECT_TRUE(LogHas("Exception during VEX API termination: 0xc0000005"));
  EXPECT_TRUE(LogHas("VEX API terminated"));
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));
}

TEST_F(ServiceTest, CppExceptionInsideTheClusterLibraryIsCaught) {
  WriteScript("[vex]\ninit_fault=throw\n");
  Start();
  EXPECT_TRUE(LogHas("QuoVexInitializeApi2 caused exception: 0xe06d7363"));
  EXPECT_EQ("C02 00014", Send("C02 0000"));
}

TEST_F(ServiceTest, ClusterLibraryWithoutInitializeIsNotInitialized) {
  vex_library = "fake_vexapi_noinit.so";
  Start();
  std::vector<LogEntry> log = Log();
  bool found = false;
  for (const LogEntry &e : log)
    if (e.text == "Failed to get VexInitializeApi address") {
      found = true;
      EXPECT_EQ(127u, e.code);
    }
  EXPECT_TRUE(found);
  EXPECT_FALSE(LogHas("Initializing VEX API..."));
  Stop();
  EXPECT_FALSE(LogHas("Terminating VEX API..."));
  EXPECT_FALSE(LogHas("Unloading ky_vexapi4.dll..."));
}

TEST_F(ServiceTest, ClusterLibraryAbsent) {
  vex_library = "";
  Start();
  EXPECT_TRUE(LogHas("Failed to load ky_vexapi4.dll (error: 126)"));
  EXPECT_FALSE(LogHas("Initializing VEX API..."));
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: QuoVexClusterShutdown not available"));
}

TEST_F(ServiceTest, StopWaitsForACommandInProgress) {
  // A VexInitializeApi call that lasts 1.5 s: the stop waits for it before unloading.
  extra_env["QUORIN_TIME_SCALE"] = "1";
  WriteScript("[vex]\ninit_block_ms=1500\n");
  Start(false);
  ASSERT_TRUE(WaitForLog("Initializing VEX API..."));
  Stop();
  std::vector<std::string> texts = LogTexts();
  int returned = FindText(texts, "VexInitializeApi returned: 1, handle: 7");
  EXPECT_GE(returned, 0);
  EXPECT_LT(returned, FindText(texts, "Unloading ky_vexapi4.dll..."));
}

TEST_F(ServiceTest, ClientWaitingForItsRequestDoesNotHoldUpTheStop) {
  Start();
  qp_pipe *idle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &idle));
  ASSERT_TRUE(WaitForLog("Client connection processing started"));
  uint64_t before = qp_real_tick_ms();
  Stop();
  EXPECT_LT(qp_real_tick_ms() - before, 4000u);
  EXPECT_TRUE(LogHas("ReadFile failed (error: 0x000003e3, bytes: 0)"));
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));
  qp_pipe_close(idle);
}

}  // namespace
