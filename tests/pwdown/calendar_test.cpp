// ConvertPowerCalendar and GetPowerCalendar end to end against the "QUORIN_MVL" stand-in: the
// marked calendar, the schedule bytes, the "S10" exchange, the backup gone or put back, bad
// calendars, a backup left by a killed call, and the lock that orders two changes.
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <thread>

#include "schedule_fixture.h"
#include "tool_text.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

class CalendarTest : public ScheduleTest {};

const std::string kOldSchedule = Record("203001010000", 'F') + Record("203001020000", 'N');
const std::string kTwoLines = CalendarLine("202401010000", 'F') + CalendarLine("202401020000", 'N');
const std::string kTwoRecords = Record("202401010000", 'F') + Record("202401020000", 'N');
const Strings kWrappedS10 = {"071 0000", "S10 0000", "081 0000"};
const Strings kScheduleAndLock = {"SCHEDULE.APC", "SCHEDULE.LCK", "pwdown.log"};

TEST_F(CalendarTest, GoodCalendarReplacesTheScheduleAndTellsTheService) {
  PutSchedule(kOldSchedule);
  std::string path = Calendar(kTwoLines);
  EXPECT_EQ(1, Convert()(path.c_str()));
  EXPECT_EQ(kTwoLines, qt::read_file(path));
  EXPECT_EQ(kTwoRecords, Schedule());
  EXPECT_EQ(kWrappedS10, FrameBytes());
  EXPECT_EQ(kTwoRecords, SeenAtS10());
  EXPECT_EQ(kScheduleAndLock, DataFiles());
  EXPECT_NE(std::string::npos, Log().find("SCHEDULE: replaced and the service told")) << Log();

  // GetPowerCalendar copies it out, over an existing file, without the gate.
  std::string copy = install_.dir() + "/copy.apc";
  qt::write_file(copy, std::string(100, 'x'));
  StopStandin();
  EXPECT_EQ(1, Copy()(copy.c_str()));
  EXPECT_EQ(kTwoRecords, qt::read_file(copy));
}

