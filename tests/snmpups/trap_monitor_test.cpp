// The trap monitor against traps that net-snmp's snmptrap sends to the real listener: every row
// of the trap table on each path (a unit of the unit table, of the S list, of the O list) as
// data, unknown numbers, other enterprises and extra bindings, the report decision, the
// empty-poll reports, unknown senders, the status snapshot, and malformed traps.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "monitor_fixture.h"
#include "raw_trap.h"

namespace {

using qt::MonitorCall;
using qt::Report;

// The full-width colon of the messages, in code page 932.
const std::string kColon = "\x81\x46";

// What a trap's pass leads to.
enum class Outcome {
  kNone,        // no report: the call goes on until it is stopped
  kTrapReport,  // the trap's own pass returns the report ("<----TarvosLumoGet return", code 0)
  kPollReport,  // the next empty poll returns slot 0's report ("<****TarvosLumoGet return", code 1)
};

// One row as the sender's path sees it. NAME empty: not a recognised trap (generic message).
struct Row {
  int specific;
  const char *name;
  uint32_t word0, word1;  // the sender's words (unit path) or slot 0's (O path) afterwards
  uint32_t fault;         // the path's input-fault word afterwards
  uint32_t other;         // g_Other_Ups_State afterwards
  int snapshot;           // unit code whose trap log gets the eight snapshot lines, -1 none
  Outcome outcome;
};

// Every named row, then numbers the table does not know.
const char *const kNames[] = {"communicationLost",
                              "upsOverload",
                              "upsDiagnosticsFailed",
                              "upsDischarged",
                              "guaranteed should input power fail",
                              "smartBoostOn",
                              "lowBattery",
                              "communicationEstablished",
                              "powerRestored",
                              "upsDiagnosticsPassed",
                              "returnFromLowBattery",
                              "upsTurnedOff",
                              "upsSleeping",
                              "upsWokeUp",
                              "upsRebootStarted",
                              "upsDipSwitchChanged",
                              "upsBatteryNeedsReplacement"};
const int kUnknownNumbers[] = {0, 18, 27, 40, 48, 57, 65, 67, 255};

class TrapTableTest : public qt::MonitorTest {
 protected:
  void SetUp() override {
    Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\nUPS_IP_S0=127.0.0.4\r\nUPS_IP_O0=127.0.0.5\r\n");
    WriteTrapLogKeys("127.0.0.3=42\r\n127.0.0.4=43\r\n127.0.0.5=44\r\n");
  }

