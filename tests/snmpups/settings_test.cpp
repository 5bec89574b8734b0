// The load sequence: defaults and write-backs of "data\snmp.apc", bounds and derived values,
// junk and over-long values, the unit table, the registry switches and the load-time log lines.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core_fixture.h"

namespace {

using qt::SnmpUpsCoreTest;

TEST_F(SnmpUpsCoreTest, MissingSettingsFileGivesDefaultsAndWritesBackFiveKeys) {
  ASSERT_TRUE(Load());
  EXPECT_STREQ("kelpie", g_Community);
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) EXPECT_TRUE(IsFreeSlot(slot)) << slot;
  EXPECT_STREQ("", g_Ups_Ip_S[0]);
  EXPECT_STREQ("", g_Ups_Ip_O[15]);
  EXPECT_STREQ("", g_Server_Ip[3]);
  EXPECT_EQ(1000, g_TimeOut);
  EXPECT_EQ(2, g_Retry);
  EXPECT_EQ(5000, g_TimeOut_Outlet);
  EXPECT_EQ(1, g_Retry_Outlet);
  EXPECT_EQ(5000u, g_Trap_Interval);
  EXPECT_EQ(60u, g_Power_Fail_Wait);
  EXPECT_EQ(15u, g_Power_Fail_Wait_Other);
  EXPECT_EQ(1, g_No_Trap);
  EXPECT_STREQ("<default>", g_Name);
  EXPECT_STREQ("S", g_Ups_Off);
  EXPECT_STREQ("Y", g_Dilay_Time_Cut);
  EXPECT_STREQ("255.255.255.255", g_Send_Ip);
  EXPECT_STREQ("", g_Send_Ip02);
  EXPECT_EQ(5, g_Snmp_Get_Retry);
  EXPECT_EQ(5, g_Snmp_Set_Retry);
  EXPECT_EQ(0, g_Auto_Reboot_Org);
  EXPECT_EQ(108, g_High_Transfer_Volt);
  EXPECT_EQ(92, g_Low_Transfer_Volt);
  EXPECT_EQ(120, g_Low_Battery_Run_Time);
  EXPECT_EQ(0, g_Debug_Mode);
  EXPECT_EQ(0, g_Port);
  // The log limit was 0 and is clamped by the first log write.
  EXPECT_EQ(2220000, g_Snmp_Log_Size.load());

  std::string file = Settings();
  EXPECT_NE(std::string::npos, file.find("[SNMP]"));
  for (const char *line :
       {"SnmpLogSize=0", "TimeOut=1000", "Retry=2", "TimeOut_Outlet=5000", "Retry_Outlet=1"})
    EXPECT_NE(std::string::npos, file.find(line)) << line << "\n" << file;
  EXPECT_EQ(5, qt::count_of(file, "="));

  std::vector<std::string> expected = {
      "### [UPS_IP] = (127.0.0.1) Community : (kelpie)",
      "### Off Mode[UPS_Off] = (S) Sleep/Trun   [DilayTimeCut] = (Y) Y/N",
      "### SNMP watch timer[UPS_Power_fail_wait]= (60sec)  [_other]= (15sec)",
      "### SNMP Trap Interval timer[SNMP_Trap_interval] sec= (5)",
      "### SNMP watch timer[UPS_other_on_wait]= (0sec)",
      "g_Auto_Reboot_Org (0)",
      "*** [upsAdvConfigHighTransferVolt] = (108)",
      "*** [upsAdvConfigLowTransferVolt] = (92)",
      "*** [upsAdvConfigAlarm] = (1)",
      "*** [upsAdvConfigAlarmTimer] = (0)",
      "*** [upsAdvConfigMinReturnCapacity] = (0)",
      "*** [upsAdvConfigSensitivity] = (4)",
      "*** [upsAdvConfigLowBatteryRunTime] = (120)",
      "*** [upsAdvConfigBattExhaustThresh] = (0)",
      "*** [upsAdvTestDiagnosticSchedule] = (2)",
      "TimeOut(1000) Retry(2)",
      "5G UPS TimeOut(5000) Retry(1)",
      "SCG API Support...",
  };
  EXPECT_EQ(expected, LogTexts());
  for (const qt::LogRecord &r : Log()) EXPECT_EQ(0u, r.code) << r.text;
}

