// The host shutdown sequence of SNMPUPS.DLL: every configured UPS of the unit table is put to
// sleep or turned off as the host shuts down, by the mode that the older command "V00" passes
// and, after a power failure, by the power-fail marks of the unit table, the off mode and two
// settings; and the rule that folds the result of every write into the sequence's result.
//
// Sections: the result merge; writes with attempts; the scheduled and unscheduled power-off;
// the power-failure sequence (due units, units that follow a due unit).
//
// The sequence runs on its caller's thread to the end. It reads the unit table and changes
// nothing in it itself (the one check it may run updates the power-fail marks); units are
// handled one after the other and a failure on one never stops the others.
#include "powernet_oids.h"
#include "snmpups_state.h"

namespace {

using namespace powernet;

// First character of the request data: the shutdown mode.
constexpr char kModeScheduled = '3';   // scheduled power-off: every unit goes to sleep
constexpr char kModeNoSchedule = '4';  // power-off without schedule: every unit turns off
// First character of "UPS_Off" that selects sleep over turn-off after a power failure.
constexpr char kOffModeSleep = 'S';
// "upsAdvConfigMinReturnCapacity" value that turns every sleep of the power-failure sequence
// into a turn-off.
constexpr int32_t kTurnOffInsteadOfSleep = 200;

// Values written.
constexpr uint32_t kTurnOffGracefully = 3;
constexpr uint32_t kSleepGracefully = 3;
constexpr uint32_t kConserveBattery = 2;
constexpr uint32_t kReturnSleepTicks = 0;  // sleep until power returns

// Output statuses that choose between conserving the battery and sleeping.
constexpr int kPresumedStatus = 1;  // taken when the output status cannot be read
constexpr int kStatusesConserve[] = {1, 3};
constexpr int kStatusesSleep[] = {2, 4, 12};

// Pause after a write that failed otherwise than in transport or by the agent's refusal.
constexpr uint32_t kAttemptPauseMs = 500;

// Result codes that replace an accumulated result only while it holds no other failure.
constexpr uint32_t kWeakCodes[] = {0x80000000u, 0x80100000u};
constexpr uint32_t kCodeLowBits = 0xF;

constexpr char kLogStart[] = "QuoPcShutDown...";
constexpr char kLogScheduled[] = "===Schedule PowerOff:putUpsToSleepGracefully====";
constexpr char kLogNoSchedule[] = "===No Schedule:upsAdvControlUpsOff====";
constexpr char kLogUnitWords[] = " ups_X1[%d]  [0] : %02x [1] : %02x";
constexpr char kLogCheckStart[] = "QuoKySnmpCheck Start";
constexpr char kLogCheckEnd[] = "QuoKySnmpCheck End";
constexpr char kLogTurnOff[] = "====PowerOff:upsAdvControlUpsOff====";
constexpr char kLogTurnOffFollow[] = "====PowerOff:upsAdvControlUpsOff 2====";
constexpr char kLogReturnSleep[] = " powerfail retrun sleep time is %dsec";
constexpr char kLogConserve[] = "====PowerOff:upsBasicControlConserveBattery====";
constexpr char kLogSleep[] = "====PowerOff:putUpsToSleepGracefully====";
constexpr char kLogSleepFollow[] = "====PowerOff:putUpsToSleepGracefully 2====";
constexpr char kLogNoRequest[] = "turnOffUpsToConserveBattery norequest %d [outsts=%d]";
// Error lines, each with the slot and the attempt count.
constexpr char kErrTurnOff[] = " [QuoPcShutDown] SnmpSet err (%d) counter=%d";
constexpr char kErrTurnOffPowerFail[] = " [QuoPcShutDown] SnmpSet(OID1) err (%d) counter=%d";
constexpr char kErrSleep[] = " [QuoPcShutDown] SnmpSet(OID2) err (%d) counter=%d";
constexpr char kErrSleepTime[] = " [QuoPcShutDown] SnmpSet(OIDS) err (%d) counter=%d";
constexpr char kErrOutputStatus[] = " [QuoPcShutDown] SnmpSet(upsBasicOutputStatus) err (%d) counter=%d";
constexpr char kErrConserveOrSleep[] = " [QuoPcShutDown] SnmpSet(OID3) err (%d) counter=%d";

template <size_t N>
bool OneOf(int value, const int (&values)[N]) {
  for (int v : values) {
    if (v == value) return true;
  }
  return false;
}

// A failure in transport or a refusal by the agent ends the attempts of a write; any other
// failure (a badValue answer) is worth another attempt.
bool EndsAttempts(uint32_t result) {
  return result == SNMP_RESULT_FAILED || result == SNMP_RESULT_AGENT_ERROR;
}

// One SET of VARIABLE on unit-table slot SLOT. INTEGER and TimeTicks values are both 32-bit
// words, so one value serves either type.
uint32_t SetUnit(int slot, const PowerNetVariable &variable, uint32_t value) {
  return SnmpSetByIndex(variable.oid, variable.type, &value, slot);
}

// How a write with attempts announces and reports itself.
struct WriteSteps {
  const char *error_line;          // logged with the slot and the attempt count on an end
  const char *announce = nullptr;  // logged before every attempt, when given
  uint32_t announce_code = 0;      // code of the announcement
  bool merge = true;               // fold every attempt's result into the overall result
};

// Writes VALUE to VARIABLE of SLOT until it succeeds, a transport failure or refusal ends it,
// or *COUNT (shared with the caller's own attempts) reaches "SNMP_SET_RETRY". Returns the last
// attempt's result, or 1 when no attempt was left.
uint32_t WriteWithAttempts(int slot, const PowerNetVariable &variable, uint32_t value,
                           const WriteSteps &steps, int *count, uint32_t *overall) {
  uint32_t result = 1;
  while (result != SNMP_RESULT_OK && *count < g_Snmp_Set_Retry) {
    if (steps.announce != nullptr) WriteSnmpLog(steps.announce, steps.announce_code);
    result = SetUnit(slot, variable, value);
    ++*count;
    if (steps.merge) *overall = MergeSnmpResult(*overall, result);
    if (EndsAttempts(result)) {
      WriteSnmpLogF(result, steps.error_line, slot, *count);
      break;
    }
    if (result != SNMP_RESULT_OK && *count < g_Snmp_Set_Retry) qp_sleep_ms(kAttemptPauseMs);
  }
  return result;
}

uint32_t WriteWithAttempts(int slot, const PowerNetVariable &variable, uint32_t value,
                           const WriteSteps &steps, uint32_t *overall) {
  int count = 0;
  return WriteWithAttempts(slot, variable, value, steps, &count, overall);
}

// A configured slot whose unit is not switched off.
bool LiveUnit(int slot) {
  return !IsFreeSlot(slot) && (UnitWord(slot, 1) & OFF_UPS) == 0;
}

bool DueUnit(int slot) {
  return (UnitWord(slot, 0) & UPS_SHUTDOWN_DUE) != 0;
}

// Any slot, configured or not, that is due to shut down and not switched off.
bool AnyDueUnit() {
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (DueUnit(slot) && (UnitWord(slot, 1) & OFF_UPS) == 0) return true;
  }
  return false;
}

