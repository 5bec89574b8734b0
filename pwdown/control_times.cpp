// One power-off/power-on pair and the service's times: SetPowerControlTime,
// GetPowerControlTime and GetPowerFailLastTime.
#include <string.h>

#include "schedule_internal.h"

namespace {

// Request codes of this module.
constexpr char kCodeFirstControlTime[] = "SC0";
constexpr char kCodeSecondControlTime[] = "SC2";
constexpr char kCodeLastPowerFail[] = "PW0";
// Data lengths the service answers with.
constexpr uint32_t kControlTimeDigits = 10;
constexpr uint32_t kPowerFailDigits = 5;
// Two-digit years from here on are in the 1900s.
constexpr int kCenturySplit = 70;

// Parses the first twelve characters of TEXT (a control time; never read past them, so a
// twelve-character buffer without a terminator is read safely) into DATE: true when valid.
bool ParseControlTime(const char *text, DateTime *date) {
  if (text == nullptr) return false;
  ParseDateTime(text, static_cast<uint32_t>(strnlen(text, kControlTimeLength)), date);
  return CheckDateTime(*date) == kDateValid;
}

// OFF must come before ON, and less than a year before it.
bool OffComesShortlyBeforeOn(const DateTime &off, const DateTime &on) {
  if (on.year == off.year) return DateKey(on) > DateKey(off);
  if (on.year == off.year + 1) return DateKey(on) < DateKey(off);
  return false;
}

// Writes the schedule file of one change from RECORDS (COUNT records of 16 bytes) and tells the
// service: 0 or the export's error. The session is held by the caller.
uint32_t ChangeSchedule(ScheduleFiles *files, const char *records, uint32_t count, int system_type) {
  uint32_t error = ScheduleReady(files);
  if (error != 0) return error;
  if (!BackupScheduleFile(files)) {
    WriteLibraryLog(kLogBackupFailed, GetLastError(), &g_LibraryLog);
    return PC_ERR_FAILED;
  }
  qp_file *new_file = CreateNewScheduleFile(files);
  if (new_file == nullptr) {
    WriteLibraryLog(kLogCreateFailed, GetLastError(), &g_LibraryLog);
    RestoreScheduleFile(files);
    return ERROR_FILE_NOT_FOUND;
  }
  uint32_t written = 0;
  uint32_t size = count * kScheduleRecordSize;
  uint32_t rc = qp_file_write(new_file, records, size, &written);
  if (rc != ERROR_SUCCESS || written != size) {
    WriteLibraryLog(kLogWriteFailed, rc, &g_LibraryLog);
    DiscardNewScheduleFile(files, new_file);
    RestoreScheduleFile(files);
    return PC_ERR_FAILED;
  }
  rc = ReplaceScheduleFile(files, new_file);
  if (rc != ERROR_SUCCESS) {
    WriteLibraryLog(kLogReplaceFailed, rc, &g_LibraryLog);
    RestoreScheduleFile(files);
    return PC_ERR_FAILED;
  }
  error = TellServiceScheduleChanged(system_type);
  if (error != 0) {
    WriteLibraryLog(kLogServiceFailed, error, &g_LibraryLog);
    if (!RestoreScheduleFile(files)) WriteLibraryLog(kLogRestoreFailed, GetLastError(), &g_LibraryLog);
    return error;
  }
  // The service has the new schedule. A backup that cannot be deleted would be put back by the
  // next call; the change still happened, so it is logged, not reported.
  if (!CommitScheduleChange(files)) WriteLibraryLog(kLogCommitFailed, GetLastError(), &g_LibraryLog);
  WriteLibraryLog(kLogScheduleChanged, count, &g_LibraryLog);
  return 0;
}

// Reads one control time with CODE into OUT (twelve characters, no terminator): 0 or the
// export's error. Ten digits must come; anything else is no time.
uint32_t ReadControlTime(PcConnection *connection, const char *code, char *out) {
  const char *data = nullptr;
  uint32_t length = kControlTimeDigits;
  uint32_t error = 0;
  if (!SendCmdWithResponseData(connection, code, &data, &length, true, &error)) return error;
  for (uint32_t i = 0; i < kControlTimeDigits; ++i)
    if (data[i] < '0' || data[i] > '9') return PC_ERR_FAILED;
  int two_digit_year = (data[0] - '0') * 10 + (data[1] - '0');
  memcpy(out, two_digit_year >= kCenturySplit ? "19" : "20", 2);
  memcpy(out + 2, data, kControlTimeDigits);
  return 0;
}

// The five characters of the "PW0" answer as a decimal number, read as "%d" reads them but
// whole: blanks, then an optional sign, then digits up to the last character. False for
// anything else.
bool ParsePowerFailValue(const char *data, int *value) {
  uint32_t i = 0;
  while (i < kPowerFailDigits && data[i] == ' ') ++i;
  bool negative = false;
  if (i < kPowerFailDigits && (data[i] == '-' || data[i] == '+')) negative = data[i++] == '-';
  if (i == kPowerFailDigits) return false;
  int number = 0;
  for (; i < kPowerFailDigits; ++i) {
    if (data[i] < '0' || data[i] > '9') return false;
    number = number * 10 + (data[i] - '0');
  }
  *value = negative ? -number : number;
  return true;
}

}  // namespace

