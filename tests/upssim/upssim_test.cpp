// upssim as net-snmp's own tools see it (snmpget, snmpset, snmpwalk), its behaviour model,
// faults, traps (through the SNMP layer's listener) and control verbs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quorin/qp_error.h"
#include "quorin/qp_snmp.h"
#include "testsupport.h"
#include "timing.h"
#include "upssim_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
// The simulator moves its cards' models on (battery, time on battery, pending actions) in
// ticks of this length.
constexpr long kModelTickMs = 100;

#define UPS ".1.3.6.1.4.1.318.1.1.1"
const char kOutputStatus[] = UPS ".4.1.1.0";
const char kOutputVoltage[] = UPS ".4.2.1.0";
const char kInputVoltage[] = UPS ".3.2.1.0";
const char kFailCause[] = UPS ".3.2.5.0";
const char kTimeOnBattery[] = UPS ".2.1.2.0";
const char kBatteryStatus[] = UPS ".2.1.1.0";
const char kCapacity[] = UPS ".2.2.1.0";
const char kRunTimeRemaining[] = UPS ".2.2.3.0";
const char kOutputState[] = UPS ".11.1.1.0";
const char kShutoffDelay[] = UPS ".5.2.10.0";
const char kSleepTime[] = UPS ".5.2.11.0";
const char kReturnDelay[] = UPS ".5.2.9.0";
const char kTurnOff[] = UPS ".6.2.1.0";
const char kTurnOn[] = UPS ".6.2.6.0";
const char kSleepControl[] = UPS ".6.2.3.0";
const char kConserve[] = UPS ".6.1.1.0";
const char kCommStatus[] = UPS ".8.1.0";
const char kOutletTableSize[] = UPS ".12.2.1.0";
const char kFirmware[] = UPS ".1.2.1.0";
const char kTrapArgument[] = ".1.3.6.1.4.1.318.2.3.3.0";

// Every variable the SNMP UPS library reads or writes on a card without outlet groups, with the
// type the library asks for, as snmpwalk names it.
struct TypedVariable {
  const char *oid;
  const char *type;
};
const TypedVariable kLibraryVariables[] = {
    {UPS ".1.1.1.0", "STRING"},     {UPS ".1.2.1.0", "STRING"},     {UPS ".1.2.3.0", "STRING"},
    {UPS ".2.1.2.0", "Timeticks"},  {UPS ".2.2.1.0", "Gauge32"},    {UPS ".2.2.2.0", "Gauge32"},
    {UPS ".2.2.3.0", "Timeticks"},  {UPS ".2.2.4.0", "INTEGER"},    {UPS ".2.2.5.0", "INTEGER"},
    {UPS ".2.2.6.0", "INTEGER"},    {UPS ".3.1.1.0", "INTEGER"},    {UPS ".3.2.1.0", "Gauge32"},
    {UPS ".3.2.2.0", "Gauge32"},    {UPS ".3.2.3.0", "Gauge32"},    {UPS ".3.2.4.0", "Gauge32"},
    {UPS ".3.2.5.0", "INTEGER"},    {UPS ".4.1.1.0", "INTEGER"},    {UPS ".4.1.2.0", "INTEGER"},
    {UPS ".4.2.1.0", "Gauge32"},    {UPS ".4.2.2.0", "Gauge32"},    {UPS ".4.2.3.0", "Gauge32"},
    {UPS ".4.2.4.0", "Gauge32"},    {UPS ".5.2.2.0", "INTEGER"},    {UPS ".5.2.3.0", "INTEGER"},
    {UPS ".5.2.4.0", "INTEGER"},    {UPS ".5.2.5.0", "Timeticks"},  {UPS ".5.2.6.0", "INTEGER"},
    {UPS ".5.2.7.0", "INTEGER"},    {UPS ".5.2.8.0", "Timeticks"},  {UPS ".5.2.9.0", "Timeticks"},
    {UPS ".5.2.10.0", "Timeticks"}, {UPS ".5.2.11.0", "Timeticks"}, {UPS ".5.2.14.0", "Timeticks"},
    {UPS ".6.1.1.0", "INTEGER"},    {UPS ".6.2.1.0", "INTEGER"},    {UPS ".6.2.3.0", "INTEGER"},
    {UPS ".6.2.6.0", "INTEGER"},    {UPS ".7.2.1.0", "INTEGER"},    {UPS ".8.1.0", "INTEGER"},
    {UPS ".10.1.1.0", "INTEGER"},   {UPS ".10.1.2.0", "INTEGER"},   {UPS ".10.1.3.0", "INTEGER"},
    {UPS ".10.1.4.0", "INTEGER"},   {UPS ".10.1.5.0", "IpAddress"}, {UPS ".10.2.1.0", "INTEGER"},
    {UPS ".11.1.1.0", "STRING"},
};

// The outlet-group variables of a model with two groups: table size, group states, commands.
const TypedVariable kOutletVariables[] = {
    {UPS ".12.1.2.1.3.1", "INTEGER"}, {UPS ".12.1.2.1.3.2", "INTEGER"}, {UPS ".12.2.1.0", "INTEGER"},
    {UPS ".12.3.2.1.3.1", "INTEGER"}, {UPS ".12.3.2.1.3.2", "INTEGER"},
};

