// pwctl's verbs for the schedule file, the control times, the last power failure and the power
// calendars: schedule set/get/show, last-power-fail, calendar convert/get.
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pwctl.h"
#include "pwdown.h"
#include "schedule_internal.h"
#include "tool_text.h"

namespace pwctl {
namespace {

// ---- Texts ----

constexpr char kScheduleUsage[] =
    "schedule set OFF ON          one power-off/power-on pair; OFF and ON as YYYYMMDDhhmm or\n"
    "                                     YYYY-MM-DDThh:mm, OFF before ON and less than a year before it\n"
    "  pwctl schedule get                   the service's two control times (\"SC0\", \"SC2\")\n"
    "  pwctl schedule show                  the schedule file as a table";
constexpr char kLastPowerFailUsage[] =
    "last-power-fail              the service's record of the last power failure (\"PW0\")";
constexpr char kCalendarUsage[] =
    "calendar convert FILE        check and mark every line of a power calendar and convert it\n"
    "                                     into the schedule; exit 0 only when every line was accepted\n"
    "  pwctl calendar get FILE              copy the schedule file to FILE";

// What each failed date field tells the operator to check.
const char *const kDateFieldProblem[] = {
    "",
    "",
    "the year is not in 1970 to 2069",
    "the month is not in 1 to 12",
    "the day is not valid for the month",
    "the hour is not in 0 to 23",
    "the minute is not in 0 to 59",
};

struct CalendarMeaning {
  const char *code;
  const char *meaning;
};
constexpr CalendarMeaning kCalendarMeanings[] = {
#define PC_CALENDAR_MEANING_ROW(name, code, meaning) {code, meaning},
    PC_CALENDAR_RESULT_LIST(PC_CALENDAR_MEANING_ROW)
#undef PC_CALENDAR_MEANING_ROW
};

// ---- Arguments ----

// Parses the options of a verb (only --help) over the words after it. Returns -1 when the words
// are to be run (*FIRST is the index of the first word that is not an option), else the exit
// status: kExitOk after the help, kExitUsage for an unknown option.
int ParseOptions(int argc, char **argv, const char *verb, const char *usage, int *first) {
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  optind = 0;  // fresh scan for every verb
  opterr = 0;
  int c;
  while ((c = getopt_long(argc + 1, argv - 1, "h", kOptions, nullptr)) != -1) {
    if (c == 'h') {
      printf("usage: pwctl %s\n", usage);
      return kExitOk;
    }
    // A short option is named by its letter; a long one is the word getopt has just passed.
    if (optopt != 0)
      fprintf(stderr, "pwctl %s: unknown option -%c; see pwctl %s --help\n", verb, optopt, verb);
    else
      fprintf(stderr, "pwctl %s: unknown option %s; see pwctl %s --help\n", verb, argv[optind - 2], verb);
    return kExitUsage;
  }
  *first = optind - 1;
  return -1;
}

// A usage error of VERB saying WHAT is wrong, on standard error; the caller prints the usage.
int Wrong(const char *verb, const std::string &what) {
  fprintf(stderr, "pwctl %s: %s\n", verb, what.c_str());
  return kExitUsage;
}

std::string Unexpected(const char *word) {
  return std::string("unexpected argument '") + word + "'";
}

// A control time from the command line: twelve digits, or YYYY-MM-DDThh:mm turned into them,
// checked as the library checks it. False with a message saying what to check.
bool ParseTimeArgument(const char *what, const char *text, std::string *digits) {
  std::string value = text;
  std::string out;
  if (value.size() == 12) {
    out = value;
  } else if (value.size() == 16 && value[4] == '-' && value[7] == '-' && value[10] == 'T' &&
             value[13] == ':') {
    out = value.substr(0, 4) + value.substr(5, 2) + value.substr(8, 2) + value.substr(11, 2) +
          value.substr(14, 2);
  }
  bool digits_only = out.size() == 12;
  for (char c : out) digits_only = digits_only && c >= '0' && c <= '9';
  if (!digits_only) {
    fprintf(stderr,
            "pwctl: %s time \"%s\" is neither twelve digits (YYYYMMDDhhmm) nor YYYY-MM-DDThh:mm; check its "
            "form\n",
            what, text);
    return false;
  }
  DateTime date;
  ParseDateTime(out.c_str(), kControlTimeLength, &date);
  int check = CheckDateTime(date);
  if (check != kDateValid) {
    fprintf(stderr, "pwctl: %s time \"%s\" is not a valid date and time: %s\n", what, text,
            kDateFieldProblem[check]);
    return false;
  }
  *digits = out;
  return true;
}

// "202401312200" -> "2024-01-31 22:00".
std::string ReadableTime(const char *twelve) {
  char text[32];
  snprintf(text, sizeof text, "%.4s-%.2s-%.2s %.2s:%.2s", twelve, twelve + 4, twelve + 6, twelve + 8,
           twelve + 10);
  return text;
}

std::string ReadWholeFile(const std::string &path, bool *ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::ostringstream text;
  if (*ok) text << in.rdbuf();
  return text.str();
}

// ---- schedule ----

int ScheduleSet(int argc, char **argv) {
  if (argc != 2) return Wrong("schedule set", argc < 2 ? "give OFF and ON, two times" : Unexpected(argv[2]));
  std::string off, on;
  if (!ParseTimeArgument("OFF", argv[0], &off) || !ParseTimeArgument("ON", argv[1], &on)) return kExitUsage;
  auto entry = reinterpret_cast<SetPowerControlTimeFn>(Entry("SetPowerControlTime"));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(on.c_str(), off.c_str());
  uint32_t error = GetLastError();
  int status = Outcome("SetPowerControlTime(on " + on + ", off " + off + ")", result, error);
  if (result != 1 && error == ERROR_INVALID_PARAMETER)
    fprintf(stderr, "pwctl: check that OFF comes before ON and less than a year before it\n");
  return status;
}

int ScheduleGet(int argc, char **argv) {
  if (argc != 0) return Wrong("schedule get", Unexpected(argv[0]));
  auto entry = reinterpret_cast<GetPowerControlTimeFn>(Entry("GetPowerControlTime"));
  if (entry == nullptr) return kExitLibrary;
  char first[13] = {}, second[13] = {};
  int result = entry(first, second);
  uint32_t error = GetLastError();
  if (result != 1) return Outcome("GetPowerControlTime", result, error);
  printf("GetPowerControlTime: OK\n");
  printf("first  (SC0): %.12s  %s\n", first, ReadableTime(first).c_str());
  printf("second (SC2): %.12s  %s\n", second, ReadableTime(second).c_str());
  return kExitOk;
}

// A scratch file for the copy of the schedule, in the system's folder for temporary files.
std::string ScratchPath() {
  std::random_device random;
  char name[64];
  snprintf(name, sizeof name, "pwctl-schedule-%08x%08x", random(), random());
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
  if (ec) folder = "/tmp";
  return (folder / name).string();
}

int ScheduleShow(int argc, char **argv) {
  if (argc != 0) return Wrong("schedule show", Unexpected(argv[0]));
  auto entry = reinterpret_cast<GetPowerCalendarFn>(Entry("GetPowerCalendar"));
  if (entry == nullptr) return kExitLibrary;
  std::string scratch = ScratchPath();
  int result = entry(scratch.c_str());
  uint32_t error = GetLastError();
  bool read = false;
  std::string bytes = result == 1 ? ReadWholeFile(scratch, &read) : std::string();
  std::error_code ec;
  std::filesystem::remove(scratch, ec);
  if (result != 1) {
    int status = Outcome("GetPowerCalendar", result, error);
    if (error == ERROR_FILE_NOT_FOUND)
      fprintf(stderr, "pwctl: no schedule file; check \"PathName\" in the registry and its DATA folder\n");
    return status;
  }
  if (!read) {
    fprintf(stderr, "pwctl: cannot read the copy of the schedule at %s\n", scratch.c_str());
    return kExitFailed;
  }
  size_t count = bytes.size() / kScheduleRecordSize;
  int status = kExitOk;
  printf("date        time   kind\n");
  for (size_t i = 0; i < count; ++i) {
    const char *record = bytes.data() + i * kScheduleRecordSize;
    if (!IsValidScheduleRecord(record)) {
      printf("record %zu damaged: \"%s\"\n", i + 1,
             tooltext::EscapeBytes(record, kScheduleRecordSize).c_str());
      status = kExitFailed;
      continue;
    }
    char twelve[13];
    snprintf(twelve, sizeof twelve, "%s%.10s", record[0] >= '7' ? "19" : "20", record);
    printf("%.10s  %.5s  %s\n", ReadableTime(twelve).c_str(), ReadableTime(twelve).c_str() + 11,
           record[10] == kKindPowerOff ? "power off" : "power on");
  }
  printf("%zu record%s\n", count, count == 1 ? "" : "s");
  if (bytes.size() % kScheduleRecordSize != 0) {
    printf("%zu bytes at the end are no whole record\n", bytes.size() % kScheduleRecordSize);
    status = kExitFailed;
  }
  if (status != kExitOk)
    fprintf(stderr, "pwctl: the schedule file is damaged; convert a calendar to rewrite it\n");
  return status;
}

int VerbSchedule(int argc, char **argv) {
  int first = 0;
  int status = ParseOptions(argc, argv, "schedule", kScheduleUsage, &first);
  if (status >= 0) return status;
  if (first >= argc) return Wrong("schedule", "give set, get or show");
  const char *sub = argv[first];
  int rest = argc - first - 1;
  char **words = argv + first + 1;
  if (strcmp(sub, "set") == 0) return ScheduleSet(rest, words);
  if (strcmp(sub, "get") == 0) return ScheduleGet(rest, words);
  if (strcmp(sub, "show") == 0) return ScheduleShow(rest, words);
  fprintf(stderr, "pwctl schedule: unknown request \"%s\"\n", sub);
  return kExitUsage;
}

// ---- last-power-fail ----

int VerbLastPowerFail(int argc, char **argv) {
  int first = 0;
  int status = ParseOptions(argc, argv, "last-power-fail", kLastPowerFailUsage, &first);
  if (status >= 0) return status;
  if (first != argc) return Wrong("last-power-fail", Unexpected(argv[first]));
  auto entry = reinterpret_cast<GetPowerFailLastTimeFn>(Entry("GetPowerFailLastTime"));
  if (entry == nullptr) return kExitLibrary;
  int value = 0;
  int result = entry(&value);
  uint32_t error = GetLastError();
  if (result != 1) return Outcome("GetPowerFailLastTime", result, error);
  printf("GetPowerFailLastTime: %d\n", value);
  return kExitOk;
}

// ---- calendar ----

// The meaning of a line's result code as it stands in the calendar after a conversion.
std::string LineMeaning(const std::string &line) {
  if (line.size() < kCalendarTinyLine) return "(no code) skipped: shorter than 4 bytes with its CR LF";
  std::string code = line.substr(0, 2);
  for (const CalendarMeaning &row : kCalendarMeanings) {
    if (code != row.code) continue;
    if (code == "00")
      return line.size() > 14 && line[14] == kKindLeaveOut ? "00 left out (\"U\")" : "00 converted";
    return code + " " + row.meaning;
  }
  return "\"" + tooltext::EscapeBytes(code.data(), code.size()) + "\" is no result code";
}

// Prints the result column of every line of CALENDAR (its bytes after the conversion) up to the
// line that ended the conversion.
void PrintLineResults(const std::string &calendar) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < calendar.size()) {
    size_t end = calendar.find("\r\n", pos);
    end = end == std::string::npos ? calendar.size() : end + 2;
    lines.push_back(calendar.substr(pos, end - pos));
    pos = end;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    printf("line %zu: %s\n", i + 1, LineMeaning(lines[i]).c_str());
    std::string code = lines[i].size() >= kCalendarTinyLine ? lines[i].substr(0, 2) : "";
    bool abandoned = code == "20" || code == "91" || code == "92";
    if (abandoned && i + 1 < lines.size()) {
      if (i + 2 == lines.size())
        printf("line %zu: not reached\n", i + 2);
      else
        printf("lines %zu to %zu: not reached\n", i + 2, lines.size());
      break;
    }
  }
}

