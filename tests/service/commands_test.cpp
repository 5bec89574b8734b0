// The five commands end to end through the pipe: replies, SHARE_DK.APC, the PCS decision
// table, the PCS hand-off to AD1/CSD, and the shutdown modes of AD1/CSD.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quorin/platform.h"
#include "service_fixture.h"

namespace {

// Whether this process holds CAP_SYS_BOOT (bit 22 of CapEff), which the service it starts
// inherits and needs for the shutdown privilege.
bool HasShutdownCapability() {
  std::istringstream in(qt::read_file("/proc/self/status"));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> 22) & 1;
  return false;
}

const char kTwoServersOneStorage[] =
    "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n"
    "[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=10.0.0.1\n"
    "[Server2]\nUPS_NUM=1\nUsed=0\nUPS_IP1=10.0.0.2\n"
    "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n";

TEST_F(ServiceTest, FixedStatusAndUnknownCommands) {
  WriteConfig(kTwoServersOneStorage);
  Start();
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  // The unit character is echoed; the request's length field is not examined.
  EXPECT_EQ("C02100014", Send("C021zzzz"));
  EXPECT_EQ("ZZZ 1F00", Send("ZZZ 0000"));
  EXPECT_EQ("c02 1F00", Send("c02 0000"));  // codes are case-sensitive
  EXPECT_TRUE(LogHas("Unknown command: ZZZ"));
  EXPECT_TRUE(LogHas("C02 response: 4"));
}

TEST_F(ServiceTest, K02WritesShareDiskRecordsAndReportsAnUnreadUps) {
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=2\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n[Storage2]\nUPS_NUM=1\nUPS_IP1=10.0.2.1\n");
  WriteScript("[status]\n10.0.2.1=fail\n");
  Start();
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  std::string file = qt::read_file(install.data("SHARE_DK.APC"));
  ASSERT_EQ(264u, file.size());
  EXPECT_EQ(std::string("10.0.1.1") + std::string(56, '\0'), file.substr(0, 64));
  EXPECT_EQ(std::string("Storage1-UPS1") + std::string(51, '\0'), file.substr(64, 64));
  EXPECT_EQ(std::string("\x02\x00\x00\x00", 4), file.substr(128, 4));
  EXPECT_EQ(std::string("10.0.2.1") + std::string(56, '\0'), file.substr(132, 64));
  EXPECT_EQ(std::string("Storage2-UPS1") + std::string(51, '\0'), file.substr(196, 64));
  EXPECT_EQ(std::string("\xff\xff\xff\xff", 4), file.substr(260, 4));
  EXPECT_TRUE(LogHas("Failed to get UPS status: 10.0.2.1"));
  EXPECT_TRUE(LogHas("K02 response: [1][3][0][1][4]"));

  // All on line: "00"; one on battery (status 3): state 1 and "13".
  WriteScript("[status]\n10.0.1.1=2\n10.0.2.1=2\n");
  EXPECT_EQ("K02 00014", Send("K02 0000"));
  WriteScript("[status]\n10.0.2.1=3\n");
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), qt::read_file(install.data("SHARE_DK.APC")).substr(260, 4));
}

