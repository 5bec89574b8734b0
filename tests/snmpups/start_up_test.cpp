// The start-up wait against upssim cards (a card that comes up late, cards that never do, the
// trap listener's setting and failure, the configuration push with its SETs, outlet models and
// refusals) and the information exports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "monitor_fixture.h"

extern "C" int GetDasklumoDllVersion(char *version);
extern "C" int QuoKyGetInfo(void *out, unsigned type);
extern "C" int QuoKyGetUnitState(int ups_index, char *address, uint32_t *words);

namespace {

const char kCommStatus[] = ".1.3.6.1.4.1.318.1.1.1.8.1.0";
const char kHighTransfer[] = ".1.3.6.1.4.1.318.1.1.1.5.2.2.0";
const char kAlarm[] = ".1.3.6.1.4.1.318.1.1.1.5.2.4.0";
const char kSensitivity[] = ".1.3.6.1.4.1.318.1.1.1.5.2.7.0";
const char kAlarmTimer[] = ".1.3.6.1.4.1.318.1.1.1.5.2.5.0";

using Lines = std::vector<std::string>;

class StartUpTest : public qt::MonitorTest {
 protected:
  explicit StartUpTest(const char *scale = "100") : MonitorTest(scale) {}
  // The lines of the push: value, mismatch and error lines, in order.
  Lines PushLines(size_t mark) const {
    Lines lines;
    for (const std::string &text : LogTextsSince(mark)) {
      if (text.rfind("upsAdv", 0) == 0 || text.rfind("Value != ", 0) == 0 ||
          text == "  UPS parameter set error")
        lines.push_back(text);
    }
    return lines;
  }
};

TEST_F(StartUpTest, ACardThatComesUpLateIsWaitedFor) {
  StartCards("127.0.0.2", "127.0.0.2");
  ASSERT_TRUE(LoadWith("UPS_IP=127.0.0.2\r\nSNMP_GET_RETRY=1000\r\n"));
  Ctl("127.0.0.2", {"comm", "lost"});
  for (int slot : {0, 5, 129}) SetWords(slot, 0x18, 0x01);
  std::atomic<int> result{-1};
  std::thread start_up([&] { result.store(WaitDaskStartUp(0)); });
  // The card answers that its UPS is not connected; the wait goes on, a second apart (scaled).
  ASSERT_TRUE(qt::wait_until([&] { return Counter("127.0.0.2", "gets") >= 3; }));
  EXPECT_EQ(-1, result.load());
  Ctl("127.0.0.2", {"comm", "ok"});
  start_up.join();
  EXPECT_EQ(1, result.load());
  EXPECT_EQ(0, CodeOf(" **** UPS[0] SNMP is commection ****"));
  EXPECT_LE(3, LogCount(std::string("[UPS0]GET OID=") + kCommStatus));
  EXPECT_FALSE(LogHas(" xxxx UPS SNMP has no connection xxxx"));
  // The unit table is reset, every free slot switched off.
  EXPECT_EQ(0u, UnitWord(0, 0) | UnitWord(0, 1));
  for (int slot : {5, 129}) {
    EXPECT_EQ(0u, UnitWord(slot, 0)) << slot;
    EXPECT_EQ(OFF_UPS, UnitWord(slot, 1)) << slot;
  }
}

// Cards that never report their UPS connected: each is tried SNMP_GET_RETRY times; no listener,
// no push; the no-connection line unless the quiet argument's low byte is 1.
TEST_F(StartUpTest, CardsThatNeverAnswerEndTheWaitWithZero) {
  StartCards("127.0.0.2", "127.0.0.3");
  ASSERT_TRUE(LoadWith("UPS_IP=127.0.0.2\r\nUPS_IP7=127.0.0.3\r\nSNMP_GET_RETRY=3\r\nNO_TRAP=n\r\n"));
  Ctl("127.0.0.2", {"comm", "lost"});
  Ctl("127.0.0.3", {"fault", "status", kCommStatus, "genErr"});
  const struct {
    unsigned quiet;
    bool line;
  } cases[] = {{0, true}, {1, false}, {2, true}, {0x101, false}, {0x100, true}};
  for (const auto &c : cases) {
    long gets = Counter("127.0.0.2", "gets") + Counter("127.0.0.3", "gets");
    size_t mark = LogSize();
    EXPECT_EQ(0, WaitDaskStartUp(c.quiet)) << c.quiet;
    EXPECT_EQ(gets + 6, Counter("127.0.0.2", "gets") + Counter("127.0.0.3", "gets")) << c.quiet;
    Lines lines = LogTextsSince(mark);
    EXPECT_EQ(c.line ? 1 : 0, std::count(lines.begin(), lines.end(), " xxxx UPS SNMP has no connection xxxx"))
        << c.quiet;
    // Quiet 1 leaves out the request lines of the tries.
    EXPECT_EQ(c.quiet % 256 == 1 ? 0 : 3,
              std::count(lines.begin(), lines.end(), std::string("[UPS0]GET OID=") + kCommStatus));
    EXPECT_EQ(nullptr, g_Trap_Event.load());
    EXPECT_FALSE(LogHas("<<<<listening for traps..."));
    EXPECT_TRUE(Sets("127.0.0.2").empty());
  }
}

// A request that fails in transport gives up on that card at once; the next card still counts.
TEST_F(StartUpTest, ATransportFailureGivesUpOnTheCardAtOnce) {
  setenv("QUORIN_FAULTS", "snmp_request:0:1", 1);
  StartCards("127.0.0.2", "127.0.0.3");
  ASSERT_TRUE(LoadWith("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\nSNMP_GET_RETRY=3\r\n"));
  long gets = Counter("127.0.0.2", "gets");
  EXPECT_EQ(1, WaitDaskStartUp(0));
  EXPECT_EQ(1, LogCount(std::string("[UPS0]GET OID=") + kCommStatus));
  EXPECT_TRUE(LogHas("error on SnmpMgrRequest[UPS0] 40"));
  EXPECT_FALSE(LogHas(" **** UPS[0] SNMP is commection ****"));
  EXPECT_TRUE(LogHas(" **** UPS[1] SNMP is commection ****"));
  // The configuration push still reads every configured card.
  EXPECT_LT(gets, Counter("127.0.0.2", "gets"));
}

TEST_F(StartUpTest, TheListenerFollowsNoTrap) {
  StartCards("127.0.0.2", "127.0.0.2");
  const struct {
    const char *line;
    bool listener;
  } cases[] = {{"", false},
               {"NO_TRAP=yes\r\n", false},
               {"NO_TRAP=\r\n", false},
               {"NO_TRAP=n\r\n", true},
               {"NO_TRAP=No thanks\r\n", true},
               {"NO_TRAP=<default>\r\n", false}};
  for (const auto &c : cases) {
    ASSERT_TRUE(LoadWith(std::string("UPS_IP=127.0.0.2\r\n") + c.line));
    size_t mark = LogSize();
    EXPECT_EQ(1, WaitDaskStartUp(0)) << c.line;
    Lines lines = LogTextsSince(mark);
    bool listening = std::count(lines.begin(), lines.end(), "<<<<listening for traps...") == 1;
    bool not_used = std::count(lines.begin(), lines.end(), "SNMP Trap Service not use...") == 1;
    EXPECT_EQ(c.listener, listening) << c.line;
    EXPECT_EQ(!c.listener, not_used) << c.line;
    EXPECT_EQ(c.listener, g_Trap_Event.load() != nullptr) << c.line;
    if (not_used) {
      EXPECT_EQ(1, CodeOf("SNMP Trap Service not use..."));
    }
  }
}

// The monitor's five-second sleep without a listener, at a tenth of its length.
class NoListenerTest : public StartUpTest {
 protected:
  NoListenerTest() : StartUpTest("10") {}
};

TEST_F(NoListenerTest, ATrapPortInUseLeavesTheLibraryWithoutTraps) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(trap_port);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a));
  Configure("UPS_IP=127.0.0.2\r\n", false, "127.0.0.2");
  EXPECT_EQ(1, WaitDaskStartUp(0));
  EXPECT_EQ(42, CodeOf("error on SnmpMgrTrapListen !"));
  EXPECT_EQ(nullptr, g_Trap_Event.load());
  close(fd);
  // Without a listener the monitor sleeps five seconds (scaled) a pass, and stops within one.
  qt::MonitorCall call;
  ASSERT_TRUE(qt::wait_until([&] { return g_Get_Running.load() == 1; }));
  uint64_t started = qp_tick_ms();
  EXPECT_EQ(0, TarvosLumoStop());
  uint64_t took = qp_tick_ms() - started;
  ASSERT_TRUE(call.Wait());
  EXPECT_EQ(1, call.result());
  EXPECT_EQ(qt::StopReport(), call.report());
  EXPECT_GE(5000u + 5000u, took);
}

