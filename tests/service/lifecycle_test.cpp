// Start-up, controls, the cluster API initialisation with its retry window and the stop
// sequence of the service.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "quorin/platform.h"
#include "service_fixture.h"
#include "timing.h"

namespace {

// The wait hint of the stop: the whole stop sequence is meant to fit in it.
constexpr long kStopWaitHintMs = 5000;
// The service's pause between two attempts of the cluster API initialisation, and the window.
constexpr long kVexRetryPauseMs = 5000;
constexpr long kVexWindowMs = 120000;

// The datagram socket a service started by systemd reports to (NOTIFY_SOCKET).
class NotifySocket {
 public:
  explicit NotifySocket(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    // Generous: a sanitizer build starts the service slowly.
    struct timeval tv = {20, 0};
    if (bound_) setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  const std::string &path() const { return path_; }
  // The next report, or "" when none came in time.
  std::string Next() {
    char buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// The environment of the service started by systemd itself, with FAULTS injected.
std::map<std::string, std::string> SystemdEnv(std::map<std::string, std::string> env,
                                              const NotifySocket &notify, const std::string &faults = "") {
  env["NOTIFY_SOCKET"] = notify.path();
  env["QUORIN_SVCCTL"] = "";
  env["QUORIN_FAULTS"] = faults;
  return env;
}

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
  // Interrogate is answered with 0 and leaves no trace in the log.
  size_t entries = Log().size();
  EXPECT_EQ("0\n", Svcctl({"control", "Mavr_tsr_monitor", "4"}, &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ(entries, Log().size());
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
  std::string out;
  std::map<std::string, std::string> env = install.env();
  env["QUORIN_SVCCTL"] = "";
  env["INVOCATION_ID"] = "";
  env["NOTIFY_SOCKET"] = "";
  size_t before = Log().size();
  EXPECT_EQ(1063 & 0xff, qt::run({install.dir() + "/quomvlsv"}, env, &out));
  EXPECT_EQ(before, Log().size());
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
  // Time runs 100 times faster: the 120 s window with 5 s pauses passes in about 1.2 s, and
  // each pause in 50 ms (the attempts themselves are calls inside the process).
  constexpr long kScale = 100, kWindow = kVexWindowMs / kScale, kPause = kVexRetryPauseMs / kScale;
  WriteScript("[vex]\ninit=0\ninit_error=20000004\n");
  Start();
  std::vector<LogEntry> log = Log();
  int attempts = 0;
  std::string failed_line;
  for (const LogEntry &e : log) {
    if (e.text == "QuoVexInitializeApi2 failed (error: 0x20000004), retrying...") ++attempts;
    if (e.text.rfind("VEX API initialization failed after ", 0) == 0) failed_line = e.text;
  }
  // One attempt every 5 s for 120 s from the first one: the pauses between the attempts, every
  // attempt but the last inside the window, and the last the first one made at or after its
  // end (the window is counted in whole seconds of the service's clock, so it ends up to one
  // second earlier than 120 s after the first attempt).
  std::vector<long> at = InitCallTimes();
  ASSERT_GE(at.size(), 2u);
  EXPECT_EQ(static_cast<int>(at.size()), attempts);
  std::vector<long> pauses;
  for (size_t i = 1; i < at.size(); ++i) pauses.push_back(at[i] - at[i - 1]);
  EXPECT_TRUE(qt::PausesNominal(pauses, kPause, "pause between two attempts"));
  constexpr long kSecond = 1000 / kScale;
  EXPECT_GE(at.back() - at.front(), qt::EarliestMs(kWindow - kSecond));
  EXPECT_LT(at[at.size() - 2] - at.front(), kWindow);
  long long seconds = 0;
  unsigned error = 0;
  ASSERT_EQ(2, sscanf(failed_line.c_str(), "VEX API initialization failed after %lld seconds (error: 0x%x)",
                      &seconds, &error))
      << failed_line;
  EXPECT_GE(seconds, 120);
  EXPECT_EQ(0x20000004u, error);
  EXPECT_TRUE(LogHas("Warning: VEX API initialization failed"));
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  // No later attempt is made: none in the time six more pauses would take.
  size_t calls = Calls().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(6 * kPause));
  EXPECT_EQ(calls, Calls().size());
}

TEST_F(ServiceTest, StopDuringTheVexRetryWait) {
  // Each failed attempt is followed by a pause of 5 s; this test runs at time scale 1, so the
  // pause really lasts 5 s and the stop falls inside it.
  extra_env["QUORIN_TIME_SCALE"] = "1";
  WriteScript("[vex]\ninit=0\n");
  Start(false);
  ASSERT_TRUE(WaitForLog("QuoVexInitializeApi2 failed (error: 0x00000000), retrying...", 0, 15000));
  uint64_t before = qp_real_tick_ms();
  Stop();
  EXPECT_LT(qp_real_tick_ms() - before, static_cast<uint64_t>(qt::WellBeforeMs(kVexRetryPauseMs)));
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
  // Codes are printed in lower-case hexadecimal.
  EXPECT_NE(std::string::npos,
            qt::read_file(LogPath()).find("[0000007f] Failed to get VexInitializeApi address"));
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

TEST_F(ServiceTest, StopWaitsForTheClusterApiInitialization) {
  // A VexInitializeApi call that lasts 1.5 s: the stop waits for it before unloading.
  extra_env["QUORIN_TIME_SCALE"] = "1";
  WriteScript("[vex]\ninit_block_ms=1500\n");
  Start(false);
  ASSERT_TRUE(WaitForLog("Initializing VEX API...", 0));
  Stop();
  std::vector<std::string> texts = LogTexts();
  int returned = FindText(texts, "VexInitializeApi returned: 1, handle: 7");
  EXPECT_GE(returned, 0);
  EXPECT_LT(returned, FindText(texts, "Unloading ky_vexapi4.dll..."));
}

TEST_F(ServiceTest, ClientWaitingForItsRequestDoesNotHoldUpTheStop) {
  Start();
  size_t before_connect = LogMark();
  qp_pipe *idle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &idle));
  ASSERT_TRUE(WaitForLog("Client connected", before_connect));
  uint64_t before = qp_real_tick_ms();
  Stop();
  EXPECT_LT(qp_real_tick_ms() - before, static_cast<uint64_t>(qt::WellBeforeMs(kStopWaitHintMs)));
  std::vector<std::string> texts = LogTexts();
  int closed = FindText(texts, "Closed 1 client connections waiting for a request");
  EXPECT_GT(closed, FindText(texts, "Service stop requested during client connection wait"));
  EXPECT_LT(closed, FindText(texts, "Pipe server loop exited"));
  EXPECT_FALSE(LogHas("Client connection processing started"));
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));
  char buffer[16];
  uint32_t done = 0;
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(idle, buffer, sizeof buffer, &done));
  qp_pipe_close(idle);
}

