// Test stand-in for SNMPUPS.DLL: answers the service's calls as the test's script file says
// and records every call. Built in variants without some entries.
//
// Script (profile file named by QT_FAKE_SCRIPT):
//   [status] ADDRESS=output status | fail    (missing: 2)
//   [status] delay_ms=N                       time each status read takes (real milliseconds)
//   [off]    ADDRESS=result of SetUpsOffbySnmp (missing: 1)
// Calls are appended to the file named by QT_FAKE_CALLS, one line each.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "fake_common.h"

using fake::record;

namespace {
void script(const char *section, const char *key, const char *def, char *out, uint32_t size) {
  fake::script(section, key, def, out, size);
}
}  // namespace

#ifndef FAKE_NO_STATUS
QP_DLL_EXPORT int GetUpsStatusFromSnmp(const char *address, int32_t *output_status) {
  record("GetUpsStatusFromSnmp %s", address);
  // The status is taken when the call starts, as a card answers what it has when asked; the
  // delay stands for the time the answer takes to come back.
  char value[32], delay[32];
  script("status", address, "2", value, sizeof value);
  script("status", "delay_ms", "0", delay, sizeof delay);
  if (atoi(delay) > 0) {
    struct timespec ts = {atoi(delay) / 1000, (atoi(delay) % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
  }
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
