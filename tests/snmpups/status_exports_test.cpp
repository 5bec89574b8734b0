// The status exports of SNMPUPS.DLL, loaded by name, against upssim cards: answers, silent
// cards, wrong types, error statuses, the write probe, serial communication, the SCG error
// counter, outlet groups and the outlet-model check.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "library_fixture.h"

namespace {

const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kInputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.3.2.1.0";
const char kCapacity[] = ".1.3.6.1.4.1.318.1.1.1.2.2.1.0";
const char kLowTransfer[] = ".1.3.6.1.4.1.318.1.1.1.5.2.3.0";
const char kGroupNumber[] = ".1.3.6.1.4.1.318.1.1.1.10.1.1.0";
const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";

// Cards: .2 plain, .3 with two outlet groups, .4 older model with a three-character firmware.
const char kCards[] =
    "community = kelpie\n"
    "[card 127.0.0.2]\n"
    "[card 127.0.0.3]\noutlet-groups = 2\n"
    "[card 127.0.0.4]\nfirmware = 6.4\n";

class StatusTest : public qt::LibraryTest {
 protected:
  void SetUp() override {
    StartCards("127.0.0.2", "127.0.0.4", kCards);
    Load();
    status = Entry<qt::GetStatusFn>("GetUpsStatusFromSnmp");
    input = Entry<qt::GetStatusFn>("GetUpsInputStatusFromSnmp");
  }
  qt::GetStatusFn status = nullptr;
  qt::GetStatusFn input = nullptr;
};

TEST_F(StatusTest, OutputStatusOnSuccessSilenceWrongTypeAndErrorStatus) {
  int value = -1;
  EXPECT_EQ(1, status("127.0.0.2", &value));
  EXPECT_EQ(2, value);
  Ctl("127.0.0.2", {"power-fail"});
  EXPECT_EQ(1, status("127.0.0.2", &value));
  EXPECT_EQ(3, value);

  Ctl("127.0.0.3", {"fault", "silent", "on"});
  value = -7;
  EXPECT_EQ(0, status("127.0.0.3", &value));
  EXPECT_EQ(-7, value);
  EXPECT_EQ(0x80100001L, CodeOf("GetUpsStatusFromSnmp[127.0.0.3] error!"));
  EXPECT_EQ(0x80100001L, CodeOf("[r]error on SnmpMgrRequest 40"));

  // Another type than INTEGER: success, and the caller's value stays.
  Ctl("127.0.0.4", {"fault", "type", kOutputStatus, "s"});
  value = 12345;
  EXPECT_EQ(1, status("127.0.0.4", &value));
  EXPECT_EQ(12345, value);
  Ctl("127.0.0.4", {"fault", "clear"});
  Ctl("127.0.0.4", {"fault", "status", kOutputStatus, "genErr"});
  EXPECT_EQ(0, status("127.0.0.4", &value));
  EXPECT_EQ(0x80100002L, CodeOf("GetUpsStatusFromSnmp[127.0.0.4] error!"));
  EXPECT_TRUE(LogHas("[r]SNMP Error: errorStatus=5, errorIndex=1"));

  // Unreadable addresses and missing outputs fail without a crash.
  EXPECT_EQ(0, status("", &value));
  EXPECT_EQ(0, status(nullptr, &value));
  EXPECT_EQ(0, status("127.0.0.2", nullptr));
}

TEST_F(StatusTest, InputStatusFromVoltageAndCapacity) {
  struct Case {
    const char *voltage;
    int expected;
    long reads;  // GETs the card answered
  } cases[] = {{"0", 2, 1}, {"108", 5, 1}, {"150", 5, 1}, {"92", 6, 1}, {"50", 6, 1}, {"100", 1, 2}};
  Ctl("127.0.0.2", {"set", kCapacity, "u", "0"});
  for (const Case &c : cases) {
    Ctl("127.0.0.2", {"set", kInputVoltage, "u", c.voltage});
    long before = Counter("127.0.0.2", "gets");
    int value = -1;
    EXPECT_EQ(1, input("127.0.0.2", &value)) << c.voltage;
    EXPECT_EQ(c.expected, value) << c.voltage;
    EXPECT_EQ(before + c.reads, Counter("127.0.0.2", "gets")) << c.voltage;
  }

  // A voltage of another type delivers no voltage: the call fails rather than guess.
  Ctl("127.0.0.2", {"fault", "type", kInputVoltage, "i"});
  int value = -1;
  EXPECT_EQ(0, input("127.0.0.2", &value));
  EXPECT_EQ(-1, value);
  EXPECT_EQ(0x80000009L, CodeOf("GetUpsInputStatusFromSnmp(1)[127.0.0.2] error!"));
  Ctl("127.0.0.2", {"fault", "clear"});
  Ctl("127.0.0.2", {"fault", "status", kCapacity, "noSuchName"});
  EXPECT_EQ(0, input("127.0.0.2", &value));
  EXPECT_EQ(0x80100002L, CodeOf("GetUpsInputStatusFromSnmp(2)[127.0.0.2] error!"));
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  EXPECT_EQ(0, input("127.0.0.3", &value));
  EXPECT_EQ(0x80100001L, CodeOf("GetUpsInputStatusFromSnmp(1)[127.0.0.3] error!"));
}

TEST_F(StatusTest, DetailStatusWithTheWriteProbe) {
  auto detail = Entry<qt::GetDetailFn>("GetUpsDetailStatusFromSnmp");
  Ctl("127.0.0.2", {"set", kInputVoltage, "u", "101"});
  Ctl("127.0.0.2", {"set", kCapacity, "u", "87"});
  int out = 0, in_volt = 0, capacity = 0, seconds = 0, cause = 0;
  EXPECT_EQ(1, detail("127.0.0.2", &out, &in_volt, &capacity, &seconds, &cause));
  EXPECT_EQ(2, out);
  EXPECT_EQ(101, in_volt);
  EXPECT_EQ(87, capacity);
  EXPECT_EQ(0, seconds);
  EXPECT_EQ(99999, cause);  // read only while on battery
  // The probe wrote back exactly the value it read.
  EXPECT_EQ(std::vector<std::string>{std::string(kLowTransfer) + " INTEGER 92 noError"}, Sets("127.0.0.2"));
  EXPECT_EQ(0, qt::count_of(qt::read_file(LogPath()), "[s]"));

  // On battery for a few seconds: the input failure cause is read and reported.
  Ctl("127.0.0.2", {"power-fail"});
  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "500"});
  EXPECT_EQ(1, detail("127.0.0.2", &out, &in_volt, &capacity, &seconds, &cause));
  EXPECT_EQ(3, out);
  EXPECT_EQ(5, seconds);
  EXPECT_EQ(4, cause);
  EXPECT_TRUE(LogHas(" [127.0.0.2] is OnBattery. Input is (4)!"));
  Ctl("127.0.0.2", {"set", ".1.3.6.1.4.1.318.1.1.1.3.2.5.0", "i", "9"});
  EXPECT_EQ(1, detail("127.0.0.2", &out, &in_volt, &capacity, &seconds, &cause));
  EXPECT_EQ(9, cause);
  EXPECT_TRUE(LogHas("[127.0.0.2] self-test!!"));

  // Refused SETs: the GET of the probe succeeded, four SETs failed, check=1, outputs unknown.
  Ctl("127.0.0.4", {"fault", "refuse-sets"});
  Ctl("127.0.0.4", {"sets", "clear"});
  EXPECT_EQ(0, detail("127.0.0.4", &out, &in_volt, &capacity, &seconds, &cause));
  for (int v : {out, in_volt, capacity, seconds, cause}) EXPECT_EQ(99999, v);
  EXPECT_EQ(4u, Sets("127.0.0.4").size());
  EXPECT_EQ(0x80100002L,
            CodeOf("GetUpsDetailStatusFromSnmp(outsts)[127.0.0.4] LowTransferVolt error! check=1"));
  // A silent card fails the GET: check=0, and nothing is written back.
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  EXPECT_EQ(0, detail("127.0.0.3", &out, &in_volt, &capacity, &seconds, &cause));
  EXPECT_EQ(0x80100001L,
            CodeOf("GetUpsDetailStatusFromSnmp(outsts)[127.0.0.3] LowTransferVolt error! check=0"));
  EXPECT_EQ(0u, Sets("127.0.0.3").size());
  // A probe value of another type is never written back.
  Ctl("127.0.0.3", {"fault", "clear"});
  Ctl("127.0.0.3", {"fault", "type", kLowTransfer, "u"});
  EXPECT_EQ(0, detail("127.0.0.3", &out, &in_volt, &capacity, &seconds, &cause));
  EXPECT_EQ(0u, Sets("127.0.0.3").size());
  EXPECT_EQ(0x80000009L,
            CodeOf("GetUpsDetailStatusFromSnmp(outsts)[127.0.0.3] LowTransferVolt error! check=0"));
}