// Bytes of a command code from the client are shown escaped: a code with CR, LF or NUL
// neither splits its log entry nor forges another; each code stays on its one line.
TEST_F(ServiceTest, ControlBytesOfACommandCodeAreShownEscaped) {
  // Other texts from outside are shown escaped as well: a configuration value, say.
  WriteConfig(
      "[common]\nCommunity=pub\x1b[2Jlic\x7f\nTSR_SVR_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n");
  Start();
  EXPECT_TRUE(LogHas("[common] Community = pub\\x1B[2Jlic\\x7F"));
  struct Case {
    std::string code;
    const char *shown;
  } cases[] = {{std::string("\r\nX", 3), "\\x0D\\x0AX"},
               {std::string("A\0B", 3), "A\\x00B"},
               {std::string("\x1b\x7f\xff", 3), "\\x1B\\x7F\\xFF"},
               {std::string("a\\b", 3), "a\\\\b"},
               {"c02", "c02"}};
  for (const Case &c : cases) {
    size_t before = Log().size();
    EXPECT_EQ(c.code + " 1F00", Send(c.code + " 0000")) << c.shown;
    std::vector<std::string> texts = LogTexts();
    int cmd = FindText(texts, std::string("CMD: ") + c.shown, static_cast<int>(before));
    ASSERT_GE(cmd, 0) << c.shown;
    EXPECT_EQ("Unknown command: " + std::string(c.shown), texts[static_cast<size_t>(cmd) + 1]);
    EXPECT_EQ("ProcessCommand succeeded, response size: 8", texts[static_cast<size_t>(cmd) + 2]);
  }
  // Every entry of the file is a whole entry: its time stamp, then its code in brackets.
  std::string content = qt::read_file(LogPath());
  std::istringstream in(content.substr(9, static_cast<size_t>(atol(content.substr(0, 8).c_str()))));
  std::string line;
  while (std::getline(in, line)) {
    ASSERT_GE(line.size(), 31u) << line;
    EXPECT_EQ('/', line[4]) << line;
    EXPECT_EQ('[', line[20]) << line;
  }
  EXPECT_EQ(std::string::npos, content.find('\r'));
}

TEST_F(ServiceTest, K02WithoutStorage) {
  WriteConfig("[common]\nTSR_SVR_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n");
  Start();
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_TRUE(LogHas("K02: No storage UPS configured"));
  EXPECT_FALSE(qt::file_exists(install.data("SHARE_DK.APC")));
}

// "SHARE_DK.APC" is replaced whole: a client that holds the old file (even unshared, or with a
// lock on it) keeps reading the old records, and the next K02 writes its own all the same.
// "13" stays for a file that truly cannot be written.
TEST_F(ServiceTest, K02WritesItsFileWholeWhateverHoldsTheOldOne) {
  WriteConfig(kTwoServersOneStorage);
  WriteScript("[status]\n10.0.1.1=3\n");
  Start();
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  std::string old_file = qt::read_file(install.data("SHARE_DK.APC"));
  ASSERT_EQ(132u, old_file.size());
  qp_file *held =
      qp_file_open(install.data("SHARE_DK.APC").c_str(), QP_ACCESS_READ, QP_SHARE_NONE, QP_OPEN_EXISTING);
  ASSERT_NE(nullptr, held);
  WriteScript("[status]\n10.0.1.1=2\n");
  EXPECT_EQ("K02 00014", Send("K02 0000"));
  EXPECT_EQ(std::string("\x02\x00\x00\x00", 4), qt::read_file(install.data("SHARE_DK.APC")).substr(128, 4));
  char buf[200];
  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_file_read(held, buf, sizeof buf, &done));
  EXPECT_EQ(old_file, std::string(buf, done));
  qp_file_close(held);
  EXPECT_FALSE(LogHas("K02: Failed to create SHARE_DK.APC"));

  // A folder in the file's place: the records cannot take it; "13", and no new file is left.
  unlink(install.data("SHARE_DK.APC").c_str());
  ASSERT_EQ(0, mkdir(install.data("SHARE_DK.APC").c_str(), 0750));
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  std::vector<std::string> texts = LogTexts();
  int failed = FindText(texts, "K02: Failed to write SHARE_DK.APC");
  ASSERT_GE(failed, 0);
  EXPECT_EQ("K02 response: [1][3][0][1][4]", texts[static_cast<size_t>(failed) + 1]);
  std::string listing;
  ASSERT_EQ(0, qt::run({"ls", "-A", install.data("")}, {}, &listing));
  EXPECT_EQ(std::string::npos, listing.find("SHARE_DK.APC.")) << listing;
}

