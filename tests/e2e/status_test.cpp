// pwctl status against the real quomvlsv, the real SNMPUPS.DLL and upssim cards: every UPS on
// line, a card on battery, a silent card, the service stopped or never started, and the
// configuration missing; its values compared with what net-snmp's snmpget reads from the same
// cards, and nothing switched or written on the way.
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quorin/platform.h"
#include "service_fixture.h"
#include "testsupport.h"
#include "upssim_harness.h"

namespace {

constexpr char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
constexpr char kInputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.3.2.1.0";
constexpr char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// The line of OUT that starts with PREFIX and holds PART, or "".
std::string LineStarting(const std::string &out, const std::string &prefix, const std::string &part = "") {
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.rfind(prefix, 0) == 0 && line.find(part) != std::string::npos) return line;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return "";
}

// The whitespace-separated words of LINE.
std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (true) {
    at = line.find_first_not_of(' ', at);
    if (at == std::string::npos) break;
    size_t end = line.find(' ', at);
    words.push_back(line.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end;
  }
  return words;
}

class StatusTest : public ServiceTest {
 protected:
  StatusTest() {
    snmp_library = "out:SNMPUPS.DLL";
    WriteConfig(
        "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
        "[Server2]\nUPS_NUM=1\nUPS_IP1=127.0.0.3\n[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.4\n");
  }

  // Runs pwctl status (with ARGS) and gives its exit status; standard output and error apart.
  int Status(const std::vector<std::string> &args, std::string *out, std::string *err) {
    qt::TempDir dir("status");
    std::vector<std::string> argv = {
        "sh", "-c", "exec \"$0\" status \"$@\" >\"" + (dir / "out") + "\" 2>\"" + (dir / "err") + "\"",
        qt::out_dir() + "/pwctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = qt::run(argv, Env());
    *out = qt::read_file(dir / "out");
    *err = qt::read_file(dir / "err");
    return status;
  }

  // One value as snmpget reads it (value only, TimeTicks as a number).
  long SnmpGet(const qt::Simulator &sim, const std::string &card, const char *oid) {
    std::string out;
    int rc = qt::run(
        {"snmpget", "-v1", "-c", "kelpie", "-t", "1", "-r", "1", "-On", "-Oqv", "-Ot", sim.agent(card), oid},
        {{"MIBS", ""}}, &out);
    EXPECT_EQ(0, rc) << out;
    return rc == 0 ? strtol(out.c_str(), nullptr, 10) : -2;
  }

  // The log has no line of a command that switches or writes.
  void ExpectNothingSwitched(const qt::Simulator &sim) {
    for (const std::string &text : LogTexts()) {
      EXPECT_EQ(std::string::npos, text.find("PCS command")) << text;
      EXPECT_EQ(std::string::npos, text.find("K02 command")) << text;
      EXPECT_EQ(std::string::npos, text.find("AD1/CSD")) << text;
    }
    for (const char *card : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
      EXPECT_EQ("", sim.ctl(card, {"sets"})) << card;
  }
};

TEST_F(StatusTest, OnLineOnBatteryAndSilentCardsAsSnmpgetReadsThem) {
  qt::Simulator sim("127.0.0.2", "127.0.0.4", {"--community", "kelpie"});
  ASSERT_TRUE(sim.ready());
  extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim.port());
  Start();

  // Every UPS on line: exit 0, each row as snmpget reads the card.
  std::string out, err;
  ASSERT_EQ(0, Status({}, &out, &err)) << out << err;
  EXPECT_EQ("", err);
  qp_service_status s{};
  uint32_t pid = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_service_query_process("Mavr_tsr_monitor", &s, &pid));
  EXPECT_TRUE(
      Has(out, "service        Mavr_tsr_monitor: RUNNING, pid " + std::to_string(pid) + ", pipe answers\n"))
      << out;
  EXPECT_TRUE(Has(out, "status text    configuration loaded: 2 servers, 1 storage units")) << out;
  EXPECT_TRUE(Has(out, ": 2 servers, 1 storage units, 3 UPS\n")) << out;
  const struct {
    const char *card, *role, *section;
  } rows[] = {{"127.0.0.2", "server", "Server1"},
              {"127.0.0.3", "server", "Server2"},
              {"127.0.0.4", "storage", "Storage1"}};
  for (const auto &row : rows) {
    // "server   Server1    UPS_IP1  127.0.0.2        2 on line    100 V    0 s"
    std::vector<std::string> w = Words(LineStarting(out, std::string(row.role) + " ", row.section));
    ASSERT_EQ(11u, w.size()) << out;
    EXPECT_EQ(row.section, w[1]);
    EXPECT_EQ("UPS_IP1", w[2]);
    EXPECT_EQ(row.card, w[3]);
    EXPECT_EQ(std::to_string(SnmpGet(sim, row.card, kOutputStatus)), w[4]);
    EXPECT_EQ("on line", w[5] + " " + w[6]);
    EXPECT_EQ(std::to_string(SnmpGet(sim, row.card, kInputVoltage)) + " V", w[7] + " " + w[8]);
    EXPECT_EQ(std::to_string(SnmpGet(sim, row.card, kTimeOnBattery) / 100) + " s", w[9] + " " + w[10]);
  }
  EXPECT_TRUE(
      Has(out, "verdict        the service runs with its configuration and every UPS is on line (exit 0)"))
      << out;