TEST_F(CalendarTest, OutcomesOfWholeCalendars) {
  struct Case {
    const char *what;
    std::string calendar;
    std::string marked;
    int result;
    uint32_t error;
    std::string schedule;  // after the call
    bool service_told;
  };
  const Case cases[] = {
      {"lines swapped", CalendarLine("202401020000", 'N') + CalendarLine("202401010000", 'F'),
       CalendarLine("202401020000", 'N') + CalendarLine("202401010000", 'F', "20"), 0, PC_ERR_CAL_ORDER,
       kOldSchedule, false},
      {"kind X skipped",
       CalendarLine("202401010000", 'F') + CalendarLine("202401015000", 'X') +
           CalendarLine("202401020000", 'N'),
       CalendarLine("202401010000", 'F') + CalendarLine("202401015000", 'X', "16") +
           CalendarLine("202401020000", 'N'),
       0, PC_ERR_CAL_SKIPPED, kTwoRecords, true},
      {"result column of an earlier run",
       CalendarLine("202401010000", 'F', "11") + CalendarLine("202401020000", 'N'),
       CalendarLine("202401010000", 'F', "10") + CalendarLine("202401020000", 'N'), 0, PC_ERR_CAL_SKIPPED,
       Record("202401020000", 'N'), true},
      {"empty line in the middle",
       CalendarLine("202401010000", 'F') + "\r\n" + CalendarLine("202401020000", 'N'),
       CalendarLine("202401010000", 'F') + "\r\n" + CalendarLine("202401020000", 'N'), 0, PC_ERR_CAL_SKIPPED,
       kTwoRecords, true},
      {"final line without CR LF", CalendarLine("202401010000", 'F') + "00202401020000N   ",
       CalendarLine("202401010000", 'F') + "92202401020000N   ", 0, PC_ERR_UNSUPPORTED, kOldSchedule, false},
      {"U line between F lines",
       CalendarLine("202401020000", 'F') + CalendarLine("202401010000", 'U') +
           CalendarLine("202401030000", 'F'),
       CalendarLine("202401020000", 'F') + CalendarLine("202401010000", 'U') +
           CalendarLine("202401030000", 'F'),
       1, 0, Record("202401020000", 'F') + Record("202401030000", 'F'), true},
      // A calendar of "U" lines is the way to clear the schedule.
      {"only U lines", CalendarLine("202401010000", 'U'), CalendarLine("202401010000", 'U'), 1, 0, "", true},
      // A calendar with nothing accepted keeps the schedule.
      {"empty file", "", "", 0, ERROR_INVALID_PARAMETER, kOldSchedule, false},
      {"every line skipped", CalendarLine("202413010000", 'F') + "ab\r\n",
       CalendarLine("202413010000", 'F', "12") + "18\r\n", 0, ERROR_INVALID_PARAMETER, kOldSchedule, false},
      {"NUL bytes", std::string("00\0\0\0\0\0\0\0\0\0\0\0\0F   \r\n", 20),
       std::string("11\0\0\0\0\0\0\0\0\0\0\0\0F   \r\n", 20), 0, ERROR_INVALID_PARAMETER, kOldSchedule,
       false},
      {"CR without LF", "00202401010000F   \r00202401020000N   \r",
       "92202401010000F   \r00202401020000N   \r", 0, PC_ERR_UNSUPPORTED, kOldSchedule, false},
      {"one 1 MB line", "00" + std::string(1 << 20, 'z') + "\r\n" + kTwoLines,
       "91" + std::string(1 << 20, 'z') + "\r\n" + kTwoLines, 0, PC_ERR_CAL_LINE, kOldSchedule, false},
  };
  for (const Case &c : cases) {
    PutSchedule(kOldSchedule);
    ClearFrames();
    std::string path = Calendar(c.calendar);
    SetLastError(0);
    EXPECT_EQ(c.result, Convert()(path.c_str())) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(c.error, GetLastError()) << c.what;
    }
    EXPECT_EQ(c.marked, qt::read_file(path)) << c.what;
    EXPECT_EQ(c.schedule, Schedule()) << c.what;
    EXPECT_EQ(c.service_told ? kWrappedS10 : Strings{}, FrameBytes()) << c.what;
    EXPECT_EQ(kScheduleAndLock, DataFiles()) << c.what;
  }
  // Each abandoned or empty calendar says why in the log, with the number of its line.
  std::string log = Log();
  for (const char *line : {"[00000002] CALENDAR: line not later than the one before (20), schedule kept",
                           "[00000002] CALENDAR: last line without CR LF (92), schedule kept",
                           "[00000000] CALENDAR: no line accepted, schedule kept",
                           "[00000002] CALENDAR: no line accepted, schedule kept",
                           "[00000001] CALENDAR: line without CR LF in 2047 bytes (91), schedule kept",
                           "[00000001] CALENDAR: last line without CR LF (92), schedule kept"})
    EXPECT_NE(std::string::npos, log.find(line)) << line;
}

TEST_F(CalendarTest, ServiceFailuresPutTheOldScheduleBack) {
  const std::tuple<const char *, Strings, uint32_t> cases[] = {
      {"S10 reply 1F\n", kWrappedS10, PC_ERR_UNSUPPORTED},
      {"S10 reply B0\n", kWrappedS10, PC_ERR_REJECTED},
      {"071 reply 13\n", {"071 0000"}, PC_ERR_REJECTED},
      {"081 close\n", kWrappedS10, PC_ERR_PIPE_IO},
  };
  for (const auto &[script, frames, error] : cases) {
    PutSchedule(kOldSchedule);
    Script(script);
    ClearFrames();
    std::string path = Calendar(kTwoLines);
    ExpectFailure(
        error, [&] { return Convert()(path.c_str()); }, script);
    EXPECT_EQ(frames, FrameBytes()) << script;
    EXPECT_EQ(kOldSchedule, Schedule()) << script;
    EXPECT_EQ(kTwoLines, qt::read_file(path)) << script;  // every line was checked and marked
    EXPECT_EQ(kScheduleAndLock, DataFiles()) << script;
  }
  EXPECT_EQ(kTwoRecords, SeenAtS10());

  // Type 1: "S10" alone, and a failed one is not followed by "081".
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:03"});
  Script("S10 reply 1F\n");
  ClearFrames();
  std::string path = Calendar(kTwoLines);
  ExpectFailure(
      PC_ERR_UNSUPPORTED, [&] { return Convert()(path.c_str()); }, "type 1");
  EXPECT_EQ((Strings{"S10 0000"}), FrameBytes());

  // No schedule before: a failed conversion leaves none.
  std::remove(SchedulePath().c_str());
  ExpectFailure(
      PC_ERR_UNSUPPORTED, [&] { return Convert()(path.c_str()); }, "no schedule");
  EXPECT_EQ((Strings{"SCHEDULE.LCK", "pwdown.log"}), DataFiles());

  // The service missing: stopped (the gate; nothing is read or marked), or its pipe gone.
  Script("");
  PutSchedule(kOldSchedule);
  StopStandin();
  path = Calendar(CalendarLine("202401010000", 'F', "11"));
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Convert()(path.c_str()); }, "stopped");
  EXPECT_EQ(CalendarLine("202401010000", 'F', "11"), qt::read_file(path));
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01", "\"APIDEBUG\"=hex:01"});
  path = Calendar(kTwoLines);
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Convert()(path.c_str()); }, "no pipe");
  EXPECT_EQ(kOldSchedule, Schedule());
  EXPECT_EQ(kScheduleAndLock, DataFiles());
}