TEST_F(StatusTest, DetailStatus2NeedsSerialCommunication) {
  auto detail2 = Entry<qt::GetDetail2Fn>("GetUpsDetailStatusFromSnmp2");
  int v[9];
  for (int &x : v) x = -1;
  Ctl("127.0.0.2", {"set", kInputVoltage, "u", "100"});
  EXPECT_EQ(1, detail2("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]));
  EXPECT_EQ(2, v[0]);      // output status
  EXPECT_EQ(100, v[1]);    // input voltage
  EXPECT_GT(v[2], 0);      // output voltage
  EXPECT_EQ(30, v[5]);     // battery temperature
  EXPECT_EQ(1, v[6]);      // replacement indicator
  EXPECT_EQ(99999, v[7]);  // fail cause: not on battery
  EXPECT_GT(v[8], 0);      // run time remaining, seconds
  EXPECT_NE(99999, v[8]);

  Ctl("127.0.0.2", {"comm", "lost"});
  for (int &x : v) x = -1;
  EXPECT_EQ(0, detail2("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]));
  EXPECT_EQ(99999, v[0]);
  EXPECT_EQ(-1, v[5]);  // temperature and indicator are not preset
  bool found = false;
  for (const std::string &text : LogTexts())
    found = found || text.rfind("not Serial Communication(127.0.0.2)=[", 0) == 0;
  EXPECT_TRUE(found);

  // An unreadable replacement indicator still gives success, with the value unknown.
  Ctl("127.0.0.2", {"comm", "ok"});
  Ctl("127.0.0.2", {"fault", "status", ".1.3.6.1.4.1.318.1.1.1.2.2.4.0", "genErr"});
  EXPECT_EQ(1, detail2("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]));
  EXPECT_EQ(99999, v[6]);
  EXPECT_EQ(0x80100002L, CodeOf("intValue no Status2"));
}

TEST_F(StatusTest, DetailStatus3AndTheScgErrorCounter) {
  auto detail3 = Entry<qt::GetDetail3Fn>("GetUpsDetailStatusFromSnmp3");
  int group = -1, active = -1, delay = -1, offset = -1, members = -1;
  char state[65];
  memset(state, 'x', sizeof state);
  EXPECT_EQ(1, detail3("127.0.0.2", &group, &active, &delay, &offset, &members, state));
  EXPECT_EQ(0, group);
  EXPECT_EQ(2, active);
  EXPECT_EQ(120, delay);
  EXPECT_EQ(10, offset);
  EXPECT_EQ(1, members);
  EXPECT_LE(strlen(state), 64u);
  EXPECT_EQ('1', state[5]);

  // Every failed group-number read counts; after the 31st no further read is made.
  Ctl("127.0.0.2", {"fault", "status", kGroupNumber, "noSuchName"});
  for (int i = 1; i <= 31; ++i) {
    EXPECT_EQ(0, detail3("127.0.0.2", &group, &active, &delay, &offset, &members, state));
    char line[128];
    snprintf(line, sizeof line, "GetUpsDetailStatusFromSnmp3(MGN)[127.0.0.2] error! Errcount:[%d]", i);
    ASSERT_TRUE(LogHas(line)) << i;
  }
  Ctl("127.0.0.2", {"fault", "clear"});
  long before = Counter("127.0.0.2", "gets");
  memset(state, 0, sizeof state);
  EXPECT_EQ(0, detail3("127.0.0.2", &group, &active, &delay, &offset, &members, state));
  EXPECT_EQ(before + 1, Counter("127.0.0.2", "gets"));  // the state text only
  EXPECT_EQ('1', state[5]);
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  EXPECT_EQ(0, detail3("127.0.0.3", &group, &active, &delay, &offset, &members, state));

  // A state text far longer than the buffers is cut, never copied beyond them.
  Ctl("127.0.0.4", {"set", ".1.3.6.1.4.1.318.1.1.1.11.1.1.0", "s", std::string(300, '1')});
  char guarded[65 + 8];
  memset(guarded, 'G', sizeof guarded);
  EXPECT_EQ(0, detail3("127.0.0.4", &group, &active, &delay, &offset, &members, guarded));
  EXPECT_EQ(std::string(64, '1'), std::string(guarded));
  EXPECT_EQ(std::string(8, 'G'), std::string(guarded + 65, 8));
}

TEST_F(StatusTest, OutletGroupStateAndModelCheck) {
  auto outlet_state = Entry<qt::OutletStateFn>("OutletUpsStateSnmp");
  auto check = Entry<qt::AddressFn>("CheckOutletUpsSnmp");
  Ctl("127.0.0.3", {"set", ".1.3.6.1.4.1.318.1.1.1.12.1.2.1.3.1", "i", "1"});
  Ctl("127.0.0.3", {"set", ".1.3.6.1.4.1.318.1.1.1.12.1.2.1.3.2", "i", "2"});
  int state = -1;
  EXPECT_EQ(1, outlet_state("127.0.0.3", 0, &state));
  EXPECT_EQ(1, state);
  EXPECT_EQ(1, outlet_state("127.0.0.3", 2, &state));
  EXPECT_EQ(2, state);
  EXPECT_EQ(0, outlet_state("127.0.0.3", 7, &state));
  EXPECT_EQ(99999, state);
  EXPECT_EQ(0x80100002L, CodeOf("OutletUpsStateSnmp[127.0.0.3] error!"));
  EXPECT_EQ(0, outlet_state("127.0.0.3", -1, &state));

  EXPECT_EQ(2, check("127.0.0.3"));
  EXPECT_TRUE(LogHas("[127.0.0.3]OutUPS[Fw:UPS 09.3]"));
  EXPECT_EQ(1, check("127.0.0.2"));
  EXPECT_TRUE(LogHas("[127.0.0.2]CheckOutletUps 5G before"));
  EXPECT_EQ(1, check("127.0.0.4"));  // three characters, no outlet table
  EXPECT_EQ(2, qt::count_of(qt::read_file(LogPath()), "CheckOutletUps 5G before"));
  Ctl("127.0.0.4", {"set", ".1.3.6.1.4.1.318.1.1.1.12.2.1.0", "i", "4"});
  EXPECT_EQ(2, check("127.0.0.4"));
  EXPECT_TRUE(LogHas("[127.0.0.4]OutUPS[TableSize:4]"));
  Ctl("127.0.0.2", {"fault", "silent", "on"});
  EXPECT_EQ(0, check("127.0.0.2"));
  EXPECT_EQ(0x80100001L, CodeOf("[127.0.0.2]CheckOutletUps FWRev Get Error"));
}

}  // namespace
