// Cluster and shared-disk status: GetKyTesseraStatus, GetKyShareDiskStatus, GetLumoSlotInfo,
// GetPCSystemType and GetQuoKyVersion.
//
// GetKyTesseraStatus and GetKyShareDiskStatus open the pipe in their own way, with fixed
// numbers of attempts and pauses (all on the platform's scaled clock), and trace every step
// in "pwdown.log". GetKyTesseraStatus degrades to the safe reading of a bit (cluster switch
// off, automatic power-on on) when a request fails; GetKyShareDiskStatus reports through its
// result number only.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>

#include "power_condition.h"
#include "pwdown_internal.h"

namespace {

// ---- Texts, codes and counts ----

constexpr char kCompanionKey[] = "SOFTWARE\\Tarvos\\QUORIN/KY_E";
constexpr char kValueSnmp[] = "SNMP";
constexpr char kShareDiskFile[] = "\\DATA\\SHARE_DK.APC";

constexpr char kCodeClusterInstalled[] = "C06";
constexpr char kCodeClusterSwitch[] = "C02";
constexpr char kCodeAutoPowerOn[] = "RR2";
constexpr char kCodeItem012[] = "012";
constexpr char kCodeShareDisk[] = "K02";

// Log texts, in the order the exports write them.
constexpr char kLogTesseraStatus[] = "GetKyTesseraStatus";
constexpr char kLogInstallError[] = "IsQuoPcInstall ERROR";
constexpr char kLogServiceError[] = "IsQuoPcServiceRunning ERROR";
constexpr char kLogSystemTypeError[] = "SystemType ERROR";
constexpr char kLogPipeModeError[] = "SetNamedPipeHandleState ERROR";
constexpr char kLogC06Error[] = "C06 ERROR";
constexpr char kLogClusterInstalled[] = "ClusteInst 1";
constexpr char kLogClusterNotInstalled[] = "ClusteInst 0";
constexpr char kLogC02Error[] = "C02 ERROR";
constexpr char kLogRr2Error[] = "RR2 ERROR";
constexpr char kLog012Error[] = "012 ERROR";
constexpr char kLogSwitchOn[] = "VexSw 1";
constexpr char kLogSwitchOff[] = "VexSw 0";
constexpr char kLogAutoLocalOn[] = "AutoLocal 1";
constexpr char kLogAutoLocalOff[] = "AutoLocal 0";
constexpr char kLogNotParameter[] = "NOT_PARAMETER";

constexpr char kLogShareDiskStatus[] = "GetKyShareDiskStatus";
constexpr char kLogKyeInstallError[] = "QuorinKyeInstall ERROR";
constexpr char kLogServiceProbe[] = "IsQuoPcServiceRunning";
constexpr char kLogSystemTypeProbe[] = "GetSystemTypeFromRegistry";
constexpr char kLogSnmpInfo1[] = "CheckSnmpKyInfo1";
constexpr char kLogSnmpInfo1Error[] = "CheckSnmpKyInfo1 ERROR(NOT_SNMP)";
constexpr char kLogSnmpInfo2[] = "CheckSnmpKyInfo2";
constexpr char kLogSnmpInfo2In[] = "CheckSnmpKyInfo2 IN";
constexpr char kLogQuerySnmp[] = "RegQueryValueEx(SNMP)";
constexpr char kLogCloseKey[] = "RegCloseKey";
constexpr char kLogSnmpInfo2Error[] = "CheckSnmpKyInfo2 ERROR(NOT_SNMP)";
constexpr char kLogCreatePipe[] = "CreateFile Pile";
constexpr char kLogConnectError[] = "Pipe Connect ERROR";
constexpr char kLogConnectSuccess[] = "Pipe Connect Success";
constexpr char kLogSendK02[] = "SendCmdWithResponseData(K02)";
constexpr char kLogK02Error[] = "K02 ERROR";
constexpr char kLogK02Success[] = "K02 SUCCESS";
constexpr char kLogAttemptsOver[] = "PipeCounter ERROR END";
constexpr char kLogPathError[] = "GetReg_LumoPathName() ERROR";
constexpr char kLogOpenError[] = "CreateFile(SHARE_DK.APC) OPEN ERROR";
constexpr char kLogOpenErrorEnd[] = "CreateFile(SHARE_DK.APC) OPEN ERROR END";
constexpr char kLogSizeError[] = "DiskFileSize ERROR";
constexpr char kLogEmptyFile[] = "NOT_SHAREDISK==0 ERROR";
constexpr char kLogFileSize[] = "DiskFileSize = %d";
constexpr char kLogSizeQuery[] = "*Buff_Size == 0";
constexpr char kLogBufferSmall[] = "DiskFileSize > *Buff_Size";
constexpr char kLogNoMemory[] = "DiskFpData == 0 ERROR";
constexpr char kLogReadError[] = "ReadFile(DiskFp) ERROR";
constexpr char kLogReadErrorEnd[] = "ReadFile(DiskFp) ERROR END";

// Status word bits of GetKyTesseraStatus.
constexpr int kBitClusterSwitch = 0x01;
constexpr int kBitAutoLocal = 0x02;
// Bit of item "012" that means automatic local power-on; the safe reading of the item.
constexpr unsigned kAutoLocalFlag = 0x40;
constexpr unsigned kItemSafeReading = 0x40;

// Pipe opens of GetKyTesseraStatus, each failed one followed by a pause.
constexpr int kTesseraOpenAttempts = 11;
constexpr uint32_t kTesseraOpenPauseMs = 1000;

// Results of GetKyShareDiskStatus.
enum ShareDiskResult : int {
  kShareDiskCopied = 0,
  kShareDiskNoCompanion = 1,
  kShareDiskBufferSmall = 2,
  kShareDiskEmpty = 3,
  kShareDiskK02Failed = 4,
  kShareDiskFailed = 5,
  kShareDiskNotSnmp = 6,
  kShareDiskBadParameter = 87,
  kShareDiskNoService = 256,
};
constexpr int kServiceWaits = 61;  // pauses between the (at most 62) service probes
constexpr uint32_t kServiceWaitMs = 1000;
constexpr int kRegistryAttempts = 10;
constexpr uint32_t kRegistryPauseMs = 100;
constexpr int kK02Attempts = 360;
constexpr uint32_t kK02PauseMs = 1000;
constexpr int kFileAttempts = 3;
constexpr uint32_t kFilePauseMs = 1000;
constexpr uint8_t kLumoComSnmp = 9;
constexpr uint32_t kSnmpValueSize = 33;
constexpr size_t kPathSize = 260;

void Log(const char *text, uint32_t code = 0) {
  WriteLibraryLog(text, code, &g_LibraryLog);
}

// ---- Shared helpers ----

// Value of the first data character as a hex digit; -1 when there is none or it is not one.
int FirstHexDigit(const char *data, uint32_t length) {
  return length == 0 ? -1 : HexDigit(data[0]);
}

// Opens the pipe once, without waiting for a busy pipe, and sets message read mode. The
// connection, or false with nothing open.
bool OpenPipeOnce(PcConnection *connection, bool *mode_failed) {
  connection->pipe = nullptr;
  *mode_failed = false;
  qp_pipe *pipe = nullptr;
  if (qp_pipe_open(kCommandPipeName, &pipe) != ERROR_SUCCESS) return false;
  if (qp_pipe_set_message_mode(pipe) != ERROR_SUCCESS) {
    qp_pipe_close(pipe);
    *mode_failed = true;
    return false;
  }
  connection->pipe = pipe;
  return true;
}

// ---- GetKyTesseraStatus ----

// "C06", then "C02" when the cluster manager is installed: whether the cluster switch is on.
bool ReadClusterSwitch(PcConnection *connection) {
  const char *data = nullptr;
  uint32_t length = 0, error = 0;
  if (!SendCmdWithResponseData(connection, kCodeClusterInstalled, &data, &length, false, &error)) {
    Log(kLogC06Error);
    Log(kLogClusterNotInstalled);
    return false;
  }
  if (FirstHexDigit(data, length) != 1) {
    Log(kLogClusterNotInstalled);
    return false;
  }
  Log(kLogClusterInstalled);
  length = 0;
  if (!SendCmdWithResponseData(connection, kCodeClusterSwitch, &data, &length, false, &error)) {
    Log(kLogC02Error);
    return false;
  }
  int state = FirstHexDigit(data, length);
  return state == 1 || state == 2 || state == 4 || state == 5;
}

// "RR2", then item "012" when it answers a non-zero digit: the byte whose bit 0x40 is the
// automatic local power-on. A failed or unreadable answer gives the safe reading.
unsigned ReadAutoLocalItem(PcConnection *connection) {
  const char *data = nullptr;
  uint32_t length = 1, error = 0;
  int rr2 = -1;
  if (SendCmdWithResponseData(connection, kCodeAutoPowerOn, &data, &length, false, &error))
    rr2 = FirstHexDigit(data, length);
  if (rr2 < 0) {
    Log(kLogRr2Error);
    rr2 = 0;
  }
  if (rr2 == 0) return kItemSafeReading;
  length = 2;
  if (SendCmdWithResponseData(connection, kCodeItem012, &data, &length, false, &error)) {
    int high = HexDigit(data[0]);
    int low = HexDigit(data[1]);
    if (high >= 0 && low >= 0) return static_cast<unsigned>(high * 16 + low);
  }
  Log(kLog012Error);
  return kItemSafeReading;
}

// ---- GetKyShareDiskStatus ----

// Opens registry key SUBKEY, with a pause after each failed attempt but the last.
qp_regkey *OpenKeyWithRetries(const char *subkey) {
  for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
    qp_regkey *key = nullptr;
    if (qp_reg_open_key(subkey, &key) == ERROR_SUCCESS) return key;
    if (attempt + 1 < kRegistryAttempts) qp_sleep_ms(kRegistryPauseMs);
  }
  return nullptr;
}

