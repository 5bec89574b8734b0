// The line loop of the power calendar conversion: reading the calendar line by line, checking
// each line, marking it in place with its result code and passing the records of the accepted
// lines on. Files are reached only through a CalendarIo, so the loop runs over memory as well.
//
// A line ends at the first CR LF. It is at most 2047 bytes long with its CR LF; only its first
// 18 characters are examined: result column (0-1), date and time (2-13), kind (14), blanks
// (15-17).
#include <string.h>

#include "schedule_internal.h"

namespace {

struct CalendarResultRow {
  const char *code;
  bool skips;
};

constexpr CalendarResultRow kCalendarResults[] = {
#define PC_CALENDAR_RESULT_ROW(name, code, meaning) {code, code[0] == '1'},
    PC_CALENDAR_RESULT_LIST(PC_CALENDAR_RESULT_ROW)
#undef PC_CALENDAR_RESULT_ROW
};
static_assert(sizeof kCalendarResults / sizeof kCalendarResults[0] == kCalendarResultCount);

// Column layout of a calendar line.
constexpr uint32_t kResultColumn = 0;
constexpr uint32_t kDateColumn = 2;
constexpr uint32_t kYearWithinCenturyColumn = 4;
constexpr uint32_t kKindColumn = 14;
constexpr uint32_t kBlankColumn = 15;

// CheckDateTime's results 2 to 6 as line results.
constexpr CalendarResult kResultOfDateCheck[] = {PC_CAL_BAD_YEAR, PC_CAL_BAD_MONTH, PC_CAL_BAD_DAY,
                                                 PC_CAL_BAD_HOUR, PC_CAL_BAD_MINUTE};

// Reads the calendar through the CalendarIo in blocks, one byte at a time for the caller.
struct ByteReader {
  const CalendarIo *io;
  uint64_t block_offset;  // file offset of block[0]
  uint32_t block_size;    // bytes held
  uint32_t error;         // the read error that ended reading, else 0
  char block[4096];
};

// The byte at OFFSET (read forwards only), -1 at the end of the file, -2 after a read error.
int ByteAt(ByteReader *reader, uint64_t offset) {
  if (offset < reader->block_offset || offset >= reader->block_offset + reader->block_size) {
    uint32_t done = 0;
    uint32_t rc = reader->io->read(reader->io->context, offset, reader->block, sizeof reader->block, &done);
    if (rc != 0) {
      reader->error = rc;
      return -2;
    }
    reader->block_offset = offset;
    reader->block_size = done;
    if (done == 0) return -1;
  }
  return static_cast<unsigned char>(reader->block[offset - reader->block_offset]);
}

enum class LineEnd { kLine, kEndOfFile, kTooLong, kReadError };

// Reads the line that starts at OFFSET into LINE (kCalendarLineMax bytes): kLine with its
// length (CR LF included), kEndOfFile with the bytes before the end, kTooLong when 2047 bytes
// hold no CR LF, kReadError.
LineEnd ReadLine(ByteReader *reader, uint64_t offset, char *line, uint32_t *length) {
  uint32_t n = 0;
  while (true) {
    if (n == kCalendarLineMax) {
      *length = n;
      return LineEnd::kTooLong;
    }
    int byte = ByteAt(reader, offset + n);
    if (byte == -2) return LineEnd::kReadError;
    if (byte == -1) {
      *length = n;
      return LineEnd::kEndOfFile;
    }
    line[n++] = static_cast<char>(byte);
    if (byte == '\n' && n >= 2 && line[n - 2] == '\r') {
      *length = n;
      return LineEnd::kLine;
    }
  }
}

// Ends the conversion at line NUMBER with RESULT marked at OFFSET (when the line holds two
// characters) and ERROR; a failed mark makes it PC_ERR_FAILED.
void Abandon(const CalendarIo *io, uint64_t offset, uint32_t line_length, uint32_t number,
             CalendarResult result, uint32_t error, CalendarOutcome *outcome) {
  outcome->abandon_line = number;
  outcome->abandon = result;
  outcome->error = error;
  if (line_length < 2) return;
  uint32_t rc = io->mark(io->context, offset, CalendarResultCode(result));
  if (rc != 0) {
    outcome->error = PC_ERR_FAILED;
    outcome->os_error = rc;
  }
}

void Fail(uint32_t os_error, uint32_t number, CalendarOutcome *outcome) {
  outcome->error = PC_ERR_FAILED;
  outcome->os_error = os_error;
  outcome->abandon_line = number;
}

}  // namespace