TEST_F(ServiceTest, K02AnswersUnreadWhenTheStatusFileCannotBeMade) {
  WriteConfig(kTwoServersOneStorage);
  extra_env["QUORIN_FAULTS"] = "file_replace";
  Start();
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_TRUE(LogHas("K02: Failed to create SHARE_DK.APC"));
  EXPECT_FALSE(qt::file_exists(install.data("SHARE_DK.APC")));
}

// K02s at the same time each get their answer from their own reads: none answers "13" while
// every card is on line (one K02 waits for another's file work, it does not fail on it).
TEST_F(ServiceTest, ConcurrentK02sAllAnswerOnLine) {
  WriteConfig(kTwoServersOneStorage);
  WriteScript("[status]\ndelay_ms=20\n");
  Start();
  constexpr int kClients = 8, kRounds = 10;
  std::vector<std::string> replies[kClients];
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([this, c, &replies] {
      for (int r = 0; r < kRounds; ++r) replies[c].push_back(Send("K02 0000"));
    });
  for (std::thread &t : clients) t.join();
  for (int c = 0; c < kClients; ++c)
    for (const std::string &reply : replies[c]) EXPECT_EQ("K02 00014", reply) << "client " << c;
  EXPECT_EQ(0, qt::count_of(qt::read_file(LogPath()), "K02 response: [1][3]"));
  EXPECT_EQ(std::string("\x02\x00\x00\x00", 4), qt::read_file(install.data("SHARE_DK.APC")).substr(128, 4));
}

// A K02 whose reads are older than those of a K02 that wrote the file before it does not
// write its older records over the newer ones; its reply still tells its own reads.
TEST_F(ServiceTest, AnOlderK02DoesNotOverwriteANewerOne) {
  WriteConfig(kTwoServersOneStorage);
  WriteScript("[status]\n10.0.1.1=3\ndelay_ms=1500\n");
  Start();
  std::string slow_reply;
  size_t before = Calls().size();
  std::thread slow([this, &slow_reply] { slow_reply = Send("K02 0000"); });
  // Once the slow K02 has asked for the card's status (on battery), the card comes back on line
  // and answers at once.
  ASSERT_TRUE(qt::wait_until([&] { return Calls().size() > before; }));
  WriteScript("[status]\n10.0.1.1=2\n");
  EXPECT_EQ("K02 00014", Send("K02 0000"));
  slow.join();
  EXPECT_EQ("K02 13014", slow_reply);
  EXPECT_EQ(std::string("\x02\x00\x00\x00", 4), qt::read_file(install.data("SHARE_DK.APC")).substr(128, 4));
}

// A service killed while K02 reads the cards leaves the file of the K02 before, whole.
TEST_F(ServiceTest, AKillDuringK02LeavesThePreviousFileWhole) {
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=2\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n[Storage2]\nUPS_NUM=1\nUPS_IP1=10.0.2.1\n");
  Start();
  ASSERT_EQ("K02 00014", Send("K02 0000"));
  std::string previous = qt::read_file(install.data("SHARE_DK.APC"));
  ASSERT_EQ(264u, previous.size());
  WriteScript("[status]\n10.0.1.1=3\ndelay_ms=2000\n");
  size_t before = Calls().size();
  std::thread client([this] { Send("K02 0000"); });
  ASSERT_TRUE(qt::wait_until([&] { return Calls().size() > before; }));
  long pid = 0;
  std::istringstream status(qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("pid=", 0) == 0) pid = std::stol(line.substr(4));
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(static_cast<pid_t>(pid), SIGKILL));
  client.join();
  started = false;
  EXPECT_EQ(previous, qt::read_file(install.data("SHARE_DK.APC")));
}

struct PcsCase {
  const char *script;
  const char *decision;
  const char *started;
  const char *call;
};

