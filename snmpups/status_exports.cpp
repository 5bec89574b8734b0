// The status exports of SNMPUPS.DLL: output status, input status, detailed battery and voltage
// values, the synchronized control group values and the state of an outlet group of one UPS
// card, each read with single GETs by address.
//
// Every export returns 1 or 0, logs its own failure line with the SNMP result code, presets its
// numeric outputs to UNKNOWN_VALUE where it says so, and does nothing (0) while the library is
// not attached. A GET answered with another type than asked for stores nothing and counts as a
// success, except where a value is needed to go on (the input-status thresholds, the write
// probe): there the missing value fails the call with SNMP_RESULT_BAD_VALUE as the line's code.
#include <stdio.h>
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"

namespace {

using namespace powernet;

// Input status codes.
constexpr int kInputNormal = 1;
constexpr int kInputNoVoltage = 2;
constexpr int kInputLowCapacity = 3;
constexpr int kInputHighVoltage = 5;
constexpr int kInputLowVoltage = 6;
constexpr int kInputFaultFlag = 0x100;

// Write probe of the detail status: attempts and pauses.
constexpr int kProbeAttempts = 4;
constexpr uint32_t kProbeGetPauseMs = 100;
constexpr uint32_t kProbeSetPauseMs = 400;

constexpr uint32_t kTicksPerSecond = 100;
constexpr int kOnBatteryReportSeconds = 15;
// Failed group-number reads after which the SCG values are no longer read.
constexpr int32_t kScgErrorLimit = 30;

constexpr char kLogStatusError[] = "GetUpsStatusFromSnmp[%s] error!";
constexpr char kLogInputVoltageError[] = "GetUpsInputStatusFromSnmp(1)[%s] error!";
constexpr char kLogInputCapacityError[] = "GetUpsInputStatusFromSnmp(2)[%s] error!";
constexpr char kLogProbeError[] = "GetUpsDetailStatusFromSnmp(outsts)[%s] LowTransferVolt error! check=%d";
constexpr char kLogDetailOutputError[] = "GetUpsDetailStatusFromSnmp(outsts)[%s] error!";
constexpr char kLogDetailBattrunError[] = "GetUpsDetailStatusFromSnmp(Battrun)[%s] error!";
constexpr char kLogDetailFailCauseError[] = "GetUpsDetailStatusFromSnmp(InputLineFailCause)[%s] error!";
constexpr char kLogDetailSelfTest[] = "[%s] self-test!!";
constexpr char kLogDetailOnBattery[] = " [%s] is OnBattery. Input is (%d)!";
constexpr char kLogDetailChargeError[] = "GetUpsDetailStatusFromSnmp(charge)[%s] error!";
constexpr char kLogDetailInVoltError[] = "GetUpsDetailStatusFromSnmp(involt)[%s] error!";
constexpr char kLogDetail2RunTimeError[] = "GetUpsDetailStatusFromSnmp2(BattrunTime)[%s] error!";
constexpr char kLogDetail2OutVoltError[] = "GetUpsDetailStatusFromSnmp2(upsAdvOutputVoltage)[%s] error!";
constexpr char kLogDetail2NoSerial[] = "not Serial Communication(%s)=[%s]";
constexpr char kLogDetail2TempError[] = "GetUpsDetailStatusFromSnmp2(temp)[%s] error!";
constexpr char kLogDetail2ReplaceError[] = "intValue no Status2";
constexpr char kLogDetail3GroupError[] = "GetUpsDetailStatusFromSnmp3(MGN)[%s] error! Errcount:[%d]";
constexpr char kLogOutletStateError[] = "OutletUpsStateSnmp[%s] error!";

// The SCG reads after the group number, each with its failure line.
struct ScgRead {
  const PowerNetVariable *variable;
  const char *failure;
};
const ScgRead kScgReads[] = {
    {&kScgActiveMembership, "GetUpsDetailStatusFromSnmp3(SCGonoff)[%s] error!"},
    {&kScgPowerSynchronizationDelay, "GetUpsDetailStatusFromSnmp3(PSD)[%s] error!"},
    {&kScgReturnBatteryCapacityOffset, "GetUpsDetailStatusFromSnmp3(RBCO)[%s] error!"},
    {&kScgGroupMembers, "GetUpsDetailStatusFromSnmp3(SCGN)[%s] error!"},
};

// Reads the output state text (quiet level 2) cut to 64 characters into STATE (65 bytes).
uint32_t ReadOutputState(const char *address, char state[OUTPUT_STATE_TEXT_LIMIT + 1]) {
  char text[SNMP_TEXT_BUFFER] = {0};
  uint32_t result =
      SnmpGetByAddress(address, kUpsBasicStateOutputState.oid, kUpsBasicStateOutputState.type, text, 2);
  text[OUTPUT_STATE_TEXT_LIMIT] = '\0';
  memcpy(state, text, OUTPUT_STATE_TEXT_LIMIT + 1);
  return result;
}

}  // namespace