// Runs one of net-snmp's tools (no MIB loaded, numeric OIDs) and returns what it printed.
std::string tool(const std::string &name, const std::vector<std::string> &args, int *status = nullptr) {
  std::vector<std::string> argv = {name, "-v1", "-On"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  int rc = qt::run(argv, {{"MIBS", ""}}, &output, std::chrono::seconds(30));
  if (status != nullptr) *status = rc;
  return output;
}

std::string snmpget(const qt::Simulator &sim, const std::vector<std::string> &oids,
                    const std::string &card = "127.0.0.2", const std::string &community = "public") {
  std::vector<std::string> args = {"-c", community, "-t", "1", "-r", "0", sim.agent(card)};
  args.insert(args.end(), oids.begin(), oids.end());
  return tool("snmpget", args);
}

std::string snmpset(const qt::Simulator &sim, const std::vector<std::string> &bindings, int *status = nullptr,
                    const std::string &card = "127.0.0.2") {
  std::vector<std::string> args = {"-c", "public", "-t", "1", "-r", "0", sim.agent(card)};
  args.insert(args.end(), bindings.begin(), bindings.end());
  return tool("snmpset", args, status);
}

// The value part of "OID = TYPE: value" for one GET.
std::string get1(const qt::Simulator &sim, const std::string &oid, const std::string &card = "127.0.0.2") {
  std::string line = snmpget(sim, {oid}, card);
  std::string prefix = oid + " = ";
  if (line.compare(0, prefix.size(), prefix) != 0) return "?" + line;
  line = line.substr(prefix.size());
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// The values of OIDS read in one request, so that they show one moment of the card, as
// "TYPE: value" each.
std::vector<std::string> getn(const qt::Simulator &sim, const std::vector<std::string> &oids) {
  std::istringstream in(snmpget(sim, oids));
  std::vector<std::string> values;
  for (std::string line; std::getline(in, line);) {
    size_t eq = line.find(" = ");
    values.push_back(eq == std::string::npos ? "?" + line : line.substr(eq + 3));
  }
  return values;
}

// Flag INDEX of an output state text as read ("STRING: \"0101...\"").
char flag_of(const std::string &state, size_t index) {
  size_t quote = state.find('"');
  return quote != std::string::npos && quote + 1 + index < state.size() ? state[quote + 1 + index] : '?';
}

// Time-outs of the cards, in hundredths of a second, that leave a window of real time holding
// one request kWindowMargin times over.
long WindowTicks() {
  return qt::WindowForSteps(1) / 10;
}

char state_flag(const qt::Simulator &sim, size_t index) {
  std::string text = get1(sim, kOutputState);  // STRING: "0101..."
  size_t quote = text.find('"');
  return quote != std::string::npos && quote + 1 + index < text.size() ? text[quote + 1 + index] : '?';
}

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

bool wait_for(const qt::Simulator &sim, const std::string &oid, const std::string &value,
              std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return qt::wait_until([&] { return get1(sim, oid) == value; }, timeout);
}

// Polls OID until it reads VALUE, after the request that started the wait was sent (at BEFORE)
// and answered (at AFTER): the start of the last poll that read something else, counted from
// AFTER, and the end of the first that read VALUE, counted from BEFORE, so that both lean
// against the time the wait is checked for (see qt::SeenWithinNominal).
struct Seen {
  bool ok = false;
  long last_before_ms = 0, first_seen_ms = 0;
};
Seen timed_wait_for(const qt::Simulator &sim, const std::string &oid, const std::string &value,
                    Clock::time_point before, Clock::time_point after,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  Seen seen;
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    long started = ElapsedMs(after);
    if (get1(sim, oid) == value) {
      seen.ok = true;
      seen.first_seen_ms = ElapsedMs(before);
      return seen;
    }
    seen.last_before_ms = started;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return seen;
}

// A trap listener in this test process, on a port of its own, that upssim sends to.
class TrapReceiver {
 public:
  TrapReceiver() {
    port_ = qt::free_udp_port("0.0.0.0");
    setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(port_).c_str(), 1);
    event_ = qp_snmp_trap_listen();
    EXPECT_NE(nullptr, event_) << GetLastError();
  }
  std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

  // The specific numbers of the traps received until none came for QUIET_MS, each as
  // "SPECIFIC" with the checks of the PowerNet trap form applied.
  std::vector<int> collect(int expected, uint32_t timeout_ms = 5000) {
    std::vector<int> specifics;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (static_cast<int>(specifics.size()) < expected && Clock::now() < deadline) {
      qp_snmp_trap trap;
      if (qp_snmp_get_trap(&trap) != 1) {
        qp_event_wait(event_, 50);
        qp_event_reset(event_);
        continue;
      }
      char enterprise[256];
      qp_snmp_oid_to_text(&trap.enterprise, enterprise, sizeof enterprise);
      EXPECT_STREQ(".1.3.6.1.4.1.318", enterprise);
      EXPECT_EQ(6, trap.generic_trap);
      EXPECT_EQ(4u, trap.agent_address_length);
      last_agent_ = trap.agent_address[3];
      if (trap.varbind_count > 0) {
        char name[256];
        qp_snmp_oid_to_text(&trap.varbinds[0].name, name, sizeof name);
        EXPECT_STREQ(kTrapArgument, name);
        last_text_ = std::string(reinterpret_cast<char *>(trap.varbinds[0].value.bytes),
                                 trap.varbinds[0].value.length);
      }
      last_bindings_ = trap.varbind_count;
      specifics.push_back(trap.specific_trap);
      qp_snmp_trap_free(&trap);
    }
    return specifics;
  }
  int last_agent() const { return last_agent_; }
  const std::string &last_text() const { return last_text_; }
  uint32_t last_bindings() const { return last_bindings_; }

 private:
  uint16_t port_ = 0;
  qp_event *event_ = nullptr;
  int last_agent_ = 0;
  std::string last_text_;
  uint32_t last_bindings_ = 0;
};

TEST(Upssim, SnmpgetReadsACardOnLine) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  EXPECT_EQ(
      ".1.3.6.1.4.1.318.1.1.1.4.1.1.0 = INTEGER: 2\n"
      ".1.3.6.1.4.1.318.1.1.1.3.2.1.0 = Gauge32: 100\n"
      ".1.3.6.1.4.1.318.1.1.1.4.2.1.0 = Gauge32: 100\n"
      ".1.3.6.1.4.1.318.1.1.1.2.2.1.0 = Gauge32: 100\n"
      ".1.3.6.1.4.1.318.1.1.1.2.2.3.0 = Timeticks: (180000) 0:30:00.00\n"
      ".1.3.6.1.4.1.318.1.1.1.2.1.2.0 = Timeticks: (0) 0:00:00.00\n"
      ".1.3.6.1.4.1.318.1.1.1.1.1.1.0 = STRING: \"QSIM UPS 1500\"\n"
      ".1.3.6.1.4.1.318.1.1.1.1.2.1.0 = STRING: \"QS 6.4.I\"\n"
      ".1.3.6.1.4.1.318.1.1.1.1.2.3.0 = STRING: \"QS0000000002\"\n"
      ".1.3.6.1.4.1.318.1.1.1.8.1.0 = INTEGER: 1\n"
      ".1.3.6.1.4.1.318.1.1.1.11.1.1.0 = STRING: "
      "\"0001010000000000000000000000000000000000000000000000000000000000\"\n"
      ".1.3.6.1.4.1.318.1.1.1.10.1.5.0 = IpAddress: 224.0.0.100\n",
      snmpget(sim,
              {kOutputStatus, kInputVoltage, kOutputVoltage, kCapacity, kRunTimeRemaining, kTimeOnBattery,
               UPS ".1.1.1.0", kFirmware, UPS ".1.2.3.0", kCommStatus, kOutputState, UPS ".10.1.5.0"}));
  std::string description = get1(sim, ".1.3.6.1.2.1.1.1.0");
  EXPECT_NE(std::string::npos, description.find("MB:v3.9.2")) << description;
  // A name the card does not have: noSuchName for the first unknown binding.
  std::string missing = snmpget(sim, {kOutputStatus, UPS ".99.0"});
  EXPECT_NE(std::string::npos, missing.find("(noSuchName)")) << missing;
  EXPECT_NE(std::string::npos, missing.find("Failed object: " UPS ".99.0")) << missing;
}

