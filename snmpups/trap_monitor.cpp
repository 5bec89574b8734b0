// The trap monitor of SNMPUPS.DLL (TarvosLumoGet) and its stop (TarvosLumoStop): the traps of
// the UPS cards taken one per pass from the listener, their effect on the unit table and the
// input-fault words, their lines in the library log and the trap logs, the status snapshot, and
// the 48-character report once the units' state calls for action.
//
// Sections: the trap table; texts; the status snapshot; one trap; the report decision; the loop;
// the stop.
//
// State: the monitor's words (snmpups_state.h) are atomics shared with the check engine, the
// stop request and the exports; a trap is handled on the monitor's thread alone.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"
#include "status_line.h"

std::atomic<int32_t> g_Get_Running{0};
std::atomic<int32_t> TarvosLumoStopFlag{0};
std::atomic<qp_event *> g_Trap_Event{nullptr};
std::atomic<int32_t> g_Trap_Poke_Count{0};
std::atomic<uint32_t> g_Other_Ups_State{0};

namespace {

using namespace powernet;

// ---- The trap table ------------------------------------------------------------------------

// What a recognised trap does, by the path it takes.
enum TrapEffect : uint32_t {
  kMessageOnly = 0,
  kReport = 1u << 0,             // the report decision follows (the "R" of a row)
  kSnapshotFirstUnit = 1u << 1,  // snapshot of the first unit (9000), whichever unit sent the trap
  kSnapshotSender = 1u << 2,     // snapshot of the sender's own unit code
  kOnBattery = 1u << 3,          // [0] |= 0x10
  kBackOnMains = 1u << 4,        // [0] &= ~0x10
  kShutdownDue = 1u << 5,        // [0] |= 0x08
  kTurnedOff = 1u << 6,          // [1] |= 0x81
  kTurnedOn = 1u << 7,           // [1] &= ~0x80; 0x01 stays
  kSetInputFault = 1u << 8,      // the path's input-fault word |= the row's fault bit
  kClearInputFault = 1u << 9,    // the path's input-fault word &= ~the row's fault bit
  kOtherUpsFault = 1u << 10,     // g_Other_Ups_State |= 0x08
  kFirstUnitDue = 1u << 11,      // ups_X1[0][0] |= 0x08
};

// One recognised PowerNet trap: its specific number, its name in the messages, its effects on
// the unit path (a unit-table sender), for a sender of g_Ups_Ip_S and for one of g_Ups_Ip_O,
// the input-fault bit it sets or clears, and whether its messages begin with a blank.
struct TrapRow {
  int specific;
  const char *name;
  uint32_t unit;
  uint32_t s_source;
  uint32_t o_source;
  uint32_t fault_bit;
  bool leading_blank;
};

constexpr uint32_t kFaultUnit = kSnapshotSender | kShutdownDue | kSetInputFault;
constexpr uint32_t kFaultS = kSnapshotSender | kSetInputFault;
constexpr uint32_t kFaultO = kSnapshotSender | kSetInputFault | kOtherUpsFault;

constexpr TrapRow kTrapRows[] = {
    {1, "communicationLost", 0, 0, 0, 0, false},
    {2, "upsOverload", 0, 0, 0, 0, false},
    {3, "upsDiagnosticsFailed", 0, 0, 0, 0, false},
    {4, "upsDischarged", 0, 0, 0, 0, false},
    {5, "guaranteed should input power fail", kOnBattery | kReport, 0, 0, 0, false},
    {6, "smartBoostOn", 0, 0, 0, 0, false},
    {7, "lowBattery", kSnapshotFirstUnit | kShutdownDue | kReport, kSnapshotSender,
     kSnapshotSender | kFirstUnitDue | kReport, 0, false},
    {8, "communicationEstablished", 0, 0, 0, 0, false},
    {9, "powerRestored", kBackOnMains | kReport, 0, 0, 0, false},
    {10, "upsDiagnosticsPassed", 0, 0, 0, 0, false},
    {11, "returnFromLowBattery", kBackOnMains | kReport, 0, 0, 0, false},
    {12, "upsTurnedOff", kTurnedOff | kReport, 0, 0, 0, false},
    {13, "upsSleeping", kReport, 0, 0, 0, false},
    {14, "upsWokeUp", kReport, 0, 0, 0, false},
    {15, "upsRebootStarted", kReport, 0, 0, 0, false},
    {16, "upsDipSwitchChanged", kReport, 0, 0, 0, false},
    {17, "upsBatteryNeedsReplacement", 0, 0, 0, 0, false},
    {28, "calibrationStart", 0, 0, 0, 0, false},
    {29, "restartAgent", 0, 0, 0, 0, false},
    {30, "upsTurnedOn", kTurnedOn | kReport, 0, 0, 0, false},
    {31, "smartTrimOn", 0, 0, 0, 0, false},
    {32, "codeAuthenticationDone", 0, 0, 0, 0, false},
    {33, "upsOverloadCleared", 0, 0, 0, 0, false},
    {34, "smartBoostOff", 0, 0, 0, 0, false},
    {35, "smartAvrReducingOff", 0, 0, 0, 0, false},
    {36, "upsBatteryReplaced", 0, 0, 0, 0, false},
    {37, "calibrationEnd", 0, 0, 0, 0, false},
    {38, "dischargeCleared", 0, 0, 0, 0, false},
    {39, "gracefullShutdown", 0, 0, 0, 0, false},
    {49, "badVoltage", kSnapshotFirstUnit | kShutdownDue | kSetInputFault | kReport, kFaultS, kFaultO,
     INPUT_FAULT_BAD_VOLTAGE, false},
    {50, "badVoltageCleared", 0, 0, 0, 0, false},
    {51, "chargerFailure", kFaultUnit, kFaultS, kFaultO, INPUT_FAULT_CHARGER, false},
    {52, "chargerFailureCleared", 0, 0, 0, 0, false},
    {53, "batteryOverTemperature", kFaultUnit, kFaultS, kFaultO, INPUT_FAULT_BATTERY_TEMPERATURE, false},
    {54, "batteryOverTemperatureCleared", 0, kClearInputFault, kClearInputFault,
     INPUT_FAULT_BATTERY_TEMPERATURE, false},
    {55, "smartRelayFault", kFaultUnit, kFaultS, kFaultO, INPUT_FAULT_RELAY, true},
    {56, "smartRelayFaultCleared", 0, 0, 0, 0, false},
    {66, "mupsCommunicationLost", 0, 0, 0, 0, false},
};

const TrapRow *FindTrapRow(int specific) {
  for (const TrapRow &row : kTrapRows) {
    if (row.specific == specific) return &row;
  }
  return nullptr;
}

// ---- Texts ---------------------------------------------------------------------------------

// The full-width colon of the trap messages, in code page 932.
constexpr char kFullWidthColon[] = "\x81\x46";

constexpr char kLogStart[] = "---->TarvosLumoGet start...";
constexpr char kLogOidBreak[] = "TarvosLumoGet Break! by SnmpMgrStrToOid error";
constexpr char kLogOidError[] = "<====TarvosLumoGet OID error";
constexpr char kLogWaitError[] = "error on WaitForSingleObject ";
constexpr char kLogResetError[] = "error on ResetEvent ";
constexpr char kLogAbandoned[] = "  WaitForSingleObject:success: WAIT_ABANDONED";
constexpr char kLogStopBreak[] = "TarvosLumoGet Break! by TarvosLumoStopFlag";
constexpr char kLogReturn[] = "<----TarvosLumoGet return";
constexpr char kLogOtherReturn[] = "<****TarvosLumoGet return";
constexpr char kLogStopReturn[] = "<====TarvosLumoGet error";
constexpr char kLogRetry[] = " +++ TarvosLumoGet retry +++";
constexpr char kLogUnitGeneric[] = " ** Trap generic=%d specific=%d  from : %s";
constexpr char kLogUnitNamed[] = "%s** Trap%s[%s] <-[%s]";
constexpr char kLogOtherGeneric[] = " [%s]** Trap generic=%d specific=%d";
constexpr char kLogOtherNamed[] = "%s[%s]** Trap%s[%s]";
constexpr char kLogUnknownSource[] = "Unkown IP[%s]'s Trap";
constexpr char kLogHealthyAfterTrap[] = "ups_X1[ups_index][1] |= OFF_UPS 1";
constexpr char kLogHealthyAfterPoll[] = "ups_X1[ups_index][1] |= OFF_UPS 2";

constexpr char kReportFormat[] = "8010012%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x000000000000000000000";
constexpr char kErrorReportFormat[] = "00000000000000000000000000000000000000000000000%c";
constexpr char kErrorOid = '1';
constexpr char kErrorStopped = '8';
// The report is 48 characters and its terminator; the caller's buffer holds at least this.
constexpr size_t kReportRoom = 49;

constexpr char kTrapLogFile[] = "ky_e_net.apc";
constexpr char kTrapLogSection[] = "UPSTRAP";

constexpr uint32_t kWaitAfterEventMs = 1000;
constexpr uint32_t kSleepWithoutListenerMs = 5000;
constexpr int kMessageSize = 256;

// ---- The status snapshot -----------------------------------------------------------------

struct SnapshotItem {
  const PowerNetVariable *variable;
  int line;
  const char *success;
  const char *failure;
};

constexpr SnapshotItem kSnapshotItems[] = {
    {&kUpsBasicInputPhase, 1, " InputPhase:%d ", " InputPhase:- "},
    {&kUpsAdvInputLineFailCause, 1, " InputLineFailCause:%02d ", " InputLineFailCause:-- "},
    {&kUpsAdvInputLineVoltage, 1, "InputLineVoltage=%03d ", "InputLineVoltage=--- "},
    {&kUpsAdvInputMaxLineVoltage, 2, "InputMaxLineVoltage=%03d ", "InputMaxLineVoltage=--- "},
    {&kUpsAdvInputMinLineVoltage, 2, "InputMinLineVoltage=%03d ", "InputMinLineVoltage=--- "},
    {&kUpsAdvInputFrequency, 3, "InputFrequency=%02d ", "InputFrequency=-- "},
    {&kUpsBasicOutputStatus, 4, " OutputStatus:%02d ", " OutputStatus:-- "},
    {&kUpsBasicOutputPhase, 4, "OutputPhase:%d ", "OutputPhase:- "},
    {&kUpsAdvOutputVoltage, 5, "OutputVoltage=%03d ", "OutputVoltage=--- "},
    {&kUpsAdvOutputFrequency, 5, "OutputFrequency=%02d ", "OutputFrequency=-- "},
    {&kUpsAdvOutputLoad, 6, "OutputLoad=%04d ", "OutputLoad=---- "},
    {&kUpsAdvOutputCurrent, 6, "OutputCurrent=%03d ", "OutputCurrent=--- "},
    {&kUpsAdvBatteryCapacity, 7, " BatteryCapacity=%03d ", " BatteryCapacity=--- "},
    {&kUpsAdvBatteryTemperature, 7, "BatteryTemperature=%03d ", "BatteryTemperature=--- "},
    {&kUpsAdvBatteryRunTimeRemaining, 8, "BatteryRunTimeRemaining=%04d  ", "BatteryRunTimeRemaining=----  "},
    {&kUpsAdvBatteryReplaceIndicator, 8, "BatteryReplaceIndicator=%d ", "BatteryReplaceIndicator=- "},
};
constexpr int kTicksPerSecond = 100;

// The address of a snapshot's unit code into ADDRESS; false when it names none. A free
// unit-table slot names none either: its "address" is the local host, not a UPS.
bool SnapshotAddress(int unit_code, char *address) {
  const char *found = nullptr;
  if (unit_code >= UNIT_CODE_TABLE && unit_code < UNIT_CODE_TABLE + UPS_UNIT_COUNT) {
    found = g_Ups_Ip[unit_code - UNIT_CODE_TABLE];
  } else if (unit_code >= 0 && unit_code < UPS_LIST_COUNT) {
    found = g_Ups_Ip_S[unit_code];
  } else if (unit_code >= UNIT_CODE_OTHER && unit_code < UNIT_CODE_OTHER + UPS_LIST_COUNT) {
    found = g_Ups_Ip_O[unit_code - UNIT_CODE_OTHER];
  }
  if (found == nullptr || found[0] == '\0' || strcmp(found, FREE_SLOT_ADDRESS) == 0) return false;
  snprintf(address, ADDRESS_SIZE, "%s", found);
  return true;
}

// Appends a formatted text to LINE (kMessageSize bytes), cutting it there.
void AppendText(char *line, const char *format, int value, bool with_value) {
  size_t used = strnlen(line, kMessageSize - 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (with_value)
    snprintf(line + used, kMessageSize - used, format, value);
  else
    snprintf(line + used, kMessageSize - used, "%s", format);
#pragma GCC diagnostic pop
}

// ---- The report ----------------------------------------------------------------------------

// Writes the report of SLOT into REPORT, cut at its 49 bytes: a word of 0x100 or more would
// print more than two digits and must not run past the caller's buffer.
void WriteReport(char *report, int slot) {
  uint32_t w[UPS_STATUS_WORDS];
  for (int i = 0; i < UPS_STATUS_WORDS; ++i) w[i] = UnitWord(slot, i);
  snprintf(report, kReportRoom, kReportFormat, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8],
           g_Other_Ups_State.load());
}

void WriteErrorReport(char *report, char code) {
  snprintf(report, kReportRoom, kErrorReportFormat, code);
}

// A unit that needs nothing: configured, not switched off, not called for shut-down.
bool HealthyUnitExists() {
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!IsFreeSlot(slot) && !(UnitWord(slot, 1) & OFF_UPS) && !(UnitWord(slot, 0) & UPS_SHUTDOWN_DUE))
      return true;
  }
  return false;
}

