// The check engine against upssim cards whose time-on-battery counter, line-fail cause and
// output voltage a test pins: the power-fail timer of the unit table and of the O list step by
// step, the switched-off mark, the monitor's wake-up, the status-line rotation, the on-demand
// status line, the engine, the monitor and the host's calls running at once, and the reads of a
// check run at once showing what they show one at a time.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "monitor_fixture.h"
#include "status_line.h"
#include "timing.h"

extern "C" int UPSCheckSnmpRequest2(int unit_code, int presence_only);
extern "C" int GetUpsStatusFromSnmp(const char *address, int *output_status);
extern "C" int GetUpsInputStatusFromSnmp(const char *address, int *input_status);
extern "C" int QuoKyGetUnitState(int ups_index, char *address, uint32_t *words);

namespace {

const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
const char kFailCause[] = ".1.3.6.1.4.1.318.1.1.1.3.2.5.0";
const char kOutputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.4.2.1.0";

// The records of a UPS log (102 bytes each): the 80-character message fields, padding kept.
std::vector<std::string> UpsLogFields(const std::string &path) {
  std::vector<std::string> fields;
  std::string content = qt::read_file(path);
  if (content.size() < 10) return fields;
  size_t end = 10 + strtoul(content.substr(0, 8).c_str(), nullptr, 10);
  for (size_t at = 10; at + 102 <= content.size() && at < end; at += 102)
    fields.push_back(content.substr(at + 20, 80));
  return fields;
}

// The UPS log file of a unit code.
std::string UpsLogName(int code) {
  char name[32];
  if (code == 9000)
    snprintf(name, sizeof name, "UPS/MYUPS.LOG");
  else if (code > 9000)
    snprintf(name, sizeof name, "UPS/MYUPS_%d.LOG", code - 9000);
  else if (code < 1000)
    snprintf(name, sizeof name, "UPS/UPS%03d.LOG", code);
  else
    snprintf(name, sizeof name, "UPS/UPS%04d.LOG", code);
  return name;
}

class CheckEngineTest : public qt::MonitorTest {
 protected:
  // One check; the library log lines it wrote. Unless KEEP_TURN, the status-line rotation is
  // put at a turn that names no configured unit here, so that only the engine's lines show.
  std::vector<std::string> Check(bool keep_turn = false) {
    if (!keep_turn) g_Status_Log_Turn.store(1);
    size_t mark = LogSize();
    EXPECT_EQ(1, QuoKySnmpCheck());
    return LogTextsSince(mark);
  }
  void Pin(const std::string &address, const char *oid, const char *type, const std::string &value) {
    Ctl(address, {"set", oid, type, value});
  }
};

using Lines = std::vector<std::string>;

// One step of a timer: the card's counter and line-fail cause, the lines of the check and the
// words afterwards.
struct TimerStep {
  const char *ticks;
  const char *cause;
  Lines lines;
  uint32_t state;
};

TEST_F(CheckEngineTest, PowerFailTimerOfAUnitFollowsTheCardsCounter) {
  Configure("UPS_IP=127.0.0.2\r\n", false, "127.0.0.2");
  const TimerStep steps[] = {
      {"500", "4", {}, 0},
      {"999", "4", {}, 0},  // 9 s: not yet
      {"1000", "4", {" UPS Battery running [10sec]!?"}, 0x10},
      {"6000", "4", {" UPS Battery running [60sec]"}, 0x10},  // not above the 60 s wait
      {"6100", "4", {"**** PowerFail[61sec] TimeOut! -->shutdown ! ****"}, 0x18},
      {"6199", "4", {"**** PowerFail[61sec] TimeOut! -->shutdown ! ****"}, 0x18},
      {"3000", "4", {" UPS Battery running [30sec]"}, 0x10},  // within the wait again
      {"6100", "4", {"**** PowerFail[61sec] TimeOut! -->shutdown ! ****"}, 0x18},
      {"500", "4", {}, 0x18},                                  // 1 to 9 s change nothing
      {"10000", "9", {" UPS[0] is not switched battery"}, 0},  // a self-test is no power failure
      {"0", "4", {}, 0},
      {"1234", "4", {" UPS Battery running [12sec]!?"}, 0x10},
      {"0", "4", {" UPS[0] is not switched battery"}, 0},
  };
  for (const TimerStep &step : steps) {
    Pin("127.0.0.2", kTimeOnBattery, "t", step.ticks);
    Pin("127.0.0.2", kFailCause, "i", step.cause);
    EXPECT_EQ(step.lines, Check()) << step.ticks;
    EXPECT_EQ(step.state, UnitWord(0, 0)) << step.ticks;
    for (const std::string &line : step.lines) EXPECT_EQ(0, CodeOf(line));
  }

  // A line-fail cause that cannot be read counts as 0 s; a counter that cannot be read, or
  // that comes with another type, changes nothing.
  Pin("127.0.0.2", kTimeOnBattery, "t", "1500");
  Check();
  ASSERT_EQ(0x10u, UnitWord(0, 0));
  Ctl("127.0.0.2", {"fault", "status", kFailCause, "genErr"});
  EXPECT_EQ((Lines{"SNMP Error[UPS0]: errorStatus=5, errorIndex=1", " UPS[0] is not switched battery"}),
            Check());
  EXPECT_EQ(0u, UnitWord(0, 0));
  Ctl("127.0.0.2", {"fault", "clear"});
  Check();
  ASSERT_EQ(0x10u, UnitWord(0, 0));
  Pin("127.0.0.2", kTimeOnBattery, "t", "0");
  Ctl("127.0.0.2", {"fault", "status", kTimeOnBattery, "noSuchName"});
  EXPECT_EQ(Lines{"SNMP Error[UPS0]: errorStatus=2, errorIndex=1"}, Check());
  EXPECT_EQ(0x10u, UnitWord(0, 0));
  Ctl("127.0.0.2", {"fault", "status", kTimeOnBattery, "off"});
  Ctl("127.0.0.2", {"fault", "type", kTimeOnBattery, "i"});
  EXPECT_EQ(Lines{}, Check());
  EXPECT_EQ(0x10u, UnitWord(0, 0));
}

// A unit whose wait ran out and whose power-restored trap cleared its on-battery mark before a
// check saw it back: the next check that sees no time on battery clears the shut-down mark the
// timer had set, while a fault's mark stays.
TEST_F(CheckEngineTest, MarkOfARunOutWaitClearsOnceTheUnitIsBack) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\nUPS_Power_fail_wait=30\r\n", true, "127.0.0.3");
  Pin("127.0.0.2", kTimeOnBattery, "t", "1000");
  Pin("127.0.0.2", kFailCause, "i", "4");
  Check();
  Pin("127.0.0.2", kTimeOnBattery, "t", "3100");
  EXPECT_EQ(Lines{"**** PowerFail[31sec] TimeOut! -->shutdown ! ****"}, Check());
  ASSERT_EQ(0x18u, UnitWord(0, 0));
  // The power-restored trap of the card reaches the monitor first.
  SendTrap("127.0.0.2", 9);
  {
    qt::MonitorCall call;
    ASSERT_TRUE(qt::wait_until([&] { return qp_snmp_trap_count() == 0 && UnitWord(0, 0) == 0x08; }));
    EXPECT_EQ(0, TarvosLumoStop());
  }
  Pin("127.0.0.2", kTimeOnBattery, "t", "0");
  EXPECT_EQ(Lines{" UPS[0] is not switched battery"}, Check());
  EXPECT_EQ(0u, UnitWord(0, 0));