  // The storage UPS on battery: exit 4, its time on battery between two snmpget reads taken
  // around the status.
  sim.ctl("127.0.0.4", {"power-fail"});
  long before = SnmpGet(sim, "127.0.0.4", kTimeOnBattery) / 100;
  ASSERT_EQ(4, Status({"--json"}, &out, &err)) << out << err;
  long after = SnmpGet(sim, "127.0.0.4", kTimeOnBattery) / 100;
  size_t storage = out.find(
      "{\"role\":\"storage\",\"section\":\"Storage1\",\"key\":\"UPS_IP1\","
      "\"address\":\"127.0.0.4\",\"answered\":true,\"output_status\":3,"
      "\"output_status_text\":\"3 on battery\",\"on_line\":false,\"input_voltage\":0,"
      "\"seconds_on_battery\":");
  ASSERT_NE(std::string::npos, storage) << out;
  long seconds = strtol(out.c_str() + out.find("\"seconds_on_battery\":", storage) + 21, nullptr, 10);
  EXPECT_LE(before, seconds) << out;
  EXPECT_GE(after, seconds) << out;
  EXPECT_EQ(3, SnmpGet(sim, "127.0.0.4", kOutputStatus));
  EXPECT_TRUE(Has(out,
                  "\"address\":\"127.0.0.2\",\"answered\":true,\"output_status\":2,"
                  "\"output_status_text\":\"2 on line\",\"on_line\":true,\"input_voltage\":" +
                      std::to_string(SnmpGet(sim, "127.0.0.2", kInputVoltage)) +
                      ",\"seconds_on_battery\":0}"))
      << out;
  EXPECT_TRUE(
      Has(out, "\"service\":{\"name\":\"Mavr_tsr_monitor\",\"state\":\"RUNNING\",\"state_code\":4,\"pid\":" +
                   std::to_string(pid) + ","))
      << out;
  EXPECT_TRUE(Has(out, "\"configuration_loaded\":true,\"pipe_answers\":true}")) << out;
  EXPECT_TRUE(Has(out, "\"exit_status\":4}\n")) << out;
  EXPECT_EQ('{', out[0]);

  // A silent card besides: it did not answer (exit 5, the worse finding), nothing read of it.
  sim.ctl("127.0.0.3", {"fault", "silent", "on"});
  ASSERT_EQ(5, Status({}, &out, &err)) << out << err;
  EXPECT_TRUE(Has(out, "127.0.0.3        no answer                    -        -\n")) << out;
  EXPECT_TRUE(Has(out, "127.0.0.4        3 on battery")) << out;
  EXPECT_TRUE(Has(out, "verdict        a UPS did not answer (exit 5)")) << out;