// The first slot (configured or not) that is not switched off, or -1.
int FirstSlotOn() {
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!(UnitWord(slot, 1) & OFF_UPS)) return slot;
  }
  return -1;
}

bool SwitchedOnAndDue(int slot) {
  return !(UnitWord(slot, 1) & OFF_UPS) && (UnitWord(slot, 0) & UPS_SHUTDOWN_DUE);
}

// ---- One trap --------------------------------------------------------------------------------

// Where a trap came from.
enum class Source { kUnit, kListS, kListO, kNone };

// The trap-log number that "UPSTRAP" in "ky_e_net.apc" gives ADDRESS; false when none.
bool TrapLogNumber(const char *address, int *number) {
  char value[64];
  ReadDataProfile(kTrapLogFile, kTrapLogSection, address, value, sizeof value);
  if (strcmp(value, MISSING_KEY) == 0) return false;
  // A value that does not begin with a number names no trap log.
  return sscanf(value, "%d", number) == 1;
}

// The input-fault word of the path a trap took.
std::atomic<uint32_t> *InputFaultWord(Source source, int index) {
  if (source == Source::kListS) return &g_Input_Fault_S[index];
  if (source == Source::kListO) return &g_Input_Fault_O[index];
  return &g_Input_Fault_Main;
}

// Applies EFFECTS of ROW for a trap of SOURCE (unit-table slot or list index INDEX, unit code
// UNIT_CODE); true when the report flag is raised.
bool ApplyEffects(const TrapRow &row, uint32_t effects, Source source, int index, int unit_code) {
  if (effects & kSnapshotFirstUnit) LogTrapStatusSnapshot(UNIT_CODE_TABLE);
  if (effects & kSnapshotSender) LogTrapStatusSnapshot(unit_code);
  if (effects & kOnBattery) UnitWordSet(index, 0, UPS_ON_BATTERY);
  if (effects & kBackOnMains) UnitWordClear(index, 0, UPS_ON_BATTERY);
  if (effects & kShutdownDue) UnitWordSet(index, 0, UPS_SHUTDOWN_DUE);
  if (effects & kTurnedOff) UnitWordSet(index, 1, OFF_UPS | UPS_TURNED_OFF_TRAP);
  if (effects & kTurnedOn) UnitWordClear(index, 1, OFF_UPS);
  if (effects & kSetInputFault) InputFaultWord(source, index)->fetch_or(row.fault_bit);
  if (effects & kClearInputFault) InputFaultWord(source, index)->fetch_and(~row.fault_bit);
  if (effects & kOtherUpsFault) g_Other_Ups_State.fetch_or(UPS_SHUTDOWN_DUE);
  if (effects & kFirstUnitDue) UnitWordSet(0, 0, UPS_SHUTDOWN_DUE);
  return (effects & kReport) != 0;
}