  // Sends ROW's trap from AGENT, runs one monitor call and checks what it did. The message is
  // looked for in the library log (MESSAGE_LOG -1) or in the trap log MESSAGE_LOG; every
  // message also goes to the trap log KEY_LOG that "UPSTRAP" gives the sender.
  void RunRow(const Row &row, const std::string &agent, const std::string &message, int message_log,
              int key_log, const std::string &report) {
    SCOPED_TRACE("specific " + std::to_string(row.specific) + " from " + agent);
    size_t log_mark = LogSize();
    size_t message_mark = message_log < 0 ? 0 : TrapLog(message_log).size();
    size_t key_mark = TrapLog(key_log).size();
    size_t snapshot_mark = row.snapshot < 0 ? 0 : TrapLog(row.snapshot).size();
    std::map<int, size_t> unit_marks;
    for (int code : {9000, 9001, 0, 100}) unit_marks[code] = TrapLog(code).size();
    SendTrap(agent, row.specific);
    ASSERT_TRUE(Queued(1));
    auto message_written = [&] {
      if (message_log < 0) {
        std::vector<std::string> texts = LogTextsSince(log_mark);
        return std::find(texts.begin(), texts.end(), message) != texts.end();
      }
      std::vector<std::string> texts = TrapLogTexts(message_log, message_mark);
      return !texts.empty() && texts.back() == message;
    };
    {
      MonitorCall call;
      if (row.outcome == Outcome::kNone) {
        ASSERT_TRUE(qt::wait_until([&] { return qp_snmp_trap_count() == 0 && message_written(); }));
        EXPECT_EQ(0, TarvosLumoStop());
      }
      ASSERT_TRUE(call.Wait());
      if (row.outcome == Outcome::kNone) {
        EXPECT_EQ(1, call.result());
        EXPECT_EQ(qt::StopReport(), call.report());
      } else {
        EXPECT_EQ(0, call.result());
        EXPECT_EQ(report, call.report());
        qt::LogRecord last = LastLog();
        EXPECT_EQ(
            row.outcome == Outcome::kTrapReport ? "<----TarvosLumoGet return" : "<****TarvosLumoGet return",
            last.text);
        EXPECT_EQ(row.outcome == Outcome::kTrapReport ? 0u : 1u, last.code);
      }
      EXPECT_EQ(std::string(15, 'X'), call.tail());
    }
    EXPECT_TRUE(message_written()) << message;
    // The "UPSTRAP" trap log gets the same message, code 0 for the only binding.
    std::vector<qt::LogRecord> keyed = TrapLog(key_log);
    ASSERT_EQ(key_mark + 1, keyed.size());
    EXPECT_EQ(message, keyed.back().text);
    EXPECT_EQ(0u, keyed.back().code);
    if (row.snapshot >= 0) {
      std::vector<std::string> lines = TrapLogTexts(row.snapshot, snapshot_mark);
      ASSERT_LE(8u, lines.size());
      EXPECT_EQ(" InputPhase:1  InputLineFailCause:01 InputLineVoltage=100", lines[0]);
      EXPECT_EQ("BatteryRunTimeRemaining=1800  BatteryReplaceIndicator=1", lines[7]);
    }
    // The unit trap logs got the snapshot's eight lines and the message, nothing else.
    for (int code : {9000, 9001, 0, 100}) {
      size_t added = (code == row.snapshot ? 8 : 0) + (code == message_log ? 1 : 0);
      EXPECT_EQ(unit_marks[code] + added, TrapLog(code).size()) << code;
    }
  }
};

// The sender is unit-table slot 1 (127.0.0.3), every unit switched off beforehand, so that a
// report flag always leads to a report (of the sender's own slot) and no empty poll reports.
TEST_F(TrapTableTest, EveryRowFromAUnitOfTheUnitTable) {
  const Outcome N = Outcome::kNone, T = Outcome::kTrapReport;
  std::vector<Row> rows = {
      {1, kNames[0], 0, 0x80, 0, 0, -1, N},
      {2, kNames[1], 0, 0x80, 0, 0, -1, N},
      {3, kNames[2], 0, 0x80, 0, 0, -1, N},
      {4, kNames[3], 0, 0x80, 0, 0, -1, N},
      {5, kNames[4], 0x10, 0x80, 0, 0, -1, T},
      {6, kNames[5], 0, 0x80, 0, 0, -1, N},
      {7, kNames[6], 0x08, 0x80, 0, 0, 9000, T},
      {8, kNames[7], 0, 0x80, 0, 0, -1, N},
      {9, kNames[8], 0, 0x80, 0, 0, -1, T},
      {10, kNames[9], 0, 0x80, 0, 0, -1, N},
      {11, kNames[10], 0, 0x80, 0, 0, -1, T},
      {12, kNames[11], 0, 0x81, 0, 0, -1, T},
      {13, kNames[12], 0, 0x80, 0, 0, -1, T},
      {14, kNames[13], 0, 0x80, 0, 0, -1, T},
      {15, kNames[14], 0, 0x80, 0, 0, -1, T},
      {16, kNames[15], 0, 0x80, 0, 0, -1, T},
      {17, kNames[16], 0, 0x80, 0, 0, -1, N},
      {28, "calibrationStart", 0, 0x80, 0, 0, -1, N},
      {29, "restartAgent", 0, 0x80, 0, 0, -1, N},
      // Switched on again: the sender is healthy, so no report.
      {30, "upsTurnedOn", 0, 0x00, 0, 0, -1, N},
      {31, "smartTrimOn", 0, 0x80, 0, 0, -1, N},
      {32, "codeAuthenticationDone", 0, 0x80, 0, 0, -1, N},
      {33, "upsOverloadCleared", 0, 0x80, 0, 0, -1, N},
      {34, "smartBoostOff", 0, 0x80, 0, 0, -1, N},
      {35, "smartAvrReducingOff", 0, 0x80, 0, 0, -1, N},
      {36, "upsBatteryReplaced", 0, 0x80, 0, 0, -1, N},
      {37, "calibrationEnd", 0, 0x80, 0, 0, -1, N},
      {38, "dischargeCleared", 0, 0x80, 0, 0, -1, N},
      {39, "gracefullShutdown", 0, 0x80, 0, 0, -1, N},
      {49, "badVoltage", 0x08, 0x80, 1, 0, 9000, T},
      {50, "badVoltageCleared", 0, 0x80, 0, 0, -1, N},
      // The other faults snapshot the sender itself and raise no report flag.
      {51, "chargerFailure", 0x08, 0x80, 2, 0, 9001, N},
      {52, "chargerFailureCleared", 0, 0x80, 0, 0, -1, N},
      {53, "batteryOverTemperature", 0x08, 0x80, 4, 0, 9001, N},
      {54, "batteryOverTemperatureCleared", 0, 0x80, 0, 0, -1, N},
      {55, "smartRelayFault", 0x08, 0x80, 8, 0, 9001, N},
      {56, "smartRelayFaultCleared", 0, 0x80, 0, 0, -1, N},
      {66, "mupsCommunicationLost", 0, 0x80, 0, 0, -1, N},
  };
  for (int number : kUnknownNumbers) rows.push_back({number, "", 0, 0x80, 0, 0, -1, N});
  for (const Row &row : rows) {
    SetWords(0, 0, OFF_UPS);
    SetWords(1, 0, OFF_UPS);
    g_Input_Fault_Main.store(0);
    std::string message =
        row.name[0] == '\0'
            ? " ** Trap generic=6 specific=" + std::to_string(row.specific) + "  from : 127.0.0.3"
            : std::string(row.specific == 55 ? " " : "") + "** Trap" + kColon + "[" + row.name +
                  "] <-[127.0.0.3]";
    RunRow(row, "127.0.0.3", message, -1, 42, Report(row.word0, row.word1));
    EXPECT_EQ(row.word0, UnitWord(1, 0)) << row.specific;
    EXPECT_EQ(row.word1, UnitWord(1, 1)) << row.specific;
    EXPECT_EQ(row.fault, g_Input_Fault_Main.load()) << row.specific;
    EXPECT_EQ(0u, g_Input_Fault_S[0].load() | g_Input_Fault_O[0].load() | g_Other_Ups_State.load());
    EXPECT_EQ(0u, UnitWord(0, 0)) << row.specific;
    // The switch-on row, again with the sender called for shut-down: now a report.
    if (row.specific == 30) {
      SetWords(1, UPS_SHUTDOWN_DUE, OFF_UPS | UPS_TURNED_OFF_TRAP);
      RunRow({30, "upsTurnedOn", 0x08, 0x01, 0, 0, -1, Outcome::kTrapReport}, "127.0.0.3", message, -1, 42,
             Report(0x08, 0x01));
      EXPECT_EQ(0x01u, UnitWord(1, 1));
    }
    if (HasFatalFailure()) return;
  }
}

// A sender of the S list: messages in its own trap log (unit code 0), the input-fault word of
// its entry, never a report.
TEST_F(TrapTableTest, EveryRowFromAUnitOfTheSList) {
  const Outcome N = Outcome::kNone;
  std::vector<Row> rows;
  for (int i = 0; i < 17; ++i) rows.push_back({i + 1, kNames[i], 0, 0, 0, 0, i + 1 == 7 ? 0 : -1, N});
  const char *more[] = {"calibrationStart", "restartAgent",           "upsTurnedOn",
                        "smartTrimOn",      "codeAuthenticationDone", "upsOverloadCleared",
                        "smartBoostOff",    "smartAvrReducingOff",    "upsBatteryReplaced",
                        "calibrationEnd",   "dischargeCleared",       "gracefullShutdown"};
  for (int i = 0; i < 12; ++i) rows.push_back({28 + i, more[i], 0, 0, 0, 0, -1, N});
  rows.push_back({49, "badVoltage", 0, 0, 1, 0, 0, N});
  rows.push_back({50, "badVoltageCleared", 0, 0, 0x0F, 0, -1, N});
  rows.push_back({51, "chargerFailure", 0, 0, 2, 0, 0, N});
  rows.push_back({52, "chargerFailureCleared", 0, 0, 0x0F, 0, -1, N});
  rows.push_back({53, "batteryOverTemperature", 0, 0, 4, 0, 0, N});
  rows.push_back({54, "batteryOverTemperatureCleared", 0, 0, 0x0B, 0, -1, N});
  rows.push_back({55, "smartRelayFault", 0, 0, 8, 0, 0, N});
  rows.push_back({56, "smartRelayFaultCleared", 0, 0, 0x0F, 0, -1, N});
  rows.push_back({66, "mupsCommunicationLost", 0, 0, 0, 0, -1, N});
  for (int number : kUnknownNumbers) rows.push_back({number, "", 0, 0, 0, 0, -1, N});
  for (const Row &row : rows) {
    SetWords(0, 0, 0);
    SetWords(1, 0, 0);
    // The "Cleared" rows start from every fault bit set, to show what they leave.
    g_Input_Fault_S[0].store(row.fault == 0x0F || row.fault == 0x0B ? 0x0F : 0);
    std::string message = row.name[0] == '\0'
                              ? " [127.0.0.4]** Trap generic=6 specific=" + std::to_string(row.specific)
                              : std::string(row.specific == 55 ? " " : "") + "[127.0.0.4]** Trap" + kColon +
                                    "[" + row.name + "]";
    RunRow(row, "127.0.0.4", message, 0, 43, "");
    EXPECT_EQ(row.fault, g_Input_Fault_S[0].load()) << row.specific;
    EXPECT_EQ(0u, UnitWord(0, 0) | UnitWord(1, 0) | UnitWord(0, 1) | UnitWord(1, 1)) << row.specific;
    EXPECT_EQ(0u, g_Input_Fault_Main.load() | g_Input_Fault_O[0].load() | g_Other_Ups_State.load());
    if (HasFatalFailure()) return;
  }
}

// A sender of the O list: messages in its trap log (unit code 100); lowBattery marks the first
// unit and reports it, the faults mark the other servers' state, which the next empty poll
// reports as slot 0's.
TEST_F(TrapTableTest, EveryRowFromAUnitOfTheOList) {
  const Outcome N = Outcome::kNone, T = Outcome::kTrapReport, P = Outcome::kPollReport;
  std::vector<Row> rows;
  for (int i = 0; i < 17; ++i) {
    if (i + 1 == 7)
      rows.push_back({7, kNames[i], 0x08, 0, 0, 0, 100, T});
    else
      rows.push_back({i + 1, kNames[i], 0, 0, 0, 0, -1, N});
  }
  rows.push_back({30, "upsTurnedOn", 0, 0, 0, 0, -1, N});
  rows.push_back({39, "gracefullShutdown", 0, 0, 0, 0, -1, N});
  rows.push_back({49, "badVoltage", 0, 0, 1, 0x08, 100, P});
  rows.push_back({50, "badVoltageCleared", 0, 0, 0x0F, 0, -1, N});
  rows.push_back({51, "chargerFailure", 0, 0, 2, 0x08, 100, P});
  rows.push_back({53, "batteryOverTemperature", 0, 0, 4, 0x08, 100, P});
  rows.push_back({54, "batteryOverTemperatureCleared", 0, 0, 0x0B, 0, -1, N});
  rows.push_back({55, "smartRelayFault", 0, 0, 8, 0x08, 100, P});
  rows.push_back({56, "smartRelayFaultCleared", 0, 0, 0x0F, 0, -1, N});
  rows.push_back({66, "mupsCommunicationLost", 0, 0, 0, 0, -1, N});
  for (int number : kUnknownNumbers) rows.push_back({number, "", 0, 0, 0, 0, -1, N});
  for (const Row &row : rows) {
    SetWords(0, 0, 0);
    SetWords(1, 0, 0);
    g_Other_Ups_State.store(0);
    g_Input_Fault_O[0].store(row.fault == 0x0F || row.fault == 0x0B ? 0x0F : 0);
    std::string message = row.name[0] == '\0'
                              ? " [127.0.0.5]** Trap generic=6 specific=" + std::to_string(row.specific)
                              : std::string(row.specific == 55 ? " " : "") + "[127.0.0.5]** Trap" + kColon +
                                    "[" + row.name + "]";
    RunRow(row, "127.0.0.5", message, 100, 44, Report(row.word0, 0, row.other));
    EXPECT_EQ(row.fault, g_Input_Fault_O[0].load()) << row.specific;
    EXPECT_EQ(row.other, g_Other_Ups_State.load()) << row.specific;
    EXPECT_EQ(row.word0, UnitWord(0, 0)) << row.specific;
    EXPECT_EQ(0u, UnitWord(1, 0) | UnitWord(0, 1) | UnitWord(1, 1)) << row.specific;
    EXPECT_EQ(0u, g_Input_Fault_Main.load() | g_Input_Fault_S[0].load());
    if (HasFatalFailure()) return;
  }
}

// ---- The report decision and the empty polls --------------------------------------------------

class MonitorDecisionTest : public qt::MonitorTest {};

// The only configured unit switched off by its trap: after the start-up wait every slot is
// switched off, so the sender's own slot is reported; without it, the first free slot.
TEST_F(MonitorDecisionTest, TurnedOffTrapOfTheOnlyUnitReportsItsOwnSlot) {
  Configure("UPS_IP2=127.0.0.2\r\n");
  SendTrap("127.0.0.2", 12, {}, ".1.3.6.1.4.1.9");  // the enterprise is not looked at
  MonitorCall call;
  ASSERT_TRUE(call.Wait());
  EXPECT_EQ(0, call.result());
  EXPECT_EQ(Report(0, 0x81), call.report());
  EXPECT_EQ(0x81u, UnitWord(2, 1));
}

TEST_F(MonitorDecisionTest, WithoutTheStartUpMarksTheFirstFreeSlotIsReported) {
  Configure("UPS_IP2=127.0.0.2\r\n", false);
  g_Trap_Event.store(qp_snmp_trap_listen());
  ASSERT_NE(nullptr, g_Trap_Event.load());
  SendTrap("127.0.0.2", 12);
  MonitorCall call;
  ASSERT_TRUE(call.Wait());
  EXPECT_EQ(0, call.result());
  EXPECT_EQ(Report(0, 0), call.report());
}

// A low battery while another unit is healthy only logs; the second unit's low battery leaves
// none healthy and reports the first slot that is not switched off. The snapshot of a low
// battery is always the first unit's.
TEST_F(MonitorDecisionTest, LowBatteryWaitsUntilNoUnitIsHealthy) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\n");
  MonitorCall call;
  SendTrap("127.0.0.3", 7);
  ASSERT_TRUE(qt::wait_until([&] { return CodeOf("ups_X1[ups_index][1] |= OFF_UPS 1") == 1; }));
  EXPECT_EQ(0x08u, UnitWord(1, 0));
  EXPECT_EQ(8u, TrapLog(9000).size());
  EXPECT_FALSE(qt::file_exists(TrapLogPath(9001)));
  // While the first unit stays healthy, every empty poll names the unit called for shut-down.
  ASSERT_TRUE(qt::wait_until([&] { return LogCount("ups_X1[ups_index][1] |= OFF_UPS 2") >= 2; }));
  EXPECT_EQ(1, CodeOf("ups_X1[ups_index][1] |= OFF_UPS 2"));
  EXPECT_FALSE(call.done());
  SendTrap("127.0.0.2", 7);
  ASSERT_TRUE(call.Wait());
  EXPECT_EQ(0, call.result());
  EXPECT_EQ(Report(0x08, 0), call.report());
  EXPECT_EQ(16u, TrapLog(9000).size());
}

