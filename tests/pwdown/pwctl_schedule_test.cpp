// pwctl's schedule, last-power-fail and calendar verbs: their output, exit statuses, the checks of
// dates on the command line, and --help.
#include "schedule_fixture.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class PwctlScheduleTest : public ScheduleTest {};

TEST_F(PwctlScheduleTest, ScheduleSetGetAndShow) {
  std::string out;
  EXPECT_EQ(0, Pwctl({"schedule", "set", "202401010000", "202401010001"}, &out));
  EXPECT_EQ("SetPowerControlTime(on 202401010001, off 202401010000): OK\n", out);
  EXPECT_EQ(0, Pwctl({"schedule", "set", "2024-12-31T23:00", "2025-01-01T01:00"}, &out));
  EXPECT_EQ("SetPowerControlTime(on 202501010100, off 202412312300): OK\n", out);
  EXPECT_EQ(Record("202412312300", 'F') + Record("202501010100", 'N'), Schedule());
  EXPECT_EQ(0, Pwctl({"schedule", "show"}, &out));
  EXPECT_EQ(
      "date        time   kind\n"
      "2024-12-31  23:00  power off\n"
      "2025-01-01  01:00  power on\n"
      "2 records\n",
      out);

  // The library's order rule: exit 1 and a hint on what to check.
  EXPECT_EQ(1, Pwctl({"schedule", "set", "202401010001", "202401010000"}, &out));
  EXPECT_TRUE(Has(out,
                  "SetPowerControlTime(on 202401010000, off 202401010001): failed: "
                  "ERROR_INVALID_PARAMETER (87)"))
      << out;
  EXPECT_TRUE(Has(out, "check that OFF comes before ON and less than a year before it")) << out;

  Script("SC0 reply 00 6912312359\nSC2 reply 00 7001010000\n");
  EXPECT_EQ(0, Pwctl({"schedule", "get"}, &out));
  EXPECT_EQ(
      "GetPowerControlTime: OK\n"
      "first  (SC0): 206912312359  2069-12-31 23:59\n"
      "second (SC2): 197001010000  1970-01-01 00:00\n",
      out);

  // A damaged schedule file is shown as far as it is whole, and fails.
  PutSchedule(Record("202401010000", 'F') + "2413010000N   \r\n" + "24010");
  EXPECT_EQ(1, Pwctl({"schedule", "show"}, &out));
  EXPECT_TRUE(Has(out,
                  "2024-01-01  00:00  power off\nrecord 2 damaged: \"2413010000N   \\x0D\\x0A\"\n2 records\n"
                  "5 bytes at the end are no whole record\n"))
      << out;
  EXPECT_TRUE(Has(out, "the schedule file is damaged")) << out;
  std::remove(SchedulePath().c_str());
  EXPECT_EQ(1, Pwctl({"schedule", "show"}, &out));
  EXPECT_TRUE(Has(out, "GetPowerCalendar: failed: ERROR_FILE_NOT_FOUND (2)")) << out;
}

TEST_F(PwctlScheduleTest, DatesOnTheCommandLineAreCheckedBeforeTheLibrary) {
  std::string out;
  const std::pair<Strings, const char *> cases[] = {
      {{"schedule", "set", "20240101000", "202401010001"},
       "OFF time \"20240101000\" is neither twelve digits"},
      {{"schedule", "set", "202401010000", "2024-1-01T00:01"}, "ON time \"2024-1-01T00:01\" is neither"},
      {{"schedule", "set", "2024-01-01 00:00", "202401010001"}, "OFF time \"2024-01-01 00:00\" is neither"},
      // A date cannot start with a sign: it reads as an option.
      {{"schedule", "set", "-20240101000", "202401010001"}, "unknown option -2; see pwctl schedule --help"},
      {{"schedule", "set", "202413010000", "202401010001"}, "the month is not in 1 to 12"},
      {{"schedule", "set", "196912312359", "202401010001"}, "the year is not in 1970 to 2069"},
      {{"schedule", "set", "2023-02-29T00:00", "202401010001"}, "the day is not valid for the month"},
      {{"schedule", "set", "202401012400", "202401010001"}, "the hour is not in 0 to 23"},
      {{"schedule", "set", "202401010060", "202401010001"}, "the minute is not in 0 to 59"},
      {{"schedule", "set", "202401010000"}, "usage: pwctl schedule set OFF ON"},
      {{"schedule", "set", "202401010000", "202401010001", "x"}, "usage: pwctl schedule set OFF ON"},
      {{"schedule"}, "usage: pwctl schedule"},
      {{"schedule", "drop"}, "unknown request \"drop\""},
      {{"schedule", "get", "now"}, "usage: pwctl schedule"},
      {{"schedule", "--force", "get"}, "unknown option --force; see pwctl schedule --help"},
      {{"last-power-fail", "1"}, "usage: pwctl last-power-fail"},
      {{"calendar", "convert"}, "usage: pwctl calendar convert FILE"},
      {{"calendar", "get", "a", "b"}, "usage: pwctl calendar"},
      {{"calendar", "merge", "a"}, "unknown request \"merge\""},
  };
  for (const auto &[args, message] : cases) {
    EXPECT_EQ(2, Pwctl(args, &out)) << args.back();
    EXPECT_TRUE(Has(out, message)) << args.back() << ": " << out;
  }
  EXPECT_TRUE(FrameBytes().empty());
  EXPECT_FALSE(qt::file_exists(SchedulePath()));

  // --help on standard output, exit 0, wherever it stands.
  for (const Strings &args :
       {Strings{"schedule", "--help"}, Strings{"schedule", "set", "--help"},
        Strings{"calendar", "convert", "x", "--help"}, Strings{"last-power-fail", "--help"}}) {
    std::string stdout_only;
    Strings argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>/dev/null", qt::out_dir() + "/pwctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(0, qt::run(argv, install_.env(), &stdout_only)) << args[0];
    EXPECT_TRUE(Has(stdout_only, "usage: pwctl " + args[0])) << stdout_only;
  }
}