int CalendarConvert(int argc, char **argv) {
  if (argc != 1) return Wrong("calendar convert", argc < 1 ? "give the calendar FILE" : Unexpected(argv[1]));
  auto entry = reinterpret_cast<ConvertPowerCalendarFn>(Entry("ConvertPowerCalendar"));
  if (entry == nullptr) return kExitLibrary;
  bool before_read = false;
  std::string before = ReadWholeFile(argv[0], &before_read);
  int result = entry(argv[0]);
  uint32_t error = GetLastError();
  bool after_read = false;
  std::string after = ReadWholeFile(argv[0], &after_read);
  // The lines carry codes of this call when it went through them: when it changed the file, or
  // when it ended in a way that only the line loop ends.
  bool lines_checked = result == 1 || error == PC_ERR_CAL_SKIPPED || error == PC_ERR_CAL_ORDER ||
                       error == PC_ERR_CAL_LINE || (before_read && after_read && before != after);
  if (lines_checked && after_read) PrintLineResults(after);
  int status = Outcome(std::string("ConvertPowerCalendar(") + argv[0] + ")", result, error);
  if (result == 1) return status;
  if (error == PC_ERR_CAL_SKIPPED)
    fprintf(stderr,
            "pwctl: the schedule was replaced without the skipped lines; check the lines marked 1x\n");
  else if (error == ERROR_FILE_NOT_FOUND)
    fprintf(stderr, "pwctl: check that the calendar %s exists and that the install's DATA folder exists\n",
            argv[0]);
  else if (error == ERROR_INVALID_PARAMETER)
    fprintf(stderr, "pwctl: the calendar has no line that could be accepted; the schedule was kept\n");
  else
    fprintf(stderr, "pwctl: the schedule was kept; check the lines marked above and pwdown.log\n");
  return status;
}

