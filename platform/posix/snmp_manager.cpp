// SNMP manager sessions over net-snmp's single-session API: open, one-binding GET or SET,
// close; OID texts; and the quiet set-up of the SNMP library.
//
// Sections: library set-up, ports, values and identifiers, agents and bindings, idle
// sessions, sessions and requests.
//
// Thread use: every session is its own net-snmp session with its own socket, so requests on
// different sessions run in parallel. Opening and closing go through g_session_lock, because
// they touch the library's process-wide transport tables.
//
// Idle sessions. Opening a net-snmp session (a socket, its transport, the session's tables)
// costs more than the request it carries, so a closed session is kept idle and handed to the
// next open of the same agent, community, time-out and retry count; what a session costs
// stays out of the requests that follow. Reuse changes nothing a request sees: a session is
// used by one caller at a time, its time-out and retries are part of what it is matched by,
// every request is sent with a new request id, and an answer is taken only when its request
// id is that of the request waiting; a late answer to an earlier request on the same socket
// is read and dropped. A session whose request failed for another reason than a time-out is
// closed, not kept. Idle sessions are closed after kIdleLifetimeMs without use, beyond
// kMaxIdlePerKey for one key and beyond kMaxIdleSessions (the oldest first). Their sockets are
// closed on exec.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "quorin/qp_error.h"
#include "quorin/qp_runtime.h"
#include "quorin/qp_time.h"
#include "snmp_internal.h"

namespace {

constexpr size_t kPeerSize = 300;
// Communities up to this length are kept idle; a longer one is opened for each request.
constexpr size_t kKeptCommunitySize = 256;
constexpr size_t kMaxIdleSessions = 260;  // two for each unit of the SNMP UPS library's table
constexpr size_t kMaxIdlePerKey = 2;
constexpr uint64_t kIdleLifetimeMs = 60000;

}  // namespace

struct qp_snmp_session {
  void *handle;  // net-snmp single session
  // What the session is matched by when it is handed out again.
  uint64_t key_hash;  // 0: not kept when closed
  char peer[kPeerSize];
  char community[kKeptCommunitySize];
  uint32_t timeout_ms;
  uint32_t retries;
  bool broken;             // a request failed in a way that leaves the session unusable
  uint64_t idle_since_ms;  // while idle
};

namespace {

std::mutex g_session_lock;

// ---- library set-up ----

void library_setup() {
  // No configuration files, no MIB files, no host files, nothing written to the persistent
  // directory: init_snmp is never called, and these switches keep the pieces that are used
  // from looking for any of it.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_TOKEN_WARNINGS, 1);
  // Without a handler the library prints its messages on standard error; this one drops them.
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  // The first session initialisation sets up transports and request ids.
  netsnmp_session probe;
  snmp_sess_init(&probe);
}

}  // namespace

void qp_snmp_library_init() {
  static std::once_flag once;
  std::call_once(once, library_setup);
}

// ---- ports ----

uint16_t qp_snmp_port_from_env(const char *name, uint16_t fallback) {
  const char *text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 65535) return fallback;
  return static_cast<uint16_t>(value);
}

uint16_t qp_snmp_agent_port(void) {
  return qp_snmp_port_from_env("QUORIN_SNMP_PORT", 161);
}

uint16_t qp_snmp_trap_port(void) {
  return qp_snmp_port_from_env("QUORIN_SNMP_TRAP_PORT", 162);
}

// ---- values and identifiers ----

void qp_snmp_oid_from_native(const oid *ids, size_t length, qp_snmp_oid *out) {
  if (length > QP_SNMP_MAX_OID_LENGTH) length = QP_SNMP_MAX_OID_LENGTH;
  out->length = static_cast<uint32_t>(length);
  for (size_t i = 0; i < length; ++i) out->ids[i] = static_cast<uint32_t>(ids[i]);
}

