// A minimal service for the service host tests: reports START_PENDING then RUNNING, answers
// interrogate with 0 and pause with 120, stops on the stop control.
#include <stdio.h>
#include <stdlib.h>

#include "quorin/platform.h"

namespace {
qp_service_handle *g_handle = nullptr;
qp_event *g_stop = nullptr;
qp_service_status g_status{};

void report(uint32_t state, uint32_t accepted, uint32_t hint) {
  g_status.service_type = QP_SERVICE_WIN32_OWN_PROCESS;
  g_status.current_state = state;
  g_status.controls_accepted = accepted;
  g_status.wait_hint = hint;
  qp_service_set_status(g_handle, &g_status);
}

uint32_t handler(uint32_t control, uint32_t, void *, void *) {
  switch (control) {
    case QP_SERVICE_CONTROL_STOP:
    case QP_SERVICE_CONTROL_SHUTDOWN:
      report(QP_SERVICE_STOP_PENDING, 5, 5000);
      qp_event_set(g_stop);
      return 0;
    case QP_SERVICE_CONTROL_INTERROGATE:
      return 0;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void service_main(uint32_t, char **) {
  g_handle = qp_service_register_handler("QtHostService", handler, nullptr);
  if (g_handle == nullptr) return;
  report(QP_SERVICE_START_PENDING, 0, 3000);
  g_stop = qp_event_create(1, 0);
  // A test may keep the service starting until the file QT_START_UNTIL exists (a minute at most).
  if (const char *until = getenv("QT_START_UNTIL")) {
    for (int i = 0; i < 6000 && !qp_path_exists(until); ++i) qp_sleep_ms(10);
  }
  report(QP_SERVICE_RUNNING, 5, 0);
  qp_event_wait(g_stop, QP_INFINITE);
  report(QP_SERVICE_STOPPED, 5, 0);
}
}  // namespace

int main() {
  if (!qp_service_dispatch("QtHostService", service_main)) {
    printf("dispatch failed %u\n", GetLastError());
    return static_cast<int>(GetLastError());
  }
  return 0;
}