TEST_F(SnmpUpsCoreTest, PowerFailWaitsAndTrapIntervalFollowTheirBounds) {
  ASSERT_TRUE(LoadWith("UPS_Power_fail_wait=10\r\n"));
  EXPECT_EQ(30u, g_Power_Fail_Wait);
  EXPECT_EQ(15u, g_Power_Fail_Wait_Other);

  struct Case {
    const char *other;
    uint32_t expected;
  } cases[] = {{nullptr, 55}, {"200", 55}, {"120", 120}, {"145", 145}, {"146", 55}, {"-1", 55}, {"0", 0}};
  for (const Case &c : cases) {
    std::string lines = "UPS_Power_fail_wait=100\r\n";
    if (c.other != nullptr) lines += std::string("UPS_Power_fail_wait_other=") + c.other + "\r\n";
    ASSERT_TRUE(LoadWith(lines));
    EXPECT_EQ(100u, g_Power_Fail_Wait);
    EXPECT_EQ(c.expected, g_Power_Fail_Wait_Other) << (c.other != nullptr ? c.other : "missing");
  }
  // A negative wait would never run out: it is raised to the minimum like any short one.
  ASSERT_TRUE(LoadWith("UPS_Power_fail_wait=-5\r\n"));
  EXPECT_EQ(30u, g_Power_Fail_Wait);

  for (const char *value : {"1", "abc", "-3"}) {
    ASSERT_TRUE(LoadWith(std::string("SNMP_Trap_interval=") + value + "\r\n"));
    EXPECT_EQ(2000u, g_Trap_Interval) << value;
  }
  ASSERT_TRUE(LoadWith("SNMP_Trap_interval=9\r\n"));
  EXPECT_EQ(9000u, g_Trap_Interval);
  EXPECT_TRUE(LogHas("### SNMP Trap Interval timer[SNMP_Trap_interval] sec= (9)"));
  // Beyond what fits in milliseconds as a 32-bit number the interval is cut.
  ASSERT_TRUE(LoadWith("SNMP_Trap_interval=99999999\r\n"));
  EXPECT_EQ(2147483000u, g_Trap_Interval);
}

TEST_F(SnmpUpsCoreTest, FlagsTextsAndJunkValues) {
  std::string community(70, 'c');
  ASSERT_TRUE(
      LoadWith("NO_TRAP=No\r\nAUTO_REBOOT_ORG=yes\r\nUPS_Com=" + community +
               "\r\nUPS_Off=Turn\r\nDilayTimeCut=no\r\nNAME=" + std::string(40, 'n') +
               "\r\nPORT=70000\r\nVEX_PORT=junk\r\nTimeOut=fast\r\nRetry=-4\r\nupsAdvConfigAlarm=3x\r\n"
               "SNMP_GET_RETRY=99999999999\r\nSEND_IP02=10.1.1.1\r\n"));
  EXPECT_EQ(0, g_No_Trap);
  EXPECT_EQ(1, g_Auto_Reboot_Org);
  EXPECT_EQ(std::string(63, 'c'), g_Community);
  EXPECT_STREQ("Turn", g_Ups_Off);
  EXPECT_STREQ("no", g_Dilay_Time_Cut);
  EXPECT_EQ(std::string(15, 'n'), g_Name);
  EXPECT_EQ(4464, g_Port);  // read as "%hu": taken modulo 65536
  EXPECT_EQ(0, g_Vex_Port);
  EXPECT_EQ(1000, g_TimeOut);  // junk is no time-out: the default
  EXPECT_EQ(-4, g_Retry);
  EXPECT_EQ(3, g_Alarm);
  EXPECT_EQ(INT32_MAX, g_Snmp_Get_Retry);
  EXPECT_STREQ("10.1.1.1", g_Send_Ip02);
  // Present keys are not written back, even when their value is junk.
  EXPECT_EQ(std::string::npos, Settings().find("TimeOut=1000"));
  EXPECT_TRUE(LogHas("### Off Mode[UPS_Off] = (T) Sleep/Trun   [DilayTimeCut] = (n) Y/N"));
  EXPECT_TRUE(LogHas("g_Auto_Reboot_Org (1)"));
  EXPECT_TRUE(LogHas("TimeOut(1000) Retry(-4)"));
  // The line is cut to the 80 characters of a record's message field.
  EXPECT_TRUE(
      LogHas(("### [UPS_IP] = (127.0.0.1) Community : (" + community.substr(0, 63) + ")").substr(0, 80)));

  for (const char *value : {"yes", "", "0", "<default>"}) {
    ASSERT_TRUE(LoadWith(std::string("NO_TRAP=") + value + "\r\n"));
    EXPECT_EQ(1, g_No_Trap) << value;
  }
  ASSERT_TRUE(LoadWith("NO_TRAP=nope\r\nAUTO_REBOOT_ORG=No\r\nNAME=<default>\r\n"));
  EXPECT_EQ(0, g_No_Trap);
  EXPECT_EQ(0, g_Auto_Reboot_Org);
  EXPECT_STREQ("<default>", g_Name);
}

// A time-out that is not a positive number would leave a SET no time at all: it takes the
// default; 1 ms and more are kept as written. Present keys are not written back.
TEST_F(SnmpUpsCoreTest, TimeOutsThatAreNotPositiveTakeTheirDefaults) {
  struct Case {
    const char *value;
    int32_t address_ms, outlet_ms;
  } cases[] = {
      {"0", 1000, 5000}, {"-1", 1000, 5000}, {"-2147483648", 1000, 5000},          {"junk", 1000, 5000},
      {"", 1000, 5000},  {"1", 1, 1},        {"2147483647", INT32_MAX, INT32_MAX}, {"250ms", 250, 250}};
  for (const Case &c : cases) {
    ASSERT_TRUE(LoadWith(std::string("TimeOut=") + c.value + "\r\nTimeOut_Outlet=" + c.value + "\r\n"));
    EXPECT_EQ(c.address_ms, g_TimeOut) << c.value;
    EXPECT_EQ(c.outlet_ms, g_TimeOut_Outlet) << c.value;
    EXPECT_TRUE(LogHas("TimeOut(" + std::to_string(c.address_ms) + ") Retry(2)")) << c.value;
    EXPECT_TRUE(LogHas("5G UPS TimeOut(" + std::to_string(c.outlet_ms) + ") Retry(1)")) << c.value;
    EXPECT_EQ(0, qt::count_of(Settings(), "TimeOut=1000")) << c.value;
  }
}

