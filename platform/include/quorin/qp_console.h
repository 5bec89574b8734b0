/* Programs that run from a console or under systemd without the service host: the stop
 * request (Ctrl+C, a console that closes, systemd's stop: SIGINT and SIGTERM here) as an event,
 * and the readiness and stop reports to systemd.
 */
#pragma once

#include "qp_base.h"
#include "qp_sync.h"

/* Installs the handlers of the stop request on first use and returns its event: a manual-reset
 * event that is signalled when SIGINT or SIGTERM arrives. Later calls return the same event,
 * which lasts until the process ends (do not close it). NULL with the last error when the
 * handlers cannot be installed. */
QP_API qp_event *qp_console_stop_event(void);

/* Tells systemd that the program is ready (READY=1) with STATUS as its status text (NULL: none),
 * or that it stops (STOPPING=1). 1 when told, 0 when the program does not run under systemd
 * (no NOTIFY_SOCKET) or the report could not be sent. */
QP_API int qp_console_notify_ready(const char *status);
QP_API int qp_console_notify_stopping(void);
