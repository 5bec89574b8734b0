// The SNMP manager layer against upssim cards and net-snmp's own snmptrap: values of every
// type, error statuses, time-outs and retries, threads, and trap reception.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "quorin/qp_error.h"
#include "quorin/qp_snmp.h"
#include "raw_trap.h"
#include "testsupport.h"
#include "upssim_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kModel[] = ".1.3.6.1.4.1.318.1.1.1.1.1.1.0";
const char kInputVoltage[] = ".1.3.6.1.4.1.318.1.1.1.3.2.1.0";
const char kLowBatteryRunTime[] = ".1.3.6.1.4.1.318.1.1.1.5.2.8.0";
const char kHighTransfer[] = ".1.3.6.1.4.1.318.1.1.1.5.2.2.0";
const char kShutoffDelay[] = ".1.3.6.1.4.1.318.1.1.1.5.2.10.0";
const char kMulticast[] = ".1.3.6.1.4.1.318.1.1.1.10.1.5.0";
const char kSysObjectId[] = ".1.3.6.1.2.1.1.2.0";
const char kSysName[] = ".1.3.6.1.2.1.1.5.0";
const char kTrapArgument[] = ".1.3.6.1.4.1.318.2.3.3.0";

// Test-only variables added to a card with "ctl set", one per type SNMPv1 has.
const char kCounterVar[] = ".1.3.6.1.4.1.99999.1.1.0";
const char kOpaqueVar[] = ".1.3.6.1.4.1.99999.1.2.0";
const char kNullVar[] = ".1.3.6.1.4.1.99999.1.3.0";
const char kOidVar[] = ".1.3.6.1.4.1.99999.1.4.0";
const char kGaugeVar[] = ".1.3.6.1.4.1.99999.1.5.0";

std::string oid_string(const qp_snmp_oid &oid) {
  char text[1024];
  qp_snmp_oid_to_text(&oid, text, sizeof text);
  return text;
}

// The outcome of one request through the layer.
struct Answer {
  int ok = 0;
  uint32_t error = 0;  // last error when ok is 0
  uint32_t status = 99, index = 99;
  qp_snmp_varbind binding{};
  long elapsed_ms = 0;
  Answer() = default;
  Answer(const Answer &) = delete;
  ~Answer() { qp_snmp_value_free(&binding.value); }
  std::string text() const {
    return std::string(reinterpret_cast<const char *>(binding.value.bytes), binding.value.length);
  }
};

void request(const std::string &agent, uint32_t pdu, const char *oid, const qp_snmp_value &value, Answer *out,
             uint32_t timeout_ms = 2000, uint32_t retries = 1) {
  auto start = Clock::now();
  qp_snmp_session *session = qp_snmp_open(agent.c_str(), "public", timeout_ms, retries);
  ASSERT_NE(session, nullptr) << GetLastError();
  qp_snmp_varbind in{};
  ASSERT_EQ(1, qp_snmp_oid_from_text(oid, &in.name));
  in.value = value;
  out->ok = qp_snmp_request(session, pdu, &in, &out->binding, &out->status, &out->index);
  out->error = GetLastError();
  qp_snmp_close(session);
  out->elapsed_ms =
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void get(const std::string &agent, const char *oid, Answer *out, uint32_t timeout_ms = 2000,
         uint32_t retries = 1) {
  qp_snmp_value null_value{};
  null_value.type = QP_ASN_NULL;
  request(agent, QP_SNMP_PDU_GET, oid, null_value, out, timeout_ms, retries);
}

qp_snmp_value integer(int32_t n) {
  qp_snmp_value v{};
  v.type = QP_ASN_INTEGER;
  v.integer = n;
  return v;
}

qp_snmp_value unsigned_value(uint8_t type, uint32_t n) {
  qp_snmp_value v{};
  v.type = type;
  v.number = n;
  return v;
}

qp_snmp_value bytes_value(uint8_t type, const void *bytes, uint32_t length) {
  qp_snmp_value v{};
  v.type = type;
  v.bytes = static_cast<uint8_t *>(const_cast<void *>(bytes));
  v.length = length;
  return v;
}

TEST(SnmpLayer, GetReadsEveryValueTypeWithItsTag) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  sim.ctl("127.0.0.2", {"set", kCounterVar, "counter", "4294967295"});
  sim.ctl("127.0.0.2", {"set", kOpaqueVar, "opaque", "0x0102ff"});
  sim.ctl("127.0.0.2", {"set", kNullVar, "null"});
  std::string agent = sim.agent();

  Answer status;
  get(agent, kOutputStatus, &status);
  ASSERT_EQ(1, status.ok) << status.error;
  EXPECT_EQ(0u, status.status);
  EXPECT_EQ(0u, status.index);
  EXPECT_EQ(kOutputStatus, oid_string(status.binding.name));
  EXPECT_EQ(0x02, status.binding.value.type);
  EXPECT_EQ(2, status.binding.value.integer);

  Answer model;
  get(agent, kModel, &model);
  EXPECT_EQ(0x04, model.binding.value.type);
  EXPECT_EQ("QSIM UPS 1500", model.text());
  EXPECT_EQ(13u, model.binding.value.length);

  Answer voltage;
  get(agent, kInputVoltage, &voltage);
  EXPECT_EQ(0x42, voltage.binding.value.type);
  EXPECT_EQ(100u, voltage.binding.value.number);

  Answer ticks;
  get(agent, kLowBatteryRunTime, &ticks);
  EXPECT_EQ(0x43, ticks.binding.value.type);
  EXPECT_EQ(12000u, ticks.binding.value.number);

  Answer address;
  get(agent, kMulticast, &address);
  EXPECT_EQ(0x40, address.binding.value.type);
  ASSERT_EQ(4u, address.binding.value.length);
  EXPECT_EQ(0, memcmp(address.binding.value.bytes, "\xe0\x00\x00\x64", 4));

  Answer object;
  get(agent, kSysObjectId, &object);
  EXPECT_EQ(0x06, object.binding.value.type);
  EXPECT_EQ(".1.3.6.1.4.1.318.1.3.900", oid_string(object.binding.value.oid));

  Answer counter;
  get(agent, kCounterVar, &counter);
  EXPECT_EQ(0x41, counter.binding.value.type);
  EXPECT_EQ(4294967295u, counter.binding.value.number);

  Answer opaque;
  get(agent, kOpaqueVar, &opaque);
  EXPECT_EQ(0x44, opaque.binding.value.type);
  ASSERT_EQ(3u, opaque.binding.value.length);
  EXPECT_EQ(0, memcmp(opaque.binding.value.bytes, "\x01\x02\xff", 3));

  Answer null_answer;
  get(agent, kNullVar, &null_answer);
  EXPECT_EQ(1, null_answer.ok);
  EXPECT_EQ(0x05, null_answer.binding.value.type);
  EXPECT_EQ(0u, null_answer.status);
}

