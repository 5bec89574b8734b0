// The runtime directory and the test fault points of the platform layer.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "internal.h"
#include "quorin/qp_error.h"
#include "quorin/qp_runtime.h"

namespace {

constexpr mode_t kFolderMode = 0750;
constexpr char kDefaultOperatorGroup[] = "quorin";

// Makes the runtime folder PATH when it is missing (mode 0750, the operators' group, which
// its files and sub-folders then inherit) and checks it: a real folder, not a link, owned by
// this user or by root, and not writable by others. A folder that fails the check was put
// there by someone else and is refused with ERROR_ACCESS_DENIED. Returns 0 or an errno.
int make_dir(const char *path) {
  bool created = mkdir(path, kFolderMode) == 0;
  if (!created && errno != EEXIST) return errno;
  struct stat st;
  if (lstat(path, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode) || (st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & S_IWOTH) != 0)
    return EACCES;
  if (created) {
    // Only a folder made here is given to the operators: an existing one (a system folder
    // named by mistake, say) keeps its owner and rights.
    gid_t group;
    if (qp_operator_group(&group) && chown(path, static_cast<uid_t>(-1), group) == 0)
      chmod(path, kFolderMode | S_ISGID);
  }
  return 0;
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

bool qp_operator_group(gid_t *group) {
  const char *name = getenv("QUORIN_OPERATOR_GROUP");
  if (name == nullptr || *name == '\0') name = kDefaultOperatorGroup;
  char *end = nullptr;
  unsigned long number = strtoul(name, &end, 10);
  if (end != name && *end == '\0') {
    *group = static_cast<gid_t>(number);
    return true;
  }
  struct group entry;
  struct group *found = nullptr;
  char buffer[4096];
  if (getgrnam_r(name, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  *group = found->gr_gid;
  return true;
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