bool qp_snmp_varbind_from_native(const netsnmp_variable_list *var, qp_snmp_varbind *out) {
  memset(out, 0, sizeof *out);
  out->value.type = QP_ASN_NULL;
  qp_snmp_oid_from_native(var->name, var->name_length, &out->name);
  qp_snmp_value &value = out->value;
  switch (var->type) {
    case ASN_INTEGER:
      value.integer = static_cast<int32_t>(*var->val.integer);
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      value.number = static_cast<uint32_t>(*var->val.integer);
      break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS: {
      // One byte more than the value, zeroed, so that a text can be used as it is.
      value.bytes = static_cast<uint8_t *>(calloc(var->val_len + 1, 1));
      if (value.bytes == nullptr) return false;
      if (var->val_len > 0) memcpy(value.bytes, var->val.string, var->val_len);
      value.length = static_cast<uint32_t>(var->val_len);
      break;
    }
    case ASN_OBJECT_ID:
      qp_snmp_oid_from_native(var->val.objid, var->val_len / sizeof(oid), &value.oid);
      break;
    default:
      break;  // NULL, and types SNMPv1 does not have: the type alone is reported
  }
  value.type = var->type;
  return true;
}

int qp_snmp_oid_from_text(const char *text, qp_snmp_oid *out) {
  if (text == nullptr || out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  qp_snmp_oid parsed;
  parsed.length = 0;
  const char *p = text;
  if (*p == '.') ++p;
  while (true) {
    if (*p < '0' || *p > '9') {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    uint64_t number = 0;
    while (*p >= '0' && *p <= '9') {
      number = number * 10 + static_cast<uint64_t>(*p - '0');
      if (number > 0xFFFFFFFFull) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      ++p;
    }
    if (parsed.length == QP_SNMP_MAX_OID_LENGTH) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    parsed.ids[parsed.length++] = static_cast<uint32_t>(number);
    if (*p == '\0') break;
    if (*p != '.') {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    ++p;
  }
  if (parsed.length < 2) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  out->length = parsed.length;
  memcpy(out->ids, parsed.ids, parsed.length * sizeof parsed.ids[0]);
  return 1;
}

uint32_t qp_snmp_oid_to_text(const qp_snmp_oid *oid_value, char *out, size_t size) {
  if (out == nullptr || size == 0 || oid_value == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t used = 0;
  out[0] = '\0';
  uint32_t length = oid_value->length > QP_SNMP_MAX_OID_LENGTH ? QP_SNMP_MAX_OID_LENGTH : oid_value->length;
  for (uint32_t i = 0; i < length; ++i) {
    int n = snprintf(out + used, size - used, ".%u", oid_value->ids[i]);
    if (n < 0 || static_cast<size_t>(n) >= size - used) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    used += static_cast<size_t>(n);
  }
  return static_cast<uint32_t>(used);
}

int qp_snmp_oid_compare(const qp_snmp_oid *a, const qp_snmp_oid *b) {
  uint32_t common = a->length < b->length ? a->length : b->length;
  if (common > QP_SNMP_MAX_OID_LENGTH) common = QP_SNMP_MAX_OID_LENGTH;
  for (uint32_t i = 0; i < common; ++i) {
    if (a->ids[i] != b->ids[i]) return a->ids[i] < b->ids[i] ? -1 : 1;
  }
  if (a->length == b->length) return 0;
  return a->length < b->length ? -1 : 1;
}

void qp_snmp_value_free(qp_snmp_value *value) {
  if (value == nullptr) return;
  free(value->bytes);
  memset(value, 0, sizeof *value);
  value->type = QP_ASN_NULL;
}

// ---- agents and bindings ----

namespace {

// Splits AGENT into host and port ("10.0.0.5", "10.0.0.5:1161", "card-1"). False when the
// text is empty, too long, holds characters no host name has, or names a bad port.
bool split_agent(const char *agent, char *host, size_t host_size, uint16_t *port) {
  size_t length = strlen(agent);
  if (length == 0 || length >= host_size) return false;
  const char *colon = strrchr(agent, ':');
  size_t host_length = colon != nullptr ? static_cast<size_t>(colon - agent) : length;
  if (host_length == 0) return false;
  for (size_t i = 0; i < host_length; ++i) {
    char c = agent[i];
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  memcpy(host, agent, host_length);
  host[host_length] = '\0';
  *port = qp_snmp_agent_port();
  if (colon != nullptr) {
    char *end = nullptr;
    unsigned long value = strtoul(colon + 1, &end, 10);
    if (end == colon + 1 || *end != '\0' || value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
  }
  return true;
}

// Puts VALUE into PDU under NAME with the value's own type. False for a type a request
// cannot carry.
bool add_value(netsnmp_pdu *pdu, const oid *name, size_t name_length, const qp_snmp_value &value) {
  switch (value.type) {
    case QP_ASN_INTEGER: {
      long v = value.integer;
      return snmp_pdu_add_variable(pdu, name, name_length, ASN_INTEGER, &v, sizeof v) != nullptr;
    }
    case QP_ASN_COUNTER:
    case QP_ASN_GAUGE:
    case QP_ASN_TIMETICKS: {
      u_long v = value.number;
      return snmp_pdu_add_variable(pdu, name, name_length, value.type, &v, sizeof v) != nullptr;
    }
    case QP_ASN_IPADDRESS:
      if (value.length != 4 || value.bytes == nullptr) return false;
      return snmp_pdu_add_variable(pdu, name, name_length, ASN_IPADDRESS, value.bytes, 4) != nullptr;
    case QP_ASN_OCTET_STRING:
    case QP_ASN_OPAQUE: {
      static const uint8_t empty = 0;
      const uint8_t *bytes = value.length > 0 ? value.bytes : &empty;
      if (bytes == nullptr) return false;
      return snmp_pdu_add_variable(pdu, name, name_length, value.type, bytes, value.length) != nullptr;
    }
    case QP_ASN_OBJECT_IDENTIFIER: {
      if (value.oid.length == 0 || value.oid.length > QP_SNMP_MAX_OID_LENGTH) return false;
      oid ids[QP_SNMP_MAX_OID_LENGTH];
      for (uint32_t i = 0; i < value.oid.length; ++i) ids[i] = value.oid.ids[i];
      return snmp_pdu_add_variable(pdu, name, name_length, ASN_OBJECT_ID, ids,
                                   value.oid.length * sizeof(oid)) != nullptr;
    }
    case QP_ASN_NULL:
      return snmp_add_null_var(pdu, name, name_length) != nullptr;
    default:
      return false;
  }
}

void clear_varbind(qp_snmp_varbind *varbind) {
  memset(varbind, 0, sizeof *varbind);
  varbind->value.type = QP_ASN_NULL;
}

}  // namespace

// ---- idle sessions ----

namespace {

// Oldest first; guarded by g_idle_lock. Never destroyed: sessions still idle when the process
// exits stay reachable and are let go with it, and a thread that closes a session while the
// process exits finds the list whole.
std::mutex g_idle_lock;
std::vector<qp_snmp_session *> &g_idle = *new std::vector<qp_snmp_session *>;

// FNV-1a over the parts of a session's key.
uint64_t key_hash(const char *peer, const char *community, uint32_t timeout_ms, uint32_t retries) {
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&hash](const void *data, size_t size) {
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
  };
  mix(peer, strlen(peer) + 1);
  mix(community, strlen(community) + 1);
  mix(&timeout_ms, sizeof timeout_ms);
  mix(&retries, sizeof retries);
  return hash == 0 ? 1 : hash;
}

void close_native(qp_snmp_session *session) {
  {
    std::lock_guard<std::mutex> hold(g_session_lock);
    if (session->handle != nullptr) snmp_sess_close(session->handle);
  }
  free(session);
}

// Takes an idle session with this key, or NULL. Sessions idle for too long are closed on
// the way.
qp_snmp_session *take_idle(uint64_t hash, const char *peer, const char *community, uint32_t timeout_ms,
                           uint32_t retries) {
  std::vector<qp_snmp_session *> expired;
  qp_snmp_session *found = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_idle_lock);
    if (g_idle.empty()) return nullptr;
    uint64_t now = qp_real_tick_ms();
    size_t kept = 0;
    for (size_t i = 0; i < g_idle.size(); ++i) {
      qp_snmp_session *s = g_idle[i];
      if (now - s->idle_since_ms > kIdleLifetimeMs)
        expired.push_back(s);
      else
        g_idle[kept++] = s;
    }
    g_idle.resize(kept);
    // The most recently used one first.
    for (size_t i = g_idle.size(); i-- > 0;) {
      qp_snmp_session *s = g_idle[i];
      if (s->key_hash == hash && s->timeout_ms == timeout_ms && s->retries == retries &&
          strcmp(s->peer, peer) == 0 && strcmp(s->community, community) == 0) {
        found = s;
        g_idle.erase(g_idle.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
  }
  for (qp_snmp_session *s : expired) close_native(s);
  return found;
}

// Keeps SESSION idle for a later open; the oldest idle session goes when too many are kept,
// and SESSION itself when its key has enough idle ones already (a burst of requests to one
// agent at once leaves no more sockets behind than the next one needs).
void keep_idle(qp_snmp_session *session) {
  qp_snmp_session *dropped = nullptr;
  session->idle_since_ms = qp_real_tick_ms();
  {
    std::lock_guard<std::mutex> hold(g_idle_lock);
    size_t same_key = 0;
    for (const qp_snmp_session *s : g_idle)
      if (s->key_hash == session->key_hash && s->timeout_ms == session->timeout_ms &&
          s->retries == session->retries && strcmp(s->peer, session->peer) == 0 &&
          strcmp(s->community, session->community) == 0)
        ++same_key;
    if (same_key >= kMaxIdlePerKey) {
      dropped = session;
    } else {
      g_idle.push_back(session);
    }
    if (dropped == nullptr && g_idle.size() > kMaxIdleSessions) {
      dropped = g_idle.front();
      g_idle.erase(g_idle.begin());
    }
  }
  if (dropped != nullptr) close_native(dropped);
}

}  // namespace

uint32_t qp_snmp_idle_sessions(void) {
  std::lock_guard<std::mutex> hold(g_idle_lock);
  return static_cast<uint32_t>(g_idle.size());
}

// ---- sessions and requests ----

qp_snmp_session *qp_snmp_open(const char *agent, const char *community, uint32_t timeout_ms,
                              uint32_t retries) {
  char host[256];
  uint16_t port = 0;
  if (agent == nullptr || community == nullptr || !split_agent(agent, host, sizeof host, &port)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (qp_fault_hit("snmp_open")) {
    SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  qp_snmp_library_init();

  char peer[kPeerSize];
  snprintf(peer, sizeof peer, "udp:%s:%u", host, static_cast<unsigned>(port));
  if (timeout_ms == 0) timeout_ms = 1;
  if (retries > 1000) retries = 1000;
  bool keepable = strlen(community) < kKeptCommunitySize;
  uint64_t hash = keepable ? key_hash(peer, community, timeout_ms, retries) : 0;
  if (keepable) {
    qp_snmp_session *idle = take_idle(hash, peer, community, timeout_ms, retries);
    if (idle != nullptr) return idle;
  }

  netsnmp_session config;
  snmp_sess_init(&config);
  config.version = SNMP_VERSION_1;
  config.peername = peer;
  config.community = reinterpret_cast<u_char *>(const_cast<char *>(community));
  config.community_len = strlen(community);
  config.timeout = static_cast<long>(timeout_ms) * 1000L;
  config.retries = static_cast<int>(retries);

  auto *session = static_cast<qp_snmp_session *>(calloc(1, sizeof(qp_snmp_session)));
  if (session == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> hold(g_session_lock);
    session->handle = snmp_sess_open(&config);
  }
  if (session->handle == nullptr) {
    free(session);
    if (config.s_snmp_errno == SNMPERR_BAD_ADDRESS || config.s_errno == 0)
      SetLastError(ERROR_INVALID_PARAMETER);
    else
      qp_set_error_from_errno(config.s_errno);
    return nullptr;
  }
  // An idle session's socket must not live on in the programs this process starts.
  netsnmp_transport *transport = snmp_sess_transport(session->handle);
  if (transport != nullptr && transport->sock >= 0) fcntl(transport->sock, F_SETFD, FD_CLOEXEC);
  session->key_hash = hash;
  if (keepable) {
    snprintf(session->peer, sizeof session->peer, "%s", peer);
    snprintf(session->community, sizeof session->community, "%s", community);
  }
  session->timeout_ms = timeout_ms;
  session->retries = retries;
  return session;
}

void qp_snmp_close(qp_snmp_session *session) {
  if (session == nullptr) return;
  if (session->handle != nullptr && session->key_hash != 0 && !session->broken)
    keep_idle(session);
  else
    close_native(session);
}

int qp_snmp_request(qp_snmp_session *session, uint32_t pdu_type, const qp_snmp_varbind *request,
                    qp_snmp_varbind *answer, uint32_t *error_status, uint32_t *error_index) {
  if (answer != nullptr) clear_varbind(answer);
  if (session == nullptr || session->handle == nullptr) {
    SetLastError(QP_SNMP_MGMTAPI_INVALID_SESSION);
    return 0;
  }
  if (request == nullptr || answer == nullptr || error_status == nullptr || error_index == nullptr ||
      (pdu_type != QP_SNMP_PDU_GET && pdu_type != QP_SNMP_PDU_SET) || request->name.length == 0 ||
      request->name.length > QP_SNMP_MAX_OID_LENGTH) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  *error_status = 0;
  *error_index = 0;
  if (qp_fault_hit("snmp_request")) {
    SetLastError(QP_SNMP_MGMTAPI_TIMEOUT);
    return 0;
  }

  netsnmp_pdu *pdu = snmp_pdu_create(pdu_type == QP_SNMP_PDU_GET ? SNMP_MSG_GET : SNMP_MSG_SET);
  if (pdu == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  oid name[QP_SNMP_MAX_OID_LENGTH];
  for (uint32_t i = 0; i < request->name.length; ++i) name[i] = request->name.ids[i];
  bool added = pdu_type == QP_SNMP_PDU_GET ? snmp_add_null_var(pdu, name, request->name.length) != nullptr
                                           : add_value(pdu, name, request->name.length, request->value);
  if (!added) {
    snmp_free_pdu(pdu);
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }

  netsnmp_pdu *response = nullptr;
  int status = snmp_sess_synch_response(session->handle, pdu, &response);  // takes PDU
  if (status == STAT_SUCCESS && response != nullptr) {
    *error_status = static_cast<uint32_t>(response->errstat);
    *error_index = static_cast<uint32_t>(response->errindex);
    bool ok = response->variables == nullptr || qp_snmp_varbind_from_native(response->variables, answer);
    snmp_free_pdu(response);
    if (!ok) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    return 1;
  }
  if (response != nullptr) snmp_free_pdu(response);
  if (status == STAT_TIMEOUT) {
    // net-snmp has dropped the request: the session stays fit for the next one.
    SetLastError(QP_SNMP_MGMTAPI_TIMEOUT);
  } else {
    // The request may still be pending in the session: it is not handed out again.
    session->broken = true;
    netsnmp_session *native = snmp_sess_session(session->handle);
    if (native != nullptr && native->s_errno != 0)
      qp_set_error_from_errno(native->s_errno);
    else
      SetLastError(ERROR_GEN_FAILURE);
  }
  return 0;
}