// Reads value NAME of KEY into BUFFER (SIZE bytes), with the same retries. *GOT gets the
// data's size.
bool ReadValueWithRetries(qp_regkey *key, const char *name, void *buffer, uint32_t size, uint32_t *got) {
  for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
    *got = size;
    if (qp_reg_query_value(key, name, nullptr, buffer, got) == ERROR_SUCCESS) return true;
    if (attempt + 1 < kRegistryAttempts) qp_sleep_ms(kRegistryPauseMs);
  }
  return false;
}

// The first byte of "LumoCom", read as a whole value of any size (a size query, then the
// read), with the same retries; false when missing or empty.
bool ReadLumoComFirstByte(qp_regkey *key, uint8_t *first) {
  for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
    uint32_t size = 0;
    if (qp_reg_query_value(key, kValueLumoCom, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
      std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
      uint32_t got = size;
      if (data != nullptr &&
          qp_reg_query_value(key, kValueLumoCom, nullptr, data.get(), &got) == ERROR_SUCCESS && got > 0) {
        *first = data[0];
        return true;
      }
    }
    if (attempt + 1 < kRegistryAttempts) qp_sleep_ms(kRegistryPauseMs);
  }
  return false;
}

// The UPS units communicate over SNMP: "LumoCom" of the product is 9.
bool CheckSnmpKyInfo1() {
  Log(kLogSnmpInfo1);
  qp_regkey *key = OpenKeyWithRetries(kProductKey);
  uint8_t com = 0;
  bool ok = key != nullptr && ReadLumoComFirstByte(key, &com) && com == kLumoComSnmp;
  if (key != nullptr) qp_reg_close_key(key);
  if (!ok) Log(kLogSnmpInfo1Error);
  return ok;
}

