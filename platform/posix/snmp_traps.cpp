// The SNMP trap listener: a UDP socket on the trap port, drained by a thread of its own into an
// unbounded queue that qp_snmp_get_trap takes from.
//
// Sections: process-wide state, decoding, the listener thread, the public calls.
//
// Process-wide state: g_listener is created once, under g_create_lock, and lives until the
// process ends (its thread never stops, so it is never destroyed). Its queue is guarded by its
// own mutex; the listener thread pushes, any caller pops.
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "quorin/qp_error.h"
#include "snmp_internal.h"

namespace {

// ---- process-wide state ----

struct TrapListener {
  int socket_fd = -1;
  qp_event *event = nullptr;
  std::mutex queue_lock;
  std::deque<qp_snmp_trap> queue;  // guarded by queue_lock
};

std::mutex g_create_lock;
std::atomic<TrapListener *> g_listener{nullptr};

// Receive buffer asked for the trap socket: room for a burst of ten thousand traps.
constexpr int kReceiveBuffer = 32 * 1024 * 1024;

// ---- decoding ----

// Identifiers that a v2c notification carries in its first two bindings, and the ones of the
// standard traps and the trap address (the SNMPv2 MIB and the community MIB).
const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const oid kSnmpTrapEnterprise[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const oid kSnmpTraps[] = {1, 3, 6, 1, 6, 3, 1, 1, 5};
const oid kSnmpTrapAddress[] = {1, 3, 6, 1, 6, 3, 18, 1, 3, 0};

bool same_oid(const oid *a, size_t a_length, const oid *b, size_t b_length) {
  return a_length == b_length && snmp_oid_compare(a, a_length, b, b_length) == 0;
}

#define QP_OID_ARGS(array) array, sizeof(array) / sizeof(array[0])

void free_varbinds(qp_snmp_varbind *varbinds, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) qp_snmp_value_free(&varbinds[i].value);
  free(varbinds);
}

// Copies the bindings of VARS into TRAP, leaving out those SKIP says.
template <typename Skip>
bool copy_varbinds(const netsnmp_variable_list *vars, qp_snmp_trap *trap, Skip skip) {
  uint32_t count = 0;
  for (const netsnmp_variable_list *v = vars; v != nullptr; v = v->next_variable)
    if (!skip(v)) ++count;
  trap->varbind_count = 0;
  trap->varbinds = nullptr;
  if (count == 0) return true;
  auto *bindings = static_cast<qp_snmp_varbind *>(calloc(count, sizeof(qp_snmp_varbind)));
  if (bindings == nullptr) return false;
  uint32_t used = 0;
  for (const netsnmp_variable_list *v = vars; v != nullptr; v = v->next_variable) {
    if (skip(v)) continue;
    if (!qp_snmp_varbind_from_native(v, &bindings[used])) {
      free_varbinds(bindings, used);
      return false;
    }
    ++used;
  }
  trap->varbinds = bindings;
  trap->varbind_count = used;
  return true;
}

// Gives a v2c notification the v1 form: the standard traps become generic 0 to 5, every other
// notification generic 6 with its last sub-identifier as the specific number and the rest
// (less a trailing 0) as the enterprise.
bool decode_v2_notification(const netsnmp_pdu *pdu, const sockaddr_in &from, qp_snmp_trap *trap) {
  const netsnmp_variable_list *uptime = pdu->variables;
  const netsnmp_variable_list *trap_oid = uptime != nullptr ? uptime->next_variable : nullptr;
  if (uptime == nullptr || trap_oid == nullptr ||
      !same_oid(uptime->name, uptime->name_length, QP_OID_ARGS(kSysUpTime)) ||
      !same_oid(trap_oid->name, trap_oid->name_length, QP_OID_ARGS(kSnmpTrapOid)) ||
      trap_oid->type != ASN_OBJECT_ID || uptime->type != ASN_TIMETICKS)
    return false;
  trap->time_stamp = static_cast<uint32_t>(*uptime->val.integer);
  const oid *ids = trap_oid->val.objid;
  size_t length = trap_oid->val_len / sizeof(oid);
  if (length < 2) return false;

  size_t standard_length = sizeof kSnmpTraps / sizeof kSnmpTraps[0];
  bool standard = length == standard_length + 1 &&
                  snmp_oid_compare(ids, standard_length, QP_OID_ARGS(kSnmpTraps)) == 0 &&
                  ids[standard_length] >= 1 && ids[standard_length] <= 6;
  if (standard) {
    trap->generic_trap = static_cast<int32_t>(ids[standard_length] - 1);
    trap->specific_trap = 0;
    qp_snmp_oid_from_native(QP_OID_ARGS(kSnmpTraps), &trap->enterprise);
    for (const netsnmp_variable_list *v = trap_oid->next_variable; v != nullptr; v = v->next_variable)
      if (v->type == ASN_OBJECT_ID && same_oid(v->name, v->name_length, QP_OID_ARGS(kSnmpTrapEnterprise)))
        qp_snmp_oid_from_native(v->val.objid, v->val_len / sizeof(oid), &trap->enterprise);
  } else {
    trap->generic_trap = 6;
    trap->specific_trap = static_cast<int32_t>(ids[length - 1]);
    size_t enterprise_length = length - 1;
    if (enterprise_length > 1 && ids[enterprise_length - 1] == 0) --enterprise_length;
    qp_snmp_oid_from_native(ids, enterprise_length, &trap->enterprise);
  }

  memcpy(trap->agent_address, &from.sin_addr.s_addr, 4);
  trap->agent_address_length = 4;
  for (const netsnmp_variable_list *v = trap_oid->next_variable; v != nullptr; v = v->next_variable)
    if (v->type == ASN_IPADDRESS && v->val_len == 4 &&
        same_oid(v->name, v->name_length, QP_OID_ARGS(kSnmpTrapAddress)))
      memcpy(trap->agent_address, v->val.string, 4);

  return copy_varbinds(trap_oid->next_variable, trap, [](const netsnmp_variable_list *) { return false; });
}

// The length of the agent-addr field of a v1 trap as sent, which the SNMP library's parse does
// not keep (it accepts from 0 to 4 bytes and leaves the rest of its 4-byte field zero). The
// message is walked again with the library's own BER parsers; 4 when that walk fails.
uint32_t v1_agent_address_length(uint8_t *data, size_t length) {
  size_t left = length;
  u_char type = 0;
  u_char *p = asn_parse_sequence(data, &left, &type, ASN_SEQUENCE | ASN_CONSTRUCTOR, "message");
  long version = 0;
  if (p != nullptr) p = asn_parse_int(p, &left, &type, &version, sizeof version);
  std::vector<u_char> community(left > 0 ? left : 1);
  size_t community_length = community.size();
  if (p != nullptr) p = asn_parse_string(p, &left, &type, community.data(), &community_length);
  if (p != nullptr) p = asn_parse_header(p, &left, &type);  // the Trap-PDU
  oid enterprise[MAX_OID_LEN];
  size_t enterprise_length = MAX_OID_LEN;
  if (p != nullptr) p = asn_parse_objid(p, &left, &type, enterprise, &enterprise_length);
  size_t address_length = left;
  if (p != nullptr) p = asn_parse_header(p, &address_length, &type);
  if (p == nullptr || address_length > 4) return 4;
  return static_cast<uint32_t>(address_length);
}

// Decodes one datagram into TRAP. False for anything that is not a well-formed v1 trap or v2c
// notification (requests, informs, garbage), which the listener drops.
bool decode_datagram(netsnmp_session *session, uint8_t *data, size_t length, const sockaddr_in &from,
                     qp_snmp_trap *trap) {
  memset(trap, 0, sizeof *trap);
  auto *pdu = static_cast<netsnmp_pdu *>(calloc(1, sizeof(netsnmp_pdu)));
  if (pdu == nullptr) return false;
  bool ok = false;
  if (snmp_parse(nullptr, session, pdu, data, length) == 0) {
    memcpy(trap->source_address, &from.sin_addr.s_addr, 4);
    trap->source_port = ntohs(from.sin_port);
    size_t community_length =
        pdu->community_len < sizeof trap->community - 1 ? pdu->community_len : sizeof trap->community - 1;
    if (pdu->community != nullptr && community_length > 0)
      memcpy(trap->community, pdu->community, community_length);
    if (pdu->command == SNMP_MSG_TRAP) {
      qp_snmp_oid_from_native(pdu->enterprise, pdu->enterprise_length, &trap->enterprise);
      memcpy(trap->agent_address, pdu->agent_addr, 4);
      trap->agent_address_length = v1_agent_address_length(data, length);
      trap->generic_trap = static_cast<int32_t>(pdu->trap_type);
      trap->specific_trap = static_cast<int32_t>(pdu->specific_type);
      trap->time_stamp = static_cast<uint32_t>(pdu->time);
      ok = copy_varbinds(pdu->variables, trap, [](const netsnmp_variable_list *) { return false; });
    } else if (pdu->command == SNMP_MSG_TRAP2) {
      ok = decode_v2_notification(pdu, from, trap);
    }
  }
  snmp_free_pdu(pdu);
  if (!ok) memset(trap, 0, sizeof *trap);
  return ok;
}

// ---- the listener thread ----

void listener_main(TrapListener *listener) {
  netsnmp_session session;
  snmp_sess_init(&session);  // accepts v1 and v2c: the version is left to the datagram
  std::vector<uint8_t> buffer(65536);
  while (true) {
    sockaddr_in from;
    socklen_t from_length = sizeof from;
    ssize_t received = recvfrom(listener->socket_fd, buffer.data(), buffer.size(), 0,
                                reinterpret_cast<sockaddr *>(&from), &from_length);
    if (received < 0) {
      if (errno != EINTR) usleep(10000);  // a persistent error must not spin
      continue;
    }
    if (from_length < sizeof from || from.sin_family != AF_INET) continue;
    qp_snmp_trap trap;
    if (!decode_datagram(&session, buffer.data(), static_cast<size_t>(received), from, &trap)) continue;
    {
      std::lock_guard<std::mutex> hold(listener->queue_lock);
      listener->queue.push_back(trap);
    }
    qp_event_set(listener->event);
  }
}

}  // namespace