  // A unit marked by a fault trap keeps its mark through checks on mains.
  SendTrap("127.0.0.3", 51);
  {
    qt::MonitorCall call;
    ASSERT_TRUE(qt::wait_until([&] { return qp_snmp_trap_count() == 0 && UnitWord(1, 0) == 0x08; }));
    EXPECT_EQ(0, TarvosLumoStop());
  }
  EXPECT_EQ(Lines{}, Check());
  EXPECT_EQ(0x08u, UnitWord(1, 0));
}

TEST_F(CheckEngineTest, PowerFailTimerOfAnotherServersUps) {
  Configure(
      "UPS_IP=127.0.0.2\r\nUPS_IP_O3=127.0.0.3\r\nUPS_Power_fail_wait=90\r\n"
      "UPS_Power_fail_wait_other=40\r\n",
      false, "127.0.0.3");
  const TimerStep steps[] = {
      {"900", "4", {}, 0},
      {"1000", "4", {" UPS[103] Battery running [10sec]!?"}, 0x10},
      {"4000", "4", {" UPS[103] Battery running [40sec]"}, 0x10},
      {"4100", "4", {"**** UPS[103} PowerFail[41sec] TimeOut! -->shutdown ! ****"}, 0x18},
      {"2000", "4", {" UPS[103] Battery running [20sec]"}, 0x18},  // within the wait: the mark stays
      {"500", "4", {}, 0x18},
      {"0", "4", {" other_UPS[103] is not switched battery"}, 0},
      {"1000", "4", {" UPS[103] Battery running [10sec]!?"}, 0x10},
      {"5000", "9", {" other_UPS[103] is not switched battery"}, 0},
  };
  for (const TimerStep &step : steps) {
    Pin("127.0.0.3", kTimeOnBattery, "t", step.ticks);
    Pin("127.0.0.3", kFailCause, "i", step.cause);
    // What a fault trap of an O unit set is replaced by the battery states at every check.
    g_Other_Ups_State.store(UPS_SHUTDOWN_DUE);
    EXPECT_EQ(step.lines, Check()) << step.ticks;
    EXPECT_EQ(step.state, g_Battery_State_O[3].load()) << step.ticks;
    EXPECT_EQ(step.state, g_Other_Ups_State.load()) << step.ticks;
    EXPECT_EQ(0u, UnitWord(0, 0));
  }
  // A silent card is skipped: its state stays.
  Pin("127.0.0.3", kTimeOnBattery, "t", "1000");
  Pin("127.0.0.3", kFailCause, "i", "4");
  Check();
  ASSERT_EQ(0x10u, g_Battery_State_O[3].load());
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  EXPECT_EQ((Lines{"[r]error on SnmpMgrRequest 40"}), Check());
  EXPECT_EQ(0x10u, g_Battery_State_O[3].load());
}

