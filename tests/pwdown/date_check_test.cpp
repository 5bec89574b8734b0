// The date check and the calendar line loop driven directly: tables of inputs and the result
// codes, marks and records they must give.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "schedule_internal.h"

namespace {

int Check(const std::string &text) {
  DateTime date;
  ParseDateTime(text.data(), static_cast<uint32_t>(text.size()), &date);
  return CheckDateTime(date);
}

TEST(DateCheckTest, EveryFieldItsLimitsAndOneBeyond) {
  const std::pair<std::string, int> cases[] = {
      {"202401010000", kDateValid},
      // Years: the window 1970 to 2069.
      {"197001010000", kDateValid},
      {"196912312359", kDateBadYear},
      {"206912312359", kDateValid},
      {"207001010000", kDateBadYear},
      {"000001010000", kDateBadYear},
      // Months.
      {"202400010000", kDateBadMonth},
      {"202412010000", kDateValid},
      {"202413010000", kDateBadMonth},
      // Days: month ends, leap years (2000 is one by the 400-year rule, 2024 by the 4-year rule).
      {"202401000000", kDateBadDay},
      {"202401310000", kDateValid},
      {"202401320000", kDateBadDay},
      {"202402290000", kDateValid},
      {"202402300000", kDateBadDay},
      {"202302280000", kDateValid},
      {"202302290000", kDateBadDay},
      {"200002290000", kDateValid},
      {"210002290000", kDateBadYear},
      {"202403310000", kDateValid},
      {"202404300000", kDateValid},
      {"202404310000", kDateBadDay},
      {"202406310000", kDateBadDay},
      {"202409310000", kDateBadDay},
      {"202411310000", kDateBadDay},
      {"202412310000", kDateValid},
      {"202408310000", kDateValid},
      // Hours and minutes.
      {"202401012300", kDateValid},
      {"202401012400", kDateBadHour},
      {"202401010059", kDateValid},
      {"202401010060", kDateBadMinute},
      {"202401019900", kDateBadHour},
      // Too short: the missing field fails, never takes a value by accident.
      {"20240101000", kDateBadMinute},
      {"202401010", kDateBadHour},
      {"2024010", kDateBadDay},
      {"20240", kDateBadMonth},
      {"2024", kDateBadMonth},
      {"", kDateBadYear},
      // Not digits: signs, blanks, letters, NUL; what "%d" would read as a number fails here.
      {"+02401010000", kDateBadYear},
      {" 2024010100", kDateBadYear},
      {"2024-1010000", kDateBadMonth},
      {"2024 1010000", kDateBadMonth},
      {"20240 010000", kDateBadMonth},
      {"202401+10000", kDateBadDay},
      {"20240101 000", kDateBadHour},
      {"2024010100-1", kDateBadMinute},
      {"20240101000a", kDateBadMinute},
      {std::string("202401\0"
                   "10000",
                   12),
       kDateBadDay},
  };
  for (const auto &[text, result] : cases) EXPECT_EQ(result, Check(text)) << '"' << text << '"';

  // Only twelve characters count.
  EXPECT_EQ(kDateValid, Check("202401010000xyz"));
  // The century rule where the window cannot show it.
  EXPECT_EQ(28, DaysInMonth(1900, 2));
  EXPECT_EQ(28, DaysInMonth(2100, 2));
  EXPECT_EQ(29, DaysInMonth(2000, 2));
  EXPECT_EQ(29, DaysInMonth(2400, 2));
  EXPECT_EQ(0, DaysInMonth(2024, 13));
  EXPECT_EQ(0, DaysInMonth(2024, 0));

  DateTime date;
  ParseDateTime("202412312359", 12, &date);
  EXPECT_EQ(12312359, DateKey(date));
}

TEST(DateCheckTest, ScheduleRecordsAndTheirTwoDigitYears) {
  char record[kScheduleRecordSize];
  BuildScheduleRecord("2401010000", kKindPowerOff, record);
  EXPECT_EQ(std::string("2401010000F   \r\n"), std::string(record, sizeof record));
  const std::pair<std::string, bool> cases[] = {
      {"2401010000F   \r\n", true},  {"2401010000N   \r\n", true},  {"6912312359F   \r\n", true},  // 2069
      {"7001010000N   \r\n", true},                                                                // 1970
      {"0002290000F   \r\n", true},   // 2000, a leap year
      {"0102290000F   \r\n", false},  // 2001 is not
      {"9902290000F   \r\n", false},  // 1999 is not
      {"2401010000U   \r\n", false}, {"2401010000F    \n", false},  {"2401010000F  x\r\n", false},
      {"240101000 F   \r\n", false}, {"2413010000F   \r\n", false}, {"2401012400N   \r\n", false},
  };
  for (const auto &[bytes, valid] : cases) EXPECT_EQ(valid, IsValidScheduleRecord(bytes.data())) << bytes;
}

// A calendar in memory behind the converter's CalendarIo. A failure can be planted at the Nth
// read, mark or record (counted from 1).
struct MemoryCalendar {
  std::string bytes;
  std::string records;
  int calls[3] = {};
  int fail_at[3] = {};

