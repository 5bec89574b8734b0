// Events, mutexes, the named mutex across processes, threads, the scaled clock and fault guards.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "quorin/platform.h"
#include "testsupport.h"
#include "timing.h"

namespace {

TEST(SyncTest, EventsAndTimedMutexWaits) {
  qp_event *manual = qp_event_create(1, 0);
  qp_event *automatic = qp_event_create(0, 1);
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_event_wait(manual, 10));
  qp_event_set(manual);
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_event_wait(manual, 0));
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_event_wait(manual, 0));  // stays signalled
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_event_wait(automatic, 0));
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_event_wait(automatic, 0));  // reset itself
  qp_event_reset(manual);
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_event_wait(manual, 0));
  qp_event_close(manual);
  qp_event_close(automatic);

  qp_mutex *m = qp_mutex_create();
  ASSERT_EQ(QP_WAIT_OBJECT_0, qp_mutex_wait(m, 1000));
  ASSERT_EQ(QP_WAIT_OBJECT_0, qp_mutex_wait(m, 1000));  // recursive, as on Windows
  std::atomic<uint32_t> other{0};
  std::thread t([&] { other = qp_mutex_wait(m, 50); });
  t.join();
  EXPECT_EQ(QP_WAIT_TIMEOUT, other.load());
  std::thread stranger([&] { other = qp_mutex_release(m) ? 1 : GetLastError(); });
  stranger.join();
  EXPECT_EQ(ERROR_NOT_OWNER, other.load());
  EXPECT_EQ(1, qp_mutex_release(m));
  EXPECT_EQ(1, qp_mutex_release(m));
  qp_mutex_close(m);
}

TEST(SyncTest, InjectedWaitFailureIsNotATimeout) {
  setenv("QUORIN_FAULTS", "mutex_wait:1:1", 1);  // read on first use in this process
  qp_mutex *m = qp_mutex_create();
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_mutex_wait(m, 100));
  qp_mutex_release(m);
  EXPECT_EQ(QP_WAIT_FAILED, qp_mutex_wait(m, 100));
  EXPECT_NE(ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_mutex_wait(m, 100));
  qp_mutex_release(m);
  qp_mutex_close(m);
}

TEST(SyncTest, NamedMutexAcrossProcesses) {
  qt::TempDir runtime("nmutex");
  setenv("QUORIN_RUNTIME_DIR", runtime.path().c_str(), 1);
  EXPECT_EQ(nullptr, qp_named_mutex_open("quorinky_tsrx"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());

  // Another process creates the mutex and owns it.
  qt::Child holder({qt::test_bin_dir() + "/qt_mutex_holder", "quorinky_tsrx", "own"},
                   {{"QUORIN_RUNTIME_DIR", runtime.path()}});
  ASSERT_TRUE(qt::wait_until([&] { return holder.output().find("held exists=0") != std::string::npos; }));
  int exists = 0;
  qp_named_mutex *mine = qp_named_mutex_create("quorinky_tsrx", &exists);
  ASSERT_NE(nullptr, mine);
  EXPECT_EQ(1, exists);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  qp_named_mutex *opened = qp_named_mutex_open("quorinky_tsrx");
  ASSERT_NE(nullptr, opened);
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_named_mutex_wait(opened, 100));
  // The holder dies: its ownership goes with it.
  holder.kill_now(SIGKILL);
  holder.wait();
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_named_mutex_wait(opened, 5000));
  // Two handles in one process exclude each other too.
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_named_mutex_wait(mine, 50));
  EXPECT_EQ(1, qp_named_mutex_release(opened));
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_named_mutex_wait(mine, 1000));
  EXPECT_EQ(1, qp_named_mutex_release(mine));
  qp_named_mutex_close(opened);
  qp_named_mutex_close(mine);
  // Nobody holds a handle any more: the mutex no longer exists.
  EXPECT_EQ(nullptr, qp_named_mutex_open("quorinky_tsrx"));
}