TEST_F(CheckEngineTest, OutputVoltageKeepsTheSwitchedOffMark) {
  Configure("UPS_IP=127.0.0.2\r\n", false, "127.0.0.2");
  Pin("127.0.0.2", kOutputVoltage, "u", "0");
  Check();
  EXPECT_EQ(OFF_UPS, UnitWord(0, 1));
  Pin("127.0.0.2", kOutputVoltage, "u", "1");
  Check();
  EXPECT_EQ(0u, UnitWord(0, 1));
  Pin("127.0.0.2", kOutputVoltage, "u", "0");
  Check();
  ASSERT_EQ(OFF_UPS, UnitWord(0, 1));
  // A read that fails, or that delivers no value, leaves the mark.
  Pin("127.0.0.2", kOutputVoltage, "u", "100");
  Ctl("127.0.0.2", {"fault", "status", kOutputVoltage, "genErr"});
  EXPECT_EQ(Lines{"SNMP Error[UPS0]: errorStatus=5, errorIndex=1"}, Check());
  EXPECT_EQ(OFF_UPS, UnitWord(0, 1));
  Ctl("127.0.0.2", {"fault", "clear"});
  Ctl("127.0.0.2", {"fault", "type", kOutputVoltage, "i"});
  Check();
  EXPECT_EQ(OFF_UPS, UnitWord(0, 1));
  Ctl("127.0.0.2", {"fault", "clear"});
  Check();
  EXPECT_EQ(0u, UnitWord(0, 1));
}