// The message of binding K of TRAP on the unit path, with the row's effect applied when the
// binding is the trap argument of a recognised trap; true when the report flag is raised.
bool UnitMessage(const qp_snmp_trap &trap, uint32_t k, const qp_snmp_oid &argument, const char *address,
                 int slot, char *message) {
  const TrapRow *row = FindTrapRow(trap.specific_trap);
  if (row != nullptr && qp_snmp_oid_compare(&trap.varbinds[k].name, &argument) == 0) {
    // The snapshot comes before the message.
    bool report = ApplyEffects(*row, row->unit, Source::kUnit, slot, UNIT_CODE_TABLE + slot);
    snprintf(message, kMessageSize, kLogUnitNamed, row->leading_blank ? " " : "", kFullWidthColon, row->name,
             address);
    return report;
  }
  snprintf(message, kMessageSize, kLogUnitGeneric, trap.generic_trap, trap.specific_trap, address);
  return false;
}

// The message of binding K of TRAP on the other-UPS path; with APPLY, the row's effect for
// SOURCE (list index INDEX, unit code UNIT_CODE) too. True when the report flag is raised.
bool OtherMessage(const qp_snmp_trap &trap, uint32_t k, const qp_snmp_oid &argument, const char *address,
                  Source source, int index, int unit_code, bool apply, char *message) {
  const TrapRow *row = FindTrapRow(trap.specific_trap);
  if (row != nullptr && qp_snmp_oid_compare(&trap.varbinds[k].name, &argument) == 0) {
    bool report = false;
    if (apply) {
      uint32_t effects = source == Source::kListS ? row->s_source : row->o_source;
      report = ApplyEffects(*row, effects, source, index, unit_code);
    }
    snprintf(message, kMessageSize, kLogOtherNamed, row->leading_blank ? " " : "", address, kFullWidthColon,
             row->name);
    return report;
  }
  snprintf(message, kMessageSize, kLogOtherGeneric, address, trap.generic_trap, trap.specific_trap);
  return false;
}

