// The start-up wait of SNMPUPS.DLL (WaitDaskStartUp: unit table reset, reachability of every
// configured card, the trap listener, the configuration push) and the information exports
// (GetDasklumoDllVersion, QuoKyGetInfo, and QuoKyGetUnitState for the host tool).
//
// The start-up wait runs once before the trap monitor and the check engine start; it writes the
// unit table and g_Trap_Event while nothing else uses them. Its pauses follow the time scale.
#include <stdio.h>
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"

extern "C" int GetUpsDetailStatusFromSnmp3(const char *address, int *group_number, int *active_membership,
                                           int *sync_delay, int *return_capacity_offset, int *group_members,
                                           char *output_state);

namespace {

using namespace powernet;

constexpr char kVersion[] = "5.600";

// The card's communication status with its UPS: 1 = established.
constexpr char kCommunicationStatusOid[] = ".1.3.6.1.4.1.318.1.1.1.8.1.0";
constexpr int kCommunicationEstablished = 1;
constexpr uint32_t kReachPauseMs = 1000;
constexpr uint32_t kRetryPauseMs = 1000;
constexpr uint32_t kMismatchPauseMs = 2000;
constexpr int kOutletModel = 2;
constexpr unsigned kQuietMask = 0xFF;

constexpr char kLogConnected[] = " **** UPS[%d] SNMP is commection ****";
constexpr char kLogNoConnection[] = " xxxx UPS SNMP has no connection xxxx";
constexpr char kLogNoTrap[] = "SNMP Trap Service not use...";
constexpr char kLogListening[] = "<<<<listening for traps...";
constexpr char kLogListenError[] = "error on SnmpMgrTrapListen !";
constexpr char kLogValue[] = "%s=%d";
constexpr char kLogMismatch[] = "Value != %s";
constexpr char kLogSetError[] = "  UPS parameter set error";
constexpr char kLogVersion[] = " xxxx GetDasklumoDllVersion xxxx";
constexpr char kLogScg[] = "----[%s] SCGM[%d] E/D[%d] PSD[%d] RBCO[%d] SCGN[%d]";
constexpr char kLogScgState[] = "----[%s] sts[%s]";

// One parameter of the configuration push: the variable, the setting it must hold (TimeTicks
// rows compare and write the setting in hundredths of a second), its name in the log, the code
// of its error line, and whether outlet-group models skip it.
struct PushRow {
  PowerNetVariable variable;
  const int32_t *setting;
  const char *name;
  uint32_t error_code;
  bool older_models_only;
};

// The first row is tried up to SNMP_SET_RETRY times; the others are read once.
const PushRow kPushRows[] = {
    {{".1.3.6.1.4.1.318.1.1.1.5.2.2.0", QP_ASN_INTEGER},
     &g_High_Transfer_Volt,
     "upsAdvConfigHighTransferVolt",
     2,
     false},
    {{".1.3.6.1.4.1.318.1.1.1.5.2.3.0", QP_ASN_INTEGER},
     &g_Low_Transfer_Volt,
     "upsAdvConfigLowTransferVolt",
     3,
     false},
    {{".1.3.6.1.4.1.318.1.1.1.5.2.4.0", QP_ASN_INTEGER}, &g_Alarm, "upsAdvConfigAlarm", 4, false},
    {{".1.3.6.1.4.1.318.1.1.1.5.2.7.0", QP_ASN_INTEGER}, &g_Sensitivity, "upsAdvConfigSensitivity", 5, false},
    {{".1.3.6.1.4.1.318.1.1.1.5.2.8.0", QP_ASN_TIMETICKS},
     &g_Low_Battery_Run_Time,
     "upsAdvConfigLowBatteryRunTime",
     6,
     false},
    {{".1.3.6.1.4.1.318.1.1.1.5.2.5.0", QP_ASN_TIMETICKS}, &g_Alarm_Timer, "upsAdvConfigAlarmTimer", 7, true},
    {{".1.3.6.1.4.1.318.1.1.1.5.2.6.0", QP_ASN_INTEGER},
     &g_Min_Return_Capacity,
     "upsAdvConfigMinReturnCapacity",
     8,
     true},
    {{".1.3.6.1.4.1.318.1.1.1.7.2.1.0", QP_ASN_INTEGER},
     &g_Diagnostic_Schedule,
     "upsAdvTestDiagnosticSchedule",
     9,
     true},
};
constexpr int kTicksPerSecond = 100;

// The value a row's variable must hold.
int32_t Wanted(const PushRow &row) {
  int32_t setting = *row.setting;
  return row.variable.type == QP_ASN_TIMETICKS
             ? static_cast<int32_t>(static_cast<uint32_t>(setting) * kTicksPerSecond)
             : setting;
}

// Reads a row's variable of SLOT; a read answered with another type delivers no value and
// counts as a refused one (SNMP_RESULT_BAD_VALUE).
uint32_t ReadRow(const PushRow &row, int slot, int32_t *value) {
  bool stored = false;
  uint32_t result = SnmpGetByIndexStored(row.variable.oid, row.variable.type, value, 0, slot, &stored);
  if (result == SNMP_RESULT_OK && !stored) result = SNMP_RESULT_BAD_VALUE;
  if (result == SNMP_RESULT_OK) WriteSnmpLogF(0, kLogValue, row.name, *value);
  return result;
}

uint32_t WriteRow(const PushRow &row, int slot) {
  int32_t wanted = Wanted(row);
  return SnmpSetByIndex(row.variable.oid, row.variable.type, &wanted, slot);
}

bool EndsTries(uint32_t result) {
  return result == SNMP_RESULT_FAILED || result == SNMP_RESULT_AGENT_ERROR;
}

// The first row, with its tries.
void PushFirstRow(const PushRow &row, int slot) {
  uint32_t last = SNMP_RESULT_OK;
  for (int32_t attempt = 0; attempt < g_Snmp_Set_Retry; ++attempt) {
    int32_t value = 0;
    last = ReadRow(row, slot, &value);
    if (last != SNMP_RESULT_OK) {
      if (EndsTries(last)) break;
      qp_sleep_ms(kRetryPauseMs);
      continue;
    }
    if (value == Wanted(row)) break;
    WriteSnmpLogF(0, kLogMismatch, row.name);
    last = WriteRow(row, slot);
    if (last == SNMP_RESULT_OK || EndsTries(last)) break;
    qp_sleep_ms(kRetryPauseMs);
    qp_sleep_ms(kRetryPauseMs);
  }
  if (last != SNMP_RESULT_OK) WriteSnmpLog(kLogSetError, row.error_code);
}

// A further row: read once, written once when it differs.
void PushLaterRow(const PushRow &row, int slot) {
  int32_t value = 0;
  if (ReadRow(row, slot, &value) != SNMP_RESULT_OK || value == Wanted(row)) return;
  WriteSnmpLogF(0, kLogMismatch, row.name);
  qp_sleep_ms(kMismatchPauseMs);
  if (WriteRow(row, slot) != SNMP_RESULT_OK) WriteSnmpLog(kLogSetError, row.error_code);
}

void PushConfiguration(int slot) {
  bool outlet = CheckOutletUps(g_Ups_Ip[slot]) == kOutletModel;
  bool first = true;
  for (const PushRow &row : kPushRows) {
    if (row.older_models_only && outlet) continue;
    if (first)
      PushFirstRow(row, slot);
    else
      PushLaterRow(row, slot);
    first = false;
  }
}

// Tries SLOT's card until it reports its UPS connected; true when it did.
bool ReachUnit(int slot, int quiet) {
  for (int32_t attempt = 0; attempt < g_Snmp_Get_Retry; ++attempt) {
    int status = 0;
    bool stored = false;
    uint32_t result =
        SnmpGetByIndexStored(kCommunicationStatusOid, QP_ASN_INTEGER, &status, quiet, slot, &stored);
    if (result == SNMP_RESULT_OK && stored && status == kCommunicationEstablished) {
      WriteSnmpLogF(0, kLogConnected, slot);
      return true;
    }
    if (result == SNMP_RESULT_FAILED) return false;
    qp_sleep_ms(kReachPauseMs);
  }
  return false;
}

void OpenTrapListener() {
  g_Trap_Event.store(nullptr);
  g_Trap_Poke_Count.store(0);
  if (g_No_Trap == 1) {
    WriteSnmpLog(kLogNoTrap, 1);
    return;
  }
  qp_event *event = qp_snmp_trap_listen();
  if (event == nullptr) {
    WriteSnmpLog(kLogListenError, GetLastError());
    return;
  }
  g_Trap_Event.store(event);
  WriteSnmpLog(kLogListening, 0);
}

// One setting copied out by QuoKyGetInfo: where it lives and how many bytes.
struct InfoRow {
  unsigned type;
  const void *data;
  size_t size;
};

}  // namespace