// Every parameter that differs gets exactly one SET, in the order of the push; a card that
// already holds them gets none.
TEST_F(StartUpTest, ThePushWritesWhatDiffersAndNothingElse) {
  StartCards("127.0.0.2", "127.0.0.2");
  ASSERT_TRUE(LoadWith(
      "UPS_IP=127.0.0.2\r\nupsAdvConfigHighTransferVolt=120\r\nupsAdvConfigLowTransferVolt=95\r\n"
      "upsAdvConfigAlarm=3\r\nupsAdvConfigSensitivity=2\r\nupsAdvConfigLowBatteryRunTime=300\r\n"
      "upsAdvConfigAlarmTimer=60\r\nupsAdvConfigMinReturnCapacity=15\r\nupsAdvTestDiagnosticSchedule=3\r\n"));
  size_t mark = LogSize();
  EXPECT_EQ(1, WaitDaskStartUp(0));
  const std::string p = ".1.3.6.1.4.1.318.1.1.1.";
  EXPECT_EQ((Lines{p + "5.2.2.0 INTEGER 120 noError", p + "5.2.3.0 INTEGER 95 noError",
                   p + "5.2.4.0 INTEGER 3 noError", p + "5.2.7.0 INTEGER 2 noError",
                   p + "5.2.8.0 TimeTicks 30000 noError", p + "5.2.5.0 TimeTicks 6000 noError",
                   p + "5.2.6.0 INTEGER 15 noError", p + "7.2.1.0 INTEGER 3 noError"}),
            Sets("127.0.0.2"));
  EXPECT_EQ(
      (Lines{"upsAdvConfigHighTransferVolt=108", "Value != upsAdvConfigHighTransferVolt",
             "upsAdvConfigLowTransferVolt=92", "Value != upsAdvConfigLowTransferVolt", "upsAdvConfigAlarm=1",
             "Value != upsAdvConfigAlarm", "upsAdvConfigSensitivity=1", "Value != upsAdvConfigSensitivity",
             "upsAdvConfigLowBatteryRunTime=12000", "Value != upsAdvConfigLowBatteryRunTime",
             "upsAdvConfigAlarmTimer=0", "Value != upsAdvConfigAlarmTimer", "upsAdvConfigMinReturnCapacity=0",
             "Value != upsAdvConfigMinReturnCapacity", "upsAdvTestDiagnosticSchedule=2",
             "Value != upsAdvTestDiagnosticSchedule"}),
      PushLines(mark));
  Ctl("127.0.0.2", {"sets", "clear"});
  mark = LogSize();
  EXPECT_EQ(1, WaitDaskStartUp(0));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_EQ((Lines{"upsAdvConfigHighTransferVolt=120", "upsAdvConfigLowTransferVolt=95",
                   "upsAdvConfigAlarm=3", "upsAdvConfigSensitivity=2", "upsAdvConfigLowBatteryRunTime=30000",
                   "upsAdvConfigAlarmTimer=6000", "upsAdvConfigMinReturnCapacity=15",
                   "upsAdvTestDiagnosticSchedule=3"}),
            PushLines(mark));
}