// The sixth check without a monitor pass signals the trap event; a free first slot or no
// listener never does.
TEST_F(CheckEngineTest, WakesTheMonitorAfterSixChecksWithoutAPass) {
  Configure("UPS_IP=127.0.0.2\r\n", true, "127.0.0.2");
  qp_event *event = g_Trap_Event.load();
  qp_event_reset(event);
  for (int i = 1; i <= 5; ++i) {
    Check();
    EXPECT_EQ(static_cast<uint32_t>(QP_WAIT_TIMEOUT), qp_event_wait(event, 0)) << i;
    EXPECT_EQ(i, g_Trap_Poke_Count.load());
  }
  Check();
  EXPECT_EQ(static_cast<uint32_t>(QP_WAIT_OBJECT_0), qp_event_wait(event, 0));
  EXPECT_EQ(0, g_Trap_Poke_Count.load());
  qp_event_reset(event);
  // A monitor pass sets the count back.
  g_Trap_Poke_Count.store(5);
  {
    qt::MonitorCall call;
    ASSERT_TRUE(qt::wait_until([&] { return g_Trap_Poke_Count.load() == 0; }));
    EXPECT_EQ(0, TarvosLumoStop());
  }
  qp_event_reset(event);
  Check();
  EXPECT_EQ(static_cast<uint32_t>(QP_WAIT_TIMEOUT), qp_event_wait(event, 0));

  ASSERT_TRUE(LoadWith("UPS_IP1=127.0.0.2\r\n"));
  g_Trap_Event.store(event);
  for (int i = 0; i < 8; ++i) Check();
  EXPECT_EQ(static_cast<uint32_t>(QP_WAIT_TIMEOUT), qp_event_wait(event, 0));
  EXPECT_EQ(8, g_Trap_Poke_Count.load());
  g_Trap_Event.store(nullptr);
  Check();
  EXPECT_EQ(9, g_Trap_Poke_Count.load());
}

// Eleven checks give every unit code its status line, a few per check, in the rotation order;
// the twelfth starts again.
TEST_F(CheckEngineTest, StatusLinesRotateOverElevenChecks) {
  std::string settings =
      "UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.2\r\nUPS_IP3=127.0.0.3\r\nUPS_IP4=127.0.0.3\r\n";
  for (int i = 0; i < 16; ++i) {
    settings += "UPS_IP_S" + std::to_string(i) + "=127.0.0.2\r\n";
    settings += "UPS_IP_O" + std::to_string(i) + "=127.0.0.3\r\n";
  }
  Configure(settings, false, "127.0.0.3");
  const std::vector<std::vector<int>> turns = {{9000, 9001, 9003},  // 9002 is free, 9004 has no turn
                                               {0, 8},
                                               {1, 9},
                                               {2, 10, 107, 115},
                                               {3, 11, 106, 114},
                                               {4, 12, 105, 113},
                                               {5, 13, 104, 112},
                                               {6, 14, 103, 111},
                                               {7, 15, 102, 110},
                                               {101, 109},
                                               {100, 108},
                                               {9000, 9001, 9003}};
  std::vector<int> all;
  for (int code : {9000, 9001, 9002, 9003, 9004}) all.push_back(code);
  for (int i = 0; i < 16; ++i) {
    all.push_back(i);
    all.push_back(100 + i);
  }
  std::map<int, size_t> sizes;
  for (size_t t = 0; t < turns.size(); ++t) {
    EXPECT_EQ(static_cast<int32_t>(t % 11), g_Status_Log_Turn.load());
    Check(true);
    for (int code : all) {
      size_t now = UpsLogFields(install.data(UpsLogName(code))).size();
      bool chosen = std::find(turns[t].begin(), turns[t].end(), code) != turns[t].end();
      EXPECT_EQ(sizes[code] + (chosen ? 1 : 0), now) << "turn " << t << " code " << code;
      sizes[code] = now;
    }
  }
  std::string field = UpsLogFields(install.data(UpsLogName(107))).back();
  char line[STATUS_LINE_SIZE];
  ASSERT_EQ(1, BuildUpsStatusLine(107, line));
  EXPECT_EQ(line + std::string(80 - strlen(line), ' '), field);

  // A turn outside the rotation writes nothing and starts it again.
  g_Status_Log_Turn.store(11);
  Check(true);
  EXPECT_EQ(0, g_Status_Log_Turn.load());
  for (int code : all) EXPECT_EQ(sizes[code], UpsLogFields(install.data(UpsLogName(code))).size()) << code;

  // The first unit registered under a code of its own: turn 0 writes nothing.
  const char *registrations[][2] = {
      {"1000", "no"}, {"8999", "no"}, {"999", "yes"}, {"9000", "yes"}, {"x", "yes"}};
  for (const auto &r : registrations) {
    qt::write_file(install.data("UPS/UPSinfo.ini"), std::string("[index]\r\n127.0.0.2=") + r[0] + "\r\n");
    g_Status_Log_Turn.store(0);
    size_t before = UpsLogFields(install.data(UpsLogName(9000))).size();
    Check(true);
    EXPECT_EQ(before + (strcmp(r[1], "yes") == 0 ? 1 : 0),
              UpsLogFields(install.data(UpsLogName(9000))).size())
        << r[0];
    EXPECT_EQ(1, g_Status_Log_Turn.load());
  }
}

