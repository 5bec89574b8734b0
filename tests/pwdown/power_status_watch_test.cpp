// GetUpsPowerStatus and StopUpsPowerStatus over the section "pwdownDllCmMemory", with the
// stand-in's --power-status as the producer in a process of its own: a change seen within one
// poll, the section missing, a stop during a wait and with no wait, eight waits at once.
//
// A wait in progress is seen from outside as the section mapped into this process
// (/proc/self/maps), so the tests wait for that event rather than for a while.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "pwdown_fixture.h"

namespace pwt {
namespace {

using Clock = std::chrono::steady_clock;

long MsBetween(Clock::time_point a, Clock::time_point b) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

// One wait on a thread of its own: its result, its last error and when it returned.
struct Waiter {
  std::atomic<int> result{-1};
  std::atomic<int> value{0};
  std::atomic<uint32_t> error{0};
  Clock::time_point returned;
  std::thread thread;

  void Start(GetUpsPowerStatusFn get, int known) {
    thread = std::thread([this, get, known] {
      int status = known;
      int r = get(&status);
      error = GetLastError();
      value = status;
      returned = Clock::now();
      result = r;
    });
  }
  void Join() {
    if (thread.joinable()) thread.join();
  }
};

class PowerStatusTest : public PwdownTest {
 protected:
  void SetUp() override {
    setenv("QUORIN_TIME_SCALE", std::to_string(scale_).c_str(), 1);
    PwdownTest::SetUp();
  }
  // Runs the producer: "--power-status VALUE" (or "remove").
  void Produce(const std::string &value) {
    std::string out;
    ASSERT_EQ(0, qt::run({qt::test_bin_dir() + "/quorin_mvl_standin", "--power-status", value},
                         install_.env(), &out))
        << out;
  }
  std::string SectionFile() const { return install_.runtime() + "/shm/pwdownDllCmMemory"; }
  // How many views of the section this process has mapped: one per wait in progress.
  int Mapped() const {
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
      if (line.find(SectionFile()) != std::string::npos) ++n;
    return n;
  }
  GetUpsPowerStatusFn Get() { return Export<GetUpsPowerStatusFn>("GetUpsPowerStatus"); }
  StopUpsPowerStatusFn Stop() { return Export<StopUpsPowerStatusFn>("StopUpsPowerStatus"); }

  int scale_ = 100;
};

TEST_F(PowerStatusTest, MissingSectionDifferentValueAndTheGate) {
  // The library opens the section and never creates it.
  int status = 5;
  SetLastError(0);
  auto start = Clock::now();
  EXPECT_EQ(0, Get()(&status));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_LT(MsBetween(start, Clock::now()), 5000);
  EXPECT_EQ(5, status);
  EXPECT_FALSE(qt::file_exists(SectionFile()));

  // A value other than the current one comes back at once with the current one.
  Produce("-7");
  status = 0;
  EXPECT_EQ(1, Get()(&status));
  EXPECT_EQ(-7, status);
  Produce("2147483647");
  EXPECT_EQ(1, Get()(&status));
  EXPECT_EQ(2147483647, status);
  EXPECT_EQ(0, Mapped());

  // A section too small to hold the status word is refused rather than read past its end.
  Produce("remove");
  qp_shm *small = qp_shm_create("pwdownDllCmMemory", 15);
  ASSERT_NE(nullptr, small);
  qp_shm_close(small);
  SetLastError(0);
  EXPECT_EQ(0, Get()(&status));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_DATA), GetLastError());
  EXPECT_EQ(0, Mapped());
  Produce("remove");

  Produce("1");
  EXPECT_EQ(0, Get()(nullptr));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), GetLastError());
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:05"});
  EXPECT_EQ(0, Get()(&status));
  EXPECT_EQ(PC_ERR_FAILED, GetLastError());
  StopStandin();
  Registry(kType2Registry);
  EXPECT_EQ(0, Get()(&status));
  EXPECT_EQ(PC_ERR_SERVICE, GetLastError());
  ASSERT_EQ(0, remove(install_.registry().c_str()));
  EXPECT_EQ(0, Get()(&status));
  EXPECT_EQ(PC_ERR_NOT_INSTALLED, GetLastError());
}

TEST_F(PowerStatusTest, StopDuringAWaitEndsItBeforeTheStopReturns) {
  Produce("3");
  Waiter waiter;
  waiter.Start(Get(), 3);
  ASSERT_TRUE(qt::wait_until([&] { return Mapped() == 1; }));
  EXPECT_EQ(-1, waiter.result.load());
  EXPECT_EQ(1, Stop()());
  // By the time the stop returns, the wait has left its loop and unmapped the section.
  EXPECT_EQ(0, Mapped());
  waiter.Join();
  EXPECT_EQ(0, waiter.result.load());
  EXPECT_EQ(PC_ERR_STOPPED, waiter.error.load());
  EXPECT_EQ(3, waiter.value.load());

  // A stop after that, with no wait running, returns at once, and the next wait runs as usual.
  auto start = Clock::now();
  EXPECT_EQ(1, Stop()());
  EXPECT_LT(MsBetween(start, Clock::now()), 5000);
  Waiter next;
  next.Start(Get(), 3);
  ASSERT_TRUE(qt::wait_until([&] { return Mapped() == 1; }));
  Produce("4");
  next.Join();
  EXPECT_EQ(1, next.result.load());
  EXPECT_EQ(4, next.value.load());
  // A stop after a wait that ended with a change returns at once.
  EXPECT_EQ(1, Stop()());
  EXPECT_EQ(0, Mapped());
}

TEST_F(PowerStatusTest, EightWaitsAtOnce) {
  Produce("10");
  std::vector<Waiter> waiters(8);
  for (Waiter &w : waiters) w.Start(Get(), 10);
  ASSERT_TRUE(qt::wait_until([&] { return Mapped() == 8; }));
  Produce("11");
  for (Waiter &w : waiters) {
    w.Join();
    EXPECT_EQ(1, w.result.load());
    EXPECT_EQ(11, w.value.load());
  }
  EXPECT_EQ(0, Mapped());

  // One stop ends all of them, and returns only after the last has left.
  std::vector<Waiter> stopped(8);
  for (Waiter &w : stopped) w.Start(Get(), 11);
  ASSERT_TRUE(qt::wait_until([&] { return Mapped() == 8; }));
  EXPECT_EQ(1, Stop()());
  EXPECT_EQ(0, Mapped());
  for (Waiter &w : stopped) {
    w.Join();
    EXPECT_EQ(0, w.result.load());
    EXPECT_EQ(PC_ERR_STOPPED, w.error.load());
    EXPECT_EQ(11, w.value.load());
  }
}

// On the real clock: the status is sampled every 500 ms.
class PowerStatusPollTest : public PowerStatusTest {
 protected:
  PowerStatusPollTest() { scale_ = 1; }
};

TEST_F(PowerStatusPollTest, AChangeIsSeenWithinOnePoll) {
  Produce("0");
  Waiter waiter;
  waiter.Start(Get(), 0);
  ASSERT_TRUE(qt::wait_until([&] { return Mapped() == 1; }));
  auto before = Clock::now();
  Produce("1");
  auto written = Clock::now();
  waiter.Join();
  EXPECT_EQ(1, waiter.result.load());
  EXPECT_EQ(1, waiter.value.load());
  // Not before the change was made, and within one poll of 500 ms after it (with room for a
  // loaded machine, but well short of a second poll's end).
  EXPECT_GE(MsBetween(before, waiter.returned), 0);
  EXPECT_LE(MsBetween(written, waiter.returned), 500 + 400);
}

}  // namespace
}  // namespace pwt
