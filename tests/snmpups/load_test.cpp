// Loading SNMPUPS.DLL as hosts do: by name through the platform loader and with dlopen, with a
// working install, without its registry value, and with a mutex that cannot be created; and
// tables of load-time configurations (settings file, registry), each loaded by a host process
// of its own and judged by the load result, the load-time log lines and the settings file.
#include <gtest/gtest.h>
#include <stdio.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "library_fixture.h"

namespace {

class LoadTest : public qt::LibraryTest {
 protected:
  void SetUp() override {
    StartCards("127.0.0.2");
    install.add("SNMPUPS.DLL");
  }
  // Runs the host probe in a process of its own; returns what it printed.
  std::string Probe(const std::string &how, const std::map<std::string, std::string> &extra = {}) {
    std::map<std::string, std::string> env = install.env();
    env["QUORIN_SNMP_PORT"] = std::to_string(sim->port());
    for (const auto &[k, v] : extra) env[k] = v;
    std::string out;
    int rc = qt::run(
        {qt::test_bin_dir() + "/snmpups_host_probe", how, install.dir() + "/SNMPUPS.DLL", "127.0.0.2"}, env,
        &out);
    EXPECT_EQ(0, rc) << out;
    return out;
  }
  // The product key without "PathName".
  void RemovePathName() {
    qt::write_file(
        install.registry(),
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"LumoUnit\"=hex:01\r\n");
  }
};

TEST_F(LoadTest, ShowsOnlyItsExports) {
  std::string out;
  ASSERT_EQ(0, qt::run({"nm", "-D", "--defined-only", install.dir() + "/SNMPUPS.DLL"}, {}, &out)) << out;
  const char *exports[] = {"CheckOutletUpsSnmp",
                           "GetDasklumoDllVersion",
                           "GetUpsDetailStatusFromSnmp",
                           "GetUpsDetailStatusFromSnmp2",
                           "GetUpsDetailStatusFromSnmp3",
                           "GetUpsInputStatusFromSnmp",
                           "GetUpsStatusFromSnmp",
                           "OutletSetUpsOffbySnmp",
                           "OutletSetUpsOnbySnmp",
                           "OutletUpsStateSnmp",
                           "QuoKyGetInfo",
                           "QuoKyGetUnitState",
                           "QuoKySnmpCheck",
                           "SetUpsOffbySnmp",
                           "SetUpsOnbySnmp",
                           "SetUpsPowerFailOffbySnmp",
                           "SetUpsShutdownDelaybySnmp",
                           "SetUpsSleepOffbySnmp",
                           "SetUpsSleepTimeSnmp",
                           "SetUpsSyncActivebySnmp",
                           "TarvosLumoGet",
                           "TarvosLumoSend",
                           "TarvosLumoSendOnly",
                           "TarvosLumoStop",
                           "UPSCheckSnmpRequest",
                           "UPSCheckSnmpRequest2",
                           "WaitDaskStartUp"};
  std::string expected;
  for (const char *name : exports) expected += std::string(" T ") + name + "\n";
  std::string listed;
  size_t start = 0;
  while (start < out.size()) {
    size_t nl = out.find('\n', start);
    std::string line = out.substr(start, nl - start);
    listed += line.substr(line.find(' ')) + "\n";
    start = nl + 1;
  }
  EXPECT_EQ(expected, listed);
}

TEST_F(LoadTest, AWorkingInstallLoadsAndAnswers) {
  std::string out = Probe("load");
  EXPECT_EQ(0u, out.find("loaded\nGetUpsStatusFromSnmp 1 2\nGetUpsInputStatusFromSnmp 1\n")) << out;
  EXPECT_TRUE(LogHas("SCG API Support..."));
}

TEST_F(LoadTest, WithoutTheInstallPathTheLoadFailsAndNothingIsWritten) {
  RemovePathName();
  EXPECT_EQ("load failed 1114\n", Probe("load"));
  EXPECT_FALSE(qt::file_exists(LogPath()));
  EXPECT_FALSE(qt::file_exists(install.data("snmp.apc")));

  // A host that calls dlopen itself keeps the library, and every export does nothing.
  long requests = Counter("127.0.0.2", "requests");
  std::string out = Probe("dlopen");
  EXPECT_EQ(
      "loaded\n"
      "GetUpsStatusFromSnmp 0 -1\n"
      "GetUpsInputStatusFromSnmp 0\n"
      "GetUpsDetailStatusFromSnmp3 0 untouched\n"
      "CheckOutletUpsSnmp 0\n"
      "SetUpsOffbySnmp 0\n"
      "SetUpsPowerFailOffbySnmp 0\n",
      out);
  EXPECT_EQ(requests, Counter("127.0.0.2", "requests"));
  EXPECT_FALSE(qt::file_exists(LogPath()));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
}

TEST_F(LoadTest, AMutexThatCannotBeCreatedFailsTheLoad) {
  // The third of the four mutexes fails: the load fails after the settings lines.
  EXPECT_EQ("load failed 1114\n", Probe("load", {{"QUORIN_FAULTS", "mutex_create:2:1"}}));
  EXPECT_TRUE(LogHas("5G UPS TimeOut(5000) Retry(1)"));
  EXPECT_FALSE(LogHas("SCG API Support..."));
  EXPECT_NE(std::string::npos, Settings().find("Retry_Outlet=1"));
}

// ---- Load-time configurations, one host process each ---------------------------------------

// What a successful load logs, value by value; the defaults are those of a load without a
// settings file.
struct Expect {
  std::string ups_ip = "127.0.0.1";
  std::string community = "kelpie";
  std::vector<std::string> slots = {};  // the "### [UPS_IP%d] = (%s)" lines, in slot order
  char off = 'S';
  char cut = 'Y';
  int wait = 60;
  int wait_other = 15;
  int trap_seconds = 5;
  int other_on_wait = 0;
  int auto_reboot = 0;
  std::array<int, 9> adv = {108, 92, 1, 0, 0, 4, 120, 0, 2};
  int timeout = 1000;
  int retry = 2;
  int timeout_outlet = 5000;
  int retry_outlet = 1;
  bool debug = false;
};

// One configuration of "data\snmp.apc" and what its load must show.
struct Config {
  const char *name;
  const char *settings;  // the lines of section [SNMP], or nullptr for no settings file at all
  Expect expect;
  // The whole settings file after the load; nullptr: "[SNMP]" CR LF and the lines given,
  // followed by the write-backs of those of the five written-back keys that they lack.
  const char *written = nullptr;
};

// The keys written back when missing, with their values, in the order they are read.
const std::pair<const char *, const char *> kWriteBacks[] = {{"SnmpLogSize", "0"},
                                                             {"TimeOut", "1000"},
                                                             {"Retry", "2"},
                                                             {"TimeOut_Outlet", "5000"},
                                                             {"Retry_Outlet", "1"}};

const char *const kAdvKeys[] = {
    "upsAdvConfigHighTransferVolt",  "upsAdvConfigLowTransferVolt",   "upsAdvConfigAlarm",
    "upsAdvConfigAlarmTimer",        "upsAdvConfigMinReturnCapacity", "upsAdvConfigSensitivity",
    "upsAdvConfigLowBatteryRunTime", "upsAdvConfigBattExhaustThresh", "upsAdvTestDiagnosticSchedule"};

std::string Num(long long n) {
  return std::to_string(n);
}

// A log text as a record keeps it: its first 80 characters, trailing blanks not counted.
std::string AsRecorded(const std::string &text) {
  std::string cut = text.substr(0, 80);
  while (!cut.empty() && cut.back() == ' ') cut.pop_back();
  return cut;
}

// The load-time lines of E, each as "[code] text".
std::vector<std::string> ExpectedLines(const Expect &e) {
  std::vector<std::string> texts = {"### [UPS_IP] = (" + e.ups_ip + ") Community : (" + e.community + ")"};
  texts.insert(texts.end(), e.slots.begin(), e.slots.end());
  texts.push_back(std::string("### Off Mode[UPS_Off] = (") + e.off + ") Sleep/Trun   [DilayTimeCut] = (" +
                  e.cut + ") Y/N");
  texts.push_back("### SNMP watch timer[UPS_Power_fail_wait]= (" + Num(e.wait) + "sec)  [_other]= (" +
                  Num(e.wait_other) + "sec)");
  texts.push_back("### SNMP Trap Interval timer[SNMP_Trap_interval] sec= (" + Num(e.trap_seconds) + ")");
  texts.push_back("### SNMP watch timer[UPS_other_on_wait]= (" + Num(e.other_on_wait) + "sec)");
  texts.push_back("g_Auto_Reboot_Org (" + Num(e.auto_reboot) + ")");
  for (size_t i = 0; i < e.adv.size(); ++i)
    texts.push_back(std::string("*** [") + kAdvKeys[i] + "] = (" + Num(e.adv[i]) + ")");
  texts.push_back("TimeOut(" + Num(e.timeout) + ") Retry(" + Num(e.retry) + ")");
  texts.push_back("5G UPS TimeOut(" + Num(e.timeout_outlet) + ") Retry(" + Num(e.retry_outlet) + ")");
  if (e.debug) texts.push_back("DebugMode Run...");
  texts.push_back("SCG API Support...");
  std::vector<std::string> lines;
  for (const std::string &t : texts) lines.push_back("[00000000] " + AsRecorded(t));
  return lines;
}

// The settings file that a load leaves behind when it started from "[SNMP]" CR LF and LINES.
std::string WithWriteBacks(const std::string &lines) {
  std::string file = "[SNMP]\r\n" + lines;
  for (const auto &[key, value] : kWriteBacks) {
    std::string line = std::string(key) + "=";
    if (lines.compare(0, line.size(), line) != 0 && lines.find("\n" + line) == std::string::npos)
      file += line + value + "\r\n";
  }
  return file;
}

// Records of a library log as "[code] text", from the records in CONTENT at byte offsets FROM
// up to (not including) TO.
std::vector<std::string> RecordsBetween(const std::string &content, size_t from, size_t to) {
  std::vector<std::string> lines;
  for (size_t at = from; at + 113 <= content.size() && at < to; at += 113) {
    std::string raw = content.substr(at, 113);
    EXPECT_EQ("\r\n", raw.substr(111)) << at;
    lines.push_back(AsRecorded(raw.substr(20)));
  }
  return lines;
}

// The 10-byte header of a library log whose next record goes to OFFSET.
std::string HeaderText(size_t offset) {
  char header[16];
  snprintf(header, sizeof header, "%08zu\r\n", offset);
  return header;
}

class LoadConfigTest : public ::testing::Test {
 protected:
  // Loads SNMPUPS.DLL by name from INSTALL through the platform loader in a host process of its
  // own, which exits as soon as the load is done; returns what the host printed.
  static std::string Attach(const qt::Install &install) {
    std::string out;
    int rc = qt::run({qt::test_bin_dir() + "/snmpups_host_probe", "attach", install.dir() + "\\SNMPUPS.DLL"},
                     install.env(), &out);
    EXPECT_EQ(0, rc) << out;
    return out;
  }
  // The records of the SNMP library log of INSTALL, up to the header's offset.
  static std::vector<std::string> LogLines(const qt::Install &install) {
    std::vector<std::string> lines;
    for (const qt::LogRecord &r : qt::ReadRingLog(install.data("SNMPUPS.LOG"))) {
      char code[16];
      snprintf(code, sizeof code, "[%08x] ", r.code);
      lines.push_back(code + r.text);
    }
    return lines;
  }
  static void WriteSettingsFile(const qt::Install &install, const std::string &lines) {
    qt::write_file(install.data("snmp.apc"), "[SNMP]\r\n" + lines);
  }
  // Runs every configuration in a fresh install and host process.
  static void RunAll(const std::vector<Config> &configs) {
    for (const Config &c : configs) {
      SCOPED_TRACE(c.name);
      qt::Install install("snmpload");
      install.add("SNMPUPS.DLL");
      if (c.settings != nullptr) WriteSettingsFile(install, c.settings);
      EXPECT_EQ("loaded\n", Attach(install));
      EXPECT_EQ(ExpectedLines(c.expect), LogLines(install));
      std::string written = c.written != nullptr ? c.written : WithWriteBacks(c.settings ? c.settings : "");
      EXPECT_EQ(written, qt::read_file(install.data("snmp.apc")));
    }
  }
};

TEST_F(LoadConfigTest, ShapesOfTheSettingsFileAndTheWriteBacks) {
  RunAll({
      {"no settings file",
       nullptr,
       {},
       "[SNMP]\r\nSnmpLogSize=0\r\nTimeOut=1000\r\nRetry=2\r\nTimeOut_Outlet=5000\r\nRetry_Outlet=1\r\n"},
      {"empty section", "", {}},
      {"the written-back keys present with other values",
       "SnmpLogSize=3000000\r\nTimeOut=300\r\nRetry=4\r\nTimeOut_Outlet=800\r\nRetry_Outlet=0\r\n",
       {.timeout = 300, .retry = 4, .timeout_outlet = 800, .retry_outlet = 0}},
      // A key whose value reads as the missing marker is rewritten in place; a missing key is
      // added at the end of the section.
      {"a value that reads as the missing marker counts as missing",
       "TimeOut=<default>\r\nRetry=7\r\nUPS_Com=<default>\r\n",
       {.retry = 7},
       "[SNMP]\r\nTimeOut=1000\r\nRetry=7\r\nUPS_Com=<default>\r\nSnmpLogSize=0\r\nTimeOut_Outlet=5000\r\n"
       "Retry_Outlet=1\r\n"},
  });

  // A file without section [SNMP] gets the section added after what it holds; a section or a
  // key of another case is the same section or key.
  struct Shape {
    const char *name, *before, *after;
    Expect expect;
  } shapes[] = {
      {"another section only",
       "[OTHER]\r\nTimeOut=5\r\n",
       "[OTHER]\r\nTimeOut=5\r\n[SNMP]\r\nSnmpLogSize=0\r\nTimeOut=1000\r\nRetry=2\r\nTimeOut_Outlet="
       "5000\r\n"
       "Retry_Outlet=1\r\n",
       {}},
      {"section and keys in other case",
       "[snmp]\r\nups_power_fail_wait=90\r\ntimeout=300\r\nRETRY=4\r\n",
       "[snmp]\r\nups_power_fail_wait=90\r\ntimeout=300\r\nRETRY=4\r\nSnmpLogSize=0\r\nTimeOut_Outlet="
       "5000\r\n"
       "Retry_Outlet=1\r\n",
       {.wait = 90, .wait_other = 45, .timeout = 300, .retry = 4}},
  };
  for (const Shape &s : shapes) {
    SCOPED_TRACE(s.name);
    qt::Install install("snmpload");
    install.add("SNMPUPS.DLL");
    qt::write_file(install.data("snmp.apc"), s.before);
    EXPECT_EQ("loaded\n", Attach(install));
    EXPECT_EQ(ExpectedLines(s.expect), LogLines(install));
    EXPECT_EQ(s.after, qt::read_file(install.data("snmp.apc")));
  }
}

TEST_F(LoadConfigTest, BoundedSettingsBelowAtAndAboveTheirBounds) {
  RunAll({
      // The power-fail wait is at least 30 s; the other wait derives from it.
      {"wait below its minimum", "UPS_Power_fail_wait=29\r\n", {.wait = 30, .wait_other = 15}},
      {"wait at its minimum", "UPS_Power_fail_wait=30\r\n", {.wait = 30, .wait_other = 15}},
      {"wait above its minimum", "UPS_Power_fail_wait=31\r\n", {.wait = 31, .wait_other = 15}},
      {"wait negative", "UPS_Power_fail_wait=-5\r\n", {.wait = 30, .wait_other = 15}},
      {"wait just short of the longer derivation",
       "UPS_Power_fail_wait=59\r\n",
       {.wait = 59, .wait_other = 15}},
      {"wait where the longer derivation starts",
       "UPS_Power_fail_wait=60\r\n",
       {.wait = 60, .wait_other = 15}},
      {"wait past it", "UPS_Power_fail_wait=61\r\n", {.wait = 61, .wait_other = 16}},
      // The other wait keeps a value up to the wait + 45 s; above it, the derived value.
      {"other wait missing", "UPS_Power_fail_wait=100\r\n", {.wait = 100, .wait_other = 55}},
      {"other wait below its bound",
       "UPS_Power_fail_wait=100\r\nUPS_Power_fail_wait_other=144\r\n",
       {.wait = 100, .wait_other = 144}},
      {"other wait at its bound",
       "UPS_Power_fail_wait=100\r\nUPS_Power_fail_wait_other=145\r\n",
       {.wait = 100, .wait_other = 145}},
      {"other wait above its bound",
       "UPS_Power_fail_wait=100\r\nUPS_Power_fail_wait_other=146\r\n",
       {.wait = 100, .wait_other = 55}},
      {"other wait far above",
       "UPS_Power_fail_wait=100\r\nUPS_Power_fail_wait_other=200\r\n",
       {.wait = 100, .wait_other = 55}},
      {"other wait zero",
       "UPS_Power_fail_wait=100\r\nUPS_Power_fail_wait_other=0\r\n",
       {.wait = 100, .wait_other = 0}},
      {"other wait at the bound of a raised wait",
       "UPS_Power_fail_wait=10\r\nUPS_Power_fail_wait_other=75\r\n",
       {.wait = 30, .wait_other = 75}},
      {"other wait above the bound of a raised wait",
       "UPS_Power_fail_wait=10\r\nUPS_Power_fail_wait_other=76\r\n",
       {.wait = 30, .wait_other = 15}},
      {"other wait negative", "UPS_Power_fail_wait_other=-1\r\n", {.wait_other = 15}},
      // The trap interval is at least 2 s, and at most what fits in milliseconds in 32 bits.
      {"trap interval zero", "SNMP_Trap_interval=0\r\n", {.trap_seconds = 2}},
      {"trap interval below its minimum", "SNMP_Trap_interval=1\r\n", {.trap_seconds = 2}},
      {"trap interval at its minimum", "SNMP_Trap_interval=2\r\n", {.trap_seconds = 2}},
      {"trap interval above its minimum", "SNMP_Trap_interval=3\r\n", {.trap_seconds = 3}},
      {"trap interval negative", "SNMP_Trap_interval=-3\r\n", {.trap_seconds = 2}},
      {"trap interval at its maximum", "SNMP_Trap_interval=2147483\r\n", {.trap_seconds = 2147483}},
      {"trap interval above its maximum", "SNMP_Trap_interval=2147484\r\n", {.trap_seconds = 2147483}},
  });
}

TEST_F(LoadConfigTest, JunkAndOverLongValues) {
  const std::string c70(70, 'c'), c4000(4000, 'c'), a70 = "127." + std::string(66, '9');
  const std::string com70 = "UPS_Com=" + c70 + "\r\n", com4000 = "UPS_Com=" + c4000 + "\r\n",
                    ip70 = "UPS_IP=" + a70 + "\r\n", slot70 = "UPS_IP5=" + a70 + "\r\n";
  RunAll({
      // Numbers are leading decimal numbers: junk reads as 0, and the bounds then apply to 0.
      {"junk wait", "UPS_Power_fail_wait=abc\r\n", {.wait = 30, .wait_other = 15}},
      {"junk other wait", "UPS_Power_fail_wait_other=soon\r\n", {.wait_other = 0}},
      {"junk trap interval", "SNMP_Trap_interval=often\r\n", {.trap_seconds = 2}},
      {"junk other-on wait", "UPS_other_on_wait=later\r\n", {.other_on_wait = 0}},
      {"negative other-on wait", "UPS_other_on_wait=-10\r\n", {.other_on_wait = -10}},
      {"junk after, junk before, empty and negative numbers",
       "upsAdvConfigHighTransferVolt=12ab\r\nupsAdvConfigLowTransferVolt=x12\r\nupsAdvConfigAlarm=\r\n"
       "upsAdvConfigSensitivity=-3\r\nupsAdvTestDiagnosticSchedule=+7\r\n",
       {.adv = {12, 0, 0, 0, 0, -3, 120, 0, 7}}},
      // ... except a time-out, which must be a positive number of milliseconds: junk, 0 and
      // below take the default. Present keys are not written back, whatever their value.
      {"junk written-back keys are kept as they are",
       "TimeOut=fast\r\nRetry=x\r\nRetry_Outlet=-4\r\n",
       {.timeout = 1000, .retry = 0, .retry_outlet = -4}},
      {"time-outs of 0 and below",
       "TimeOut=0\r\nTimeOut_Outlet=-1\r\n",
       {.timeout = 1000, .timeout_outlet = 5000}},
      {"time-outs of 1 ms", "TimeOut=1\r\nTimeOut_Outlet=1\r\n", {.timeout = 1, .timeout_outlet = 1}},
      {"a number past 32 bits is cut to the largest",
       "TimeOut_Outlet=99999999999\r\n",
       {.timeout_outlet = 2147483647}},
      {"flags: yes", "AUTO_REBOOT_ORG=yes\r\n", {.auto_reboot = 1}},
      {"flags: Y", "AUTO_REBOOT_ORG=Y\r\n", {.auto_reboot = 1}},
      {"flags: no", "AUTO_REBOOT_ORG=no\r\n", {.auto_reboot = 0}},
      {"flags: 1 is not yes", "AUTO_REBOOT_ORG=1\r\n", {.auto_reboot = 0}},
      {"first characters only", "UPS_Off=Turn\r\nDilayTimeCut=no\r\n", {.off = 'T', .cut = 'n'}},
      // Texts are cut to their buffers; log lines to the 80 characters of a record.
      {"over-long community", com70.c_str(), {.community = c70.substr(0, 63)}},
      {"very long community", com4000.c_str(), {.community = c4000.substr(0, 63)}},
      {"over-long first address", ip70.c_str(), {.ups_ip = a70.substr(0, 63)}},
      {"over-long slot address", slot70.c_str(), {.slots = {"### [UPS_IP5] = (" + a70.substr(0, 63) + ")"}}},
      {"over-long off mode",
       "UPS_Off=SleepSleepSleepSleepSleepSleep\r\nNAME=abcdefghijklmnopqrstuvwxyz\r\n",
       {.off = 'S'}},
      // The unit table: slots in slot order, free slots and slots past 129 not logged.
      {"unit table",
       "UPS_IP129=127.0.0.9\r\nUPS_IP=127.0.0.2\r\nUPS_IP7=127.0.0.1\r\nUPS_IP3=127.0.0.5\r\n"
       "UPS_IP130=127.0.0.8\r\nUPS_IP0=127.0.0.7\r\nUPS_Com=public\r\n",
       {.ups_ip = "127.0.0.2",
        .community = "public",
        .slots = {"### [UPS_IP3] = (127.0.0.5)", "### [UPS_IP129] = (127.0.0.9)"}}},
  });
}

TEST_F(LoadConfigTest, LogSizeLimitIsRaisedToItsMinimum) {
  // A log whose next record would go to offset 2220000: with a limit of at most 2220000 the
  // ring starts again at offset 0; with a larger limit the records go on from there.
  constexpr size_t kFarOffset = 2220000;
  struct Case {
    const char *name, *settings;
    size_t records_at_far_offset;  // how many of the load's records land there
  } cases[] = {
      {"missing", nullptr, 0},
      {"zero", "SnmpLogSize=0\r\n", 0},
      {"junk", "SnmpLogSize=big\r\n", 0},
      {"below the minimum", "SnmpLogSize=2219999\r\n", 0},
      {"at the minimum", "SnmpLogSize=2220000\r\n", 0},
      {"above the minimum", "SnmpLogSize=2220001\r\n", 1},
      {"far above", "SnmpLogSize=104857600\r\n", 18},
  };
  const std::vector<std::string> all = ExpectedLines({});
  ASSERT_EQ(18u, all.size());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    qt::Install install("snmpload");
    install.add("SNMPUPS.DLL");
    if (c.settings != nullptr) WriteSettingsFile(install, c.settings);
    qt::write_file(install.data("SNMPUPS.LOG"), "02220000\r\n");
    EXPECT_EQ("loaded\n", Attach(install));

    std::string content = qt::read_file(install.data("SNMPUPS.LOG"));
    size_t far = c.records_at_far_offset;
    size_t near = all.size() - far;
    size_t header = far == all.size() ? kFarOffset + far * 113 : near * 113;
    EXPECT_EQ(HeaderText(header), content.substr(0, 10));
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(far)),
              RecordsBetween(content, 10 + kFarOffset, content.size()));
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(far), all.end()),
              RecordsBetween(content, 10, 10 + near * 113));
    // The limit is applied where the log is written, never to the file's value.
    EXPECT_EQ(WithWriteBacks(c.settings ? c.settings : ""), qt::read_file(install.data("snmp.apc")));
  }
}