// What a handled trap asks of the loop: go on, or return REPORT_SLOT's report (code 0).
struct TrapOutcome {
  bool report = false;
  int report_slot = 0;
};

TrapOutcome HandleUnitTrap(const qp_snmp_trap &trap, const qp_snmp_oid &argument, const char *address,
                           int slot) {
  TrapOutcome outcome;
  bool report_flag = false;
  for (uint32_t k = 0; k < trap.varbind_count; ++k) {
    char message[kMessageSize];
    report_flag = UnitMessage(trap, k, argument, address, slot, message) || report_flag;
    WriteSnmpLog(message, 0);
    int number = 0;
    if (TrapLogNumber(address, &number)) WriteTrapLog(number, message, k);
  }
  if (!report_flag) return outcome;
  if (HealthyUnitExists()) {
    if (SwitchedOnAndDue(slot)) WriteSnmpLog(kLogHealthyAfterTrap, static_cast<uint32_t>(slot));
    return outcome;
  }
  int first_on = FirstSlotOn();
  outcome.report = true;
  outcome.report_slot = first_on >= 0 ? first_on : slot;
  return outcome;
}

TrapOutcome HandleOtherTrap(const qp_snmp_trap &trap, const qp_snmp_oid &argument, const char *address,
                            Source source, int index) {
  TrapOutcome outcome;
  bool handled = false;
  bool report_flag = false;
  int unit_code = source == Source::kListO ? UNIT_CODE_OTHER + index : index;
  char message[kMessageSize];
  if (source != Source::kNone && trap.varbind_count > 0) {
    report_flag = OtherMessage(trap, 0, argument, address, source, index, unit_code, true, message);
    WriteTrapLog(unit_code, message, 0);
    handled = true;
  }
  int number = 0;
  if (TrapLogNumber(address, &number)) {
    for (uint32_t k = 0; k < trap.varbind_count; ++k) {
      OtherMessage(trap, k, argument, address, source, index, unit_code, false, message);
      WriteTrapLog(number, message, k);
    }
    handled = true;
  }
  if (!handled) WriteSnmpLogF(0, kLogUnknownSource, address);
  outcome.report = report_flag;
  outcome.report_slot = 0;
  return outcome;
}