// The companion product's SNMP option is on: its "SNMP" starts with "1".
bool CheckSnmpKyInfo2() {
  Log(kLogSnmpInfo2);
  Log(kLogSnmpInfo2In);
  bool ok = false;
  qp_regkey *key = OpenKeyWithRetries(kCompanionKey);
  if (key != nullptr) {
    Log(kLogQuerySnmp);
    char value[kSnmpValueSize] = {};
    uint32_t got = 0;
    ok = ReadValueWithRetries(key, kValueSnmp, value, sizeof value, &got) && got > 0 && value[0] == '1';
    Log(kLogCloseKey);
    qp_reg_close_key(key);
  }
  if (!ok) Log(kLogSnmpInfo2Error);
  return ok;
}

// Waits about a minute for the main service: true once it runs.
bool WaitForService() {
  for (int waits = 0;; ++waits) {
    Log(kLogServiceProbe);
    if (IsQuoPcServiceRunning()) return true;
    Log(kLogServiceError);
    if (waits == kServiceWaits) return false;
    qp_sleep_ms(kServiceWaitMs);
  }
}

// Has the service write "SHARE_DK.APC" with "K02", a fresh connection per attempt: 0 once it
// answered, else the result of the last attempt (4 or 5).
int RequestShareDiskFile() {
  int result = kShareDiskFailed;
  for (int attempt = 0; attempt < kK02Attempts; ++attempt) {
    Log(kLogCreatePipe);
    PcConnection connection;
    bool mode_failed = false;
    if (OpenPipeOnce(&connection, &mode_failed)) {
      Log(kLogConnectSuccess);
      Log(kLogSendK02);
      const char *data = nullptr;
      uint32_t length = 0, error = 0;
      bool ok = SendCmdWithResponseData(&connection, kCodeShareDisk, &data, &length, false, &error);
      CloseCommandPipe(&connection);
      if (ok) {
        Log(kLogK02Success);
        return kShareDiskCopied;
      }
      Log(kLogK02Error);
      result = kShareDiskK02Failed;
    } else if (mode_failed) {
      Log(kLogConnectSuccess);
      Log(kLogPipeModeError);
      result = kShareDiskFailed;
    } else {
      Log(kLogConnectError);
      result = kShareDiskFailed;
    }
    qp_sleep_ms(kK02PauseMs);
  }
  Log(kLogAttemptsOver);
  return result;
}