TEST(SyncTest, NamedMutexIsCreatedOnceWhenCreatorsRace) {
  qt::TempDir runtime("nmrace");
  setenv("QUORIN_RUNTIME_DIR", runtime.path().c_str(), 1);
  constexpr int kThreads = 12;
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> ready{0};
    std::atomic<int> created{0};
    std::atomic<int> failed{0};
    std::vector<qp_named_mutex *> handles(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        int exists = -1;
        handles[i] = qp_named_mutex_create("racemutex", &exists);
        if (handles[i] == nullptr) failed.fetch_add(1);
        if (exists == 0) created.fetch_add(1);
      });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(0, failed.load()) << "round " << round;
    EXPECT_EQ(1, created.load()) << "round " << round;
    // Openers see it while any handle is open, and never after the last is closed.
    qp_named_mutex *opened = qp_named_mutex_open("racemutex");
    EXPECT_NE(nullptr, opened);
    qp_named_mutex_close(opened);
    for (qp_named_mutex *h : handles) qp_named_mutex_close(h);
    EXPECT_EQ(nullptr, qp_named_mutex_open("racemutex"));
  }

  // Openers that find no mutex do not make a creator believe it already exists.
  int false_existing = 0;
  for (int round = 0; round < 200; ++round) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> openers;
    for (int i = 0; i < 3; ++i)
      openers.emplace_back([&] {
        while (!stop.load()) qp_named_mutex_close(qp_named_mutex_open("racemutex2"));
      });
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    int exists = -1;
    qp_named_mutex *created = qp_named_mutex_create("racemutex2", &exists);
    ASSERT_NE(nullptr, created);
    if (exists != 0) ++false_existing;
    stop.store(true);
    for (std::thread &t : openers) t.join();
    qp_named_mutex_close(created);
  }
  EXPECT_EQ(0, false_existing);
}

uint32_t slow_thread(void *arg) {
  qp_sleep_ms(100);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
}

TEST(SyncTest, ThreadsAreWaitedWithATimeout) {
  qp_thread *t = qp_thread_create(slow_thread, reinterpret_cast<void *>(42), 2048);
  ASSERT_NE(nullptr, t);
  uint32_t result = 0;
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_thread_wait(t, 10, &result));
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_thread_wait(t, 5000, &result));
  EXPECT_EQ(42u, result);
  qp_thread_close(t);
}

// Deliberate faults: the sanitizers must let them happen so that the guard can catch them.
__attribute__((no_sanitize("undefined", "thread"))) void null_write(void *) {
  volatile int *p = nullptr;
  *p = 1;
}
__attribute__((no_sanitize("undefined", "thread"))) void divide(void *ctx) {
  volatile int zero = *static_cast<int *>(ctx);
  volatile int x = 7 / zero;
  (void)x;
}
void throws(void *) {
  throw std::runtime_error("boom");
}
void fine(void *ctx) {
  *static_cast<int *>(ctx) = 5;
}

TEST(GuardTest, FaultsBecomeWindowsExceptionCodes) {
  uint32_t code = 1;
  int value = 0;
  EXPECT_EQ(1, qp_guard_call(fine, &value, &code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ(5, value);
  EXPECT_EQ(0, qp_guard_call(null_write, nullptr, &code));
  EXPECT_EQ(0xC0000005u, code);
  int zero = 0;
  EXPECT_EQ(0, qp_guard_call(divide, &zero, &code));
  EXPECT_EQ(0xC0000094u, code);
  EXPECT_EQ(0, qp_guard_call(throws, nullptr, &code));
  EXPECT_EQ(0xE06D7363u, code);
  // Guards on several threads at once, each catching its own fault.
  std::atomic<int> caught{0};
  std::thread a([&] {
    uint32_t c;
    for (int i = 0; i < 50; ++i) caught += qp_guard_call(null_write, nullptr, &c) == 0 && c == 0xC0000005u;
  });
  std::thread b([&] {
    uint32_t c;
    for (int i = 0; i < 50; ++i) caught += qp_guard_call(null_write, nullptr, &c) == 0 && c == 0xC0000005u;
  });
  a.join();
  b.join();
  EXPECT_EQ(100, caught.load());
}

TEST(ClockTest, TimeScaleShortensSleepsAndSpeedsTheClock) {
  std::string out;
  ASSERT_EQ(0, qt::run({qt::test_bin_dir() + "/qt_clock_probe"}, {{"QUORIN_TIME_SCALE", "100"}}, &out));
  unsigned scale = 0;
  unsigned long long real_ms = 0, tick_ms = 0;
  long long clock_s = 0;
  ASSERT_EQ(4, sscanf(out.c_str(), "scale=%u real_ms=%llu clock_s=%lld tick_ms=%llu", &scale, &real_ms,
                      &clock_s, &tick_ms));
  EXPECT_EQ(100u, scale);
  EXPECT_TRUE(qt::WithinNominal(static_cast<long>(real_ms), 5000 / 100, "scaled sleep"));
  EXPECT_GE(clock_s, 4);  // the scaled clock saw the 5 s go by
  EXPECT_GE(tick_ms, 5000u);
  // Without a scale the sleep is real.
  ASSERT_EQ(0, qt::run({qt::test_bin_dir() + "/qt_clock_probe"}, {{"QUORIN_TIME_SCALE", ""}}, &out));
  ASSERT_EQ(4, sscanf(out.c_str(), "scale=%u real_ms=%llu clock_s=%lld tick_ms=%llu", &scale, &real_ms,
                      &clock_s, &tick_ms));
  EXPECT_EQ(1u, scale);
  EXPECT_TRUE(qt::WithinNominal(static_cast<long>(real_ms), 5000, "sleep"));
}

}  // namespace
