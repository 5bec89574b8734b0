// SNMPv1 traps encoded byte by byte, for the tests that must send what no well-behaved tool
// sends (an agent address of another length than four bytes), and a UDP sender for them.
// net-snmp's snmptrap sends every well-formed trap; this encoder is only for the malformed ones.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qt {

// One BER element: TAG, then the length (short or long form), then CONTENT.
inline std::string BerElement(uint8_t tag, const std::string &content) {
  std::string out(1, static_cast<char>(tag));
  size_t n = content.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else {
    std::string bytes;
    for (; n > 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
    out += static_cast<char>(0x80 | bytes.size());
    out += bytes;
  }
  return out + content;
}

inline std::string BerInteger(uint8_t tag, int64_t value) {
  std::string bytes;
  do {
    bytes.insert(bytes.begin(), static_cast<char>(value & 0xFF));
    value >>= 8;
  } while (!((value == 0 && !(bytes[0] & 0x80)) || (value == -1 && (bytes[0] & 0x80))));
  return BerElement(tag, bytes);
}

// An OID from its sub-identifiers (at least two).
inline std::string BerOid(const std::vector<uint32_t> &ids) {
  std::string bytes(1, static_cast<char>(ids[0] * 40 + ids[1]));
  for (size_t i = 2; i < ids.size(); ++i) {
    std::string part;
    uint32_t v = ids[i];
    part.insert(part.begin(), static_cast<char>(v & 0x7F));
    for (v >>= 7; v > 0; v >>= 7) part.insert(part.begin(), static_cast<char>(0x80 | (v & 0x7F)));
    bytes += part;
  }
  return BerElement(0x06, bytes);
}

// One variable binding: NAME and an already encoded VALUE.
inline std::string BerBinding(const std::vector<uint32_t> &name, const std::string &value) {
  return BerElement(0x30, BerOid(name) + value);
}

// A v1 Trap message with AGENT_ADDRESS sent as it is (any length).
inline std::string RawV1Trap(const std::string &community, const std::vector<uint32_t> &enterprise,
                             const std::string &agent_address, int generic, int specific,
                             const std::vector<std::string> &bindings) {
  std::string list;
  for (const std::string &b : bindings) list += b;
  std::string pdu = BerOid(enterprise) + BerElement(0x40, agent_address) + BerInteger(0x02, generic) +
                    BerInteger(0x02, specific) + BerInteger(0x43, 100) + BerElement(0x30, list);
  return BerElement(0x30, BerInteger(0x02, 0) + BerElement(0x04, community) + BerElement(0xA4, pdu));
}

// Sends DATAGRAM to 127.0.0.1:PORT; true when the system took it.
inline bool SendUdp(uint16_t port, const std::string &datagram) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  ssize_t sent =
      sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
  return sent == static_cast<ssize_t>(datagram.size());
}

}  // namespace qt
