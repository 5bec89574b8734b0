// upswatch end to end: the real program with the real SNMPUPS.DLL against upssim cards whose
// traps reach its listener over UDP; a power failure followed to its end, the table of --once,
// traps from the S and O lists, readiness and stop under systemd, the command line and its exit
// statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "snmpups_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
const char kOutputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.4.2.1.0";
const char kUpsOff[] = ".1.3.6.1.4.1.318.1.1.1.6.2.1.0";
const char kCommStatus[] = ".1.3.6.1.4.1.318.1.1.1.8.1.0";
const std::string kColon = "\x81\x46";

// A report of words 0 and 1 as printed by upswatch, and its line in words.
std::string ReportText(unsigned word0, unsigned word1, const std::string &words) {
  char raw[64];
  snprintf(raw, sizeof raw, "8010012%02x%02x", word0, word1);
  return std::string("report ") + raw + std::string(37, '0') +
         "\n    UPS: slot 0 (127.0.0.2); state: " + words + "; other servers' UPS: normal";
}

// One row of the --once table.
std::string TableRow(const char *place, const char *address, const char *status, const char *battery,
                     const char *marks) {
  char row[160];
  snprintf(row, sizeof row, "%-9s %-16s %-28s %-11s %s", place, address, status, battery, marks);
  return row;
}

class UpswatchTest : public qt::SnmpUpsTest {
 protected:
  UpswatchTest() { trap_port = qt::free_udp_port("0.0.0.0"); }

  // Cards FIRST..LAST sending their traps to this test's trap port.
  void Cards(const std::string &first, const std::string &last) {
    sim = std::make_unique<qt::Simulator>(first, last,
                                          std::vector<std::string>{"--community", "kelpie", "--trap-to",
                                                                   "127.0.0.1:" + std::to_string(trap_port)});
    ASSERT_TRUE(sim->ready());
  }
  std::map<std::string, std::string> Env() const {
    std::map<std::string, std::string> env = install.env();
    env["QUORIN_SNMP_PORT"] = std::to_string(sim != nullptr ? sim->port() : 9);
    env["QUORIN_SNMP_TRAP_PORT"] = std::to_string(trap_port);
    env["QUORIN_TIME_SCALE"] = "100";
    env["NOTIFY_SOCKET"] = "";
    return env;
  }
  std::string Program() const { return qt::out_dir() + "/upswatch"; }
  // Starts "upswatch ARGS" in the background.
  void Start(const std::vector<std::string> &args = {},
             const std::map<std::string, std::string> &extra = {}) {
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> env = Env();
    for (const auto &[k, v] : extra) env[k] = v;
    watch = std::make_unique<qt::Child>(argv, env);
  }
  bool Printed(const std::string &text, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    return qt::wait_until([&] { return watch->output().find(text) != std::string::npos; }, timeout);
  }
  // Runs upswatch to its end; returns its exit status and fills OUT.
  int Run(const std::vector<std::string> &args, std::string *out) {
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    return qt::run(argv, Env(), out);
  }
  // The trap port is free again: no process of this test listens on it any more.
  bool TrapPortFree() const {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(trap_port);
    bool free = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return free;
  }

  uint16_t trap_port = 0;
  std::unique_ptr<qt::Child> watch;
};

// A power failure at the card: its on-battery trap is acted on; once its counter passes the
// (shortest) wait the check engine calls for shut-down and the monitor reports it; power back
// clears the marks; switched off, the card's trap is reported with only that mark. SIGTERM ends
// the program within one pass.
TEST_F(UpswatchTest, FollowsAPowerFailureToItsEnd) {
  Cards("127.0.0.2", "127.0.0.2");
  WriteSettings("UPS_IP=127.0.0.2\r\nNO_TRAP=n\r\nUPS_Power_fail_wait=30\r\nSNMP_Trap_interval=2\r\n");
  Start();
  ASSERT_TRUE(Printed("ready: check engine every 5 s, trap monitor running")) << watch->output();
  EXPECT_TRUE(LogHas("<<<<listening for traps..."));

  Ctl("127.0.0.2", {"power-fail"});
  std::string on_battery = "** Trap" + kColon + "[guaranteed should input power fail] <-[127.0.0.2]";
  ASSERT_TRUE(qt::wait_until([&] { return LogHas(on_battery); })) << watch->output();
  // The card's own counter, pushed past the 30 s wait.
  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "3100"});
  ASSERT_TRUE(Printed(ReportText(0x18, 0, "on battery, calls for shut-down"))) << watch->output();
  EXPECT_TRUE(LogHas("**** PowerFail[31sec] TimeOut! -->shutdown ! ****") ||
              LogHas("**** PowerFail[32sec] TimeOut! -->shutdown ! ****"));

  // A check that sees the card back clears both marks (an earlier check may have written the
  // same line, when it saw the card's counter still at 0 right after the power failure).
  int back = LogCount(" UPS[0] is not switched battery");
  Ctl("127.0.0.2", {"power-restore"});
  ASSERT_TRUE(qt::wait_until([&] { return LogCount(" UPS[0] is not switched battery") > back; }))
      << watch->output();

  // Switched off by a SET from net-snmp's snmpset: the turned-off trap leaves no unit on, and
  // the report shows the marks of the power failure gone.
  std::string out;
  ASSERT_EQ(0,
            qt::run({"snmpset", "-v1", "-c", "kelpie", sim->agent("127.0.0.2"), kUpsOff, "i", "2"}, {}, &out))
      << out;
  ASSERT_TRUE(Printed(ReportText(0, 0x81, "switched off, turned-off trap"))) << watch->output();

  auto signalled = Clock::now();
  watch->kill_now(SIGTERM);
  ASSERT_EQ(0, watch->wait(std::chrono::seconds(20))) << watch->output();
  // One pass is the 2 s interval and the 1 s pause, scaled; a check under way ends first.
  EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(3));
  std::string printed = watch->output();
  EXPECT_NE(std::string::npos, printed.find(" stopping\n"));
  EXPECT_EQ(printed.size() - 9, printed.rfind(" stopped\n"));
  EXPECT_TRUE(LogHas("TarvosLumoGet Break! by TarvosLumoStopFlag"));
  EXPECT_TRUE(TrapPortFree());
}