// An outlet-group model gets the first five parameters only.
TEST_F(StartUpTest, AnOutletModelSkipsTheLastThreeRows) {
  StartCards("127.0.0.2", "127.0.0.2", "community = kelpie\n[card 127.0.0.2]\noutlet-groups = 2\n");
  ASSERT_TRUE(
      LoadWith("UPS_IP=127.0.0.2\r\nupsAdvConfigSensitivity=3\r\nupsAdvConfigAlarmTimer=60\r\n"
               "upsAdvConfigMinReturnCapacity=15\r\nupsAdvTestDiagnosticSchedule=3\r\n"));
  size_t mark = LogSize();
  EXPECT_EQ(1, WaitDaskStartUp(0));
  EXPECT_EQ(Lines{".1.3.6.1.4.1.318.1.1.1.5.2.7.0 INTEGER 3 noError"}, Sets("127.0.0.2"));
  EXPECT_TRUE(LogHas("[127.0.0.2]OutUPS[Fw:UPS 09.3]"));
  Lines lines = PushLines(mark);
  ASSERT_EQ(6u, lines.size());
  EXPECT_EQ("upsAdvConfigLowBatteryRunTime=12000", lines.back());
}

// A refused SET logs the error code of its row; the first row is tried again after a value the
// card refuses, up to SNMP_SET_RETRY times, but not after another error; a row that cannot be
// read is skipped.
TEST_F(StartUpTest, RefusedSetsLogTheirRowsCode) {
  StartCards("127.0.0.2", "127.0.0.2");
  // Values the card takes as bad ones: above the range of each variable.
  ASSERT_TRUE(LoadWith(
      "UPS_IP=127.0.0.2\r\nSNMP_SET_RETRY=3\r\nupsAdvConfigHighTransferVolt=600\r\nupsAdvConfigAlarm=9\r\n"
      "upsAdvConfigSensitivity=2\r\nupsAdvConfigMinReturnCapacity=150\r\nupsAdvTestDiagnosticSchedule="
      "7\r\n"));
  // The sensitivity cannot even be read: its row is skipped.
  Ctl("127.0.0.2", {"fault", "status", kSensitivity, "genErr"});
  EXPECT_EQ(1, WaitDaskStartUp(0));
  std::vector<unsigned> codes;
  for (const qt::LogRecord &r : Log())
    if (r.text == "  UPS parameter set error") codes.push_back(r.code);
  EXPECT_EQ((std::vector<unsigned>{2, 4, 8, 9}), codes);
  const std::string p = ".1.3.6.1.4.1.318.1.1.1.";
  EXPECT_EQ((Lines{p + "5.2.2.0 INTEGER 600 badValue", p + "5.2.2.0 INTEGER 600 badValue",
                   p + "5.2.2.0 INTEGER 600 badValue", p + "5.2.4.0 INTEGER 9 badValue",
                   p + "5.2.6.0 INTEGER 150 badValue", p + "7.2.1.0 INTEGER 7 badValue"}),
            Sets("127.0.0.2"));
  EXPECT_EQ(3, LogCount(std::string("[UPS0]GET OID=") + kHighTransfer));
  EXPECT_EQ(1, LogCount(std::string("[UPS0]GET OID=") + kSensitivity));
  EXPECT_EQ(0, LogCount("Value != upsAdvConfigSensitivity"));
  EXPECT_EQ(0x80000009L, CodeOf("SNMP Error[UPS0]: SNMP_ERRORSTATUS_BADVALUE, errorIndex=1"));

  // Another refusal of the first row ends its tries at once.
  Ctl("127.0.0.2", {"fault", "clear"});
  Ctl("127.0.0.2", {"fault", "refuse-sets", "noSuchName"});
  Ctl("127.0.0.2", {"sets", "clear"});
  size_t mark = LogSize();
  EXPECT_EQ(1, WaitDaskStartUp(0));
  Lines lines = LogTextsSince(mark);
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Value != upsAdvConfigHighTransferVolt"));
  EXPECT_EQ(p + "5.2.2.0 INTEGER 600 noSuchName", Sets("127.0.0.2").front());
}

