/* SNMP manager: SNMPv1 GET and SET of one variable on a UPS network card, OID texts, and the
 * listener that receives the cards' traps.
 *
 * Sessions. A session names one agent (address text, community, time-out, retry count); a
 * request sends one GetRequest or SetRequest of a single variable binding and waits for the
 * answer. An unanswered request is sent again RETRIES times, each attempt waiting TIMEOUT_MS,
 * so 200 ms with 2 retries gives up after about 600 ms. The agent port is QUORIN_SNMP_PORT
 * (default 161). Sessions are independent: any number of threads may each open, use and close
 * their own sessions at the same time. A session is used by one thread at a time.
 *
 * Closing a session keeps it idle for a while, and the next open of the same agent, community,
 * time-out and retry count takes it instead of making a new one: what opening costs stays out
 * of later requests. Nothing a request sees changes with it: each request waits with its own
 * session's time-out and retries, is sent with a new request id, and takes only the answer
 * that carries that id (a late answer to an earlier request is dropped).
 *
 * Traps. qp_snmp_trap_listen binds UDP port QUORIN_SNMP_TRAP_PORT (default 162) on every
 * address and starts a thread that reads the socket, decodes each datagram and queues every
 * trap in arrival order; the queue has no limit, so a burst is never lost once it has reached
 * the socket. The event it returns is signalled whenever a trap is queued; qp_snmp_get_trap
 * takes the oldest queued trap.
 *
 * Errors. Calls return 1 on success and 0 on failure with the Windows-style code left as the
 * thread's last error: QP_SNMP_MGMTAPI_TIMEOUT (40) for an agent that never answered,
 * QP_SNMP_MGMTAPI_TRAP_ERRORS (42) when the trap port cannot be opened,
 * QP_SNMP_MGMTAPI_NOTRAPS (44) when no trap is queued, ERROR_INVALID_PARAMETER (87) for a bad
 * argument (an address that does not resolve, an OID text that does not parse, an unknown
 * type), ERROR_NOT_ENOUGH_MEMORY (8), or the translation of the system error of a failed
 * socket call.
 *
 * Test fault points (QUORIN_FAULTS, see qp_runtime.h): "snmp_open" makes qp_snmp_open fail
 * with ERROR_GEN_FAILURE, "snmp_request" makes qp_snmp_request fail with
 * QP_SNMP_MGMTAPI_TIMEOUT without sending anything.
 *
 * The SNMP library underneath loads no MIB files, reads no configuration, writes no state
 * files and prints nothing.
 */
#pragma once

#include "qp_base.h"
#include "qp_sync.h"

/* Value types: the ASN.1 tags of SNMPv1, the numbers that logs show. */
enum {
  QP_ASN_INTEGER = 0x02,
  QP_ASN_OCTET_STRING = 0x04,
  QP_ASN_NULL = 0x05,
  QP_ASN_OBJECT_IDENTIFIER = 0x06,
  QP_ASN_SEQUENCE = 0x30,
  QP_ASN_IPADDRESS = 0x40,
  QP_ASN_COUNTER = 0x41,
  QP_ASN_GAUGE = 0x42,
  QP_ASN_TIMETICKS = 0x43,
  QP_ASN_OPAQUE = 0x44,
};

/* Request PDU types. */
enum { QP_SNMP_PDU_GET = 0xA0, QP_SNMP_PDU_SET = 0xA3 };

/* Error status of an answer. */
enum {
  QP_SNMP_ERRORSTATUS_NOERROR = 0,
  QP_SNMP_ERRORSTATUS_TOOBIG = 1,
  QP_SNMP_ERRORSTATUS_NOSUCHNAME = 2,
  QP_SNMP_ERRORSTATUS_BADVALUE = 3,
  QP_SNMP_ERRORSTATUS_READONLY = 4,
  QP_SNMP_ERRORSTATUS_GENERR = 5,
};

/* Last-error codes of the manager calls (the Windows SNMP management numbers). */
enum {
  QP_SNMP_MGMTAPI_TIMEOUT = 40,
  QP_SNMP_MGMTAPI_SELECT_FDERRORS = 41,
  QP_SNMP_MGMTAPI_TRAP_ERRORS = 42,
  QP_SNMP_MGMTAPI_NOTRAPS = 44,
  QP_SNMP_MGMTAPI_AGENT_ERRORS = 45,
  QP_SNMP_MGMTAPI_INVALID_SESSION = 47,
};

/* Longest object identifier, in sub-identifiers. */
#define QP_SNMP_MAX_OID_LENGTH 128

typedef struct qp_snmp_oid {
  uint32_t length; /* sub-identifiers used */
  uint32_t ids[QP_SNMP_MAX_OID_LENGTH];
} qp_snmp_oid;

/* One value. TYPE selects the field that holds it:
 *   INTEGER                     integer
 *   Counter, Gauge, TimeTicks   number
 *   OCTET STRING, Opaque        bytes, length (no terminator is counted)
 *   IpAddress                   bytes, length 4
 *   OBJECT IDENTIFIER           oid
 *   NULL                        nothing
 * Values that the layer hands out (answers, traps) own their bytes, released with
 * qp_snmp_value_free; values that the caller passes in are only read. */
typedef struct qp_snmp_value {
  uint8_t type;
  int32_t integer;
  uint32_t number;
  uint8_t *bytes;
  uint32_t length;
  qp_snmp_oid oid;
} qp_snmp_value;