QP_DLL_EXPORT int GetUpsStatusFromSnmp(const char *address, int *output_status) {
  if (!LibraryReady() || address == nullptr || output_status == nullptr) return 0;
  uint32_t result =
      SnmpGetByAddress(address, kUpsBasicOutputStatus.oid, kUpsBasicOutputStatus.type, output_status, 0);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogStatusError, address);
  return 0;
}

QP_DLL_EXPORT int GetUpsInputStatusFromSnmp(const char *address, int *input_status) {
  if (!LibraryReady() || address == nullptr || input_status == nullptr) return 0;
  // A fault reported by trap for this address answers without a request.
  uint32_t main_fault = g_Input_Fault_Main.load();
  if (strcmp(address, g_Ups_Ip[0]) == 0 && main_fault != 0) {
    *input_status = static_cast<int>(main_fault | kInputFaultFlag);
    return 1;
  }
  for (int i = 0; i < UPS_LIST_COUNT; ++i) {
    uint32_t fault_s = g_Input_Fault_S[i].load();
    uint32_t fault_o = g_Input_Fault_O[i].load();
    // An empty entry is free and matches no address.
    if (g_Ups_Ip_S[i][0] != '\0' && strcmp(address, g_Ups_Ip_S[i]) == 0 && fault_s != 0) {
      *input_status = static_cast<int>(fault_s | kInputFaultFlag);
      return 1;
    }
    if (g_Ups_Ip_O[i][0] != '\0' && strcmp(address, g_Ups_Ip_O[i]) == 0 && fault_o != 0) {
      *input_status = static_cast<int>(fault_o | kInputFaultFlag);
      return 1;
    }
  }

  int voltage = 0;
  bool stored = false;
  uint32_t result = SnmpGetByAddressStored(address, kUpsAdvInputLineVoltage.oid, kUpsAdvInputLineVoltage.type,
                                           &voltage, 0, &stored);
  if (result == SNMP_RESULT_OK && !stored) result = SNMP_RESULT_BAD_VALUE;
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogInputVoltageError, address);
    return 0;
  }
  if (voltage == 0) {
    *input_status = kInputNoVoltage;
    return 1;
  }
  if (voltage >= g_High_Transfer_Volt) {
    *input_status = kInputHighVoltage;
    return 1;
  }
  if (voltage <= g_Low_Transfer_Volt) {
    *input_status = kInputLowVoltage;
    return 1;
  }

  int capacity = 0;
  result = SnmpGetByAddressStored(address, kUpsAdvBatteryCapacity.oid, kUpsAdvBatteryCapacity.type, &capacity,
                                  0, &stored);
  if (result == SNMP_RESULT_OK && !stored) result = SNMP_RESULT_BAD_VALUE;
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogInputCapacityError, address);
    return 0;
  }
  *input_status = capacity < g_Min_Return_Capacity ? kInputLowCapacity : kInputNormal;
  return 1;
}