// Finds the source of a trap from ADDRESS: the first unit-table slot holding it (free slots
// included), else the first S or O entry.
Source FindSource(const char *address, int *index) {
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (strcmp(g_Ups_Ip[slot], address) == 0) {
      *index = slot;
      return Source::kUnit;
    }
  }
  for (int s = 0; s < UPS_LIST_COUNT; ++s) {
    if (g_Ups_Ip_S[s][0] != '\0' && strcmp(g_Ups_Ip_S[s], address) == 0) {
      *index = s;
      return Source::kListS;
    }
  }
  for (int o = 0; o < UPS_LIST_COUNT; ++o) {
    if (g_Ups_Ip_O[o][0] != '\0' && strcmp(g_Ups_Ip_O[o], address) == 0) {
      *index = o;
      return Source::kListO;
    }
  }
  *index = -1;
  return Source::kNone;
}

TrapOutcome HandleTrap(const qp_snmp_trap &trap, const qp_snmp_oid &argument) {
  // An agent address that is not IPv4 cannot be matched: the trap is dropped without a line.
  if (trap.agent_address_length != 4) return TrapOutcome();
  char address[ADDRESS_SIZE];
  snprintf(address, sizeof address, "%d.%d.%d.%d", trap.agent_address[0], trap.agent_address[1],
           trap.agent_address[2], trap.agent_address[3]);
  int index = -1;
  Source source = FindSource(address, &index);
  if (source == Source::kUnit) return HandleUnitTrap(trap, argument, address, index);
  return HandleOtherTrap(trap, argument, address, source, index);
}

