// Resident memory of the real service with 130 UPS units configured (all cards answering),
// read from /proc after the first K02, after 1,000 and after 10,000 K02 requests (another
// count can be given as an argument). Targets: at most 8 MB after the last request, and no
// growth from the 1,000th to the last beyond 64 kB. Exit status 1 when a target is missed.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "service_bench_support.h"

namespace {

constexpr long kCeilingKb = 8 * 1024;
constexpr long kGrowthKb = 64;
constexpr long kSettleRequests = 1000;

bool K02(bench::ServiceBench &service) {
  std::string reply = service.Request("K02 0000");
  if (reply == "K02 00014") return true;
  fprintf(stderr, "unexpected reply: %s\n", reply.c_str());
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  // A number among the arguments is the count; options of the other benchmarks are ignored.
  long requests = 10000;
  for (int i = 1; i < argc; ++i)
    if (argv[i][0] >= '0' && argv[i][0] <= '9') requests = atol(argv[i]);
  if (requests < kSettleRequests) requests = kSettleRequests;
  bench::ServiceBench service;
  if (!service.Start()) return 1;
  if (!K02(service)) return 1;
  long first = service.ResidentKb();
  auto start = std::chrono::steady_clock::now();
  for (long i = 1; i < kSettleRequests; ++i)
    if (!K02(service)) return 1;
  long settled = service.ResidentKb();
  for (long i = kSettleRequests; i < requests; ++i)
    if (!K02(service)) return 1;
  long last = service.ResidentKb();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  service.Stop();
  if (first <= 0 || settled <= 0 || last <= 0) {
    fprintf(stderr, "could not read the service's resident memory\n");
    return 1;
  }
  bool below = last <= kCeilingKb;
  bool flat = last - settled <= kGrowthKb;
  printf(
      "service resident memory, 130 UPS configured: %ld kB after 1 K02, %ld kB after %ld, %ld kB after %ld "
      "(%.1f K02/s)\n",
      first, settled, kSettleRequests, last, requests, static_cast<double>(requests - 1) / seconds);
  printf(
      "resident memory %ld kB, ceiling %ld kB, ratio %.2f (%s the target); growth %+ld kB from the %ldth "
      "(%s the target of %ld kB)\n",
      last, kCeilingKb, static_cast<double>(last) / kCeilingKb, below ? "meets" : "MISSES", last - settled,
      kSettleRequests, flat ? "meets" : "MISSES", kGrowthKb);
  return below && flat ? 0 : 1;
}
