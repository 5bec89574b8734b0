// The SNMP access layer against upssim cards: GETs and SETs by slot and by address, their log
// lines, quiet levels, result codes, type rules, the silent write probe, and the OID
// conversion with its fallback parser.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "timing.h"

namespace {

const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kModel[] = ".1.3.6.1.4.1.318.1.1.1.1.1.1.0";
const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
const char kTurnOn[] = ".1.3.6.1.4.1.318.1.1.1.6.2.6.0";
const char kShutoffDelay[] = ".1.3.6.1.4.1.318.1.1.1.5.2.10.0";
const char kLowTransfer[] = ".1.3.6.1.4.1.318.1.1.1.5.2.3.0";
const char kMulticast[] = ".1.3.6.1.4.1.318.1.1.1.10.1.5.0";
const char kModelText[] = "QSIM TEST UNIT";

class AccessTest : public qt::SnmpUpsCoreTest {
 protected:
  void SetUp() override {
    StartCards(
        "127.0.0.2", "127.0.0.3",
        "community = kelpie\n[card 127.0.0.2]\nmodel = " + std::string(kModelText) + "\n[card 127.0.0.3]\n");
    ASSERT_TRUE(
        LoadWith("UPS_IP=127.0.0.2\r\nUPS_IP3=not an address\r\nTimeOut=150\r\nRetry=1\r\n"
                 "TimeOut_Outlet=250\r\nRetry_Outlet=2\r\n"));
  }
};

TEST_F(AccessTest, GetBySlotLogsRequestAndAnswerUnlessQuiet) {
  size_t mark = LogSize();
  int status = 77;
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &status, 0, 0));
  EXPECT_EQ(2, status);
  std::vector<std::string> lines = LogTextsSince(mark);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(std::string("[UPS0]GET OID=") + kOutputStatus, lines[0]);
  EXPECT_EQ(" SNMP request(GET) success : value(ASN_INTEGER) = 0x2", lines[1]);
  EXPECT_EQ(1, CodeOf(lines[1]));

  char model[SNMP_TEXT_BUFFER] = {0};
  mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kModel, QP_ASN_OCTET_STRING, model, 0, 0));
  EXPECT_STREQ(kModelText, model);
  lines = LogTextsSince(mark);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(" SNMP request(GET) success : value(ASN_OCTETSTRING)", lines[1]);
  EXPECT_EQ("  length =14  stream =[QSIM TEST UNIT]", lines[2]);
  EXPECT_EQ(0, CodeOf(lines[1]));

  // Quiet: only the first line of a text answer is written.
  mark = LogSize();
  memset(model, 0, sizeof model);
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kModel, QP_ASN_OCTET_STRING, model, 1, 0));
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &status, 1, 0));
  EXPECT_EQ(std::vector<std::string>{" SNMP request(GET) success : value(ASN_OCTETSTRING)"},
            LogTextsSince(mark));

  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "305419896"});  // 0x12345678
  uint32_t ticks = 0;
  mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kTimeOnBattery, QP_ASN_TIMETICKS, &ticks, 0, 0));
  EXPECT_EQ(0x12345678u, ticks);
  EXPECT_EQ(" SNMP request(GET) success : value(ASN_RFC1155_TIMETICKS) = 305419896  78563412",
            LogTextsSince(mark).back());
}

TEST_F(AccessTest, GetAnsweredWithAnotherTypeStoresNothing) {
  Ctl("127.0.0.2", {"fault", "type", kOutputStatus, "u"});
  int status = 99999;
  size_t mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &status, 0, 0));
  EXPECT_EQ(99999, status);
  EXPECT_EQ(" SNMP request(GET) success : but unmatch value.type = ASN_RFC1155_GAUGE 66",
            LogTextsSince(mark).back());
  Ctl("127.0.0.2", {"fault", "type", kOutputStatus, "s"});
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &status, 0, 0));
  EXPECT_EQ(" SNMP request(GET) success : but unmatch value.type = ASN_OCTETSTRING 4",
            LogTextsSince(mark).back());
  // By address the same answer is silent.
  mark = LogSize();
  bool stored = true;
  EXPECT_EQ(SNMP_RESULT_OK,
            SnmpGetByAddressStored("127.0.0.2", kOutputStatus, QP_ASN_INTEGER, &status, 0, &stored));
  EXPECT_FALSE(stored);
  EXPECT_EQ(99999, status);
  EXPECT_EQ(mark, LogSize());
}