TEST(SnmpLayer, SetWritesEveryValueTypeAndTheCardKeepsIt) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  sim.ctl("127.0.0.2", {"set", kCounterVar, "counter", "1"});
  sim.ctl("127.0.0.2", {"set", kOpaqueVar, "opaque", "0x00"});
  sim.ctl("127.0.0.2", {"set", kOidVar, "oid", ".1.3.6.1"});
  sim.ctl("127.0.0.2", {"set", kGaugeVar, "gauge", "1"});
  std::string agent = sim.agent();

  Answer a1;
  request(agent, QP_SNMP_PDU_SET, kHighTransfer, integer(110), &a1);
  ASSERT_EQ(1, a1.ok);
  EXPECT_EQ(0u, a1.status);
  EXPECT_EQ(0x02, a1.binding.value.type);
  EXPECT_EQ(110, a1.binding.value.integer);

  Answer a2;
  request(agent, QP_SNMP_PDU_SET, kShutoffDelay, unsigned_value(QP_ASN_TIMETICKS, 0x7FFFFFFF), &a2);
  EXPECT_EQ(0u, a2.status);
  EXPECT_EQ(0x7FFFFFFFu, a2.binding.value.number);

  Answer a3;
  request(agent, QP_SNMP_PDU_SET, kMulticast, bytes_value(QP_ASN_IPADDRESS, "\xe0\x00\x00\xc8", 4), &a3);
  EXPECT_EQ(0u, a3.status);

  Answer a4;
  request(agent, QP_SNMP_PDU_SET, kSysName, bytes_value(QP_ASN_OCTET_STRING, "rack 7", 6), &a4);
  EXPECT_EQ(0u, a4.status);
  EXPECT_EQ("rack 7", a4.text());

  Answer a5;
  request(agent, QP_SNMP_PDU_SET, kCounterVar, unsigned_value(QP_ASN_COUNTER, 77), &a5);
  EXPECT_EQ(0u, a5.status);
  Answer a6;
  request(agent, QP_SNMP_PDU_SET, kGaugeVar, unsigned_value(QP_ASN_GAUGE, 4000000000u), &a6);
  EXPECT_EQ(0u, a6.status);
  Answer a7;
  request(agent, QP_SNMP_PDU_SET, kOpaqueVar, bytes_value(QP_ASN_OPAQUE, "\x0a\x0b", 2), &a7);
  EXPECT_EQ(0u, a7.status);
  qp_snmp_value object{};
  object.type = QP_ASN_OBJECT_IDENTIFIER;
  ASSERT_EQ(1, qp_snmp_oid_from_text(".1.3.6.1.4.1.318.7", &object.oid));
  Answer a8;
  request(agent, QP_SNMP_PDU_SET, kOidVar, object, &a8);
  EXPECT_EQ(0u, a8.status);
  EXPECT_EQ(".1.3.6.1.4.1.318.7", oid_string(a8.binding.value.oid));

  EXPECT_EQ(
      ".1.3.6.1.4.1.318.1.1.1.5.2.2.0 INTEGER 110 noError\n"
      ".1.3.6.1.4.1.318.1.1.1.5.2.10.0 TimeTicks 2147483647 noError\n"
      ".1.3.6.1.4.1.318.1.1.1.10.1.5.0 IpAddress 224.0.0.200 noError\n"
      ".1.3.6.1.2.1.1.5.0 STRING \"rack 7\" noError\n"
      ".1.3.6.1.4.1.99999.1.1.0 Counter 77 noError\n"
      ".1.3.6.1.4.1.99999.1.5.0 Gauge 4000000000 noError\n"
      ".1.3.6.1.4.1.99999.1.2.0 Opaque 0x0a0b noError\n"
      ".1.3.6.1.4.1.99999.1.4.0 OID .1.3.6.1.4.1.318.7 noError\n",
      sim.ctl("127.0.0.2", {"sets"}));
  EXPECT_EQ("INTEGER 110", sim.value("127.0.0.2", kHighTransfer));
  EXPECT_EQ("IpAddress 224.0.0.200", sim.value("127.0.0.2", kMulticast));

  Answer back;
  get(agent, kMulticast, &back);
  EXPECT_EQ(0, memcmp(back.binding.value.bytes, "\xe0\x00\x00\xc8", 4));
}