TEST_F(ServiceTest, ReportsItsStatesToSystemd) {
  InstallLibraries();
  NotifySocket notify(install.dir() + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  qt::Child service({install.dir() + "/quomvlsv"}, SystemdEnv(Env(), notify));
  // START_PENDING's wait hint of 3 s, then RUNNING.
  EXPECT_EQ("STATUS=starting\nEXTEND_TIMEOUT_USEC=3000000", notify.Next());
  EXPECT_EQ("READY=1\nSTATUS=running", notify.Next());
  ASSERT_TRUE(WaitForLog("Delayed initialization completed", 0));
  // The configuration's state follows (this install has none).
  EXPECT_EQ(0u, notify.Next().rfind("STATUS=running: CONFIGURATION NOT LOADED: Config file not found (", 0));
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  // The stop control: STOP_PENDING with its wait hint of 5 s, then STOPPED with exit code 0.
  service.kill_now(SIGTERM);
  EXPECT_EQ("STOPPING=1\nSTATUS=stopping\nEXTEND_TIMEOUT_USEC=5000000", notify.Next());
  EXPECT_EQ("STATUS=stopped (exit code 0)", notify.Next());
  EXPECT_EQ(0, service.wait());
  std::string status = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor");
  EXPECT_NE(std::string::npos, status.find("state=1\n"));
  EXPECT_NE(std::string::npos, status.find("exit_code=0\n"));
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));
  EXPECT_EQ(std::string::npos, service.output().find("Sanitizer")) << service.output();
}