  // Back on line and answering: exit 0 again.
  sim.ctl("127.0.0.3", {"fault", "silent", "off"});
  sim.ctl("127.0.0.4", {"power-restore"});
  ASSERT_TRUE(qt::wait_until([&] { return SnmpGet(sim, "127.0.0.4", kOutputStatus) == 2; }));
  EXPECT_EQ(0, Status({}, &out, &err)) << out << err;
  ExpectNothingSwitched(sim);
}

TEST_F(StatusTest, TheServiceStoppedOrNeverStarted) {
  qt::Simulator sim("127.0.0.2", "127.0.0.4", {"--community", "kelpie"});
  ASSERT_TRUE(sim.ready());
  extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim.port());

  // Never started: no status at all; the cards are still read from the configuration.
  std::string out, err;
  EXPECT_EQ(7, Status({}, &out, &err)) << out << err;
  EXPECT_TRUE(Has(out, "service        Mavr_tsr_monitor: no status\n")) << out;
  EXPECT_TRUE(Has(out, "127.0.0.4        2 on line")) << out;
  EXPECT_TRUE(Has(err, "is the service running? No status of Mavr_tsr_monitor in " + install.runtime() +
                           "/services (QUORIN_RUNTIME_DIR)"))
      << err;

  Start();
  Stop();
  EXPECT_EQ(7, Status({"--json"}, &out, &err)) << out << err;
  EXPECT_TRUE(Has(out, "\"state\":\"STOPPED\",\"state_code\":1,\"pid\":null,")) << out;
  EXPECT_TRUE(Has(out, "\"pipe_answers\":false}")) << out;
  EXPECT_TRUE(Has(out, "\"exit_status\":7}")) << out;
  EXPECT_TRUE(Has(err, "is the service running? Mavr_tsr_monitor is STOPPED")) << err;
  ExpectNothingSwitched(sim);
}

TEST_F(StatusTest, TheConfigurationMissing) {
  qt::Simulator sim("127.0.0.2", "127.0.0.4", {"--community", "kelpie"});
  ASSERT_TRUE(sim.ready());
  extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim.port());
  ASSERT_EQ(0, unlink(install.data("ky_e_net.ini").c_str()));
  Start();
  std::string out, err;
  EXPECT_EQ(6, Status({}, &out, &err)) << out << err;
  // The service's own word comes first, before the configuration and the verdict.
  size_t text = out.find("status text    CONFIGURATION NOT LOADED: Config file not found");
  ASSERT_NE(std::string::npos, text) << out;
  EXPECT_LT(text, out.find("configuration  ")) << out;
  EXPECT_TRUE(Has(out, "ky_e_net.ini: Config file not found\n")) << out;
  EXPECT_TRUE(Has(out, "verdict        the configuration is not loaded or cannot be read (exit 6)")) << out;
  EXPECT_TRUE(Has(err, "check " + install.data("ky_e_net.ini"))) << err;

  // A file that appears later is read by the status, but the service has not loaded it: still 6.
  WriteConfig("[common]\nTSR_SVR_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=127.0.0.2\n");
  EXPECT_EQ(6, Status({"--json"}, &out, &err)) << out << err;
  EXPECT_TRUE(Has(out, "\"configuration_loaded\":false")) << out;
  EXPECT_TRUE(Has(out, "\"complete\":true,\"problem\":null,\"servers\":1,\"storage_units\":0}")) << out;
  EXPECT_TRUE(Has(out, "\"address\":\"127.0.0.2\",\"answered\":true,\"output_status\":2,")) << out;

  // An invalid file: the first fault in the service's own words, the sections before it kept.
  WriteConfig(
      "[common]\nTSR_SVR_NUM=2\n[Server1]\nUPS_NUM=1\nUPS_IP1=127.0.0.2\n[Server2]\nUPS_NUM=2\n"
      "UPS_IP1=127.0.0.3\n");
  EXPECT_EQ(6, Status({}, &out, &err)) << out << err;
  EXPECT_TRUE(Has(out, "ky_e_net.ini: Missing UPS_IP2 in [Server2]\n")) << out;
  EXPECT_TRUE(Has(out, "127.0.0.2        2 on line")) << out;
  EXPECT_FALSE(Has(out, "127.0.0.3")) << out;
  ExpectNothingSwitched(sim);
}

}  // namespace