TEST_F(ServiceTest, PcsDecisionTable) {
  WriteConfig(kTwoServersOneStorage);
  Start();
  const PcsCase cases[] = {
      {"[status]\n10.0.1.1=3\n", "PCS: Storage UPS failure - calling QuoVexClusterShutdown",
       "PCS: Cluster shutdown initiated (Storage failure)", "VexClusterShutdown 5 3"},
      {"[status]\n10.0.0.1=3\n10.0.0.2=3\n", "PCS: All server UPS failure - calling QuoVexClusterShutdown",
       "PCS: Cluster shutdown initiated (All server failure)", "VexClusterShutdown 5 3"},
      {"[status]\n10.0.0.2=3\n", "PCS: Partial server UPS failure - calling QuoVexServerShutdown",
       "PCS: Server shutdown initiated", "VexServerShutdown 3"},
      {"", "PCS: No UPS failure (scheduled) - calling QuoVexClusterShutdown",
       "PCS: Cluster shutdown initiated (Scheduled)", "VexClusterShutdown 5 3"},
  };
  for (const PcsCase &c : cases) {
    WriteScript(c.script);
    qt::write_file(calls_path, "");
    int before = static_cast<int>(LogTexts().size());
    EXPECT_EQ("PCS 0000", Send("PCS 0000")) << c.decision;
    std::vector<std::string> texts = LogTexts();
    int at = FindText(texts, c.decision, before);
    EXPECT_GE(at, 0) << c.decision;
    EXPECT_GE(FindText(texts, c.started, at), 0) << c.started;
    std::vector<std::string> calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(c.call, calls.back());
    // The next AD1 with a nonzero mode takes the hand-off and clears it.
    EXPECT_EQ("AD1 0001", Send("AD1 00011"));
  }
  EXPECT_EQ(4, qt::count_of(qt::read_file(LogPath()),
                            "AD1/CSD: PCS shutdown request detected - returning success"));
  EXPECT_EQ(0, qt::count_of(qt::read_file(calls_path), "SetUpsOffbySnmp"));
  EXPECT_TRUE(LogHas("PCS response: [0][0][0][0]"));
}

TEST_F(ServiceTest, PcsFailures) {
  WriteConfig(kTwoServersOneStorage);
  WriteScript("[status]\n10.0.0.2=fail\n");
  Start();
  // An unread UPS: failure without calling the cluster side.
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: UPS status check failed"));
  EXPECT_TRUE(LogHas("PCS: ServerTotal:1, AllFail:N, AnyStorageFail:N"));
  for (const std::string &call : Calls()) EXPECT_EQ(std::string::npos, call.find("Shutdown"));
  // The cluster side refuses.
  WriteScript("[vex]\ncluster=0\n");
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: QuoVexClusterShutdown failed"));
  // This server's shutdown is refused.
  WriteScript("[status]\n10.0.0.2=3\n[vex]\nserver=0\n");
  qt::write_file(calls_path, "");
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: QuoVexServerShutdown failed"));
  EXPECT_FALSE(LogHas("PCS: Server shutdown initiated"));
  ASSERT_FALSE(Calls().empty());
  EXPECT_EQ("VexServerShutdown 3", Calls().back());
  // A refused PCS leaves no hand-off: the next CSD really switches off.
  qt::write_file(calls_path, "");
  EXPECT_EQ("CSD 0001", Send("CSD 00011"));
  EXPECT_EQ(3, qt::count_of(qt::read_file(calls_path), "SetUpsOffbySnmp"));
}

TEST_F(ServiceTest, PcsWithoutConfigurationRequestsTheScheduledShutdown) {
  Start();  // no ky_e_net.ini
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Retrieved 0 UPS status records"));
  EXPECT_TRUE(LogHas("PCS: ServerTotal:0, AllFail:Y, AnyStorageFail:N"));
  EXPECT_TRUE(LogHas("PCS: Cluster shutdown initiated (Scheduled)"));
}

