// The SNMPv1 agent side of a simulated card: decoding requests, answering GET, GETNEXT and SET
// with the card's variables and faults, and sending PowerNet traps.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>

#include "upssim.h"

namespace upssim {

std::vector<sockaddr_in> g_trap_receivers;

namespace {

// An answer held back by the delay fault.
struct DelayedAnswer {
  uint64_t due_ms;
  int socket_fd;
  sockaddr_in to;
  std::vector<uint8_t> datagram;
};
std::vector<DelayedAnswer> g_delayed;

netsnmp_session *codec_session() {
  static netsnmp_session session;
  static bool ready = false;
  if (!ready) {
    snmp_sess_init(&session);  // leaves the version to each datagram
    ready = true;
  }
  return &session;
}

// Encodes PDU into OUT. False when the library cannot encode it.
bool encode(netsnmp_pdu *pdu, std::vector<uint8_t> *out) {
  size_t size = 4096;
  size_t offset = 0;
  auto *buffer = static_cast<u_char *>(malloc(size));
  if (buffer == nullptr) return false;
  int rc = snmp_build(&buffer, &size, &offset, codec_session(), pdu);
  if (rc == 0) out->assign(buffer + size - offset, buffer + size);  // built back to front
  free(buffer);
  return rc == 0;
}

// Sends DATAGRAM, waiting up to a second while the socket's send buffer is full so that a
// burst of traps is not cut short. Returns 0 once the system took it, else the errno of the
// last attempt.
int send_datagram(int fd, const sockaddr_in &to, const std::vector<uint8_t> &datagram) {
  int error = EAGAIN;
  for (int attempt = 0; attempt < 100; ++attempt) {
    ssize_t sent =
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (sent >= 0) return 0;
    error = errno;
    if (error != EAGAIN && error != EWOULDBLOCK && error != ENOBUFS && error != EINTR) return error;
    pollfd p = {fd, POLLOUT, 0};
    poll(&p, 1, 10);
  }
  return error;
}

// Converts VALUE to TYPE for the wrong-type fault: numbers keep their number, texts become
// their length, and the reverse.
Value convert(const Value &value, uint8_t type) {
  Value out;
  out.type = type;
  bool from_number = value.type == ASN_INTEGER || value.type == ASN_COUNTER || value.type == ASN_GAUGE ||
                     value.type == ASN_TIMETICKS;
  int64_t number = from_number ? value.number : static_cast<int64_t>(value.bytes.size());
  switch (type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      out.number = number;
      break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
      out.bytes = from_number ? std::to_string(number) : value.bytes;
      break;
    case ASN_IPADDRESS: {
      uint32_t address = htonl(static_cast<uint32_t>(number));
      out.bytes.assign(reinterpret_cast<const char *>(&address), 4);
      break;
    }
    case ASN_OBJECT_ID:
      out.ids = value.type == ASN_OBJECT_ID ? value.ids : Oid{0, 0};
      break;
    default:
      break;
  }
  return out;
}

bool add_value(netsnmp_pdu *pdu, const Oid &name, const Value &value) {
  switch (value.type) {
    case ASN_INTEGER: {
      long v = static_cast<long>(value.number);
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER, &v, sizeof v) != nullptr;
    }
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS: {
      u_long v = static_cast<u_long>(value.number) & 0xFFFFFFFFul;
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), value.type, &v, sizeof v) != nullptr;
    }
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), value.type, value.bytes.data(),
                                   value.bytes.size()) != nullptr;
    case ASN_OBJECT_ID:
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OBJECT_ID, value.ids.data(),
                                   value.ids.size() * sizeof(oid)) != nullptr;
    default:
      return snmp_add_null_var(pdu, name.data(), name.size()) != nullptr;
  }
}

Value value_of(const netsnmp_variable_list *var) {
  Value v;
  v.type = var->type;
  switch (var->type) {
    case ASN_INTEGER:
      v.number = *var->val.integer;
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      v.number = static_cast<int64_t>(static_cast<u_long>(*var->val.integer) & 0xFFFFFFFFul);
      break;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      v.bytes.assign(reinterpret_cast<const char *>(var->val.string), var->val_len);
      break;
    case ASN_OBJECT_ID:
      v.ids.assign(var->val.objid, var->val.objid + var->val_len / sizeof(oid));
      break;
    default:
      break;
  }
  return v;
}

Oid name_of(const netsnmp_variable_list *var) {
  return Oid(var->name, var->name + var->name_length);
}

