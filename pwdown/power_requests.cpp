// Power-off and cluster shutdown requests: PowerOffByLumo, PowerOffByLumo2, PowerOffByLumoEx,
// QuoPcClusterShutDown, QuoPcClusterShutDown2 and CheckApiReboot.
#include <stdio.h>
#include <string.h>

#include "pwdown_internal.h"

namespace {

// The largest delay whose value in milliseconds fits in 32 bits.
constexpr uint32_t kMaxPowerOffSeconds = 4294967;
// Bit of item "012" that allows a power-off from this program (the automatic-local flag).
constexpr unsigned kAutoLocalFlag = 0x40;
// The delay runs in this many equal sleeps.
constexpr int kDelaySlices = 10;
constexpr int kSystemTypeFull = 2;

// Request codes of this module.
constexpr char kCodeItem012[] = "012";
constexpr char kCodePowerOff[] = "APF";
constexpr char kCodePowerOffMode[] = "APD";
constexpr char kCodeClusterShutdown[] = "CSD";
constexpr char kCodeClusterShutdown2[] = "AD1";
constexpr char kCodeRebootState[] = "RBC";

// Entry log texts.
constexpr char kLogPowerOffByLumo[] = "PowerOffByLumo";
constexpr char kLogPowerOffByLumo2[] = "PowerOffByLumo2";
constexpr char kLogPowerOffByLumoEx[] = "PowerOffByLumoEx";
constexpr char kLogClusterShutDown[] = "QuoPcClusterShutDown";
constexpr char kLogClusterShutDown2[] = "QuoPcClusterShutDown2";

// Reads item "012" and checks its automatic-local flag: 0, the request's error, or
// PC_ERR_AUTO_LOCAL_OFF when the flag is clear or the item is not a hex byte.
uint32_t CheckAutoLocal(PcConnection *connection) {
  const char *data = nullptr;
  uint32_t length = 2;
  uint32_t error = 0;
  if (!SendCmdWithResponseData(connection, kCodeItem012, &data, &length, false, &error)) return error;
  // Exactly two hex digits: a sign, a blank or any other character reads as the flag clear.
  int high = HexDigit(data[0]);
  int low = HexDigit(data[1]);
  unsigned value = (high < 0 || low < 0) ? 0u : static_cast<unsigned>(high * 16 + low);
  if ((value & kAutoLocalFlag) == 0) return PC_ERR_AUTO_LOCAL_OFF;
  return 0;
}

// The delay before a power-off request, on the caller's thread with the connection open.
void WaitBeforePowerOff(uint32_t seconds) {
  for (int i = 0; i < kDelaySlices; ++i) qp_sleep_ms(seconds * 100);
}

// The exchange shared by the power-off exports once the gate and the arguments have passed:
// the "012" check when asked, the delay, then CODE with PAYLOAD.
int PowerOffExchange(bool check_auto_local, uint32_t seconds, const char *code, const char *payload,
                     uint32_t n) {
  PcConnection connection;
  uint32_t error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  if (check_auto_local) {
    error = CheckAutoLocal(&connection);
    if (error != 0) {
      CloseCommandPipe(&connection);
      return PcFail(error);
    }
  }
  WaitBeforePowerOff(seconds);
  bool ok = SendCmdWithData(&connection, code, payload, n, true, &error);
  CloseCommandPipe(&connection);
  return ok ? 1 : PcFail(error);
}

int PowerOffWithMode(const char *entry_text, uint32_t entry_code, uint32_t seconds, int mode) {
  WriteLibraryLog(entry_text, entry_code, &g_LibraryLog);
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (seconds > kMaxPowerOffSeconds || mode < 0 || mode > 3) return PcFail(ERROR_INVALID_PARAMETER);
  int type = GetSystemTypeFromRegistry();
  if (type == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  char payload[8];
  snprintf(payload, sizeof payload, "%02x", static_cast<unsigned>(mode));
  return PowerOffExchange(type == kSystemTypeFull && (mode & 3) == 0, seconds, kCodePowerOffMode, payload, 2);
}

int ClusterShutdown(const char *entry_text, const char *code, int mode) {
  WriteLibraryLog(entry_text, static_cast<uint32_t>(mode), &g_LibraryLog);
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (GetSystemTypeFromRegistry() == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  PcConnection connection;
  error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  // Only the first character of the decimal mode goes out: the service reads it as one
  // hexadecimal digit.
  snprintf(connection.scratch, sizeof connection.scratch, "%d", mode);
  bool ok = SendCmdWithData(&connection, code, connection.scratch, 1, true, &error);
  CloseCommandPipe(&connection);
  return ok ? 1 : PcFail(error);
}

}  // namespace

QP_DLL_EXPORT int PowerOffByLumo(uint32_t seconds) {
  WriteLibraryLog(kLogPowerOffByLumo, 0, &g_LibraryLog);
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (seconds > kMaxPowerOffSeconds) return PcFail(ERROR_INVALID_PARAMETER);
  int type = GetSystemTypeFromRegistry();
  if (type == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  return PowerOffExchange(type == kSystemTypeFull, seconds, kCodePowerOff, nullptr, 0);
}

QP_DLL_EXPORT int PowerOffByLumo2(uint32_t seconds, int mode) {
  return PowerOffWithMode(kLogPowerOffByLumo2, static_cast<uint32_t>(mode), seconds, mode);
}

QP_DLL_EXPORT int PowerOffByLumoEx(uint32_t seconds, int mode) {
  return PowerOffWithMode(kLogPowerOffByLumoEx, 0, seconds, mode);
}

QP_DLL_EXPORT int QuoPcClusterShutDown(int mode) {
  return ClusterShutdown(kLogClusterShutDown, kCodeClusterShutdown, mode);
}

QP_DLL_EXPORT int QuoPcClusterShutDown2(int mode) {
  return ClusterShutdown(kLogClusterShutDown2, kCodeClusterShutdown2, mode);
}

// Fails with PC_ERR_FAILED when the request fails in any way, and also when the service's
// answer is not a decimal digit, since no reboot state can be read from it.
QP_DLL_EXPORT int CheckApiReboot(int *state) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (state == nullptr) return PcFail(ERROR_INVALID_PARAMETER);
  if (GetSystemTypeFromRegistry() == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  PcConnection connection;
  error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  const char *data = nullptr;
  uint32_t length = 1;
  bool ok = SendCmdWithResponseData(&connection, kCodeRebootState, &data, &length, true, &error);
  CloseCommandPipe(&connection);
  if (!ok || data[0] < '0' || data[0] > '9') return PcFail(PC_ERR_FAILED);
  *state = data[0] - '0';
  return 1;
}
