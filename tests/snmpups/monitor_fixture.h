// The trap monitor in the test process: the library's load sequence with its settings, upssim
// cards, the trap listener on a port of the test's own, traps sent by net-snmp's snmptrap, and
// TarvosLumoGet run on a thread of its own.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"

extern "C" int TarvosLumoGet(int reserved1, int reserved2, char *report);
extern "C" int TarvosLumoStop(void);
extern "C" int WaitDaskStartUp(unsigned quiet);
extern "C" int QuoKySnmpCheck(void);

namespace qt {

inline const char kTrapArgument[] = ".1.3.6.1.4.1.318.2.3.3.0";
inline const char kPowerNet[] = ".1.3.6.1.4.1.318";

// The report of one slot: its two first words, the other servers' UPS state, zeros elsewhere.
inline std::string Report(uint32_t word0, uint32_t word1, uint32_t other = 0) {
  char text[64];
  snprintf(text, sizeof text, "8010012%02x%02x00000000000000%02x000000000000000000000", word0, word1, other);
  return text;
}
inline std::string StopReport() {
  return std::string(47, '0') + "8";
}

// One TarvosLumoGet call on a thread of its own.
class MonitorCall {
 public:
  MonitorCall()
      : thread_([this] {
          char buffer[64];
          memset(buffer, 'X', sizeof buffer);
          result_ = TarvosLumoGet(0, 0, buffer);
          tail_ = std::string(buffer + 49, sizeof buffer - 49);
          report_ = std::string(buffer, strnlen(buffer, 49));
          done_.store(true);
        }) {}
  ~MonitorCall() {
    // A call still running is stopped, so that the library is never unloaded under it.
    for (int i = 0; i < 200 && !done_.load(); ++i) {
      TarvosLumoStop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    thread_.join();
  }
  // Waits for the call's return; false when it did not return in time.
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return wait_until([&] { return done_.load(); }, timeout);
  }
  bool done() const { return done_.load(); }
  int result() const { return result_; }
  const std::string &report() const { return report_; }
  // The bytes of the buffer after the report's 49: never written.
  const std::string &tail() const { return tail_; }

 private:
  std::atomic<bool> done_{false};
  int result_ = -1;
  std::string report_, tail_;
  std::thread thread_;
};

class MonitorTest : public SnmpUpsCoreTest {
 protected:
  // SCALE divides the monitor's waits (the 2 s trap interval, its 1 s pause, the 5 s sleep
  // without a listener); the clock reads it once per process, before any use.
  explicit MonitorTest(const char *scale = "100") {
    setenv("QUORIN_TIME_SCALE", scale, 1);
    trap_port = free_udp_port("0.0.0.0");
    setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(trap_port).c_str(), 1);
  }

  // Starts the cards, loads the library with SETTINGS (the trap listener allowed, the shortest
  // trap interval) and, unless told otherwise, runs the start-up wait that opens the listener.
  void Configure(const std::string &settings, bool start_up = true,
                 const std::string &last_card = "127.0.0.5") {
    StartCards("127.0.0.2", last_card);
    ASSERT_TRUE(LoadWith(settings + "NO_TRAP=n\r\nSNMP_Trap_interval=2\r\n"));
    if (start_up) {
      ASSERT_EQ(1, WaitDaskStartUp(0));
      ASSERT_NE(nullptr, g_Trap_Event.load());
    }
  }
  void WriteTrapLogKeys(const std::string &lines) {
    write_file(install.data("ky_e_net.apc"), "[UPSTRAP]\r\n" + lines);
  }

  // Sends a v1 trap with snmptrap: enterprise ENTERPRISE, agent address AGENT, generic 6, the
  // specific number, and BINDINGS given as snmptrap's OID TYPE VALUE triples (default: the trap
  // argument with a text).
  void SendTrap(const std::string &agent, int specific, std::vector<std::string> bindings = {},
                const std::string &enterprise = kPowerNet) {
    if (bindings.empty()) bindings = {kTrapArgument, "s", "upssim test trap"};
    if (bindings.size() == 1 && bindings[0] == "none") bindings.clear();
    std::vector<std::string> argv = {"snmptrap",
                                     "-v1",
                                     "-c",
                                     "public",
                                     "127.0.0.1:" + std::to_string(trap_port),
                                     enterprise,
                                     agent,
                                     "6",
                                     std::to_string(specific),
                                     "0"};
    argv.insert(argv.end(), bindings.begin(), bindings.end());
    std::string output;
    ASSERT_EQ(0, run(argv, {}, &output)) << output;
  }
  // Waits until COUNT traps are queued in the listener.
  bool Queued(uint32_t count) {
    return wait_until([&] { return qp_snmp_trap_count() == count; });
  }

  std::string TrapLogPath(int unit_code) const {
    char name[32];
    snprintf(name, sizeof name, "SNMPTRAP/SNMP%03d.LOG", unit_code);
    return install.data(name);
  }
  std::vector<LogRecord> TrapLog(int unit_code) const { return ReadRingLog(TrapLogPath(unit_code)); }
  std::vector<std::string> TrapLogTexts(int unit_code, size_t from = 0) const {
    std::vector<std::string> texts;
    std::vector<LogRecord> records = TrapLog(unit_code);
    for (size_t i = from; i < records.size(); ++i) texts.push_back(records[i].text);
    return texts;
  }
  // The last record of the library log.
  LogRecord LastLog() const {
    std::vector<LogRecord> records = Log();
    return records.empty() ? LogRecord() : records.back();
  }

  void SetWords(int slot, uint32_t word0, uint32_t word1) {
    ups_X1[slot][0].store(word0);
    ups_X1[slot][1].store(word1);
  }

  uint16_t trap_port = 0;
};

}  // namespace qt
