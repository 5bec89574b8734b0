// Fuzzes the trap decoding of the SNMP layer through its own listener: every input is sent as
// one UDP datagram to the trap port of this process, followed by a well-formed v1 trap that
// marks the end of the round, and every trap the listener queued before that mark is checked
// and released.
//
// Properties: the listener survives any datagram and keeps its order; a decoded trap comes from
// this process's address, has a terminated community, identifiers within their bound and
// values whose bytes match their lengths.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "quorin/platform.h"

namespace {

int g_socket = -1;
sockaddr_in g_trap_port{};
qp_event *g_trap_event = nullptr;
uint32_t g_round = 0;

// A v1 trap (community "qf-mark", enterprise .1.3.6.1.4.1.318, agent 127.0.0.1, generic 6,
// specific 32767) whose time stamp, the last four bytes, carries the round number.
const uint8_t kMark[] = {0x30, 0x2c, 0x02, 0x01, 0x00, 0x04, 0x07, 'q',  'f',  '-',  'm',  'a',
                         'r',  'k',  0xa4, 0x1e, 0x06, 0x07, 0x2b, 0x06, 0x01, 0x04, 0x01, 0x82,
                         0x3e, 0x40, 0x04, 0x7f, 0x00, 0x00, 0x01, 0x02, 0x01, 0x06, 0x02, 0x02,
                         0x7f, 0xff, 0x43, 0x04, 0x00, 0x00, 0x00, 0x00, 0x30, 0x00};

bool IsMark(const qp_snmp_trap &trap, uint32_t round) {
  return strcmp(trap.community, "qf-mark") == 0 && trap.specific_trap == 32767 && trap.time_stamp == round;
}

void CheckValue(const qp_snmp_value &value) {
  switch (value.type) {
    case QP_ASN_OCTET_STRING:
    case QP_ASN_OPAQUE:
    case QP_ASN_IPADDRESS:
      QF_CHECK(value.length == 0 || value.bytes != nullptr, "a value of %u bytes without bytes",
               value.length);
      if (value.length > 0) {
        // Touch every byte: a length beyond what was allocated is caught here.
        unsigned sum = 0;
        for (uint32_t i = 0; i < value.length; ++i) sum += value.bytes[i];
        (void)sum;
      }
      if (value.type == QP_ASN_IPADDRESS)
        QF_CHECK(value.length <= 4, "an IpAddress of %u bytes", value.length);
      break;
    case QP_ASN_OBJECT_IDENTIFIER:
      QF_CHECK(value.oid.length <= QP_SNMP_MAX_OID_LENGTH, "an OID value of %u sub-identifiers",
               value.oid.length);
      break;
    default:
      QF_CHECK(value.bytes == nullptr || value.length > 0, "a value of type 0x%02x with stray bytes",
               value.type);
      break;
  }
}

void CheckTrap(const qp_snmp_trap &trap) {
  QF_CHECK(memchr(trap.community, '\0', sizeof trap.community) != nullptr, "the community is not terminated");
  QF_CHECK(trap.enterprise.length <= QP_SNMP_MAX_OID_LENGTH, "an enterprise of %u sub-identifiers",
           trap.enterprise.length);
  QF_CHECK(trap.agent_address_length <= sizeof trap.agent_address, "an agent address of %u bytes",
           trap.agent_address_length);
  static const uint8_t kLoopback[4] = {127, 0, 0, 1};
  QF_CHECK(memcmp(trap.source_address, kLoopback, 4) == 0, "a trap from another sender");
  QF_CHECK(trap.varbind_count == 0 || trap.varbinds != nullptr, "%u bindings without storage",
           trap.varbind_count);
  char text[QP_SNMP_MAX_OID_LENGTH * 11 + 2];
  qp_snmp_oid_to_text(&trap.enterprise, text, sizeof text);
  for (uint32_t i = 0; i < trap.varbind_count; ++i) {
    QF_CHECK(trap.varbinds[i].name.length <= QP_SNMP_MAX_OID_LENGTH, "a binding name of %u sub-identifiers",
             trap.varbinds[i].name.length);
    CheckValue(trap.varbinds[i].value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // A trap port that is free now; the listener binds it on every address.
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof any;
  if (probe < 0 || bind(probe, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr *>(&any), &length) != 0)
    qf::fail("no free UDP port");
  close(probe);
  setenv("QUORIN_SNMP_TRAP_PORT", std::to_string(ntohs(any.sin_port)).c_str(), 1);
  g_trap_event = qp_snmp_trap_listen();
  if (g_trap_event == nullptr) qf::fail("the trap listener did not open (%u)", GetLastError());

  g_trap_port.sin_family = AF_INET;
  g_trap_port.sin_port = any.sin_port;
  g_trap_port.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  g_socket = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (g_socket < 0 || bind(g_socket, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
    qf::fail("no sending socket");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A datagram larger than UDP carries cannot be sent; the listener reads up to 65536 bytes.
  if (size > 65507) return 0;
  ++g_round;
  uint8_t mark[sizeof kMark];
  memcpy(mark, kMark, sizeof mark);
  for (int i = 0; i < 4; ++i) mark[sizeof mark - 3 - i] = static_cast<uint8_t>(g_round >> (8 * i));
  qp_event_reset(g_trap_event);
  QF_CHECK(sendto(g_socket, data, size, 0, reinterpret_cast<sockaddr *>(&g_trap_port), sizeof g_trap_port) ==
               static_cast<ssize_t>(size),
           "the datagram was not sent");
  QF_CHECK(sendto(g_socket, mark, sizeof mark, 0, reinterpret_cast<sockaddr *>(&g_trap_port),
                  sizeof g_trap_port) == static_cast<ssize_t>(sizeof mark),
           "the mark was not sent");

  // Every trap before the mark came from the input: at most one.
  int decoded = 0;
  while (true) {
    qp_snmp_trap trap;
    if (!qp_snmp_get_trap(&trap)) {
      QF_CHECK(qp_event_wait(g_trap_event, 10000) == QP_WAIT_OBJECT_0, "the listener went silent");
      qp_event_reset(g_trap_event);
      continue;
    }
    bool mark_seen = IsMark(trap, g_round);
    if (!mark_seen) {
      CheckTrap(trap);
      ++decoded;
    }
    qp_snmp_trap_free(&trap);
    if (mark_seen) break;
  }
  QF_CHECK(decoded <= 1, "one datagram gave %d traps", decoded);
  return 0;
}