TEST_F(ServiceTest, PcsHandOffThenCsdSwitchesEveryReadUpsOff) {
  WriteConfig(kTwoServersOneStorage);
  WriteScript("[status]\n10.0.1.1=3\n10.0.0.2=fail\n");
  Start();
  WriteScript("[status]\n10.0.1.1=3\n");
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  qt::write_file(calls_path, "");
  EXPECT_EQ("CSD 0001", Send("CSD 00011"));
  EXPECT_TRUE(LogHas("AD1/CSD: PCS shutdown request detected - returning success"));
  EXPECT_TRUE(Calls().empty());
  // The second CSD switches off every UPS whose status was read, in configuration order.
  WriteScript("[status]\n10.0.0.2=fail\n");
  EXPECT_EQ("CSD 0001", Send("CSD 00011"));
  std::vector<std::string> off;
  for (const std::string &call : Calls())
    if (call.rfind("SetUpsOffbySnmp", 0) == 0) off.push_back(call);
  ASSERT_EQ(2u, off.size());
  EXPECT_EQ("SetUpsOffbySnmp 10.0.0.1 3 2", off[0]);
  EXPECT_EQ("SetUpsOffbySnmp 10.0.1.1 3 2", off[1]);
  EXPECT_TRUE(LogHas("Calling SetUpsOffbySnmp for Storage1-UPS1 (10.0.1.1)"));
  EXPECT_TRUE(LogHas("All UPS shutdown commands completed"));
}

// Three servers (Used 1, 0 and 2: only 1 counts as used) and one storage unit.
const char kThreeServersOneStorage[] =
    "[common]\nTSR_SVR_NUM=3\nStorage_NUM=1\n"
    "[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=10.0.0.1\n"
    "[Server2]\nUPS_NUM=1\nUsed=0\nUPS_IP1=10.0.0.2\n"
    "[Server3]\nUPS_NUM=1\nUsed=2\nUPS_IP1=10.0.0.3\n"
    "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n";