TEST_F(ServiceTest, StartUpFailsWithoutTheLogLock) {
  InstallLibraries();
  NotifySocket notify(install.dir() + "/notify.sock");
  ASSERT_TRUE(notify.bound());
  // The log lock is the first mutex the service creates: STOPPED with its error (8) at once,
  // without START_PENDING, and nothing logged.
  qt::Child service({install.dir() + "/quomvlsv"}, SystemdEnv(Env(), notify, "mutex_create:0:1"));
  EXPECT_EQ("STATUS=stopped (exit code 8)", notify.Next());
  EXPECT_EQ(0, service.wait());
  EXPECT_EQ(std::string::npos, service.output().find("Sanitizer")) << service.output();
  EXPECT_TRUE(Log().empty());
  std::string status = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor");
  EXPECT_NE(std::string::npos, status.find("state=1\n"));
  EXPECT_NE(std::string::npos, status.find("exit_code=8\n"));
}

TEST_F(ServiceTest, StartUpFailsWithoutTheStopEvent) {
  InstallLibraries();
  {
    NotifySocket notify(install.dir() + "/notify.sock");
    ASSERT_TRUE(notify.bound());
    // The stop event is the first event the service creates: START_PENDING, then STOPPED
    // with the error of the failed creation (8).
    qt::Child service({install.dir() + "/quomvlsv"}, SystemdEnv(Env(), notify, "event_create:0:1"));
    EXPECT_EQ("STATUS=starting\nEXTEND_TIMEOUT_USEC=3000000", notify.Next());
    EXPECT_EQ("STATUS=stopped (exit code 8)", notify.Next());
    EXPECT_EQ(0, service.wait());
    EXPECT_EQ(std::string::npos, service.output().find("Sanitizer")) << service.output();
    std::vector<std::string> texts = LogTexts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("quorinky_tsrx mutex created successfully", texts[0]);
  }
  // Started through svcctl, the start fails and shows the service's exit code.
  extra_env["QUORIN_FAULTS"] = "event_create:0:1";
  int status = -1;
  std::string out = Svcctl({"start", "Mavr_tsr_monitor", install.dir() + "/quomvlsv"}, &status);
  EXPECT_NE(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("1  STOPPED")) << out;
  EXPECT_NE(std::string::npos, out.find("WIN32_EXIT_CODE    : 8  (0x8)")) << out;
  EXPECT_EQ(0, qp_service_wait_process_end("Mavr_tsr_monitor", 10000));
  EXPECT_FALSE(LogHas("Service started"));
  // Without the fault the service starts normally afterwards.
  extra_env.erase("QUORIN_FAULTS");
  Start();
  EXPECT_EQ(3, qt::count_of(qt::read_file(LogPath()), "quorinky_tsrx mutex created successfully"));
}

TEST_F(ServiceTest, ClusterLibraryWithoutTerminate) {
  vex_library = "fake_vexapi_noterminate.so";
  Start();
  EXPECT_TRUE(LogHas("Warning: VexTerminateApi not found"));
  EXPECT_TRUE(LogHas("VEX API initialized successfully (handle: 7)"));
  Stop();
  EXPECT_FALSE(LogHas("Terminating VEX API..."));
  EXPECT_FALSE(LogHas("VEX API terminated"));
  std::vector<std::string> texts = LogTexts();
  int stopping = FindText(texts, "Service stopping...");
  int unloading = FindText(texts, "Unloading ky_vexapi4.dll...");
  EXPECT_GE(stopping, 0);
  EXPECT_GT(unloading, stopping);
  EXPECT_GT(FindText(texts, "ky_vexapi4.dll unloaded"), unloading);
  EXPECT_EQ(0, qt::count_of(qt::read_file(calls_path), "VexTerminateApi"));
}

TEST_F(ServiceTest, StopWaitsForACommandInProgress) {
  // Each status read takes 1.5 s; the stop comes while a K02 is in the middle of one.
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n");
  WriteScript("[status]\ndelay_ms=1500\n");
  Start();
  std::string reply;
  std::thread client([&] { reply = Send("K02 0000"); });
  EXPECT_TRUE(
      qt::wait_until([&] { return qt::count_of(qt::read_file(calls_path), "GetUpsStatusFromSnmp") > 0; }));
  Stop();
  client.join();
  EXPECT_EQ("K02 00014", reply);
  std::vector<std::string> texts = LogTexts();
  int stop = FindText(texts, "Service stop requested");
  int response = FindText(texts, "K02 response: [0][0][0][1][4]");
  int sent = FindText(texts, "Sent data: 9 bytes");
  int unload = FindText(texts, "Unloading SNMPUPS.DLL...");
  EXPECT_GE(stop, 0);
  EXPECT_GT(response, stop);
  EXPECT_GT(sent, response);
  EXPECT_GT(unload, sent);
}

}  // namespace