TEST_F(StartUpTest, VersionAndTheFirstUnitsScgValues) {
  StartCards("127.0.0.2", "127.0.0.2");
  ASSERT_TRUE(LoadWith("UPS_IP=127.0.0.2\r\n"));
  char version[16];
  memset(version, 'X', sizeof version);
  size_t mark = LogSize();
  EXPECT_EQ(1, GetDasklumoDllVersion(version));
  EXPECT_EQ(0, memcmp(version, "5.600\0XX", 8));
  std::string state(64, '0');
  state[3] = state[5] = '1';  // on line, serial communication
  EXPECT_EQ(
      (Lines{" xxxx GetDasklumoDllVersion xxxx", "----[127.0.0.2] SCGM[0] E/D[2] PSD[120] RBCO[10] SCGN[1]",
             ("----[127.0.0.2] sts[" + state + "]").substr(0, 80)}),  // a log message keeps 80 characters
      LogTextsSince(mark));
  // A first unit that does not answer: only the version.
  Ctl("127.0.0.2", {"fault", "silent", "on"});
  mark = LogSize();
  EXPECT_EQ(1, GetDasklumoDllVersion(version));
  EXPECT_EQ((Lines{" xxxx GetDasklumoDllVersion xxxx", "[r]error on SnmpMgrRequest 40"}),
            LogTextsSince(mark));
}