QP_DLL_EXPORT int GetUpsDetailStatusFromSnmp(const char *address, int *output_status, int *input_voltage,
                                             int *battery_capacity, int *seconds_on_battery,
                                             int *input_fail_cause) {
  if (!LibraryReady() || address == nullptr || output_status == nullptr || input_voltage == nullptr ||
      battery_capacity == nullptr || seconds_on_battery == nullptr || input_fail_cause == nullptr) {
    return 0;
  }
  *output_status = *input_voltage = *battery_capacity = *seconds_on_battery = *input_fail_cause =
      UNKNOWN_VALUE;

  // Write probe: read the low transfer voltage and write the same value back. Only a value
  // actually read is written back, so the probe never changes the UPS's setting.
  int low_transfer = 0;
  bool got = false;
  uint32_t result = SNMP_RESULT_FAILED;
  for (int attempt = 0; attempt < kProbeAttempts && !got; ++attempt) {
    if (attempt > 0) qp_sleep_ms(kProbeGetPauseMs);
    bool stored = false;
    result = SnmpGetByAddressStored(address, kUpsAdvConfigLowTransferVolt.oid,
                                    kUpsAdvConfigLowTransferVolt.type, &low_transfer, 0, &stored);
    if (result == SNMP_RESULT_OK && !stored) result = SNMP_RESULT_BAD_VALUE;
    got = result == SNMP_RESULT_OK;
  }
  if (got) {
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
      if (attempt > 0) qp_sleep_ms(kProbeSetPauseMs);
      result = SnmpSetByAddress(address, kUpsAdvConfigLowTransferVolt.oid, kUpsAdvConfigLowTransferVolt.type,
                                &low_transfer);
      if (result == SNMP_RESULT_OK) break;
    }
  }
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogProbeError, address, got ? 1 : 0);
    return 0;
  }

  result = SnmpGetByAddress(address, kUpsBasicOutputStatus.oid, kUpsBasicOutputStatus.type, output_status, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetailOutputError, address);
    return 0;
  }

  uint32_t ticks = 0;
  bool stored = false;
  result = SnmpGetByAddressStored(address, kUpsBasicBatteryTimeOnBattery.oid,
                                  kUpsBasicBatteryTimeOnBattery.type, &ticks, 0, &stored);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetailBattrunError, address);
    return 0;
  }
  if (stored) *seconds_on_battery = static_cast<int>(ticks / kTicksPerSecond);

  if (*output_status == OUTPUT_STATUS_ON_BATTERY) {
    int cause = 0;
    result = SnmpGetByAddressStored(address, kUpsAdvInputLineFailCause.oid, kUpsAdvInputLineFailCause.type,
                                    &cause, 0, &stored);
    if (result != SNMP_RESULT_OK) {
      WriteSnmpLogF(result, kLogDetailFailCauseError, address);
    } else {
      // An answer of another type is still a success: the cause keeps its preset.
      if (stored) *input_fail_cause = cause;
      cause = *input_fail_cause;
      if (cause == INPUT_FAIL_CAUSE_SELF_TEST) {
        WriteSnmpLogF(0, kLogDetailSelfTest, address);
      } else if (*seconds_on_battery < kOnBatteryReportSeconds) {
        WriteSnmpLogF(0, kLogDetailOnBattery, address, cause);
      }
    }
  }

  result =
      SnmpGetByAddress(address, kUpsAdvBatteryCapacity.oid, kUpsAdvBatteryCapacity.type, battery_capacity, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetailChargeError, address);
    return 0;
  }
  result =
      SnmpGetByAddress(address, kUpsAdvInputLineVoltage.oid, kUpsAdvInputLineVoltage.type, input_voltage, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetailInVoltError, address);
    return 0;
  }
  return 1;
}

