// Power calendars: ConvertPowerCalendar turns a whole calendar into the schedule file, marking
// every line with its result code; GetPowerCalendar copies the schedule file out.
#include <stdio.h>
#include <string.h>

#include "schedule_internal.h"

namespace {

// Log texts of the conversion. The code of a line's message is the line's number.
constexpr char kLogCalendarOpenFailed[] = "CALENDAR: cannot be opened for reading";
constexpr char kLogCalendarNotWritable[] = "CALENDAR: cannot be opened for writing (read-only?)";
constexpr char kLogCalendarFailed[] = "CALENDAR: read, mark or record failed, schedule kept";
constexpr char kLogCalendarOrder[] = "CALENDAR: line not later than the one before (20), schedule kept";
constexpr char kLogCalendarTooLong[] = "CALENDAR: line without CR LF in 2047 bytes (91), schedule kept";
constexpr char kLogCalendarNoLineEnd[] = "CALENDAR: last line without CR LF (92), schedule kept";
constexpr char kLogCalendarEmpty[] = "CALENDAR: no line accepted, schedule kept";
constexpr char kLogCalendarSkipped[] = "CALENDAR: lines skipped";

// Records are gathered and written to the new schedule file in blocks.
constexpr uint32_t kRecordBlock = 256;

// The calendar and the new schedule of one conversion, behind its CalendarIo.
struct CalendarFiles {
  qp_file *reader;  // the calendar, read
  qp_file *marker;  // the calendar, written: only the result columns
  qp_file *schedule;
  char records[kRecordBlock * kScheduleRecordSize];
  uint32_t pending;  // records gathered, not yet written
};

uint32_t ReadCalendar(void *context, uint64_t offset, char *buffer, uint32_t size, uint32_t *done) {
  return qp_file_read_at(static_cast<CalendarFiles *>(context)->reader, offset, buffer, size, done);
}

uint32_t MarkLine(void *context, uint64_t offset, const char *code) {
  uint32_t done = 0;
  uint32_t rc = qp_file_write_at(static_cast<CalendarFiles *>(context)->marker, offset, code, 2, &done);
  return rc == ERROR_SUCCESS && done != 2 ? ERROR_WRITE_FAULT : rc;
}

uint32_t FlushRecords(CalendarFiles *files) {
  if (files->pending == 0) return ERROR_SUCCESS;
  uint32_t size = files->pending * kScheduleRecordSize;
  uint32_t done = 0;
  uint32_t rc = qp_file_write(files->schedule, files->records, size, &done);
  files->pending = 0;
  return rc == ERROR_SUCCESS && done != size ? ERROR_WRITE_FAULT : rc;
}

uint32_t AddRecord(void *context, const char *record) {
  CalendarFiles *files = static_cast<CalendarFiles *>(context);
  memcpy(files->records + files->pending * kScheduleRecordSize, record, kScheduleRecordSize);
  if (++files->pending < kRecordBlock) return ERROR_SUCCESS;
  return FlushRecords(files);
}

// The log line of a conversion that ended early, with the number of the line.
void LogAbandon(const CalendarOutcome &outcome) {
  const char *text = kLogCalendarFailed;
  if (outcome.error == PC_ERR_CAL_ORDER) text = kLogCalendarOrder;
  if (outcome.error == PC_ERR_CAL_LINE) text = kLogCalendarTooLong;
  if (outcome.error == PC_ERR_UNSUPPORTED) text = kLogCalendarNoLineEnd;
  WriteLibraryLog(text, outcome.abandon_line, &g_LibraryLog);
  if (outcome.os_error != 0) WriteLibraryLog(kLogCalendarFailed, outcome.os_error, &g_LibraryLog);
}

// Runs the conversion once the calendar is open: backup, the line loop into a new schedule
// file, the replacement and the service. 0, PC_ERR_CAL_SKIPPED (schedule replaced), or the
// error of a conversion that left the schedule as it was.
uint32_t ConvertOpenCalendar(ScheduleFiles *session, CalendarFiles *calendar, int system_type) {
  uint32_t error = ScheduleReady(session);
  if (error != 0) return error;
  if (!BackupScheduleFile(session)) {
    WriteLibraryLog(kLogBackupFailed, GetLastError(), &g_LibraryLog);
    return PC_ERR_FAILED;
  }
  calendar->schedule = CreateNewScheduleFile(session);
  if (calendar->schedule == nullptr) {
    WriteLibraryLog(kLogCreateFailed, GetLastError(), &g_LibraryLog);
    RestoreScheduleFile(session);
    return ERROR_FILE_NOT_FOUND;
  }

  CalendarIo io = {calendar, ReadCalendar, MarkLine, AddRecord};
  CalendarOutcome outcome;
  ConvertCalendarLines(&io, &outcome);
  if (outcome.error == 0) {
    uint32_t rc = FlushRecords(calendar);
    if (rc != ERROR_SUCCESS) {
      outcome.error = PC_ERR_FAILED;
      outcome.os_error = rc;
    }
  }
  qp_file_flush(calendar->marker);  // the result columns, as far as they got
  if (outcome.error != 0) {
    LogAbandon(outcome);
    DiscardNewScheduleFile(session, calendar->schedule);
    RestoreScheduleFile(session);
    return outcome.error;
  }
  // A calendar of which no line was accepted (an empty file, or every line skipped) carries no
  // schedule: replacing the schedule with nothing would lose it for a damaged file.
  if (outcome.accepted == 0) {
    WriteLibraryLog(kLogCalendarEmpty, outcome.lines, &g_LibraryLog);
    DiscardNewScheduleFile(session, calendar->schedule);
    RestoreScheduleFile(session);
    return ERROR_INVALID_PARAMETER;
  }

  uint32_t rc = ReplaceScheduleFile(session, calendar->schedule);
  if (rc != ERROR_SUCCESS) {
    WriteLibraryLog(kLogReplaceFailed, rc, &g_LibraryLog);
    RestoreScheduleFile(session);
    return PC_ERR_FAILED;
  }
  error = TellServiceScheduleChanged(system_type);
  if (error != 0) {
    WriteLibraryLog(kLogServiceFailed, error, &g_LibraryLog);
    if (!RestoreScheduleFile(session)) WriteLibraryLog(kLogRestoreFailed, GetLastError(), &g_LibraryLog);
    return error;
  }
  if (!CommitScheduleChange(session)) WriteLibraryLog(kLogCommitFailed, GetLastError(), &g_LibraryLog);
  WriteLibraryLog(kLogScheduleChanged, outcome.records, &g_LibraryLog);
  if (outcome.skipped) {
    WriteLibraryLog(kLogCalendarSkipped, outcome.lines - outcome.accepted, &g_LibraryLog);
    return PC_ERR_CAL_SKIPPED;
  }
  return 0;
}

}  // namespace

