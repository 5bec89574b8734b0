// The date and time check shared by the control times and the calendars, and the 16-byte
// schedule record built from a checked date.
#include <string.h>

#include "schedule_internal.h"

namespace {

// Value of the COUNT decimal digits at TEXT + AT, or -1 when the text ends before them or one of
// them is not a digit (a sign, a blank, a NUL: no lax number parse lets such a field through).
int ReadField(const char *text, uint32_t length, uint32_t at, uint32_t count) {
  if (text == nullptr || at + count > length) return -1;
  int value = 0;
  for (uint32_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool IsDigits(const char *text, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// The century a two-digit year of a schedule record or a control time belongs to.
constexpr int kCenturySplit = 70;

}  // namespace

void ParseDateTime(const char *text, uint32_t length, DateTime *out) {
  out->year = ReadField(text, length, 0, 4);
  out->month = ReadField(text, length, 4, 2);
  out->day = ReadField(text, length, 6, 2);
  out->hour = ReadField(text, length, 8, 2);
  out->minute = ReadField(text, length, 10, 2);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

int CheckDateTime(const DateTime &date) {
  if (date.year < kFirstYear || date.year > kLastYear) return kDateBadYear;
  if (date.month < 1 || date.month > 12) return kDateBadMonth;
  if (date.day < 1 || date.day > DaysInMonth(date.year, date.month)) return kDateBadDay;
  if (date.hour < 0 || date.hour > 23) return kDateBadHour;
  if (date.minute < 0 || date.minute > 59) return kDateBadMinute;
  return kDateValid;
}

int DateKey(const DateTime &date) {
  return date.month * 1000000 + date.day * 10000 + date.hour * 100 + date.minute;
}

void BuildScheduleRecord(const char *ten_digits, char kind, char *record) {
  memcpy(record, ten_digits, 10);
  record[10] = kind;
  memcpy(record + 11, "   \r\n", 5);
}

bool IsValidScheduleRecord(const char *record) {
  if (!IsDigits(record, 10)) return false;
  if (record[10] != kKindPowerOff && record[10] != kKindPowerOn) return false;
  if (memcmp(record + 11, "   \r\n", 5) != 0) return false;
  int two_digit_year = (record[0] - '0') * 10 + (record[1] - '0');
  char text[kControlTimeLength];
  memcpy(text, two_digit_year >= kCenturySplit ? "19" : "20", 2);
  memcpy(text + 2, record, 10);
  DateTime date;
  ParseDateTime(text, sizeof text, &date);
  return CheckDateTime(date) == kDateValid;
}