typedef struct qp_snmp_varbind {
  qp_snmp_oid name;
  qp_snmp_value value;
} qp_snmp_varbind;

typedef struct qp_snmp_session qp_snmp_session;

/* Port numbers in force: QUORIN_SNMP_PORT (default 161) and QUORIN_SNMP_TRAP_PORT (162). */
QP_API uint16_t qp_snmp_agent_port(void);
QP_API uint16_t qp_snmp_trap_port(void);

/* Opens a session to AGENT (a dotted IPv4 address or a host name, optionally followed by
 * ":PORT"; without a port the agent port applies) with COMMUNITY. TIMEOUT_MS is the wait for
 * each attempt, RETRIES the number of repetitions of an unanswered request. No datagram is
 * sent. NULL with the last error on failure (ERROR_INVALID_PARAMETER for an address that does
 * not resolve). */
QP_API qp_snmp_session *qp_snmp_open(const char *agent, const char *community, uint32_t timeout_ms,
                                     uint32_t retries);

/* Sends one request of PDU_TYPE (QP_SNMP_PDU_GET or QP_SNMP_PDU_SET) carrying REQUEST, and
 * waits for the answer. A GET sends its binding with the value NULL whatever REQUEST's value.
 * Returns 1 when the agent answered: *ERROR_STATUS and *ERROR_INDEX are the answer's, and
 * ANSWER holds the answer's binding (release it with qp_snmp_value_free). Returns 0 with the
 * last error when no answer came (QP_SNMP_MGMTAPI_TIMEOUT after all retries) or the request
 * could not be sent; ANSWER then holds a NULL value. */
QP_API int qp_snmp_request(qp_snmp_session *session, uint32_t pdu_type, const qp_snmp_varbind *request,
                           qp_snmp_varbind *answer, uint32_t *error_status, uint32_t *error_index);

/* Closes a session (NULL is ignored). A session whose last request was answered or timed out
 * is kept idle for the next open of the same agent, community, time-out and retry count
 * (for up to a minute); one that failed otherwise is closed at once. */
QP_API void qp_snmp_close(qp_snmp_session *session);

/* Number of sessions kept idle now. */
QP_API uint32_t qp_snmp_idle_sessions(void);

/* Converts dotted decimal TEXT (".1.3.6.1.2.1.1.1.0"; the leading dot may be left out) into
 * *OID: 1, or 0 with ERROR_INVALID_PARAMETER for a text that is not two to 128 decimal
 * sub-identifiers of at most 4294967295 separated by single dots (names are not known: no MIB
 * is loaded). */
QP_API int qp_snmp_oid_from_text(const char *text, qp_snmp_oid *oid);

/* Writes OID as ".1.3.6..." into OUT (SIZE bytes, always terminated): the length written, or
 * 0 with ERROR_INSUFFICIENT_BUFFER when it does not fit (OUT then holds the cut text). */
QP_API uint32_t qp_snmp_oid_to_text(const qp_snmp_oid *oid, char *out, size_t size);

/* Orders two identifiers sub-identifier by sub-identifier, a prefix before the longer one:
 * below 0, 0 or above 0. */
QP_API int qp_snmp_oid_compare(const qp_snmp_oid *a, const qp_snmp_oid *b);

/* Releases the bytes of a value handed out by the layer and leaves it a NULL value. */
QP_API void qp_snmp_value_free(qp_snmp_value *value);

/* One received trap, in the SNMPv1 form. A v2c notification is given the same form: its
 * snmpTrapOID names the enterprise and the trap numbers, and its agent address is the
 * snmpTrapAddress binding or else the sender's address. */
typedef struct qp_snmp_trap {
  qp_snmp_oid enterprise;
  uint8_t agent_address[16];     /* the agent-addr field of the trap */
  uint32_t agent_address_length; /* its length as sent: 4 for IPv4 (a v1 trap may send fewer
                                    bytes; one with more than 4 is not a well-formed trap) */
  uint8_t source_address[4];     /* the sender of the datagram */
  uint16_t source_port;
  int32_t generic_trap;
  int32_t specific_trap;
  uint32_t time_stamp; /* TimeTicks */
  char community[64];  /* cut to 63 characters */
  uint32_t varbind_count;
  qp_snmp_varbind *varbinds; /* owned by the trap */
} qp_snmp_trap;

/* Opens the trap listener on first use and returns its event, a manual-reset event that the
 * listener signals whenever it queues a trap; the caller resets it. Later calls return the
 * same event. The event and the listener belong to the layer and last until the process
 * ends: do not close the event. NULL with QP_SNMP_MGMTAPI_TRAP_ERRORS when the trap port
 * cannot be bound. */
QP_API qp_event *qp_snmp_trap_listen(void);

/* Takes the oldest queued trap into *TRAP: 1, or 0 with QP_SNMP_MGMTAPI_NOTRAPS (44) when
 * none is queued (also when no listener was opened). Release it with qp_snmp_trap_free. */
QP_API int qp_snmp_get_trap(qp_snmp_trap *trap);

/* Number of traps queued and not yet taken. */
QP_API uint32_t qp_snmp_trap_count(void);

/* Releases what a trap owns (its bindings and their bytes) and empties it. */
QP_API void qp_snmp_trap_free(qp_snmp_trap *trap);