// With every configured unit called for shut-down, an empty poll reports the first of them.
TEST_F(MonitorDecisionTest, EmptyPollReportsAUnitCalledForShutDown) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\n");
  SetWords(0, 0, OFF_UPS);
  SetWords(1, UPS_SHUTDOWN_DUE | UPS_ON_BATTERY, 0);
  MonitorCall call;
  ASSERT_TRUE(call.Wait());
  EXPECT_EQ(0, call.result());
  EXPECT_EQ(Report(0x18, 0), call.report());
  EXPECT_EQ("<----TarvosLumoGet return", LastLog().text);
  EXPECT_EQ(1u, LastLog().code);
  // Every later call returns the same report at once.
  MonitorCall again;
  ASSERT_TRUE(again.Wait());
  EXPECT_EQ(Report(0x18, 0), again.report());
}

// Senders that no list names, with and without an "UPSTRAP" entry; an S-list sender whose
// trap has no bindings; an S-list sender whose first binding is not the trap argument.
TEST_F(MonitorDecisionTest, UnknownSendersAndBindingsThatAreNotTheTrapArgument) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP_S3=127.0.0.4\r\n");
  WriteTrapLogKeys("127.0.0.9=45\r\n127.0.0.10=not a number\r\n");
  MonitorCall call;
  SendTrap("127.0.0.4", 49, {"none"});
  SendTrap("127.0.0.8", 49);
  SendTrap("127.0.0.10", 49);
  SendTrap("127.0.0.9", 53, {".1.3.6.1.2.1.1.5.0", "s", "name", qt::kTrapArgument, "s", "hot"});
  SendTrap("127.0.0.4", 53, {".1.3.6.1.2.1.1.5.0", "s", "name", qt::kTrapArgument, "s", "hot"});
  ASSERT_TRUE(qt::wait_until([&] { return TrapLog(3).size() == 1; }));
  EXPECT_EQ(1, LogCount("Unkown IP[127.0.0.4]'s Trap"));
  EXPECT_EQ(1, LogCount("Unkown IP[127.0.0.8]'s Trap"));
  EXPECT_EQ(1, LogCount("Unkown IP[127.0.0.10]'s Trap"));
  std::vector<qt::LogRecord> keyed = TrapLog(45);
  ASSERT_EQ(2u, keyed.size());
  EXPECT_EQ(" [127.0.0.9]** Trap generic=6 specific=53", keyed[0].text);
  EXPECT_EQ(0u, keyed[0].code);
  EXPECT_EQ("[127.0.0.9]** Trap" + kColon + "[batteryOverTemperature]", keyed[1].text);
  EXPECT_EQ(1u, keyed[1].code);
  // Only the first binding of an S-list sender counts: a generic message, no effect.
  EXPECT_EQ(std::vector<std::string>{" [127.0.0.4]** Trap generic=6 specific=53"}, TrapLogTexts(3));
  EXPECT_EQ(0u, g_Input_Fault_S[3].load());
  EXPECT_FALSE(qt::file_exists(TrapLogPath(9000)));
  EXPECT_FALSE(call.done());
}

