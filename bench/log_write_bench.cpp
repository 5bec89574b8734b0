// Cost of one record of the SNMP library log (WriteSnmpLog) and of one entry of the service
// log, each against a bare pwrite of a record of the same length into a file of the same
// folder (the floor set by the kernel), in one run; prints each ratio beside its target of 5.
// Exit status 1 when a target is missed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_state.h"
#include "snmpups_state.h"

namespace {

const char kText[] = "GetUpsStatusFromSnmp[127.0.0.2] error!";
constexpr size_t kSnmpRecord = 113;   // "YYYY/MM/DD hh:mm:ss [xxxxxxxx] " + 80 + CR LF
constexpr size_t kServiceEntry = 70;  // "YYYY/MM/DD hh:mm:ss [xxxxxxxx] " + kText + LF
constexpr double kTarget = 5.0;

char g_root[] = "/tmp/log-bench-XXXXXX";

// A scratch install with its registry file; the SNMP UPS library's log writers and the
// service log of this process write into its DATA folder.
bool Prepare() {
  if (mkdtemp(g_root) == nullptr) return false;
  std::string root = g_root;
  qp_make_dirs((root + "/DATA").c_str());
  FILE *reg = fopen((root + "/registry.reg").c_str(), "w");
  if (reg == nullptr) return false;
  fprintf(reg,
          "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=\"%s\"\r\n",
          g_root);
  fclose(reg);
  setenv("QUORIN_REGISTRY", (root + "/registry.reg").c_str(), 1);
  // The journal copy of the service's lines is not part of the file's cost.
  setenv("QUORIN_JOURNAL", "0", 1);
  snprintf(InstallDir, sizeof InstallDir, "%s", g_root);
  LogMutex.store(qp_mutex_create());
  return LogMutex.load() != nullptr && SnmpUpsLoad();
}

void Finish() {
  SnmpUpsUnload();
  qp_mutex_close(LogMutex.exchange(nullptr));
  ServiceLogClose();
  bench::RemoveTree(g_root);
}

// The floor: pwrite of a record of state.range(0) bytes at the next place of a ring, into a
// file kept open, as the kernel does it at the least.
void BM_BarePwrite(benchmark::State &state) {
  size_t length = static_cast<size_t>(state.range(0));
  std::string path = std::string(g_root) + "/DATA/bare-" + std::to_string(length) + ".log";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    state.SkipWithError("cannot open the file");
    return;
  }
  std::string record(length - 1, 'r');
  record += '\n';
  off_t offset = 0;
  for (auto _ : state) {
    if (pwrite(fd, record.data(), length, 10 + offset) != static_cast<ssize_t>(length)) {
      state.SkipWithError("pwrite failed");
      break;
    }
    offset = (offset + static_cast<off_t>(length)) % 2220000;
  }
  close(fd);
}

void BM_WriteSnmpLog(benchmark::State &state) {
  for (auto _ : state) WriteSnmpLog(kText, SNMP_RESULT_FAILED);
}

void BM_ServiceLog(benchmark::State &state) {
  for (auto _ : state) ServiceLog(kText, SNMP_RESULT_FAILED);
}

BENCHMARK(BM_BarePwrite)->Arg(kSnmpRecord)->Arg(kServiceEntry)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteSnmpLog)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ServiceLog)->Unit(benchmark::kMicrosecond);

// Prints one figure beside its floor; true when it is within the target.
bool Report(const char *what, double seconds, double floor) {
  double ratio = seconds / floor;
  bool met = ratio <= kTarget;
  printf("%s %.2f us, bare pwrite %.2f us, ratio %.2f (%s the target of %.0f)\n", what, seconds * 1e6,
         floor * 1e6, ratio, met ? "meets" : "MISSES", kTarget);
  return met;
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) {
    fprintf(stderr, "could not prepare the install or the log writers (error %u)\n", GetLastError());
    Finish();
    return 1;
  }
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  Finish();
  double bare_record = reporter.Seconds("BM_BarePwrite/" + std::to_string(kSnmpRecord));
  double bare_entry = reporter.Seconds("BM_BarePwrite/" + std::to_string(kServiceEntry));
  double snmp = reporter.Seconds("BM_WriteSnmpLog");
  double service = reporter.Seconds("BM_ServiceLog");
  if (bare_record <= 0 || bare_entry <= 0 || snmp <= 0 || service <= 0) return 1;
  bool met = Report("WriteSnmpLog", snmp, bare_record);
  met = Report("service log entry", service, bare_entry) && met;
  return met ? 0 : 1;
}
