// Stopping the trap monitor: with no monitor running, during its wait, during a status snapshot
// of a card that does not answer (the stop waits for the snapshot), and a monitor that stays
// busy longer than the stop waits.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "monitor_fixture.h"

namespace {

using qt::MonitorCall;

using Lines = std::vector<std::string>;

// The eight snapshot lines of a card that does not answer.
const Lines kSilentSnapshot = {" InputPhase:-  InputLineFailCause:-- InputLineVoltage=---",
                               "InputMaxLineVoltage=--- InputMinLineVoltage=---",
                               "InputFrequency=--",
                               " OutputStatus:-- OutputPhase:-",
                               "OutputVoltage=--- OutputFrequency=--",
                               "OutputLoad=---- OutputCurrent=---",
                               " BatteryCapacity=--- BatteryTemperature=---",
                               "BatteryRunTimeRemaining=----  BatteryReplaceIndicator=-"};

class MonitorStopTest : public qt::MonitorTest {};

TEST_F(MonitorStopTest, WithoutAMonitorTheStopReturnsThree) {
  Configure("UPS_IP=127.0.0.2\r\n", true, "127.0.0.2");
  size_t mark = LogSize();
  EXPECT_EQ(3, TarvosLumoStop());
  EXPECT_EQ((Lines{"TarvosLumoStop...", "TarvosLumoStop(TarvosLumoGet Stop)..."}), LogTextsSince(mark));
  EXPECT_EQ(0, TarvosLumoStopFlag.load());
}

// A stop during the wait on the trap event ends the call within one pass, with the error
// report of code 8; the flag is back at 0 and the next call runs as usual.
TEST_F(MonitorStopTest, AStopDuringTheWaitEndsTheCallWithinOnePass) {
  Configure("UPS_IP=127.0.0.2\r\n", true, "127.0.0.2");
  size_t mark = LogSize();
  {
    MonitorCall call;
    ASSERT_TRUE(qt::wait_until([&] { return LogHas("---->TarvosLumoGet start..."); }));
    EXPECT_EQ(0, TarvosLumoStop());
    ASSERT_TRUE(call.Wait());
    EXPECT_EQ(1, call.result());
    EXPECT_EQ(qt::StopReport(), call.report());
    EXPECT_EQ(std::string(15, 'X'), call.tail());
  }
  EXPECT_EQ(0, TarvosLumoStopFlag.load());
  EXPECT_EQ(0, g_Get_Running.load());
  Lines lines = LogTextsSince(mark);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("---->TarvosLumoGet start...", lines[0]);
  // The stop's own line comes before the monitor's, which follow in this order.
  EXPECT_EQ("TarvosLumoStop...", lines[1]);
  EXPECT_EQ("TarvosLumoGet Break! by TarvosLumoStopFlag", lines[2]);
  EXPECT_EQ("<====TarvosLumoGet error", lines[3]);
  EXPECT_EQ(0, CodeOf("<====TarvosLumoGet error"));

  SendTrap("127.0.0.2", 12);
  MonitorCall next;
  ASSERT_TRUE(next.Wait());
  EXPECT_EQ(0, next.result());
  EXPECT_EQ(qt::Report(0, 0x81), next.report());
}

// At the real time scale: a low-battery trap makes the monitor read the first unit's values,
// and that card does not answer (sixteen reads of 600 ms). A stop during the snapshot waits
// for it to end and for the monitor to leave.
class MonitorStopRealTimeTest : public qt::MonitorTest {
 protected:
  MonitorStopRealTimeTest() : MonitorTest("1") {}
};

TEST_F(MonitorStopRealTimeTest, AStopDuringTheSnapshotOfASilentCardWaitsForIt) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\n", false, "127.0.0.3");
  g_Trap_Event.store(qp_snmp_trap_listen());
  ASSERT_NE(nullptr, g_Trap_Event.load());
  Ctl("127.0.0.2", {"fault", "silent", "on"});
  long requests = Counter("127.0.0.2", "requests");
  SendTrap("127.0.0.3", 7);
  MonitorCall call;
  ASSERT_TRUE(qt::wait_until([&] { return Counter("127.0.0.2", "requests") > requests; }));
  EXPECT_EQ(0, TarvosLumoStop());
  // The stop returned once the monitor had left: the snapshot is complete.
  EXPECT_EQ(0, TarvosLumoStopFlag.load());
  ASSERT_TRUE(call.Wait(std::chrono::seconds(5)));
  EXPECT_EQ(1, call.result());
  EXPECT_EQ(qt::StopReport(), call.report());
  EXPECT_EQ(kSilentSnapshot, TrapLogTexts(9000));
  EXPECT_FALSE(LogHas("TarvosLumoStop TimeOut..."));
  EXPECT_EQ(16, LogCount("[r]error on SnmpMgrRequest 40"));
  // The trap was handled to its end before the monitor left.
  EXPECT_EQ(0x08u, UnitWord(1, 0));
  EXPECT_EQ(1, CodeOf("ups_X1[ups_index][1] |= OFF_UPS 1"));
}

// A monitor busy for longer than the stop waits (15 s): the stop gives up, logs it and sets the
// flag back, and the monitor goes on; a later stop ends it.
class MonitorStopScaledTest : public qt::MonitorTest {
 protected:
  MonitorStopScaledTest() : MonitorTest("20") {}
};

TEST_F(MonitorStopScaledTest, AStopThatWaitsTooLongGivesUp) {
  Configure("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\n", true, "127.0.0.3");
  // Sixteen answers of 150 ms each: the snapshot takes 48 scaled seconds.
  Ctl("127.0.0.2", {"fault", "delay", "150"});
  long requests = Counter("127.0.0.2", "requests");
  SendTrap("127.0.0.3", 7);
  MonitorCall call;
  ASSERT_TRUE(qt::wait_until([&] { return Counter("127.0.0.2", "requests") > requests; }));
  uint64_t started = qp_tick_ms();
  EXPECT_EQ(0, TarvosLumoStop());
  uint64_t took = qp_tick_ms() - started;
  EXPECT_LT(15000u, took);
  EXPECT_GT(16000u + 4000u, took);
  EXPECT_TRUE(LogHas("TarvosLumoStop TimeOut..."));
  EXPECT_EQ(0, TarvosLumoStopFlag.load());
  EXPECT_FALSE(call.done());
  EXPECT_EQ(1, g_Get_Running.load());
  // The snapshot ends, the monitor goes on; now a stop finds it in its wait.
  ASSERT_TRUE(qt::wait_until([&] { return TrapLog(9000).size() == 8; }, std::chrono::seconds(20)));
  ASSERT_TRUE(qt::wait_until([&] { return LogHas("ups_X1[ups_index][1] |= OFF_UPS 1"); }));
  EXPECT_FALSE(call.done());
  EXPECT_EQ(0, TarvosLumoStop());
  ASSERT_TRUE(call.Wait());
  EXPECT_EQ(qt::StopReport(), call.report());
  EXPECT_EQ(1, LogCount("TarvosLumoStop TimeOut..."));
}

}  // namespace