// The shutdown modes of AD1 and CSD, each bit on its own and together: the first bit set of 4
// (restart), 1 (cluster shutdown), then 2 or 8 (server or emergency shutdown) selects the
// action. The restart itself runs the test's stand-in command; with the capability withheld
// it is refused, as the privilege is: "10". What is checked here needs no restart.
TEST_F(ServiceTest, AdOneAndCsdModes) {
  WriteConfig(kThreeServersOneStorage);
  // Switch-off results other than 0 count as accepted; only 0 is a failure.
  WriteScript("[off]\n10.0.0.1=2\n10.0.0.3=-1\n");
  Start();
  const bool can_restart = HasShutdownCapability();
  const std::vector<std::string> cluster_off = {
      "SetUpsOffbySnmp 10.0.0.1 3 2", "SetUpsOffbySnmp 10.0.0.2 3 2", "SetUpsOffbySnmp 10.0.0.3 3 2",
      "SetUpsOffbySnmp 10.0.1.1 3 2"};
  const std::vector<std::string> server_off = {"SetUpsOffbySnmp 10.0.0.1 3 2"};
  const std::vector<std::string> none;
  const char *kStart = "----> CSD/AD1: VexShutDown StartRequest Receive...";
  const char *kReboot = "Reboot mode - Initiating server reboot...";
  const char *kCluster = "----> CSD/AD1: VexClusterShutDown Request Receive";
  const char *kServer = "----> AD1: VexServerShutDown Request Receive";
  const char *kEmergency = "----> AD1: VexEmergencyShutDown Request Receive";
  const char *kRebootReply = can_restart ? "00" : "10";
  struct ModeCase {
    std::string request;
    const char *mode_line;
    const char *action_line;
    const char *result;
    std::vector<std::string> off;
  } cases[] = {
      {"AD1 00010", "AD1/CSD: iClusterDownMode = 0x0", kStart, "00", none},
      {"AD1 0001G", "AD1/CSD: iClusterDownMode = 0x0", kStart, "00", none},  // not a hexadecimal digit
      {"CSD 0000", "AD1/CSD: iClusterDownMode = 0x0", kStart, "00", none},   // no mode byte at all
      {"CSD 00011", "AD1/CSD: iClusterDownMode = 0x1", kCluster, "00", cluster_off},
      {"AD1 00012", "AD1/CSD: iClusterDownMode = 0x2", kServer, "00", server_off},
      {"AD1 00014", "AD1/CSD: iClusterDownMode = 0x4", kReboot, kRebootReply, none},
      {"AD1 00018", "AD1/CSD: iClusterDownMode = 0x8", kEmergency, "00", server_off},
      {"CSD 00013", "AD1/CSD: iClusterDownMode = 0x3", kCluster, "00", cluster_off},
      {"CSD 00019", "AD1/CSD: iClusterDownMode = 0x9", kCluster, "00", cluster_off},
      {"AD1 0001A", "AD1/CSD: iClusterDownMode = 0xA", kEmergency, "00", server_off},
      {"AD1 0001a", "AD1/CSD: iClusterDownMode = 0xA", kEmergency, "00", server_off},
      {"CSD 00015", "AD1/CSD: iClusterDownMode = 0x5", kReboot, kRebootReply, none},
      {"CSD 00016", "AD1/CSD: iClusterDownMode = 0x6", kReboot, kRebootReply, none},
      {"AD1 0001C", "AD1/CSD: iClusterDownMode = 0xC", kReboot, kRebootReply, none},
      {"AD1 0001F", "AD1/CSD: iClusterDownMode = 0xF", kReboot, kRebootReply, none},
  };
  for (const ModeCase &c : cases) {
    qt::write_file(calls_path, "");
    int before = static_cast<int>(LogTexts().size());
    std::string expected = c.request.substr(0, 4) + c.result + c.request.substr(6, 2);
    EXPECT_EQ(expected, Send(c.request)) << c.request;
    std::vector<std::string> texts = LogTexts();
    int mode = FindText(texts, c.mode_line, before);
    EXPECT_GE(mode, 0) << c.request;
    EXPECT_EQ(mode + 1, FindText(texts, c.action_line, before)) << c.request;
    std::vector<std::string> off;
    for (const std::string &call : Calls())
      if (call.rfind("SetUpsOffbySnmp", 0) == 0) off.push_back(call);
    EXPECT_EQ(c.off, off) << c.request;
  }
  EXPECT_TRUE(LogHas("SetUpsOffbySnmp for 10.0.0.1 result: 2"));
  EXPECT_TRUE(LogHas("SetUpsOffbySnmp for 10.0.0.3 result: -1"));
  EXPECT_TRUE(LogHas("Server shutdown - Processed 1 UPS"));
  EXPECT_TRUE(LogHas("Emergency shutdown - Processed 1 UPS"));
  EXPECT_FALSE(LogHas("Some UPS shutdown commands failed"));

  // A UPS that refuses (result 0): "Some UPS shutdown commands failed" and "10", for the
  // cluster and for the server shutdown.
  WriteScript("[off]\n10.0.0.2=0\n");
  EXPECT_EQ("CSD 1001", Send("CSD 00011"));
  EXPECT_TRUE(LogHas("SetUpsOffbySnmp for 10.0.0.2 result: 0"));
  EXPECT_TRUE(LogHas("Some UPS shutdown commands failed"));
  WriteScript("[off]\n10.0.0.1=0\n");
  EXPECT_EQ("AD1 1001", Send("AD1 00012"));
  EXPECT_EQ(2, qt::count_of(qt::read_file(LogPath()), "Server shutdown - Processed 1 UPS"));
}

