/* Service host: dispatcher, control handler, status reports and the service query.
 *
 * A service process runs qp_service_dispatch, which is accepted only when the process was
 * started by systemd (NOTIFY_SOCKET or INVOCATION_ID set) or by the svcctl tool
 * (QUORIN_SVCCTL set); from a plain console it fails at once with
 * ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (1063). The dispatcher runs the service main on a
 * thread of its own and turns SIGTERM into the stop control and requests on the control
 * socket RUNTIME/services/NAME.ctl into calls of the registered handler. Each status report
 * is published in RUNTIME/services/NAME (read by qp_service_query and svcctl) and told to
 * systemd through sd_notify (READY, STOPPING, wait hints as EXTEND_TIMEOUT_USEC). The
 * dispatcher raises the process's limit of open descriptors towards 16384 (as far as the hard
 * limit allows), as a service holds one for each connected client. The status files and the
 * service's output file RUNTIME/services/NAME.out are made afresh (mode 0640) and never
 * written through a link.
 */
#pragma once

#include "qp_base.h"

typedef struct qp_service_status {
  uint32_t service_type;
  uint32_t current_state;
  uint32_t controls_accepted;
  uint32_t win32_exit_code;
  uint32_t service_specific_exit_code;
  uint32_t check_point;
  uint32_t wait_hint;
} qp_service_status;

enum {
  QP_SERVICE_WIN32_OWN_PROCESS = 0x10,
  QP_SERVICE_STOPPED = 1,
  QP_SERVICE_START_PENDING = 2,
  QP_SERVICE_STOP_PENDING = 3,
  QP_SERVICE_RUNNING = 4,
  QP_SERVICE_CONTINUE_PENDING = 5,
  QP_SERVICE_PAUSE_PENDING = 6,
  QP_SERVICE_PAUSED = 7,
  QP_SERVICE_CONTROL_STOP = 1,
  QP_SERVICE_CONTROL_PAUSE = 2,
  QP_SERVICE_CONTROL_CONTINUE = 3,
  QP_SERVICE_CONTROL_INTERROGATE = 4,
  QP_SERVICE_CONTROL_SHUTDOWN = 5,
  QP_SERVICE_ACCEPT_STOP = 1,
  QP_SERVICE_ACCEPT_PAUSE_CONTINUE = 2,
  QP_SERVICE_ACCEPT_SHUTDOWN = 4,
};

typedef void (*qp_service_main_fn)(uint32_t argc, char **argv);
typedef uint32_t (*qp_service_handler_fn)(uint32_t control, uint32_t event_type, void *event_data,
                                          void *context);
typedef struct qp_service_handle qp_service_handle;

/* Runs the service NAME: returns 1 once its service main has returned, or 0 with the last
 * error (1063 when not started as a service). */
QP_API int qp_service_dispatch(const char *name, qp_service_main_fn service_main);

/* Registers the control handler of service NAME; NULL with the last error on failure. */
QP_API qp_service_handle *qp_service_register_handler(const char *name, qp_service_handler_fn handler,
                                                      void *context);

/* Publishes a status report: 1, or 0 with the last error. */
QP_API int qp_service_set_status(qp_service_handle *handle, const qp_service_status *status);

/* Sets the status text of the service: a line telling an operator what is wrong, or that
 * all is well (TEXT cut to 255 characters, control characters as blanks; NULL or "" clears
 * it). It is published with every status report (qp_service_query_text) and told to systemd as
 * STATUS=. Returns 1, or 0 with the last error. */
QP_API int qp_service_set_status_text(qp_service_handle *handle, const char *text);

/* The status text of service NAME into OUT ("" when it has none): 0, or
 * ERROR_SERVICE_DOES_NOT_EXIST when it never reported. */
QP_API uint32_t qp_service_query_text(const char *name, char *out, size_t out_size);

/* The last status of service NAME: 0, ERROR_SERVICE_DOES_NOT_EXIST when it never reported.
 * A service whose process is gone reads as STOPPED. */
QP_API uint32_t qp_service_query(const char *name, qp_service_status *status);

/* As qp_service_query, and in *PROCESS_ID the process of the service while it has not
 * stopped (0 once it reads as STOPPED), as QueryServiceStatusEx gives it. */
QP_API uint32_t qp_service_query_process(const char *name, qp_service_status *status, uint32_t *process_id);
/* Records PROGRAM (full path) as the program of service NAME: 0 or an error. */
QP_API uint32_t qp_service_create(const char *name, const char *program);

/* Starts service NAME as a detached process of its recorded program, as the service control
 * manager does: 0 once the process runs (its state reads START_PENDING until it reports),
 * ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_DOES_NOT_EXIST when no program is recorded,
 * ERROR_FILE_NOT_FOUND when the program is missing. The service's standard output and error
 * go to RUNTIME/services/NAME.out. */
QP_API uint32_t qp_service_start(const char *name);

/* Waits until the process of service NAME has ended: 0, or WAIT_TIMEOUT. */
QP_API uint32_t qp_service_wait_process_end(const char *name, uint32_t timeout_ms);

/* Sends control CODE to the running service NAME and returns in *answer the handler's result:
 * 0, ERROR_SERVICE_NOT_ACTIVE when it does not run (or has reported STOPPED),
 * ERROR_SERVICE_CANNOT_ACCEPT_CTRL for a stop or shutdown it does not accept now, or another
 * error. Other controls always reach the handler, which answers them itself. */
QP_API uint32_t qp_service_control(const char *name, uint32_t code, uint32_t *answer);

/* The name of a service state as the service tools show it ("RUNNING", "STOP_PENDING", ...;
 * "UNKNOWN" for a value that is none). */
QP_API const char *qp_service_state_name(uint32_t state);