// Every configured UPS at a glance: address, output status, time on battery, marks.
TEST_F(UpswatchTest, OncePrintsEveryUpsAtAGlance) {
  Cards("127.0.0.2", "127.0.0.5");
  WriteSettings("UPS_IP=127.0.0.2\r\nUPS_IP4=127.0.0.3\r\nUPS_IP_S2=127.0.0.4\r\nUPS_IP_O9=127.0.0.5\r\n");
  Ctl("127.0.0.2", {"power-fail"});
  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "10000"});
  Ctl("127.0.0.3", {"set", kOutputVoltage, "u", "0"});
  auto started = Clock::now();
  std::string out;
  ASSERT_EQ(0, Run({"--once"}, &out)) << out;
  long elapsed =
      static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count());
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(out.substr(at, nl - at));
  ASSERT_EQ(6u, lines.size()) << out;
  EXPECT_NE(std::string::npos,
            lines[0].find(" SNMPUPS.DLL 5.600, 4 UPS configured; waiting for the UPS cards"));
  EXPECT_EQ(TableRow("UPS", "address", "output status", "on battery", "marks"), lines[1]);
  // The time on battery counts on while the program runs.
  std::string head = TableRow("slot 0", "127.0.0.2", "3 onBattery", "", "");
  size_t battery_at = head.size() - 13;
  EXPECT_EQ(head.substr(0, battery_at), lines[2].substr(0, battery_at));
  long seconds = atol(lines[2].substr(battery_at).c_str());
  EXPECT_LE(100, seconds);
  EXPECT_GE(101 + elapsed, seconds);
  std::string battery = std::to_string(seconds) + " s";
  EXPECT_EQ(
      TableRow("slot 0", "127.0.0.2", "3 onBattery", battery.c_str(), "on battery, calls for shut-down"),
      lines[2]);
  EXPECT_EQ(TableRow("slot 4", "127.0.0.3", "2 onLine", "0 s", "switched off"), lines[3]);
  EXPECT_EQ(TableRow("S2", "127.0.0.4", "2 onLine", "0 s", "-"), lines[4]);
  EXPECT_EQ(TableRow("O9", "127.0.0.5", "2 onLine", "0 s", "-"), lines[5]);
}

// Traps from units of the S and O lists take their paths: their trap logs and the "UPSTRAP"
// logs of "ky_e_net.apc"; an O unit's low battery calls the first unit for shut-down.
TEST_F(UpswatchTest, TrapsOfTheSAndOListsWriteTheirTrapLogs) {
  Cards("127.0.0.2", "127.0.0.4");
  WriteSettings(
      "UPS_IP=127.0.0.2\r\nUPS_IP_S0=127.0.0.3\r\nUPS_IP_O4=127.0.0.4\r\nNO_TRAP=n\r\n"
      "SNMP_Trap_interval=2\r\n");
  qt::write_file(install.data("ky_e_net.apc"), "[UPSTRAP]\r\n127.0.0.3=7\r\n127.0.0.4=8\r\n");
  Start();
  ASSERT_TRUE(Printed("ready:")) << watch->output();
  auto trap_log = [&](int code) {
    char name[32];
    snprintf(name, sizeof name, "SNMPTRAP/SNMP%03d.LOG", code);
    std::vector<std::string> texts;
    for (const qt::LogRecord &r : qt::ReadRingLog(install.data(name))) texts.push_back(r.text);
    return texts;
  };
  Ctl("127.0.0.3", {"trap", "53"});
  ASSERT_TRUE(qt::wait_until([&] { return trap_log(7).size() == 1; })) << watch->output();
  std::string s_message = "[127.0.0.3]** Trap" + kColon + "[batteryOverTemperature]";
  EXPECT_EQ(std::vector<std::string>{s_message}, trap_log(7));
  std::vector<std::string> own = trap_log(0);
  ASSERT_EQ(9u, own.size());  // the snapshot's eight lines, then the message
  EXPECT_EQ(" OutputStatus:02 OutputPhase:1", own[3]);
  EXPECT_EQ(s_message, own[8]);

  Ctl("127.0.0.4", {"trap", "7"});
  ASSERT_TRUE(Printed(ReportText(0x08, 0, "calls for shut-down"))) << watch->output();
  std::string o_message = "[127.0.0.4]** Trap" + kColon + "[lowBattery]";
  EXPECT_EQ(std::vector<std::string>{o_message}, trap_log(8));
  EXPECT_EQ(9u, trap_log(104).size());
  EXPECT_EQ(o_message, trap_log(104).back());
  watch->kill_now(SIGINT);
  EXPECT_EQ(0, watch->wait(std::chrono::seconds(20))) << watch->output();
}