TEST_F(PwctlScheduleTest, LastPowerFailAndCalendars) {
  std::string out;
  Script("PW0 reply 00 00042\n");
  EXPECT_EQ(0, Pwctl({"last-power-fail"}, &out));
  EXPECT_EQ("GetPowerFailLastTime: 42\n", out);
  Script("PW0 reply 00 4x\n");
  EXPECT_EQ(1, Pwctl({"last-power-fail"}, &out));
  EXPECT_EQ(0u, out.find("GetPowerFailLastTime: failed: PC_ERR_FAILED (0x20000003)\n"
                         "pwctl: check \"LumoUnit\""))
      << out;
  EXPECT_NE(std::string::npos, out.find("DATA/pwdown.log tells which step failed")) << out;
  Script("");

  std::string good = Calendar(CalendarLine("202401010000", 'F') + CalendarLine("202401010000", 'U') +
                              CalendarLine("202401020000", 'N'));
  EXPECT_EQ(0, Pwctl({"calendar", "convert", good}, &out));
  EXPECT_EQ(
      "line 1: 00 converted\nline 2: 00 left out (\"U\")\nline 3: 00 converted\n"
      "ConvertPowerCalendar(" +
          good + "): OK\n",
      out);

  std::string skipped = Calendar(CalendarLine("202401010000", 'F') + "ab\r\n\r\n" +
                                     CalendarLine("202401020000", 'X') + CalendarLine("202401030000", 'N') +
                                     CalendarLine("202401020000", 'N') + CalendarLine("202401040000", 'N'),
                                 "skipped.txt");
  EXPECT_EQ(1, Pwctl({"calendar", "convert", skipped}, &out));
  EXPECT_TRUE(Has(out,
                  "line 1: 00 converted\n"
                  "line 2: 18 skipped: line shorter than 20 bytes with its CR LF\n"
                  "line 3: (no code) skipped: shorter than 4 bytes with its CR LF\n"
                  "line 4: 16 skipped: kind is not \"F\", \"N\" or \"U\"\n"
                  "line 5: 00 converted\n"
                  "line 6: 20 abandoned: not later than the entry accepted before it\n"
                  "line 7: not reached\n"
                  "ConvertPowerCalendar(" +
                      skipped + "): failed: PC_ERR_CAL_ORDER (0x20000011)\n"))
      << out;
  EXPECT_TRUE(Has(out, "the schedule was kept")) << out;

  // Skipped lines: the schedule is replaced, and the exit status is 1.
  std::string some =
      Calendar(CalendarLine("202401010000", 'F') + CalendarLine("202401020000", 'N', "11"), "some.txt");
  EXPECT_EQ(1, Pwctl({"calendar", "convert", some}, &out));
  EXPECT_TRUE(Has(out, "line 2: 10 skipped: the result column was not \"00\"\n")) << out;
  EXPECT_TRUE(Has(out, "failed: PC_ERR_CAL_SKIPPED (0x20000010)")) << out;
  EXPECT_TRUE(Has(out, "the schedule was replaced without the skipped lines")) << out;
  EXPECT_EQ(Record("202401010000", 'F'), Schedule());

  std::string copy = install_.dir() + "/copy.apc";
  EXPECT_EQ(0, Pwctl({"calendar", "get", copy}, &out));
  EXPECT_EQ("GetPowerCalendar(" + copy + "): OK\n", out);
  EXPECT_EQ(Record("202401010000", 'F'), qt::read_file(copy));

  // A calendar that cannot be found: no line listing, a hint instead.
  EXPECT_EQ(1, Pwctl({"calendar", "convert", install_.dir() + "/none"}, &out));
  EXPECT_FALSE(Has(out, "line 1")) << out;
  EXPECT_TRUE(Has(out, "failed: ERROR_FILE_NOT_FOUND (2)")) << out;
  EXPECT_TRUE(Has(out, "check that the calendar")) << out;
}

}  // namespace
}  // namespace pwt
