// The check engine of SNMPUPS.DLL (QuoKySnmpCheck): the trap monitor's wake-up, the switched-off
// mark from each unit's output voltage, the power-fail timer of each unit and of the other
// servers' UPS units from the cards' own time-on-battery counters, and the status lines of a
// few UPS units per check in rotation; and the on-demand status line (UPSCheckSnmpRequest2).
//
// The reads of one check run at once, on the caller's thread and on helper threads made for the
// check (at most QUORIN_CHECK_READS together); everything else runs on the caller's thread in
// the order of one read after another: once every read is done, each unit's library log lines
// and results are applied in slot order. Checks run one at a time: a caller that comes while one
// is under way waits for it. The engine shares the status words with the trap monitor and the
// exports as atomics (snmpups_state.h).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "powernet_oids.h"
#include "snmpups_state.h"
#include "status_line.h"

std::atomic<int32_t> g_Status_Log_Turn{0};

namespace {

// Unit-table slots whose shut-down mark this engine set because the power-fail wait ran out.
// A power-restored trap clears the on-battery mark at once, often before a check sees the unit
// back: the mark the wait set must still go once a check sees no time on battery, or the unit
// would call for shut-down on mains until its next power failure. A mark set by a fault trap is
// not the engine's and stays. Written and read only by the thread of the check under way.
std::atomic<bool> g_Power_Fail_Timed_Out[UPS_UNIT_COUNT];

using namespace powernet;

// Checks without a monitor pass after which the monitor is woken up.
constexpr int32_t kPokesBeforeWakeUp = 5;
constexpr uint32_t kTicksPerSecond = 100;
// Seconds on battery from which a unit counts as on battery (two digits of "%d").
constexpr uint32_t kBatterySeconds = 10;

constexpr char kLogSetEventError[] = "error on SetEvent ";
constexpr char kLogBatteryFirst[] = " UPS Battery running [%dsec]!?";
constexpr char kLogPowerFailTimeOut[] = "**** PowerFail[%dsec] TimeOut! -->shutdown ! ****";
constexpr char kLogBatteryRunning[] = " UPS Battery running [%dsec]";
constexpr char kLogBackOnMains[] = " UPS[%d] is not switched battery";
constexpr char kLogOtherBackOnMains[] = " other_UPS[%d] is not switched battery";
constexpr char kLogOtherTimeOut[] = "**** UPS[%d} PowerFail[%dsec] TimeOut! -->shutdown ! ****";
constexpr char kLogOtherRunning[] = " UPS[%d] Battery running [%dsec]";
constexpr char kLogOtherFirst[] = " UPS[%d] Battery running [%dsec]!?";
constexpr char kLogNotRegistered[] = "not UPSinfo.ini";
constexpr char kLogTemperatureError[] = "UPSCheckSnmpRequest2 [%s] upsAdvBatteryTemperature error!";

// The section of the information file that maps a UPS address to its unit code.
constexpr char kInfoIndexSection[] = "index";

// The unit codes of the status lines, turn by turn; a turn writes at most four lines, so every
// unit of the S and O lists gets one line per eleven checks.
constexpr int kTurnCount = 11;
constexpr int kCodesPerTurn = 4;
struct StatusTurn {
  int count;
  int codes[kCodesPerTurn];
};
constexpr StatusTurn kStatusTurns[kTurnCount] = {
    {4, {9000, 9001, 9002, 9003}},
    {2, {0, 8}},
    {2, {1, 9}},
    {4, {2, 10, 107, 115}},
    {4, {3, 11, 106, 114}},
    {4, {4, 12, 105, 113}},
    {4, {5, 13, 104, 112}},
    {4, {6, 14, 103, 111}},
    {4, {7, 15, 102, 110}},
    {2, {101, 109}},
    {2, {100, 108}},
};

// ---- Reads of one check ----------------------------------------------------------------------
// A check reads every configured unit of the unit table, every UPS of the O list and the units
// of its status lines. The reads run at once on up to CheckReadLimit() threads, so that the
// silent cards of a check cost about one time-out window together rather than one each. Each
// reading holds the library log lines of its reads; the caller writes them and applies the
// results once every read is done, in the order one read after another would have made them.

constexpr char kCheckReadsVariable[] = "QUORIN_CHECK_READS";
constexpr int kCheckReadsDefault = 32;
constexpr int kCheckReadsMax = 256;
// Stack of a helper thread: the reads and their log lines need little.
constexpr size_t kReaderStack = 512 * 1024;

// Lines the reads of one unit can write: one per read (three for the unit table, two for the
// O list); those of a status line: one per column (at most eighteen). A line beyond the room
// is written at once rather than dropped.
constexpr int kUnitHeldLines = 4;
constexpr int kStatusHeldLines = 20;

enum class ReadingKind { kUnit, kOther, kStatusLine };

// What the reads of one unit gave: filled by the thread that read it, applied by the caller.
struct Reading {
  ReadingKind kind;
  int index;            // unit-table slot, O-list index, or unit code of a status line
  bool voltage_stored;  // kUnit: an output voltage came
  uint32_t voltage;
  bool seconds_stored;  // kUnit, kOther: a time on battery came
  uint32_t seconds;
  int line_built;  // kStatusLine: BuildUpsStatusLine's result
  char line[STATUS_LINE_SIZE];
  SnmpLogHold held;
};

constexpr int kMaxReadings = UPS_UNIT_COUNT + UPS_LIST_COUNT + kCodesPerTurn;

// The readings of the check under way and the room of their held lines, guarded by
// g_Check_Lock for the whole check.
std::mutex g_Check_Lock;
Reading g_Readings[kMaxReadings];
HeldLogLine g_Unit_Lines[UPS_UNIT_COUNT + UPS_LIST_COUNT][kUnitHeldLines];
HeldLogLine g_Status_Lines[kCodesPerTurn][kStatusHeldLines];

// How many reads run at once: QUORIN_CHECK_READS (1 to 256) or 32.
int CheckReadLimit() {
  const char *text = getenv(kCheckReadsVariable);
  if (text == nullptr || *text < '0' || *text > '9') return kCheckReadsDefault;
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > static_cast<unsigned long>(kCheckReadsMax))
    return kCheckReadsDefault;
  return static_cast<int>(value);
}