// ---- The no-trap decision --------------------------------------------------------------------

// The report an empty poll calls for: the slot to report (and the log text with code 1), or -1.
int EmptyPollReport(const char **log_text) {
  if (g_Other_Ups_State.load() & UPS_SHUTDOWN_DUE) {
    *log_text = kLogOtherReturn;
    return 0;
  }
  if (HealthyUnitExists()) {
    for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
      if (SwitchedOnAndDue(slot)) WriteSnmpLog(kLogHealthyAfterPoll, static_cast<uint32_t>(slot));
    }
    return -1;
  }
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (SwitchedOnAndDue(slot)) {
      *log_text = kLogReturn;
      return slot;
    }
  }
  return -1;
}

// ---- The loop ----------------------------------------------------------------------------------

// The wait at the start of a pass: on the trap event for the trap interval, then one second;
// without a listener five seconds. Both follow the time scale.
void WaitForPass() {
  qp_event *event = g_Trap_Event.load();
  if (event == nullptr) {
    qp_sleep_ms(kSleepWithoutListenerMs);
    g_Trap_Poke_Count.store(0);
    return;
  }
  uint32_t wait_ms = g_Trap_Interval / qp_time_scale();
  uint32_t waited = qp_event_wait(event, wait_ms);
  if (waited == QP_WAIT_FAILED) {
    WriteSnmpLog(kLogWaitError, GetLastError());
  } else if (qp_event_reset(event) != 1) {
    WriteSnmpLog(kLogResetError, GetLastError());
  }
  qp_sleep_ms(kWaitAfterEventMs);
  g_Trap_Poke_Count.store(0);
  if (waited == QP_WAIT_ABANDONED) WriteSnmpLog(kLogAbandoned, QP_WAIT_ABANDONED);
}

// Leaves a call with the report of SLOT (result 0), logging LOG_TEXT with CODE.
int ReturnReport(char *report, int slot, const char *log_text, uint32_t code) {
  g_Get_Running.store(0);
  WriteReport(report, slot);
  WriteSnmpLog(log_text, code);
  return 0;
}

}  // namespace

// ---- The status snapshot --------------------------------------------------------------------

int LogTrapStatusSnapshot(int unit_code) {
  char address[ADDRESS_SIZE];
  if (!SnapshotAddress(unit_code, address)) return 0;
  char line[kMessageSize] = {0};
  int count = static_cast<int>(sizeof kSnapshotItems / sizeof kSnapshotItems[0]);
  for (int i = 0; i < count; ++i) {
    const SnapshotItem &item = kSnapshotItems[i];
    int value = 0;
    bool stored = false;
    uint32_t result =
        SnmpGetByAddressStored(address, item.variable->oid, item.variable->type, &value, 0, &stored);
    // A read that failed, or that delivered no value of its type, shows dashes.
    if (result == SNMP_RESULT_OK && stored) {
      if (item.variable->type == QP_ASN_TIMETICKS)
        value = static_cast<int>(static_cast<uint32_t>(value) / kTicksPerSecond);
      AppendText(line, item.success, value, true);
    } else {
      AppendText(line, item.failure, 0, false);
    }
    if (i + 1 == count || kSnapshotItems[i + 1].line != item.line) {
      WriteTrapLog(unit_code, line, 0);
      line[0] = '\0';
    }
  }
  return 1;
}