// A SET may carry NULL: the layer sends it as it is, and the card takes it only for a variable
// that holds NULL; any other variable refuses it as a wrong type and keeps its value.
TEST(SnmpLayer, SetOfNullIsSentAsNullAndRefusedByATypedVariable) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  sim.ctl("127.0.0.2", {"set", kNullVar, "null"});
  qp_snmp_value null_value{};
  null_value.type = QP_ASN_NULL;

  Answer typed;
  request(sim.agent(), QP_SNMP_PDU_SET, kHighTransfer, null_value, &typed);
  ASSERT_EQ(1, typed.ok) << typed.error;
  EXPECT_EQ(3u, typed.status);
  EXPECT_EQ(1u, typed.index);
  EXPECT_EQ(kHighTransfer, oid_string(typed.binding.name));
  EXPECT_EQ(QP_ASN_NULL, typed.binding.value.type);
  EXPECT_EQ("INTEGER 108", sim.value("127.0.0.2", kHighTransfer));

  Answer untyped;
  request(sim.agent(), QP_SNMP_PDU_SET, kNullVar, null_value, &untyped);
  ASSERT_EQ(1, untyped.ok) << untyped.error;
  EXPECT_EQ(0u, untyped.status);
  EXPECT_EQ(QP_ASN_NULL, untyped.binding.value.type);
  EXPECT_EQ(std::string(".1.3.6.1.4.1.318.1.1.1.5.2.2.0 NULL badValue\n") + kNullVar + " NULL noError\n",
            sim.ctl("127.0.0.2", {"sets"}));
}

TEST(SnmpLayer, ErrorStatusAndIndexOfTheAnswerArePassedThrough) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  std::string agent = sim.agent();

  Answer unknown;
  get(agent, ".1.3.6.1.4.1.318.1.1.1.99.0", &unknown);
  ASSERT_EQ(1, unknown.ok);
  EXPECT_EQ(2u, unknown.status);
  EXPECT_EQ(1u, unknown.index);
  EXPECT_EQ(".1.3.6.1.4.1.318.1.1.1.99.0", oid_string(unknown.binding.name));

  Answer wrong_type;
  request(agent, QP_SNMP_PDU_SET, kHighTransfer, unsigned_value(QP_ASN_GAUGE, 110), &wrong_type);
  EXPECT_EQ(3u, wrong_type.status);
  EXPECT_EQ(1u, wrong_type.index);

  Answer read_only;
  request(agent, QP_SNMP_PDU_SET, kOutputStatus, integer(3), &read_only);
  EXPECT_EQ(2u, read_only.status);

  const struct {
    const char *name;
    uint32_t status;
  } kStatuses[] = {{"tooBig", 1}, {"noSuchName", 2}, {"badValue", 3}, {"readOnly", 4}, {"genErr", 5}};
  for (const auto &row : kStatuses) {
    sim.ctl("127.0.0.2", {"fault", "status", kShutoffDelay, row.name});
    Answer got, set;
    get(agent, kShutoffDelay, &got);
    request(agent, QP_SNMP_PDU_SET, kShutoffDelay, unsigned_value(QP_ASN_TIMETICKS, 100), &set);
    EXPECT_EQ(1, got.ok);
    EXPECT_EQ(row.status, got.status) << row.name;
    EXPECT_EQ(1u, got.index) << row.name;
    EXPECT_EQ(row.status, set.status) << row.name;
    EXPECT_EQ(1u, set.index) << row.name;
  }
  sim.ctl("127.0.0.2", {"fault", "clear"});
  sim.ctl("127.0.0.2", {"fault", "refuse-sets"});
  Answer refused, still_read;
  request(agent, QP_SNMP_PDU_SET, kHighTransfer, integer(110), &refused);
  get(agent, kHighTransfer, &still_read);
  EXPECT_EQ(2u, refused.status);
  EXPECT_EQ(0u, still_read.status);
  EXPECT_EQ(108, still_read.binding.value.integer);

  sim.ctl("127.0.0.2", {"fault", "clear"});
  sim.ctl("127.0.0.2", {"fault", "type", kOutputStatus, "gauge"});
  Answer mismatch;
  get(agent, kOutputStatus, &mismatch);
  EXPECT_EQ(0u, mismatch.status);
  EXPECT_EQ(0x42, mismatch.binding.value.type);
  EXPECT_EQ(2u, mismatch.binding.value.number);
}

TEST(SnmpLayer, UnansweredGetGivesUpAfterTimeoutTimesAttempts) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  sim.ctl("127.0.0.2", {"fault", "silent", "on"});

  Answer silent;
  get(sim.agent(), kOutputStatus, &silent, 200, 2);
  EXPECT_EQ(0, silent.ok);
  EXPECT_EQ(static_cast<uint32_t>(QP_SNMP_MGMTAPI_TIMEOUT), silent.error);
  EXPECT_EQ(QP_ASN_NULL, silent.binding.value.type);
  EXPECT_GE(silent.elapsed_ms, 580);
  EXPECT_LE(silent.elapsed_ms, 1000);
  std::string dump = sim.ctl("127.0.0.2", {"dump"});
  EXPECT_NE(std::string::npos, dump.find("requests 3\n")) << dump;
  EXPECT_NE(std::string::npos, dump.find("answered 0\n")) << dump;

  Answer no_retry;
  get(sim.agent(), kOutputStatus, &no_retry, 300, 0);
  EXPECT_EQ(0, no_retry.ok);
  EXPECT_GE(no_retry.elapsed_ms, 290);
  EXPECT_LE(no_retry.elapsed_ms, 600);
  EXPECT_NE(std::string::npos, sim.ctl("127.0.0.2", {"dump"}).find("requests 4\n"));

  // A card that loses the first request answers the repetition.
  sim.ctl("127.0.0.2", {"fault", "clear"});
  sim.ctl("127.0.0.2", {"fault", "drop", "1"});
  Answer retried;
  get(sim.agent(), kOutputStatus, &retried, 200, 2);
  EXPECT_EQ(1, retried.ok);
  EXPECT_EQ(2, retried.binding.value.integer);
  EXPECT_GE(retried.elapsed_ms, 190);
  EXPECT_NE(std::string::npos, sim.ctl("127.0.0.2", {"dump"}).find("requests 6\n"));
}

TEST(SnmpLayer, AnswerLaterThanTheTimeoutIsAFailure) {
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  sim.ctl("127.0.0.2", {"fault", "delay", "300"});
  Answer slow_ok;
  get(sim.agent(), kOutputStatus, &slow_ok, 1000, 0);
  EXPECT_EQ(1, slow_ok.ok);
  EXPECT_GE(slow_ok.elapsed_ms, 290);
  Answer too_slow;
  get(sim.agent(), kOutputStatus, &too_slow, 100, 1);
  EXPECT_EQ(0, too_slow.ok);
  EXPECT_EQ(static_cast<uint32_t>(QP_SNMP_MGMTAPI_TIMEOUT), too_slow.error);
}

