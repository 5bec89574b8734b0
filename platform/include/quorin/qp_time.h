/* Local time, sleeping and the clock that long waits are measured with.
 *
 * Waits of seconds and minutes (retry windows, pauses between attempts) go through
 * qp_sleep_ms and are measured with qp_time_seconds / qp_tick_ms. Both follow the time
 * scale set by the environment variable QUORIN_TIME_SCALE (a whole number, default 1):
 * with a scale of 100 a sleep of 5000 ms lasts 50 ms and the clock runs 100 times faster,
 * so a 120 s window with 5 s pauses passes in 1.2 s while every count and comparison of the
 * waiting code stays as it is. Log time stamps (qp_local_time) are never scaled.
 */
#pragma once

#include "qp_base.h"

typedef struct qp_systemtime {
  uint16_t year;
  uint16_t month;       /* 1 .. 12 */
  uint16_t day_of_week; /* 0 = Sunday */
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
} qp_systemtime;

/* The local wall-clock time. */
QP_API void qp_local_time(qp_systemtime *out);

/* The time scale in force (1 unless QUORIN_TIME_SCALE says otherwise). */
QP_API uint32_t qp_time_scale(void);

/* Sleeps MS milliseconds of scaled time. */
QP_API void qp_sleep_ms(uint32_t ms);

/* Seconds since the epoch on the scaled clock: real time at process start plus the scaled
 * time elapsed since. With scale 1 this is time(NULL). */
QP_API int64_t qp_time_seconds(void);

/* Milliseconds on the scaled monotonic clock (arbitrary origin). */
QP_API uint64_t qp_tick_ms(void);

/* Milliseconds on the real monotonic clock (arbitrary origin), for time-outs that must not scale. */
QP_API uint64_t qp_real_tick_ms(void);
