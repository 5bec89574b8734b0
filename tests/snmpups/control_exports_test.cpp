// The control exports of SNMPUPS.DLL, loaded by name, against upssim cards: what each command
// writes (seen in the card's SET log), the graceful-shutdown check, the outlet variant against
// the address variant, the sleep-time arithmetic and the power-failure turn-off paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "library_fixture.h"
#include "timing.h"

namespace {

const char kUpsOff[] = ".1.3.6.1.4.1.318.1.1.1.6.2.1.0";
const char kTurnOn[] = ".1.3.6.1.4.1.318.1.1.1.6.2.6.0";
const char kSleepTime[] = ".1.3.6.1.4.1.318.1.1.1.5.2.11.0";
const char kSleep[] = ".1.3.6.1.4.1.318.1.1.1.6.2.3.0";
const char kConserve[] = ".1.3.6.1.4.1.318.1.1.1.6.1.1.0";
const char kShutoffDelay[] = ".1.3.6.1.4.1.318.1.1.1.5.2.10.0";
const char kScgActive[] = ".1.3.6.1.4.1.318.1.1.1.10.1.2.0";
const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kOutletCommand[] = ".1.3.6.1.4.1.318.1.1.1.12.3.2.1.3";

std::string SetLine(const std::string &oid, const std::string &type, const std::string &value,
                    const std::string &status = "noError") {
  return oid + " " + type + " " + value + " " + status;
}

class ControlTest : public qt::LibraryTest {
 protected:
  void StartAndLoad(const std::string &settings = "") {
    StartCards("127.0.0.2", "127.0.0.10",
               "community = kelpie\n[card 127.0.0.2-127.0.0.6]\n[card 127.0.0.7]\noutlet-groups = 2\n"
               "[card 127.0.0.8-127.0.0.10]\n");
    if (!settings.empty()) WriteSettings(settings);
    Load();
    off = Entry<qt::AddressIntIntFn>("SetUpsOffbySnmp");
    on = Entry<qt::AddressIntIntFn>("SetUpsOnbySnmp");
  }
  qt::AddressIntIntFn off = nullptr;
  qt::AddressIntIntFn on = nullptr;
};

TEST_F(ControlTest, TurnOffWithTheOutletVariantSkipsAGracefulShutdownInProgress) {
  StartAndLoad();
  long gets = Counter("127.0.0.2", "gets");
  EXPECT_EQ(1, off("127.0.0.2", 3, 2));
  EXPECT_EQ(gets + 1, Counter("127.0.0.2", "gets"));  // the output state was read first
  EXPECT_EQ(std::vector<std::string>{SetLine(kUpsOff, "INTEGER", "3")}, Sets("127.0.0.2"));
  EXPECT_TRUE(LogHas("[127.0.0.2]SetUpsOffbySnmp(3)(2)"));
  // The card now shows the graceful shutdown in progress: no second SET.
  EXPECT_EQ(1, off("127.0.0.2", 3, 2));
  EXPECT_EQ(1u, Sets("127.0.0.2").size());
  EXPECT_EQ(0L, CodeOf("Graceful Shutdown state[127.0.0.2]"));

  // Value 2 with mode 1: no state read, one SET through the address variant.
  gets = Counter("127.0.0.3", "gets");
  EXPECT_EQ(1, off("127.0.0.3", 2, 1));
  EXPECT_EQ(gets, Counter("127.0.0.3", "gets"));
  EXPECT_EQ(std::vector<std::string>{SetLine(kUpsOff, "INTEGER", "2")}, Sets("127.0.0.3"));

  // A failed state read does not stop the command.
  Ctl("127.0.0.4", {"fault", "status", ".1.3.6.1.4.1.318.1.1.1.11.1.1.0", "genErr"});
  EXPECT_EQ(1, off("127.0.0.4", 3, 2));
  EXPECT_EQ(0x80100002L, CodeOf("upsBasicStateOutputState[127.0.0.4] error!"));
  EXPECT_EQ(1u, Sets("127.0.0.4").size());
  // A refused SET fails with its line.
  Ctl("127.0.0.5", {"fault", "refuse-sets"});
  EXPECT_EQ(0, off("127.0.0.5", 3, 2));
  EXPECT_EQ(0x80100002L, CodeOf("SetUpsOffbySnmp[127.0.0.5] error!"));
  EXPECT_EQ(0, off("", 3, 2));
}

TEST_F(ControlTest, OutletVariantAgainstAddressVariantByDefaultSettings) {
  StartAndLoad();
  Ctl("127.0.0.6", {"fault", "silent", "on"});
  // Mode 1 goes through the address variant (1000 ms, 2 retries), mode 2 through the outlet
  // variant (5000 ms, 1 retry).
  struct Case {
    int mode;
    long attempts;  // 1 + retries
    long timeout_ms;
  } cases[] = {{1, 3, 1000}, {2, 2, 5000}};
  int runs = 0;
  for (const Case &c : cases) {
    EXPECT_TRUE(qt::TakesNominal(
        c.attempts * c.timeout_ms,
        [&] {
          ++runs;
          long before = Counter("127.0.0.6", "requests");
          int result = -1;
          long ms = qt::ElapsedMs([&] { result = on("127.0.0.6", 2, c.mode); });
          EXPECT_EQ(0, result) << c.mode;
          EXPECT_EQ(before + c.attempts, Counter("127.0.0.6", "requests")) << c.mode;
          return ms;
        },
        "mode " + std::to_string(c.mode)));
  }
  EXPECT_EQ(runs, LogCount("SetUpsOnbySnmp[127.0.0.6] error!"));
  EXPECT_EQ(runs, LogCount("[s]error on SnmpMgrRequest 40"));
}

// The service's turn-off (value 3, mode 2) reads the output state first and then uses the
// outlet variant (5000 ms, 1 retry); mode 1 sends at once through the address variant
// (1000 ms, 2 retries). Against a silent card the two differ in requests and in time.
TEST_F(ControlTest, TurnOffOutletVariantAgainstAddressVariantByDefaultSettings) {
  StartAndLoad();
  Ctl("127.0.0.6", {"fault", "silent", "on"});
  struct Case {
    int mode;
    long requests;    // state read (1 + 2 retries) when mode 2, then 1 + retries of the SET
    long nominal_ms;  // state read 3 x 200 ms when mode 2, then the SET's attempts
    bool state_read;
  } cases[] = {{1, 3, 3 * 1000, false}, {2, 3 + 2, 3 * 200 + 2 * 5000, true}};
  for (const Case &c : cases) {
    EXPECT_TRUE(qt::TakesNominal(
        c.nominal_ms,
        [&] {
          long before = Counter("127.0.0.6", "requests");
          size_t mark = LogSize();
          int result = -1;
          long ms = qt::ElapsedMs([&] { result = off("127.0.0.6", 3, c.mode); });
          EXPECT_EQ(0, result) << c.mode;
          EXPECT_EQ(before + c.requests, Counter("127.0.0.6", "requests")) << c.mode;
          std::vector<std::string> lines = LogTextsSince(mark);
          bool state_line = false;
          for (const std::string &line : lines)
            state_line = state_line || line == "upsBasicStateOutputState[127.0.0.6] error!";
          EXPECT_EQ(c.state_read, state_line) << c.mode;
          EXPECT_EQ("SetUpsOffbySnmp[127.0.0.6] error!", lines.empty() ? "" : lines.back()) << c.mode;
          return ms;
        },
        "mode " + std::to_string(c.mode)));
  }
  EXPECT_EQ(0x80100001L, CodeOf("upsBasicStateOutputState[127.0.0.6] error!"));
  EXPECT_EQ(0x80100001L, CodeOf("SetUpsOffbySnmp[127.0.0.6] error!"));
  EXPECT_TRUE(Sets("127.0.0.6").empty());
}

TEST_F(ControlTest, CommandsWriteTheirVariables) {
  StartAndLoad("TimeOut=300\r\nRetry=0\r\n");
  auto delay = Entry<qt::AddressIntFn>("SetUpsShutdownDelaybySnmp");
  auto sync = Entry<qt::AddressIntFn>("SetUpsSyncActivebySnmp");
  auto outlet_on = Entry<qt::AddressIntFn>("OutletSetUpsOnbySnmp");
  auto outlet_off = Entry<qt::AddressIntIntFn>("OutletSetUpsOffbySnmp");

  EXPECT_EQ(1, delay("127.0.0.2", 20));
  EXPECT_EQ(1, sync("127.0.0.2", 1));
  EXPECT_EQ(1, on("127.0.0.2", 2, 1));
  EXPECT_EQ(std::vector<std::string>({SetLine(kShutoffDelay, "TimeTicks", "2000"),
                                      SetLine(kScgActive, "INTEGER", "1"), SetLine(kTurnOn, "INTEGER", "2")}),
            Sets("127.0.0.2"));
  EXPECT_TRUE(LogHas("[127.0.0.2]SetUpsShutdownDelaybySnmp(20)"));
  EXPECT_TRUE(LogHas("[127.0.0.2]SetUpsSyncActivebySnmp(1)"));
  EXPECT_TRUE(LogHas("[127.0.0.2]SetUpsOnbySnmp(2)(1)"));

  EXPECT_EQ(1, outlet_off("127.0.0.7", 2, 2));
  EXPECT_EQ(1, outlet_on("127.0.0.7", 0));
  EXPECT_EQ(std::vector<std::string>({SetLine(std::string(kOutletCommand) + ".2", "INTEGER", "2"),
                                      SetLine(std::string(kOutletCommand) + ".1", "INTEGER", "4")}),
            Sets("127.0.0.7"));
  EXPECT_TRUE(LogHas("[127.0.0.7]OutletSetUpsOffbySnmp(2)(2)"));
  EXPECT_TRUE(LogHas("OutletSetUpsOffbySnmp success!"));
  EXPECT_TRUE(LogHas("[127.0.0.7]OutletSetUpsOnbySnmp(0)"));
  EXPECT_TRUE(LogHas("OutletSetUpsOnbySnmp[127.0.0.7] success!"));
  EXPECT_EQ(0, outlet_on("127.0.0.7", -3));
  EXPECT_EQ(2u, Sets("127.0.0.7").size());

  // Failures: each export's own line, with the result code.
  Ctl("127.0.0.3", {"fault", "refuse-sets", "badValue"});
  EXPECT_EQ(0, delay("127.0.0.3", 5));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsShutdownDelaybySnmp[127.0.0.3] error!"));
  EXPECT_EQ(0, sync("127.0.0.3", 1));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsSyncActivebySnmp[127.0.0.3] error!"));
  EXPECT_EQ(0, on("127.0.0.3", 2, 2));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsOnbySnmp[127.0.0.3] error!"));
  EXPECT_EQ(0, outlet_off("127.0.0.3", 1, 2));
  EXPECT_EQ(0x80000009L, CodeOf("OutletSetUpsOffbySnmp[127.0.0.3] error!"));
  EXPECT_EQ(0, outlet_on("127.0.0.3", 1));
  EXPECT_EQ(0x80000009L, CodeOf("OutletSetUpsOnbySnmp[127.0.0.3] error!"));
  Ctl("127.0.0.4", {"fault", "silent", "on"});
  EXPECT_EQ(0, delay("127.0.0.4", 5));
  EXPECT_EQ(0x80100001L, CodeOf("SetUpsShutdownDelaybySnmp[127.0.0.4] error!"));

  // A negative delay names no time (as an unsigned number it would be months): refused with
  // the failure line and badValue's code, nothing sent. A delay of 0 is sent as it is.
  EXPECT_EQ(0, delay("127.0.0.8", -1));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsShutdownDelaybySnmp[127.0.0.8] error!"));
  EXPECT_TRUE(Sets("127.0.0.8").empty());
  EXPECT_EQ(1, delay("127.0.0.8", 0));
  EXPECT_EQ(std::vector<std::string>{SetLine(kShutoffDelay, "TimeTicks", "0")}, Sets("127.0.0.8"));
}

// "TimeOut" and "TimeOut_Outlet" of 0 or below take their defaults: a card that answers after
// 5 ms carries out each command once and the export reports success (with a time-out of 1 ms
// the SET would be repeated and reported failed although the card carried it out).
TEST_F(ControlTest, TimeOutsThatAreNotPositiveGiveTheCardItsDefaultTime) {
  StartAndLoad("TimeOut=0\r\nTimeOut_Outlet=-5\r\n");
  Ctl("127.0.0.2", {"fault", "delay", "5"});
  Ctl("127.0.0.7", {"fault", "delay", "5"});
  EXPECT_EQ(1, on("127.0.0.2", 2, 1));
  EXPECT_EQ(std::vector<std::string>{SetLine(kTurnOn, "INTEGER", "2")}, Sets("127.0.0.2"));
  EXPECT_EQ(1, on("127.0.0.7", 2, 2));
  EXPECT_EQ(std::vector<std::string>{SetLine(kTurnOn, "INTEGER", "2")}, Sets("127.0.0.7"));
  EXPECT_TRUE(LogHas("TimeOut(1000) Retry(2)"));
  EXPECT_TRUE(LogHas("5G UPS TimeOut(5000) Retry(1)"));
}

// Sleep times with "DilayTimeCut" at its default 'Y': cut down to tenths of an hour.
TEST_F(ControlTest, SleepTimesAreCutToTenthsOfAnHour) {
  StartAndLoad();
  auto sleep_time = Entry<qt::AddressIntFn>("SetUpsSleepTimeSnmp");
  auto sleep_off = Entry<qt::AddressIntIntFn>("SetUpsSleepOffbySnmp");
  EXPECT_EQ(1, sleep_time("127.0.0.2", 3700));
  EXPECT_TRUE(LogHas("[127.0.0.2]SetUpsSleepTimeSnmp"));
  EXPECT_TRUE(LogHas("  [127.0.0.2]SleepTime(3700) -> (3.700000e+03)"));
  EXPECT_TRUE(LogHas(" [127.0.0.2]set sleep time is 3600sec : 1.0h"));
  EXPECT_EQ(1, sleep_off("127.0.0.3", 1003, 600));
  EXPECT_TRUE(LogHas("[127.0.0.3]SetUpsSleepOffbySnmp(1003)"));
  EXPECT_TRUE(LogHas("  [127.0.0.3]Sleeptime(600) -> (6.000000e+02)"));
  EXPECT_TRUE(LogHas(" [127.0.0.3]set sleep time is 360sec : 0.1h"));
  EXPECT_EQ(std::vector<std::string>{SetLine(kSleepTime, "TimeTicks", "360000")}, Sets("127.0.0.2"));
  EXPECT_EQ(
      std::vector<std::string>({SetLine(kSleepTime, "TimeTicks", "36000"), SetLine(kSleep, "INTEGER", "3")}),
      Sets("127.0.0.3"));
  // Less than a tenth of an hour is cut to 0.
  EXPECT_EQ(1, sleep_time("127.0.0.4", 359));
  EXPECT_EQ(std::vector<std::string>{SetLine(kSleepTime, "TimeTicks", "0")}, Sets("127.0.0.4"));

  Ctl("127.0.0.5", {"fault", "status", kSleep, "badValue"});
  EXPECT_EQ(0, sleep_off("127.0.0.5", 1003, 600));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsSleepOffbySnmp[127.0.0.5] error2!"));
  Ctl("127.0.0.6", {"fault", "refuse-sets"});
  EXPECT_EQ(0, sleep_off("127.0.0.6", 1003, 600));
  EXPECT_EQ(0x80100002L, CodeOf("SetUpsSleepOffbySnmp[127.0.0.6] error1!"));
  EXPECT_EQ(0, sleep_time("127.0.0.6", 600));
  EXPECT_EQ(0x80100002L, CodeOf("SetUpsSleepTimeSnmp[127.0.0.6] error1!"));

  // A negative time names no time (as an unsigned number it would be 248 days): refused with
  // the first failure line and badValue's code, nothing sent. 0 is a time and is sent.
  EXPECT_EQ(0, sleep_time("127.0.0.8", -1));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsSleepTimeSnmp[127.0.0.8] error1!"));
  EXPECT_EQ(0, sleep_off("127.0.0.8", 1003, -600));
  EXPECT_EQ(0x80000009L, CodeOf("SetUpsSleepOffbySnmp[127.0.0.8] error1!"));
  EXPECT_TRUE(Sets("127.0.0.8").empty());
  EXPECT_FALSE(LogHas(" [127.0.0.8]set sleep time is 0sec : 0.0h"));
  EXPECT_EQ(1, sleep_off("127.0.0.9", 1003, 0));
  EXPECT_EQ(
      std::vector<std::string>({SetLine(kSleepTime, "TimeTicks", "0"), SetLine(kSleep, "INTEGER", "3")}),
      Sets("127.0.0.9"));
}

// The same commands with "DilayTimeCut" not starting with 'Y': whole seconds.
TEST_F(ControlTest, SleepTimesAreKeptWithoutTheCut) {
  StartAndLoad("DilayTimeCut=N\r\n");
  auto sleep_time = Entry<qt::AddressIntFn>("SetUpsSleepTimeSnmp");
  auto sleep_off = Entry<qt::AddressIntIntFn>("SetUpsSleepOffbySnmp");
  EXPECT_EQ(1, sleep_time("127.0.0.2", 3700));
  EXPECT_TRUE(LogHas(" [127.0.0.2]set sleep time is 3700sec : 1.0h"));
  EXPECT_EQ(1, sleep_off("127.0.0.3", 1003, 600));
  EXPECT_TRUE(LogHas(" [127.0.0.3]set sleep time is 600sec : 0.1h"));
  EXPECT_EQ(std::vector<std::string>{SetLine(kSleepTime, "TimeTicks", "370000")}, Sets("127.0.0.2"));
  EXPECT_EQ(
      std::vector<std::string>({SetLine(kSleepTime, "TimeTicks", "60000"), SetLine(kSleep, "INTEGER", "3")}),
      Sets("127.0.0.3"));
}

TEST_F(ControlTest, PowerFailTurnOffPathsByOutputStatus) {
  StartAndLoad();
  auto power_fail = Entry<qt::AddressFn>("SetUpsPowerFailOffbySnmp");

  // On line (2): sleep time 0, then the sleep control.
  EXPECT_EQ(1, power_fail("127.0.0.2"));
  EXPECT_EQ(
      std::vector<std::string>({SetLine(kSleepTime, "TimeTicks", "0"), SetLine(kSleep, "INTEGER", "3")}),
      Sets("127.0.0.2"));
  EXPECT_EQ(2L, CodeOf(" [127.0.0.2] powerfail retrun sleep time is 0sec"));
  EXPECT_TRUE(LogHas("[127.0.0.2] PowerOff:upsAdvControlUpsSleep(3)===="));

  // On battery (3): the conserve-battery control alone.
  Ctl("127.0.0.3", {"power-fail"});
  EXPECT_EQ(1, power_fail("127.0.0.3"));
  EXPECT_EQ(std::vector<std::string>{SetLine(kConserve, "INTEGER", "2")}, Sets("127.0.0.3"));
  EXPECT_EQ(3L, CodeOf("[127.0.0.3] PowerOff:upsBasicControlConserveBattery(2)===="));

  // On battery with the conserve command refused by the agent: the sleep sequence follows.
  Ctl("127.0.0.4", {"power-fail"});
  Ctl("127.0.0.4", {"fault", "status", kConserve, "noSuchName"});
  EXPECT_EQ(1, power_fail("127.0.0.4"));
  EXPECT_EQ(
      std::vector<std::string>({SetLine(kConserve, "INTEGER", "2", "noSuchName"),
                                SetLine(kSleepTime, "TimeTicks", "0"), SetLine(kSleep, "INTEGER", "3")}),
      Sets("127.0.0.4"));
  EXPECT_EQ(0L, CodeOf(" [127.0.0.4]powerfail retrun sleep time is 0sec"));

  // Output status unreadable: taken as 1, the conserve path; the on-line card refuses it
  // with badValue, so the sleep sequence follows.
  Ctl("127.0.0.5", {"fault", "status", kOutputStatus, "genErr"});
  EXPECT_EQ(1, power_fail("127.0.0.5"));
  EXPECT_EQ(0x80100002L, CodeOf("SetUpsPowerFailOffbySnmp (outsts)[127.0.0.5] error!"));
  EXPECT_EQ(1L, CodeOf("[127.0.0.5] PowerOff:upsBasicControlConserveBattery(2)===="));
  EXPECT_EQ(
      std::vector<std::string>({SetLine(kConserve, "INTEGER", "2", "badValue"),
                                SetLine(kSleepTime, "TimeTicks", "0"), SetLine(kSleep, "INTEGER", "3")}),
      Sets("127.0.0.5"));

  // Any other status (7): nothing is sent.
  Ctl("127.0.0.6", {"set", kOutputStatus, "i", "7"});
  EXPECT_EQ(1, power_fail("127.0.0.6"));
  EXPECT_TRUE(Sets("127.0.0.6").empty());
  EXPECT_EQ(0L, CodeOf("SetUpsPowerFailOffbySnmp[127.0.0.6] norequest [outsts=7]"));
  EXPECT_FALSE(LogHas("SetUpsPowerFailOffbySnmp[127.0.0.6] error!"));

  // Output status 4 and 12 take the sleep sequence like 2, the status being the line's code.
  struct SleepCase {
    const char *address;
    const char *status;
    unsigned code;
  } sleep_cases[] = {{"127.0.0.8", "4", 4}, {"127.0.0.9", "12", 12}};
  for (const SleepCase &c : sleep_cases) {
    Ctl(c.address, {"set", kOutputStatus, "i", c.status});
    EXPECT_EQ(1, power_fail(c.address));
    EXPECT_EQ(
        std::vector<std::string>({SetLine(kSleepTime, "TimeTicks", "0"), SetLine(kSleep, "INTEGER", "3")}),
        Sets(c.address))
        << c.status;
    std::string address(c.address);
    EXPECT_EQ(static_cast<long>(c.code), CodeOf(" [" + address + "] powerfail retrun sleep time is 0sec"));
    EXPECT_EQ(0L, CodeOf("[" + address + "] PowerOff:upsAdvControlUpsSleep(3)===="));
    EXPECT_FALSE(LogHas("SetUpsPowerFailOffbySnmp[" + address + "] error!"));
  }

  // A refused sleep time is logged with its result; the sleep control is still sent and
  // decides the outcome.
  Ctl("127.0.0.10", {"fault", "status", kSleepTime, "badValue"});
  size_t mark = LogSize();
  EXPECT_EQ(1, power_fail("127.0.0.10"));
  EXPECT_EQ(std::vector<std::string>(
                {SetLine(kSleepTime, "TimeTicks", "0", "badValue"), SetLine(kSleep, "INTEGER", "3")}),
            Sets("127.0.0.10"));
  std::vector<std::string> lines = LogTextsSince(mark);
  auto at = std::find(lines.begin(), lines.end(), " powerfail retrun sleep time set error (-2147483639)");
  ASSERT_NE(lines.end(), at);
  ASSERT_NE(lines.end(), at + 1);
  EXPECT_EQ("[127.0.0.10] PowerOff:upsAdvControlUpsSleep(3)====", *(at + 1));
  EXPECT_EQ(0x80000009L, CodeOf(" powerfail retrun sleep time set error (-2147483639)"));
  EXPECT_FALSE(LogHas("SetUpsPowerFailOffbySnmp[127.0.0.10] error!"));

  // A silent card: the conserve command fails in transport, no fallback, still 1.
  Ctl("127.0.0.7", {"fault", "silent", "on"});
  EXPECT_EQ(1, power_fail("127.0.0.7"));
  EXPECT_EQ(0x80100001L, CodeOf("SetUpsPowerFailOffbySnmp[127.0.0.7] error!"));
  EXPECT_FALSE(LogHas("[127.0.0.7] PowerOff:upsAdvControlUpsSleep(3)===="));
}

}  // namespace