// Walks the PowerNet branch of a card: every name in increasing order, mapped to the type
// snmpwalk shows for it.
std::map<std::string, std::string> walk_types(const qt::Simulator &sim, std::string *walk) {
  int status = -1;
  *walk = tool("snmpwalk", {"-c", "public", "-t", "1", "-r", "0", sim.agent(), ".1.3.6.1.4.1.318"}, &status);
  EXPECT_EQ(0, status) << *walk;
  std::istringstream lines(*walk);
  std::string line, previous;
  std::map<std::string, std::string> types;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != '.') continue;  // the closing "End of MIB"
    std::string name = line.substr(0, line.find(' '));
    size_t equals = line.find(" = ");
    size_t colon = line.find(':', equals);
    EXPECT_TRUE(equals != std::string::npos && colon != std::string::npos) << line;
    if (equals == std::string::npos || colon == std::string::npos) continue;
    if (!previous.empty()) {
      qp_snmp_oid a, b;
      EXPECT_EQ(1, qp_snmp_oid_from_text(previous.c_str(), &a)) << previous;
      EXPECT_EQ(1, qp_snmp_oid_from_text(name.c_str(), &b)) << name;
      EXPECT_LT(qp_snmp_oid_compare(&a, &b), 0) << previous << " then " << name;
    }
    previous = name;
    types[name] = line.substr(equals + 3, colon - equals - 3);
  }
  return types;
}

TEST(Upssim, SnmpwalkListsEveryVariableTheLibraryUsesInOrderWithItsType) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  std::string walk;
  std::map<std::string, std::string> types = walk_types(sim, &walk);
  for (const TypedVariable &v : kLibraryVariables) {
    auto found = types.find(v.oid);
    ASSERT_NE(types.end(), found) << v.oid;
    EXPECT_EQ(v.type, found->second) << v.oid;
  }
  EXPECT_EQ(47u, types.size()) << walk;
  // The outlet-group table exists only on outlet-group models.
  for (const TypedVariable &v : kOutletVariables) EXPECT_EQ(0u, types.count(v.oid)) << v.oid;

  qt::Simulator outlets("127.0.0.2", "", {}, "[card 127.0.0.2]\noutlet-groups = 2\n");
  ASSERT_TRUE(outlets.ready());
  types = walk_types(outlets, &walk);
  for (const TypedVariable &v : kOutletVariables) {
    auto found = types.find(v.oid);
    ASSERT_NE(types.end(), found) << v.oid << "\n" << walk;
    EXPECT_EQ(v.type, found->second) << v.oid;
  }
  EXPECT_EQ(52u, types.size()) << walk;
}