TEST_F(AccessTest, IllegalSlotBadAddressAndBadOid) {
  Ctl("127.0.0.2", {"fault", "clear"});
  long before = Counter("127.0.0.2", "requests");
  int value = 0;
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &value, 0, 130));
  EXPECT_EQ(static_cast<long>(SNMP_RESULT_FAILED), CodeOf("[SnmpGet] illegal argument [UPS130]"));
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &value, 0, -1));
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpSetByIndex(kTurnOn, QP_ASN_INTEGER, &value, 200));
  EXPECT_TRUE(LogHas("[SnmpSet] illegal argument [UPS200]"));
  EXPECT_EQ(before, Counter("127.0.0.2", "requests"));

  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &value, 0, 3));
  EXPECT_TRUE(LogHas("error on SnmpMgrOpen[UPS3] 87"));
  size_t mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpGetByAddress("", kOutputStatus, QP_ASN_INTEGER, &value, 0));
  EXPECT_EQ(mark, LogSize());  // a failed open is never logged by the GET by address
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpSetByAddress("", kTurnOn, QP_ASN_INTEGER, &value));
  EXPECT_TRUE(LogHas("[s]error on SnmpMgrOpen 87"));

  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpGetByIndex("1.3.x", QP_ASN_INTEGER, &value, 0, 0));
  EXPECT_TRUE(LogHas("SNMP Error[UPS0]: Invalid OID specified."));
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpGetByAddress("127.0.0.2", "junk", QP_ASN_INTEGER, &value, 0));
  EXPECT_TRUE(LogHas("[r]SNMP Error: Invalid OID specified."));
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpSetOutletByAddress("127.0.0.2", "", QP_ASN_INTEGER, &value));
  EXPECT_TRUE(LogHas("[s]SNMP Error: Invalid OID specified."));

  // A SET without a value forms no binding and sends nothing.
  before = Counter("127.0.0.2", "requests");
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpSetByIndex(kTurnOn, QP_ASN_INTEGER, nullptr, 0));
  EXPECT_EQ(static_cast<long>(SNMP_RESULT_FAILED), CodeOf("SNMP Error[0]: Error allocating OID"));
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpSetByAddress("127.0.0.2", kTurnOn, QP_ASN_INTEGER, nullptr));
  EXPECT_TRUE(LogHas("[s]SNMP Error: Error allocating OID"));
  EXPECT_EQ(before, Counter("127.0.0.2", "requests"));
}