TEST_F(CalendarTest, CalendarsThatCannotBeOpenedAndAMissingDataFolder) {
  PutSchedule(kOldSchedule);
  // Missing calendar.
  ExpectFailure(
      ERROR_FILE_NOT_FOUND, [&] { return Convert()((install_.dir() + "/none.txt").c_str()); }, "missing");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Convert()(nullptr); }, "null");
  // Read-only calendar: refused for every user, root too, before anything changes.
  std::string path = Calendar(kTwoLines);
  ASSERT_EQ(0, chmod(path.c_str(), 0444));
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Convert()(path.c_str()); }, "read-only");
  EXPECT_EQ(kTwoLines, qt::read_file(path));
  EXPECT_EQ(kOldSchedule, Schedule());
  EXPECT_TRUE(FrameBytes().empty());
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("] CALENDAR: cannot be opened for reading")) << log;
  EXPECT_NE(std::string::npos, log.find("[00000005] CALENDAR: cannot be opened for writing (read-only?)"))
      << log;

  // No DATA folder: no schedule file can be made, and none is.
  ASSERT_EQ(0, rename(install_.data().c_str(), (install_.dir() + "/DATA.away").c_str()));
  ASSERT_EQ(0, chmod(path.c_str(), 0644));
  ExpectFailure(
      ERROR_FILE_NOT_FOUND, [&] { return Convert()(path.c_str()); }, "no DATA");
  ExpectFailure(
      ERROR_FILE_NOT_FOUND, [&] { return Set()("202401010001", "202401010000"); }, "no DATA");
  ExpectFailure(
      ERROR_PATH_NOT_FOUND, [&] { return Copy()((install_.dir() + "/copy").c_str()); }, "no DATA");
  EXPECT_FALSE(qt::file_exists(install_.data()));
  EXPECT_EQ(kTwoLines, qt::read_file(path));
  EXPECT_TRUE(FrameBytes().empty());
  ASSERT_EQ(0, rename((install_.dir() + "/DATA.away").c_str(), install_.data().c_str()));
  EXPECT_EQ(kOldSchedule, Schedule());

  // No schedule to copy out, and a target that cannot be written.
  std::remove(SchedulePath().c_str());
  ExpectFailure(
      ERROR_FILE_NOT_FOUND, [&] { return Copy()((install_.dir() + "/copy").c_str()); }, "no schedule");
  PutSchedule(kOldSchedule);
  ExpectFailure(
      ERROR_PATH_NOT_FOUND, [&] { return Copy()((install_.dir() + "/no/copy").c_str()); }, "no folder");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Copy()(nullptr); }, "null");
}

