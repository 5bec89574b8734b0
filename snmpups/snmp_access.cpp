// The SNMP access layer of SNMPUPS.DLL: single-variable GETs and SETs, each in a session of
// its own, by unit-table slot or by address, with their time-outs, retries, result codes and
// log lines; and the OID text conversion with its fallback parser and slot ring.
//
// Sections: OID conversion; values; sessions; GET by slot; GET by address; SETs.
//
// State: the OID slot ring and its index, shared by every thread that converts an OID. The
// index is claimed with a compare-and-swap, so two conversions never claim the same slot at
// once; a slot is reused 32 fallback conversions later. Slots hold atomic words and every
// caller works on its own copy of the identifier.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "snmpups_state.h"

namespace {

// ---- Session parameters of the five operations ---------------------------------------------
constexpr uint32_t kIndexTimeOutMs = 6000;
constexpr uint32_t kIndexRetries = 3;
constexpr uint32_t kAddressGetTimeOutMs = 200;
constexpr uint32_t kAddressGetRetries = 2;

// The write-probe OID (low transfer voltage): address SETs of it write no log line.
constexpr char kWriteProbeOid[] = ".1.3.6.1.4.1.318.1.1.1.5.2.3.0";
// The OID whose failed platform conversion gets a line of its own.
constexpr char kCommunicationStatusOid[] = ".1.3.6.1.4.1.318.1.1.1.8.1.0";

constexpr uint32_t kTimeTicksMax = 0x7FFFFFFFu;
constexpr int kTextCopyLimit = SNMP_TEXT_BUFFER - 1;

// ---- Log texts -----------------------------------------------------------------------------
constexpr char kLogStrToOid64[] = "!!!!!! **** SnmpMgrStrToOid error!! 64bit!? **** !!!!!!";

constexpr char kLogGetIllegalIndex[] = "[SnmpGet] illegal argument [UPS%d]";
constexpr char kLogSetIllegalIndex[] = "[SnmpSet] illegal argument [UPS%d]";
constexpr char kLogIndexOpenFailed[] = "error on SnmpMgrOpen[UPS%d] %d";
constexpr char kLogIndexBadOid[] = "SNMP Error[UPS%d]: Invalid OID specified.";
constexpr char kLogIndexGetRequest[] = "[UPS%d]GET OID=%s";
constexpr char kLogIndexRequestFailed[] = "error on SnmpMgrRequest[UPS%d] %d";
constexpr char kLogIndexErrorStatus[] = "SNMP Error[UPS%d]: errorStatus=%d, errorIndex=%d";
constexpr char kLogIndexSetRequest[] = "[UPS%d(%s)]SET OID=%s";
constexpr char kLogIndexSetInteger[] = " SET  value type=%d value data=0x%x";
constexpr char kLogIndexSetTimeTicks[] = " SET  value type=%d value data=%d";
constexpr char kLogIndexSetOverflow[] = "SnmpSet TIMETICKS Data Over";
constexpr char kLogIndexSetNoBinding[] = "SNMP Error[%d]: Error allocating OID\n";
constexpr char kLogIndexSetStatus[] = "SNMP Error[UPS%d]: %s, errorIndex=%d";
constexpr char kLogIndexSetSuccess[] = " SNMP request(SET) success: value type=%d value data=0x%x";

constexpr char kLogAddressGetBadOid[] = "[r]SNMP Error: Invalid OID specified.";
constexpr char kLogAddressGetRequestFailed[] = "[r]error on SnmpMgrRequest %d";
constexpr char kLogAddressGetErrorStatus[] = "[r]SNMP Error: errorStatus=%d, errorIndex=%d";

constexpr char kLogAddressSetOpenFailed[] = "[s]error on SnmpMgrOpen %d";
constexpr char kLogAddressSetBadOid[] = "[s]SNMP Error: Invalid OID specified.";
constexpr char kLogAddressSetNoBinding[] = "[s]SNMP Error: Error allocating OID\n";
constexpr char kLogAddressSetRequest[] = "[s]SET OID=%s to [%s]";
constexpr char kLogAddressSetInteger[] = " [s]SET  value type=%d value data=0x%x";
constexpr char kLogAddressSetTimeTicks[] = " [s]SET  value type=%d value data=%d";
constexpr char kLogAddressSetIpAddress[] = " [s]SET  value type=%d ASN_RFC1155_IPADDRESS";
constexpr char kLogAddressSetOctets[] = " [s]SET  value type=%d ASN_OCTETSTRING";
constexpr char kLogAddressSetOverflow[] = "SnmpSetR TIMETICKS Data Over";
constexpr char kLogAddressSetRequestFailed[] = "[s]error on SnmpMgrRequest %d";
constexpr char kLogAddressSetStatus[] = "[s]SNMP Error: %s, errorIndex=%d";
constexpr char kLogAddressSetErrorStatus[] = "[s]SNMP Error: errorStatus=%d, errorIndex=%d";
constexpr char kLogAddressSetSuccess[] = " [s]SNMP request(SET) success: value type=%d value data=0x%x";
constexpr char kLogSetSuccessOtherType[] = " [s]SNMP request(SET) success:  value type = 0x%x";

constexpr char kLogGetInteger[] = " SNMP request(GET) success : value(ASN_INTEGER) = 0x%x";
constexpr char kLogGetGauge[] = " SNMP request(GET) success : value(ASN_RFC1155_GAUGE) = %d";
constexpr char kLogGetTimeTicks[] =
    " SNMP request(GET) success : value(ASN_RFC1155_TIMETICKS) = %d  %x%x%x%x";
constexpr char kLogGetOctets[] = " SNMP request(GET) success : value(ASN_OCTETSTRING)";
constexpr char kLogGetOctetsStream[] = "  length =%d  stream =[%s]";
constexpr char kLogGetUnmatchNamed[] = " SNMP request(GET) success : but unmatch value.type = %s %d";
constexpr char kLogGetUnmatchOther[] = " SNMP request(GET) success : but unmatch value.type = %d";

// Names of the received type in the line of a type mismatch.
struct TypeName {
  uint8_t type;
  const char *name;
};
constexpr TypeName kTypeNames[] = {
    {QP_ASN_INTEGER, "ASN_INTEGER"},
    {QP_ASN_OCTET_STRING, "ASN_OCTETSTRING"},
    {QP_ASN_OBJECT_IDENTIFIER, "ASN_OBJECTIDENTIFIER"},
    {QP_ASN_SEQUENCE, "ASN_SEQUENCE"},
    {QP_ASN_IPADDRESS, "ASN_RFC1155_IPADDRESS"},
    {QP_ASN_COUNTER, "ASN_RFC1155_COUNTER"},
    {QP_ASN_GAUGE, "ASN_RFC1155_GAUGE"},
    {QP_ASN_TIMETICKS, "ASN_RFC1155_TIMETICKS"},
    {QP_ASN_OPAQUE, "ASN_RFC1155_OPAQUE"},
};

// Error statuses of a SET answer: their name in the log and the result they give.
struct SetStatus {
  uint32_t status;
  const char *name;
  uint32_t result;
};
constexpr SetStatus kSetStatuses[] = {
    {QP_SNMP_ERRORSTATUS_TOOBIG, "SNMP_ERRORSTATUS_TOOBIG", SNMP_RESULT_AGENT_ERROR},
    {QP_SNMP_ERRORSTATUS_NOSUCHNAME, "SNMP_ERRORSTATUS_NOSUCHNAME", SNMP_RESULT_AGENT_ERROR},
    {QP_SNMP_ERRORSTATUS_BADVALUE, "SNMP_ERRORSTATUS_BADVALUE", SNMP_RESULT_BAD_VALUE},
    {QP_SNMP_ERRORSTATUS_READONLY, "SNMP_ERRORSTATUS_READONLY", SNMP_RESULT_AGENT_ERROR},
    {QP_SNMP_ERRORSTATUS_GENERR, "SNMP_ERRORSTATUS_GENERR", SNMP_RESULT_AGENT_ERROR},
};

// ---- OID slot ring -------------------------------------------------------------------------
constexpr uint32_t kOidSlots = 32;
constexpr uint32_t kOidSlotIds = 64;
std::atomic<uint32_t> g_Oid_Slot[kOidSlots][kOidSlotIds];
std::atomic<uint32_t> g_Oid_Slot_Index{0};

// Claims the next slot of the ring: the index wraps to 0 once it has passed 31.
uint32_t ClaimOidSlot() {
  uint32_t current = g_Oid_Slot_Index.load();
  uint32_t slot;
  do {
    slot = current > kOidSlots - 1 ? 0 : current;
  } while (!g_Oid_Slot_Index.compare_exchange_weak(current, slot + 1));
  return slot;
}

// ---- Values --------------------------------------------------------------------------------

uint32_t NonNegative(int32_t value) {
  return value < 0 ? 0u : static_cast<uint32_t>(value);
}

// Stores a GET answer of the expected type into OUT; false when nothing was stored.
bool StoreValue(const qp_snmp_value &value, uint8_t expected, void *out) {
  if (value.type != expected || out == nullptr) return false;
  switch (expected) {
    case QP_ASN_INTEGER:
      memcpy(out, &value.integer, sizeof(int32_t));
      return true;
    case QP_ASN_GAUGE:
    case QP_ASN_TIMETICKS:
      memcpy(out, &value.number, sizeof(uint32_t));
      return true;
    case QP_ASN_OCTET_STRING: {
      uint32_t n = value.length < static_cast<uint32_t>(kTextCopyLimit) ? value.length : kTextCopyLimit;
      if (n > 0 && value.bytes != nullptr) memcpy(out, value.bytes, n);
      return true;
    }
    case QP_ASN_IPADDRESS: {
      uint32_t n = value.length < 4 ? value.length : 4;
      if (n > 0 && value.bytes != nullptr) memcpy(out, value.bytes, n);
      return true;
    }
    default:
      return false;
  }
}

// Fills the value of a SET binding from the caller's VALUE; *OVERFLOW tells that a TimeTicks
// value was cut to 0x7FFFFFFF. False when VALUE is missing.
bool BuildSetValue(uint8_t type, const void *value, qp_snmp_value *out, bool *overflow) {
  *overflow = false;
  memset(out, 0, sizeof *out);
  out->type = type;
  if (type == QP_ASN_NULL) return true;
  if (value == nullptr) return false;
  switch (type) {
    case QP_ASN_INTEGER:
      memcpy(&out->integer, value, sizeof(int32_t));
      break;
    case QP_ASN_TIMETICKS:
      memcpy(&out->number, value, sizeof(uint32_t));
      if (out->number > kTimeTicksMax) {
        out->number = kTimeTicksMax;
        *overflow = true;
      }
      break;
    case QP_ASN_COUNTER:
    case QP_ASN_GAUGE:
      memcpy(&out->number, value, sizeof(uint32_t));
      break;
    case QP_ASN_IPADDRESS:
      out->bytes = const_cast<uint8_t *>(static_cast<const uint8_t *>(value));
      out->length = 4;
      break;
    case QP_ASN_OCTET_STRING:
    case QP_ASN_OPAQUE:
      out->bytes = const_cast<uint8_t *>(static_cast<const uint8_t *>(value));
      out->length = static_cast<uint32_t>(strlen(static_cast<const char *>(value)));
      break;
    default:
      return false;
  }
  return true;
}

// ---- Sessions --------------------------------------------------------------------------------

// One request in flight: the session, the binding sent and the answer.
struct Exchange {
  qp_snmp_session *session = nullptr;
  qp_snmp_varbind request{};
  qp_snmp_varbind answer{};
  uint32_t error_status = 0;
  uint32_t error_index = 0;
  uint32_t system_error = 0;