TEST(SnmpLayer, EightThreadsRequestAtOnce) {
  qt::Simulator sim("127.0.0.2", "127.0.0.5");
  ASSERT_TRUE(sim.ready());
  constexpr int kThreads = 8, kRounds = 100;
  // Each thread writes a variable of its own, added to its card beforehand.
  for (int t = 0; t < kThreads; ++t)
    sim.ctl("127.0.0." + std::to_string(2 + t % 4),
            {"set", ".1.3.6.1.4.1.99999.2." + std::to_string(t) + ".0", "i", "0"});
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string agent = sim.agent("127.0.0." + std::to_string(2 + t % 4));
      char contact[32];
      snprintf(contact, sizeof contact, ".1.3.6.1.4.1.99999.2.%d.0", t);
      for (int i = 0; i < kRounds; ++i) {
        qp_snmp_session *session = qp_snmp_open(agent.c_str(), "public", 2000, 1);
        if (session == nullptr) {
          ++wrong;
          continue;
        }
        qp_snmp_varbind in{}, out{};
        uint32_t status = 9, index = 9;
        if (i % 2 == 0) {
          qp_snmp_oid_from_text(kOutputStatus, &in.name);
          in.value.type = QP_ASN_NULL;
          if (qp_snmp_request(session, QP_SNMP_PDU_GET, &in, &out, &status, &index) != 1 || status != 0 ||
              out.value.type != QP_ASN_INTEGER || out.value.integer != 2)
            ++wrong;
        } else {
          qp_snmp_oid_from_text(contact, &in.name);
          in.value.type = QP_ASN_INTEGER;
          in.value.integer = t * 1000 + i;
          if (qp_snmp_request(session, QP_SNMP_PDU_SET, &in, &out, &status, &index) != 1 || status != 0 ||
              out.value.integer != t * 1000 + i)
            ++wrong;
        }
        qp_snmp_value_free(&out.value);
        qp_snmp_close(session);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  for (int t = 0; t < kThreads; ++t) {
    char contact[32];
    snprintf(contact, sizeof contact, ".1.3.6.1.4.1.99999.2.%d.0", t);
    EXPECT_EQ("INTEGER " + std::to_string(t * 1000 + kRounds - 1),
              sim.value("127.0.0." + std::to_string(2 + t % 4), contact));
  }
}

// Restores an environment variable when the test ends.
class EnvGuard {
 public:
  explicit EnvGuard(const char *name) : name_(name) {
    const char *value = getenv(name);
    had_ = value != nullptr;
    if (had_) value_ = value;
  }
  ~EnvGuard() {
    if (had_)
      setenv(name_, value_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char *name_;
  bool had_ = false;
  std::string value_;
};

TEST(SnmpLayer, PortsComeFromTheEnvironmentOnlyWhenTheyAreWholePortNumbers) {
  EnvGuard agent_guard("QUORIN_SNMP_PORT"), trap_guard("QUORIN_SNMP_TRAP_PORT");
  unsetenv("QUORIN_SNMP_PORT");
  unsetenv("QUORIN_SNMP_TRAP_PORT");
  EXPECT_EQ(161, qp_snmp_agent_port());
  EXPECT_EQ(162, qp_snmp_trap_port());
  for (const char *bad : {"", " ", "0", "65536", "99999999999", "-5", "abc", "161x", "16 1", "0x10"}) {
    setenv("QUORIN_SNMP_PORT", bad, 1);
    setenv("QUORIN_SNMP_TRAP_PORT", bad, 1);
    EXPECT_EQ(161, qp_snmp_agent_port()) << "'" << bad << "'";
    EXPECT_EQ(162, qp_snmp_trap_port()) << "'" << bad << "'";
  }
  const struct {
    const char *text;
    uint16_t port;
  } kGood[] = {{"1", 1}, {"16161", 16161}, {"65535", 65535}};
  for (const auto &row : kGood) {
    setenv("QUORIN_SNMP_PORT", row.text, 1);
    setenv("QUORIN_SNMP_TRAP_PORT", row.text, 1);
    EXPECT_EQ(row.port, qp_snmp_agent_port()) << row.text;
    EXPECT_EQ(row.port, qp_snmp_trap_port()) << row.text;
  }
  // Each variable feeds its own port only.
  setenv("QUORIN_SNMP_PORT", "16170", 1);
  setenv("QUORIN_SNMP_TRAP_PORT", "16171", 1);
  EXPECT_EQ(16170, qp_snmp_agent_port());
  EXPECT_EQ(16171, qp_snmp_trap_port());
}

// upssim started with QUORIN_SNMP_PORT alone (no --port) and a session opened to the bare card
// address meet on that port.
TEST(SnmpLayer, UpssimAndASessionToTheBareAddressMeetOnQuorinSnmpPort) {
  EnvGuard guard("QUORIN_SNMP_PORT");
  qt::TempDir dir("upssim-env");
  std::string runtime = dir / "run";
  qt::make_dirs(runtime);
  std::string port = std::to_string(qt::free_udp_port("127.0.0.2"));
  qt::Child sim({qt::out_dir() + "/upssim", "--cards", "127.0.0.2"},
                {{"QUORIN_RUNTIME_DIR", runtime}, {"QUORIN_SNMP_PORT", port}});
  // The simulator says where it listens once it serves; its control socket may come first.
  const std::string listening = "on port " + port + ",";
  ASSERT_TRUE(qt::wait_until(
                  [&] {
                    return (qt::file_exists(runtime + "/upssim/127.0.0.2") &&
                            sim.output().find(listening) != std::string::npos) ||
                           !sim.running();
                  },
                  std::chrono::seconds(20)) &&
              sim.running())
      << sim.output();
  EXPECT_NE(std::string::npos, sim.output().find(listening)) << sim.output();

  setenv("QUORIN_SNMP_PORT", port.c_str(), 1);
  Answer status;
  get("127.0.0.2", kOutputStatus, &status);
  ASSERT_EQ(1, status.ok) << status.error;
  EXPECT_EQ(0u, status.status);
  EXPECT_EQ(2, status.binding.value.integer);
  sim.kill_now(SIGTERM);
  EXPECT_EQ(0, sim.wait(std::chrono::seconds(10)));
}

TEST(SnmpLayer, OidTextConversionAndOrder) {
  qp_snmp_oid a{}, b{};
  ASSERT_EQ(1, qp_snmp_oid_from_text(".1.3.6.1.4.1.318.1.1.1.4.1.1.0", &a));
  EXPECT_EQ(14u, a.length);
  EXPECT_EQ(318u, a.ids[6]);
  EXPECT_EQ(0u, a.ids[13]);
  ASSERT_EQ(1, qp_snmp_oid_from_text("1.3.6.1.4.1.318.1.1.1.4.1.1.0", &b));
  EXPECT_EQ(0, qp_snmp_oid_compare(&a, &b));
  ASSERT_EQ(1, qp_snmp_oid_from_text(".1.3.6.1.4.1.318.1.1.1.12.3.2.1.3.1", &b));
  EXPECT_EQ(16u, b.length);
  EXPECT_LT(qp_snmp_oid_compare(&a, &b), 0);
  EXPECT_GT(qp_snmp_oid_compare(&b, &a), 0);
  ASSERT_EQ(1, qp_snmp_oid_from_text(".1.3.6.1.4.1.318.1.1.1.4.1.1", &b));
  EXPECT_LT(qp_snmp_oid_compare(&b, &a), 0);  // a prefix comes first
  ASSERT_EQ(1, qp_snmp_oid_from_text(".1.3.4294967295", &b));
  EXPECT_EQ(4294967295u, b.ids[2]);
  EXPECT_EQ(".1.3.4294967295", oid_string(b));

  qp_snmp_oid untouched = a;
  for (const char *bad : {"", ".", "1", ".1.3.", ".1..3", ".1.3.x", "iso.3.6", ".1.3.4294967296", "1.3 .6"}) {
    SetLastError(0);
    EXPECT_EQ(0, qp_snmp_oid_from_text(bad, &a)) << bad;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), GetLastError()) << bad;
  }
  EXPECT_EQ(0, qp_snmp_oid_compare(&a, &untouched));
  std::string longest = ".1";
  for (int i = 1; i < 128; ++i) longest += ".7";
  EXPECT_EQ(1, qp_snmp_oid_from_text(longest.c_str(), &b));
  EXPECT_EQ(0, qp_snmp_oid_from_text((longest + ".7").c_str(), &b));

  char small[8];
  EXPECT_EQ(0u, qp_snmp_oid_to_text(&a, small, sizeof small));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(7u, strlen(small));
}

TEST(SnmpLayer, OpenAndRequestRejectBadArguments) {
  EXPECT_EQ(nullptr, qp_snmp_open("bad address!", "public", 200, 1));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(nullptr, qp_snmp_open("127.0.0.2:70000", "public", 200, 1));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(nullptr, qp_snmp_open("", "public", 200, 1));

  qp_snmp_session *session = qp_snmp_open("127.0.0.2:9", "public", 200, 0);
  ASSERT_NE(nullptr, session);
  qp_snmp_varbind in{}, out{};
  uint32_t status, index;
  qp_snmp_oid_from_text(kOutputStatus, &in.name);
  EXPECT_EQ(0, qp_snmp_request(session, 0xA1, &in, &out, &status, &index));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), GetLastError());
  in.value.type = 0x30;  // a SEQUENCE cannot be sent as a value
  EXPECT_EQ(0, qp_snmp_request(session, QP_SNMP_PDU_SET, &in, &out, &status, &index));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), GetLastError());
  in.value.type = QP_ASN_IPADDRESS;
  in.value.length = 3;
  in.value.bytes = reinterpret_cast<uint8_t *>(const_cast<char *>("abc"));
  EXPECT_EQ(0, qp_snmp_request(session, QP_SNMP_PDU_SET, &in, &out, &status, &index));
  qp_snmp_close(session);
  EXPECT_EQ(0, qp_snmp_request(nullptr, QP_SNMP_PDU_GET, &in, &out, &status, &index));
  EXPECT_EQ(static_cast<uint32_t>(QP_SNMP_MGMTAPI_INVALID_SESSION), GetLastError());
}

