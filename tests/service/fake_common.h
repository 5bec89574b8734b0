// What the library stand-ins share: the record of every call (file named by QT_FAKE_CALLS), the
// times of chosen calls (file named by QT_FAKE_TIMES) and the reading of the test's script
// (profile file named by QT_FAKE_SCRIPT).
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

#include "quorin/platform.h"

namespace fake {

// Appends one line to the call record.
inline void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void record(const char *format, ...) {
  static std::mutex lock;
  const char *path = getenv("QT_FAKE_CALLS");
  if (path == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(lock);
  FILE *f = fopen(path, "a");
  if (f == nullptr) return;
  fprintf(f, "%s\n", line);
  fclose(f);
}

// Appends the real time in milliseconds to the file named by QT_FAKE_TIMES.
inline void stamp() {
  static std::mutex lock;
  const char *path = getenv("QT_FAKE_TIMES");
  if (path == nullptr) return;
  std::lock_guard<std::mutex> guard(lock);
  FILE *f = fopen(path, "a");
  if (f == nullptr) return;
  fprintf(f, "%llu\n", static_cast<unsigned long long>(qp_real_tick_ms()));
  fclose(f);
}

// KEY of SECTION of the script, or DEF.
inline void script(const char *section, const char *key, const char *def, char *out, uint32_t size) {
  const char *path = getenv("QT_FAKE_SCRIPT");
  qp_profile_get_string(section, key, def, out, size, path != nullptr ? path : "/nonexistent");
}

}  // namespace fake