// Under systemd: READY once the start-up wait returned, STOPPING on the stop request.
TEST_F(UpswatchTest, ReportsReadinessAndStopToSystemd) {
  Cards("127.0.0.2", "127.0.0.2");
  WriteSettings("UPS_IP=127.0.0.2\r\n");
  qt::TempDir dir("notify");
  std::string path = dir / "notify.sock";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
  timeval tv = {20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto next = [&] {
    char buffer[256];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  };
  Start({"--interval", "0.5"}, {{"NOTIFY_SOCKET", path}});
  EXPECT_EQ("READY=1\nSTATUS=watching", next());
  EXPECT_TRUE(LogHas(" **** UPS[0] SNMP is commection ****"));
  EXPECT_TRUE(watch->output().find("ready: check engine every 0.5 s") != std::string::npos ||
              Printed("ready: check engine every 0.5 s"));
  watch->kill_now(SIGINT);
  EXPECT_EQ("STOPPING=1\nSTATUS=stopping", next());
  EXPECT_EQ(0, watch->wait(std::chrono::seconds(20))) << watch->output();
  close(fd);
}

// The command line: help, version, usage errors, a library that cannot be loaded, and cards that
// never answer.
TEST_F(UpswatchTest, CommandLineAndExitStatuses) {
  std::string out;
  EXPECT_EQ(0, Run({"--help"}, &out));
  EXPECT_EQ(0u, out.find("usage: upswatch [VERB] [OPTIONS]\n")) << out;
  EXPECT_NE(std::string::npos, out.find("upswatch watch [--interval SECONDS] [--once]")) << out;
  EXPECT_EQ(0, Run({"--version"}, &out));
  EXPECT_EQ(std::string("upswatch (quorin) ") + QUORIN_VERSION_TEXT + "\n", out);
  EXPECT_EQ(0, Run({"watch", "--help"}, &out));
  EXPECT_NE(std::string::npos, out.find("--interval SECONDS")) << out;
  const std::vector<std::vector<std::string>> usage_errors = {
      {"--bogus"},          {"--interval"},          {"--interval", "0"}, {"--interval", "-1"},
      {"--interval", "5s"}, {"--interval", "86401"}, {"watch", "extra"},  {"nosuchverb"}};
  for (const auto &args : usage_errors) {
    EXPECT_EQ(2, Run(args, &out)) << args[0] << " " << out;
    EXPECT_NE(std::string::npos, out.find("usage: upswatch")) << out;
  }

  // No card reports its UPS connected: exit 1, saying what to check, and nothing listens.
  Cards("127.0.0.2", "127.0.0.2");
  Ctl("127.0.0.2", {"fault", "status", kCommStatus, "genErr"});
  WriteSettings("UPS_IP=127.0.0.2\r\nSNMP_GET_RETRY=2\r\nNO_TRAP=n\r\n");
  EXPECT_EQ(1, Run({}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("upswatch: no UPS card answered: check the cards")) << out;
  EXPECT_TRUE(LogHas(" xxxx UPS SNMP has no connection xxxx"));

  // Without "PathName" the library does not load: exit 3 naming the registry value.
  qt::write_file(install.registry(),
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n");
  EXPECT_EQ(3, Run({"--once"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("ERROR_DLL_INIT_FAILED (1114)")) << out;
  EXPECT_NE(std::string::npos, out.find("check \"PathName\"")) << out;
  // A program folder without the library: exit 3.
  qt::TempDir bare("upswatch");
  qt::copy_file(Program(), bare / "upswatch");
  qt::copy_file(qt::out_dir() + "/libquorin_platform.so", bare / "libquorin_platform.so");
  EXPECT_EQ(3, qt::run({bare / "upswatch", "--once"}, Env(), &out)) << out;
  EXPECT_NE(std::string::npos, out.find("cannot load " + bare.path() + "/SNMPUPS.DLL")) << out;
}

}  // namespace
