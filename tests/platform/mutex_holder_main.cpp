// Holds the named mutex given as argument (create, then own it), prints "held" and sleeps
// until killed, so that tests can see a mutex held by another process and freed by its death.
#include <stdio.h>
#include <string.h>

#include "quorin/platform.h"

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  int exists = 0;
  qp_named_mutex *m = qp_named_mutex_create(argv[1], &exists);
  if (m == nullptr) return 1;
  if (argc > 2 && strcmp(argv[2], "own") == 0 && qp_named_mutex_wait(m, QP_INFINITE) != QP_WAIT_OBJECT_0)
    return 3;
  printf("held exists=%d\n", exists);
  fflush(stdout);
  for (;;) qp_sleep_ms(1000);
}