TEST(SnmpLayer, FaultPointsFailOpenAndRequest) {
  setenv("QUORIN_FAULTS", "snmp_open:1:1,snmp_request", 1);
  qp_snmp_session *first = qp_snmp_open("127.0.0.2:9", "public", 100, 0);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(nullptr, qp_snmp_open("127.0.0.2:9", "public", 100, 0));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_GEN_FAILURE), GetLastError());
  qp_snmp_varbind in{}, out{};
  uint32_t status, index;
  qp_snmp_oid_from_text(kOutputStatus, &in.name);
  auto start = Clock::now();
  EXPECT_EQ(0, qp_snmp_request(first, QP_SNMP_PDU_GET, &in, &out, &status, &index));
  EXPECT_EQ(static_cast<uint32_t>(QP_SNMP_MGMTAPI_TIMEOUT), GetLastError());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));  // nothing was sent
  qp_snmp_close(first);
}

// ---- traps ----

// Waits for the listener's event and takes one trap.
bool next_trap(qp_event *event, qp_snmp_trap *trap, uint32_t timeout_ms = 5000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    if (qp_snmp_get_trap(trap) == 1) return true;
    qp_event_wait(event, 100);
    qp_event_reset(event);
  }
  return qp_snmp_get_trap(trap) == 1;
}