void LogUnitWords(int slot) {
  WriteSnmpLogF(0, kLogUnitWords, slot, UnitWord(slot, 0), UnitWord(slot, 1));
}

// Scheduled or unscheduled power-off: one write to every configured slot, switched off or not.
uint32_t PowerOffEveryUnit(const char *announce, const PowerNetVariable &variable, uint32_t value,
                           const char *error_line) {
  uint32_t overall = SNMP_RESULT_OK;
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (IsFreeSlot(slot)) continue;
    WriteSnmpLog(announce, static_cast<uint32_t>(slot));
    WriteWithAttempts(slot, variable, value, {error_line}, &overall);
  }
  return overall;
}

// A due unit in sleep mode: return sleep time 0, then, by its output status, the conserve-
// battery control (falling back to the sleep control when the agent refuses it) or the sleep
// control, with attempts.
void SleepDueUnit(int slot, uint32_t *overall) {
  WriteSnmpLogF(0, kLogReturnSleep, static_cast<int>(kReturnSleepTicks));
  WriteWithAttempts(slot, kUpsAdvConfigSleepTime, kReturnSleepTicks, {kErrSleepTime}, overall);

  uint32_t attempt = 1;
  for (int count = 0; attempt != SNMP_RESULT_OK && count < g_Snmp_Set_Retry; ++count) {
    int status = UNKNOWN_VALUE;
    uint32_t read = SnmpGetByIndex(kUpsBasicOutputStatus.oid, kUpsBasicOutputStatus.type, &status, 0, slot);
    *overall = MergeSnmpResult(*overall, read);
    if (read != SNMP_RESULT_OK) {
      WriteSnmpLogF(read, kErrOutputStatus, slot, count + 1);
      status = kPresumedStatus;
    }

    uint32_t last = SNMP_RESULT_OK;
    if (OneOf(status, kStatusesConserve)) {
      WriteSnmpLog(kLogConserve, static_cast<uint32_t>(status));
      last = SetUnit(slot, kUpsBasicControlConserveBattery, kConserveBattery);
      *overall = MergeSnmpResult(*overall, last);
      // A refusal by the agent falls back to the sleep control; a transport failure does not.
      if (last != SNMP_RESULT_OK && last != SNMP_RESULT_FAILED) {
        WriteSnmpLog(kLogSleep, kSleepGracefully);
        last = SetUnit(slot, kUpsAdvControlUpsSleep, kSleepGracefully);
        *overall = MergeSnmpResult(*overall, last);
        if (EndsAttempts(last)) WriteSnmpLogF(last, kErrSleep, slot, count + 1);
      }
    } else if (OneOf(status, kStatusesSleep)) {
      WriteSnmpLog(kLogSleep, static_cast<uint32_t>(status));
      last = SetUnit(slot, kUpsAdvControlUpsSleep, kSleepGracefully);
      *overall = MergeSnmpResult(*overall, last);
    } else {
      WriteSnmpLogF(static_cast<uint32_t>(status), kLogNoRequest, slot, status);
    }

    attempt = last;
    if (EndsAttempts(last)) {
      WriteSnmpLogF(last, kErrConserveOrSleep, slot, count + 1);
      break;
    }
    if (last != SNMP_RESULT_OK && count + 1 < g_Snmp_Set_Retry) qp_sleep_ms(kAttemptPauseMs);
  }
}