// A unit-path trap logs every binding, the trap argument ones with the row's message, and the
// "UPSTRAP" log numbers them.
TEST_F(MonitorDecisionTest, EveryBindingOfAUnitTrapIsLogged) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\n");
  WriteTrapLogKeys("127.0.0.3=42\r\n");
  MonitorCall call;
  size_t mark = LogSize();
  SendTrap("127.0.0.3", 5,
           {".1.3.6.1.2.1.1.5.0", "s", "name", qt::kTrapArgument, "s", "a", qt::kTrapArgument, "i", "7"});
  std::string named = "** Trap" + kColon + "[guaranteed should input power fail] <-[127.0.0.3]";
  ASSERT_TRUE(qt::wait_until([&] { return TrapLog(42).size() == 3; }));
  std::vector<std::string> lines = LogTextsSince(mark);
  std::vector<std::string> messages(lines.end() - 3, lines.end());
  EXPECT_EQ((std::vector<std::string>{" ** Trap generic=6 specific=5  from : 127.0.0.3", named, named}),
            messages);
  std::vector<qt::LogRecord> keyed = TrapLog(42);
  for (unsigned k = 0; k < 3; ++k) {
    EXPECT_EQ(messages[k], keyed[k].text);
    EXPECT_EQ(k, keyed[k].code);
  }
  EXPECT_EQ(0x10u, UnitWord(1, 0));
  EXPECT_FALSE(call.done());  // slot 0 is healthy
}