TEST_F(AccessTest, SetResultsAndLinesBySlotAndByAddress) {
  int on = 2;
  size_t mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_OK, SnmpSetByIndex(kTurnOn, QP_ASN_INTEGER, &on, 0));
  std::vector<std::string> lines = LogTextsSince(mark);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(std::string("[UPS0(127.0.0.2)]SET OID=") + kTurnOn, lines[0]);
  EXPECT_EQ(" SET  value type=2 value data=0x2", lines[1]);
  EXPECT_EQ(" SNMP request(SET) success: value type=2 value data=0x2", lines[2]);

  int bad = 9;
  EXPECT_EQ(SNMP_RESULT_BAD_VALUE, SnmpSetByIndex(kTurnOn, QP_ASN_INTEGER, &bad, 0));
  EXPECT_EQ(static_cast<long>(SNMP_RESULT_BAD_VALUE),
            CodeOf("SNMP Error[UPS0]: SNMP_ERRORSTATUS_BADVALUE, errorIndex=1"));
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR,
            SnmpSetByAddress("127.0.0.2", ".1.3.6.1.4.1.318.1.1.1.99.0", QP_ASN_INTEGER, &on));
  EXPECT_EQ(static_cast<long>(SNMP_RESULT_AGENT_ERROR),
            CodeOf("[s]SNMP Error: SNMP_ERRORSTATUS_NOSUCHNAME, errorIndex=1"));
  Ctl("127.0.0.2", {"fault", "status", kTurnOn, "genErr"});
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR, SnmpSetOutletByAddress("127.0.0.2", kTurnOn, QP_ASN_INTEGER, &on));
  EXPECT_TRUE(LogHas("[s]SNMP Error: SNMP_ERRORSTATUS_GENERR, errorIndex=1"));
  Ctl("127.0.0.2", {"fault", "status", kTurnOn, "readOnly"});
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR, SnmpSetByIndex(kTurnOn, QP_ASN_INTEGER, &on, 0));
  EXPECT_TRUE(LogHas("SNMP Error[UPS0]: SNMP_ERRORSTATUS_READONLY, errorIndex=1"));
  Ctl("127.0.0.2", {"fault", "status", kTurnOn, "tooBig"});
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR, SnmpSetByAddress("127.0.0.2", kTurnOn, QP_ASN_INTEGER, &on));
  EXPECT_TRUE(LogHas("[s]SNMP Error: SNMP_ERRORSTATUS_TOOBIG, errorIndex=1"));
  Ctl("127.0.0.2", {"fault", "clear"});

  // TimeTicks above 0x7FFFFFFF are sent as 0x7FFFFFFF, with the overflow line.
  Ctl("127.0.0.2", {"sets", "clear"});
  uint32_t ticks = 0x80000000u;
  mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_OK, SnmpSetByAddress("127.0.0.2", kShutoffDelay, QP_ASN_TIMETICKS, &ticks));
  lines = LogTextsSince(mark);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("SnmpSetR TIMETICKS Data Over", lines[0]);
  EXPECT_EQ(std::string("[s]SET OID=") + kShutoffDelay + " to [127.0.0.2]", lines[1]);
  EXPECT_EQ(" [s]SET  value type=67 value data=2147483647", lines[2]);
  EXPECT_EQ(" [s]SNMP request(SET) success: value type=67 value data=0x7fffffff", lines[3]);
  EXPECT_EQ(std::vector<std::string>{std::string(kShutoffDelay) + " TimeTicks 2147483647 noError"},
            Sets("127.0.0.2"));
  EXPECT_EQ(SNMP_RESULT_OK, SnmpSetByIndex(kShutoffDelay, QP_ASN_TIMETICKS, &ticks, 0));
  EXPECT_TRUE(LogHas("SnmpSet TIMETICKS Data Over"));
  EXPECT_TRUE(LogHas(" SET  value type=67 value data=2147483647"));

  // IpAddress and text values.
  const uint8_t multicast[4] = {224, 0, 0, 7};
  EXPECT_EQ(SNMP_RESULT_OK, SnmpSetByAddress("127.0.0.2", kMulticast, QP_ASN_IPADDRESS, multicast));
  EXPECT_TRUE(LogHas(" [s]SET  value type=64 ASN_RFC1155_IPADDRESS"));
  EXPECT_TRUE(LogHas(" [s]SNMP request(SET) success:  value type = 0x40"));
  uint8_t read_back[4] = {0};
  EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByAddress("127.0.0.2", kMulticast, QP_ASN_IPADDRESS, read_back, 0));
  EXPECT_EQ(0, memcmp(multicast, read_back, 4));
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR, SnmpSetByAddress("127.0.0.2", kModel, QP_ASN_OCTET_STRING, "new model"));
  EXPECT_TRUE(LogHas(" [s]SET  value type=4 ASN_OCTETSTRING"));
}

TEST_F(AccessTest, WriteProbeSetsAreSilentOnlyByAddress) {
  Ctl("127.0.0.2", {"fault", "refuse-sets"});
  int volts = 92;
  size_t mark = LogSize();
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR, SnmpSetByAddress("127.0.0.2", kLowTransfer, QP_ASN_INTEGER, &volts));
  EXPECT_EQ(mark, LogSize());
  Ctl("127.0.0.2", {"fault", "clear"});
  EXPECT_EQ(SNMP_RESULT_OK, SnmpSetByAddress("127.0.0.2", kLowTransfer, QP_ASN_INTEGER, &volts));
  EXPECT_EQ(mark, LogSize());
  Ctl("127.0.0.2", {"fault", "silent", "on"});
  EXPECT_EQ(SNMP_RESULT_FAILED, SnmpSetByAddress("127.0.0.2", kLowTransfer, QP_ASN_INTEGER, &volts));
  EXPECT_EQ(mark, LogSize());
  Ctl("127.0.0.2", {"fault", "silent", "off"});

  Ctl("127.0.0.2", {"fault", "refuse-sets"});
  EXPECT_EQ(SNMP_RESULT_AGENT_ERROR,
            SnmpSetOutletByAddress("127.0.0.2", kLowTransfer, QP_ASN_INTEGER, &volts));
  std::vector<std::string> lines = LogTextsSince(mark);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(std::string("[s]SET OID=") + kLowTransfer + " to [127.0.0.2]", lines[0]);
  EXPECT_EQ(" [s]SET  value type=2 value data=0x5c", lines[1]);
  EXPECT_EQ("[s]SNMP Error: SNMP_ERRORSTATUS_NOSUCHNAME, errorIndex=1", lines[2]);
}