TEST(Upssim, PowerFailureRunsOnBatteryUntilLowBatteryAndRestoreReturnsOnLine) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", traps.target(), "--runtime", "200"});
  ASSERT_TRUE(sim.ready());
  auto before_fail = Clock::now();
  EXPECT_EQ("on battery\n", sim.ctl("127.0.0.2", {"power-fail"}));
  auto after_fail = Clock::now();
  EXPECT_EQ((std::vector<int>{5}), traps.collect(1));
  EXPECT_EQ(2, traps.last_agent());
  EXPECT_EQ("INTEGER: 3", get1(sim, kOutputStatus));
  EXPECT_EQ("Gauge32: 0", get1(sim, kInputVoltage));
  EXPECT_EQ("INTEGER: 4", get1(sim, kFailCause));
  EXPECT_EQ("Gauge32: 100", get1(sim, kOutputVoltage));
  EXPECT_EQ('1', state_flag(sim, 1));
  EXPECT_EQ('0', state_flag(sim, 3));

  // Time on battery counts in hundredths of the real time since the power failed; the battery
  // drains 0.5 % a second. Both are read 1.5 s after the failure or later, and no later than
  // the time measured from before the failure to after the reads. The card's model moves on in
  // ticks of 100 ms, the first counting from the tick before the failure, and a request is
  // answered before a tick that fell due while the simulator waited for the processor: the
  // time read may lag by a tick and such a wait, or lead by a tick.
  std::this_thread::sleep_until(after_fail + std::chrono::milliseconds(1500));
  std::string ticks = sim.value("127.0.0.2", kTimeOnBattery);
  std::string capacity = sim.value("127.0.0.2", kCapacity);
  const long least_ms = 1500, most_ms = ElapsedMs(before_fail);
  long on_battery = strtol(ticks.c_str() + strlen("TimeTicks "), nullptr, 10);
  EXPECT_GE(on_battery * 10, least_ms - kModelTickMs - qt::kLongestStepMs - qt::kClockGrainMs) << ticks;
  EXPECT_LE(on_battery * 10, most_ms + kModelTickMs + qt::kClockGrainMs) << ticks;
  long gauge = strtol(capacity.c_str() + strlen("Gauge "), nullptr, 10);
  EXPECT_GE(gauge, std::lround(100.0 - static_cast<double>(most_ms) / 2000.0)) << capacity;
  EXPECT_LE(gauge, std::lround(100.0 - static_cast<double>(least_ms) / 2000.0)) << capacity;

  // Near empty: the run time left (1 % of 200 s) is under the 120 s threshold.
  sim.ctl("127.0.0.2", {"set", kCapacity, "u", "1"});
  EXPECT_EQ((std::vector<int>{7}), traps.collect(1));
  EXPECT_EQ("INTEGER: 3", get1(sim, kBatteryStatus));
  long remaining = strtol(get1(sim, kRunTimeRemaining).c_str() + strlen("Timeticks: ("), nullptr, 10);
  EXPECT_LE(remaining, 200);  // 1 % of 200 s, draining
  EXPECT_GE(remaining, 100);
  EXPECT_EQ('1', state_flag(sim, 2));
  // The time on battery goes on from a value set by hand.
  sim.ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "6100"});
  EXPECT_GE(strtol(get1(sim, kTimeOnBattery).c_str() + strlen("Timeticks: ("), nullptr, 10), 6100);

  EXPECT_EQ("on mains\n", sim.ctl("127.0.0.2", {"power-restore"}));
  EXPECT_EQ((std::vector<int>{9}), traps.collect(1));
  EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus));
  EXPECT_EQ("Gauge32: 100", get1(sim, kInputVoltage));
  EXPECT_EQ("Timeticks: (0) 0:00:00.00", get1(sim, kTimeOnBattery));
  EXPECT_EQ('1', state_flag(sim, 3));
}

TEST(Upssim, GracefulTurnOffWaitsForTheShutdownDelay) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", traps.target()});
  ASSERT_TRUE(sim.ready());
  int status = -1;
  // A shut-down delay that leaves room for one request in it.
  const long delay = WindowTicks();
  EXPECT_NE(std::string::npos, snmpset(sim, {kShutoffDelay, "t", std::to_string(delay)}, &status)
                                   .find(UPS ".5.2.10.0 = Timeticks: (" + std::to_string(delay) + ")"));
  auto start = Clock::now();
  EXPECT_EQ(UPS ".6.2.1.0 = INTEGER: 3\n", snmpset(sim, {kTurnOff, "i", "3"}, &status));
  auto set = Clock::now();
  EXPECT_EQ(0, status);
  // During the delay: graceful shutdown in progress, output still on line and powered.
  std::vector<std::string> during = getn(sim, {kOutputState, kOutputStatus, kOutputVoltage});
  ASSERT_EQ(3u, during.size());
  EXPECT_EQ('1', flag_of(during[0], 21)) << during[0];
  EXPECT_EQ("INTEGER: 2", during[1]);
  EXPECT_EQ("Gauge32: 100", during[2]);
  Seen off = timed_wait_for(sim, kOutputStatus, "INTEGER: 7", start, set);
  ASSERT_TRUE(off.ok);
  EXPECT_TRUE(qt::SeenWithinNominal(off.last_before_ms, off.first_seen_ms, delay * 10, "shut-down delay"));
  EXPECT_EQ("Gauge32: 0", get1(sim, kOutputVoltage));
  EXPECT_EQ('0', state_flag(sim, 21));
  EXPECT_EQ((std::vector<int>{39, 12}), traps.collect(2));

  EXPECT_EQ(UPS ".6.2.6.0 = INTEGER: 2\n", snmpset(sim, {kTurnOn, "i", "2"}));
  EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus));
  EXPECT_EQ("Gauge32: 100", get1(sim, kOutputVoltage));
  EXPECT_EQ((std::vector<int>{30}), traps.collect(1));
}