// The restart modes carried out: 'F' and '6' restart the server (the test's stand-in command
// records each restart). Needs the capability the shutdown privilege stands for.
TEST_F(ServiceTest, AdOneAndCsdRestart) {
  if (!HasShutdownCapability()) GTEST_SKIP() << "needs CAP_SYS_BOOT for the restart modes";
  WriteConfig(kTwoServersOneStorage);
  Start();
  qt::write_file(calls_path, "");
  EXPECT_EQ("AD1 0001", Send("AD1 0001F"));
  EXPECT_EQ("CSD 0001", Send("CSD 00016"));
  EXPECT_EQ("reboot\nreboot\n", qt::read_file(reboot_record));
  EXPECT_EQ(2, qt::count_of(qt::read_file(LogPath()), "Shutdown privilege enabled successfully"));
  EXPECT_EQ(2, qt::count_of(qt::read_file(LogPath()), "Server reboot initiated successfully"));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ServiceTest, ServerShutdownWithoutAUsedServerFails) {
  WriteConfig("[common]\nTSR_SVR_NUM=1\n[Server1]\nUPS_NUM=2\nUPS_IP1=10.0.0.1\nUPS_IP2=10.0.0.2\n");
  Start();
  EXPECT_EQ("AD1 1001", Send("AD1 00012"));
  EXPECT_TRUE(LogHas("Server shutdown - Processed 0 UPS"));
}

// Each failing step of the privilege: its own log line, then "Failed to enable shutdown
// privilege", "10" and no restart. The three fault points fire once each, one after the other.
TEST_F(ServiceTest, RebootRefusedWhenAPrivilegeStepFails) {
  WriteConfig(kTwoServersOneStorage);
  extra_env["QUORIN_FAULTS"] = "token_open:0:1,privilege_lookup:0:1,privilege_adjust:0:1";
  Start();
  const char *failures[] = {"OpenProcessToken failed (error: 5)", "LookupPrivilegeValue failed (error: 1313)",
                            "AdjustTokenPrivileges failed (error: 5)"};
  for (const char *failure : failures) {
    int before = static_cast<int>(LogTexts().size());
    EXPECT_EQ("AD1 1001", Send("AD1 00014")) << failure;
    std::vector<std::string> texts = LogTexts();
    int at = FindText(texts, "Reboot mode - Initiating server reboot...", before);
    ASSERT_GE(at, 0) << failure;
    ASSERT_LT(static_cast<size_t>(at) + 2, texts.size()) << failure;
    EXPECT_EQ(failure, texts[static_cast<size_t>(at) + 1]);
    EXPECT_EQ("Failed to enable shutdown privilege", texts[static_cast<size_t>(at) + 2]) << failure;
  }
  EXPECT_FALSE(LogHas("Shutdown privilege enabled successfully"));
  EXPECT_FALSE(LogHas("Server reboot initiated successfully"));
  EXPECT_FALSE(qt::file_exists(reboot_record));
}

// A service whose bounding set lacks CAP_SYS_BOOT cannot hold the privilege at all.
TEST_F(ServiceTest, RebootRefusedWithoutTheCapability) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the service with a reduced bounding set";
  if (qt::run({"setpriv", "--bounding-set=-sys_boot", "true"}) != 0)
    GTEST_SKIP() << "setpriv from util-linux cannot drop CAP_SYS_BOOT from the bounding set here";
  WriteConfig(kTwoServersOneStorage);
  start_wrapper = {"setpriv", "--bounding-set=-sys_boot", "--"};
  Start();
  int before = static_cast<int>(LogTexts().size());
  EXPECT_EQ("AD1 1001", Send("AD1 00014"));
  std::vector<std::string> texts = LogTexts();
  int at = FindText(texts, "Reboot mode - Initiating server reboot...", before);
  ASSERT_GE(at, 0);
  ASSERT_LT(static_cast<size_t>(at) + 2, texts.size());
  EXPECT_EQ("SE_SHUTDOWN_NAME privilege not all assigned", texts[static_cast<size_t>(at) + 1]);
  EXPECT_EQ("Failed to enable shutdown privilege", texts[static_cast<size_t>(at) + 2]);
  EXPECT_FALSE(qt::file_exists(reboot_record));
}