  Exchange() = default;
  Exchange(const Exchange &) = delete;
  Exchange &operator=(const Exchange &) = delete;
  ~Exchange() {
    qp_snmp_value_free(&answer.value);
    qp_snmp_close(session);
  }

  // Opens the session; false with system_error on failure.
  bool Open(const char *agent, uint32_t timeout_ms, uint32_t retries) {
    session = qp_snmp_open(agent != nullptr ? agent : "", g_Community, timeout_ms, retries);
    if (session == nullptr) system_error = GetLastError();
    return session != nullptr;
  }

  // Sends the request; false with system_error when no answer came.
  bool Send(uint32_t pdu_type) {
    if (qp_snmp_request(session, pdu_type, &request, &answer, &error_status, &error_index) == 1) return true;
    system_error = GetLastError();
    return false;
  }
};

// The line of a GET answer by slot, by the received type (unless QUIET).
void LogIndexGetAnswer(const qp_snmp_value &value, uint8_t expected, bool quiet) {
  if (value.type != expected) {
    if (quiet) return;
    for (const TypeName &entry : kTypeNames) {
      if (entry.type == value.type) {
        WriteSnmpLogF(1, kLogGetUnmatchNamed, entry.name, value.type);
        return;
      }
    }
    WriteSnmpLogF(1, kLogGetUnmatchOther, value.type);
    return;
  }
  switch (value.type) {
    case QP_ASN_INTEGER:
      if (!quiet) WriteSnmpLogF(1, kLogGetInteger, static_cast<unsigned>(value.integer));
      break;
    case QP_ASN_GAUGE:
      if (!quiet) WriteSnmpLogF(1, kLogGetGauge, static_cast<int>(value.number));
      break;
    case QP_ASN_TIMETICKS:
      if (!quiet) {
        WriteSnmpLogF(1, kLogGetTimeTicks, static_cast<int>(value.number), value.number & 0xFF,
                      (value.number >> 8) & 0xFF, (value.number >> 16) & 0xFF, (value.number >> 24) & 0xFF);
      }
      break;
    case QP_ASN_OCTET_STRING: {
      WriteSnmpLog(kLogGetOctets, 0);
      if (!quiet) {
        int n = value.length < static_cast<uint32_t>(kTextCopyLimit) ? static_cast<int>(value.length)
                                                                     : kTextCopyLimit;
        char text[SNMP_TEXT_BUFFER] = {0};
        if (n > 0 && value.bytes != nullptr) memcpy(text, value.bytes, static_cast<size_t>(n));
        WriteSnmpLogF(1, kLogGetOctetsStream, static_cast<int>(value.length), text);
      }
      break;
    }
    default:
      break;
  }
}

const SetStatus *FindSetStatus(uint32_t status) {
  for (const SetStatus &entry : kSetStatuses) {
    if (entry.status == status) return &entry;
  }
  return nullptr;
}

// The three SETs differ in how the agent is named, the session parameters and their texts.
enum class SetVariant { kByIndex, kByAddress, kOutlet };

uint32_t SnmpSet(SetVariant variant, const char *agent, int ups_index, const char *oid, uint8_t type,
                 const void *value) {
  if (agent == nullptr) agent = "";
  bool by_index = variant == SetVariant::kByIndex;
  // Address SETs of the write probe are silent, except for the TimeTicks overflow line.
  bool silent = variant == SetVariant::kByAddress && oid != nullptr && strcmp(oid, kWriteProbeOid) == 0;
  uint32_t timeout =
      by_index ? kIndexTimeOutMs : NonNegative(variant == SetVariant::kOutlet ? g_TimeOut_Outlet : g_TimeOut);
  uint32_t retries =
      by_index ? kIndexRetries : NonNegative(variant == SetVariant::kOutlet ? g_Retry_Outlet : g_Retry);

  Exchange exchange;
  if (!exchange.Open(agent, timeout, retries)) {
    if (by_index) {
      WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexOpenFailed, ups_index,
                    static_cast<int>(exchange.system_error));
    } else if (!silent) {
      WriteSnmpLogF(SNMP_RESULT_FAILED, kLogAddressSetOpenFailed, static_cast<int>(exchange.system_error));
    }
    return SNMP_RESULT_FAILED;
  }
  if (oid == nullptr || !StringToOid(oid, &exchange.request.name)) {
    if (by_index) {
      WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexBadOid, ups_index);
    } else if (!silent) {
      WriteSnmpLog(kLogAddressSetBadOid, SNMP_RESULT_FAILED);
    }
    return SNMP_RESULT_FAILED;
  }
  bool overflow = false;
  bool built = BuildSetValue(type, value, &exchange.request.value, &overflow);
  if (overflow) WriteSnmpLog(by_index ? kLogIndexSetOverflow : kLogAddressSetOverflow, 0);
  if (!built) {  // no binding can be formed from the caller's value
    if (by_index) {
      WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexSetNoBinding, ups_index);
    } else if (!silent) {
      WriteSnmpLog(kLogAddressSetNoBinding, SNMP_RESULT_FAILED);
    }
    return SNMP_RESULT_FAILED;
  }

  const qp_snmp_value &sent = exchange.request.value;
  if (by_index) {
    WriteSnmpLogF(0, kLogIndexSetRequest, ups_index, agent, oid);
    if (type == QP_ASN_INTEGER)
      WriteSnmpLogF(0, kLogIndexSetInteger, type, static_cast<unsigned>(sent.integer));
    if (type == QP_ASN_TIMETICKS)
      WriteSnmpLogF(0, kLogIndexSetTimeTicks, type, static_cast<int>(sent.number));
  } else if (!silent) {
    WriteSnmpLogF(0, kLogAddressSetRequest, oid, agent);
    if (type == QP_ASN_INTEGER)
      WriteSnmpLogF(0, kLogAddressSetInteger, type, static_cast<unsigned>(sent.integer));
    if (type == QP_ASN_TIMETICKS)
      WriteSnmpLogF(0, kLogAddressSetTimeTicks, type, static_cast<int>(sent.number));
    if (type == QP_ASN_IPADDRESS) WriteSnmpLogF(0, kLogAddressSetIpAddress, type);
    if (type == QP_ASN_OCTET_STRING) WriteSnmpLogF(0, kLogAddressSetOctets, type);
  }

  if (!exchange.Send(QP_SNMP_PDU_SET)) {
    if (by_index) {
      WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexRequestFailed, ups_index,
                    static_cast<int>(exchange.system_error));
    } else if (!silent) {
      WriteSnmpLogF(SNMP_RESULT_FAILED, kLogAddressSetRequestFailed, static_cast<int>(exchange.system_error));
    }
    return SNMP_RESULT_FAILED;
  }
  if (exchange.error_status != QP_SNMP_ERRORSTATUS_NOERROR) {
    const SetStatus *status = FindSetStatus(exchange.error_status);
    uint32_t result = status != nullptr ? status->result : SNMP_RESULT_AGENT_ERROR;
    int status_number = static_cast<int>(exchange.error_status);
    int index = static_cast<int>(exchange.error_index);
    if (by_index) {
      if (status != nullptr) {
        WriteSnmpLogF(result, kLogIndexSetStatus, ups_index, status->name, index);
      } else {
        WriteSnmpLogF(result, kLogIndexErrorStatus, ups_index, status_number, index);
      }
    } else if (!silent) {
      if (status != nullptr) {
        WriteSnmpLogF(result, kLogAddressSetStatus, status->name, index);
      } else {
        WriteSnmpLogF(result, kLogAddressSetErrorStatus, status_number, index);
      }
    }
    return result;
  }

  if (!silent) {
    const qp_snmp_value &answered = exchange.answer.value;
    if (answered.type == QP_ASN_INTEGER || answered.type == QP_ASN_TIMETICKS) {
      unsigned data =
          answered.type == QP_ASN_INTEGER ? static_cast<unsigned>(answered.integer) : answered.number;
      WriteSnmpLogF(0, by_index ? kLogIndexSetSuccess : kLogAddressSetSuccess, answered.type, data);
    } else {
      WriteSnmpLogF(0, kLogSetSuccessOtherType, answered.type);
    }
  }
  return SNMP_RESULT_OK;
}

}  // namespace