TEST(Upssim, SleepLastsTheSleepTime) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", traps.target()});
  ASSERT_TRUE(sim.ready());
  // A sleep that leaves room for one request in it.
  const long sleep = WindowTicks();
  snmpset(sim, {kSleepTime, "t", std::to_string(sleep)});
  auto start = Clock::now();
  snmpset(sim, {kSleepControl, "i", "2"});
  auto set = Clock::now();
  std::vector<std::string> during = getn(sim, {kOutputStatus, kOutputVoltage, kOutputState});
  ASSERT_EQ(3u, during.size());
  EXPECT_EQ("INTEGER: 5", during[0]);
  EXPECT_EQ("Gauge32: 0", during[1]);
  EXPECT_EQ('1', flag_of(during[2], 16)) << during[2];
  Seen awake = timed_wait_for(sim, kOutputStatus, "INTEGER: 2", start, set);
  ASSERT_TRUE(awake.ok);
  EXPECT_TRUE(qt::SeenWithinNominal(awake.last_before_ms, awake.first_seen_ms, sleep * 10, "sleep time"));
  EXPECT_EQ((std::vector<int>{13, 14}), traps.collect(2));
}

// What the library's power-failure turn-off sends to a card that is on mains: sleep time 0, then
// sleep control 3. The card sleeps gracefully and, mains being there, comes back after the
// return delay instead of sleeping for good; a turn-on ends such a sleep early.
TEST(Upssim, GracefulSleepUntilPowerReturnsOnMainsEndsAfterTheReturnDelay) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", traps.target()});
  ASSERT_TRUE(sim.ready());
  // A shut-down delay that leaves room for one request in it, and a return delay of 1 s.
  const long delay = WindowTicks();
  snmpset(sim, {kShutoffDelay, "t", std::to_string(delay)});
  snmpset(sim, {kReturnDelay, "t", "100"});
  EXPECT_EQ(std::string(kSleepTime) + " = Timeticks: (0) 0:00:00.00\n", snmpset(sim, {kSleepTime, "t", "0"}));
  auto start = Clock::now();
  int status = -1;
  EXPECT_EQ(std::string(kSleepControl) + " = INTEGER: 3\n", snmpset(sim, {kSleepControl, "i", "3"}, &status));
  auto set = Clock::now();
  EXPECT_EQ(0, status);
  std::vector<std::string> during = getn(sim, {kOutputState, kOutputVoltage});
  ASSERT_EQ(2u, during.size());
  EXPECT_EQ('1', flag_of(during[0], 21)) << during[0];
  EXPECT_EQ("Gauge32: 100", during[1]);
  Seen asleep = timed_wait_for(sim, kOutputStatus, "INTEGER: 5", start, set);
  ASSERT_TRUE(asleep.ok);
  EXPECT_TRUE(
      qt::SeenWithinNominal(asleep.last_before_ms, asleep.first_seen_ms, delay * 10, "shut-down delay"));
  EXPECT_EQ("Gauge32: 0", get1(sim, kOutputVoltage));
  EXPECT_EQ('0', state_flag(sim, 21));
  Seen back = timed_wait_for(sim, kOutputStatus, "INTEGER: 2", start, set);
  ASSERT_TRUE(back.ok);
  EXPECT_TRUE(qt::SeenWithinNominal(back.last_before_ms, back.first_seen_ms, delay * 10 + 1000,
                                    "shut-down and return delays"));
  EXPECT_EQ("Gauge32: 100", get1(sim, kOutputVoltage));
  EXPECT_EQ((std::vector<int>{39, 13, 14}), traps.collect(3));

  // With a long return delay the card stays asleep until a turn-on wakes it.
  snmpset(sim, {kReturnDelay, "t", "60000"});
  snmpset(sim, {kSleepControl, "i", "2"});
  EXPECT_EQ("INTEGER: 5", get1(sim, kOutputStatus));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ("INTEGER: 5", get1(sim, kOutputStatus));
  EXPECT_EQ(std::string(kTurnOn) + " = INTEGER: 2\n", snmpset(sim, {kTurnOn, "i", "2"}));
  EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus));
  EXPECT_EQ((std::vector<int>{13, 14}), traps.collect(2));
}

TEST(Upssim, ConserveBatteryIsRefusedOnMainsAndSleepsUntilPowerReturnsOnBattery) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", traps.target()});
  ASSERT_TRUE(sim.ready());
  int status = -1;
  std::string refused = snmpset(sim, {kConserve, "i", "2"}, &status);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, refused.find("(badValue)")) << refused;

  snmpset(sim, {kShutoffDelay, "t", "20"});
  snmpset(sim, {kReturnDelay, "t", "0"});
  sim.ctl("127.0.0.2", {"power-fail"});
  EXPECT_EQ(UPS ".6.1.1.0 = INTEGER: 2\n", snmpset(sim, {kConserve, "i", "2"}, &status));
  EXPECT_EQ(0, status);
  EXPECT_TRUE(wait_for(sim, kOutputStatus, "INTEGER: 11"));
  EXPECT_EQ('1', state_flag(sim, 17));
  sim.ctl("127.0.0.2", {"power-restore"});
  EXPECT_TRUE(wait_for(sim, kOutputStatus, "INTEGER: 2"));
  EXPECT_EQ((std::vector<int>{5, 39, 13, 9, 14}), traps.collect(5));
  EXPECT_EQ(UPS ".6.1.1.0 INTEGER 2 badValue\n" UPS ".5.2.10.0 TimeTicks 20 noError\n" UPS
                ".5.2.9.0 TimeTicks 0 noError\n" UPS ".6.1.1.0 INTEGER 2 noError\n",
            sim.ctl("127.0.0.2", {"sets"}));
}

