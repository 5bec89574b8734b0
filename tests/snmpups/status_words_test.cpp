// The shared status words: input faults answered without a request, bit updates from many
// threads at once that lose nothing, and the SCG error counter under concurrent failures.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"

extern "C" int GetUpsInputStatusFromSnmp(const char *address, int *input_status);
extern "C" int GetUpsDetailStatusFromSnmp3(const char *address, int *group_number, int *active_membership,
                                           int *sync_delay, int *return_capacity_offset, int *group_members,
                                           char *output_state);

namespace {

using qt::SnmpUpsCoreTest;

TEST_F(SnmpUpsCoreTest, InputFaultsReportedByTrapAnswerWithoutARequest) {
  StartCards("127.0.0.2", "127.0.0.4");
  ASSERT_TRUE(LoadWith("UPS_IP=127.0.0.2\r\nUPS_IP_S2=127.0.0.3\r\nUPS_IP_O5=127.0.0.4\r\n"));
  long gets = Counter("127.0.0.2", "gets") + Counter("127.0.0.3", "gets") + Counter("127.0.0.4", "gets");
  int status = -1;
  g_Input_Fault_Main.fetch_or(INPUT_FAULT_BATTERY_TEMPERATURE);
  EXPECT_EQ(1, GetUpsInputStatusFromSnmp("127.0.0.2", &status));
  EXPECT_EQ(0x104, status);
  g_Input_Fault_S[2].fetch_or(INPUT_FAULT_CHARGER);
  EXPECT_EQ(1, GetUpsInputStatusFromSnmp("127.0.0.3", &status));
  EXPECT_EQ(0x102, status);
  g_Input_Fault_O[5].fetch_or(INPUT_FAULT_BAD_VOLTAGE | INPUT_FAULT_RELAY);
  EXPECT_EQ(1, GetUpsInputStatusFromSnmp("127.0.0.4", &status));
  EXPECT_EQ(0x109, status);
  EXPECT_EQ(gets, Counter("127.0.0.2", "gets") + Counter("127.0.0.3", "gets") + Counter("127.0.0.4", "gets"));

  // Without a fault the card is asked.
  g_Input_Fault_Main.store(0);
  EXPECT_EQ(1, GetUpsInputStatusFromSnmp("127.0.0.2", &status));
  EXPECT_NE(0x104, status);
  EXPECT_LT(gets, Counter("127.0.0.2", "gets") + Counter("127.0.0.3", "gets") + Counter("127.0.0.4", "gets"));
}

// Eight threads hammer the same two words a fixed number of times, each on a bit of its own,
// and keep reading their bit back between their updates: no other thread touches it, so it
// must read as the thread left it. An update made as a read followed by a write can put back
// a stale value of the whole word, undoing other threads' updates made in between (when the
// two threads run at once, or when the updating thread is preempted between its read and its
// write); the owners of those bits, reading them back all the time, see that at once. So the
// count of wrong read-backs is exactly 0 and the words end exactly as the threads left them.
TEST_F(SnmpUpsCoreTest, ConcurrentBitUpdatesLoseNothing) {
  ASSERT_TRUE(Load());
  constexpr int kThreads = 8, kRounds = 300000, kReads = 4;
  std::atomic<int> started{0};
  std::atomic<long> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &started, &wrong] {
      const uint32_t bit = 1u << t, high = bit << 8;
      started.fetch_add(1);
      while (started.load() < kThreads) std::this_thread::yield();
      long seen = 0;
      for (int i = 0; i < kRounds; ++i) {
        UnitWordSet(5, 0, bit);
        for (int r = 0; r < kReads; ++r) seen += (UnitWord(5, 0) & bit) == 0;
        UnitWordClear(5, 0, bit);
        for (int r = 0; r < kReads; ++r) seen += (UnitWord(5, 0) & bit) != 0;
        UnitWordSet(5, 1, high);
        for (int r = 0; r < kReads; ++r) seen += (UnitWord(5, 1) & high) == 0;
        UnitWordClear(5, 1, high);
        for (int r = 0; r < kReads; ++r) seen += (UnitWord(5, 1) & high) != 0;
      }
      UnitWordSet(5, 0, bit);
      UnitWordSet(5, 1, high);
      wrong.fetch_add(seen);
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
  EXPECT_EQ(0xFFu, UnitWord(5, 0));
  EXPECT_EQ(0xFF00u, UnitWord(5, 1));
  // Out-of-range slots and words are ignored rather than written.
  UnitWordSet(130, 0, 1);
  UnitWordSet(0, 9, 1);
  EXPECT_EQ(0u, UnitWord(130, 0));
}

// Failed group-number reads from many threads at once: each failure counts once, so the
// counts logged are 1 ... N, none repeated and none missing.
TEST_F(SnmpUpsCoreTest, ScgErrorCountUnderConcurrentFailures) {
  StartCards("127.0.0.2");
  ASSERT_TRUE(Load());
  Ctl("127.0.0.2", {"fault", "status", ".1.3.6.1.4.1.318.1.1.1.10.1.1.0", "genErr"});
  // Below the limit of 30 failures, after which the group number is no longer read.
  constexpr int kThreads = 8, kCalls = 3, kTotal = kThreads * kCalls;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&succeeded] {
      for (int i = 0; i < kCalls; ++i) {
        int group = -1, active = -1, delay = -1, offset = -1, members = -1;
        char state[65] = {0};
        succeeded +=
            GetUpsDetailStatusFromSnmp3("127.0.0.2", &group, &active, &delay, &offset, &members, state);
      }
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(0, succeeded.load());

  const std::string prefix = "GetUpsDetailStatusFromSnmp3(MGN)[127.0.0.2] error! Errcount:[";
  std::vector<int> counts;
  for (const qt::LogRecord &r : Log()) {
    if (r.text.rfind(prefix, 0) != 0) continue;
    counts.push_back(atoi(r.text.c_str() + prefix.size()));
    EXPECT_EQ(0x80100002u, r.code);
  }
  std::sort(counts.begin(), counts.end());
  std::vector<int> expected(kTotal);
  for (int i = 0; i < kTotal; ++i) expected[i] = i + 1;
  EXPECT_EQ(expected, counts);
  EXPECT_EQ(kTotal, g_Scg_Error_Count.load());
}

}  // namespace