// ---- The status snapshot ----------------------------------------------------------------------

TEST_F(MonitorDecisionTest, SnapshotWritesEightLinesOrNothing) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP3=127.0.0.3\r\nUPS_IP_S0=127.0.0.1\r\nUPS_IP_O15=127.0.0.4\r\n",
            false);
  Ctl("127.0.0.4", {"set", ".1.3.6.1.4.1.318.1.1.1.4.2.3.0", "u", "7"});
  EXPECT_EQ(1, LogTrapStatusSnapshot(115));
  const std::vector<std::string> lines = {" InputPhase:1  InputLineFailCause:01 InputLineVoltage=100",
                                          "InputMaxLineVoltage=103 InputMinLineVoltage=097",
                                          "InputFrequency=50",
                                          " OutputStatus:02 OutputPhase:1",
                                          "OutputVoltage=100 OutputFrequency=50",
                                          "OutputLoad=0007 OutputCurrent=003",
                                          " BatteryCapacity=100 BatteryTemperature=030",
                                          "BatteryRunTimeRemaining=1800  BatteryReplaceIndicator=1"};
  EXPECT_EQ(lines, TrapLogTexts(115));
  for (const qt::LogRecord &r : TrapLog(115)) EXPECT_EQ(0u, r.code);
  // No address: a free slot (its "address" is the local host), an S entry of 127.0.0.1, codes
  // outside the lists.
  for (int code : {9001, 9130, 0, 1, 16, 99, 116, -1}) {
    EXPECT_EQ(0, LogTrapStatusSnapshot(code)) << code;
    EXPECT_FALSE(qt::file_exists(TrapLogPath(code))) << code;
  }
  EXPECT_EQ(1, LogTrapStatusSnapshot(9003));
  EXPECT_EQ(8u, TrapLog(9003).size());
}

