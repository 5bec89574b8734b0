// The status exports of SNMPUPS.DLL, loaded by name, against upssim cards: answers, silent
// cards, wrong types, error statuses, the write probe, serial communication, the SCG error
// counter, outlet groups and the outlet-model check.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "library_fixture.h"
#include "timing.h"

namespace {

const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kInputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.3.2.1.0";
const char kCapacity[] = ".1.3.6.1.4.1.318.1.1.1.2.2.1.0";
const char kLowTransfer[] = ".1.3.6.1.4.1.318.1.1.1.5.2.3.0";
const char kGroupNumber[] = ".1.3.6.1.4.1.318.1.1.1.10.1.1.0";
const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
const char kFailCause[] = ".1.3.6.1.4.1.318.1.1.1.3.2.5.0";
const char kRunTime[] = ".1.3.6.1.4.1.318.1.1.1.2.2.3.0";
const char kOutputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.4.2.1.0";
const char kOutputState[] = ".1.3.6.1.4.1.318.1.1.1.11.1.1.0";
const char kTemperature[] = ".1.3.6.1.4.1.318.1.1.1.2.2.2.0";
const char kReplace[] = ".1.3.6.1.4.1.318.1.1.1.2.2.4.0";
const char kScgActive[] = ".1.3.6.1.4.1.318.1.1.1.10.1.2.0";
const char kScgDelay[] = ".1.3.6.1.4.1.318.1.1.1.10.1.3.0";
const char kScgOffset[] = ".1.3.6.1.4.1.318.1.1.1.10.1.4.0";
const char kScgMembers[] = ".1.3.6.1.4.1.318.1.1.1.10.2.1.0";
const char kFirmware[] = ".1.3.6.1.4.1.318.1.1.1.1.2.1.0";
const char kOutletTableSize[] = ".1.3.6.1.4.1.318.1.1.1.12.2.1.0";
const char kOutletState1[] = ".1.3.6.1.4.1.318.1.1.1.12.1.2.1.3.1";

constexpr int U = 99999;  // UNKNOWN_VALUE, the preset of an output that was not read
constexpr unsigned kAgentError = 0x80100002u;

// The line of the GET by address for an answer with error status STATUS (a upssim name).
std::string ErrorStatusLine(const std::string &status) {
  const char *names[] = {"tooBig", "noSuchName", "badValue", "readOnly", "genErr"};
  for (int i = 0; i < 5; ++i)
    if (status == names[i]) return "[r]SNMP Error: errorStatus=" + std::to_string(i + 1) + ", errorIndex=1";
  ADD_FAILURE() << status;
  return "";
}

// One read of an export made to fail: the card answers OID with error status ARG ("status")
// or with type ARG ("type"); the export then returns RESULT, writes LINES (each with CODE)
// and leaves OUTPUTS.
struct ReadCase {
  const char *oid;
  const char *fault;
  const char *arg;
  int result;
  std::vector<std::string> lines;
  unsigned code;
  std::vector<int> outputs;
};

// The failure lines of a read answered with error status STATUS: the access layer's, then the
// export's own.
std::vector<std::string> Failed(const std::string &status, const std::string &line) {
  return {ErrorStatusLine(status), line};
}

// Cards: .2 plain, .3 with two outlet groups, .4 older model with a three-character firmware.
// The batteries recharge so slowly that a capacity a test sets below full stays what it set for
// as long as the test runs, however slow the build (600 s a full charge would move it by one
// in 6 s).
const char kCards[] =
    "community = kelpie\n"
    "recharge = 1000000000\n"
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
  // Puts the fault of C on the card at ADDRESS (after clearing all others).
  void Arm(const std::string &address, const ReadCase &c) {
    Ctl(address, {"fault", "clear"});
    Ctl(address, {"fault", c.fault, c.oid, c.arg});
  }
  // The records written since MARK are exactly the lines of C, each with its code.
  void ExpectLinesSince(size_t mark, const ReadCase &c) {
    std::vector<qt::LogRecord> records = Log();
    std::vector<std::string> texts;
    for (size_t i = mark; i < records.size(); ++i) {
      texts.push_back(records[i].text);
      EXPECT_EQ(c.code, records[i].code) << records[i].text;
    }
    EXPECT_EQ(c.lines, texts) << c.oid << " " << c.arg;
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

  // Refused SETs: the GET of the probe succeeded, four SETs failed 400 ms apart, check=1,
  // outputs unknown.
  Ctl("127.0.0.4", {"fault", "refuse-sets"});
  EXPECT_TRUE(qt::TakesNominal(
      3 * 400,
      [&] {
        Ctl("127.0.0.4", {"sets", "clear"});
        int result = -1;
        long ms =
            qt::ElapsedMs([&] { result = detail("127.0.0.4", &out, &in_volt, &capacity, &seconds, &cause); });
        EXPECT_EQ(0, result);
        EXPECT_EQ(4u, Sets("127.0.0.4").size());
        return ms;
      },
      "pauses between the probe's SETs"));
  for (int v : {out, in_volt, capacity, seconds, cause}) EXPECT_EQ(99999, v);
  EXPECT_EQ(0x80100002L,
            CodeOf("GetUpsDetailStatusFromSnmp(outsts)[127.0.0.4] LowTransferVolt error! check=1"));
  // A silent card fails the GET: check=0, and nothing is written back.
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  EXPECT_EQ(0, detail("127.0.0.3", &out, &in_volt, &capacity, &seconds, &cause));
  EXPECT_EQ(0x80100001L,
            CodeOf("GetUpsDetailStatusFromSnmp(outsts)[127.0.0.3] LowTransferVolt error! check=0"));
  EXPECT_EQ(0u, Sets("127.0.0.3").size());
  // A probe value of another type is never written back: four GETs 100 ms apart, no SET.
  Ctl("127.0.0.3", {"fault", "clear"});
  Ctl("127.0.0.3", {"fault", "type", kLowTransfer, "u"});
  EXPECT_TRUE(qt::TakesNominal(
      3 * 100,
      [&] {
        long gets = Counter("127.0.0.3", "gets");
        int result = -1;
        long ms =
            qt::ElapsedMs([&] { result = detail("127.0.0.3", &out, &in_volt, &capacity, &seconds, &cause); });
        EXPECT_EQ(0, result);
        EXPECT_EQ(gets + 4, Counter("127.0.0.3", "gets"));
        return ms;
      },
      "pauses between the probe's GETs"));
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

// Each read after the write probe answered with an error status, then with another type: the
// failure line and its code, and which outputs keep their preset.
TEST_F(StatusTest, DetailStatusReadFailuresAndWrongTypes) {
  auto detail = Entry<qt::GetDetailFn>("GetUpsDetailStatusFromSnmp");
  Ctl("127.0.0.2", {"set", kInputVoltage, "u", "101"});
  Ctl("127.0.0.2", {"set", kCapacity, "u", "87"});
  const std::string a = "GetUpsDetailStatusFromSnmp(";
  // Outputs: output status, input voltage, capacity, seconds on battery, fail cause.
  const std::vector<ReadCase> cases = {
      {kOutputStatus,
       "status",
       "tooBig",
       0,
       Failed("tooBig", a + "outsts)[127.0.0.2] error!"),
       kAgentError,
       {U, U, U, U, U}},
      {kTimeOnBattery,
       "status",
       "badValue",
       0,
       Failed("badValue", a + "Battrun)[127.0.0.2] error!"),
       kAgentError,
       {2, U, U, U, U}},
      {kCapacity,
       "status",
       "readOnly",
       0,
       Failed("readOnly", a + "charge)[127.0.0.2] error!"),
       kAgentError,
       {2, U, U, 0, U}},
      {kInputVoltage,
       "status",
       "genErr",
       0,
       Failed("genErr", a + "involt)[127.0.0.2] error!"),
       kAgentError,
       {2, U, 87, 0, U}},
      // Another type: success, that output alone stays unknown (an unknown output status is
      // not "on battery", so no fail cause is read).
      {kOutputStatus, "type", "s", 1, {}, 0, {U, 101, 87, 0, U}},
      {kTimeOnBattery, "type", "i", 1, {}, 0, {2, 101, 87, U, U}},
      {kCapacity, "type", "i", 1, {}, 0, {2, 101, U, 0, U}},
      {kInputVoltage, "type", "t", 1, {}, 0, {2, U, 87, 0, U}},
  };
  for (const ReadCase &c : cases) {
    Arm("127.0.0.2", c);
    std::vector<int> v(5, -1);
    size_t mark = LogSize();
    EXPECT_EQ(c.result, detail("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4])) << c.oid << " " << c.arg;
    EXPECT_EQ(c.outputs, v) << c.oid << " " << c.arg;
    ExpectLinesSince(mark, c);
  }

  // On battery for 5 s: the fail cause is read; its failure is logged and the call goes on.
  Ctl("127.0.0.4", {"power-fail"});
  Ctl("127.0.0.4", {"set", kTimeOnBattery, "t", "500"});
  Ctl("127.0.0.4", {"set", kInputVoltage, "u", "0"});
  Ctl("127.0.0.4", {"set", kCapacity, "u", "90"});
  const std::vector<ReadCase> on_battery = {
      {kFailCause,
       "status",
       "noSuchName",
       1,
       Failed("noSuchName", a + "InputLineFailCause)[127.0.0.4] error!"),
       kAgentError,
       {3, 0, 90, 5, U}},
      // Another type: no cause is delivered, and the on-battery line names the preset.
      {kFailCause, "type", "u", 1, {" [127.0.0.4] is OnBattery. Input is (99999)!"}, 0, {3, 0, 90, 5, U}},
  };
  for (const ReadCase &c : on_battery) {
    Arm("127.0.0.4", c);
    std::vector<int> v(5, -1);
    size_t mark = LogSize();
    EXPECT_EQ(c.result, detail("127.0.0.4", &v[0], &v[1], &v[2], &v[3], &v[4])) << c.arg;
    EXPECT_EQ(c.outputs, v) << c.arg;
    ExpectLinesSince(mark, c);
  }
}

TEST_F(StatusTest, DetailStatus2ReadFailuresAndWrongTypes) {
  auto detail2 = Entry<qt::GetDetail2Fn>("GetUpsDetailStatusFromSnmp2");
  Ctl("127.0.0.2", {"set", kInputVoltage, "u", "101"});
  Ctl("127.0.0.2", {"set", kCapacity, "u", "87"});
  Ctl("127.0.0.2", {"set", kOutputVoltage, "u", "230"});
  Ctl("127.0.0.2", {"set", kRunTime, "t", "180000"});
  const std::string a = "GetUpsDetailStatusFromSnmp2(";
  // Outputs: output status, input voltage, output voltage, capacity, seconds on battery,
  // temperature, replacement indicator, fail cause, seconds remaining. The temperature and
  // the indicator are not preset: -1 is the caller's value.
  const std::vector<ReadCase> cases = {
      {kRunTime,
       "status",
       "tooBig",
       0,
       Failed("tooBig", a + "BattrunTime)[127.0.0.2] error!"),
       kAgentError,
       {U, U, U, U, U, -1, -1, U, U}},
      {kOutputVoltage,
       "status",
       "badValue",
       0,
       Failed("badValue", a + "upsAdvOutputVoltage)[127.0.0.2] error!"),
       kAgentError,
       {U, U, U, U, U, -1, -1, U, 1800}},
      // The state text is read at quiet level 2 and its failure does not stop the call.
      {kOutputState, "status", "genErr", 1, {}, 0, {2, 101, 230, 87, 0, 30, 1, U, 1800}},
      // A failure inside the detail status ends the call with that export's line.
      {kCapacity,
       "status",
       "noSuchName",
       0,
       Failed("noSuchName", "GetUpsDetailStatusFromSnmp(charge)[127.0.0.2] error!"),
       kAgentError,
       {2, U, 230, U, 0, -1, -1, U, 1800}},
      {kTemperature,
       "status",
       "readOnly",
       0,
       Failed("readOnly", a + "temp)[127.0.0.2] error!"),
       kAgentError,
       {2, 101, 230, 87, 0, -1, -1, U, 1800}},
      {kReplace,
       "status",
       "tooBig",
       1,
       Failed("tooBig", "intValue no Status2"),
       kAgentError,
       {2, 101, 230, 87, 0, 30, U, U, 1800}},
      // Another type: success with that output unknown, except the state text: a text that
      // is not delivered does not show serial communication.
      {kRunTime, "type", "i", 1, {}, 0, {2, 101, 230, 87, 0, 30, 1, U, U}},
      {kOutputVoltage, "type", "i", 1, {}, 0, {2, 101, U, 87, 0, 30, 1, U, 1800}},
      {kOutputState,
       "type",
       "i",
       0,
       {"not Serial Communication(127.0.0.2)=[]"},
       0,
       {U, U, 230, U, U, -1, -1, U, 1800}},
      {kTemperature, "type", "i", 1, {}, 0, {2, 101, 230, 87, 0, -1, 1, U, 1800}},
      {kReplace, "type", "u", 1, {}, 0, {2, 101, 230, 87, 0, 30, -1, U, 1800}},
  };
  for (const ReadCase &c : cases) {
    Arm("127.0.0.2", c);
    std::vector<int> v(9, -1);
    size_t mark = LogSize();
    EXPECT_EQ(c.result, detail2("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8]))
        << c.oid << " " << c.arg;
    EXPECT_EQ(c.outputs, v) << c.oid << " " << c.arg;
    ExpectLinesSince(mark, c);
  }
}

TEST_F(StatusTest, DetailStatus3ReadFailuresAndWrongTypes) {
  auto detail3 = Entry<qt::GetDetail3Fn>("GetUpsDetailStatusFromSnmp3");
  const std::string a = "GetUpsDetailStatusFromSnmp3(";
  // Outputs: group number, active membership, delay, offset, members; none is preset.
  const std::vector<ReadCase> cases = {
      {kGroupNumber,
       "status",
       "badValue",
       0,
       Failed("badValue", a + "MGN)[127.0.0.2] error! Errcount:[1]"),
       kAgentError,
       {-1, -1, -1, -1, -1}},
      {kScgActive,
       "status",
       "readOnly",
       0,
       Failed("readOnly", a + "SCGonoff)[127.0.0.2] error!"),
       kAgentError,
       {0, -1, -1, -1, -1}},
      {kScgDelay,
       "status",
       "genErr",
       0,
       Failed("genErr", a + "PSD)[127.0.0.2] error!"),
       kAgentError,
       {0, 2, -1, -1, -1}},
      {kScgOffset,
       "status",
       "noSuchName",
       0,
       Failed("noSuchName", a + "RBCO)[127.0.0.2] error!"),
       kAgentError,
       {0, 2, 120, -1, -1}},
      {kScgMembers,
       "status",
       "tooBig",
       0,
       Failed("tooBig", a + "SCGN)[127.0.0.2] error!"),
       kAgentError,
       {0, 2, 120, 10, -1}},
      {kGroupNumber, "type", "u", 1, {}, 0, {-1, 2, 120, 10, 1}},
      {kScgActive, "type", "s", 1, {}, 0, {0, -1, 120, 10, 1}},
      {kScgDelay, "type", "t", 1, {}, 0, {0, 2, -1, 10, 1}},
      {kScgOffset, "type", "u", 1, {}, 0, {0, 2, 120, -1, 1}},
      {kScgMembers, "type", "c", 1, {}, 0, {0, 2, 120, 10, -1}},
  };
  for (const ReadCase &c : cases) {
    Arm("127.0.0.2", c);
    std::vector<int> v(5, -1);
    char state[65];
    memset(state, 'x', sizeof state);
    size_t mark = LogSize();
    EXPECT_EQ(c.result, detail3("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4], state))
        << c.oid << " " << c.arg;
    EXPECT_EQ(c.outputs, v) << c.oid << " " << c.arg;
    EXPECT_EQ('1', state[5]) << c.oid << " " << c.arg;  // the state text was copied first
    ExpectLinesSince(mark, c);
  }

  // The state text itself: an error status ends the call without a line and without touching
  // the text; another type delivers an empty text and the call goes on.
  ReadCase state_error{kOutputState, "status", "tooBig", 0, {}, 0, {-1, -1, -1, -1, -1}};
  ReadCase state_type{kOutputState, "type", "i", 1, {}, 0, {0, 2, 120, 10, 1}};
  for (const ReadCase *c : {&state_error, &state_type}) {
    Arm("127.0.0.2", *c);
    std::vector<int> v(5, -1);
    char state[65];
    memset(state, 'x', sizeof state);
    size_t mark = LogSize();
    EXPECT_EQ(c->result, detail3("127.0.0.2", &v[0], &v[1], &v[2], &v[3], &v[4], state)) << c->arg;
    EXPECT_EQ(c->outputs, v) << c->arg;
    if (c->result == 1) {
      EXPECT_STREQ("", state);
    } else {
      EXPECT_EQ(std::string(65, 'x'), std::string(state, 65));
    }
    ExpectLinesSince(mark, *c);
  }
}

TEST_F(StatusTest, OutletStateAndModelCheckOnFailure) {
  auto outlet_state = Entry<qt::OutletStateFn>("OutletUpsStateSnmp");
  auto check = Entry<qt::AddressFn>("CheckOutletUpsSnmp");

  // Another type: success, and the state is the value's preset 0.
  Ctl("127.0.0.3", {"set", kOutletState1, "i", "1"});
  Ctl("127.0.0.3", {"fault", "type", kOutletState1, "s"});
  int state = -1;
  size_t mark = LogSize();
  EXPECT_EQ(1, outlet_state("127.0.0.3", 1, &state));
  EXPECT_EQ(0, state);
  EXPECT_EQ(mark, LogSize());

  // A firmware revision of another type is an empty text: the table size decides.
  struct CheckCase {
    const char *address;
    const char *oid;
    const char *type;
    int result;
    std::vector<std::string> lines;
  } checks[] = {
      {"127.0.0.3", kFirmware, "i", 2, {"[127.0.0.3]OutUPS[TableSize:2]"}},
      // No outlet table on this card: its read fails, taken as 1.
      {"127.0.0.2",
       kFirmware,
       "i",
       1,
       {ErrorStatusLine("noSuchName"), "[127.0.0.2]CheckOutletUps 5G before"}},
      // A table size of another type is taken as 1: no outlet model.
      {"127.0.0.4", kOutletTableSize, "u", 1, {"[127.0.0.4]CheckOutletUps 5G before"}},
  };
  Ctl("127.0.0.4", {"set", kOutletTableSize, "i", "4"});
  for (const CheckCase &c : checks) {
    Ctl(c.address, {"fault", "clear"});
    Ctl(c.address, {"fault", "type", c.oid, c.type});
    mark = LogSize();
    EXPECT_EQ(c.result, check(c.address)) << c.address;
    EXPECT_EQ(c.lines, LogTextsSince(mark)) << c.address;
    EXPECT_EQ(0L, CodeOf(c.lines.back()));
  }
  // Without the fault the same card is an outlet model.
  Ctl("127.0.0.4", {"fault", "clear"});
  EXPECT_EQ(2, check("127.0.0.4"));

  // A silent card: the state is unknown, with the access layer's line and the export's.
  Ctl("127.0.0.3", {"fault", "clear"});
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  mark = LogSize();
  EXPECT_EQ(0, outlet_state("127.0.0.3", 2, &state));
  EXPECT_EQ(U, state);
  EXPECT_EQ(
      std::vector<std::string>({"[r]error on SnmpMgrRequest 40", "OutletUpsStateSnmp[127.0.0.3] error!"}),
      LogTextsSince(mark));
  EXPECT_EQ(0x80100001L, CodeOf("OutletUpsStateSnmp[127.0.0.3] error!"));
}

}  // namespace