// Seconds on battery of unit-table SLOT, or false when the card gave no time on battery. A
// line-fail cause that cannot be read, or a self-test, counts as 0 seconds.
bool SlotSecondsOnBattery(int slot, uint32_t *seconds) {
  uint32_t ticks = 0;
  bool stored = false;
  if (SnmpGetByIndexStored(kUpsBasicBatteryTimeOnBattery.oid, kUpsBasicBatteryTimeOnBattery.type, &ticks, 1,
                           slot, &stored) != SNMP_RESULT_OK ||
      !stored)
    return false;
  *seconds = ticks / kTicksPerSecond;
  int cause = 0;
  if (SnmpGetByIndexStored(kUpsAdvInputLineFailCause.oid, kUpsAdvInputLineFailCause.type, &cause, 1, slot,
                           &stored) != SNMP_RESULT_OK ||
      !stored || cause == INPUT_FAIL_CAUSE_SELF_TEST)
    *seconds = 0;
  return true;
}

// The same for an address of the O list.
bool AddressSecondsOnBattery(const char *address, uint32_t *seconds) {
  uint32_t ticks = 0;
  bool stored = false;
  if (SnmpGetByAddressStored(address, kUpsBasicBatteryTimeOnBattery.oid, kUpsBasicBatteryTimeOnBattery.type,
                             &ticks, 0, &stored) != SNMP_RESULT_OK ||
      !stored)
    return false;
  *seconds = ticks / kTicksPerSecond;
  int cause = 0;
  if (SnmpGetByAddressStored(address, kUpsAdvInputLineFailCause.oid, kUpsAdvInputLineFailCause.type, &cause,
                             0, &stored) != SNMP_RESULT_OK ||
      !stored || cause == INPUT_FAIL_CAUSE_SELF_TEST)
    *seconds = 0;
  return true;
}

// Makes the reads of READING on the calling thread, holding their library log lines.
void Read(Reading &reading) {
  HoldSnmpLog(&reading.held);
  switch (reading.kind) {
    case ReadingKind::kUnit: {
      bool stored = false;
      reading.voltage_stored =
          SnmpGetByIndexStored(kUpsAdvOutputVoltage.oid, kUpsAdvOutputVoltage.type, &reading.voltage, 1,
                               reading.index, &stored) == SNMP_RESULT_OK &&
          stored;
      reading.seconds_stored = SlotSecondsOnBattery(reading.index, &reading.seconds);
      break;
    }
    case ReadingKind::kOther:
      reading.seconds_stored = AddressSecondsOnBattery(g_Ups_Ip_O[reading.index], &reading.seconds);
      break;
    case ReadingKind::kStatusLine:
      reading.line_built = BuildUpsStatusLine(reading.index, reading.line);
      break;
  }
  HoldSnmpLog(nullptr);
}

// The readings of one check and the next one to be taken by a reading thread.
struct CheckReads {
  Reading *readings;
  int count;
  std::atomic<int> next;
};