QP_DLL_EXPORT int WaitDaskStartUp(unsigned quiet) {
  if (!LibraryReady()) return 0;
  int quiet_byte = static_cast<int>(quiet & kQuietMask);
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    ups_X1[slot][0].store(0);
    ups_X1[slot][1].store(IsFreeSlot(slot) ? OFF_UPS : 0);
  }
  bool connected = false;
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!IsFreeSlot(slot) && ReachUnit(slot, quiet_byte)) connected = true;
  }
  if (!connected) {
    if (quiet_byte != 1) WriteSnmpLog(kLogNoConnection, 0);
    return 0;
  }
  OpenTrapListener();
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!IsFreeSlot(slot)) PushConfiguration(slot);
  }
  return 1;
}

QP_DLL_EXPORT int GetDasklumoDllVersion(char *version) {
  if (!LibraryReady()) return 0;
  WriteSnmpLog(kLogVersion, 0);
  if (version != nullptr) memcpy(version, kVersion, sizeof kVersion);
  int group = 0, active = 0, delay = 0, offset = 0, members = 0;
  char state[OUTPUT_STATE_TEXT_LIMIT + 1] = {0};
  if (GetUpsDetailStatusFromSnmp3(g_Ups_Ip[0], &group, &active, &delay, &offset, &members, state) != 1)
    return 1;
  WriteSnmpLogF(0, kLogScg, g_Ups_Ip[0], group, active, delay, offset, members);
  WriteSnmpLogF(0, kLogScgState, g_Ups_Ip[0], state);
  return 1;
}