// A unit that is not due itself follows any unit that is: it is turned off, or put to sleep
// until power returns, once some unit is due; with none due it is left alone and the overall
// result becomes 0. The return sleep time's attempts share this step's attempt count and are
// not folded into the result.
void FollowDueUnit(int slot, bool turn_off, uint32_t *overall) {
  uint32_t attempt = 1;
  for (int count = 0; attempt != SNMP_RESULT_OK && count < g_Snmp_Set_Retry; ++count) {
    if (!AnyDueUnit()) {
      attempt = SNMP_RESULT_OK;
      *overall = MergeSnmpResult(*overall, SNMP_RESULT_OK);
      break;
    }
    if (turn_off) {
      WriteSnmpLog(kLogTurnOffFollow, kTurnOffGracefully);
      attempt = SetUnit(slot, kUpsAdvControlUpsOff, kTurnOffGracefully);
      *overall = MergeSnmpResult(*overall, attempt);
      if (EndsAttempts(attempt)) {
        WriteSnmpLogF(attempt, kErrTurnOff, slot, count + 1);
        break;
      }
    } else {
      WriteSnmpLogF(0, kLogReturnSleep, static_cast<int>(kReturnSleepTicks));
      WriteSteps unmerged{kErrSleepTime};
      unmerged.merge = false;
      WriteWithAttempts(slot, kUpsAdvConfigSleepTime, kReturnSleepTicks, unmerged, &count, overall);
      WriteSnmpLog(kLogSleepFollow, kSleepGracefully);
      attempt = SetUnit(slot, kUpsAdvControlUpsSleep, kSleepGracefully);
      *overall = MergeSnmpResult(*overall, attempt);
      if (EndsAttempts(attempt)) {
        WriteSnmpLogF(attempt, kErrSleep, slot, count + 1);
        break;
      }
    }
    if (attempt != SNMP_RESULT_OK && count + 1 < g_Snmp_Set_Retry) qp_sleep_ms(kAttemptPauseMs);
  }
}

// After a power failure: in turn-off mode every live unit is turned off; in sleep mode a due
// unit sleeps (or turns off with "upsAdvConfigMinReturnCapacity" 200) and the others follow a
// due unit. Before that, unless the host restarts on its own ("AUTO_REBOOT_ORG"), one check
// refreshes the marks when a live unit is on battery.
uint32_t PowerFailShutDown() {
  bool sleep_mode = g_Ups_Off[0] == kOffModeSleep;
  bool turn_off_instead = g_Min_Return_Capacity == kTurnOffInsteadOfSleep;

  if (g_Auto_Reboot_Org == 0 && sleep_mode) {
    for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
      if (!LiveUnit(slot)) continue;
      LogUnitWords(slot);
      if ((UnitWord(slot, 0) & UPS_ON_BATTERY) != 0) {
        WriteSnmpLog(kLogCheckStart, 0);
        QuoKySnmpCheck();
        WriteSnmpLog(kLogCheckEnd, 0);
        break;
      }
    }
  }

  uint32_t overall = SNMP_RESULT_OK;
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!LiveUnit(slot)) continue;
    if (!sleep_mode) {
      WriteWithAttempts(slot, kUpsAdvControlUpsOff, kTurnOffGracefully,
                        {kErrTurnOffPowerFail, kLogTurnOff, kTurnOffGracefully}, &overall);
      continue;
    }
    LogUnitWords(slot);
    if (!DueUnit(slot)) {
      FollowDueUnit(slot, turn_off_instead, &overall);
    } else if (turn_off_instead) {
      WriteWithAttempts(slot, kUpsAdvControlUpsOff, kTurnOffGracefully,
                        {kErrTurnOff, kLogTurnOff, kTurnOffGracefully}, &overall);
    } else {
      SleepDueUnit(slot, &overall);
    }
  }
  return overall;
}

}  // namespace

uint32_t MergeSnmpResult(uint32_t accumulated, uint32_t code) {
  for (uint32_t weak : kWeakCodes) {
    if (code == weak) return accumulated == SNMP_RESULT_OK ? code : accumulated;
  }
  if (EndsAttempts(code)) return (accumulated & kCodeLowBits) <= 1 ? code : accumulated;
  return code;
}

uint32_t QuoPcShutDown(const char *data) {
  WriteSnmpLog(kLogStart, 0);
  char mode = data != nullptr ? data[0] : '\0';
  if (mode == kModeScheduled)
    return PowerOffEveryUnit(kLogScheduled, kUpsAdvControlUpsSleep, kSleepGracefully, kErrSleep);
  if (mode == kModeNoSchedule)
    return PowerOffEveryUnit(kLogNoSchedule, kUpsAdvControlUpsOff, kTurnOffGracefully, kErrTurnOff);
  return PowerFailShutDown();
}