// The value a GET answers for VARIABLE NAME, with the wrong-type fault applied.
Value answer_value(Card *card, const Oid &name, const Variable &variable) {
  auto wrong = card->faults.wrong_type.find(name);
  return wrong == card->faults.wrong_type.end() ? variable.value : convert(variable.value, wrong->second);
}

// Answers a GET or GETNEXT into RESPONSE; returns false after setting the error fields.
bool answer_read(Card *card, const netsnmp_pdu *request, netsnmp_pdu *response) {
  long index = 0;
  for (const netsnmp_variable_list *var = request->variables; var != nullptr; var = var->next_variable) {
    ++index;
    Oid asked = name_of(var);
    auto it = request->command == SNMP_MSG_GETNEXT ? card->vars.upper_bound(asked) : card->vars.find(asked);
    Oid name = it == card->vars.end() ? asked : it->first;
    auto fault = card->faults.error_status.find(name);
    long status = SNMP_ERR_NOERROR;
    if (fault != card->faults.error_status.end())
      status = fault->second;
    else if (it == card->vars.end())
      status = SNMP_ERR_NOSUCHNAME;
    if (status != SNMP_ERR_NOERROR) {
      response->errstat = status;
      response->errindex = index;
      return false;
    }
    add_value(response, name, answer_value(card, name, it->second));
  }
  return true;
}

// Checks every binding of a SET, then applies them all or none. Every binding is logged with
// the outcome of the whole request.
bool answer_set(Card *card, const netsnmp_pdu *request, netsnmp_pdu *response) {
  long index = 0;
  long status = SNMP_ERR_NOERROR;
  for (const netsnmp_variable_list *var = request->variables; var != nullptr; var = var->next_variable) {
    ++index;
    status = card_check_set(card, name_of(var), value_of(var));
    if (status != SNMP_ERR_NOERROR) break;
  }
  for (const netsnmp_variable_list *var = request->variables; var != nullptr; var = var->next_variable) {
    Value value = value_of(var);
    card->set_log.push_back(oid_text(name_of(var)) + " " + value_text(value) + " " + status_name(status));
    if (status == SNMP_ERR_NOERROR) card_apply_set(card, name_of(var), value);
  }
  if (status != SNMP_ERR_NOERROR) {
    response->errstat = status;
    response->errindex = index;
    return false;
  }
  for (const netsnmp_variable_list *var = request->variables; var != nullptr; var = var->next_variable)
    add_value(response, name_of(var), card->vars[name_of(var)].value);
  return true;
}

void copy_bindings(const netsnmp_pdu *request, netsnmp_pdu *response) {
  snmp_free_varbind(response->variables);
  response->variables = nullptr;
  for (const netsnmp_variable_list *var = request->variables; var != nullptr; var = var->next_variable)
    snmp_pdu_add_variable(response, var->name, var->name_length, var->type, var->val.string, var->val_len);
}

// Text of the trap-argument binding sent with each transition trap.
struct TrapText {
  int specific;
  const char *text;
};
const TrapText kTrapTexts[] = {
    {1, "UPS: Communication with the UPS has been lost."},
    {5, "UPS: On battery power in response to an input power problem."},
    {7, "UPS: The battery power is too low to continue to support the load."},
    {8, "UPS: Communication with the UPS has been established."},
    {9, "UPS: No longer on battery power."},
    {11, "UPS: The battery power is no longer too low."},
    {12, "UPS: The UPS has turned off."},
    {13, "UPS: The UPS has entered sleep mode."},
    {14, "UPS: The UPS has woken up from sleep mode."},
    {30, "UPS: The UPS has turned on."},
    {39, "UPS: A graceful shutdown has been started."},
};

}  // namespace