TEST_F(StartUpTest, InformationCopiesEachSettingWhole) {
  ASSERT_TRUE(LoadWith(
      "UPS_IP=10.0.0.1\r\nUPS_IP_S0=10.0.1.0\r\nUPS_IP_S15=10.0.1.15\r\nUPS_IP_O3=10.0.2.3\r\n"
      "UPS_Com=secret\r\nUPS_Off=T\r\nUPS_other_on_wait=77\r\nSNMP_Trap_interval=9\r\nNAME=node-a\r\n"
      "PORT=4242\r\nVEX_PORT=65535\r\nSEND_IP=10.9.9.9\r\nSERVER_IP_2=10.0.3.2\r\nSEND_IP02=10.9.9.2\r\n"
      "SEND_IP03=10.9.9.3\r\n"));
  // Each type: its texts (one per 64-byte slot for a list, NUL-terminated, followed by whatever
  // the field holds) or its number, and exactly SIZE bytes copied.
  struct Row {
    unsigned type;
    size_t size;
    std::vector<std::string> texts;  // one per slot
    std::string number;              // the bytes of a number
  };
  int32_t wait = 77, interval = 9000;
  uint16_t port = 4242, vex_port = 65535;
  auto bytes = [](const void *data, size_t size) {
    return std::string(static_cast<const char *>(data), size);
  };
  std::vector<std::string> s_list(16), o_list(16), servers(16);
  s_list[0] = "10.0.1.0";
  s_list[15] = "10.0.1.15";
  o_list[3] = "10.0.2.3";
  servers[2] = "10.0.3.2";
  const Row rows[] = {
      {1, 64, {"10.0.0.1"}, ""},
      {2, 1024, s_list, ""},
      {3, 1024, o_list, ""},
      {4, 64, {"secret"}, ""},
      {5, 16, {"T"}, ""},
      {6, 4, {}, bytes(&wait, 4)},
      {7, 4, {}, bytes(&interval, 4)},
      {8, 16, {"node-a"}, ""},
      {9, 2, {}, bytes(&port, 2)},
      {10, 2, {}, bytes(&vex_port, 2)},
      {11, 64, {"10.9.9.9"}, ""},
      {12, 1024, servers, ""},
      {13, 64, {"10.9.9.2"}, ""},
      {14, 64, {"10.9.9.3"}, ""},
      {0, 0, {}, ""},
      {15, 0, {}, ""},
      {0xFFFFFFFFu, 0, {}, ""},
  };
  for (const Row &row : rows) {
    std::string buffer(2048, '\xEE');
    EXPECT_EQ(1, QuoKyGetInfo(&buffer[0], row.type)) << row.type;
    if (!row.number.empty()) {
      EXPECT_EQ(row.number, buffer.substr(0, row.size)) << row.type;
    }
    for (size_t i = 0; i < row.texts.size(); ++i)
      EXPECT_STREQ(row.texts[i].c_str(), buffer.c_str() + i * 64) << row.type << " slot " << i;
    // Nothing beyond the setting's own bytes is written.
    EXPECT_EQ(std::string(2048 - row.size, '\xEE'), buffer.substr(row.size)) << row.type;
    if (row.size > 0) {
      EXPECT_NE('\xEE', buffer[row.size - 1]) << row.type;
    }
  }
  EXPECT_EQ(1, QuoKyGetInfo(nullptr, 1));

  char address[64];
  uint32_t words[9];
  SetWords(129, 0x18, 0x81);
  EXPECT_EQ(1, QuoKyGetUnitState(129, address, words));
  EXPECT_STREQ("127.0.0.1", address);
  EXPECT_EQ(0x18u, words[0]);
  EXPECT_EQ(0x81u, words[1]);
  EXPECT_EQ(1, QuoKyGetUnitState(0, address, words));
  EXPECT_STREQ("10.0.0.1", address);
  EXPECT_EQ(0, QuoKyGetUnitState(130, address, words));
  EXPECT_EQ(0, QuoKyGetUnitState(-1, address, words));
}

}  // namespace
