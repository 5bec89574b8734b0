// Loading ky_e_net.ini: defaults, validation messages, partial loads and oversized values.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "service_fixture.h"

namespace {

TEST_F(ServiceTest, ConfigurationDefaultsAndLogLines) {
  WriteConfig("[COMMON]\ncommunity=kelpie\ntsr_svr_num=1\n[server1]\nups_num=1\nused=1\nups_ip1=10.0.0.1\n");
  Start();
  std::vector<std::string> texts = LogTexts();
  const char *expected[] = {"[common] Community = kelpie (default)",
                            "[common] interval = 8",
                            "[common] TSR_SVR_NUM = 1",
                            "[common] Storage_NUM = 0",
                            "[Server1] UPS_NUM = 1, Used = 1",
                            "[Server1] UPS_IP1 = 10.0.0.1",
                            "Config loaded successfully",
                            "Configuration file loaded successfully"};
  int at = 0;
  for (const char *text : expected) {
    int found = FindText(texts, text, at);
    EXPECT_GE(found, at) << text;
    if (found >= 0) at = found;
  }
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_TRUE(LogHas("K02: No storage UPS configured"));
}

TEST_F(ServiceTest, ConfigurationWithoutServerCount) {
  WriteConfig("[common]\nCommunity=public\ninterval=3\n");
  Start();
  EXPECT_TRUE(LogHas("[common] Community = public"));
  EXPECT_TRUE(LogHas("[common] interval = 3"));
  EXPECT_TRUE(LogHas("Invalid TSR_SVR_NUM in [common]"));
  EXPECT_TRUE(LogHas("Failed to load configuration file"));
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Retrieved 0 UPS status records"));
}

TEST_F(ServiceTest, ConfigurationMissingFile) {
  Start();
  std::vector<LogEntry> log = Log();
  bool found = false;
  for (const LogEntry &e : log)
    if (e.text == "Config file not found") {
      found = true;
      EXPECT_EQ(2u, e.code);
    }
  EXPECT_TRUE(found);
  EXPECT_TRUE(LogHas("Failed to load configuration file"));
}

TEST_F(ServiceTest, ConfigurationStopsAtTheFirstBadSectionAndKeepsWhatWasRead) {
  WriteConfig(
      "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Server2]\nUPS_NUM=2\nUPS_IP1=10.0.0.2\n[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n");
  Start();
  EXPECT_TRUE(LogHas("Missing UPS_IP2 in [Server2]"));
  EXPECT_TRUE(LogHas("Failed to load [Server2]"));
  EXPECT_FALSE(LogHas("[Storage1] UPS_NUM = 1"));
  // The first server stays loaded; no storage unit is.
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Retrieved 1 UPS status records"));
  EXPECT_TRUE(LogHas("PCS: Server1-UPS1 IP:10.0.0.1 outsts=2"));
}

TEST_F(ServiceTest, ConfigurationRejectsBadCounts) {
  WriteConfig("[common]\nTSR_SVR_NUM=1\nStorage_NUM=-1\n");
  Start();
  EXPECT_TRUE(LogHas("Invalid Storage_NUM in [common]"));
  Stop();
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n[Storage1]\nUPS_NUM="
      "0\n");
  Start();
  EXPECT_TRUE(LogHas("Invalid UPS_NUM in [Storage1]"));
  EXPECT_TRUE(LogHas("Failed to load [Storage1]"));
}

// A configuration file that is not a regular file (a link to a device, a FIFO nobody writes)
// or is larger than 1 MB is refused with a line saying why: the initialisation neither hangs
// nor runs out of memory, and the service answers without a configuration.
TEST_F(ServiceTest, ConfigurationThatIsNotAFileOrTooLargeIsRefused) {
  struct Case {
    const char *kind;
    const char *line;
    unsigned code;
  } cases[] = {{"device", "Config file refused: not a regular file", 222},
               {"fifo", "Config file refused: not a regular file", 222},
               {"large", "Config file refused: larger than 1048576 bytes", 223}};
  std::string path = install.data("ky_e_net.ini");
  std::string head = "[common]\nTSR_SVR_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n";
  for (const Case &c : cases) {
    unlink(path.c_str());
    if (std::string(c.kind) == "device") {
      ASSERT_EQ(0, symlink("/dev/zero", path.c_str()));
    }
    if (std::string(c.kind) == "fifo") {
      ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    }
    if (std::string(c.kind) == "large") WriteConfig(head + std::string(1048577 - head.size(), ';'));
    size_t before = Log().size();
    Start();
    std::vector<LogEntry> log = Log();
    int refused = -1;
    for (size_t i = before; i < log.size(); ++i)
      if (log[i].text == c.line) {
        refused = static_cast<int>(i);
        EXPECT_EQ(c.code, log[i].code) << c.kind;
      }
    EXPECT_GE(refused, 0) << c.kind;
    EXPECT_GE(FindText(LogTexts(), "Failed to load configuration file", refused), 0) << c.kind;
    EXPECT_EQ("PCS 0000", Send("PCS 0000")) << c.kind;
    Stop();
  }
  // Exactly 1 MB is a configuration like any other.
  WriteConfig(head + std::string(1048576 - head.size(), ';'));
  size_t before = Log().size();
  Start();
  EXPECT_GE(FindText(LogTexts(), "Config loaded successfully", static_cast<int>(before)), 0);
}

TEST_F(ServiceTest, OversizedAndJunkValuesAreCut) {
  std::string long_address(300, '7');
  WriteConfig("[common]\nTSR_SVR_NUM=1x\nStorage_NUM=1\ninterval=junk\n[Server1]\nUPS_NUM=1\nUPS_IP1=" +
              long_address + "\n[Storage1]\nUPS_NUM=1\nUPS_IP1=" + long_address + "\n");
  Start();
  EXPECT_TRUE(LogHas("[common] interval = 0"));
  EXPECT_TRUE(LogHas("[common] TSR_SVR_NUM = 1"));
  // Values are read into 256 bytes and log texts keep 256 characters; records and the status
  // file keep 63.
  EXPECT_TRUE(LogHas(("[Server1] UPS_IP1 = " + long_address).substr(0, 256)));
  EXPECT_EQ("K02 00014", Send("K02 0000"));
  std::string file = qt::read_file(install.data("SHARE_DK.APC"));
  ASSERT_EQ(132u, file.size());
  EXPECT_EQ(long_address.substr(0, 63) + '\0', file.substr(0, 64));
  std::vector<std::string> calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ("GetUpsStatusFromSnmp " + long_address.substr(0, 63), calls.back());
}

}  // namespace