uint32_t ReadSome(void *arg) {
  CheckReads *reads = static_cast<CheckReads *>(arg);
  for (int i = reads->next.fetch_add(1); i < reads->count; i = reads->next.fetch_add(1))
    Read(reads->readings[i]);
  return 0;
}

// Makes the reads of every reading, at most CheckReadLimit() at once: on the caller's thread and
// on helpers made for them. A helper that cannot be made leaves its share to the others.
void ReadAll(Reading *readings, int count) {
  CheckReads reads{readings, count, {0}};
  int threads = CheckReadLimit() < count ? CheckReadLimit() : count;
  qp_thread *helpers[kCheckReadsMax];
  int made = 0;
  for (int t = 1; t < threads; ++t) {
    qp_thread *helper = qp_thread_create(ReadSome, &reads, kReaderStack);
    if (helper == nullptr) break;
    helpers[made++] = helper;
  }
  ReadSome(&reads);
  for (int t = 0; t < made; ++t) {
    qp_thread_wait(helpers[t], QP_INFINITE, nullptr);
    qp_thread_close(helpers[t]);
  }
}

// ---- Results of one check, in order ------------------------------------------------------------

void WakeTheMonitor() {
  int32_t pokes = g_Trap_Poke_Count.fetch_add(1) + 1;
  qp_event *event = g_Trap_Event.load();
  if (pokes <= kPokesBeforeWakeUp || IsFreeSlot(0) || event == nullptr) return;
  if (qp_event_set(event) == 1)
    g_Trap_Poke_Count.store(0);
  else
    WriteSnmpLog(kLogSetEventError, GetLastError());
}

void ApplyUnit(const Reading &reading) {
  int slot = reading.index;
  // The switched-off mark follows the output voltage; a read without a value changes nothing.
  if (reading.voltage_stored) {
    if (reading.voltage != 0)
      UnitWordClear(slot, 1, OFF_UPS);
    else
      UnitWordSet(slot, 1, OFF_UPS);
  }

  if (!reading.seconds_stored) return;
  uint32_t seconds = reading.seconds;
  int shown = static_cast<int>(seconds);
  uint32_t word0 = UnitWord(slot, 0);
  if (seconds >= kBatterySeconds) {
    if (!(word0 & UPS_ON_BATTERY)) {
      UnitWordSet(slot, 0, UPS_ON_BATTERY);
      WriteSnmpLogF(0, kLogBatteryFirst, shown);
    } else if (seconds > g_Power_Fail_Wait) {
      UnitWordSet(slot, 0, UPS_SHUTDOWN_DUE);
      g_Power_Fail_Timed_Out[slot].store(true);
      WriteSnmpLogF(0, kLogPowerFailTimeOut, shown);
    } else {
      UnitWordClear(slot, 0, UPS_SHUTDOWN_DUE);
      g_Power_Fail_Timed_Out[slot].store(false);
      WriteSnmpLogF(0, kLogBatteryRunning, shown);
    }
  } else if (seconds == 0) {
    bool timed_out = g_Power_Fail_Timed_Out[slot].exchange(false) && (word0 & UPS_SHUTDOWN_DUE);
    if ((word0 & UPS_ON_BATTERY) || timed_out) {
      UnitWordClear(slot, 0, UPS_ON_BATTERY | UPS_SHUTDOWN_DUE);
      WriteSnmpLogF(0, kLogBackOnMains, slot);
    }
  }
}

void ApplyOtherUnit(const Reading &reading) {
  if (!reading.seconds_stored) return;
  int index = reading.index;
  int unit_code = UNIT_CODE_OTHER + index;
  uint32_t seconds = reading.seconds;
  int shown = static_cast<int>(seconds);
  std::atomic<uint32_t> &state = g_Battery_State_O[index];
  if (seconds < kBatterySeconds) {
    if (seconds == 0 && (state.load() & UPS_ON_BATTERY)) {
      state.fetch_and(~(UPS_ON_BATTERY | UPS_SHUTDOWN_DUE));
      WriteSnmpLogF(0, kLogOtherBackOnMains, unit_code);
    }
  } else if (state.load() & UPS_ON_BATTERY) {
    if (seconds > g_Power_Fail_Wait_Other) {
      state.fetch_or(UPS_SHUTDOWN_DUE);
      WriteSnmpLogF(0, kLogOtherTimeOut, unit_code, shown);
    } else {
      WriteSnmpLogF(0, kLogOtherRunning, unit_code, shown);
    }
  } else {
    state.fetch_or(UPS_ON_BATTERY);
    WriteSnmpLogF(0, kLogOtherFirst, unit_code, shown);
  }
}