// A settings file that is not a regular file, or is larger than 1 MB, is not read: every key
// takes its default, the log says why, and the file is not written over by the write-backs.
TEST_F(SnmpUpsCoreTest, SettingsFilesThatAreNotProfilesAreRefused) {
  std::string path = install.data("snmp.apc");
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  ASSERT_TRUE(Load());
  EXPECT_EQ(1000, g_TimeOut);
  EXPECT_EQ(222L, static_cast<long>(Log().front().code));
  EXPECT_EQ("Settings file refused: not a regular file", Log().front().text);
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  unlink(path.c_str());

  std::string content = "[SNMP]\r\nTimeOut=300\r\n";
  content += std::string(1048577 - content.size(), ';');
  qt::write_file(path, content);
  qt::write_file(LogPath(), "");
  unlink(LogPath().c_str());
  ASSERT_TRUE(Load());
  EXPECT_EQ(1000, g_TimeOut);
  EXPECT_EQ("Settings file refused: larger than 1048576 bytes", Log().front().text);
  EXPECT_EQ(223u, Log().front().code);
  EXPECT_EQ(content, Settings());
}

TEST_F(SnmpUpsCoreTest, UnitTableAndAddressLists) {
  ASSERT_TRUE(LoadWith(
      "UPS_IP=127.0.0.2\r\nUPS_IP3=127.0.0.5\r\nUPS_IP7=127.0.0.1\r\nUPS_IP129=127.0.0.9\r\nUPS_IP130=127.0."
      "0.8\r\n"
      "UPS_IP_S0=10.0.0.1\r\nUPS_IP_S15=10.0.0.2\r\nUPS_IP_O4=10.0.0.3\r\nSERVER_IP_2=10.0.0.4\r\n"));
  EXPECT_STREQ("127.0.0.2", g_Ups_Ip[0]);
  EXPECT_FALSE(IsFreeSlot(0));
  EXPECT_STREQ("127.0.0.5", g_Ups_Ip[3]);
  EXPECT_TRUE(IsFreeSlot(7));
  EXPECT_STREQ("127.0.0.9", g_Ups_Ip[129]);
  EXPECT_TRUE(IsFreeSlot(1));
  EXPECT_STREQ("10.0.0.1", g_Ups_Ip_S[0]);
  EXPECT_STREQ("10.0.0.2", g_Ups_Ip_S[15]);
  EXPECT_STREQ("10.0.0.3", g_Ups_Ip_O[4]);
  EXPECT_STREQ("10.0.0.4", g_Server_Ip[2]);

  std::vector<std::string> texts = LogTexts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ("### [UPS_IP] = (127.0.0.2) Community : (kelpie)", texts[0]);
  EXPECT_EQ("### [UPS_IP3] = (127.0.0.5)", texts[1]);
  EXPECT_EQ("### [UPS_IP129] = (127.0.0.9)", texts[2]);
  EXPECT_EQ(0, qt::count_of(qt::read_file(LogPath()), "[UPS_IP7]"));
  EXPECT_EQ(0, qt::count_of(qt::read_file(LogPath()), "[UPS_IP130]"));
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot)
    for (int word = 0; word < UPS_STATUS_WORDS; ++word) EXPECT_EQ(0u, UnitWord(slot, word));
}

TEST_F(SnmpUpsCoreTest, DebugSwitchAndMissingRegistryValues) {
  install.write_registry({"\"DEBUGDLL\"=hex:01"});
  ASSERT_TRUE(Load());
  EXPECT_EQ(1, g_Debug_Mode);
  std::vector<std::string> texts = LogTexts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ("DebugMode Run...", texts[texts.size() - 2]);
  EXPECT_EQ("SCG API Support...", texts.back());

  // A value longer than one byte does not switch debugging on.
  install.write_registry({"\"DEBUGDLL\"=dword:00000001"});
  ASSERT_TRUE(Load());
  EXPECT_EQ(0, g_Debug_Mode);

  // Without "PathName" there is no install directory: the load fails and writes nothing.
  qt::TempDir elsewhere("noreg");
  qt::write_file(
      elsewhere / "registry.reg",
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"LumoUnit\"=hex:01\r\n");
  setenv("QUORIN_REGISTRY", (elsewhere / "registry.reg").c_str(), 1);
  qt::write_file(LogPath(), "");
  EXPECT_FALSE(Load());
  EXPECT_EQ("", qt::read_file(LogPath()));
  setenv("QUORIN_REGISTRY", (elsewhere / "absent.reg").c_str(), 1);
  EXPECT_FALSE(Load());
  EXPECT_EQ("", qt::read_file(LogPath()));
}

}  // namespace