// ---- TarvosLumoGet ------------------------------------------------------------------------------

QP_DLL_EXPORT int TarvosLumoGet(int reserved1, int reserved2, char *report) {
  (void)reserved1;
  (void)reserved2;
  if (report == nullptr) return 1;
  if (!LibraryReady()) {
    WriteErrorReport(report, kErrorStopped);
    return 1;
  }
  g_Get_Running.store(1);
  WriteSnmpLog(kLogStart, 0);
  qp_snmp_oid argument;
  if (!StringToOid(kTrapArgument, &argument)) {
    WriteSnmpLog(kLogOidBreak, 0);
    g_Get_Running.store(0);
    WriteErrorReport(report, kErrorOid);
    WriteSnmpLog(kLogOidError, 0);
    return 1;
  }

  while (true) {
    WaitForPass();
    qp_snmp_trap trap;
    if (qp_snmp_get_trap(&trap) != 1) {
      uint32_t error = GetLastError();
      if (TarvosLumoStopFlag.load() == 1) {
        WriteSnmpLog(kLogStopBreak, 0);
        break;
      }
      if (error == QP_SNMP_MGMTAPI_NOTRAPS) {
        const char *log_text = nullptr;
        int slot = EmptyPollReport(&log_text);
        if (slot >= 0) return ReturnReport(report, slot, log_text, 1);
      } else if (g_Trap_Event.load() != nullptr) {
        WriteSnmpLog(kLogRetry, error);
      }
    } else {
      TrapOutcome outcome = HandleTrap(trap, argument);
      qp_snmp_trap_free(&trap);
      if (outcome.report) return ReturnReport(report, outcome.report_slot, kLogReturn, 0);
    }
    if (TarvosLumoStopFlag.load() == 1) {
      WriteSnmpLog(kLogStopBreak, 0);
      break;
    }
  }

  TarvosLumoStopFlag.store(0);
  g_Get_Running.store(0);
  WriteErrorReport(report, kErrorStopped);
  WriteSnmpLog(kLogStopReturn, 0);
  return 1;
}

// ---- TarvosLumoStop ------------------------------------------------------------------------------

namespace {

constexpr int64_t kStopTimeOutSeconds = 15;
constexpr uint32_t kStopPollMs = 50;

constexpr char kLogStop[] = "TarvosLumoStop...";
constexpr char kLogStopWaitError[] = "WaitForSingleObject Error(TarvosLumoStop)";
constexpr char kLogStopNotRunning[] = "TarvosLumoStop(TarvosLumoGet Stop)...";
constexpr char kLogStopTimeOut[] = "TarvosLumoStop TimeOut...";
constexpr char kLogReleaseError1[] = "ReleaseMutex Error 1(TarvosLumoStop)";
constexpr char kLogReleaseError2[] = "ReleaseMutex Error 2(TarvosLumoStop)";
constexpr char kLogReleaseError3[] = "ReleaseMutex Error 3(TarvosLumoStop)";

void ReleaseStopMutex(const char *failure) {
  if (qp_mutex_release(g_Stop_Mutex) != 1) WriteSnmpLog(failure, GetLastError());
}

}  // namespace

QP_DLL_EXPORT int TarvosLumoStop(void) {
  if (!LibraryReady()) return 3;
  WriteSnmpLog(kLogStop, 0);
  if (qp_mutex_wait(g_Stop_Mutex, QP_INFINITE) == QP_WAIT_FAILED)
    WriteSnmpLog(kLogStopWaitError, GetLastError());
  if (g_Get_Running.load() == 0) {
    WriteSnmpLog(kLogStopNotRunning, 0);
    ReleaseStopMutex(kLogReleaseError1);
    return 3;
  }
  TarvosLumoStopFlag.store(1);
  int64_t started = qp_time_seconds();
  while (TarvosLumoStopFlag.load() == 1) {
    if (qp_time_seconds() - started > kStopTimeOutSeconds) {
      ReleaseStopMutex(kLogReleaseError2);
      WriteSnmpLog(kLogStopTimeOut, 0);
      TarvosLumoStopFlag.store(0);
      return 0;
    }
    qp_sleep_ms(kStopPollMs);
  }
  ReleaseStopMutex(kLogReleaseError3);
  return 0;
}