// ---- OID conversion ---------------------------------------------------------------------------

// The fallback parser: '.', a digit, then dotted decimal numbers; the walk ends at the first
// other character, where the number being read must be 0. The identifier is the numbers read
// followed by that 0, so only scalar instances (ending in .0) are accepted.
bool ParseOidFallback(const char *text, qp_snmp_oid *oid, uint32_t *claimed_slot) {
  if (text == nullptr || text[0] != '.' || !isdigit(static_cast<unsigned char>(text[1]))) return false;
  uint32_t ids[kOidSlotIds] = {0};
  uint32_t stored = 0;
  uint32_t current = 0;
  for (const char *p = text + 1; stored < kOidSlotIds - 1; ++p) {
    if (isdigit(static_cast<unsigned char>(*p))) {
      current = current * 10 + static_cast<uint32_t>(*p - '0');
    } else if (*p == '.') {
      ids[stored++] = current;
      current = 0;
    } else {
      break;
    }
  }
  if (current != 0) return false;
  // The identifier is kept in the next slot of the ring; the caller gets its own copy, so a
  // slot that is reused while a conversion is still being read cannot change the result.
  uint32_t claimed = ClaimOidSlot();
  if (claimed_slot != nullptr) *claimed_slot = claimed;
  std::atomic<uint32_t> *slot = g_Oid_Slot[claimed];
  for (uint32_t i = 0; i < kOidSlotIds; ++i) slot[i].store(ids[i], std::memory_order_relaxed);
  oid->length = stored + 1;
  memcpy(oid->ids, ids, oid->length * sizeof(uint32_t));
  return true;
}

