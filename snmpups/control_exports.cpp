// The control exports of SNMPUPS.DLL: turn a UPS off or on, set its shut-down delay and sleep
// time, put it to sleep, the power-failure turn-off sequence, SCG membership and outlet-group
// commands, each as SETs by address (plain UPS commands) or through the outlet variant.
//
// Every export logs its call first and its failure line with the SNMP result code, and does
// nothing (0) while the library is not attached.
#include <stdio.h>

#include "powernet_oids.h"
#include "snmpups_state.h"

namespace {

using namespace powernet;

// The mode of SetUpsOffbySnmp / SetUpsOnbySnmp that selects the outlet variant (and, for the
// turn-off value 3, the check for a graceful shutdown already in progress).
constexpr int kOutletMode = 2;
constexpr int kTurnOffGraceful = 3;

constexpr int kSleepCommandBase = 1000;  // SetUpsSleepOffbySnmp: command = 1000 + sleep control value
constexpr int kConserveBattery = 2;
constexpr int kSleepControl = 3;
constexpr uint32_t kReturnSleepTicks = 0;
constexpr int kOutletSwitchOn = 4;

constexpr uint32_t kTicksPerSecond = 100;
constexpr uint32_t kTicksPerTenthHour = 36000;
constexpr uint32_t kTicksPerHour = 360000;

// Output statuses that choose the power-failure method.
constexpr int kPresumedOnLineStatus = 1;  // taken when the output status cannot be read
constexpr int kStatusesConserve[] = {1, 3};
constexpr int kStatusesSleep[] = {2, 4, 12};

constexpr char kLogCallOff[] = "[%s]SetUpsOffbySnmp(%d)(%d)";
constexpr char kLogCallOn[] = "[%s]SetUpsOnbySnmp(%d)(%d)";
constexpr char kLogCallShutdownDelay[] = "[%s]SetUpsShutdownDelaybySnmp(%d)";
constexpr char kLogCallSleepTime[] = "[%s]SetUpsSleepTimeSnmp";
constexpr char kLogCallSleepOff[] = "[%s]SetUpsSleepOffbySnmp(%d)";
constexpr char kLogCallPowerFail[] = "[%s]SetUpsPowerFailOffbySnmp";
constexpr char kLogCallSyncActive[] = "[%s]SetUpsSyncActivebySnmp(%d)";
constexpr char kLogCallOutletOff[] = "[%s]OutletSetUpsOffbySnmp(%d)(%d)";
constexpr char kLogCallOutletOn[] = "[%s]OutletSetUpsOnbySnmp(%d)";

constexpr char kLogOffError[] = "SetUpsOffbySnmp[%s] error!";
constexpr char kLogOnError[] = "SetUpsOnbySnmp[%s] error!";
constexpr char kLogShutdownDelayError[] = "SetUpsShutdownDelaybySnmp[%s] error!";
constexpr char kLogSyncActiveError[] = "SetUpsSyncActivebySnmp[%s] error!";
constexpr char kLogOutletOffError[] = "OutletSetUpsOffbySnmp[%s] error!";
constexpr char kLogOutletOnError[] = "OutletSetUpsOnbySnmp[%s] error!";
constexpr char kLogOutletOffSuccess[] = "OutletSetUpsOffbySnmp success!";
constexpr char kLogOutletOnSuccess[] = "OutletSetUpsOnbySnmp[%s] success!";

constexpr char kLogOutputStateError[] = "upsBasicStateOutputState[%s] error!";
constexpr char kLogGracefulShutdown[] = "Graceful Shutdown state[%s]";

constexpr char kLogSleepTimeSeconds[] = "  [%s]SleepTime(%d) -> (%e)";
constexpr char kLogSleepOffSeconds[] = "  [%s]Sleeptime(%d) -> (%e)";
constexpr char kLogSleepTicks[] = " [%s]set sleep time is %dsec : %d.%dh";
constexpr char kLogSleepTimeError1[] = "SetUpsSleepTimeSnmp[%s] error1!";
constexpr char kLogSleepOffError1[] = "SetUpsSleepOffbySnmp[%s] error1!";
constexpr char kLogSleepOffError2[] = "SetUpsSleepOffbySnmp[%s] error2!";

constexpr char kLogPowerFailStatusError[] = "SetUpsPowerFailOffbySnmp (outsts)[%s] error!";
constexpr char kLogPowerFailConserve[] = "[%s] PowerOff:upsBasicControlConserveBattery(%d)====";
constexpr char kLogPowerFailReturnSleep[] = " [%s]powerfail retrun sleep time is %dsec";
constexpr char kLogPowerFailReturnSleepOnLine[] = " [%s] powerfail retrun sleep time is %dsec";
constexpr char kLogPowerFailReturnSleepError[] = " powerfail retrun sleep time set error (%d)";
constexpr char kLogPowerFailSleep[] = "[%s] PowerOff:upsAdvControlUpsSleep(%d)====";
constexpr char kLogPowerFailNoRequest[] = "SetUpsPowerFailOffbySnmp[%s] norequest [outsts=%d]";
constexpr char kLogPowerFailError[] = "SetUpsPowerFailOffbySnmp[%s] error!";

template <size_t N>
bool OneOf(int value, const int (&values)[N]) {
  for (int v : values) {
    if (v == value) return true;
  }
  return false;
}

// SET of a plain INTEGER control by address, or through the outlet variant.
uint32_t SetControl(const char *address, const PowerNetVariable &variable, int value, bool outlet) {
  return outlet ? SnmpSetOutletByAddress(address, variable.oid, variable.type, &value)
                : SnmpSetByAddress(address, variable.oid, variable.type, &value);
}

// A time in seconds below 0 names no time at all: taken as an unsigned number it would be
// months. Such a call is refused with its failure line (code SNMP_RESULT_BAD_VALUE) and sends
// nothing. True when refused.
bool RefuseNegativeTime(const char *address, int seconds, const char *failure_line) {
  if (seconds >= 0) return false;
  WriteSnmpLogF(SNMP_RESULT_BAD_VALUE, failure_line, address);
  return true;
}

// Sleep ticks of SECONDS (not negative), cut down to whole tenths of an hour
// when "DilayTimeCut" starts with 'Y'; logs the seconds and the resulting time.
uint32_t SleepTicks(const char *address, int seconds, const char *seconds_line) {
  WriteSnmpLogF(0, seconds_line, address, seconds, static_cast<double>(seconds));
  uint32_t ticks = static_cast<uint32_t>(seconds) * kTicksPerSecond;
  if (g_Dilay_Time_Cut[0] == 'Y') ticks = ticks / kTicksPerTenthHour * kTicksPerTenthHour;
  WriteSnmpLogF(0, kLogSleepTicks, address, static_cast<int>(ticks / kTicksPerSecond),
                static_cast<int>(ticks / kTicksPerHour),
                static_cast<int>(ticks % kTicksPerHour / kTicksPerTenthHour));
  return ticks;
}

// The sleep sequence of a power failure: return sleep time 0, then the sleep control.
uint32_t PowerFailSleep(const char *address, const char *return_line, uint32_t return_line_code) {
  WriteSnmpLogF(return_line_code, return_line, address, static_cast<int>(kReturnSleepTicks));
  uint32_t ticks = kReturnSleepTicks;
  uint32_t result =
      SnmpSetByAddress(address, kUpsAdvConfigSleepTime.oid, kUpsAdvConfigSleepTime.type, &ticks);
  if (result != SNMP_RESULT_OK)
    WriteSnmpLogF(result, kLogPowerFailReturnSleepError, static_cast<int>(result));
  WriteSnmpLogF(0, kLogPowerFailSleep, address, kSleepControl);
  return SetControl(address, kUpsAdvControlUpsSleep, kSleepControl, false);
}

}  // namespace