// Opens "SHARE_DK.APC" for reading without sharing, with its retries; NULL after the last.
qp_file *OpenShareDiskFile(const char *path) {
  for (int attempt = 0; attempt < kFileAttempts; ++attempt) {
    qp_file *file = qp_file_open(path, QP_ACCESS_READ, QP_SHARE_NONE, QP_OPEN_EXISTING);
    if (file != nullptr) return file;
    Log(kLogOpenError, GetLastError());
    qp_sleep_ms(kFilePauseMs);
  }
  Log(kLogOpenErrorEnd);
  return nullptr;
}

// Reads the whole file (SIZE bytes) into BLOCK, with its retries. A read that ends early
// counts as failed: the caller would otherwise get a copy with zeros for the missing part.
bool ReadShareDiskFile(qp_file *file, uint8_t *block, uint32_t size) {
  for (int attempt = 0; attempt < kFileAttempts; ++attempt) {
    uint32_t done = 0;
    uint32_t rc = qp_file_read_at(file, 0, block, size, &done);
    if (rc == ERROR_SUCCESS && done == size) return true;
    Log(kLogReadError, rc != ERROR_SUCCESS ? rc : static_cast<uint32_t>(ERROR_HANDLE_EOF));
    qp_sleep_ms(kFilePauseMs);
  }
  Log(kLogReadErrorEnd);
  return false;
}

// Steps after the service has written the file: copies it to the caller, or answers the size.
int CopyShareDiskFile(uint8_t *buffer, uint32_t *size) {
  char install[kPathSize];
  char path[kPathSize];
  if (!GetReg_LumoPathName(install, sizeof install)) {
    Log(kLogPathError);
    return kShareDiskFailed;
  }
  // A path that would not fit whole names another file: it counts as no install directory.
  int n = snprintf(path, sizeof path, "%s%s", install, kShareDiskFile);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    Log(kLogPathError);
    return kShareDiskFailed;
  }
  Log(path);

  qp_file *file = OpenShareDiskFile(path);
  if (file == nullptr) return kShareDiskFailed;
  uint64_t file_size = 0;
  if (qp_file_size(file, &file_size) != ERROR_SUCCESS || file_size > INT32_MAX) {
    Log(kLogSizeError);
    qp_file_close(file);
    return kShareDiskFailed;
  }
  if (file_size == 0) {
    Log(kLogEmptyFile);
    qp_file_close(file);
    return kShareDiskEmpty;
  }
  uint32_t bytes = static_cast<uint32_t>(file_size);
  char line[64];
  snprintf(line, sizeof line, kLogFileSize, static_cast<int>(bytes));
  Log(line);
  if (*size == 0) {
    Log(kLogSizeQuery);
    qp_file_close(file);
    *size = bytes;
    return kShareDiskCopied;
  }
  if (*size < bytes) {
    Log(kLogBufferSmall);
    qp_file_close(file);
    *size = bytes;
    return kShareDiskBufferSmall;
  }
  std::unique_ptr<uint8_t, decltype(&free)> block(static_cast<uint8_t *>(calloc(bytes, 1)), free);
  if (block == nullptr) {
    Log(kLogNoMemory);
    qp_file_close(file);
    return kShareDiskFailed;
  }
  bool read = ReadShareDiskFile(file, block.get(), bytes);
  qp_file_close(file);
  if (!read) return kShareDiskFailed;
  memcpy(buffer, block.get(), bytes);
  return kShareDiskCopied;
}

}  // namespace