bool StringToOid(const char *text, qp_snmp_oid *oid) {
  if (text == nullptr || oid == nullptr) return false;
  if (qp_snmp_oid_from_text(text, oid) == 1) return true;
  if (strcmp(text, kCommunicationStatusOid) == 0) WriteSnmpLog(kLogStrToOid64, 0);
  return ParseOidFallback(text, oid);
}

// ---- GET by slot -----------------------------------------------------------------------------

uint32_t SnmpGetByIndex(const char *oid, uint8_t type, void *out, int quiet, int ups_index) {
  return SnmpGetByIndexStored(oid, type, out, quiet, ups_index, nullptr);
}

uint32_t SnmpGetByIndexStored(const char *oid, uint8_t type, void *out, int quiet, int ups_index,
                              bool *stored) {
  if (stored != nullptr) *stored = false;
  if (ups_index < 0 || ups_index >= UPS_UNIT_COUNT) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogGetIllegalIndex, ups_index);
    return SNMP_RESULT_FAILED;
  }
  bool quiet_lines = quiet == 1;
  Exchange exchange;
  if (!exchange.Open(g_Ups_Ip[ups_index], kIndexTimeOutMs, kIndexRetries)) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexOpenFailed, ups_index,
                  static_cast<int>(exchange.system_error));
    return SNMP_RESULT_FAILED;
  }
  if (oid == nullptr || !StringToOid(oid, &exchange.request.name)) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexBadOid, ups_index);
    return SNMP_RESULT_FAILED;
  }
  exchange.request.value.type = QP_ASN_NULL;
  if (!quiet_lines) WriteSnmpLogF(0, kLogIndexGetRequest, ups_index, oid);
  if (!exchange.Send(QP_SNMP_PDU_GET)) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogIndexRequestFailed, ups_index,
                  static_cast<int>(exchange.system_error));
    return SNMP_RESULT_FAILED;
  }
  if (exchange.error_status != QP_SNMP_ERRORSTATUS_NOERROR) {
    WriteSnmpLogF(SNMP_RESULT_AGENT_ERROR, kLogIndexErrorStatus, ups_index,
                  static_cast<int>(exchange.error_status), static_cast<int>(exchange.error_index));
    return SNMP_RESULT_AGENT_ERROR;
  }
  bool was_stored = StoreValue(exchange.answer.value, type, out);
  if (stored != nullptr) *stored = was_stored;
  LogIndexGetAnswer(exchange.answer.value, type, quiet_lines);
  return SNMP_RESULT_OK;
}

