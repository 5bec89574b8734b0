// Cost of one GET through the SNMP manager layer (open, request and close per GET, as the SNMP
// UPS library does; the layer keeps the closed session idle for the next open) against one
// bare UDP round trip of the same datagram to the same upssim card on loopback; prints the
// ratio beside its target of 1.5. Exit status 1 when the target is missed.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "snmp_bench_support.h"
#include "quorin/qp_snmp.h"

namespace {

const char kAgentAddress[] = "127.0.0.2";
const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
constexpr double kTarget = 1.5;

std::string g_agent;  // "127.0.0.2:PORT"
uint16_t g_port = 0;
char g_runtime[] = "/tmp/snmp-bench-XXXXXX";

bench::UpssimCard g_card;

bool start_simulator() {
  if (mkdtemp(g_runtime) == nullptr) return false;
  g_port = bench::FreeUdpPort(kAgentAddress);
  g_agent = std::string(kAgentAddress) + ":" + std::to_string(g_port);
  return g_port != 0 && g_card.Start(g_runtime, kAgentAddress, g_port, "");
}

void stop_simulator() {
  g_card.Stop();
  bench::RemoveTree(g_runtime);
}

// The GetRequest datagram the layer sends, built once with the same library.
std::vector<uint8_t> get_datagram() {
  netsnmp_session session;
  snmp_sess_init(&session);
  session.version = SNMP_VERSION_1;
  session.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
  session.community_len = 6;
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  pdu->version = SNMP_VERSION_1;
  pdu->reqid = 4242;
  qp_snmp_oid parsed;
  qp_snmp_oid_from_text(kOutputStatus, &parsed);
  oid name[QP_SNMP_MAX_OID_LENGTH];
  for (uint32_t i = 0; i < parsed.length; ++i) name[i] = parsed.ids[i];
  snmp_add_null_var(pdu, name, parsed.length);
  size_t size = 2048, offset = 0;
  auto *buffer = static_cast<u_char *>(malloc(size));
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE, 1);
  std::vector<uint8_t> out;
  if (snmp_build(&buffer, &size, &offset, &session, pdu) == 0)
    out.assign(buffer + size - offset, buffer + size);
  free(buffer);
  snmp_free_pdu(pdu);
  return out;
}

void BM_LayerGet(benchmark::State &state) {
  bench::LayerGetLoop(state, g_agent.c_str(), "public", kOutputStatus);
}

void BM_BareUdpRoundTrip(benchmark::State &state) {
  std::vector<uint8_t> datagram = get_datagram();
  if (datagram.empty()) {
    state.SkipWithError("could not encode the GetRequest");
    return;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(g_port);
  inet_pton(AF_INET, kAgentAddress, &to.sin_addr);
  timeval timeout = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  uint8_t answer[2048];
  for (auto _ : state) {
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (recv(fd, answer, sizeof answer, 0) <= 0) {
      state.SkipWithError("no answer");
      break;
    }
  }
  close(fd);
}

BENCHMARK(BM_LayerGet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareUdpRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (!start_simulator()) {
    fprintf(stderr, "upssim did not start\n");
    stop_simulator();
    return 1;
  }
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  stop_simulator();
  double layer = reporter.Seconds("BM_LayerGet");
  double bare = reporter.Seconds("BM_BareUdpRoundTrip");
  if (layer <= 0 || bare <= 0) return 1;
  bool met = layer / bare <= kTarget;
  printf("layer GET %.1f us, bare UDP round trip %.1f us, ratio %.2f (%s the target of %.1f)\n", layer * 1e6,
         bare * 1e6, layer / bare, met ? "meets" : "MISSES", kTarget);
  return met ? 0 : 1;
}
