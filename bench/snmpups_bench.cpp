// Cost of GetUpsStatusFromSnmp of SNMPUPS.DLL (loaded by name as the service loads it) against a
// bare GET of the same variable through the SNMP manager layer, both on one upssim card on
// loopback. (The SNMP library log's record is measured by log_write_bench.)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "bench_support.h"
#include "snmp_bench_support.h"
#include "quorin/platform.h"

namespace {

const char kAgentAddress[] = "127.0.0.2";
const char kOutputStatus[] = ".1.3.6.1.4.1.318.1.1.1.4.1.1.0";
const char kCommunity[] = "kelpie";

char g_root[] = "/tmp/snmpups-bench-XXXXXX";
bench::UpssimCard g_card;
qp_library *g_library = nullptr;
int (*g_get_status)(const char *, int *) = nullptr;

// A scratch install (DATA folder and registry file) and one upssim card on a free port.
bool Prepare() {
  if (mkdtemp(g_root) == nullptr) return false;
  std::string root = g_root;
  qp_make_dirs((root + "/DATA").c_str());
  qp_make_dirs((root + "/run").c_str());
  FILE *reg = fopen((root + "/registry.reg").c_str(), "w");
  if (reg == nullptr) return false;
  fprintf(reg,
          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=\"%s\"\r\n",
          g_root);
  fclose(reg);
  setenv("QUORIN_REGISTRY", (root + "/registry.reg").c_str(), 1);

  uint16_t port = bench::FreeUdpPort(kAgentAddress);
  if (port == 0) return false;
  std::string port_text = std::to_string(port);
  setenv("QUORIN_SNMP_PORT", port_text.c_str(), 1);
  if (!g_card.Start(root + "/run", kAgentAddress, port, kCommunity)) return false;

  g_library = qp_library_load((std::string(QUORIN_OUT_DIR) + "/SNMPUPS.DLL").c_str());
  if (g_library == nullptr) return false;
  g_get_status =
      reinterpret_cast<int (*)(const char *, int *)>(qp_library_symbol(g_library, "GetUpsStatusFromSnmp"));
  return g_get_status != nullptr;
}

void Finish() {
  if (g_library != nullptr) qp_library_free(g_library);
  g_card.Stop();
  bench::RemoveTree(g_root);
}

void BM_GetUpsStatusFromSnmp(benchmark::State &state) {
  for (auto _ : state) {
    int status = 0;
    if (g_get_status(kAgentAddress, &status) != 1 || status != 2) {
      state.SkipWithError("GetUpsStatusFromSnmp failed");
      break;
    }
  }
}

// The same GET as the export makes: 200 ms, 2 retries.
void BM_LayerGet(benchmark::State &state) {
  bench::LayerGetLoop(state, kAgentAddress, kCommunity, kOutputStatus);
}

BENCHMARK(BM_GetUpsStatusFromSnmp)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LayerGet)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) {
    fprintf(stderr, "could not prepare the install, the card or the library (error %u)\n", GetLastError());
    Finish();
    return 1;
  }
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  Finish();
  double exported = reporter.Seconds("BM_GetUpsStatusFromSnmp");
  double layer = reporter.Seconds("BM_LayerGet");
  if (exported > 0 && layer > 0)
    printf("GetUpsStatusFromSnmp %.1f us, layer GET %.1f us, ratio %.2f\n", exported * 1e6, layer * 1e6,
           exported / layer);
  return 0;
}
