// Round trips of "C02" through the real service's pipe, against a bare SEQPACKET echo server
// on the same machine (the floor set by the kernel), with the ratio of the two rates.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "bench_support.h"

namespace {

// The service's rate as a share of the echo floor's, at the least.
constexpr double kTarget = 1.0 / 3;

std::string g_root;
std::string g_service_socket;
std::string g_echo_socket;
std::atomic<bool> g_echo_running{false};

int run(const std::string &command) {
  return system(command.c_str());
}

// One exchange: connect, write the request, read the reply, close.
bool round_trip(const std::string &path, char *reply, size_t size) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
            send(fd, "C02 0000", 8, 0) == 8 && recv(fd, reply, size, 0) > 0;
  close(fd);
  return ok;
}

// The floor: accept, read one message, send it back, close; one connection at a time.
void echo_server(int listen_fd) {
  char buffer[4096];
  while (g_echo_running.load()) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) continue;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) send(fd, buffer, static_cast<size_t>(n), 0);
    close(fd);
  }
}

void setup_service() {
  char tmpl[] = "/tmp/quorin-bench-XXXXXX";
  g_root = mkdtemp(tmpl);
  std::string out = QUORIN_OUT_DIR;
  run("mkdir -p " + g_root + "/opt/DATA " + g_root + "/run && cp " + out + "/quomvlsv " + out +
      "/libquorin_platform.so " + g_root + "/opt/");
  setenv("QUORIN_RUNTIME_DIR", (g_root + "/run").c_str(), 1);
  setenv("QUORIN_REGISTRY", (g_root + "/registry.reg").c_str(), 1);
  if (run(out + "/svcctl start Mavr_tsr_monitor " + g_root + "/opt/quomvlsv > /dev/null") != 0) {
    fprintf(stderr, "service did not start\n");
    exit(1);
  }
  g_service_socket = g_root + "/run/pipe/npquomvl1";
  g_echo_socket = g_root + "/echo";
}

void teardown_service() {
  run(std::string(QUORIN_OUT_DIR) + "/svcctl stop Mavr_tsr_monitor > /dev/null");
  bench::RemoveTree(g_root);
}

void BM_ServiceC02RoundTrip(benchmark::State &state) {
  char reply[64];
  for (auto _ : state) {
    if (!round_trip(g_service_socket, reply, sizeof reply) || memcmp(reply, "C02 00014", 9) != 0) {
      state.SkipWithError("no reply from the service");
      break;
    }
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_EchoRoundTrip(benchmark::State &state) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", g_echo_socket.c_str());
  unlink(addr.sun_path);
  bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  listen(fd, 128);
  g_echo_running = true;
  std::thread server(echo_server, fd);
  char reply[64];
  for (auto _ : state) {
    if (!round_trip(g_echo_socket, reply, sizeof reply)) {
      state.SkipWithError("no echo");
      break;
    }
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  g_echo_running = false;
  shutdown(fd, SHUT_RDWR);
  round_trip(g_echo_socket, reply, sizeof reply);  // wakes the accept
  server.join();
  close(fd);
}

BENCHMARK(BM_ServiceC02RoundTrip)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_EchoRoundTrip)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  setup_service();
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  teardown_service();
  double service = reporter.Seconds("BM_ServiceC02RoundTrip");
  double echo = reporter.Seconds("BM_EchoRoundTrip");
  if (service <= 0 || echo <= 0) return 1;
  double ratio = echo / service;  // the service's rate as a share of the echo floor's
  bool met = ratio >= kTarget;
  printf("service C02 round trips/s: %.0f, echo floor: %.0f, ratio: 1/%.1f (%s the 1/3 target)\n",
         1 / service, 1 / echo, service / echo, met ? "meets" : "MISSES");
  return met ? 0 : 1;
}
