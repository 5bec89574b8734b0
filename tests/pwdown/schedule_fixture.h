// Test fixture of the schedule tests: the schedule file, its backup, the lock file and what the
// "QUORIN_MVL" stand-in saw of the schedule when it was told "S10".
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "pwdown_fixture.h"

namespace pwt {

class ScheduleTest : public PwdownTest {
 protected:
  std::string SchedulePath() const { return install_.data("SCHEDULE.APC"); }
  std::string BackupPath() const { return install_.data("QUOMVLAPI.BAK"); }
  std::string LockPath() const { return install_.data("SCHEDULE.LCK"); }
  // The schedule as the stand-in read it at the last "S10"; "" when there was none.
  std::string SeenAtS10() const { return qt::read_file(StandinFolder() + "/schedule-at-S10"); }
  bool SeenAtS10Exists() const { return qt::file_exists(StandinFolder() + "/schedule-at-S10"); }

  std::string Schedule() const { return qt::read_file(SchedulePath()); }
  void PutSchedule(const std::string &bytes) { qt::write_file(SchedulePath(), bytes); }
  // A calendar file in the test's folder with CONTENT; its path.
  std::string Calendar(const std::string &content, const std::string &name = "calendar.txt") {
    std::string path = install_.dir() + "/" + name;
    qt::write_file(path, content);
    return path;
  }
  std::string Log() const { return qt::read_file(LogPath()); }
  // The names of the files in DATA, sorted: after a finished call only the schedule, the lock
  // file and the log, never a backup or the new files of a change.
  std::vector<std::string> DataFiles() const {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(install_.data()))
      if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  SetPowerControlTimeFn Set() { return Export<SetPowerControlTimeFn>("SetPowerControlTime"); }
  GetPowerControlTimeFn Times() { return Export<GetPowerControlTimeFn>("GetPowerControlTime"); }
  GetPowerFailLastTimeFn PowerFail() { return Export<GetPowerFailLastTimeFn>("GetPowerFailLastTime"); }
  ConvertPowerCalendarFn Convert() { return Export<ConvertPowerCalendarFn>("ConvertPowerCalendar"); }
  GetPowerCalendarFn Copy() { return Export<GetPowerCalendarFn>("GetPowerCalendar"); }

  // Runs CALL, expects 0 with ERROR as the last error.
  template <typename Call>
  void ExpectFailure(uint32_t error, Call call, const std::string &what) {
    SetLastError(0);
    EXPECT_EQ(0, call()) << what;
    EXPECT_EQ(error, GetLastError()) << what;
  }
};

// A calendar line: "00", the twelve digits, the kind, three blanks, CR LF.
inline std::string CalendarLine(const std::string &twelve, char kind, const std::string &result = "00") {
  return result + twelve + kind + "   \r\n";
}
// A schedule record of the twelve digits' last ten and the kind.
inline std::string Record(const std::string &twelve, char kind) {
  return twelve.substr(2) + kind + "   \r\n";
}

}  // namespace pwt
