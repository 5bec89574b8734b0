// Time the real service takes to answer K02 and PCS over 130 UPS units on upssim cards when
// some cards are silent, against the time-out window of one silent card (one
// GetUpsStatusFromSnmp of a silent card by the same library, timed in this process), in one
// run. Targets: with 10 silent storage cards the answer comes within 1.3 windows, with all
// 130 silent within 2. Exit status 1 when a target is missed.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bench_support.h"
#include "quorin/platform.h"
#include "service_bench_support.h"

namespace {

constexpr double kTenSilentTarget = 1.3;
constexpr double kAllSilentTarget = 2.0;
constexpr int kSilentCount = 10;

bench::ServiceBench g_service;
qp_library *g_library = nullptr;
int (*g_get_status)(const char *, int *) = nullptr;

// The silent cards of the first runs: ten storage cards spread over the four storage units.
std::string SilentCard(int k) {
  return bench::CardAddress(5 + 13 * k);
}

// SNMPUPS.DLL in this process, with an install of its own (its log apart from the service's).
bool LoadLibraryHere() {
  std::string install = g_service.root() + "/bench";
  qp_make_dirs((install + "/DATA").c_str());
  bench::ServiceBench::WriteRegistry(g_service.root() + "/bench.reg", install);
  setenv("QUORIN_REGISTRY", (g_service.root() + "/bench.reg").c_str(), 1);
  g_library = qp_library_load((g_service.root() + "/opt/SNMPUPS.DLL").c_str());
  if (g_library == nullptr) return false;
  g_get_status =
      reinterpret_cast<int (*)(const char *, int *)>(qp_library_symbol(g_library, "GetUpsStatusFromSnmp"));
  return g_get_status != nullptr;
}

void BM_SilentCardWindow(benchmark::State &state) {
  std::string card = SilentCard(0);
  for (auto _ : state) {
    int status = 0;
    if (g_get_status(card.c_str(), &status) != 0) {
      state.SkipWithError("the silent card answered");
      break;
    }
  }
}

void Exchange(benchmark::State &state, const char *request, const char *reply) {
  for (auto _ : state) {
    std::string got = g_service.Request(request);
    if (got != reply) {
      state.SkipWithError(("unexpected reply: " + got).c_str());
      break;
    }
  }
}

void BM_K02TenSilent(benchmark::State &state) {
  Exchange(state, "K02 0000", "K02 13014");
}
void BM_PcsTenSilent(benchmark::State &state) {
  Exchange(state, "PCS 0000", "PCS 1000");
}

// The remaining cards go silent before the first run of the all-silent figures.
void SilenceAll() {
  static bool done = false;
  if (done) return;
  done = true;
  for (int i = 0; i < bench::kUnits; ++i) g_service.Ctl(bench::CardAddress(i), "fault silent on");
}
void BM_K02AllSilent(benchmark::State &state) {
  SilenceAll();
  Exchange(state, "K02 0000", "K02 13014");
}
void BM_PcsAllSilent(benchmark::State &state) {
  SilenceAll();
  Exchange(state, "PCS 0000", "PCS 1000");
}

BENCHMARK(BM_SilentCardWindow)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_K02TenSilent)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcsTenSilent)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_K02AllSilent)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PcsAllSilent)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

bool Report(const char *what, double seconds, double window, double target) {
  double ratio = seconds / window;
  bool met = seconds > 0 && ratio <= target;
  printf("%s %.0f ms, window of one silent card %.0f ms, ratio %.2f (%s the target of %.1f)\n", what,
         seconds * 1e3, window * 1e3, ratio, met ? "meets" : "MISSES", target);
  return met;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  if (!g_service.Start() || !LoadLibraryHere()) {
    fprintf(stderr, "could not start the service, the cards or the library here\n");
    g_service.Stop();
    return 1;
  }
  for (int k = 0; k < kSilentCount; ++k) g_service.Ctl(SilentCard(k), "fault silent on");
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  g_service.Stop();
  double window = reporter.Seconds("BM_SilentCardWindow");
  if (window <= 0) return 1;
  bool met =
      Report("K02, 10 of 130 cards silent:", reporter.Seconds("BM_K02TenSilent"), window, kTenSilentTarget);
  met =
      Report("PCS, 10 of 130 cards silent:", reporter.Seconds("BM_PcsTenSilent"), window, kTenSilentTarget) &&
      met;
  met = Report("K02, all 130 cards silent:", reporter.Seconds("BM_K02AllSilent"), window, kAllSilentTarget) &&
        met;
  met = Report("PCS, all 130 cards silent:", reporter.Seconds("BM_PcsAllSilent"), window, kAllSilentTarget) &&
        met;
  return met ? 0 : 1;
}
