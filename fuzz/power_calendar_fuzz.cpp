// libFuzzer target over the power calendar converter and the date check: any bytes as a
// calendar, converted in memory. Fails on a crash, on a write anywhere but the two-character
// result column at the start of a line, on a line marked twice, and on a record that is not a
// valid schedule record later than the one before it; and on a date that passes the check with
// a field that is not two (or four) digits in range.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "schedule_internal.h"

namespace {

struct FuzzCalendar {
  std::string original;
  std::string bytes;
  std::string records;
  std::set<uint64_t> marked;
};

uint32_t Read(void *context, uint64_t offset, char *buffer, uint32_t size, uint32_t *done) {
  auto *c = static_cast<FuzzCalendar *>(context);
  *done = 0;
  if (offset < c->bytes.size()) {
    uint64_t left = c->bytes.size() - offset;
    *done = static_cast<uint32_t>(left < size ? left : size);
    memcpy(buffer, c->bytes.data() + offset, *done);
  }
  return 0;
}

uint32_t Mark(void *context, uint64_t offset, const char *code) {
  auto *c = static_cast<FuzzCalendar *>(context);
  // Only at the start of a line (the file's start or just after a CR LF), inside the file, once.
  if (offset + 2 > c->bytes.size()) abort();
  if (offset != 0 && (offset < 2 || c->original.compare(offset - 2, 2, "\r\n") != 0)) abort();
  if (!c->marked.insert(offset).second) abort();
  c->bytes.replace(offset, 2, code, 2);
  return 0;
}

uint32_t Record(void *context, const char *record) {
  auto *c = static_cast<FuzzCalendar *>(context);
  if (!IsValidScheduleRecord(record)) abort();
  c->records.append(record, kScheduleRecordSize);
  return 0;
}

// The full year of a record's two-digit year.
int RecordYear(const char *record) {
  int two = (record[0] - '0') * 10 + (record[1] - '0');
  return two >= 70 ? 1900 + two : 2000 + two;
}

void CheckDate(const uint8_t *data, size_t size) {
  uint32_t length = static_cast<uint32_t>(size < 16 ? size : 16);
  const char *text = reinterpret_cast<const char *>(data);
  DateTime date;
  ParseDateTime(text, length, &date);
  if (CheckDateTime(date) != kDateValid) return;
  if (length < kControlTimeLength) abort();
  for (uint32_t i = 0; i < kControlTimeLength; ++i)
    if (text[i] < '0' || text[i] > '9') abort();
  if (date.year < 1970 || date.year > 2069 || date.month < 1 || date.month > 12 || date.day < 1 ||
      date.day > 31 || date.hour > 23 || date.minute > 59)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  CheckDate(data, size);

  FuzzCalendar calendar;
  calendar.original.assign(reinterpret_cast<const char *>(data), size);
  calendar.bytes = calendar.original;
  CalendarIo io = {&calendar, Read, Mark, Record};
  CalendarOutcome outcome;
  ConvertCalendarLines(&io, &outcome);

  // Nothing moved: same length, and every changed byte lies in a marked result column.
  if (calendar.bytes.size() != calendar.original.size()) abort();
  for (size_t i = 0; i < size; ++i) {
    if (calendar.bytes[i] == calendar.original[i]) continue;
    bool in_column = calendar.marked.count(i) != 0 || (i > 0 && calendar.marked.count(i - 1) != 0);
    if (!in_column) abort();
  }
  // The records follow each other strictly in time, as the lines they came from.
  const char *previous = nullptr;
  for (size_t at = 0; at < calendar.records.size(); at += kScheduleRecordSize) {
    const char *record = calendar.records.data() + at;
    if (previous != nullptr) {
      int year = RecordYear(record), before = RecordYear(previous);
      if (year < before || (year == before && memcmp(record + 2, previous + 2, 8) <= 0)) abort();
    }
    previous = record;
  }
  if (outcome.records * kScheduleRecordSize != calendar.records.size()) abort();
  if (outcome.error != 0 && outcome.abandon_line == 0) abort();
  return 0;
}
