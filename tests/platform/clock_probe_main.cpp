// Prints how long a 5000 ms sleep took in real time and how far the clock moved meanwhile,
// so that tests can check the time scale from a process of its own.
#include <stdio.h>

#include "quorin/platform.h"

int main() {
  uint64_t real_start = qp_real_tick_ms();
  int64_t clock_start = qp_time_seconds();
  uint64_t tick_start = qp_tick_ms();
  qp_sleep_ms(5000);
  printf("scale=%u real_ms=%llu clock_s=%lld tick_ms=%llu\n", qp_time_scale(),
         static_cast<unsigned long long>(qp_real_tick_ms() - real_start),
         static_cast<long long>(qp_time_seconds() - clock_start),
         static_cast<unsigned long long>(qp_tick_ms() - tick_start));
  return 0;
}