std::string binding_text(const qp_snmp_varbind &b) {
  return std::string(reinterpret_cast<const char *>(b.value.bytes), b.value.length);
}

TEST(SnmpTraps, QueueIsEmptyWithoutAListener) {
  qp_snmp_trap trap;
  EXPECT_EQ(0, qp_snmp_get_trap(&trap));
  EXPECT_EQ(44u, GetLastError());
  EXPECT_EQ(0u, qp_snmp_trap_count());
}

TEST(SnmpTraps, ListenerReturnsSnmptrapTrapsFieldForField) {
  uint16_t port = qt::free_udp_port("0.0.0.0");
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(port).c_str(), 1);
  qp_event *event = qp_snmp_trap_listen();
  ASSERT_NE(nullptr, event) << GetLastError();
  EXPECT_EQ(event, qp_snmp_trap_listen());  // one listener per process

  std::string target = "127.0.0.1:" + std::to_string(port);
  std::string output;
  ASSERT_EQ(0, qt::run({"snmptrap",
                        "-v1",
                        "-c",
                        "public",
                        target,
                        ".1.3.6.1.4.1.318",
                        "127.0.0.7",
                        "6",
                        "7",
                        "4242",
                        kTrapArgument,
                        "s",
                        "UPS: low battery",
                        ".1.3.6.1.4.1.318.9.1.0",
                        "i",
                        "-5",
                        ".1.3.6.1.4.1.318.9.2.0",
                        "a",
                        "10.1.2.3",
                        ".1.3.6.1.4.1.318.9.3.0",
                        "t",
                        "123",
                        ".1.3.6.1.4.1.318.9.4.0",
                        "o",
                        ".1.3.6.1.4.1.318.1"},
                       {}, &output))
      << output;
  qp_snmp_trap trap;
  ASSERT_TRUE(next_trap(event, &trap));
  EXPECT_EQ(".1.3.6.1.4.1.318", oid_string(trap.enterprise));
  ASSERT_EQ(4u, trap.agent_address_length);
  EXPECT_EQ(0, memcmp(trap.agent_address, "\x7f\x00\x00\x07", 4));
  EXPECT_EQ(0, memcmp(trap.source_address, "\x7f\x00\x00\x01", 4));
  EXPECT_EQ(6, trap.generic_trap);
  EXPECT_EQ(7, trap.specific_trap);
  EXPECT_EQ(4242u, trap.time_stamp);
  EXPECT_STREQ("public", trap.community);
  ASSERT_EQ(5u, trap.varbind_count);
  EXPECT_EQ(kTrapArgument, oid_string(trap.varbinds[0].name));
  EXPECT_EQ(QP_ASN_OCTET_STRING, trap.varbinds[0].value.type);
  EXPECT_EQ("UPS: low battery", binding_text(trap.varbinds[0]));
  EXPECT_EQ(QP_ASN_INTEGER, trap.varbinds[1].value.type);
  EXPECT_EQ(-5, trap.varbinds[1].value.integer);
  EXPECT_EQ(QP_ASN_IPADDRESS, trap.varbinds[2].value.type);
  EXPECT_EQ(0, memcmp(trap.varbinds[2].value.bytes, "\x0a\x01\x02\x03", 4));
  EXPECT_EQ(QP_ASN_TIMETICKS, trap.varbinds[3].value.type);
  EXPECT_EQ(123u, trap.varbinds[3].value.number);
  EXPECT_EQ(QP_ASN_OBJECT_IDENTIFIER, trap.varbinds[4].value.type);
  EXPECT_EQ(".1.3.6.1.4.1.318.1", oid_string(trap.varbinds[4].value.oid));
  qp_snmp_trap_free(&trap);
  EXPECT_EQ(0u, trap.varbind_count);

  // A trap without bindings, then a v2c notification in the v1 form.
  ASSERT_EQ(
      0, qt::run({"snmptrap", "-v1", "-c", "public", target, ".1.3.6.1.4.1.318", "127.0.0.8", "6", "12", "1"},
                 {}, &output))
      << output;
  ASSERT_EQ(0, qt::run({"snmptrap", "-v2c", "-c", "private", target, "555", ".1.3.6.1.4.1.318.0.9",
                        kTrapArgument, "s", "restored"},
                       {}, &output))
      << output;
  ASSERT_TRUE(next_trap(event, &trap));
  EXPECT_EQ(12, trap.specific_trap);
  EXPECT_EQ(0u, trap.varbind_count);
  EXPECT_EQ(nullptr, trap.varbinds);
  qp_snmp_trap_free(&trap);
  ASSERT_TRUE(next_trap(event, &trap));
  EXPECT_EQ(".1.3.6.1.4.1.318", oid_string(trap.enterprise));
  EXPECT_EQ(6, trap.generic_trap);
  EXPECT_EQ(9, trap.specific_trap);
  EXPECT_EQ(555u, trap.time_stamp);
  EXPECT_STREQ("private", trap.community);
  EXPECT_EQ(0, memcmp(trap.agent_address, "\x7f\x00\x00\x01", 4));
  ASSERT_EQ(1u, trap.varbind_count);
  EXPECT_EQ("restored", binding_text(trap.varbinds[0]));
  qp_snmp_trap_free(&trap);

  EXPECT_EQ(0, qp_snmp_get_trap(&trap));
  EXPECT_EQ(44u, GetLastError());
}

TEST(SnmpTraps, ListenerIgnoresDatagramsThatAreNotTraps) {
  uint16_t port = qt::free_udp_port("0.0.0.0");
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(port).c_str(), 1);
  qp_event *event = qp_snmp_trap_listen();
  ASSERT_NE(nullptr, event);
  std::string target = "127.0.0.1:" + std::to_string(port);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const char garbage[] = "\x30\x82\xff\xff not a message";
  sendto(fd, garbage, sizeof garbage, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
  std::string output;
  // A GetRequest sent to the trap port is not a trap either.
  qt::run({"snmpget", "-v1", "-c", "public", "-t", "0.2", "-r", "0", target, ".1.3.6.1.2.1.1.1.0"}, {},
          &output);
  ASSERT_EQ(
      0, qt::run({"snmptrap", "-v1", "-c", "public", target, ".1.3.6.1.4.1.318", "127.0.0.9", "6", "8", "1"},
                 {}, &output));
  qp_snmp_trap trap;
  ASSERT_TRUE(next_trap(event, &trap));
  EXPECT_EQ(8, trap.specific_trap);
  qp_snmp_trap_free(&trap);
  EXPECT_EQ(0u, qp_snmp_trap_count());
}

