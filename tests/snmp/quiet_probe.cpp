// Uses the SNMP manager layer in a process of its own so that a test can check what it prints
// and what it writes: one GET, one unanswered GET, a listener fed with a malformed datagram and
// then a well-formed trap.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "quorin/platform.h"
#include "quorin/qp_error.h"
#include "quorin/qp_snmp.h"

static int get_status(const char *agent, uint32_t timeout_ms, int32_t *value) {
  qp_snmp_session *session = qp_snmp_open(agent, "public", timeout_ms, 0);
  if (session == nullptr) return 0;
  qp_snmp_varbind in{}, out{};
  uint32_t status = 0, index = 0;
  qp_snmp_oid_from_text(".1.3.6.1.4.1.318.1.1.1.4.1.1.0", &in.name);
  in.value.type = QP_ASN_NULL;
  int ok = qp_snmp_request(session, QP_SNMP_PDU_GET, &in, &out, &status, &index);
  uint32_t error = GetLastError();
  *value = out.value.integer;
  qp_snmp_value_free(&out.value);
  qp_snmp_close(session);
  SetLastError(error);
  return ok;
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  int32_t value = 0;
  if (get_status(argv[1], 2000, &value)) printf("get %d\n", value);
  if (!get_status(argv[2], 100, &value)) printf("silent %u\n", GetLastError());
  qp_event *event = qp_snmp_trap_listen();
  if (event == nullptr) return 3;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(qp_snmp_trap_port());
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const unsigned char broken[] = {0x30, 0x10, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',
                                  'u',  'b',  'l',  'i',  'c',  0xa4, 0x7f, 0x00};
  sendto(fd, broken, sizeof broken, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  // Then a well-formed SNMPv1 trap (enterprise .1.3.6.1.4.1.318, agent 127.0.0.1, specific 1):
  // once it is received, the malformed datagram before it has been dealt with too.
  const unsigned char good[] = {0x30, 0x27, 0x02, 0x01, 0x00, 0x04, 0x06, 'p',  'u',  'b',  'l',
                                'i',  'c',  0xa4, 0x1a, 0x06, 0x07, 0x2b, 0x06, 0x01, 0x04, 0x01,
                                0x82, 0x3e, 0x40, 0x04, 0x7f, 0x00, 0x00, 0x01, 0x02, 0x01, 0x06,
                                0x02, 0x01, 0x01, 0x43, 0x01, 0x00, 0x30, 0x00};
  sendto(fd, good, sizeof good, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
  qp_snmp_trap trap;
  int got = 0;
  for (int i = 0; i < 100 && !(got = qp_snmp_get_trap(&trap)); ++i) {
    qp_event_wait(event, 100);
    qp_event_reset(event);
  }
  if (got) printf("trap %d %d\n", trap.generic_trap, trap.specific_trap);
  if (!qp_snmp_get_trap(&trap)) printf("traps %u\n", GetLastError());
  return 0;
}
