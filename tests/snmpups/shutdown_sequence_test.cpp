// The host shutdown sequence, driven inside the test process with the power-fail marks of the
// unit table set as a test needs them: the result merge as a table, the writes each mode and
// mark calls for (seen in the cards' SET logs), the conserve-battery and follow paths, the
// turn-off that "upsAdvConfigMinReturnCapacity" 200 selects, and attempts against refusing
// cards.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core_fixture.h"

namespace {

const char kUpsOff[] = ".1.3.6.1.4.1.318.1.1.1.6.2.1.0";
const char kSleep[] = ".1.3.6.1.4.1.318.1.1.1.6.2.3.0";
const char kSleepTime[] = ".1.3.6.1.4.1.318.1.1.1.5.2.11.0";
const char kConserve[] = ".1.3.6.1.4.1.318.1.1.1.6.1.1.0";
const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";

std::string Set(const char *oid, const char *type, const char *value, const char *status = "noError") {
  return std::string(oid) + " " + type + " " + value + " " + status;
}
const std::string kSleepLine = Set(kSleep, "INTEGER", "3");
const std::string kOffLine = Set(kUpsOff, "INTEGER", "3");
const std::string kReturnSleepLine = Set(kSleepTime, "TimeTicks", "0");
const std::string kConserveLine = Set(kConserve, "INTEGER", "2");
using Lines = std::vector<std::string>;

// Cards .2 to .6 in slots 0 to 4; .3 has outlet groups, .4 is an older model.
const char kCards[] =
    "community = kelpie\n[card 127.0.0.2]\n[card 127.0.0.3]\noutlet-groups = 2\n"
    "[card 127.0.0.4]\nfirmware = 6.4\n[card 127.0.0.5-127.0.0.6]\n";
const char kUnits[] =
    "UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\nUPS_IP2=127.0.0.4\r\nUPS_IP3=127.0.0.5\r\nUPS_IP4=127.0.0."
    "6\r\n";
const char *const kAddresses[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"};

class ShutdownTest : public qt::SnmpUpsCoreTest {
 protected:
  void StartAndLoad(const std::string &settings = "") {
    setenv("QUORIN_TIME_SCALE", "10", 1);
    StartCards("127.0.0.2", "127.0.0.6", kCards);
    ASSERT_TRUE(LoadWith(kUnits + settings));
  }
  void ClearSets() {
    for (const char *address : kAddresses) Ctl(address, {"sets", "clear"});
  }
  // The SET logs of the five cards, in slot order.
  std::vector<Lines> AllSets() {
    std::vector<Lines> all;
    for (const char *address : kAddresses) all.push_back(Sets(address));
    return all;
  }
};

TEST(MergeSnmpResultTest, FoldsEachCodeByItsPrecedence) {
  constexpr uint32_t F = 0x80100001u, A = 0x80100002u, B = 0x80000009u;
  struct Row {
    uint32_t accumulated, code, expected;
  } rows[] = {
      {0, 0, 0},
      {0, 0x80000000u, 0x80000000u},
      {0, 0x80100000u, 0x80100000u},
      {F, 0x80000000u, F},  // only while nothing is there
      {A, 0x80100000u, A},
      {0x80000000u, 0x80100000u, 0x80000000u},
      {1, 0x80000000u, 1},
      {0, F, F},
      {0, A, A},
      {F, A, A},  // low bits 1: replaced
      {F, F, F},
      {A, F, A},  // an agent error is not hidden by a later transport failure
      {A, A, A},
      {B, F, B},  // low bits 9
      {B, A, B},
      {0x80000000u, F, F},  // low bits 0
      {0x80100000u, A, A},
      {1, F, F},
      {0x80000011u, A, A},  // low bits 1
      {0x80000003u, F, 0x80000003u},
      {0x8000000Fu, A, 0x8000000Fu},
      {A, 0, 0},  // a later success clears an earlier failure
      {B, 0, 0},
      {F, 0, 0},
      {F, B, B},
      {A, B, B},
      {0, 7, 7},
      {A, 7, 7},
  };
  for (const Row &r : rows) {
    EXPECT_EQ(r.expected, MergeSnmpResult(r.accumulated, r.code))
        << std::hex << r.accumulated << " " << r.code;
  }
}

// Mode "3" puts every configured unit to sleep and mode "4" turns every one off, switched off
// or not; the announcement carries the slot as its code.
TEST_F(ShutdownTest, ScheduledAndUnscheduledPowerOffWriteEveryConfiguredUnit) {
  StartAndLoad();
  UnitWordSet(1, 1, OFF_UPS);
  UnitWordSet(2, 0, UPS_SHUTDOWN_DUE);
  EXPECT_EQ(0u, QuoPcShutDown("3"));
  EXPECT_EQ(std::vector<Lines>(5, Lines{kSleepLine}), AllSets());
  EXPECT_EQ(5, LogCount("===Schedule PowerOff:putUpsToSleepGracefully===="));
  EXPECT_EQ(4L, CodeOf("===Schedule PowerOff:putUpsToSleepGracefully===="));

  ClearSets();
  EXPECT_EQ(0u, QuoPcShutDown("4trailing data is not read"));
  EXPECT_EQ(std::vector<Lines>(5, Lines{kOffLine}), AllSets());
  EXPECT_EQ(4L, CodeOf("===No Schedule:upsAdvControlUpsOff===="));
  EXPECT_EQ(2, LogCount("QuoPcShutDown..."));

  // The first unit refuses, a later one answers: the success clears the failure. The last one
  // refusing leaves its agent error.
  ClearSets();
  Ctl("127.0.0.2", {"fault", "refuse-sets", "noSuchName"});
  EXPECT_EQ(0u, QuoPcShutDown("4"));
  EXPECT_EQ(0x80100002L, CodeOf(" [QuoPcShutDown] SnmpSet err (0) counter=1"));
  Ctl("127.0.0.6", {"fault", "refuse-sets", "readOnly"});
  EXPECT_EQ(0x80100002u, QuoPcShutDown("3"));
  EXPECT_EQ(0x80100002L, CodeOf(" [QuoPcShutDown] SnmpSet(OID2) err (4) counter=1"));
}

// A badValue answer is written again after a pause, up to "SNMP_SET_RETRY" attempts, and is
// kept against a later transport failure or agent error.
TEST_F(ShutdownTest, BadValueAnswersAreTriedAgain) {
  StartAndLoad("SNMP_SET_RETRY=3\r\n");
  Ctl("127.0.0.5", {"fault", "refuse-sets", "badValue"});
  Ctl("127.0.0.6", {"fault", "refuse-sets", "genErr"});
  EXPECT_EQ(0x80000009u, QuoPcShutDown("3"));
  Lines bad(3, Set(kSleep, "INTEGER", "3", "badValue"));
  std::vector<Lines> expected = {
      {kSleepLine}, {kSleepLine}, {kSleepLine}, bad, {Set(kSleep, "INTEGER", "3", "genErr")}};
  EXPECT_EQ(expected, AllSets());
  EXPECT_FALSE(LogHas(" [QuoPcShutDown] SnmpSet(OID2) err (3) counter=3"));
  EXPECT_TRUE(LogHas(" [QuoPcShutDown] SnmpSet(OID2) err (4) counter=1"));
}

// After a power failure in turn-off mode ("UPS_Off" not 'S') every live unit is turned off,
// announced before every attempt; a switched-off unit is left alone.
TEST_F(ShutdownTest, PowerFailInTurnOffModeTurnsOffEveryLiveUnit) {
  StartAndLoad("UPS_Off=T\r\n");
  UnitWordSet(2, 1, OFF_UPS);
  EXPECT_EQ(0u, QuoPcShutDown("0"));
  std::vector<Lines> expected = {{kOffLine}, {kOffLine}, {}, {kOffLine}, {kOffLine}};
  EXPECT_EQ(expected, AllSets());
  EXPECT_EQ(4, LogCount("====PowerOff:upsAdvControlUpsOff===="));
  EXPECT_EQ(3L, CodeOf("====PowerOff:upsAdvControlUpsOff===="));
  EXPECT_FALSE(LogHas(" ups_X1[0]  [0] : 00 [1] : 00"));

  // An empty request is a power failure too; a refusing last unit leaves its agent error.
  ClearSets();
  Ctl("127.0.0.6", {"fault", "refuse-sets", "noSuchName"});
  EXPECT_EQ(0x80100002u, QuoPcShutDown(""));
  EXPECT_EQ(0x80100002L, CodeOf(" [QuoPcShutDown] SnmpSet(OID1) err (4) counter=1"));
}

// In sleep mode with no unit due, every unit is left alone and the result is 0.
TEST_F(ShutdownTest, PowerFailInSleepModeWithNoUnitDueWritesNothing) {
  StartAndLoad();
  UnitWordSet(1, 1, OFF_UPS);
  UnitWordSet(3, 0, UPS_SHUTDOWN_DUE);  // due but switched off: nobody follows it
  UnitWordSet(3, 1, OFF_UPS);
  UnitWordSet(5, 0, UPS_SHUTDOWN_DUE);  // a free slot's mark counts as well, when not off
  UnitWordSet(5, 1, OFF_UPS);
  EXPECT_EQ(0u, QuoPcShutDown("0"));
  EXPECT_EQ(std::vector<Lines>(5), AllSets());
  EXPECT_TRUE(LogHas(" ups_X1[4]  [0] : 00 [1] : 00"));
  EXPECT_FALSE(LogHas(" ups_X1[1]  [0] : 00 [1] : 80"));
}

// Due units sleep by their output status: on line (2) the sleep control; on battery (3) the
// conserve-battery control, and the sleep control only when the agent refuses it; any other
// status nothing. A unit that is not due follows a due one into sleep.
TEST_F(ShutdownTest, DueUnitsSleepByOutputStatusAndTheOthersFollow) {
  StartAndLoad();
  Ctl("127.0.0.3", {"power-fail"});
  Ctl("127.0.0.4", {"power-fail"});
  Ctl("127.0.0.4", {"fault", "status", kConserve, "noSuchName"});
  Ctl("127.0.0.6", {"set", kOutputStatus, "i", "7"});
  for (int slot : {0, 1, 2, 4}) UnitWordSet(slot, 0, UPS_SHUTDOWN_DUE);
  size_t mark = LogSize();
  EXPECT_EQ(0u, QuoPcShutDown("1"));
  std::vector<Lines> expected = {
      {kReturnSleepLine, kSleepLine},
      {kReturnSleepLine, kConserveLine},
      {kReturnSleepLine, Set(kConserve, "INTEGER", "2", "noSuchName"), kSleepLine},
      {kReturnSleepLine, kSleepLine},  // slot 3 follows
      {kReturnSleepLine},
  };
  EXPECT_EQ(expected, AllSets());
  Lines texts = LogTextsSince(mark);
  auto has = [&](const std::string &t) { return std::find(texts.begin(), texts.end(), t) != texts.end(); };
  EXPECT_TRUE(has(" ups_X1[0]  [0] : 08 [1] : 00"));
  EXPECT_TRUE(has(" ups_X1[3]  [0] : 00 [1] : 00"));
  EXPECT_TRUE(has("====PowerOff:putUpsToSleepGracefully 2===="));
  EXPECT_EQ(7L, CodeOf("turnOffUpsToConserveBattery norequest 4 [outsts=7]"));
  EXPECT_EQ(3L, CodeOf("====PowerOff:upsBasicControlConserveBattery===="));
  EXPECT_EQ(5, LogCount(" powerfail retrun sleep time is 0sec"));
  // The unit on line gets the sleep control with its status (2) as the code.
  EXPECT_EQ(3L, CodeOf("====PowerOff:putUpsToSleepGracefully 2===="));
  bool on_line_sleep = false;
  for (const qt::LogRecord &r : Log())
    on_line_sleep = on_line_sleep || (r.text == "====PowerOff:putUpsToSleepGracefully====" && r.code == 2);
  EXPECT_TRUE(on_line_sleep);
  // The cards' models take the commands: sleep or conserve the battery after the shut-down delay.
  EXPECT_NE(std::string::npos, Ctl("127.0.0.2", {"dump"}).find("\npending sleep\n"));
  EXPECT_NE(std::string::npos, Ctl("127.0.0.3", {"dump"}).find("\npending conserve\n"));
  EXPECT_NE(std::string::npos, Ctl("127.0.0.4", {"dump"}).find("\npending sleep\n"));
  EXPECT_NE(std::string::npos, Ctl("127.0.0.5", {"dump"}).find("\npending sleep\n"));
  EXPECT_NE(std::string::npos, Ctl("127.0.0.6", {"dump"}).find("\npending none\n"));
}

// An unreadable output status is taken as 1: the conserve-battery path, which an on-line card
// refuses with badValue, so the sleep control follows; the read's failure and the refusal are
// cleared by the sleep control's success.
TEST_F(ShutdownTest, UnreadableOutputStatusTakesTheConservePath) {
  StartAndLoad();
  Ctl("127.0.0.2", {"fault", "status", kOutputStatus, "genErr"});
  UnitWordSet(0, 0, UPS_SHUTDOWN_DUE);
  EXPECT_EQ(0u, QuoPcShutDown("0"));
  EXPECT_EQ((Lines{kReturnSleepLine, Set(kConserve, "INTEGER", "2", "badValue"), kSleepLine}),
            Sets("127.0.0.2"));
  EXPECT_EQ(0x80100002L, CodeOf(" [QuoPcShutDown] SnmpSet(upsBasicOutputStatus) err (0) counter=1"));
  EXPECT_EQ(1L, CodeOf("====PowerOff:upsBasicControlConserveBattery===="));
}

// "upsAdvConfigMinReturnCapacity" 200 turns every sleep of the power-failure sequence into a
// turn-off: due units, and the units that follow them.
TEST_F(ShutdownTest, MinReturnCapacity200TurnsOffInsteadOfSleep) {
  StartAndLoad("upsAdvConfigMinReturnCapacity=200\r\n");
  UnitWordSet(1, 0, UPS_SHUTDOWN_DUE);
  EXPECT_EQ(0u, QuoPcShutDown("0"));
  EXPECT_EQ(std::vector<Lines>(5, Lines{kOffLine}), AllSets());
  EXPECT_EQ(1, LogCount("====PowerOff:upsAdvControlUpsOff===="));
  EXPECT_EQ(4, LogCount("====PowerOff:upsAdvControlUpsOff 2===="));
  EXPECT_EQ(3L, CodeOf("====PowerOff:upsAdvControlUpsOff 2===="));
  EXPECT_FALSE(LogHas(" powerfail retrun sleep time is 0sec"));
}

// Attempts of the follow path share one count with the return sleep time's attempts: with three
// attempts and a sleep control answered badValue, two rounds of both are written. A refusing
// unit ends its own attempts and the last unit's success clears its failure.
TEST_F(ShutdownTest, FollowAttemptsShareTheirCount) {
  StartAndLoad("SNMP_SET_RETRY=3\r\n");
  UnitWordSet(0, 0, UPS_SHUTDOWN_DUE);
  Ctl("127.0.0.3", {"fault", "status", kSleep, "badValue"});
  Ctl("127.0.0.4", {"fault", "refuse-sets", "noSuchName"});
  EXPECT_EQ(0u, QuoPcShutDown("0"));
  Lines bad_sleep = {kReturnSleepLine, Set(kSleep, "INTEGER", "3", "badValue"), kReturnSleepLine,
                     Set(kSleep, "INTEGER", "3", "badValue")};
  EXPECT_EQ(bad_sleep, Sets("127.0.0.3"));
  EXPECT_EQ(
      (Lines{Set(kSleepTime, "TimeTicks", "0", "noSuchName"), Set(kSleep, "INTEGER", "3", "noSuchName")}),
      Sets("127.0.0.4"));
  EXPECT_EQ(0x80100002L, CodeOf(" [QuoPcShutDown] SnmpSet(OIDS) err (2) counter=1"));
  EXPECT_EQ(0x80100002L, CodeOf(" [QuoPcShutDown] SnmpSet(OID2) err (2) counter=2"));

  // The refusing unit last: its agent error replaces the success before it and is the result.
  ClearSets();
  Ctl("127.0.0.4", {"fault", "clear"});
  Ctl("127.0.0.6", {"fault", "refuse-sets", "noSuchName"});
  EXPECT_EQ(0x80100002u, QuoPcShutDown("0"));
}

}  // namespace