// The agent-addr field is reported with the length it was sent with; one longer than an IPv4
// address is no well-formed trap and is dropped, and the listener goes on.
TEST(SnmpTraps, AgentAddressLengthIsTheOneSent) {
  uint16_t port = qt::free_udp_port("0.0.0.0");
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(port).c_str(), 1);
  qp_event *event = qp_snmp_trap_listen();
  ASSERT_NE(nullptr, event);
  const std::vector<uint32_t> enterprise = {1, 3, 6, 1, 4, 1, 318};
  const std::vector<std::string> binding = {
      qt::BerBinding({1, 3, 6, 1, 4, 1, 318, 2, 3, 3, 0}, qt::BerElement(0x04, "x"))};
  struct Case {
    std::string address;
    int specific;
    bool delivered;
  };
  const Case cases[] = {{"", 21, true},
                        {std::string("\x7f\x00\x00", 3), 22, true},
                        {std::string("\x7f\x00\x00\x05\x00\x01", 6), 23, false},
                        {std::string("\x7f\x00\x00\x05\x00", 5), 24, false},
                        {std::string("\x7f\x00\x00\x06", 4), 25, true}};
  for (const Case &c : cases)
    ASSERT_TRUE(qt::SendUdp(port, qt::RawV1Trap("public", enterprise, c.address, 6, c.specific, binding)));
  for (const Case &c : cases) {
    if (!c.delivered) continue;
    qp_snmp_trap trap;
    ASSERT_TRUE(next_trap(event, &trap)) << c.specific;
    EXPECT_EQ(c.specific, trap.specific_trap);
    EXPECT_EQ(c.address.size(), trap.agent_address_length) << c.specific;
    EXPECT_EQ(0, memcmp(trap.agent_address, c.address.data(), c.address.size())) << c.specific;
    EXPECT_EQ(1u, trap.varbind_count);
    qp_snmp_trap_free(&trap);
  }
  EXPECT_EQ(0u, qp_snmp_trap_count());
}

TEST(SnmpTraps, ListenFailsWith42WhenThePortIsTaken) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof a;
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a));
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length));
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(ntohs(a.sin_port)).c_str(), 1);
  EXPECT_EQ(nullptr, qp_snmp_trap_listen());
  EXPECT_EQ(42u, GetLastError());
  close(fd);
}