TEST_F(CheckEngineTest, OnDemandStatusLineOfARegisteredUps) {
  Configure("UPS_IP=127.0.0.2\r\n", false, "127.0.0.3");
  qt::write_file(install.data("UPS/UPSinfo.ini"),
                 "[1234]\r\nIP=127.0.0.2\r\nUPS_type=Symmetra RM]\r\n[1235]\r\nIP=127.0.0.3\r\n");
  // Not registered.
  size_t mark = LogSize();
  EXPECT_EQ(0, UPSCheckSnmpRequest2(4321, 0));
  EXPECT_EQ(Lines{"not UPSinfo.ini"}, LogTextsSince(mark));
  EXPECT_EQ(0, CodeOf("not UPSinfo.ini"));
  EXPECT_FALSE(qt::file_exists(install.data(UpsLogName(4321))));
  // Presence only: no request, no line.
  long gets = Counter("127.0.0.2", "gets");
  EXPECT_EQ(1, UPSCheckSnmpRequest2(1234, 1));
  EXPECT_EQ(gets, Counter("127.0.0.2", "gets"));
  EXPECT_FALSE(qt::file_exists(install.data(UpsLogName(1234))));
  // The line, with the Symmetra columns.
  EXPECT_EQ(1, UPSCheckSnmpRequest2(1234, 0));
  std::vector<std::string> fields = UpsLogFields(install.data(UpsLogName(1234)));
  ASSERT_EQ(1u, fields.size());
  EXPECT_EQ(" 1 01 100 103 097 50  02 1 100 50 0025 003  100 030 1800  1 [1 0] ", fields[0].substr(0, 66));
  // A card that does not answer: the dashes.
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  mark = LogSize();
  EXPECT_EQ(0, UPSCheckSnmpRequest2(1235, 0));
  EXPECT_EQ((Lines{"[r]error on SnmpMgrRequest 40",
                   "UPSCheckSnmpRequest2 [127.0.0.3] upsAdvBatteryTemperature error!"}),
            LogTextsSince(mark));
  EXPECT_EQ(0x80100001L, CodeOf("UPSCheckSnmpRequest2 [127.0.0.3] upsAdvBatteryTemperature error!"));
  fields = UpsLogFields(install.data(UpsLogName(1235)));
  ASSERT_EQ(1u, fields.size());
  EXPECT_EQ(std::string(STATUS_LINE_NO_ANSWER) + std::string(20, ' '), fields[0]);
}

// One card's step of a scenario: the upssim control verb and its arguments.
struct CardStep {
  std::string address;
  std::vector<std::string> args;
};

// What one check showed: its library log lines (code and text), the status words of the unit
// table and the O list, and the status lines the UPS logs hold.
struct CheckView {
  Lines lines, words, status_lines;
  long ms = 0;
};