// ---- the public calls ----

qp_event *qp_snmp_trap_listen(void) {
  std::lock_guard<std::mutex> hold(g_create_lock);
  TrapListener *existing = g_listener.load();
  if (existing != nullptr) return existing->event;
  qp_snmp_library_init();

  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  // A privileged process may pass the system's limit; any other gets what the limit allows.
  int size = kReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(qp_snmp_trap_port());
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    SetLastError(QP_SNMP_MGMTAPI_TRAP_ERRORS);
    return nullptr;
  }
  qp_event *event = qp_event_create(1, 0);
  if (event == nullptr) {
    uint32_t error = GetLastError();
    close(fd);
    SetLastError(error);
    return nullptr;
  }
  auto *listener = new (std::nothrow) TrapListener;
  if (listener == nullptr) {
    qp_event_close(event);
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  listener->socket_fd = fd;
  listener->event = event;
  try {
    std::thread(listener_main, listener).detach();
  } catch (...) {
    delete listener;
    qp_event_close(event);
    close(fd);
    SetLastError(QP_SNMP_MGMTAPI_TRAP_ERRORS);
    return nullptr;
  }
  g_listener.store(listener);
  return event;
}

int qp_snmp_get_trap(qp_snmp_trap *trap) {
  if (trap == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TrapListener *listener = g_listener.load();
  if (listener != nullptr) {
    std::lock_guard<std::mutex> hold(listener->queue_lock);
    if (!listener->queue.empty()) {
      *trap = listener->queue.front();
      listener->queue.pop_front();
      return 1;
    }
  }
  memset(trap, 0, sizeof *trap);
  SetLastError(QP_SNMP_MGMTAPI_NOTRAPS);
  return 0;
}

uint32_t qp_snmp_trap_count(void) {
  TrapListener *listener = g_listener.load();
  if (listener == nullptr) return 0;
  std::lock_guard<std::mutex> hold(listener->queue_lock);
  return static_cast<uint32_t>(listener->queue.size());
}

void qp_snmp_trap_free(qp_snmp_trap *trap) {
  if (trap == nullptr) return;
  free_varbinds(trap->varbinds, trap->varbind_count);
  memset(trap, 0, sizeof *trap);
}