TEST(Upssim, ConfigFileDescribesCardsAndOutletGroupsSwitch) {
  std::string config =
      "# two kinds of card\n"
      "community = public\n"
      "[card 127.0.0.2]\n"
      "model = QSIM UPS 3000 RM\n"
      "serial = AB1234567890\n"
      "description = Test card MB:v4.1.0 PF:v4.1.0\n"
      "outlet-groups = 2\n"
      "value = " UPS
      ".2.2.2.0 u 41\n"
      "value = " UPS
      ".5.2.2.0 i 112\n"
      "value = " UPS
      ".2.2.1.0 u 50\n"
      "[card 127.0.0.3-127.0.0.4]\n"
      "community = private\n"
      "firmware = QS 5.1.0\n";
  qt::Simulator sim("127.0.0.2", "127.0.0.4", {}, config);
  ASSERT_TRUE(sim.ready());
  EXPECT_EQ(UPS ".1.1.1.0 = STRING: \"QSIM UPS 3000 RM\"\n" UPS ".1.2.1.0 = STRING: \"UPS 09.3\"\n" UPS
                ".1.2.3.0 = STRING: \"AB1234567890\"\n" UPS ".2.2.2.0 = Gauge32: 41\n" UPS
                ".5.2.2.0 = INTEGER: 112\n" UPS
                ".12.2.1.0 = INTEGER: 2\n.1.3.6.1.2.1.1.1.0 = STRING: \"Test card MB:v4.1.0 PF:v4.1.0\"\n",
            snmpget(sim, {UPS ".1.1.1.0", kFirmware, UPS ".1.2.3.0", UPS ".2.2.2.0", UPS ".5.2.2.0",
                          kOutletTableSize, ".1.3.6.1.2.1.1.1.0"}));

  EXPECT_EQ("Gauge32: 50", get1(sim, kCapacity));  // recharging from half, 1/6 % a second

  // Outlet group 2 off and on again; group 1 stays on; there is no group 3.
  EXPECT_EQ(UPS ".12.3.2.1.3.2 = INTEGER: 2\n", snmpset(sim, {UPS ".12.3.2.1.3.2", "i", "2"}));
  EXPECT_EQ(UPS ".12.1.2.1.3.1 = INTEGER: 1\n" UPS ".12.1.2.1.3.2 = INTEGER: 2\n",
            snmpget(sim, {UPS ".12.1.2.1.3.1", UPS ".12.1.2.1.3.2"}));
  EXPECT_EQ(UPS ".12.3.2.1.3.2 = INTEGER: 4\n", snmpset(sim, {UPS ".12.3.2.1.3.2", "i", "4"}));
  EXPECT_EQ("INTEGER: 1", get1(sim, UPS ".12.1.2.1.3.2"));
  EXPECT_NE(std::string::npos, snmpset(sim, {UPS ".12.3.2.1.3.3", "i", "2"}).find("(noSuchName)"));

  // The range cards answer their own community only, and have no outlet table.
  EXPECT_EQ(std::string(kFirmware) + " = STRING: \"QS 5.1.0\"\n",
            snmpget(sim, {kFirmware}, "127.0.0.4", "private"));
  EXPECT_NE(std::string::npos, snmpget(sim, {kFirmware}, "127.0.0.3", "public").find("Timeout"));
  EXPECT_NE(std::string::npos, snmpget(sim, {kOutletTableSize}, "127.0.0.3", "private").find("(noSuchName)"));
  EXPECT_NE(std::string::npos, sim.ctl("127.0.0.3", {"dump"}).find("bad-community 1\n"));
}

