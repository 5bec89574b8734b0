// What the schedule modules of pwdown.dll share: the date check, the calendar line check and
// converter, and the schedule file with its backup, lock and crash recovery.
//
// No process-wide state: the file names, the lock and the order memory of a conversion live in
// the caller's ScheduleFiles and CalendarOrder, so calls from several threads share nothing but
// the files, which the schedule lock orders.
#pragma once

#include <stdint.h>

#include "pwdown_internal.h"

// ---- Date and time ----

// A parsed control time or calendar date. A field that could not be read is -1.
struct DateTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
};

// Characters of a control time: year (4), month, day, hour, minute.
inline constexpr uint32_t kControlTimeLength = 12;

// Results of CheckDateTime: valid, else the first field out of range.
enum DateCheck : int {
  kDateValid = 1,
  kDateBadYear = 2,
  kDateBadMonth = 3,
  kDateBadDay = 4,
  kDateBadHour = 5,
  kDateBadMinute = 6,
};

inline constexpr int kFirstYear = 1970;
inline constexpr int kLastYear = 2069;

// Reads year (characters 0-3), month (4-5), day (6-7), hour (8-9) and minute (10-11) from the
// LENGTH characters of TEXT. A field reads only when all its characters are there and are
// decimal digits; otherwise it is -1, which no check lets pass.
void ParseDateTime(const char *text, uint32_t length, DateTime *out);
// kDateValid, or the code of the first field out of range (February has 29 days in leap years
// of the Gregorian rule).
int CheckDateTime(const DateTime &date);
// month x 1000000 + day x 10000 + hour x 100 + minute: the order of two times within a year.
int DateKey(const DateTime &date);
// Days of MONTH (1-12) in YEAR; 0 for a month out of range.
int DaysInMonth(int year, int month);

// ---- Schedule records ----

inline constexpr uint32_t kScheduleRecordSize = 16;
inline constexpr char kKindPowerOff = 'F';
inline constexpr char kKindPowerOn = 'N';
inline constexpr char kKindLeaveOut = 'U';

// Builds the 16-byte record of TEN_DIGITS (year within the century, month, day, hour, minute)
// and KIND: the ten digits, the kind, three blanks, CR LF.
void BuildScheduleRecord(const char *ten_digits, char kind, char *record);
// True when RECORD is a whole schedule record: ten digits of a valid date and time (years 70
// to 99 in the 1900s, 00 to 69 in the 2000s), "F" or "N", three blanks, CR LF.
bool IsValidScheduleRecord(const char *record);

// ---- Calendar lines ----

// Index into the result table below; the codes of PC_CALENDAR_RESULT_LIST, in its order.
enum CalendarResult : int {
#define PC_CALENDAR_RESULT_ENUM(name, code, meaning) name,
  PC_CALENDAR_RESULT_LIST(PC_CALENDAR_RESULT_ENUM)
#undef PC_CALENDAR_RESULT_ENUM
      kCalendarResultCount
};

// The two characters written for RESULT.
const char *CalendarResultCode(CalendarResult result);
// True for the results that skip a line (10 to 18).
bool IsSkippingResult(CalendarResult result);

inline constexpr uint32_t kCalendarLineMax = 2047;  // a line with its CR LF, at most
inline constexpr uint32_t kCalendarCheckedColumns = 18;
inline constexpr uint32_t kCalendarShortLine = 20;  // shorter lines are marked "18"
inline constexpr uint32_t kCalendarTinyLine = 4;    // shorter lines get no code at all

// Order memory of one conversion: the year and DateKey of the last accepted line, both 0 before
// the first.
struct CalendarOrder {
  int year;
  int key;
};

// Checks the first 18 characters of a calendar line of at least 20 bytes against ORDER. For an
// accepted "F" or "N" line, remembers it in ORDER, fills RECORD (16 bytes) and sets *HAS_RECORD.
CalendarResult CheckCalendarLine(const char *line, CalendarOrder *order, char *record, bool *has_record);

// The converter's access to the calendar and the new schedule, so that the same line loop runs
// over files (the export) and over memory (the fuzz target). Each returns 0 or a Windows error.
struct CalendarIo {
  void *context;
  // Reads up to SIZE bytes of the calendar at OFFSET; *DONE is 0 at the end of the file.
  uint32_t (*read)(void *context, uint64_t offset, char *buffer, uint32_t size, uint32_t *done);
  // Writes the two characters of CODE over the result column of the line at OFFSET.
  uint32_t (*mark)(void *context, uint64_t offset, const char *code);
  // Appends one 16-byte record to the new schedule.
  uint32_t (*record)(void *context, const char *record);
};

// What a conversion found.
struct CalendarOutcome {
  uint32_t error;          // 0 when the whole calendar was read; else the abandoning error
  uint32_t os_error;       // the Windows error behind a PC_ERR_FAILED, else 0
  uint32_t lines;          // lines read (the abandoning one included)
  uint32_t accepted;       // lines marked "00"
  uint32_t records;        // records written
  bool skipped;            // a line was skipped
  uint32_t abandon_line;   // number (from 1) of the line that ended the conversion, else 0
  CalendarResult abandon;  // its result (PC_CAL_OUT_OF_ORDER, PC_CAL_TOO_LONG, PC_CAL_NO_LINE_END)
};

