// The shared status words: input faults answered without a request, and bit updates from many
// threads at once that lose nothing.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core_fixture.h"

extern "C" int GetUpsInputStatusFromSnmp(const char *address, int *input_status);

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

TEST_F(SnmpUpsCoreTest, ConcurrentBitUpdatesLoseNothing) {
  ASSERT_TRUE(Load());
  constexpr int kThreads = 8, kRounds = 200000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      uint32_t bit = 1u << t;
      for (int i = 0; i < kRounds; ++i) {
        UnitWordSet(5, 0, bit);
        UnitWordClear(5, 0, bit);
        UnitWordSet(5, 1, bit << 8);
        g_Input_Fault_S[3].fetch_or(bit);
        g_Input_Fault_S[3].fetch_and(~bit);
      }
      UnitWordSet(5, 0, bit);
      g_Input_Fault_S[3].fetch_or(bit);
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(0xFFu, UnitWord(5, 0));
  EXPECT_EQ(0xFF00u, UnitWord(5, 1));
  EXPECT_EQ(0xFFu, g_Input_Fault_S[3].load());
  // Out-of-range slots and words are ignored rather than written.
  UnitWordSet(130, 0, 1);
  UnitWordSet(0, 9, 1);
  EXPECT_EQ(0u, UnitWord(130, 0));
}

}  // namespace