TEST_F(ServiceTest, RebootCommandFailureIsReported) {
  if (!HasShutdownCapability()) GTEST_SKIP() << "needs CAP_SYS_BOOT for the privilege step";
  WriteConfig(kTwoServersOneStorage);
  extra_env["QUORIN_REBOOT_COMMAND"] = "exit 3";
  Start();
  EXPECT_EQ("AD1 1001", Send("AD1 00014"));
  EXPECT_TRUE(LogHas("Failed to initiate server reboot (error: 31)"));
}

TEST_F(ServiceTest, SwitchOffEntryMissing) {
  WriteConfig(kTwoServersOneStorage);
  snmp_library = "fake_snmpups_noset.so";
  Start();
  EXPECT_TRUE(LogHas("Warning: SetUpsOffbySnmp not found"));
  EXPECT_TRUE(LogHas("Warning: SetUpsPowerFailOffbySnmp not found"));
  // Cluster shutdown switches nothing off and still reports success; server shutdown fails.
  EXPECT_EQ("CSD 0001", Send("CSD 00011"));
  EXPECT_TRUE(LogHas("All UPS shutdown commands completed"));
  EXPECT_EQ("AD1 1001", Send("AD1 00012"));
  EXPECT_TRUE(LogHas("Server shutdown - Processed 0 UPS"));
}

TEST_F(ServiceTest, StatusLibraryMissingLeavesEveryUpsUnread) {
  WriteConfig(kTwoServersOneStorage);
  snmp_library = "";
  Start();
  EXPECT_TRUE(LogHas("Failed to load SNMPUPS.DLL (error: 126)"));
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_EQ(std::string("\xff\xff\xff\xff", 4), qt::read_file(install.data("SHARE_DK.APC")).substr(128, 4));
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
}

TEST_F(ServiceTest, StatusEntryMissingReleasesTheLibrary) {
  WriteConfig(kTwoServersOneStorage);
  snmp_library = "fake_snmpups_nostatus.so";
  Start();
  std::vector<LogEntry> log = Log();
  bool found = false;
  for (const LogEntry &e : log)
    if (e.text == "Failed to get GetUpsStatusFromSnmp address") {
      found = true;
      EXPECT_EQ(127u, e.code);
    }
  EXPECT_TRUE(found);
  EXPECT_FALSE(LogHas("SNMPUPS.DLL loaded successfully"));
  EXPECT_EQ("K02 13014", Send("K02 0000"));
}

TEST_F(ServiceTest, ServerShutdownEntryMissing) {
  WriteConfig(kTwoServersOneStorage);
  vex_library = "fake_vexapi_noserver.so";
  WriteScript("[status]\n10.0.0.2=3\n");
  Start();
  EXPECT_TRUE(LogHas("Warning: VexServerShutdown not found"));
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: QuoVexServerShutdown not available"));
}

TEST_F(ServiceTest, ClusterShutdownEntryMissing) {
  WriteConfig(kTwoServersOneStorage);
  vex_library = "fake_vexapi_nocluster.so";
  Start();
  EXPECT_TRUE(LogHas("Warning: VexClusterShutdown not found"));
  EXPECT_FALSE(LogHas("Warning: VexServerShutdown not found"));
  // Every decision that needs the cluster shutdown fails with the "not available" line.
  EXPECT_EQ("PCS 1000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: No UPS failure (scheduled) - calling QuoVexClusterShutdown"));
  EXPECT_TRUE(LogHas("PCS: QuoVexClusterShutdown not available"));
  EXPECT_FALSE(LogHas("PCS: Cluster shutdown initiated (Scheduled)"));
  // The server shutdown is still there.
  WriteScript("[status]\n10.0.0.2=3\n");
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Server shutdown initiated"));
  EXPECT_EQ(0, qt::count_of(qt::read_file(calls_path), "VexClusterShutdown"));
}

}  // namespace