QP_DLL_EXPORT int ConvertPowerCalendar(const char *path) {
  WriteLibraryLog(kLogConvertPowerCalendar, 0, &g_LibraryLog);
  ScheduleFiles session;
  OpenScheduleSession(&session);
  uint32_t error = CheckQuoPcGate();
  int type = kSystemTypeUnknown;
  if (error == 0) {
    type = GetSystemTypeFromRegistry();
    if (type == kSystemTypeUnknown) error = PC_ERR_FAILED;
  }
  CalendarFiles calendar = {};
  if (error == 0 && path == nullptr) error = ERROR_INVALID_PARAMETER;
  if (error == 0) {
    calendar.reader = qp_file_open(path, QP_ACCESS_READ, QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_EXISTING);
    if (calendar.reader == nullptr) {
      WriteLibraryLog(kLogCalendarOpenFailed, GetLastError(), &g_LibraryLog);
      error = ERROR_FILE_NOT_FOUND;
    }
  }
  if (error == 0) {
    calendar.marker = qp_file_open(path, QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_READ | QP_SHARE_WRITE,
                                   QP_OPEN_EXISTING);
    if (calendar.marker == nullptr) {
      WriteLibraryLog(kLogCalendarNotWritable, GetLastError(), &g_LibraryLog);
      error = PC_ERR_FAILED;
    }
  }
  if (error == 0) error = ConvertOpenCalendar(&session, &calendar, type);
  qp_file_close(calendar.reader);
  qp_file_close(calendar.marker);
  CloseScheduleSession(&session);
  return error == 0 ? 1 : PcFail(error);
}

// Fails with a Windows error only: ERROR_INVALID_PARAMETER for no path, ERROR_FILE_NOT_FOUND
// when the install directory is unknown or there is no schedule, or the copy's own error.
QP_DLL_EXPORT int GetPowerCalendar(const char *path) {
  if (path == nullptr) return PcFail(ERROR_INVALID_PARAMETER);
  ScheduleFiles session;
  OpenScheduleSession(&session);
  uint32_t error = ERROR_SUCCESS;
  if (!session.named)
    error = ERROR_FILE_NOT_FOUND;
  else
    error = qp_file_copy(session.schedule, path);
  CloseScheduleSession(&session);
  return error == ERROR_SUCCESS ? 1 : PcFail(error);
}