// ---- GET by address ----------------------------------------------------------------------------

uint32_t SnmpGetByAddressStored(const char *address, const char *oid, uint8_t type, void *out,
                                int quiet_level, bool *stored) {
  if (stored != nullptr) *stored = false;
  Exchange exchange;
  // A failed open is never logged by this operation.
  if (!exchange.Open(address, kAddressGetTimeOutMs, kAddressGetRetries)) return SNMP_RESULT_FAILED;
  if (oid == nullptr || !StringToOid(oid, &exchange.request.name)) {
    WriteSnmpLog(kLogAddressGetBadOid, SNMP_RESULT_FAILED);
    return SNMP_RESULT_FAILED;
  }
  exchange.request.value.type = QP_ASN_NULL;
  if (!exchange.Send(QP_SNMP_PDU_GET)) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogAddressGetRequestFailed, static_cast<int>(exchange.system_error));
    return SNMP_RESULT_FAILED;
  }
  if (exchange.error_status != QP_SNMP_ERRORSTATUS_NOERROR) {
    if (quiet_level < 2) {
      WriteSnmpLogF(SNMP_RESULT_AGENT_ERROR, kLogAddressGetErrorStatus,
                    static_cast<int>(exchange.error_status), static_cast<int>(exchange.error_index));
    }
    return SNMP_RESULT_AGENT_ERROR;
  }
  bool was_stored = StoreValue(exchange.answer.value, type, out);
  if (stored != nullptr) *stored = was_stored;
  return SNMP_RESULT_OK;
}

uint32_t SnmpGetByAddress(const char *address, const char *oid, uint8_t type, void *out, int quiet_level) {
  return SnmpGetByAddressStored(address, oid, type, out, quiet_level, nullptr);
}

// ---- SETs ----------------------------------------------------------------------------------------

uint32_t SnmpSetByIndex(const char *oid, uint8_t type, const void *value, int ups_index) {
  if (ups_index < 0 || ups_index >= UPS_UNIT_COUNT) {
    WriteSnmpLogF(SNMP_RESULT_FAILED, kLogSetIllegalIndex, ups_index);
    return SNMP_RESULT_FAILED;
  }
  return SnmpSet(SetVariant::kByIndex, g_Ups_Ip[ups_index], ups_index, oid, type, value);
}

uint32_t SnmpSetByAddress(const char *address, const char *oid, uint8_t type, const void *value) {
  return SnmpSet(SetVariant::kByAddress, address, 0, oid, type, value);
}

uint32_t SnmpSetOutletByAddress(const char *address, const char *oid, uint8_t type, const void *value) {
  return SnmpSet(SetVariant::kOutlet, address, 0, oid, type, value);
}