// Many cards, a few silent, a few answering late, others on battery, in self-test, switched
// off or answering with errors, over three checks: the reads made at once (32) show the same
// lines in the same order, the same status words and the same status lines as the reads made
// one at a time (1). Silent cards of the O list wait 3 x 200 ms a read and late cards 50 ms an
// answer, so one read at a time costs at least their sum, which the reads at once stay below.
TEST_F(CheckEngineTest, ReadsAtOnceShowWhatOneReadAtATimeShows) {
  auto card = [](int n) { return "127.0.0." + std::to_string(n); };
  // Unit-table slot S is card 2 + S (slot 5 free), O-list entry O card 34 + O, and the status
  // lines of turn 3 (codes 2, 10, 107, 115) name cards 40, 41 and 2 (115 has no address); the
  // other turns' codes name no silent card, whose sixteen reads of a status line would take
  // 9.6 s whatever the number of reads at once.
  std::string settings = "UPS_Power_fail_wait_other=40\r\n";
  for (int s = 0; s < 32; ++s)
    settings += (s == 0 ? std::string("UPS_IP") : "UPS_IP" + std::to_string(s)) + "=" +
                (s == 5 ? std::string("127.0.0.1") : card(2 + s)) + "\r\n";
  for (int o = 0; o < 6; ++o) settings += "UPS_IP_O" + std::to_string(o) + "=" + card(34 + o) + "\r\n";
  settings += "UPS_IP_O7=127.0.0.2\r\nUPS_IP_S2=127.0.0.40\r\nUPS_IP_S10=127.0.0.41\r\n";
  Configure(settings, false, card(41));

  // The status lines of the three checks' turns (3, 4 and 5).
  const int kStatusCodes[] = {2, 10, 107, 115, 3, 11, 106, 114, 4, 12, 105, 113};
  const std::vector<std::vector<CardStep>> checks = {
      {
          {card(3), {"set", kFailCause, "i", "4"}},
          {card(4), {"set", kFailCause, "i", "4"}},
          {card(5), {"set", kFailCause, "i", "4"}},
          {card(8), {"set", kFailCause, "i", "4"}},
          {card(11), {"set", kFailCause, "i", "4"}},
          {card(32), {"set", kFailCause, "i", "4"}},
          {card(33), {"set", kFailCause, "i", "4"}},
          {card(35), {"set", kFailCause, "i", "4"}},
          {card(38), {"set", kFailCause, "i", "4"}},
          {card(3), {"set", kTimeOnBattery, "t", "1500"}},
          {card(4), {"set", kTimeOnBattery, "t", "7000"}},
          {card(5), {"set", kTimeOnBattery, "t", "2000"}},
          {card(5), {"fault", "delay", "50"}},
          {card(6), {"set", kOutputVoltage, "u", "0"}},
          {card(8), {"set", kTimeOnBattery, "t", "1200"}},
          {card(8), {"fault", "status", kFailCause, "genErr"}},
          {card(9), {"fault", "status", kTimeOnBattery, "noSuchName"}},
          {card(10), {"fault", "type", kOutputVoltage, "i"}},
          {card(11), {"set", kTimeOnBattery, "t", "1100"}},
          {card(11), {"fault", "delay", "50"}},
          {card(14), {"fault", "delay", "50"}},
          {card(22), {"set", kTimeOnBattery, "t", "1500"}},
          {card(22), {"set", kFailCause, "i", "9"}},
          {card(22), {"fault", "delay", "50"}},
          {card(27), {"fault", "delay", "50"}},
          {card(32), {"set", kTimeOnBattery, "t", "3000"}},
          {card(32), {"fault", "delay", "50"}},
          {card(33), {"set", kTimeOnBattery, "t", "1000"}},
          {card(34), {"fault", "silent", "on"}},
          {card(35), {"set", kTimeOnBattery, "t", "1000"}},
          {card(36), {"fault", "silent", "on"}},
          {card(37), {"fault", "silent", "on"}},
          {card(38), {"set", kTimeOnBattery, "t", "5000"}},
          {card(40), {"fault", "status", kFailCause, "genErr"}},
      },
      {
          {card(3), {"set", kTimeOnBattery, "t", "1600"}},
          {card(5), {"set", kTimeOnBattery, "t", "0"}},
          {card(6), {"set", kOutputVoltage, "u", "230"}},
          {card(8), {"fault", "clear"}},
          {card(11), {"set", kTimeOnBattery, "t", "7100"}},
          {card(33), {"set", kTimeOnBattery, "t", "0"}},
          {card(35), {"set", kTimeOnBattery, "t", "7000"}},
          {card(36), {"fault", "silent", "off"}},
          {card(37), {"fault", "silent", "off"}},
      },
      {
          {card(4), {"set", kTimeOnBattery, "t", "0"}},
          {card(11), {"set", kTimeOnBattery, "t", "2000"}},
          {card(35), {"set", kTimeOnBattery, "t", "0"}},
      },
  };
  // Each run begins from a fresh load; the first check's steps set every card that a later check
  // changes.
  auto run = [&](const char *reads) {
    setenv("QUORIN_CHECK_READS", reads, 1);
    EXPECT_TRUE(Load());
    g_Status_Log_Turn.store(3);
    std::vector<CheckView> views;
    for (const std::vector<CardStep> &steps : checks) {
      for (const CardStep &step : steps) Ctl(step.address, step.args);
      CheckView view;
      size_t mark = LogSize();
      std::map<int, size_t> status_marks;
      for (int code : kStatusCodes) status_marks[code] = UpsLogFields(install.data(UpsLogName(code))).size();
      view.ms = qt::ElapsedMs([] { EXPECT_EQ(1, QuoKySnmpCheck()); });
      std::vector<qt::LogRecord> records = Log();
      for (size_t i = mark; i < records.size(); ++i)
        view.lines.push_back(std::to_string(records[i].code) + " " + records[i].text);
      for (int s = 0; s < 32; ++s)
        view.words.push_back(std::to_string(UnitWord(s, 0)) + "/" + std::to_string(UnitWord(s, 1)));
      for (int o = 0; o < 16; ++o) view.words.push_back(std::to_string(g_Battery_State_O[o].load()));
      view.words.push_back(std::to_string(g_Other_Ups_State.load()));
      for (int code : kStatusCodes) {
        std::vector<std::string> fields = UpsLogFields(install.data(UpsLogName(code)));
        for (size_t i = status_marks[code]; i < fields.size(); ++i)
          view.status_lines.push_back(std::to_string(code) + ": " + fields[i]);
      }
      views.push_back(view);
    }
    unsetenv("QUORIN_CHECK_READS");
    return views;
  };
  std::vector<CheckView> one = run("1");
  std::vector<CheckView> at_once = run("32");
  ASSERT_EQ(checks.size(), one.size());
  ASSERT_EQ(checks.size(), at_once.size());
  for (size_t c = 0; c < checks.size(); ++c) {
    EXPECT_EQ(one[c].lines, at_once[c].lines) << "check " << c;
    EXPECT_EQ(one[c].words, at_once[c].words) << "check " << c;
    EXPECT_EQ(one[c].status_lines, at_once[c].status_lines) << "check " << c;
  }
  // The first check in slot order: the unit table, the O list, then the status lines' reads.
  const char *failed = "2148532225 [r]error on SnmpMgrRequest 40";  // 0x80100001
  EXPECT_EQ(
      (Lines{"0  UPS Battery running [15sec]!?", "0  UPS Battery running [70sec]!?",
             "0  UPS Battery running [20sec]!?", "2148532226 SNMP Error[UPS6]: errorStatus=5, errorIndex=1",
             "2148532226 SNMP Error[UPS7]: errorStatus=2, errorIndex=1", "0  UPS Battery running [11sec]!?",
             "0  UPS Battery running [30sec]!?", "0  UPS Battery running [10sec]!?", failed,
             "0  UPS[101] Battery running [10sec]!?", failed, failed, "0  UPS[104] Battery running [50sec]!?",
             "2148532226 [r]SNMP Error: errorStatus=5, errorIndex=1"}),
      at_once[0].lines);
  EXPECT_EQ(3u, at_once[0].status_lines.size());  // codes 2, 10 and 107
  EXPECT_EQ("24/0", at_once[1].words[2]);         // slot 2 past its wait
  EXPECT_EQ("0/128", at_once[0].words[4]);        // slot 4 switched off
  EXPECT_EQ("0/0", at_once[1].words[4]);

  // One read at a time waits out every silent and late read of a check in turn; at once they
  // overlap. The first check: three silent O entries (one read each) and six late cards of the
  // unit table (three reads each).
  const long one_at_a_time_ms = 3 * 3 * 200 + 6 * 3 * 50;
  EXPECT_GE(one[0].ms, qt::EarliestMs(one_at_a_time_ms));
  EXPECT_LT(at_once[0].ms, one_at_a_time_ms) << "the reads did not overlap";
}