  static uint32_t Read(void *context, uint64_t offset, char *buffer, uint32_t size, uint32_t *done) {
    auto *c = static_cast<MemoryCalendar *>(context);
    if (++c->calls[0] == c->fail_at[0]) return ERROR_READ_FAULT;
    *done = offset >= c->bytes.size()
                ? 0
                : static_cast<uint32_t>(std::min<uint64_t>(size, c->bytes.size() - offset));
    memcpy(buffer, c->bytes.data() + offset, *done);
    return 0;
  }
  static uint32_t Mark(void *context, uint64_t offset, const char *code) {
    auto *c = static_cast<MemoryCalendar *>(context);
    if (++c->calls[1] == c->fail_at[1]) return ERROR_WRITE_FAULT;
    EXPECT_LE(offset + 2, c->bytes.size());
    c->bytes.replace(offset, 2, code, 2);
    return 0;
  }
  static uint32_t Record(void *context, const char *record) {
    auto *c = static_cast<MemoryCalendar *>(context);
    if (++c->calls[2] == c->fail_at[2]) return ERROR_DISK_FULL;
    c->records.append(record, kScheduleRecordSize);
    return 0;
  }
  CalendarOutcome Convert() {
    CalendarIo io = {this, Read, Mark, Record};
    CalendarOutcome outcome;
    ConvertCalendarLines(&io, &outcome);
    return outcome;
  }
};

std::string Line(const std::string &first18, const std::string &rest = "") {
  return first18 + rest + "\r\n";
}

TEST(CalendarLinesTest, EveryResultCodeInPlace) {
  struct Row {
    const char *what;
    std::string calendar;
    std::string marked;
    std::string records;
    uint32_t error;
    bool skipped;
    uint32_t abandon_line;
  };
  const std::string off1 = Line("00202401010000F   ");
  const std::string on2 = Line("00202401020000N   ");
  const std::string recs12 = "2401010000F   \r\n2401020000N   \r\n";
  const std::string long_2047 = "00202401010000F   " + std::string(2047 - 20, 'c') + "\r\n";
  const std::string long_2048 = "00202401010000F   " + std::string(2048 - 20, 'c') + "\r\n";
  const Row rows[] = {
      {"two lines in order", off1 + on2, off1 + on2, recs12, 0, false, 0},
      {"empty file", "", "", "", 0, false, 0},
      {"swapped: the second is not later", on2 + off1, on2 + Line("20202401010000F   "), "2401020000N   \r\n",
       PC_ERR_CAL_ORDER, false, 2},
      {"equal times", off1 + off1, off1 + Line("20202401010000F   "), "2401010000F   \r\n", PC_ERR_CAL_ORDER,
       false, 2},
      {"later by one minute", off1 + Line("00202401010001N   "), off1 + Line("00202401010001N   "),
       "2401010000F   \r\n2401010001N   \r\n", 0, false, 0},
      {"across a year end", Line("00202412312359F   ") + Line("00202501010000N   "),
       Line("00202412312359F   ") + Line("00202501010000N   "), "2412312359F   \r\n2501010000N   \r\n", 0,
       false, 0},
      {"a later key of an earlier year", Line("00202501010000F   ") + Line("00202412312359N   "),
       Line("00202501010000F   ") + Line("20202412312359N   "), "2501010000F   \r\n", PC_ERR_CAL_ORDER, false,
       2},
      {"U lines take no part in the order",
       Line("00202401020000F   ") + Line("00202401010000U   ") + Line("00202401030000F   "),
       Line("00202401020000F   ") + Line("00202401010000U   ") + Line("00202401030000F   "),
       "2401020000F   \r\n2401030000F   \r\n", 0, false, 0},
      {"a U line is 00 whatever else it holds", Line("11xxxxxxxxxxxxUabc"), Line("00xxxxxxxxxxxxUabc"), "", 0,
       false, 0},
      {"kind", off1 + Line("00202401020000X   ") + on2,
       off1 + Line("16202401020000X   ") + Line("00202401020000N   "), recs12, 0, true, 0},
      {"kind lower case", Line("00202401020000f   "), Line("16202401020000f   "), "", 0, true, 0},
      {"result column from an earlier run", Line("11202401010000F   ") + on2,
       Line("10202401010000F   ") + on2, "2401020000N   \r\n", 0, true, 0},
      {"result column 0 blank", Line("0 202401010000F   "), Line("10202401010000F   "), "", 0, true, 0},
      {"blank column 15", Line("00202401010000Fx  "), Line("17202401010000Fx  "), "", 0, true, 0},
      {"blank column 16", Line("00202401010000F x "), Line("17202401010000F x "), "", 0, true, 0},
      {"blank column 17", Line("00202401010000F  x"), Line("17202401010000F  x"), "", 0, true, 0},
      {"year 1969", Line("00196912312359F   "), Line("11196912312359F   "), "", 0, true, 0},
      {"year 2070", Line("00207001010000F   "), Line("11207001010000F   "), "", 0, true, 0},
      {"month 13", Line("00202413010000F   "), Line("12202413010000F   "), "", 0, true, 0},
      {"April 31", Line("00202404310000F   "), Line("13202404310000F   "), "", 0, true, 0},
      {"February 29 of 2023", Line("00202302290000F   "), Line("13202302290000F   "), "", 0, true, 0},
      {"February 29 of 2024", Line("00202402290000F   "), Line("00202402290000F   "), "2402290000F   \r\n", 0,
       false, 0},
      {"hour 24", Line("00202401012400F   "), Line("14202401012400F   "), "", 0, true, 0},
      {"minute 60", Line("00202401010060F   "), Line("15202401010060F   "), "", 0, true, 0},
      {"NUL bytes in the date", Line(std::string("00\0\0\0\0\0\0\0\0\0\0\0\0F   ", 18)),
       Line(std::string("11\0\0\0\0\0\0\0\0\0\0\0\0F   ", 18)), "", 0, true, 0},
      {"text after column 17 is ignored", Line("00202401010000F   ", "; new year"),
       Line("00202401010000F   ", "; new year"), "2401010000F   \r\n", 0, false, 0},
      // Lengths: 20 bytes with CR LF are checked, 19 to 4 are "18", 3 and less get no code.
      {"19 bytes", Line("00202401010000F  "), Line("18202401010000F  "), "", 0, true, 0},
      {"4 bytes", "ab\r\n" + off1, "18\r\n" + off1, "2401010000F   \r\n", 0, true, 0},
      {"3 bytes", "ab\r" + std::string("\n") + "x\r\n" + off1, "18\r\nx\r\n" + off1, "2401010000F   \r\n", 0,
       true, 0},
      {"an empty line in the middle", off1 + "\r\n" + on2, off1 + "\r\n" + on2, recs12, 0, true, 0},
      // Line ends.
      {"2047 bytes with CR LF", long_2047, long_2047, "2401010000F   \r\n", 0, false, 0},
      {"2048 bytes: too long", long_2048 + on2, "91" + long_2048.substr(2) + on2, "", PC_ERR_CAL_LINE, false,
       1},
      {"last line without CR LF", off1 + "00202401020000N   ", off1 + "92202401020000N   ",
       "2401010000F   \r\n", PC_ERR_UNSUPPORTED, false, 2},
      {"last line of one byte", off1 + "x", off1 + "x", "2401010000F   \r\n", PC_ERR_UNSUPPORTED, false, 2},
      {"last line ends in CR", off1 + "00202401020000N   \r", off1 + "92202401020000N   \r",
       "2401010000F   \r\n", PC_ERR_UNSUPPORTED, false, 2},
      {"CR without LF joins lines", "00202401010000F   \r00202401020000N   \r",
       "92202401010000F   \r00202401020000N   \r", "", PC_ERR_UNSUPPORTED, false, 1},
      {"CR CR LF ends at the second CR", Line("00202401010000F  \r"), Line("17202401010000F  \r"), "", 0,
       true, 0},
  };
  for (const Row &row : rows) {
    MemoryCalendar calendar;
    calendar.bytes = row.calendar;
    CalendarOutcome outcome = calendar.Convert();
    EXPECT_EQ(row.marked, calendar.bytes) << row.what;
    EXPECT_EQ(row.records, calendar.records) << row.what;
    EXPECT_EQ(row.error, outcome.error) << row.what;
    EXPECT_EQ(row.skipped, outcome.skipped) << row.what;
    EXPECT_EQ(row.abandon_line, outcome.abandon_line) << row.what;
    EXPECT_EQ(row.records.size() / kScheduleRecordSize, outcome.records) << row.what;
  }
}

TEST(CalendarLinesTest, ReadMarkAndRecordFailuresEndTheLoop) {
  const std::string calendar =
      Line("00202401010000F   ") + Line("00202401020000X   ") + Line("00202401030000N   ");
  // The second mark fails: the first line keeps its mark, nothing after it is touched.
  MemoryCalendar marks;
  marks.bytes = calendar;
  marks.fail_at[1] = 2;
  CalendarOutcome outcome = marks.Convert();
  EXPECT_EQ(PC_ERR_FAILED, outcome.error);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_WRITE_FAULT), outcome.os_error);
  EXPECT_EQ(2u, outcome.abandon_line);
  EXPECT_EQ(calendar, marks.bytes);

  // The second record fails before its line is marked.
  const std::string two = Line("00202401010000F   ") + Line("00202401020000N   ");
  MemoryCalendar records;
  records.bytes = two;
  records.fail_at[2] = 2;
  outcome = records.Convert();
  EXPECT_EQ(PC_ERR_FAILED, outcome.error);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_DISK_FULL), outcome.os_error);
  EXPECT_EQ(1, records.calls[1]) << "the second line is not marked";

  MemoryCalendar reads;
  reads.bytes = two;
  reads.fail_at[0] = 1;
  outcome = reads.Convert();
  EXPECT_EQ(PC_ERR_FAILED, outcome.error);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_READ_FAULT), outcome.os_error);
  EXPECT_EQ(two, reads.bytes);

  // A failed mark of an abandoning code turns its error into PC_ERR_FAILED.
  MemoryCalendar order;
  order.bytes = Line("00202401020000F   ") + Line("00202401010000F   ");
  order.fail_at[1] = 2;
  outcome = order.Convert();
  EXPECT_EQ(PC_ERR_FAILED, outcome.error);
  EXPECT_EQ(PC_CAL_OUT_OF_ORDER, outcome.abandon);
}

TEST(CalendarLinesTest, LongCalendarsReadAcrossBlocks) {
  // Lines that straddle the reader's 4096-byte blocks, and a 1 MB line after them.
  std::string calendar;
  std::string records;
  for (int day = 1; day <= 28; ++day) {
    char date[32];
    snprintf(date, sizeof date, "00202402%02d1200F   ", day);
    calendar += Line(date, std::string(200 + day, '-'));
    records += std::string(date + 4, 11) + "   \r\n";
  }
  MemoryCalendar good;
  good.bytes = calendar;
  CalendarOutcome outcome = good.Convert();
  EXPECT_EQ(0u, outcome.error);
  EXPECT_EQ(28u, outcome.accepted);
  EXPECT_EQ(records, good.records);

  MemoryCalendar huge;
  huge.bytes = calendar + "00" + std::string(1 << 20, 'z') + "\r\n";
  outcome = huge.Convert();
  EXPECT_EQ(PC_ERR_CAL_LINE, outcome.error);
  EXPECT_EQ(29u, outcome.abandon_line);
  EXPECT_EQ(calendar + "91" + std::string(1 << 20, 'z') + "\r\n", huge.bytes);
}

}  // namespace