QP_DLL_EXPORT int QuoKyGetInfo(void *out, unsigned type) {
  if (!LibraryReady()) return 0;
  const InfoRow rows[] = {
      {1, g_Ups_Ip[0], ADDRESS_SIZE},
      {2, g_Ups_Ip_S, sizeof g_Ups_Ip_S},
      {3, g_Ups_Ip_O, sizeof g_Ups_Ip_O},
      {4, g_Community, sizeof g_Community},
      {5, g_Ups_Off, sizeof g_Ups_Off},
      {6, &g_Other_On_Wait, sizeof g_Other_On_Wait},
      {7, &g_Trap_Interval, sizeof g_Trap_Interval},
      {8, g_Name, sizeof g_Name},
      {9, &g_Port, sizeof g_Port},
      {10, &g_Vex_Port, sizeof g_Vex_Port},
      {11, g_Send_Ip, sizeof g_Send_Ip},
      {12, g_Server_Ip, sizeof g_Server_Ip},
      {13, g_Send_Ip02, sizeof g_Send_Ip02},
      {14, g_Send_Ip03, sizeof g_Send_Ip03},
  };
  if (out == nullptr) return 1;
  for (const InfoRow &row : rows) {
    if (row.type == type) memcpy(out, row.data, row.size);
  }
  return 1;
}

// The host tool's view of one unit-table slot: its address (ADDRESS_SIZE bytes) and its nine
// status words. 1, or 0 for a slot outside 0 .. 129.
QP_DLL_EXPORT int QuoKyGetUnitState(int ups_index, char *address, uint32_t *words) {
  if (!LibraryReady() || ups_index < 0 || ups_index >= UPS_UNIT_COUNT) return 0;
  if (address != nullptr) memcpy(address, g_Ups_Ip[ups_index], ADDRESS_SIZE);
  if (words != nullptr) {
    for (int i = 0; i < UPS_STATUS_WORDS; ++i) words[i] = UnitWord(ups_index, i);
  }
  return 1;
}