// Each variant's time-out and retries against a silent card: the GET by address 200 ms with 2
// retries, the SET by address and the outlet SET their settings (150 ms with 1 retry, 250 ms
// with 2 here). The card counts the attempts; the time taken is the attempts times the time-out.
TEST_F(AccessTest, SilentAgentTimeOutsAndRetriesPerVariant) {
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  struct Case {
    const char *name;
    std::function<uint32_t()> call;
    long attempts;
    long timeout_ms;
    const char *line;
  };
  int value = 2;
  std::vector<Case> cases = {
      {"get by address",
       [&] { return SnmpGetByAddress("127.0.0.3", kOutputStatus, QP_ASN_INTEGER, &value, 0); }, 3, 200,
       "[r]error on SnmpMgrRequest 40"},
      {"set by address", [&] { return SnmpSetByAddress("127.0.0.3", kTurnOn, QP_ASN_INTEGER, &value); }, 2,
       150, "[s]error on SnmpMgrRequest 40"},
      {"outlet set", [&] { return SnmpSetOutletByAddress("127.0.0.3", kTurnOn, QP_ASN_INTEGER, &value); }, 3,
       250, "[s]error on SnmpMgrRequest 40"},
  };
  for (const Case &c : cases) {
    EXPECT_TRUE(qt::TakesNominal(
        c.attempts * c.timeout_ms,
        [&] {
          long before = Counter("127.0.0.3", "requests");
          size_t mark = LogSize();
          uint32_t result = 0;
          long ms = qt::ElapsedMs([&] { result = c.call(); });
          EXPECT_EQ(SNMP_RESULT_FAILED, result) << c.name;
          EXPECT_EQ(before + c.attempts, Counter("127.0.0.3", "requests")) << c.name;
          EXPECT_EQ(c.line, LogTextsSince(mark).back()) << c.name;
          return ms;
        },
        c.name));
    EXPECT_EQ(static_cast<long>(SNMP_RESULT_FAILED), CodeOf(c.line));
  }
}

// Failures of the GET by slot: an error status (any, badValue included, is an agent error)
// with its line even when quiet, and answers of every other type with the line naming it.
TEST_F(AccessTest, GetBySlotErrorStatusesAndUnmatchedTypes) {
  struct StatusCase {
    const char *status;
    int quiet;
    std::vector<std::string> lines;
  } statuses[] = {
      {"tooBig",
       0,
       {std::string("[UPS0]GET OID=") + kOutputStatus, "SNMP Error[UPS0]: errorStatus=1, errorIndex=1"}},
      {"badValue", 1, {"SNMP Error[UPS0]: errorStatus=3, errorIndex=1"}},
      {"readOnly", 1, {"SNMP Error[UPS0]: errorStatus=4, errorIndex=1"}},
  };
  for (const StatusCase &c : statuses) {
    Ctl("127.0.0.2", {"fault", "status", kOutputStatus, c.status});
    int value = 77;
    size_t mark = LogSize();
    EXPECT_EQ(SNMP_RESULT_AGENT_ERROR, SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &value, c.quiet, 0))
        << c.status;
    EXPECT_EQ(77, value);
    EXPECT_EQ(c.lines, LogTextsSince(mark)) << c.status;
    EXPECT_EQ(static_cast<long>(SNMP_RESULT_AGENT_ERROR), CodeOf(c.lines.back())) << c.status;
  }
  Ctl("127.0.0.2", {"fault", "clear"});

  // The output status answered with each other type; asked as a Gauge for the INTEGER case.
  struct TypeCase {
    const char *type;
    uint8_t asked;
    std::string line;
  } types[] = {
      {"i", QP_ASN_GAUGE, "ASN_INTEGER 2"},
      {"o", QP_ASN_INTEGER, "ASN_OBJECTIDENTIFIER 6"},
      {"a", QP_ASN_INTEGER, "ASN_RFC1155_IPADDRESS 64"},
      {"c", QP_ASN_INTEGER, "ASN_RFC1155_COUNTER 65"},
      {"t", QP_ASN_INTEGER, "ASN_RFC1155_TIMETICKS 67"},
      {"q", QP_ASN_INTEGER, "ASN_RFC1155_OPAQUE 68"},
      {"n", QP_ASN_INTEGER, "5"},  // NULL: no name of its own
  };
  for (const TypeCase &c : types) {
    Ctl("127.0.0.2", {"fault", "type", kOutputStatus, c.type});
    int value = 99999;
    size_t mark = LogSize();
    EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kOutputStatus, c.asked, &value, 0, 0)) << c.type;
    EXPECT_EQ(99999, value) << c.type;
    std::string line = " SNMP request(GET) success : but unmatch value.type = " + c.line;
    EXPECT_EQ(std::vector<std::string>({std::string("[UPS0]GET OID=") + kOutputStatus, line}),
              LogTextsSince(mark))
        << c.type;
    EXPECT_EQ(1L, CodeOf(line)) << c.type;
    // Quiet: no line for the mismatch.
    mark = LogSize();
    EXPECT_EQ(SNMP_RESULT_OK, SnmpGetByIndex(kOutputStatus, c.asked, &value, 1, 0)) << c.type;
    EXPECT_EQ(mark, LogSize()) << c.type;
  }
}