int CalendarGet(int argc, char **argv) {
  if (argc != 1) return Wrong("calendar get", argc < 1 ? "give the FILE to copy to" : Unexpected(argv[1]));
  auto entry = reinterpret_cast<GetPowerCalendarFn>(Entry("GetPowerCalendar"));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(argv[0]);
  uint32_t error = GetLastError();
  int status = Outcome(std::string("GetPowerCalendar(") + argv[0] + ")", result, error);
  if (result != 1)
    fprintf(stderr, "pwctl: check that a schedule file exists and that %s can be written\n", argv[0]);
  return status;
}

int VerbCalendar(int argc, char **argv) {
  int first = 0;
  int status = ParseOptions(argc, argv, "calendar", kCalendarUsage, &first);
  if (status >= 0) return status;
  if (first >= argc) return Wrong("calendar", "give convert or get");
  const char *sub = argv[first];
  int rest = argc - first - 1;
  char **words = argv + first + 1;
  if (strcmp(sub, "convert") == 0) return CalendarConvert(rest, words);
  if (strcmp(sub, "get") == 0) return CalendarGet(rest, words);
  fprintf(stderr, "pwctl calendar: unknown request \"%s\"\n", sub);
  return kExitUsage;
}

}  // namespace

const Verb kScheduleVerbs[] = {
    {"schedule", VerbSchedule, kScheduleUsage},
    {"last-power-fail", VerbLastPowerFail, kLastPowerFailUsage},
    {"calendar", VerbCalendar, kCalendarUsage},
};
const size_t kScheduleVerbCount = sizeof kScheduleVerbs / sizeof kScheduleVerbs[0];

}  // namespace pwctl
