// Test stand-in for SNMPUPS.DLL: answers the service's calls as the test's script file says
// and records every call. Built in variants without some entries.
//
// Script (profile file named by QT_FAKE_SCRIPT):
//   [status] ADDRESS=output status | fail    (missing: 2)
//   [off]    ADDRESS=result of SetUpsOffbySnmp (missing: 1)
// Calls are appended to the file named by QT_FAKE_CALLS, one line each.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "quorin/platform.h"

namespace {

std::mutex g_calls_lock;

void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void record(const char *format, ...) {
  const char *path = getenv("QT_FAKE_CALLS");
  if (path == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(g_calls_lock);
  FILE *f = fopen(path, "a");
  if (f == nullptr) return;
  fprintf(f, "%s\n", line);
  fclose(f);
}

void script(const char *section, const char *key, const char *def, char *out, uint32_t size) {
  const char *path = getenv("QT_FAKE_SCRIPT");
  qp_profile_get_string(section, key, def, out, size, path != nullptr ? path : "/nonexistent");
}

}  // namespace

#ifndef FAKE_NO_STATUS
QP_DLL_EXPORT int GetUpsStatusFromSnmp(const char *address, int32_t *output_status) {
  record("GetUpsStatusFromSnmp %s", address);
  char value[32];
  script("status", address, "2", value, sizeof value);
  if (strcmp(value, "fail") == 0) return 0;
  *output_status = atoi(value);
  return 1;
}
#endif

#ifndef FAKE_NO_SET
QP_DLL_EXPORT int SetUpsOffbySnmp(const char *address, int32_t value, int32_t mode) {
  record("SetUpsOffbySnmp %s %d %d", address, value, mode);
  char result[32];
  script("off", address, "1", result, sizeof result);
  return atoi(result);
}

QP_DLL_EXPORT int SetUpsPowerFailOffbySnmp(const char *address) {
  record("SetUpsPowerFailOffbySnmp %s", address);
  return 1;
}
#endif
