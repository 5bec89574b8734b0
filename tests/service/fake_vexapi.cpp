// Test stand-in for ky_vexapi4.dll: answers the service's calls as the test's script file
// says and records every call. Built in variants without some entries.
//
// Script (profile file named by QT_FAKE_SCRIPT), section [vex]:
//   init=R1,R2,...   results of the successive VexInitializeApi calls (the last repeats; default 1)
//   init_error=HEX   last-error value set when a call fails (default 0)
//   init_fault=segv|throw  fault inside VexInitializeApi
//   init_block_ms=N  time VexInitializeApi takes (real milliseconds)
//   handle=N         handle returned (default 7)
//   terminate_fault=segv
//   cluster=R, server=R  results of VexClusterShutdown / VexServerShutdown (default 1)
// Calls are appended to the file named by QT_FAKE_CALLS, one line each; the real time at which
// each VexInitializeApi call began to the file named by QT_FAKE_TIMES.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "fake_common.h"

namespace {

std::atomic<int> g_init_calls{0};
using fake::record;

void script(const char *key, const char *def, char *out, uint32_t size) {
  fake::script("vex", key, def, out, size);
}

// A deliberate fault: the sanitizers must let it happen so that the service can catch it.
__attribute__((no_sanitize("undefined", "thread"))) void fault(const char *kind) {
  if (strcmp(kind, "segv") == 0) {
    volatile int *p = nullptr;
    *p = 1;
  }
  if (strcmp(kind, "throw") == 0) throw std::runtime_error("fault requested by the test");
}

}  // namespace

#ifndef FAKE_NO_INIT
QP_DLL_EXPORT int VexInitializeApi(uint32_t *handle, uint32_t reserved, uint32_t wait_seconds) {
  fake::stamp();
  int call = g_init_calls.fetch_add(1);
  record("VexInitializeApi %u %u", reserved, wait_seconds);
  char value[256];
  script("init_block_ms", "0", value, sizeof value);
  if (atoi(value) > 0) {
    struct timespec ts = {atoi(value) / 1000, (atoi(value) % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
  }
  script("init_fault", "", value, sizeof value);
  fault(value);
  script("init", "1", value, sizeof value);
  // The CALL-th entry of the list, or its last one.
  const char *p = value;
  for (int i = 0; i < call && strchr(p, ',') != nullptr; ++i) p = strchr(p, ',') + 1;
  int result = atoi(p);
  char text[32];
  script("handle", "7", text, sizeof text);
  *handle = static_cast<uint32_t>(atoi(text));
  if (result != 1) {
    script("init_error", "0", text, sizeof text);
    SetLastError(static_cast<uint32_t>(strtoul(text, nullptr, 16)));
  }
  return result;
}
#endif

#ifndef FAKE_NO_TERMINATE
QP_DLL_EXPORT int VexTerminateApi(uint32_t handle) {
  record("VexTerminateApi %u", handle);
  char value[32];
  script("terminate_fault", "", value, sizeof value);
  fault(value);
  return 1;
}
#endif

#ifndef FAKE_NO_CLUSTER
QP_DLL_EXPORT int VexClusterShutdown(uint32_t initiator, uint32_t option) {
  record("VexClusterShutdown %u %u", initiator, option);
  char value[32];
  script("cluster", "1", value, sizeof value);
  return atoi(value);
}
#endif

#ifndef FAKE_NO_SERVER
QP_DLL_EXPORT int VexServerShutdown(uint32_t option) {
  record("VexServerShutdown %u", option);
  char value[32];
  script("server", "1", value, sizeof value);
  return atoi(value);
}
#endif