// ---- Malformed traps ----------------------------------------------------------------------------

// Traps no card sends, through the real listener: an agent address of six bytes or of none, a
// binding list of 200 entries, identifiers of 128 arcs, a trap argument of another type. None
// stops the monitor, and the next well-formed trap is handled as usual.
TEST_F(MonitorDecisionTest, MalformedTrapsAreDroppedOrHandledWithoutHarm) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\n");
  WriteTrapLogKeys("127.0.0.3=42\r\n0.0.0.0=46\r\n");
  MonitorCall call;
  const std::vector<uint32_t> powernet = {1, 3, 6, 1, 4, 1, 318};
  const std::vector<uint32_t> argument = {1, 3, 6, 1, 4, 1, 318, 2, 3, 3, 0};
  const std::vector<std::string> low_battery = {qt::BerBinding(argument, qt::BerElement(0x04, "low"))};
  const std::string sender("\x7f\0\0\x03", 4);  // 127.0.0.3
  size_t mark = LogSize();
  ASSERT_TRUE(qt::SendUdp(
      trap_port, qt::RawV1Trap("public", powernet, std::string("\x7f\0\0\x03\0\0", 6), 6, 7, low_battery)));
  ASSERT_TRUE(qt::SendUdp(trap_port, qt::RawV1Trap("public", powernet, "", 6, 7, low_battery)));
  // Identifiers of 128 arcs, the longest the listener takes, as a binding name and as the
  // enterprise.
  std::vector<uint32_t> long_oid = {1, 3, 6, 1, 4, 1, 318};
  while (long_oid.size() < 128) long_oid.push_back(static_cast<uint32_t>(long_oid.size()));
  ASSERT_TRUE(qt::SendUdp(trap_port, qt::RawV1Trap("public", powernet, sender, 6, 3,
                                                   {qt::BerBinding(long_oid, qt::BerElement(0x05, ""))})));
  ASSERT_TRUE(qt::SendUdp(trap_port, qt::RawV1Trap("public", long_oid, sender, 6, 5, low_battery)));
  // The trap argument as an INTEGER: its name is what counts.
  ASSERT_TRUE(qt::SendUdp(trap_port, qt::RawV1Trap("public", powernet, sender, 6, 53,
                                                   {qt::BerBinding(argument, qt::BerInteger(0x02, -1))})));
  std::string named_5 = "** Trap" + kColon + "[guaranteed should input power fail] <-[127.0.0.3]";
  std::string named_53 = "** Trap" + kColon + "[batteryOverTemperature] <-[127.0.0.3]";
  ASSERT_TRUE(qt::wait_until([&] { return TrapLog(42).size() == 3; }, std::chrono::seconds(20)));
  std::vector<std::string> keyed = TrapLogTexts(42);
  EXPECT_EQ((std::vector<std::string>{" ** Trap generic=6 specific=3  from : 127.0.0.3", named_5, named_53}),
            keyed);
  EXPECT_EQ(0x18u, UnitWord(1, 0));
  EXPECT_EQ(4u, g_Input_Fault_Main.load());
  // The addresses of other lengths never reached the unit table or a log.
  EXPECT_EQ(0u, UnitWord(0, 0));
  EXPECT_FALSE(qt::file_exists(TrapLogPath(46)));
  for (const std::string &text : LogTextsSince(mark))
    EXPECT_EQ(std::string::npos, text.find("0.0.0.0")) << text;

  // 200 bindings: one line each in the library log and in the "UPSTRAP" log, numbered 0 .. 199.
  std::vector<std::string> bindings;
  for (int k = 0; k < 200; ++k) {
    bindings.push_back(k % 2 == 0 ? qt::kTrapArgument : ".1.3.6.1.4.1.318.9." + std::to_string(k));
    bindings.push_back("s");
    bindings.push_back("b" + std::to_string(k));
  }
  SetWords(1, 0, 0);
  SendTrap("127.0.0.3", 9, bindings);
  ASSERT_TRUE(qt::wait_until([&] { return TrapLog(42).size() == 203; }, std::chrono::seconds(60)));
  std::vector<qt::LogRecord> records = TrapLog(42);
  for (unsigned k = 0; k < 200; ++k) {
    EXPECT_EQ(k, records[3 + k].code);
    EXPECT_EQ(k % 2 == 0 ? "** Trap" + kColon + "[powerRestored] <-[127.0.0.3]"
                         : " ** Trap generic=6 specific=9  from : 127.0.0.3",
              records[3 + k].text);
  }
  EXPECT_FALSE(call.done());
}

}  // namespace
