// UPS identification and configuration sync of SNMPUPS.DLL, loaded by name, against upssim
// cards: the first call records and configures a UPS, a second changes nothing but its status
// line, a replaced UPS gets exactly the SETs of its configuration section again, and a missing
// section name, a running synchronisation, refused SETs, unreadable cards and a junk-filled
// information file each end as they should.
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "library_fixture.h"

namespace {

using CheckFn = int (*)(int, int);

const char kSerial[] = ".1.3.6.1.4.1.318.1.1.1.1.2.3.0";
const char kModel[] = ".1.3.6.1.4.1.318.1.1.1.1.1.1.0";
const char kSysDescr[] = ".1.3.6.1.2.1.1.1.0";
const char kOutputState[] = ".1.3.6.1.4.1.318.1.1.1.11.1.1.0";
const char kScgGroup[] = ".1.3.6.1.4.1.318.1.1.1.10.1.1.0";
const char kScgActive[] = ".1.3.6.1.4.1.318.1.1.1.10.1.2.0";
const char kScgDelay[] = ".1.3.6.1.4.1.318.1.1.1.10.1.3.0";
const char kScgOffset[] = ".1.3.6.1.4.1.318.1.1.1.10.1.4.0";
const char kScgMulticast[] = ".1.3.6.1.4.1.318.1.1.1.10.1.5.0";

// The status line of a UPS that could not be read, as the log shows it (without the padding
// blank at its end).
const char kDashes[] = " - -- --- --- --- --  -- - --- -- ---- ---  --- --- ----  -";

// Card .2 is an older model, .3 has outlet groups; .9 is registered but no card answers there.
const char kCards[] =
    "community = kelpie\n"
    "[card 127.0.0.2]\nmodel = QSIM Smart-UPS 1500\nserial = QS0000000002\n"
    "description = QSIM Network Management Card MB:v3.9.2 PF:v3.9.2\n"
    "[card 127.0.0.3]\noutlet-groups = 2\nmodel = QSIM SMT 3000\nserial = QS0000000003\n"
    "description = QSIM card MB:V6.1.12 PF:v6.1.12\n";

const char kInfo[] =
    "[index]\r\n127.0.0.2=1001\r\n"
    "[1001]\r\nIP=127.0.0.2\r\npath=UPS_A\r\n"
    "[1002]\r\nIP=127.0.0.3\r\npath=UPS_B\r\n"
    "[1003]\r\nIP=127.0.0.9\r\npath=UPS_A\r\n"
    "[1004]\r\nIP=127.0.0.2\r\n";

// UPS_A joins SCG group 7 and has all eleven parameters; UPS_B leaves SCG (no group number),
// with a multicast address that is not one and so falls back to the default.
const char kConfig[] =
    "[UPS_A]\r\nSCGonoff=1\r\nSCG_MGN=7\r\nSCG_PSD=90\r\nSCG_RBCO=15\r\nSCG_MIP=224.0.0.77\r\n"
    "HighTransferVolt=110\r\nLowTransferVolt=95\r\nConfigAlarm=2\r\nSensitivity=3\r\nLowBatteryRunTime="
    "300\r\n"
    "TestDiagnosticSchedule=3\r\nShutoffDelay=30\r\nReturnDelay=60\r\nConfigAlarmTimer=10\r\n"
    "MinReturnCapacity=20\r\nBattExhaustThresh=40\r\n"
    "[UPS_B]\r\nSCGonoff=1\r\nSCG_MIP=10.0.0.1\r\n"
    "HighTransferVolt=120\r\nLowTransferVolt=90\r\nConfigAlarm=1\r\nSensitivity=2\r\nLowBatteryRunTime="
    "600\r\n"
    "TestDiagnosticSchedule=2\r\nShutoffDelay=30\r\nReturnDelay=60\r\n";

std::string Set(const std::string &oid, const std::string &value) {
  return oid + " " + value + " noError";
}

// The SETs UPS_A calls for on a card with factory SCG values: SCG first, then the parameters.
const std::vector<std::string> kUpsASets = {
    Set(kScgDelay, "INTEGER 90"),
    Set(kScgOffset, "INTEGER 15"),
    Set(kScgMulticast, "IpAddress 224.0.0.77"),
    Set(kScgGroup, "INTEGER 7"),
    Set(kScgActive, "INTEGER 1"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.2.0", "INTEGER 110"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.3.0", "INTEGER 95"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.4.0", "INTEGER 2"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.7.0", "INTEGER 3"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.8.0", "TimeTicks 30000"),
    Set(".1.3.6.1.4.1.318.1.1.1.7.2.1.0", "INTEGER 3"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.10.0", "TimeTicks 3000"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.9.0", "TimeTicks 6000"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.5.0", "TimeTicks 1000"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.6.0", "INTEGER 20"),
    Set(".1.3.6.1.4.1.318.1.1.1.5.2.14.0", "TimeTicks 4000"),
};

// The messages of a UPS log (102-byte records) in order.
std::vector<std::string> UpsLog(const std::string &path) {
  std::vector<std::string> lines;
  std::string content = qt::read_file(path);
  if (content.size() < 10) return lines;
  size_t end = 10 + strtoul(content.substr(0, 8).c_str(), nullptr, 10);
  for (size_t at = 10; at + 102 <= content.size() && at < end; at += 102) {
    std::string text = content.substr(at + 20, 80);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    lines.push_back(text);
  }
  return lines;
}

// "Www Mmm dd hh:mm:ss yyyy" with the day right-aligned, as the local time of now.
bool IsTimeText(const std::string &text) {
  const char *days = "SunMonTueWedThuFriSat";
  const char *months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (text.size() != 24 || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':' || text[19] != ' ')
    return false;
  size_t day_at = std::string(days).find(text.substr(0, 3));
  size_t month_at = std::string(months).find(text.substr(4, 3));
  if (day_at == std::string::npos || day_at % 3 != 0 || month_at == std::string::npos || month_at % 3 != 0)
    return false;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  int day = atoi(text.substr(8, 2).c_str()), year = atoi(text.substr(20).c_str());
  return day >= 1 && day <= 31 && (text[8] == ' ' || isdigit(static_cast<unsigned char>(text[8]))) &&
         year >= local.tm_year + 1900 - 1 && year <= local.tm_year + 1900;
}

class IdentificationTest : public qt::LibraryTest {
 protected:
  void StartAndLoad(const std::string &info = kInfo) {
    StartCards("127.0.0.2", "127.0.0.3", kCards);
    qt::write_file(InfoPath(), info);
    qt::write_file(install.data("ky_e_net.apc"), kConfig);
    Load();
    check = Entry<CheckFn>("UPSCheckSnmpRequest");
  }
  std::string InfoPath() const { return install.data("UPS/UPSinfo.ini"); }
  std::string Info() const { return qt::read_file(InfoPath()); }
  // The value of KEY in SECTION of the information file, or "<none>".
  std::string InfoValue(const std::string &section, const std::string &key) const {
    std::string content = Info();
    size_t start = content.find("[" + section + "]\r\n");
    if (start == std::string::npos) return "<none>";
    size_t end = content.find("\r\n[", start + 1);
    std::string body = content.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = body.find("\r\n" + key + "=");
    if (at == std::string::npos) return "<none>";
    at += key.size() + 3;
    return body.substr(at, body.find("\r\n", at) - at);
  }
  std::vector<std::string> StatusLines(int unit) const {
    return UpsLog(install.data("UPS/UPS" + std::to_string(unit) + ".LOG"));
  }
  CheckFn check = nullptr;
};

TEST_F(IdentificationTest, FirstCallRecordsAndConfiguresThenOnlyTheStatusLineFollows) {
  StartAndLoad();
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_EQ(kUpsASets, Sets("127.0.0.2"));
  EXPECT_EQ("QSIM Network Management Card MB:v3.9.2 PF:v3.9.2]", InfoValue("1001", "CardInfo"));
  EXPECT_EQ("30902", InfoValue("1001", "CardMIBrev"));
  EXPECT_EQ("<default>", InfoValue("1001", "OLD_CardInfo"));
  EXPECT_EQ("QSIM Smart-UPS 1500]", InfoValue("1001", "UPS_type"));
  EXPECT_EQ("QS0000000002]", InfoValue("1001", "UPS_Sno."));
  EXPECT_EQ("<none>", InfoValue("1001", "OLD_DATE"));
  EXPECT_TRUE(IsTimeText(InfoValue("1001", "DATE"))) << InfoValue("1001", "DATE");
  EXPECT_TRUE(IsTimeText(InfoValue("1001", "DATE_card"))) << InfoValue("1001", "DATE_card");
  EXPECT_EQ(30902L, CodeOf(" * New card [127.0.0.2]:QSIM Network Management Card MB:v3.9.2 PF:v3."));
  EXPECT_EQ(0L, CodeOf(" [UPS1001:127.0.0.2] SCG(7) act"));
  EXPECT_EQ(0L, CodeOf(" [UPS1001:127.0.0.2] ConfigData Set:OK================"));
  std::vector<std::string> lines = StatusLines(1001);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find(" 1 ")) << lines[0];                  // the columns read: input phase 1 ...
  EXPECT_NE(std::string::npos, lines[0].find(" 02 ")) << lines[0];  // ... output status 2

  // A second call: no SET, the information file as it was, one more status line.
  std::string info = Info();
  Ctl("127.0.0.2", {"sets", "clear"});
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_EQ(info, Info());
  EXPECT_EQ(2u, StatusLines(1001).size());
  EXPECT_EQ(1, LogCount(" [UPS1001:127.0.0.2] ConfigData Set:OK================"));

  // Mode 1 reads nothing: the dashed line.
  long requests = Counter("127.0.0.2", "requests");
  EXPECT_EQ(1, check(1001, 1));
  EXPECT_EQ(requests, Counter("127.0.0.2", "requests"));
  lines = StatusLines(1001);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(kDashes, lines[2]);

  // A unit without "IP" is not registered: 0, nothing written.
  EXPECT_EQ(0, check(1099, 0));
  EXPECT_EQ(0, check(1099, 1));
  EXPECT_FALSE(qt::file_exists(install.data("UPS/UPS1099.LOG")));
}

// A new serial number makes a replaced UPS: configured again from its section, the old
// identity and date moved to the "OLD_" keys.
TEST_F(IdentificationTest, AReplacedUpsIsConfiguredAgain) {
  StartAndLoad();
  ASSERT_EQ(1, check(1001, 0));
  std::string first_date = InfoValue("1001", "DATE");
  // The replacement comes with factory SCG values.
  Ctl("127.0.0.2", {"set", kSerial, "s", "QS9999999999"});
  Ctl("127.0.0.2", {"set", kScgDelay, "i", "120"});
  Ctl("127.0.0.2", {"set", kScgOffset, "i", "10"});
  Ctl("127.0.0.2", {"set", kScgMulticast, "a", "224.0.0.100"});
  Ctl("127.0.0.2", {"set", kScgGroup, "i", "0"});
  Ctl("127.0.0.2", {"set", kScgActive, "i", "2"});
  Ctl("127.0.0.2", {"sets", "clear"});
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_EQ(kUpsASets, Sets("127.0.0.2"));
  EXPECT_EQ("QS9999999999]", InfoValue("1001", "UPS_Sno."));
  EXPECT_EQ("QS0000000002]", InfoValue("1001", "OLD_UPS_Sno."));
  EXPECT_EQ("QSIM Smart-UPS 1500]", InfoValue("1001", "OLD_UPS_type"));
  EXPECT_EQ(first_date, InfoValue("1001", "OLD_DATE"));
  EXPECT_EQ(2, LogCount(" [UPS1001:127.0.0.2] ConfigData Set:OK================"));

  // A new model alone counts as well; SCG values that already hold are only read.
  Ctl("127.0.0.2", {"set", kModel, "s", "QSIM Smart-UPS 2200"});
  Ctl("127.0.0.2", {"sets", "clear"});
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_EQ(std::vector<std::string>(kUpsASets.begin() + 5, kUpsASets.end()), Sets("127.0.0.2"));
  EXPECT_EQ("QSIM Smart-UPS 2200]", InfoValue("1001", "UPS_type"));

  // A new card description alone updates the card keys only.
  Ctl("127.0.0.2", {"set", kSysDescr, "s", "Other card without revision"});
  Ctl("127.0.0.2", {"sets", "clear"});
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_EQ("Other card without revision]", InfoValue("1001", "CardInfo"));
  EXPECT_EQ("QSIM Network Management Card MB:v3.9.2 PF:v3.9.2]", InfoValue("1001", "OLD_CardInfo"));
  EXPECT_EQ("0", InfoValue("1001", "CardMIBrev"));
  EXPECT_EQ(3, LogCount(" [UPS1001:127.0.0.2] ConfigData Set:OK================"));
}

// Leaving SCG (no group number): the active membership is set to 2; the multicast address is
// not touched. An outlet-group model takes the first six parameters only. "MB:V" is read too.
TEST_F(IdentificationTest, LeavingScgAndAnOutletModelTakeTheirOwnSets) {
  StartAndLoad();
  Ctl("127.0.0.3", {"set", kScgActive, "i", "1"});
  EXPECT_EQ(1, check(1002, 0));
  std::vector<std::string> expected = {
      Set(kScgActive, "INTEGER 2"),
      Set(".1.3.6.1.4.1.318.1.1.1.5.2.2.0", "INTEGER 120"),
      Set(".1.3.6.1.4.1.318.1.1.1.5.2.3.0", "INTEGER 90"),
      Set(".1.3.6.1.4.1.318.1.1.1.5.2.4.0", "INTEGER 1"),
      Set(".1.3.6.1.4.1.318.1.1.1.5.2.7.0", "INTEGER 2"),
      Set(".1.3.6.1.4.1.318.1.1.1.5.2.8.0", "TimeTicks 60000"),
      Set(".1.3.6.1.4.1.318.1.1.1.7.2.1.0", "INTEGER 2"),
  };
  EXPECT_EQ(expected, Sets("127.0.0.3"));
  EXPECT_EQ("60112", InfoValue("1002", "CardMIBrev"));
  EXPECT_TRUE(LogHas("[127.0.0.3]SetUpsSyncActivebySnmp(2)"));
  EXPECT_FALSE(LogHas(" [UPS1002:127.0.0.3] SCG(0) act"));
  EXPECT_EQ(0L, CodeOf(" [UPS1002:127.0.0.3] ConfigData Set:OK================"));
}

// A missing section name, a running synchronisation, refused SETs and unreadable cards.
TEST_F(IdentificationTest, EachFailureEndsTheCallAsItShould) {
  StartAndLoad();
  // No "path": the card keys are recorded, then the call ends without identity or status line.
  EXPECT_NE(0, check(1004, 0));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_EQ("<none>", InfoValue("1004", "UPS_type"));
  EXPECT_EQ("<none>", InfoValue("1004", "DATE"));
  EXPECT_NE("<none>", InfoValue("1004", "CardInfo"));
  EXPECT_FALSE(qt::file_exists(install.data("UPS/UPS1004.LOG")));

  // A synchronisation in progress (the 32nd character of the output state): nothing written,
  // nothing recorded, no status line; the next call tries again.
  std::string syncing = std::string(31, '0') + "1" + std::string(32, '0');
  syncing[5] = '1';
  Ctl("127.0.0.2", {"set", kOutputState, "s", syncing});
  EXPECT_NE(0, check(1001, 0));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_EQ("<none>", InfoValue("1001", "UPS_type"));
  EXPECT_FALSE(qt::file_exists(install.data("UPS/UPS1001.LOG")));
  // The line is longer than the 80 characters of a log record.
  EXPECT_EQ(0L, CodeOf(std::string("UPSCheckSnmpRequest(OutputState)[127.0.0.2] now SyncProgress! Sync init "
                                   "stop(next retry)")
                           .substr(0, 80)));
  syncing[31] = '0';
  Ctl("127.0.0.2", {"set", kOutputState, "s", syncing});

  // Every SET refused: the SCG step ends at its first write, the parameters at theirs, and the
  // UPS is recorded anyway.
  Ctl("127.0.0.2", {"fault", "refuse-sets", "noSuchName"});
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_EQ((std::vector<std::string>{kScgDelay + std::string(" INTEGER 90 noSuchName"),
                                      ".1.3.6.1.4.1.318.1.1.1.5.2.2.0 INTEGER 110 noSuchName"}),
            Sets("127.0.0.2"));
  EXPECT_TRUE(LogHas("UPSCheckSnmpRequest error5:(1001)[127.0.0.2]"));
  EXPECT_FALSE(LogHas(" [UPS1001:127.0.0.2] SCG(7) act"));
  EXPECT_EQ("QS0000000002]", InfoValue("1001", "UPS_Sno."));
  EXPECT_EQ(1u, StatusLines(1001).size());

  // No card answers: every read fails, the dashed line is written.
  EXPECT_EQ(1, check(1003, 0));
  EXPECT_EQ(0x80100001L, CodeOf("UPSCheckSnmpRequest error0:(1003)[127.0.0.9]"));
  EXPECT_EQ(0x80100001L, CodeOf("UPSCheckSnmpRequest error1:(1003)[127.0.0.9]"));
  EXPECT_FALSE(LogHas("UPSCheckSnmpRequest error2:(1003)[127.0.0.9]"));
  EXPECT_EQ(std::vector<std::string>{kDashes}, StatusLines(1003));
  EXPECT_EQ("<none>", InfoValue("1003", "CardInfo"));

  // The model unreadable alone.
  Ctl("127.0.0.3", {"fault", "status", kModel, "genErr"});
  EXPECT_EQ(1, check(1002, 0));
  EXPECT_EQ(0x80100002L, CodeOf("UPSCheckSnmpRequest error2:(1002)[127.0.0.3]"));
  EXPECT_EQ(std::vector<std::string>{kDashes}, StatusLines(1002));
  EXPECT_EQ("<none>", InfoValue("1002", "UPS_type"));
}

// A parameter missing from the section ends the parameters there; the join with an output
// state that cannot be read skips the SCG writes but not the parameters.
TEST_F(IdentificationTest, MissingParameterAndUnreadableStateEndTheirSteps) {
  StartCards("127.0.0.2", "127.0.0.3", kCards);
  qt::write_file(install.data("UPS/UPSinfo.ini"), kInfo);
  qt::write_file(install.data("ky_e_net.apc"),
                 "[UPS_A]\r\nSCGonoff=1\r\nSCG_MGN=3\r\nHighTransferVolt=111\r\nLowTransferVolt=93\r\n"
                 "Sensitivity=2\r\n");
  Load();
  check = Entry<CheckFn>("UPSCheckSnmpRequest");
  Ctl("127.0.0.2", {"fault", "status", kOutputState, "genErr"});
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_EQ((std::vector<std::string>{Set(".1.3.6.1.4.1.318.1.1.1.5.2.2.0", "INTEGER 111"),
                                      Set(".1.3.6.1.4.1.318.1.1.1.5.2.3.0", "INTEGER 93")}),
            Sets("127.0.0.2"));
  EXPECT_EQ(0x80100002L, CodeOf("UPSCheckSnmpRequest(OutputState)[127.0.0.2] error!  Sync init cancel"));
  EXPECT_TRUE(LogHas("UPSCheckSnmpRequest error8:(1001)[127.0.0.2]"));
  EXPECT_EQ("QS0000000002]", InfoValue("1001", "UPS_Sno."));
}

// An information file with junk around and inside the sections: the unit's keys are still
// found, the record is written into its section, and every other line stays as it was.
TEST_F(IdentificationTest, AJunkFilledInformationFileKeepsItsOtherLines) {
  std::string junk =
      "garbage line without equals\r\n"
      "[unterminated section\r\nIP=10.0.0.1\r\n"
      "=value without key\r\n"
      "[1001]\r\nIP=127.0.0.2\r\npath=UPS_A\r\n; a comment\r\nnonsense\x01\x02\r\n"
      "[1001]\r\nIP=127.0.0.99\r\n"
      "[]\r\nIP=127.0.0.3\r\n"
      "[1002\r\n";
  StartAndLoad(junk);
  EXPECT_EQ(1, check(1001, 0));
  EXPECT_EQ(kUpsASets, Sets("127.0.0.2"));
  std::string info = Info();
  for (const char *kept : {"garbage line without equals\r\n", "[unterminated section\r\nIP=10.0.0.1\r\n",
                           "=value without key\r\n", "; a comment\r\n", "nonsense\x01\x02\r\n",
                           "[1001]\r\nIP=127.0.0.99\r\n", "[]\r\nIP=127.0.0.3\r\n", "[1002\r\n"})
    EXPECT_NE(std::string::npos, info.find(kept)) << kept;
  EXPECT_EQ("QS0000000002]", InfoValue("1001", "UPS_Sno."));
  // "[1002" is no section: unit 1002 is not registered.
  EXPECT_EQ(0, check(1002, 0));
}

}  // namespace