QP_DLL_EXPORT int SetUpsOffbySnmp(const char *address, int value, int mode) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallOff, address, value, mode);
  bool outlet = mode == kOutletMode;
  if (outlet && value == kTurnOffGraceful) {
    char state[SNMP_TEXT_BUFFER] = {0};
    uint32_t read =
        SnmpGetByAddress(address, kUpsBasicStateOutputState.oid, kUpsBasicStateOutputState.type, state, 2);
    if (read != SNMP_RESULT_OK) {
      WriteSnmpLogF(read, kLogOutputStateError, address);
    } else if (state[OUTPUT_STATE_GRACEFUL_SHUTDOWN] == '1') {
      WriteSnmpLogF(0, kLogGracefulShutdown, address);
      return 1;
    }
  }
  uint32_t result = SetControl(address, kUpsAdvControlUpsOff, value, outlet);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogOffError, address);
  return 0;
}

QP_DLL_EXPORT int SetUpsOnbySnmp(const char *address, int value, int mode) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallOn, address, value, mode);
  uint32_t result = SetControl(address, kUpsAdvControlTurnOnUps, value, mode == kOutletMode);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogOnError, address);
  return 0;
}

QP_DLL_EXPORT int SetUpsShutdownDelaybySnmp(const char *address, int seconds) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallShutdownDelay, address, seconds);
  if (RefuseNegativeTime(address, seconds, kLogShutdownDelayError)) return 0;
  uint32_t ticks = static_cast<uint32_t>(seconds) * kTicksPerSecond;
  uint32_t result =
      SnmpSetByAddress(address, kUpsAdvConfigShutoffDelay.oid, kUpsAdvConfigShutoffDelay.type, &ticks);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogShutdownDelayError, address);
  return 0;
}