TEST(Upssim, ConfigurationValuesAreKeptAndCheckedAsOneRequest) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  int status = -1;
  std::string set = snmpset(
      sim, {UPS ".5.2.2.0",  "i", "110", UPS ".5.2.3.0",  "i", "90",        UPS ".5.2.4.0",  "i", "3",
            UPS ".5.2.7.0",  "i", "2",   UPS ".5.2.8.0",  "t", "30000",     UPS ".5.2.5.0",  "t", "6000",
            UPS ".5.2.6.0",  "i", "15",  UPS ".7.2.1.0",  "i", "5",         UPS ".5.2.14.0", "t", "500",
            UPS ".10.1.1.0", "i", "7",   UPS ".10.1.2.0", "i", "1",         UPS ".10.1.3.0", "i", "60",
            UPS ".10.1.4.0", "i", "20",  UPS ".10.1.5.0", "a", "224.0.0.77"},
      &status);
  EXPECT_EQ(0, status) << set;
  EXPECT_EQ(UPS ".5.2.2.0 = INTEGER: 110\n" UPS ".5.2.3.0 = INTEGER: 90\n" UPS ".5.2.4.0 = INTEGER: 3\n" UPS
                ".5.2.7.0 = INTEGER: 2\n" UPS ".5.2.8.0 = Timeticks: (30000) 0:05:00.00\n" UPS
                ".5.2.5.0 = Timeticks: (6000) 0:01:00.00\n" UPS ".5.2.6.0 = INTEGER: 15\n" UPS
                ".7.2.1.0 = INTEGER: 5\n" UPS ".5.2.14.0 = Timeticks: (500) 0:00:05.00\n" UPS
                ".10.1.1.0 = INTEGER: 7\n" UPS ".10.1.2.0 = INTEGER: 1\n" UPS ".10.1.3.0 = INTEGER: 60\n" UPS
                ".10.1.4.0 = INTEGER: 20\n" UPS ".10.1.5.0 = IpAddress: 224.0.0.77\n",
            snmpget(sim, {UPS ".5.2.2.0", UPS ".5.2.3.0", UPS ".5.2.4.0", UPS ".5.2.7.0", UPS ".5.2.8.0",
                          UPS ".5.2.5.0", UPS ".5.2.6.0", UPS ".7.2.1.0", UPS ".5.2.14.0", UPS ".10.1.1.0",
                          UPS ".10.1.2.0", UPS ".10.1.3.0", UPS ".10.1.4.0", UPS ".10.1.5.0"}));

  // One bad binding refuses the whole request: the first one is not applied either.
  std::string bad = snmpset(sim, {UPS ".5.2.2.0", "i", "120", UPS ".5.2.4.0", "i", "9"}, &status);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, bad.find("(badValue)")) << bad;
  EXPECT_NE(std::string::npos, bad.find("Failed object: " UPS ".5.2.4.0")) << bad;
  EXPECT_EQ("INTEGER: 110", get1(sim, UPS ".5.2.2.0"));
  // Variables of the model cannot be written; a wrong type is a bad value.
  EXPECT_NE(std::string::npos, snmpset(sim, {kOutputStatus, "i", "3"}).find("(noSuchName)"));
  EXPECT_NE(std::string::npos, snmpset(sim, {UPS ".5.2.2.0", "u", "110"}).find("(badValue)"));
}

TEST(Upssim, FaultsAreWhatAManagerSees) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  sim.ctl("127.0.0.2", {"fault", "type", kOutputStatus, "gauge"});
  EXPECT_EQ("Gauge32: 2", get1(sim, kOutputStatus));
  sim.ctl("127.0.0.2", {"fault", "status", kCapacity, "genErr"});
  EXPECT_NE(std::string::npos, snmpget(sim, {kCapacity}).find("(genError)"));
  sim.ctl("127.0.0.2", {"fault", "refuse-sets"});
  EXPECT_NE(std::string::npos, snmpset(sim, {kShutoffDelay, "t", "100"}).find("(noSuchName)"));
  EXPECT_EQ("Timeticks: (2000) 0:00:20.00", get1(sim, kShutoffDelay));
  sim.ctl("127.0.0.2", {"fault", "refuse-sets", "readOnly"});
  EXPECT_NE(std::string::npos, snmpset(sim, {kShutoffDelay, "t", "100"}).find("(readOnly)"));

  sim.ctl("127.0.0.2", {"fault", "clear"});
  EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus));
  sim.ctl("127.0.0.2", {"fault", "delay", "400"});
  // Each answer comes 400 ms late (and the manager's own start takes a step).
  EXPECT_TRUE(qt::TakesNominal(
      400,
      [&] {
        auto start = Clock::now();
        EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus));
        return ElapsedMs(start);
      },
      "answer delay", qt::kLongestStepMs));
  sim.ctl("127.0.0.2", {"fault", "delay", "0"});
  sim.ctl("127.0.0.2", {"fault", "silent", "on"});
  EXPECT_NE(std::string::npos, snmpget(sim, {kOutputStatus}).find("Timeout"));
  std::string dump = sim.ctl("127.0.0.2", {"dump"});
  EXPECT_NE(std::string::npos, dump.find("fault silent 1\n")) << dump;
  EXPECT_EQ(UPS ".5.2.10.0 TimeTicks 100 noSuchName\n" UPS ".5.2.10.0 TimeTicks 100 readOnly\n",
            sim.ctl("127.0.0.2", {"sets"}));
  EXPECT_EQ("", sim.ctl("127.0.0.2", {"sets", "clear"}));
  EXPECT_EQ("", sim.ctl("127.0.0.2", {"sets"}));
}

TEST(Upssim, SerialCommunicationFlagFollowsTheLink) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", traps.target()});
  ASSERT_TRUE(sim.ready());
  EXPECT_EQ('1', state_flag(sim, 5));
  sim.ctl("127.0.0.2", {"comm", "lost"});
  EXPECT_EQ('0', state_flag(sim, 5));
  EXPECT_EQ("INTEGER: 2", get1(sim, kCommStatus));
  sim.ctl("127.0.0.2", {"comm", "ok"});
  EXPECT_EQ('1', state_flag(sim, 5));
  EXPECT_EQ((std::vector<int>{1, 8}), traps.collect(2));
  // A pinned state text stays as set until handed back to the model.
  std::string sync(64, '0');
  sync[31] = '1';
  sim.ctl("127.0.0.2", {"set", kOutputState, "s", sync});
  EXPECT_EQ("STRING: \"" + sync + "\"", get1(sim, kOutputState));
  sim.ctl("127.0.0.2", {"unpin", kOutputState});
  EXPECT_EQ('0', state_flag(sim, 31));
  EXPECT_EQ('1', state_flag(sim, 5));
}

