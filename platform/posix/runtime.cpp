// The runtime directory and the test fault points of the platform layer.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

#include "quorin/qp_error.h"
#include "quorin/qp_runtime.h"

namespace {

int make_dir(const char *path) {
  if (mkdir(path, 0775) == 0 || errno == EEXIST) return 0;
  return errno;
}

// One configured fault: POINT fails COUNT times after SKIP successful calls.
struct FaultRule {
  char point[32];
  long skip;
  long count;  // -1 = for ever
  std::atomic<long> calls{0};
};

constexpr int kMaxRules = 16;

struct FaultTable {
  FaultRule rules[kMaxRules];
  int used = 0;
  FaultTable() {
    const char *configured = getenv("QUORIN_FAULTS");
    if (configured == nullptr) return;
    char copy[512];
    snprintf(copy, sizeof copy, "%s", configured);
    char *save = nullptr;
    for (char *item = strtok_r(copy, ",", &save); item != nullptr && used < kMaxRules;
         item = strtok_r(nullptr, ",", &save)) {
      FaultRule &rule = rules[used];
      rule.skip = 0;
      rule.count = -1;
      char *colon = strchr(item, ':');
      if (colon != nullptr) {
        *colon = '\0';
        rule.skip = strtol(colon + 1, nullptr, 10);
        char *second = strchr(colon + 1, ':');
        if (second != nullptr) rule.count = strtol(second + 1, nullptr, 10);
      }
      snprintf(rule.point, sizeof rule.point, "%s", item);
      ++used;
    }
  }
};

FaultTable &faults() {
  static FaultTable table;
  return table;
}

}  // namespace

int qp_runtime_path(const char *sub, char *out, size_t out_size) {
  const char *base = getenv("QUORIN_RUNTIME_DIR");
  if (base == nullptr || *base == '\0') base = "/run/quorin";
  int err = make_dir(base);
  if (err != 0) {
    qp_set_error_from_errno(err);
    return 0;
  }
  int n =
      (sub == nullptr) ? snprintf(out, out_size, "%s", base) : snprintf(out, out_size, "%s/%s", base, sub);
  if (n < 0 || static_cast<size_t>(n) >= out_size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  if (sub != nullptr) {
    err = make_dir(out);
    if (err != 0) {
      qp_set_error_from_errno(err);
      return 0;
    }
  }
  return 1;
}

int qp_fault_hit(const char *point) {
  FaultTable &table = faults();
  for (int i = 0; i < table.used; ++i) {
    FaultRule &rule = table.rules[i];
    if (strcmp(rule.point, point) != 0) continue;
    long call = rule.calls.fetch_add(1);
    if (call < rule.skip) return 0;
    if (rule.count >= 0 && call >= rule.skip + rule.count) return 0;
    return 1;
  }
  return 0;
}
