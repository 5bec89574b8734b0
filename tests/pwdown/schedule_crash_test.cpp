// Crash safety of the schedule: a host changing the schedule in a loop is killed at random
// instants, and two hosts change it at once. After every kill the schedule is whole and is the
// old or the new one, and the next call puts a leftover backup back.
#include <signal.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "schedule_fixture.h"
#include "schedule_internal.h"
#include "tool_text.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

class ScheduleCrashTest : public ScheduleTest {
 protected:
  // One action of the looping host and the schedule it leaves when it succeeds.
  struct Action {
    std::string argument;
    std::string schedule;
  };

  Action SetAction(const std::string &on, const std::string &off) {
    return {"set:" + on + ":" + off, Record(off, 'F') + Record(on, 'N')};
  }
  Action CalendarAction(const std::string &name, const std::vector<std::pair<std::string, char>> &entries) {
    std::string calendar, schedule;
    for (const auto &[time, kind] : entries) {
      calendar += CalendarLine(time, kind);
      schedule += Record(time, kind);
    }
    return {"cal:" + Calendar(calendar, name), schedule};
  }

  std::vector<std::string> LoopArgv(long calls, const std::vector<Action> &actions) {
    std::vector<std::string> argv = {qt::test_bin_dir() + "/pwdown_schedule_loop",
                                     qt::out_dir() + "/pwdown.dll", std::to_string(calls)};
    for (const Action &a : actions) argv.push_back(a.argument);
    return argv;
  }

  // True when BYTES are whole schedule records, each valid.
  static bool Whole(const std::string &bytes) {
    if (bytes.size() % kScheduleRecordSize != 0) return false;
    for (size_t at = 0; at < bytes.size(); at += kScheduleRecordSize)
      if (!IsValidScheduleRecord(bytes.data() + at)) return false;
    return true;
  }
};

// The calls the host began and ended, read from its output.
struct LoopProgress {
  long last_begun = -1;
  std::vector<std::pair<long, int>> ended;  // call and result
};

LoopProgress ReadProgress(const std::string &output) {
  LoopProgress progress;
  std::istringstream in(output);
  std::string word;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    long call = -1;
    if (!(fields >> word >> call)) continue;
    if (word == "B") progress.last_begun = call;
    int result = 0;
    if (word == "E" && fields >> result) progress.ended.push_back({call, result});
  }
  return progress;
}

TEST_F(ScheduleCrashTest, KilledAtRandomInstantsLeavesOldOrNewAndTheNextCallRepairs) {
  const std::vector<Action> actions = {
      SetAction("202401010100", "202401010000"),
      CalendarAction("a.txt", {{"202402010000", 'F'}, {"202402020000", 'N'}, {"202402030000", 'F'}}),
      SetAction("202503010000", "202412312300"),
      CalendarAction("b.txt", {{"202406010000", 'F'}, {"202406010001", 'N'}}),
  };
  std::string current = Record("203001010000", 'F');
  PutSchedule(current);
  std::mt19937 random(std::random_device{}());
  std::string copy = install_.dir() + "/copy.apc";
  int leftover_backups = 0, new_in_place = 0, kills = 0;

  for (int round = 0; round < 200; ++round) {
    qt::Child host(LoopArgv(0, actions), install_.env());
    // Into a call chosen at random, then a random part of a few milliseconds further.
    long target = std::uniform_int_distribution<long>(0, 3)(random);
    std::string marker = "B " + std::to_string(target) + "\n";
    ASSERT_TRUE(
        qt::wait_until([&] { return host.output().find(marker) != std::string::npos || !host.running(); },
                       std::chrono::seconds(60)))
        << host.output();
    ASSERT_TRUE(host.running()) << host.output();
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 15000)(random)));
    host.kill_now(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, host.wait()) << host.output();
    ++kills;

    // The schedule the killed call found (what the calls before it left) and the one it made.
    LoopProgress progress = ReadProgress(host.output());
    std::string old_schedule = current;
    for (const auto &[call, result] : progress.ended) {
      ASSERT_EQ(1, result) << "call " << call << " of round " << round << ":\n" << host.output();
      old_schedule = actions[static_cast<size_t>(call) % actions.size()].schedule;
    }
    std::string new_schedule = actions[static_cast<size_t>(progress.last_begun) % actions.size()].schedule;
    std::string schedule = Schedule();
    std::string what =
        "round " + std::to_string(round) + " killed in call " + std::to_string(progress.last_begun);
    ASSERT_TRUE(Whole(schedule)) << what << ": \"" << tooltext::EscapeBytes(schedule.data(), schedule.size())
                                 << '"';
    ASSERT_TRUE(schedule == old_schedule || schedule == new_schedule) << what;
    bool backup = qt::file_exists(BackupPath());
    if (backup) {
      ++leftover_backups;
      ASSERT_EQ(old_schedule, qt::read_file(BackupPath())) << what;
    }
    if (schedule == new_schedule && schedule != old_schedule) ++new_in_place;

    // The next call puts a leftover backup back before anything else, and says so.
    std::remove(LogPath().c_str());
    ASSERT_EQ(1, Copy()(copy.c_str())) << what;
    std::string repaired = Schedule();
    EXPECT_EQ(backup ? old_schedule : schedule, repaired) << what;
    EXPECT_EQ(repaired, qt::read_file(copy)) << what;
    for (const char *name : {"QUOMVLAPI.BAK", "QUOMVLAPI.NEW", "SCHEDULE.NEW"})
      EXPECT_FALSE(qt::file_exists(install_.data(name))) << what << ": " << name;
    EXPECT_EQ(backup, Log().find("SCHEDULE: backup of an unfinished change put back") != std::string::npos)
        << what;
    // The service heard of the schedule put back.
    if (backup) {
      EXPECT_EQ(repaired, SeenAtS10()) << what;
    }
    current = repaired;
  }
  // The kills reached the windows that matter: with a backup pending, and with the new schedule
  // in place before it was confirmed.
  std::printf("%d kills: %d left a backup, %d left the new schedule in place\n", kills, leftover_backups,
              new_in_place);
  EXPECT_GT(leftover_backups, 0);
}