TEST(SnmpTraps, BurstOfTenThousandTrapsArrivesInFullAndInOrder) {
  uint16_t port = qt::free_udp_port("0.0.0.0");
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(port).c_str(), 1);
  qp_event *event = qp_snmp_trap_listen();
  ASSERT_NE(nullptr, event);
  qt::Simulator sim("127.0.0.2", "", {"--trap-to", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(sim.ready());
  constexpr int kBurst = 10000;
  int status = -1;
  std::string sent = sim.ctl("127.0.0.2", {"trap", "7", "--count", std::to_string(kBurst)}, &status);
  ASSERT_EQ(0, status) << sent;
  EXPECT_EQ("sent 10000\n", sent);

  int received = 0, out_of_order = 0;
  qp_snmp_trap trap;
  while (received < kBurst && next_trap(event, &trap, 5000)) {
    ++received;
    std::string expected = "upssim trap 7 #" + std::to_string(received);
    if (trap.varbind_count != 1 || binding_text(trap.varbinds[0]) != expected || trap.specific_trap != 7 ||
        memcmp(trap.agent_address, "\x7f\x00\x00\x02", 4) != 0)
      ++out_of_order;
    qp_snmp_trap_free(&trap);
  }
  EXPECT_EQ(kBurst, received);
  EXPECT_EQ(0, out_of_order);
  EXPECT_EQ(0, qp_snmp_get_trap(&trap));
}

// The listener decodes a burst of traps while eight threads run GETs and SETs through sessions
// of their own: both sides use the SNMP library at the same time, and neither may lose, reorder
// or garble anything.
TEST(SnmpTraps, BurstArrivesInOrderWhileEightThreadsRequest) {
  uint16_t port = qt::free_udp_port("0.0.0.0");
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(port).c_str(), 1);
  qp_event *event = qp_snmp_trap_listen();
  ASSERT_NE(nullptr, event);
  // One process serves the cards that answer requests, another only sends the burst, so that
  // the answers keep coming while the traps do.
  qt::Simulator cards("127.0.0.2", "127.0.0.5");
  qt::Simulator source("127.0.0.6", "", {"--trap-to", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(cards.ready());
  ASSERT_TRUE(source.ready());
  constexpr int kThreads = 8, kBurst = 8000, kMinRounds = 40, kMaxRounds = 100000;
  for (int t = 0; t < kThreads; ++t)
    cards.ctl("127.0.0." + std::to_string(2 + t % 4),
              {"set", ".1.3.6.1.4.1.99999.3." + std::to_string(t) + ".0", "i", "0"});

  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, started{0};
  std::vector<int> last_written(kThreads, -1);
  std::vector<int> rounds(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string agent = cards.agent("127.0.0." + std::to_string(2 + t % 4));
      char own[40];
      snprintf(own, sizeof own, ".1.3.6.1.4.1.99999.3.%d.0", t);
      int i = 0;
      for (; i < kMaxRounds && (i < kMinRounds || !stop.load()); ++i) {
        qp_snmp_session *session = qp_snmp_open(agent.c_str(), "public", 3000, 2);
        if (session == nullptr) {
          ++wrong;
          continue;
        }
        qp_snmp_varbind in{}, out{};
        uint32_t status = 9, index = 9;
        bool ok;
        if (i % 2 == 0) {
          // Alternate reads of a number and of a text, so both kinds of value are decoded.
          bool text = i % 4 == 0;
          qp_snmp_oid_from_text(text ? kModel : kOutputStatus, &in.name);
          in.value.type = QP_ASN_NULL;
          ok = qp_snmp_request(session, QP_SNMP_PDU_GET, &in, &out, &status, &index) == 1 && status == 0;
          if (text)
            ok = ok && out.value.type == QP_ASN_OCTET_STRING &&
                 std::string(reinterpret_cast<char *>(out.value.bytes), out.value.length) == "QSIM UPS 1500";
          else
            ok = ok && out.value.type == QP_ASN_INTEGER && out.value.integer == 2;
        } else {
          qp_snmp_oid_from_text(own, &in.name);
          in.value.type = QP_ASN_INTEGER;
          in.value.integer = t * 1000000 + i;
          ok = qp_snmp_request(session, QP_SNMP_PDU_SET, &in, &out, &status, &index) == 1 && status == 0 &&
               out.value.type == QP_ASN_INTEGER && out.value.integer == t * 1000000 + i &&
               oid_string(out.name) == own;
          if (ok) last_written[t] = t * 1000000 + i;
        }
        if (!ok) ++wrong;
        qp_snmp_value_free(&out.value);
        qp_snmp_close(session);
        if (i == 1) ++started;
      }
      rounds[t] = i;
    });
  }

  // The burst starts once every thread is under way, and the threads go on until it is all in.
  EXPECT_TRUE(qt::wait_until([&] { return started.load() == kThreads; }, std::chrono::seconds(60)));
  std::string sent;
  int sent_status = -1;
  std::thread burst([&] {
    sent = source.ctl("127.0.0.6", {"trap", "7", "--count", std::to_string(kBurst)}, &sent_status);
  });
  int received = 0, bad = 0;
  std::string first_bad;
  qp_snmp_trap trap;
  while (received < kBurst && next_trap(event, &trap, 20000)) {
    ++received;
    std::string expected = "upssim trap 7 #" + std::to_string(received);
    if (trap.varbind_count != 1 || binding_text(trap.varbinds[0]) != expected || trap.specific_trap != 7 ||
        trap.generic_trap != 6 || memcmp(trap.agent_address, "\x7f\x00\x00\x06", 4) != 0 ||
        oid_string(trap.enterprise) != ".1.3.6.1.4.1.318") {
      if (bad++ == 0)
        first_bad = "trap " + std::to_string(received) + ": " +
                    (trap.varbind_count > 0 ? binding_text(trap.varbinds[0]) : "(no binding)");
    }
    qp_snmp_trap_free(&trap);
  }
  stop.store(true);
  burst.join();
  for (auto &thread : threads) thread.join();

  EXPECT_EQ(0, sent_status) << sent;
  EXPECT_EQ("sent " + std::to_string(kBurst) + "\n", sent);
  EXPECT_EQ(kBurst, received);
  EXPECT_EQ(0, bad) << first_bad;
  EXPECT_EQ(0, qp_snmp_get_trap(&trap));
  EXPECT_EQ(0, wrong.load());
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_GE(rounds[t], kMinRounds) << t;
    char own[40];
    snprintf(own, sizeof own, ".1.3.6.1.4.1.99999.3.%d.0", t);
    EXPECT_EQ("INTEGER " + std::to_string(last_written[t]),
              cards.value("127.0.0." + std::to_string(2 + t % 4), own));
  }
}

// The layer in a process of its own: nothing on standard error, nothing under HOME.
TEST(SnmpLayer, LibraryIsQuietAndWritesNothing) {
  qt::TempDir home("home");
  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  uint16_t trap_port = qt::free_udp_port("0.0.0.0");
  std::string output;
  int status =
      qt::run({qt::test_bin_dir() + "/snmp_quiet_probe", sim.agent(), "127.0.0.2:9"},
              {{"HOME", home.path()}, {"QUORIN_SNMP_TRAP_PORT", std::to_string(trap_port)}}, &output);
  EXPECT_EQ(0, status) << output;
  EXPECT_EQ("get 2\nsilent 40\ntrap 6 1\ntraps 44\n", output);
  std::string listing;
  qt::run({"find", home.path(), "-mindepth", "1"}, {}, &listing);
  EXPECT_EQ("", listing);
}

// Every MIB variable of net-snmp points at a FIFO: a library that opened a MIB file would block
// on it. The probe must run through as usual.
TEST(SnmpLayer, LibraryReadsNoMibFilesWhateverTheEnvironmentAsks) {
  qt::TempDir mibs("mibs");
  std::string fifo = mibs / "X-MIB.txt";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::map<std::string, std::string> env = {
      {"MIBS", "ALL"}, {"MIBDIRS", mibs.path()}, {"MIBFILES", fifo}, {"SNMPCONFPATH", mibs.path()}};
  // The trap is real: net-snmp's own tool, told to load every MIB, hangs on the FIFO.
  std::string output;
  EXPECT_EQ(-1, qt::run({"snmptranslate", "-m", "ALL", "-M", mibs.path(), ".1.3.6.1"}, env, &output,
                        std::chrono::seconds(2)))
      << output;

  qt::Simulator sim;
  ASSERT_TRUE(sim.ready());
  env["QUORIN_SNMP_TRAP_PORT"] = std::to_string(qt::free_udp_port("0.0.0.0"));
  auto start = Clock::now();
  int status = qt::run({qt::test_bin_dir() + "/snmp_quiet_probe", sim.agent(), "127.0.0.2:9"}, env, &output,
                       std::chrono::seconds(60));
  EXPECT_EQ(0, status) << output;
  EXPECT_EQ("get 2\nsilent 40\ntrap 6 1\ntraps 44\n", output);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