const char *CalendarResultCode(CalendarResult result) {
  return kCalendarResults[result].code;
}

bool IsSkippingResult(CalendarResult result) {
  return kCalendarResults[result].skips;
}

CalendarResult CheckCalendarLine(const char *line, CalendarOrder *order, char *record, bool *has_record) {
  *has_record = false;
  char kind = line[kKindColumn];
  if (kind == kKindLeaveOut) return PC_CAL_ACCEPTED;
  if (kind != kKindPowerOff && kind != kKindPowerOn) return PC_CAL_BAD_KIND;
  if (line[kResultColumn] != '0' || line[kResultColumn + 1] != '0') return PC_CAL_NOT_FRESH;
  if (memcmp(line + kBlankColumn, "   ", 3) != 0) return PC_CAL_BAD_BLANKS;
  DateTime date;
  ParseDateTime(line + kDateColumn, kControlTimeLength, &date);
  int check = CheckDateTime(date);
  if (check != kDateValid) return kResultOfDateCheck[check - kDateBadYear];
  int key = DateKey(date);
  if ((order->year != 0 || order->key != 0) &&
      (order->year > date.year || (order->year == date.year && order->key >= key)))
    return PC_CAL_OUT_OF_ORDER;
  order->year = date.year;
  order->key = key;
  BuildScheduleRecord(line + kYearWithinCenturyColumn, kind, record);
  *has_record = true;
  return PC_CAL_ACCEPTED;
}

void ConvertCalendarLines(const CalendarIo *io, CalendarOutcome *outcome) {
  memset(outcome, 0, sizeof *outcome);
  static_assert(kCalendarLineMax >= kCalendarShortLine);
  ByteReader reader = {};
  reader.io = io;
  char line[kCalendarLineMax];
  CalendarOrder order = {0, 0};
  uint64_t offset = 0;
  while (true) {
    uint32_t length = 0;
    LineEnd end = ReadLine(&reader, offset, line, &length);
    uint32_t number = outcome->lines + 1;
    if (end == LineEnd::kReadError) return Fail(reader.error, number, outcome);
    if (end == LineEnd::kEndOfFile && length == 0) return;
    outcome->lines = number;
    if (end == LineEnd::kTooLong)
      return Abandon(io, offset, length, number, PC_CAL_TOO_LONG, PC_ERR_CAL_LINE, outcome);
    if (end == LineEnd::kEndOfFile)
      return Abandon(io, offset, length, number, PC_CAL_NO_LINE_END, PC_ERR_UNSUPPORTED, outcome);

    CalendarResult result;
    if (length < kCalendarTinyLine) {
      // Too short to carry a code without overwriting its own line end.
      outcome->skipped = true;
      offset += length;
      continue;
    }
    if (length < kCalendarShortLine) {
      result = PC_CAL_SHORT;
    } else {
      char record[kScheduleRecordSize];
      bool has_record = false;
      result = CheckCalendarLine(line, &order, record, &has_record);
      if (has_record) {
        uint32_t rc = io->record(io->context, record);
        if (rc != 0) return Fail(rc, number, outcome);
        ++outcome->records;
      }
    }
    if (result == PC_CAL_OUT_OF_ORDER)
      return Abandon(io, offset, length, number, PC_CAL_OUT_OF_ORDER, PC_ERR_CAL_ORDER, outcome);
    if (IsSkippingResult(result)) outcome->skipped = true;
    if (result == PC_CAL_ACCEPTED) ++outcome->accepted;
    uint32_t rc = io->mark(io->context, offset, CalendarResultCode(result));
    if (rc != 0) return Fail(rc, number, outcome);
    offset += length;
  }
}
