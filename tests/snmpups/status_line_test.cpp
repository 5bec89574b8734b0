// The status line of one UPS against upssim cards: the columns of an answering card, the
// Symmetra columns of a UPS registered in the information file, the unit codes that name no
// address, failed and wrong-typed reads, a silent card, and the cut at the line's room.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "core_fixture.h"
#include "status_line.h"

namespace {

const char kInputPhase[] = ".1.3.6.1.4.1.318.1.1.1.3.1.1.0";
const char kFailCause[] = ".1.3.6.1.4.1.318.1.1.1.3.2.5.0";
const char kInputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.3.2.1.0";
const char kInputMax[] = ".1.3.6.1.4.1.318.1.1.1.3.2.2.0";
const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kOutputLoad[] = ".1.3.6.1.4.1.318.1.1.1.4.2.3.0";
const char kRunTime[] = ".1.3.6.1.4.1.318.1.1.1.2.2.3.0";
const char kBadPacks[] = ".1.3.6.1.4.1.318.1.1.1.2.2.6.0";

// The line of an upssim card on mains with its default values.
const char kOnMainsLine[] = " 1 01 100 103 097 50  02 1 100 50 0025 003  100 030 1800  1 ";

class StatusLineTest : public qt::SnmpUpsCoreTest {
 protected:
  void SetUp() override {
    StartCards("127.0.0.2", "127.0.0.5");
    ASSERT_TRUE(LoadWith(
        "UPS_IP=127.0.0.2\r\nUPS_IP4=127.0.0.3\r\nUPS_IP5=127.0.0.3\r\nUPS_IP_S0=127.0.0.4\r\n"
        "UPS_IP_S1=127.0.0.1\r\nUPS_IP_S15=127.0.0.5\r\nUPS_IP_O0=127.0.0.5\r\nUPS_IP_O15=127.0.0.4\r\n"));
  }
  void WriteInfo(const std::string &text) { qt::write_file(install.data("UPS/UPSinfo.ini"), text); }
  // BuildUpsStatusLine into a buffer whose bytes after the room are watched.
  std::string Line(int unit_code, int *result) {
    char buffer[STATUS_LINE_SIZE + 8];
    memset(buffer, 'X', sizeof buffer);
    *result = BuildUpsStatusLine(unit_code, buffer);
    EXPECT_EQ(std::string(8, 'X'), std::string(buffer + STATUS_LINE_SIZE, 8)) << unit_code;
    return std::string(buffer, strnlen(buffer, STATUS_LINE_SIZE));
  }
};

TEST_F(StatusLineTest, EachUnitCodeNamesItsAddressOrNone) {
  WriteInfo(
      "[1000]\r\nIP=127.0.0.2\r\n[1001]\r\nIP=0.0.0.0\r\n[1002]\r\nUPS_type=Symmetra LX]\r\n"
      "[8999]\r\nIP=127.0.0.3\r\n[9000]\r\nIP=127.0.0.9\r\n[1004]\r\nIP=\r\n");
  struct Case {
    int unit_code;
    bool has_address;
  };
  const Case cases[] = {
      {9000, true},               // slot 0
      {9001, false},              // slot 1 is free
      {9004, true},               // the last slot with a status line
      {9005, false},              // configured, but above the status-line slots
      {0, true},     {1, false},  // g_Ups_Ip_S: 127.0.0.1 counts as none
      {2, false},                 // empty
      {15, true},    {16, false},   {99, false},  {100, true},  {101, false},
      {115, true},   {116, false},  {999, false}, {1000, true}, {1001, false},  // 0.0.0.0 names no UPS
      {1002, false},                                                            // a section without "IP"
      {1003, false},                                                            // no section
      {1004, false},                                                            // an empty "IP"
      {8999, true},  {9130, false}, {-1, false},
  };
  for (const Case &c : cases) {
    int result = -1;
    std::string line = Line(c.unit_code, &result);
    if (c.has_address) {
      EXPECT_EQ(1, result) << c.unit_code;
      EXPECT_EQ(kOnMainsLine, line) << c.unit_code;
    } else {
      EXPECT_EQ(0, result) << c.unit_code;
      EXPECT_EQ(std::string(52, '-'), line) << c.unit_code;
    }
  }
}

TEST_F(StatusLineTest, ColumnsShowTheirWidthsAndASymmetraItsPacks) {
  Ctl("127.0.0.2", {"set", kInputPhase, "i", "3"});
  Ctl("127.0.0.2", {"set", kFailCause, "i", "9"});
  Ctl("127.0.0.2", {"set", kInputVoltage, "u", "7"});
  Ctl("127.0.0.2", {"set", kOutputStatus, "i", "3"});
  Ctl("127.0.0.2", {"set", kOutputLoad, "u", "12345"});
  Ctl("127.0.0.2", {"set", kRunTime, "t", "12399"});  // whole seconds: 123
  Ctl("127.0.0.2", {"set", kBadPacks, "i", "2"});
  const std::string columns = " 3 09 007 103 097 50  03 1 100 50 12345 003  100 030 0123  1 ";
  int result = -1;
  EXPECT_EQ(columns, Line(9000, &result));
  EXPECT_EQ(1, result);

  // The model name decides by its first eight characters.
  WriteInfo(
      "[2001]\r\nIP=127.0.0.2\r\nUPS_type=Symmetra LX]\r\n[2002]\r\nIP=127.0.0.2\r\nUPS_type=Symmetr]\r\n"
      "[2003]\r\nIP=127.0.0.2\r\nUPS_type=symmetra]\r\n[2004]\r\nIP=127.0.0.2\r\nUPS_type=Symmetra\r\n");
  EXPECT_EQ(columns + "[1 2] ", Line(2001, &result));
  EXPECT_EQ(columns, Line(2002, &result));
  EXPECT_EQ(columns, Line(2003, &result));
  EXPECT_EQ(columns + "[1 2] ", Line(2004, &result));
  // The unit-table slots never get the Symmetra columns.
  EXPECT_EQ(columns, Line(9000, &result));
}

TEST_F(StatusLineTest, FailedAndWrongTypedReadsBecomeDashes) {
  // Column 1 is read at quiet level 0: its error status is logged; column 4 at level 2: not.
  Ctl("127.0.0.2", {"fault", "status", kInputPhase, "noSuchName"});
  Ctl("127.0.0.2", {"fault", "status", kInputMax, "genErr"});
  // A wrong-typed answer delivers no value.
  Ctl("127.0.0.2", {"fault", "type", kOutputStatus, "u"});
  size_t mark = LogSize();
  int result = -1;
  EXPECT_EQ(" - 01 100 --- 097 50  -- 1 100 50 0025 003  100 030 1800  1 ", Line(9000, &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ(std::vector<std::string>{"[r]SNMP Error: errorStatus=2, errorIndex=1"}, LogTextsSince(mark));
  EXPECT_EQ(0x80100002L, CodeOf("[r]SNMP Error: errorStatus=2, errorIndex=1"));
}

TEST_F(StatusLineTest, ValuesThatDoNotFitAreCutAtTheLinesRoom) {
  // Every column at its widest: eleven characters of number each.
  const char *integers[] = {kInputPhase, kFailCause, kOutputStatus, ".1.3.6.1.4.1.318.1.1.1.4.1.2.0",
                            ".1.3.6.1.4.1.318.1.1.1.2.2.4.0"};
  for (const char *oid : integers) Ctl("127.0.0.2", {"set", oid, "i", "-2147483648"});
  const char *gauges[] = {kInputVoltage,
                          kInputMax,
                          ".1.3.6.1.4.1.318.1.1.1.3.2.3.0",
                          ".1.3.6.1.4.1.318.1.1.1.3.2.4.0",
                          ".1.3.6.1.4.1.318.1.1.1.4.2.1.0",
                          ".1.3.6.1.4.1.318.1.1.1.4.2.2.0",
                          kOutputLoad,
                          ".1.3.6.1.4.1.318.1.1.1.4.2.4.0",
                          ".1.3.6.1.4.1.318.1.1.1.2.2.2.0"};
  for (const char *oid : gauges) Ctl("127.0.0.2", {"set", oid, "u", "2147483648"});
  int result = -1;
  std::string line = Line(9000, &result);
  EXPECT_EQ(1, result);
  EXPECT_EQ(static_cast<size_t>(STATUS_LINE_SIZE - 1), line.size());
  EXPECT_EQ(" -2147483648 -2147483648 -2147483648 -2147483648 -2147483648 -2147483648  -2147483648 ",
            line.substr(0, 86));
}

TEST_F(StatusLineTest, ASilentCardGivesEveryFailureText) {
  WriteInfo("[3000]\r\nIP=127.0.0.3\r\nUPS_type=Symmetra 16k]\r\n");
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  size_t mark = LogSize();
  int result = -1;
  EXPECT_EQ(std::string(STATUS_LINE_NO_ANSWER) + "[- -] ", Line(3000, &result));
  EXPECT_EQ(1, result);
  // Every read failed in transport, each with its line, whatever its quiet level.
  std::vector<std::string> lines = LogTextsSince(mark);
  EXPECT_EQ(std::vector<std::string>(18, "[r]error on SnmpMgrRequest 40"), lines);
  EXPECT_EQ(0x80100001L, CodeOf("[r]error on SnmpMgrRequest 40"));
}

}  // namespace