// The slot variants allow 6000 ms and 3 retries: a silent card sees four requests of each, and
// the failed request is logged with the slot. The GET and the SET run at once on two cards.
TEST_F(AccessTest, SlotVariantsTimeOutAndRetriesAgainstSilentCards) {
  StartCards("127.0.0.2", "127.0.0.4");
  ASSERT_TRUE(LoadWith("UPS_IP=127.0.0.2\r\nUPS_IP1=127.0.0.3\r\nUPS_IP2=127.0.0.4\r\n"));
  Ctl("127.0.0.3", {"fault", "silent", "on"});
  Ctl("127.0.0.4", {"fault", "silent", "on"});
  long get_before = Counter("127.0.0.3", "requests");
  long set_before = Counter("127.0.0.4", "requests");
  uint32_t get_result = 0, set_result = 0;
  long get_ms = 0, set_ms = 0;
  auto timed = [](const std::function<uint32_t()> &call, uint32_t *result, long *ms) {
    auto start = std::chrono::steady_clock::now();
    *result = call();
    *ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count());
  };
  int value = 2;
  std::thread get_thread(
      timed, [&] { return SnmpGetByIndex(kOutputStatus, QP_ASN_INTEGER, &value, 1, 1); }, &get_result,
      &get_ms);
  int on = 2;
  std::thread set_thread(
      timed, [&] { return SnmpSetByIndex(kTurnOn, QP_ASN_INTEGER, &on, 2); }, &set_result, &set_ms);
  get_thread.join();
  set_thread.join();
  EXPECT_EQ(SNMP_RESULT_FAILED, get_result);
  EXPECT_EQ(SNMP_RESULT_FAILED, set_result);
  // Four attempts of 6000 ms each.
  EXPECT_TRUE(qt::WithinNominal(get_ms, 4 * 6000, "GET by slot"));
  EXPECT_TRUE(qt::WithinNominal(set_ms, 4 * 6000, "SET by slot"));
  EXPECT_EQ(get_before + 4, Counter("127.0.0.3", "requests"));
  EXPECT_EQ(set_before + 4, Counter("127.0.0.4", "requests"));
  EXPECT_EQ(static_cast<long>(SNMP_RESULT_FAILED), CodeOf("error on SnmpMgrRequest[UPS1] 40"));
  EXPECT_EQ(static_cast<long>(SNMP_RESULT_FAILED), CodeOf("error on SnmpMgrRequest[UPS2] 40"));
  EXPECT_EQ(1, LogCount("error on SnmpMgrRequest[UPS1] 40"));
  EXPECT_FALSE(LogHas(std::string("[UPS1]GET OID=") + kOutputStatus));  // quiet
}