TEST_F(ScheduleCrashTest, TwoHostsConvertingAtOnceEndWithOneWholeSchedule) {
  const Action first = CalendarAction("first.txt", {{"202407010000", 'F'}, {"202407020000", 'N'}});
  const Action second =
      CalendarAction("second.txt", {{"202408010000", 'F'}, {"202408010100", 'N'}, {"202408020000", 'F'}});
  constexpr int kCalls = 25;
  qt::Child a(LoopArgv(kCalls, {first}), install_.env());
  qt::Child b(LoopArgv(kCalls, {second}), install_.env());
  EXPECT_EQ(0, a.wait(std::chrono::seconds(300))) << a.output();
  EXPECT_EQ(0, b.wait(std::chrono::seconds(300))) << b.output();
  std::string schedule = Schedule();
  EXPECT_TRUE(schedule == first.schedule || schedule == second.schedule)
      << tooltext::EscapeBytes(schedule.data(), schedule.size());
  EXPECT_EQ((Strings{"SCHEDULE.APC", "SCHEDULE.LCK", "pwdown.log"}), DataFiles());

  // Every call told the service, and the service saw that call's own schedule, whole: the lock
  // kept each change from the backup to the "081" apart from the other's.
  std::istringstream seen(qt::read_file(StandinFolder() + "/schedules-at-S10"));
  int of_first = 0, of_second = 0, other = 0;
  for (std::string line; std::getline(seen, line);) {
    std::string bytes = tooltext::UnescapeBytes(line);
    if (bytes == first.schedule)
      ++of_first;
    else if (bytes == second.schedule)
      ++of_second;
    else
      ++other;
  }
  EXPECT_EQ(kCalls, of_first);
  EXPECT_EQ(kCalls, of_second);
  EXPECT_EQ(0, other);
  // Their requests never interleaved: "071", "S10", "081" on each connection.
  std::vector<Frame> frames = Frames();
  ASSERT_EQ(static_cast<size_t>(3 * 2 * kCalls), frames.size());
  for (size_t i = 0; i < frames.size(); i += 3) {
    EXPECT_EQ("071 0000", frames[i].bytes);
    EXPECT_EQ("S10 0000", frames[i + 1].bytes);
    EXPECT_EQ("081 0000", frames[i + 2].bytes);
    EXPECT_EQ(frames[i].connection, frames[i + 2].connection);
  }
}

}  // namespace
}  // namespace pwt