QP_DLL_EXPORT int GetUpsDetailStatusFromSnmp2(const char *address, int *output_status, int *input_voltage,
                                              int *output_voltage, int *battery_capacity,
                                              int *seconds_on_battery, int *battery_temperature,
                                              int *replace_indicator, int *input_fail_cause,
                                              int *seconds_remaining) {
  if (!LibraryReady() || address == nullptr || output_status == nullptr || input_voltage == nullptr ||
      output_voltage == nullptr || battery_capacity == nullptr || seconds_on_battery == nullptr ||
      battery_temperature == nullptr || replace_indicator == nullptr || input_fail_cause == nullptr ||
      seconds_remaining == nullptr) {
    return 0;
  }
  *output_status = *input_voltage = *output_voltage = *battery_capacity = *seconds_on_battery =
      *input_fail_cause = *seconds_remaining = UNKNOWN_VALUE;

  uint32_t ticks = 0;
  bool stored = false;
  uint32_t result = SnmpGetByAddressStored(address, kUpsAdvBatteryRunTimeRemaining.oid,
                                           kUpsAdvBatteryRunTimeRemaining.type, &ticks, 0, &stored);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetail2RunTimeError, address);
    return 0;
  }
  if (stored) *seconds_remaining = static_cast<int>(ticks / kTicksPerSecond);

  result = SnmpGetByAddress(address, kUpsAdvOutputVoltage.oid, kUpsAdvOutputVoltage.type, output_voltage, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetail2OutVoltError, address);
    return 0;
  }

  char state[OUTPUT_STATE_TEXT_LIMIT + 1];
  if (ReadOutputState(address, state) == SNMP_RESULT_OK && state[OUTPUT_STATE_SERIAL_COMMUNICATION] != '1') {
    WriteSnmpLogF(0, kLogDetail2NoSerial, address, state);
    return 0;
  }

  if (GetUpsDetailStatusFromSnmp(address, output_status, input_voltage, battery_capacity, seconds_on_battery,
                                 input_fail_cause) != 1) {
    return 0;
  }

  result = SnmpGetByAddress(address, kUpsAdvBatteryTemperature.oid, kUpsAdvBatteryTemperature.type,
                            battery_temperature, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogDetail2TempError, address);
    return 0;
  }
  // A replacement indicator that cannot be read is reported as unknown; the call still succeeds.
  result = SnmpGetByAddress(address, kUpsAdvBatteryReplaceIndicator.oid, kUpsAdvBatteryReplaceIndicator.type,
                            replace_indicator, 0);
  if (result != SNMP_RESULT_OK) {
    *replace_indicator = UNKNOWN_VALUE;
    WriteSnmpLog(kLogDetail2ReplaceError, result);
  }
  return 1;
}

QP_DLL_EXPORT int GetUpsDetailStatusFromSnmp3(const char *address, int *group_number, int *active_membership,
                                              int *sync_delay, int *return_capacity_offset,
                                              int *group_members, char *output_state) {
  if (!LibraryReady() || address == nullptr || group_number == nullptr || active_membership == nullptr ||
      sync_delay == nullptr || return_capacity_offset == nullptr || group_members == nullptr ||
      output_state == nullptr) {
    return 0;
  }
  char state[OUTPUT_STATE_TEXT_LIMIT + 1];
  if (ReadOutputState(address, state) != SNMP_RESULT_OK) return 0;
  memcpy(output_state, state, sizeof state);

  if (g_Scg_Error_Count.load() > kScgErrorLimit) return 0;
  uint32_t result = SnmpGetByAddress(address, kScgMembershipGroupNumber.oid, kScgMembershipGroupNumber.type,
                                     group_number, 0);
  if (result != SNMP_RESULT_OK) {
    int32_t count = g_Scg_Error_Count.fetch_add(1) + 1;
    WriteSnmpLogF(result, kLogDetail3GroupError, address, count);
    return 0;
  }

  int *outputs[] = {active_membership, sync_delay, return_capacity_offset, group_members};
  static_assert(sizeof outputs / sizeof outputs[0] == sizeof kScgReads / sizeof kScgReads[0]);
  for (size_t i = 0; i < sizeof kScgReads / sizeof kScgReads[0]; ++i) {
    result =
        SnmpGetByAddress(address, kScgReads[i].variable->oid, kScgReads[i].variable->type, outputs[i], 0);
    if (result != SNMP_RESULT_OK) {
      WriteSnmpLogF(result, kScgReads[i].failure, address);
      return 0;
    }
  }
  return 1;
}

QP_DLL_EXPORT int OutletUpsStateSnmp(const char *address, int group, int *state) {
  if (!LibraryReady() || address == nullptr || state == nullptr) return 0;
  // Group 0 names the first group; a negative group names no group at all.
  if (group < 0) {
    *state = UNKNOWN_VALUE;
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogOutletStateError, address);
    return 0;
  }
  if (group == 0) group = 1;
  char oid[96];
  snprintf(oid, sizeof oid, "%s.%d", kOutletGroupStatePrefix, group);
  int value = 0;
  uint32_t result = SnmpGetByAddress(address, oid, QP_ASN_INTEGER, &value, 0);
  if (result == SNMP_RESULT_OK) {
    *state = value;
    return 1;
  }
  *state = UNKNOWN_VALUE;
  WriteSnmpLogF(result, kLogOutletStateError, address);
  return 0;
}

QP_DLL_EXPORT int CheckOutletUpsSnmp(const char *address) {
  if (!LibraryReady() || address == nullptr) return 0;
  return CheckOutletUps(address);
}