// The check engine, the trap monitor and the host's calls on threads of their own at once,
// with traps arriving: the shared words stay consistent (and the thread sanitizer quiet).
TEST_F(CheckEngineTest, EngineMonitorAndHostCallsRunAtOnce) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\nUPS_IP_O0=127.0.0.4\r\n", true, "127.0.0.4");
  Ctl("127.0.0.2", {"trap-to", "127.0.0.1:" + std::to_string(trap_port)});
  Pin("127.0.0.4", kTimeOnBattery, "t", "2000");
  std::atomic<bool> stop{false};
  std::atomic<int> checks{0}, reads{0};
  std::thread checker([&] {
    while (!stop.load()) {
      QuoKySnmpCheck();
      ++checks;
    }
  });
  std::thread host([&] {
    while (!stop.load()) {
      int value = 0;
      char address[64];
      uint32_t words[9];
      GetUpsStatusFromSnmp("127.0.0.3", &value);
      GetUpsInputStatusFromSnmp("127.0.0.2", &value);
      QuoKyGetUnitState(1, address, words);
      ++reads;
    }
  });
  std::vector<std::string> reports;
  std::atomic<bool> monitor_done{false};
  std::atomic<int> report_count{0};
  std::thread monitor([&] {
    while (!stop.load()) {
      char report[64] = {0};
      if (TarvosLumoGet(0, 0, report) == 0) {
        reports.push_back(report);
        ++report_count;
      }
    }
    monitor_done.store(true);
  });
  // Fault and battery traps from the first card, several times over.
  Ctl("127.0.0.2", {"trap", "53", "--count", "3"});
  Ctl("127.0.0.2", {"trap", "5", "--count", "3"});
  ASSERT_TRUE(
      // Once the other server's UPS has run out its wait, every empty poll reports.
      qt::wait_until(
          [&] {
            return qp_snmp_trap_count() == 0 && checks.load() >= 20 && reads.load() >= 20 &&
                   report_count.load() >= 2;
          },
          std::chrono::seconds(60)));
  stop.store(true);
  checker.join();
  host.join();
  while (!monitor_done.load()) {
    TarvosLumoStop();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  monitor.join();
  // The monitor alone sets the input-fault word; the engine alone the other UPS's state: 20 s
  // on battery passes its wait of 15 s.
  EXPECT_EQ(INPUT_FAULT_BATTERY_TEMPERATURE, g_Input_Fault_Main.load());
  EXPECT_EQ(0x18u, g_Battery_State_O[0].load());
  EXPECT_FALSE(reports.empty());
  // Every report is an empty poll's for the other servers' state.
  for (const std::string &r : reports) {
    EXPECT_EQ(48u, r.size()) << r;
    EXPECT_EQ("8010012", r.substr(0, 7)) << r;
    EXPECT_EQ("18", r.substr(25, 2)) << r;
  }
}

}  // namespace