TEST(Upssim, TrapsOnDemand) {
  TrapReceiver traps;
  qt::Simulator sim("127.0.0.2", "127.0.0.3", {"--trap-to", traps.target()});
  ASSERT_TRUE(sim.ready());
  EXPECT_EQ("sent 1\n", sim.ctl("127.0.0.3", {"trap", "55"}));
  EXPECT_EQ((std::vector<int>{55}), traps.collect(1));
  EXPECT_EQ(3, traps.last_agent());
  EXPECT_EQ("upssim trap 55", traps.last_text());
  sim.ctl("127.0.0.2", {"trap", "49", "--text", "bad voltage"});
  EXPECT_EQ((std::vector<int>{49}), traps.collect(1));
  EXPECT_EQ("bad voltage", traps.last_text());
  sim.ctl("127.0.0.2", {"trap", "3", "--no-varbinds"});
  EXPECT_EQ((std::vector<int>{3}), traps.collect(1));
  EXPECT_EQ(0u, traps.last_bindings());
}

// The trap verb counts the datagrams that went out: one per trap and receiver, none without a
// receiver, and a trap too large for a datagram is reported as not sent.
TEST(Upssim, TrapReplyCountsTheDatagramsActuallySent) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  int status = -1;
  EXPECT_EQ("sent 0\n", sim.ctl("127.0.0.2", {"trap", "5", "--count", "3"}, &status));
  EXPECT_EQ(0, status);

  TrapReceiver traps;
  sim.ctl("127.0.0.2", {"trap-to", traps.target()});
  EXPECT_EQ("sent 3\n", sim.ctl("127.0.0.2", {"trap", "5", "--count", "3"}, &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ((std::vector<int>{5, 5, 5}), traps.collect(3));
  EXPECT_EQ("upssim trap 5 #3", traps.last_text());

  // A second receiver: a socket of this test that nobody reads.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in second{};
  second.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &second.sin_addr);
  socklen_t length = sizeof second;
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&second), sizeof second));
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr *>(&second), &length));
  sim.ctl("127.0.0.2", {"trap-to", "127.0.0.1:" + std::to_string(ntohs(second.sin_port))});
  EXPECT_EQ("sent 4\n", sim.ctl("127.0.0.2", {"trap", "6", "--count", "2"}, &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ((std::vector<int>{6, 6}), traps.collect(2));

  // The text alone is larger than a UDP datagram may be: nothing goes out, and the verb says so.
  std::string reply = sim.ctl("127.0.0.2", {"trap", "8", "--text", std::string(65480, 'x')}, &status);
  EXPECT_EQ(1, status);
  EXPECT_EQ(0u, reply.find("sent 0 of 2 datagrams: ")) << reply;
  EXPECT_EQ((std::vector<int>{}), traps.collect(1, 300));
  close(fd);
}

TEST(Upssim, HundredThirtyCardsInOneProcess) {
  qt::Simulator sim("127.0.0.2", "127.0.0.131");
  ASSERT_TRUE(sim.ready());
  int answered = 0;
  for (int n = 2; n <= 131; ++n) {
    std::string address = "127.0.0." + std::to_string(n);
    qp_snmp_session *session = qp_snmp_open(sim.agent(address).c_str(), "public", 1000, 1);
    ASSERT_NE(nullptr, session);
    qp_snmp_varbind in{}, out{};
    uint32_t status = 9, index = 9;
    qp_snmp_oid_from_text(UPS ".1.2.3.0", &in.name);
    in.value.type = QP_ASN_NULL;
    char serial[32];
    snprintf(serial, sizeof serial, "QS%010d", n);
    if (qp_snmp_request(session, QP_SNMP_PDU_GET, &in, &out, &status, &index) == 1 && status == 0 &&
        std::string(reinterpret_cast<char *>(out.value.bytes), out.value.length) == serial)
      ++answered;
    qp_snmp_value_free(&out.value);
    qp_snmp_close(session);
  }
  EXPECT_EQ(130, answered);
  EXPECT_EQ("on battery\n", sim.ctl("127.0.0.131", {"power-fail"}));
  EXPECT_EQ("INTEGER: 3", get1(sim, kOutputStatus, "127.0.0.131"));
  EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus, "127.0.0.130"));
}

TEST(Upssim, ControlVerbsReportMistakes) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  int status = -1;
  std::string unknown = sim.ctl("127.0.0.2", {"explode"}, &status);
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, unknown.find("power-fail")) << unknown;
  sim.ctl("127.0.0.2", {"set", kOutputStatus, "i", "three"}, &status);
  EXPECT_EQ(1, status);
  sim.ctl("127.0.0.2", {"fault", "status", kOutputStatus, "sometimes"}, &status);
  EXPECT_EQ(1, status);
  sim.ctl("127.0.0.9", {"dump"}, &status);
  EXPECT_EQ(2, status);
  // A variable set by hand keeps its value and type until unpinned.
  EXPECT_EQ(UPS ".4.1.1.0 INTEGER 12\n", sim.ctl("127.0.0.2", {"set", kOutputStatus, "i", "12"}, &status));
  EXPECT_EQ("INTEGER: 12", get1(sim, kOutputStatus));
  sim.ctl("127.0.0.2", {"unpin", "all"});
  EXPECT_EQ("INTEGER: 2", get1(sim, kOutputStatus));
  EXPECT_EQ("stopping\n", sim.ctl("127.0.0.2", {"quit"}));
  EXPECT_EQ(0, sim.child().wait(std::chrono::seconds(5)));
  EXPECT_FALSE(qt::file_exists(sim.runtime() + "/upssim/127.0.0.2"));
}

}  // namespace