TEST_F(LoadConfigTest, RegistryConfigurations) {
  // A registry file whose key names the install directory, and anything more or less.
  using Setup = void (*)(qt::Install &);
  struct Case {
    const char *name;
    Setup setup;
    const char *host;  // what the host reports
    bool debug;        // "DebugMode Run..." expected
  } cases[] = {
      {"debug switch absent", [](qt::Install &) {}, "loaded\n", false},
      {"debug switch of one byte", [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=hex:01"}); },
       "loaded\n", true},
      {"debug switch of one byte 0", [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=hex:00"}); },
       "loaded\n", true},
      {"debug switch of no bytes", [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=hex:"}); },
       "loaded\n", true},
      {"debug switch of two bytes", [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=hex:01,02"}); },
       "loaded\n", false},
      {"debug switch as a number", [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=dword:00000001"}); },
       "loaded\n", false},
      {"debug switch as an empty text (its terminator only)",
       [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=\"\""}); }, "loaded\n", true},
      {"debug switch as a text of one character",
       [](qt::Install &i) { i.write_registry({"\"DEBUGDLL\"=\"1\""}); }, "loaded\n", false},
      {"key and value names in other case",
       [](qt::Install &i) {
         qt::write_file(i.registry(),
                        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\software\\tarvos\\quorin/mvl]\r\n"
                        "\"pathname\"=\"" +
                            i.dir() + "\"\r\n\"debugdll\"=hex:01\r\n");
       },
       "loaded\n", true},
      {"install path as binary data without a terminator",
       [](qt::Install &i) {
         std::string hex;
         for (unsigned char ch : i.dir()) {
           char pair[4];
           snprintf(pair, sizeof pair, "%s%02x", hex.empty() ? "" : ",", ch);
           hex += pair;
         }
         qt::write_file(i.registry(),
                        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n"
                        "\"PathName\"=hex:" +
                            hex + "\r\n");
       },
       "loaded\n", false},
      {"product key missing, the path under another key",
       [](qt::Install &i) {
         qt::write_file(i.registry(),
                        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\OTHER]\r\n"
                        "\"PathName\"=\"" +
                            i.dir() + "\"\r\n\"DEBUGDLL\"=hex:01\r\n");
       },
       "load failed 1114\n", false},
      {"registry file missing", [](qt::Install &i) { remove(i.registry().c_str()); }, "load failed 1114\n",
       false},
      {"install path missing, debug switch present",
       [](qt::Install &i) {
         qt::write_file(i.registry(),
                        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n"
                        "\"DEBUGDLL\"=hex:01\r\n");
       },
       "load failed 1114\n", false},
  };
  const std::string settings = "UPS_Com=public\r\n";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    qt::Install install("snmpload");
    install.add("SNMPUPS.DLL");
    WriteSettingsFile(install, settings);
    c.setup(install);
    std::string host = Attach(install);
    EXPECT_EQ(c.host, host);
    if (host == "loaded\n") {
      EXPECT_EQ(ExpectedLines({.community = "public", .debug = c.debug}), LogLines(install));
      EXPECT_EQ(WithWriteBacks(settings), qt::read_file(install.data("snmp.apc")));
    } else {
      // Without an install directory nothing is logged and nothing written back.
      EXPECT_FALSE(qt::file_exists(install.data("SNMPUPS.LOG")));
      EXPECT_EQ("[SNMP]\r\n" + settings, qt::read_file(install.data("snmp.apc")));
    }
  }
}

}  // namespace
