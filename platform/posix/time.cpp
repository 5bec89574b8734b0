// Local time, sleeps and the scaled clock that long waits are measured with.
#include <stdlib.h>
#include <time.h>

#include <atomic>

#include "quorin/qp_time.h"

namespace {

uint32_t read_scale() {
  const char *text = getenv("QUORIN_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1;
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (end == text || value == 0 || value > 100000) return 1;
  return static_cast<uint32_t>(value);
}

uint64_t monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// The scaled clock starts at the real time of the first use in this process.
struct ScaledClock {
  uint32_t scale;
  uint64_t start_mono_ns;
  int64_t start_epoch_s;
  ScaledClock() : scale(read_scale()), start_mono_ns(monotonic_ns()), start_epoch_s(time(nullptr)) {}
};

ScaledClock &clock_state() {
  static ScaledClock state;
  return state;
}

}  // namespace

void qp_local_time(qp_systemtime *out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tmv;
  localtime_r(&ts.tv_sec, &tmv);
  out->year = static_cast<uint16_t>(tmv.tm_year + 1900);
  out->month = static_cast<uint16_t>(tmv.tm_mon + 1);
  out->day_of_week = static_cast<uint16_t>(tmv.tm_wday);
  out->day = static_cast<uint16_t>(tmv.tm_mday);
  out->hour = static_cast<uint16_t>(tmv.tm_hour);
  out->minute = static_cast<uint16_t>(tmv.tm_min);
  out->second = static_cast<uint16_t>(tmv.tm_sec);
  out->milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

uint32_t qp_time_scale(void) {
  return clock_state().scale;
}

void qp_sleep_ms(uint32_t ms) {
  uint64_t ns = static_cast<uint64_t>(ms) * 1000000ull / clock_state().scale;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000ull);
  ts.tv_nsec = static_cast<long>(ns % 1000000000ull);
  while (nanosleep(&ts, &ts) != 0) {
  }
}

uint64_t qp_real_tick_ms(void) {
  return monotonic_ns() / 1000000ull;
}

uint64_t qp_tick_ms(void) {
  const ScaledClock &c = clock_state();
  return (monotonic_ns() - c.start_mono_ns) / 1000000ull * c.scale;
}

int64_t qp_time_seconds(void) {
  const ScaledClock &c = clock_state();
  if (c.scale == 1) return time(nullptr);
  uint64_t elapsed_ns = monotonic_ns() - c.start_mono_ns;
  return c.start_epoch_s + static_cast<int64_t>(elapsed_ns * c.scale / 1000000000ull);
}