QP_DLL_EXPORT int GetKyTesseraStatus(int *flags) {
  Log(kLogTesseraStatus);
  if (!IsQuoPcInstall()) {
    Log(kLogInstallError);
    return PcFail(PC_ERR_NOT_INSTALLED);
  }
  if (!IsQuoPcServiceRunning()) {
    Log(kLogServiceError);
    return PcFail(PC_ERR_SERVICE);
  }
  if (GetSystemTypeFromRegistry() == kSystemTypeUnknown) {
    Log(kLogSystemTypeError);
    return PcFail(PC_ERR_FAILED);
  }
  if (flags == nullptr) {
    Log(kLogNotParameter);
    return PcFail(ERROR_INVALID_PARAMETER);
  }

  PcConnection connection;
  bool opened = false;
  for (int attempt = 0; attempt < kTesseraOpenAttempts && !opened; ++attempt) {
    bool mode_failed = false;
    opened = OpenPipeOnce(&connection, &mode_failed);
    // A handle that will not take message mode is not tried again.
    if (mode_failed) break;
    if (!opened) qp_sleep_ms(kTesseraOpenPauseMs);
  }
  if (!opened) {
    Log(kLogPipeModeError);
    return PcFail(PC_ERR_FAILED);
  }

  bool cluster_switch = ReadClusterSwitch(&connection);
  unsigned item = ReadAutoLocalItem(&connection);
  CloseCommandPipe(&connection);
  bool auto_local = (item & kAutoLocalFlag) != 0;
  *flags = cluster_switch ? (*flags | kBitClusterSwitch) : (*flags & ~kBitClusterSwitch);
  Log(cluster_switch ? kLogSwitchOn : kLogSwitchOff);
  *flags = auto_local ? (*flags | kBitAutoLocal) : (*flags & ~kBitAutoLocal);
  Log(auto_local ? kLogAutoLocalOn : kLogAutoLocalOff);
  return 1;
}

QP_DLL_EXPORT int GetKyShareDiskStatus(uint8_t *buffer, uint32_t *size) {
  Log(kLogShareDiskStatus);
  // Without a size there is neither a size to answer nor a bound for the copy.
  if (size == nullptr || (buffer == nullptr && *size != 0)) {
    Log(kLogNotParameter);
    return kShareDiskBadParameter;
  }
  qp_regkey *companion = nullptr;
  if (qp_reg_open_key(kCompanionKey, &companion) != ERROR_SUCCESS) {
    Log(kLogKyeInstallError);
    return kShareDiskNoCompanion;
  }
  qp_reg_close_key(companion);
  if (!WaitForService()) {
    SetLastError(PC_ERR_SERVICE);
    return kShareDiskNoService;
  }
  Log(kLogSystemTypeProbe);
  int type = GetSystemTypeFromRegistry();
  if (type != kSystemType0 && type != kSystemType2) {
    Log(kLogSystemTypeError, static_cast<uint32_t>(type));
    return kShareDiskNotSnmp;
  }
  if (!CheckSnmpKyInfo1() || !CheckSnmpKyInfo2()) return kShareDiskNotSnmp;
  int result = RequestShareDiskFile();
  if (result != kShareDiskCopied) return result;
  return CopyShareDiskFile(buffer, size);
}

QP_DLL_EXPORT int GetLumoSlotInfo(uint8_t *record) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (record == nullptr || record[0] != kRecordVersion) return PcFail(ERROR_INVALID_PARAMETER);
  int type = GetSystemTypeFromRegistry();
  if (type == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  if (type != kSystemType2) return PcFail(PC_ERR_UNSUPPORTED);
  uint8_t slots[kSlotAreaSize] = {};
  error = ReadSlotInfo(slots);
  if (error != 0) return PcFail(error);
  memcpy(record + 1, slots, kSlotCount);
  return 1;
}

QP_DLL_EXPORT int GetPCSystemType() {
  if (!IsQuoPcInstall()) {
    SetLastError(PC_ERR_NOT_INSTALLED);
    return kSystemTypeUnknown;
  }
  return GetSystemTypeFromRegistry();
}

// The version of this interface.
QP_DLL_EXPORT int GetQuoKyVersion() {
  return 1;
}