void agent_handle_datagram(Card *card, const uint8_t *data, size_t length, const sockaddr_in &from) {
  auto *request = static_cast<netsnmp_pdu *>(calloc(1, sizeof(netsnmp_pdu)));
  if (request == nullptr) return;
  std::vector<uint8_t> copy(data, data + length);
  if (snmp_parse(nullptr, codec_session(), request, copy.data(), copy.size()) != 0 ||
      request->version != SNMP_VERSION_1) {
    snmp_free_pdu(request);
    return;
  }
  ++card->requests;
  std::string community(reinterpret_cast<const char *>(request->community), request->community_len);
  bool known = request->command == SNMP_MSG_GET || request->command == SNMP_MSG_GETNEXT ||
               request->command == SNMP_MSG_SET;
  if (community != card->community) ++card->bad_community;
  bool drop = community != card->community || !known || card->faults.silent;
  if (!drop && card->faults.drop_next > 0) {
    --card->faults.drop_next;
    drop = true;
  }
  if (drop) {
    snmp_free_pdu(request);
    return;
  }

  netsnmp_pdu *response = snmp_pdu_create(SNMP_MSG_RESPONSE);
  response->version = SNMP_VERSION_1;
  response->reqid = request->reqid;
  response->community = static_cast<u_char *>(malloc(request->community_len + 1));
  memcpy(response->community, request->community, request->community_len);
  response->community_len = request->community_len;
  bool ok;
  if (request->command == SNMP_MSG_SET) {
    ++card->sets;
    ok = answer_set(card, request, response);
  } else {
    ++card->gets;
    ok = answer_read(card, request, response);
  }
  // An error answer carries the request's bindings unchanged.
  if (!ok) copy_bindings(request, response);

  std::vector<uint8_t> datagram;
  bool encoded = encode(response, &datagram);
  snmp_free_pdu(response);
  snmp_free_pdu(request);
  if (!encoded) return;
  ++card->answered;
  if (card->faults.delay_ms > 0)
    g_delayed.push_back(
        {now_ms() + static_cast<uint64_t>(card->faults.delay_ms), card->socket_fd, from, datagram});
  else
    send_datagram(card->socket_fd, from, datagram);
}

void agent_flush_delayed(uint64_t now) {
  auto due = std::stable_partition(g_delayed.begin(), g_delayed.end(),
                                   [now](const DelayedAnswer &a) { return a.due_ms > now; });
  for (auto it = due; it != g_delayed.end(); ++it) send_datagram(it->socket_fd, it->to, it->datagram);
  g_delayed.erase(due, g_delayed.end());
}

size_t agent_held_answers(const Card *card) {
  size_t held = 0;
  for (const DelayedAnswer &a : g_delayed)
    if (a.socket_fd == card->socket_fd) ++held;
  return held;
}

uint64_t agent_next_delayed() {
  uint64_t next = 0;
  for (const DelayedAnswer &a : g_delayed)
    if (next == 0 || a.due_ms < next) next = a.due_ms;
  return next;
}

TrapSent agent_send_trap(Card *card, int generic, int specific, const Oid &binding, const std::string &text) {
  TrapSent result;
  result.attempted = static_cast<int>(g_trap_receivers.size() + card->receivers.size());
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_TRAP);
  pdu->version = SNMP_VERSION_1;
  pdu->enterprise = static_cast<oid *>(malloc(mib::kEnterprise.size() * sizeof(oid)));
  memcpy(pdu->enterprise, mib::kEnterprise.data(), mib::kEnterprise.size() * sizeof(oid));
  pdu->enterprise_length = mib::kEnterprise.size();
  memcpy(pdu->agent_addr, &card->address, 4);
  pdu->trap_type = generic;
  pdu->specific_type = specific;
  pdu->time = static_cast<u_long>((now_ms() - card->started_ms) / 10);
  pdu->community = static_cast<u_char *>(malloc(card->community.size() + 1));
  memcpy(pdu->community, card->community.data(), card->community.size());
  pdu->community_len = card->community.size();
  if (!binding.empty())
    snmp_pdu_add_variable(pdu, binding.data(), binding.size(), ASN_OCTET_STR, text.data(), text.size());
  std::vector<uint8_t> datagram;
  bool encoded = encode(pdu, &datagram);
  snmp_free_pdu(pdu);
  if (!encoded) {
    result.error = EMSGSIZE;
    return result;
  }
  auto send_to = [&](const sockaddr_in &to) {
    int error = send_datagram(card->socket_fd, to, datagram);
    if (error == 0)
      ++result.sent;
    else
      result.error = error;
  };
  for (const sockaddr_in &to : g_trap_receivers) send_to(to);
  for (const sockaddr_in &to : card->receivers) send_to(to);
  return result;
}

void agent_trap(Card *card, int specific) {
  const char *text = "UPS: event.";
  for (const TrapText &t : kTrapTexts)
    if (t.specific == specific) text = t.text;
  agent_send_trap(card, SNMP_TRAP_ENTERPRISESPECIFIC, specific, mib::kTrapArgument, text);
}

bool parse_endpoint(const std::string &text, uint16_t default_port, sockaddr_in *out) {
  std::string host = text;
  unsigned long port = default_port;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    char *end = nullptr;
    port = strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port == 0 || port > 65535) return false;
  }
  memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1;
}

}  // namespace upssim