TEST(OidConversion, FallbackParserAcceptsOnlyScalarInstances) {
  qp_snmp_oid oid{};
  ASSERT_TRUE(ParseOidFallback(kOutputStatus, &oid));
  // Thirteen numbers before the last dot, then the closing 0.
  const uint32_t expected[] = {1, 3, 6, 1, 4, 1, 318, 1, 1, 1, 4, 1, 1, 0};
  ASSERT_EQ(14u, oid.length);
  for (uint32_t i = 0; i < 14; ++i) EXPECT_EQ(expected[i], oid.ids[i]) << i;
  EXPECT_FALSE(ParseOidFallback(".1.3.6.1.4.1.318.1.1.1.12.3.2.1.3.1", &oid));
  EXPECT_FALSE(ParseOidFallback("1.3.6.1.4.1.318.1.1.1.4.1.1.0", &oid));
  EXPECT_FALSE(ParseOidFallback(".x", &oid));
  EXPECT_FALSE(ParseOidFallback("", &oid));
  // The walk ends at the first other character; a number of 0 there is accepted.
  ASSERT_TRUE(ParseOidFallback(".1.3.0 tail", &oid));
  EXPECT_EQ(3u, oid.length);

  // The platform conversion is tried first and takes identifiers of any shape.
  ASSERT_TRUE(StringToOid(".1.3.6.1.4.1.318.1.1.1.12.3.2.1.3.1", &oid));
  EXPECT_EQ(16u, oid.length);
  EXPECT_EQ(1u, oid.ids[15]);
  // A text the platform refuses (a sub-identifier above 32 bits) falls back to the parser.
  EXPECT_TRUE(StringToOid(".1.3.99999999999.0", &oid));
  EXPECT_FALSE(StringToOid(".1.3.99999999999.5", &oid));
}

// The slot ring: one thread's conversions take the slots in turn and wrap after slot 31;
// conversions from many threads at once each claim a slot of their own, so over whole laps of
// the ring every slot is claimed equally often, and each caller still gets its identifier.
TEST(OidConversion, FallbackConversionsClaimTheRingSlotsInTurn) {
  qp_snmp_oid oid{};
  uint32_t previous = 0;
  ASSERT_TRUE(ParseOidFallback(kOutputStatus, &oid, &previous));
  for (int i = 0; i < 40; ++i) {
    uint32_t slot = 99;
    ASSERT_TRUE(ParseOidFallback(kOutputStatus, &oid, &slot));
    EXPECT_EQ((previous + 1) % 32, slot) << i;
    previous = slot;
  }
  // A refused text claims nothing.
  uint32_t refused = 99;
  EXPECT_FALSE(ParseOidFallback(".1.3.5", &oid, &refused));
  EXPECT_EQ(99u, refused);
  uint32_t next = 99;
  ASSERT_TRUE(ParseOidFallback(kOutputStatus, &oid, &next));
  EXPECT_EQ((previous + 1) % 32, next);

  // Eight threads claim slots at once, a fixed number of times each, all starting together so
  // that their claims overlap: a claim made as a read followed by a write hands one slot out
  // twice, and the ring then falls behind by one, which the counts below and the next claim
  // show. The claims are many (half a second of them in the normal build) because on a busy
  // machine the threads may share one processor, where only a switch between the read and the
  // write loses an update.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kThreads = 8, kPerThread = 32 * 1000;
#else
  constexpr int kThreads = 8, kPerThread = 32 * 12000;
#endif
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> claims(kThreads, std::vector<int>(32, 0));
  std::atomic<int> wrong{0}, started{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong, &claims, &started] {
      char text[64];
      snprintf(text, sizeof text, ".1.3.6.1.4.1.318.%d.0", 100 + t);
      started.fetch_add(1);
      while (started.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        qp_snmp_oid own{};
        uint32_t slot = 32;
        if (!ParseOidFallback(text, &own, &slot) || own.length != 9 ||
            own.ids[7] != static_cast<uint32_t>(100 + t) || slot >= 32) {
          ++wrong;
          continue;
        }
        ++claims[t][slot];
      }
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
  // The ring went on from NEXT: kThreads * kPerThread claims are whole laps.
  for (uint32_t slot = 0; slot < 32; ++slot) {
    int total = 0;
    for (int t = 0; t < kThreads; ++t) total += claims[t][slot];
    EXPECT_EQ(kThreads * kPerThread / 32, total) << slot;
  }
  uint32_t after = 99;
  ASSERT_TRUE(ParseOidFallback(kOutputStatus, &oid, &after));
  EXPECT_EQ((next + 1) % 32, after);
}

}  // namespace
