// svcctl: the service-control tool (create, start, stop, query, control) for services that run
// under the platform's service host.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "quorin/platform.h"

namespace {

const char *state_name(uint32_t state) {
  switch (state) {
    case QP_SERVICE_STOPPED:
      return "STOPPED";
    case QP_SERVICE_START_PENDING:
      return "START_PENDING";
    case QP_SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case QP_SERVICE_RUNNING:
      return "RUNNING";
    case QP_SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case QP_SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case QP_SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

void print_status(const char *name, const qp_service_status &s) {
  printf("SERVICE_NAME: %s\n", name);
  printf("        STATE              : %u  %s\n", s.current_state, state_name(s.current_state));
  printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.win32_exit_code, s.win32_exit_code);
  printf("        CHECKPOINT         : 0x%x\n", s.check_point);
  printf("        WAIT_HINT          : 0x%x\n", s.wait_hint);
}

int fail(const char *what, uint32_t code) {
  const char *name = qp_error_name(code);
  fprintf(stderr, "svcctl: %s failed: %u (%s)\n", what, code, name != nullptr ? name : "unknown error");
  return 1;
}

// Waits while the service is in PENDING (the state given), for at most TIMEOUT_MS plus the
// wait hints it reports. Returns the last status read.
uint32_t wait_while(const char *name, uint32_t pending, uint32_t timeout_ms, qp_service_status *s) {
  uint64_t start = qp_real_tick_ms();
  uint64_t deadline = start + timeout_ms;
  uint32_t last_check = 0;
  while (true) {
    uint32_t rc = qp_service_query(name, s);
    if (rc == ERROR_SUCCESS && s->current_state != pending) return rc;
    uint64_t now = qp_real_tick_ms();
    // A service that keeps reporting progress within its wait hint gets more time.
    if (rc == ERROR_SUCCESS && s->check_point != last_check) {
      last_check = s->check_point;
      if (now + s->wait_hint > deadline) deadline = now + s->wait_hint;
    }
    if (now >= deadline) return rc == ERROR_SUCCESS ? ERROR_SERVICE_REQUEST_TIMEOUT : rc;
    struct timespec ts = {0, 20 * 1000000L};
    nanosleep(&ts, nullptr);
  }
}

int usage() {
  fprintf(stderr,
          "usage: svcctl create NAME PROGRAM\n"
          "       svcctl start NAME [PROGRAM]   start the service, wait until it runs\n"
          "       svcctl stop NAME              send the stop control, wait until it stopped\n"
          "       svcctl query NAME             print the service's state\n"
          "       svcctl control NAME CODE      send a control code, print the handler's answer\n"
          "Environment: QUORIN_RUNTIME_DIR (default /run/quorin), SVCCTL_TIMEOUT_MS (default 30000)\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage();
  const char *verb = argv[1];
  const char *name = argv[2];
  uint32_t timeout_ms = 30000;
  if (const char *t = getenv("SVCCTL_TIMEOUT_MS"))
    timeout_ms = static_cast<uint32_t>(strtoul(t, nullptr, 10));
  qp_service_status status;

  if (strcmp(verb, "create") == 0) {
    if (argc != 4) return usage();
    uint32_t rc = qp_service_create(name, argv[3]);
    if (rc != ERROR_SUCCESS) return fail("create", rc);
    printf("[SC] CreateService SUCCESS\n");
    return 0;
  }
  if (strcmp(verb, "start") == 0) {
    if (argc > 4) return usage();
    if (argc == 4) {
      uint32_t rc = qp_service_create(name, argv[3]);
      if (rc != ERROR_SUCCESS) return fail("create", rc);
    }
    if (qp_service_query(name, &status) == ERROR_SUCCESS && status.current_state != QP_SERVICE_STOPPED)
      return fail("start", ERROR_SERVICE_ALREADY_RUNNING);
    uint32_t rc = qp_service_start(name);
    if (rc != ERROR_SUCCESS) return fail("start", rc);
    rc = wait_while(name, QP_SERVICE_START_PENDING, timeout_ms, &status);
    if (rc != ERROR_SUCCESS) return fail("start", rc);
    print_status(name, status);
    return status.current_state == QP_SERVICE_RUNNING ? 0 : 1;
  }
  if (strcmp(verb, "stop") == 0) {
    if (argc != 3) return usage();
    uint32_t answer = 0;
    uint32_t rc = qp_service_control(name, QP_SERVICE_CONTROL_STOP, &answer);
    // A service still starting does not accept the stop yet: ask again until it does.
    for (uint64_t deadline = qp_real_tick_ms() + timeout_ms;
         rc == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && qp_real_tick_ms() < deadline;) {
      struct timespec ts = {0, 20 * 1000000L};
      nanosleep(&ts, nullptr);
      rc = qp_service_control(name, QP_SERVICE_CONTROL_STOP, &answer);
    }
    if (rc != ERROR_SUCCESS) return fail("stop", rc);
    if (answer != ERROR_SUCCESS) return fail("stop", answer);
    rc = wait_while(name, QP_SERVICE_STOP_PENDING, timeout_ms, &status);
    if (rc == ERROR_SUCCESS && status.current_state == QP_SERVICE_RUNNING)
      rc = wait_while(name, QP_SERVICE_RUNNING, timeout_ms, &status);
    if (rc == ERROR_SUCCESS) rc = qp_service_wait_process_end(name, timeout_ms);
    if (rc != ERROR_SUCCESS) return fail("stop", rc);
    qp_service_query(name, &status);
    print_status(name, status);
    return status.current_state == QP_SERVICE_STOPPED ? 0 : 1;
  }
  if (strcmp(verb, "query") == 0) {
    uint32_t rc = qp_service_query(name, &status);
    if (rc != ERROR_SUCCESS) return fail("query", rc);
    print_status(name, status);
    return 0;
  }
  if (strcmp(verb, "control") == 0) {
    if (argc != 4) return usage();
    uint32_t answer = 0;
    uint32_t rc = qp_service_control(name, static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)), &answer);
    if (rc != ERROR_SUCCESS) return fail("control", rc);
    printf("%u\n", answer);
    return answer == ERROR_SUCCESS ? 0 : 1;
  }
  return usage();
}