TEST_F(CalendarTest, NextCallPutsBackABackupLeftByAKilledCall) {
  // A killed change left its backup (the old schedule), the new schedule in place, and half of
  // its next new files. Each of the three calls that use the schedule repairs it first, and
  // tells the service, which may have heard of the unconfirmed schedule already.
  const std::string unconfirmed = Record("202401010000", 'F');
  struct Case {
    const char *what;
    std::function<void()> call;
    std::string after;  // the schedule after the call
    Strings frames;
  };
  std::string copy = install_.dir() + "/copy.apc";
  std::string calendar = Calendar(CalendarLine("202405050000", 'N'));
  const Strings twice = {"071 0000", "S10 0000", "081 0000", "071 0000", "S10 0000", "081 0000"};
  const Case cases[] = {
      {"GetPowerCalendar", [&] { EXPECT_EQ(1, Copy()(copy.c_str())); }, kOldSchedule, kWrappedS10},
      {"SetPowerControlTime", [&] { EXPECT_EQ(0, Set()("202401010000", "202401010000")); }, kOldSchedule,
       kWrappedS10},
      {"ConvertPowerCalendar", [&] { EXPECT_EQ(1, Convert()(calendar.c_str())); },
       Record("202405050000", 'N'), twice},
  };
  for (const Case &c : cases) {
    PutSchedule(unconfirmed);
    qt::write_file(BackupPath(), kOldSchedule);
    qt::write_file(install_.data("SCHEDULE.NEW"), "2401");
    qt::write_file(install_.data("QUOMVLAPI.NEW"), "24");
    std::remove(LogPath().c_str());
    ClearFrames();
    c.call();
    EXPECT_EQ(c.after, Schedule()) << c.what;
    EXPECT_EQ(kScheduleAndLock, DataFiles()) << c.what;
    EXPECT_EQ(c.frames, FrameBytes()) << c.what;
    std::string log = Log();
    EXPECT_NE(std::string::npos, log.find("[00000000] SCHEDULE: backup of an unfinished change put back"))
        << c.what;
    EXPECT_NE(std::string::npos, log.find("[00000000] SCHEDULE: service told of the schedule put back"))
        << c.what;
  }
  EXPECT_EQ(kOldSchedule, qt::read_file(copy));
  std::string seen = qt::read_file(StandinFolder() + "/schedules-at-S10");
  EXPECT_NE(std::string::npos,
            seen.find(tooltext::EscapeBytes(kOldSchedule.data(), kOldSchedule.size()) + "\n"));

  // An empty backup stands for "no schedule before": putting it back removes the schedule, and
  // the service is told that there is none.
  PutSchedule(unconfirmed);
  qt::write_file(BackupPath(), "");
  EXPECT_EQ(0, Copy()(copy.c_str()));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ((Strings{"SCHEDULE.LCK", "pwdown.log"}), DataFiles());
  EXPECT_FALSE(SeenAtS10Exists());

  // With the service stopped the schedule is put back all the same; the service is not told.
  StopStandin();
  PutSchedule(unconfirmed);
  qt::write_file(BackupPath(), kOldSchedule);
  std::remove(LogPath().c_str());
  EXPECT_EQ(1, Copy()(copy.c_str()));
  EXPECT_EQ(kOldSchedule, Schedule());
  EXPECT_EQ(kScheduleAndLock, DataFiles());
  EXPECT_NE(std::string::npos, Log().find("[20000000] SCHEDULE: service NOT told of the schedule put back"))
      << Log();
}

TEST_F(CalendarTest, LockOrdersTwoChanges) {
  PutSchedule(kOldSchedule);
  std::string path = Calendar(kTwoLines);
  // Another process's change holds the lock: a conversion waits for it, untouched.
  qp_file *lock = qp_file_open(LockPath().c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE,
                               QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_ALWAYS);
  ASSERT_NE(nullptr, lock);
  ASSERT_EQ(ERROR_SUCCESS, qp_file_lock(lock, 0));
  qt::Child child({qt::out_dir() + "/pwctl", "calendar", "convert", path}, install_.env());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(child.running());
  EXPECT_TRUE(FrameBytes().empty());
  EXPECT_EQ(kOldSchedule, Schedule());
  ASSERT_EQ(ERROR_SUCCESS, qp_file_unlock(lock));
  EXPECT_EQ(0, child.wait()) << child.output();
  EXPECT_EQ(kTwoRecords, Schedule());
  EXPECT_EQ(kWrappedS10, FrameBytes());
  // Once the change is done, the lock is free again.
  EXPECT_EQ(ERROR_SUCCESS, qp_file_lock(lock, 0));
  qp_file_close(lock);
}

}  // namespace
}  // namespace pwt