QP_DLL_EXPORT int SetUpsSleepTimeSnmp(const char *address, int seconds) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallSleepTime, address);
  if (RefuseNegativeTime(address, seconds, kLogSleepTimeError1)) return 0;
  uint32_t ticks = SleepTicks(address, seconds, kLogSleepTimeSeconds);
  uint32_t result =
      SnmpSetByAddress(address, kUpsAdvConfigSleepTime.oid, kUpsAdvConfigSleepTime.type, &ticks);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogSleepTimeError1, address);
  return 0;
}

QP_DLL_EXPORT int SetUpsSleepOffbySnmp(const char *address, int command, int seconds) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallSleepOff, address, command);
  if (RefuseNegativeTime(address, seconds, kLogSleepOffError1)) return 0;
  uint32_t ticks = SleepTicks(address, seconds, kLogSleepOffSeconds);
  uint32_t result =
      SnmpSetByAddress(address, kUpsAdvConfigSleepTime.oid, kUpsAdvConfigSleepTime.type, &ticks);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogSleepOffError1, address);
    return 0;
  }
  result = SetControl(address, kUpsAdvControlUpsSleep,
                      static_cast<int>(static_cast<uint32_t>(command) - kSleepCommandBase), false);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogSleepOffError2, address);
  return 0;
}

QP_DLL_EXPORT int SetUpsPowerFailOffbySnmp(const char *address) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallPowerFail, address);
  int status = UNKNOWN_VALUE;
  uint32_t read =
      SnmpGetByAddress(address, kUpsBasicOutputStatus.oid, kUpsBasicOutputStatus.type, &status, 0);
  if (read != SNMP_RESULT_OK) {
    WriteSnmpLogF(read, kLogPowerFailStatusError, address);
    status = kPresumedOnLineStatus;
  }

  uint32_t outcome;
  if (OneOf(status, kStatusesConserve)) {
    WriteSnmpLogF(static_cast<uint32_t>(status), kLogPowerFailConserve, address, kConserveBattery);
    outcome = SetControl(address, kUpsBasicControlConserveBattery, kConserveBattery, false);
    // A refusal by the agent falls back to the sleep sequence; a transport failure does not.
    if (outcome != SNMP_RESULT_OK && outcome != SNMP_RESULT_FAILED) {
      outcome = PowerFailSleep(address, kLogPowerFailReturnSleep, 0);
    }
  } else if (OneOf(status, kStatusesSleep)) {
    outcome = PowerFailSleep(address, kLogPowerFailReturnSleepOnLine, static_cast<uint32_t>(status));
  } else {
    WriteSnmpLogF(0, kLogPowerFailNoRequest, address, status);
    outcome = SNMP_RESULT_OK;
  }
  if (outcome != SNMP_RESULT_OK) WriteSnmpLogF(outcome, kLogPowerFailError, address);
  return 1;
}

QP_DLL_EXPORT int SetUpsSyncActivebySnmp(const char *address, int value) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallSyncActive, address, value);
  uint32_t result = SetControl(address, kScgActiveMembership, value, false);
  if (result == SNMP_RESULT_OK) return 1;
  WriteSnmpLogF(result, kLogSyncActiveError, address);
  return 0;
}

QP_DLL_EXPORT int OutletSetUpsOffbySnmp(const char *address, int group, int command) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallOutletOff, address, group, command);
  // Group 0 names the first outlet group; a negative group names none and fails the call.
  if (group < 0) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogOutletOffError, address);
    return 0;
  }
  if (group == 0) group = 1;
  char oid[96];
  snprintf(oid, sizeof oid, "%s.%d", kOutletGroupCommandPrefix, group);
  uint32_t result = SnmpSetOutletByAddress(address, oid, QP_ASN_INTEGER, &command);
  if (result == SNMP_RESULT_OK) {
    WriteSnmpLog(kLogOutletOffSuccess, 0);
    return 1;
  }
  WriteSnmpLogF(result, kLogOutletOffError, address);
  return 0;
}

QP_DLL_EXPORT int OutletSetUpsOnbySnmp(const char *address, int group) {
  if (!LibraryReady() || address == nullptr) return 0;
  WriteSnmpLogF(0, kLogCallOutletOn, address, group);
  if (group < 0) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogOutletOnError, address);
    return 0;
  }
  if (group == 0) group = 1;
  char oid[96];
  snprintf(oid, sizeof oid, "%s.%d", kOutletGroupCommandPrefix, group);
  int command = kOutletSwitchOn;
  uint32_t result = SnmpSetOutletByAddress(address, oid, QP_ASN_INTEGER, &command);
  if (result == SNMP_RESULT_OK) {
    WriteSnmpLogF(0, kLogOutletOnSuccess, address);
    return 1;
  }
  WriteSnmpLogF(result, kLogOutletOnError, address);
  return 0;
}