// True when the information file's "index" section registers the first unit under a code of
// its own (1000 .. 8999), whose status line another caller writes.
bool FirstUnitRegistered() {
  char value[ADDRESS_SIZE];
  ReadDataProfile(UPS_INFO_FILE, kInfoIndexSection, g_Ups_Ip[0], value, sizeof value);
  int code = 0;
  return strcmp(value, MISSING_KEY) != 0 && sscanf(value, "%d", &code) == 1 && code >= UNIT_CODE_INFO_FIRST &&
         code <= UNIT_CODE_INFO_LAST;
}

// The unit codes of this check's status lines, in their order, into CODES; advances the
// rotation. Returns how many.
int ChooseStatusLines(int codes[kCodesPerTurn]) {
  int32_t turn = g_Status_Log_Turn.load();
  g_Status_Log_Turn.store(turn >= 0 && turn < kTurnCount - 1 ? turn + 1 : 0);
  if (turn < 0 || turn >= kTurnCount) return 0;
  if (turn == 0 && FirstUnitRegistered()) return 0;
  const StatusTurn &chosen = kStatusTurns[turn];
  for (int i = 0; i < chosen.count; ++i) codes[i] = chosen.codes[i];
  return chosen.count;
}

// A reading of KIND for INDEX, its held lines in ROOM.
void AddReading(int *count, ReadingKind kind, int index, HeldLogLine *room, int capacity) {
  Reading &reading = g_Readings[(*count)++];
  reading.kind = kind;
  reading.index = index;
  reading.voltage_stored = false;
  reading.voltage = 0;
  reading.seconds_stored = false;
  reading.seconds = 0;
  reading.line_built = 0;
  reading.line[0] = '\0';
  reading.held = SnmpLogHold{room, capacity, 0};
}

}  // namespace

QP_DLL_EXPORT int QuoKySnmpCheck(void) {
  if (!LibraryReady()) return 0;
  std::lock_guard<std::mutex> check(g_Check_Lock);
  WakeTheMonitor();
  int count = 0;
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!IsFreeSlot(slot)) AddReading(&count, ReadingKind::kUnit, slot, g_Unit_Lines[count], kUnitHeldLines);
  }
  for (int o = 0; o < UPS_LIST_COUNT; ++o) {
    if (g_Ups_Ip_O[o][0] != '\0')
      AddReading(&count, ReadingKind::kOther, o, g_Unit_Lines[count], kUnitHeldLines);
  }
  int codes[kCodesPerTurn];
  int lines = ChooseStatusLines(codes);
  for (int i = 0; i < lines; ++i)
    AddReading(&count, ReadingKind::kStatusLine, codes[i], g_Status_Lines[i], kStatusHeldLines);

  ReadAll(g_Readings, count);

  // The results in the order of one read after another: the unit table, the O list, the other
  // servers' state (the OR of the O list's), the status lines.
  int i = 0;
  for (; i < count && g_Readings[i].kind != ReadingKind::kStatusLine; ++i) {
    const Reading &reading = g_Readings[i];
    WriteHeldSnmpLog(reading.held);
    if (reading.kind == ReadingKind::kUnit)
      ApplyUnit(reading);
    else
      ApplyOtherUnit(reading);
  }
  uint32_t other = 0;
  for (int o = 0; o < UPS_LIST_COUNT; ++o) other |= g_Battery_State_O[o].load();
  g_Other_Ups_State.store(other);
  for (; i < count; ++i) {
    const Reading &reading = g_Readings[i];
    WriteHeldSnmpLog(reading.held);
    if (reading.line_built == 1) WriteUpsLog(reading.index, reading.line);
  }
  return 1;
}

QP_DLL_EXPORT int UPSCheckSnmpRequest2(int unit_code, int presence_only) {
  if (!LibraryReady()) return 0;
  char section[16];
  snprintf(section, sizeof section, "%d", unit_code);
  char address[ADDRESS_SIZE];
  ReadDataProfile(UPS_INFO_FILE, section, UPS_INFO_KEY_IP, address, sizeof address);
  if (strcmp(address, MISSING_KEY) == 0) {
    WriteSnmpLog(kLogNotRegistered, 0);
    return 0;
  }
  if (presence_only != 0) return 1;
  char line[STATUS_LINE_SIZE];
  int temperature = 0;
  uint32_t result = SnmpGetByAddress(address, kUpsAdvBatteryTemperature.oid, kUpsAdvBatteryTemperature.type,
                                     &temperature, 0);
  if (result == SNMP_RESULT_OK) {
    BuildUpsStatusLine(unit_code, line);
  } else {
    WriteSnmpLogF(result, kLogTemperatureError, address);
    snprintf(line, sizeof line, "%s", STATUS_LINE_NO_ANSWER);
  }
  WriteUpsLog(unit_code, line);
  return result == SNMP_RESULT_OK ? 1 : 0;
}