QP_DLL_EXPORT int SetPowerControlTime(const char *on, const char *off) {
  WriteLibraryLog(kLogSetPowerControlTime, 0, &g_LibraryLog);
  ScheduleFiles files;
  OpenScheduleSession(&files);
  uint32_t error = CheckQuoPcGate();
  int type = kSystemTypeUnknown;
  if (error == 0) {
    type = GetSystemTypeFromRegistry();
    if (type == kSystemTypeUnknown) error = PC_ERR_FAILED;
  }
  DateTime on_time, off_time;
  if (error == 0 && (!ParseControlTime(on, &on_time) || !ParseControlTime(off, &off_time) ||
                     !OffComesShortlyBeforeOn(off_time, on_time)))
    error = ERROR_INVALID_PARAMETER;
  if (error == 0) {
    // The records drop the century: characters 2 to 11 of each time.
    char records[2 * kScheduleRecordSize];
    BuildScheduleRecord(off + 2, kKindPowerOff, records);
    BuildScheduleRecord(on + 2, kKindPowerOn, records + kScheduleRecordSize);
    error = ChangeSchedule(&files, records, 2, type);
  }
  CloseScheduleSession(&files);
  return error == 0 ? 1 : PcFail(error);
}

QP_DLL_EXPORT int GetPowerControlTime(char *first, char *second) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (first == nullptr || second == nullptr) return PcFail(ERROR_INVALID_PARAMETER);
  PcConnection connection;
  error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  error = ReadControlTime(&connection, kCodeFirstControlTime, first);
  if (error == 0) error = ReadControlTime(&connection, kCodeSecondControlTime, second);
  CloseCommandPipe(&connection);
  return error == 0 ? 1 : PcFail(error);
}

// Every failure of the request, and an answer that is not a number, is PC_ERR_FAILED.
QP_DLL_EXPORT int GetPowerFailLastTime(int *value) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (value == nullptr) return PcFail(ERROR_INVALID_PARAMETER);
  if (GetSystemTypeFromRegistry() == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  PcConnection connection;
  error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  const char *data = nullptr;
  uint32_t length = kPowerFailDigits;
  bool ok = SendCmdWithResponseData(&connection, kCodeLastPowerFail, &data, &length, true, &error);
  CloseCommandPipe(&connection);
  int number = 0;
  if (!ok || !ParsePowerFailValue(data, &number)) return PcFail(PC_ERR_FAILED);
  *value = number;
  return 1;
}