// Runs the calendar's lines in file order: reads each, marks it with its result code and passes
// the records of accepted lines on. Stops at the first abandoning line (PC_ERR_CAL_ORDER,
// PC_ERR_CAL_LINE, PC_ERR_UNSUPPORTED) or failing read, mark or record (PC_ERR_FAILED).
// Writes nothing into the calendar but two characters at the start of a line, and only into a
// line that has them: a line shorter than 4 bytes, or a last line of one byte, is not marked.
void ConvertCalendarLines(const CalendarIo *io, CalendarOutcome *outcome);

// ---- Schedule file, backup and lock ----

// "PathName" is read with room for 255 - length("\SCHEDULE.APC") - length("\DATA") bytes, its
// terminator included, so that every name below fits in 256.
inline constexpr uint32_t kScheduleNameSize = 256;
inline constexpr uint32_t kScheduleInstallRoom = 255 - 13 - 5;

// The names of one schedule change, its lock and what it has done so far.
struct ScheduleFiles {
  char data[kScheduleNameSize];          // install directory + "\DATA"
  char schedule[kScheduleNameSize];      // "...\DATA\SCHEDULE.APC"
  char backup[kScheduleNameSize];        // "...\DATA\QUOMVLAPI.BAK"
  char schedule_new[kScheduleNameSize];  // the new schedule while it is written
  char backup_new[kScheduleNameSize];    // the new backup while it is written
  char lock_name[kScheduleNameSize];     // the lock file
  bool named;                            // the names above are built
  qp_file *lock;                         // the locked lock file, NULL when not held
  uint32_t lock_error;                   // why the lock is not held (a Windows error)
};

// Fills the names from "PathName": false when the key or value cannot be read or the names would
// not fit (an install directory of more than 236 characters).
bool BuildScheduleFileNames(ScheduleFiles *files);

// Head of every call that reads or changes the schedule: builds the names, takes the schedule
// lock (waiting while another call, in this process or another, holds it), removes what a killed
// call left of its new files, and puts back a backup left behind by a call that did not finish
// (logged), telling the service when it runs. Nothing fails here: a call that needs what could not be had
// finds out from ScheduleReady.
void OpenScheduleSession(ScheduleFiles *files);
// Releases the lock; the names stay.
void CloseScheduleSession(ScheduleFiles *files);
// 0 when the names are built and the lock is held; else the export's error for a schedule
// file that cannot be prepared: ERROR_FILE_NOT_FOUND when the DATA folder is missing,
// PC_ERR_FAILED otherwise.
uint32_t ScheduleReady(const ScheduleFiles *files);

// Keeps the schedule as it is now in the backup file, written whole and flushed before it
// replaces any older backup; a missing schedule is kept as an empty backup. False on failure.
bool BackupScheduleFile(ScheduleFiles *files);
// Puts the backup back in place of the schedule in one rename (an empty backup: the schedule
// is deleted) and removes the backup. False when a delete or rename failed.
bool RestoreScheduleFile(ScheduleFiles *files);
// Opens the new schedule (at files->schedule_new, emptied): NULL with the last error.
qp_file *CreateNewScheduleFile(const ScheduleFiles *files);
// Flushes and closes NEW_FILE and renames it over the schedule: 0 or a Windows error (the new
// file is then deleted).
uint32_t ReplaceScheduleFile(ScheduleFiles *files, qp_file *new_file);
// Drops the new schedule file of a change that is abandoned (closing NEW_FILE if not NULL).
void DiscardNewScheduleFile(ScheduleFiles *files, qp_file *new_file);
// The change is confirmed: deletes the backup. False when it could not be deleted.
bool CommitScheduleChange(ScheduleFiles *files);

// Tells the service that the schedule was rewritten, over one connection: "071" (type 2), "S10",
// "081" (type 2); after a failed "S10" on type 2, "081" is still sent. 0, or the error of the
// first request that failed (or of the open).
uint32_t TellServiceScheduleChanged(int system_type);

// The system type that wraps settings changes in "071" ... "081".
inline constexpr int kSystemTypeWrapped = 2;

// Log texts of the schedule modules.
inline constexpr char kLogSetPowerControlTime[] = "SetPowerControlTime";
inline constexpr char kLogConvertPowerCalendar[] = "ConvertPowerCalendar";
inline constexpr char kLogBackupPutBack[] = "SCHEDULE: backup of an unfinished change put back";
inline constexpr char kLogPutBackFailed[] = "SCHEDULE: backup of an unfinished change NOT put back";
inline constexpr char kLogPutBackTold[] = "SCHEDULE: service told of the schedule put back";
inline constexpr char kLogPutBackNotTold[] = "SCHEDULE: service NOT told of the schedule put back";
inline constexpr char kLogLockFailed[] = "SCHEDULE: lock file cannot be opened or locked";
inline constexpr char kLogNamesFailed[] = "SCHEDULE: install directory missing or too long";
inline constexpr char kLogBackupFailed[] = "SCHEDULE: backup cannot be written";
inline constexpr char kLogCreateFailed[] = "SCHEDULE: new schedule file cannot be created";
inline constexpr char kLogWriteFailed[] = "SCHEDULE: new schedule file cannot be written";
inline constexpr char kLogReplaceFailed[] = "SCHEDULE: new schedule cannot replace the old";
inline constexpr char kLogServiceFailed[] = "SCHEDULE: service not told (071/S10/081), old schedule back";
inline constexpr char kLogRestoreFailed[] = "SCHEDULE: old schedule cannot be put back";
inline constexpr char kLogCommitFailed[] = "SCHEDULE: backup cannot be deleted";
inline constexpr char kLogScheduleChanged[] = "SCHEDULE: replaced and the service told";
