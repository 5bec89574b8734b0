/* The runtime directory, where pipes, named mutexes and service status files live, and
 * fault injection for tests.
 *
 * QUORIN_RUNTIME_DIR names the runtime directory (default /run/quorin); the layer creates
 * its sub-folders ("pipe", "mutex", "services") on first use.
 *
 * QUORIN_FAULTS makes chosen platform calls fail, so that tests can reach failure paths of
 * the core without patching it: a comma-separated list of POINT or POINT:SKIP:COUNT, where
 * the call fails COUNT times (default: for ever) after SKIP successful calls (default 0).
 * Points: "event_create", "mutex_create", "mutex_wait", "thread_create", "pipe_create",
 * "pipe_connect", "pipe_write", "pipe_mode", "file_create", "privilege_lookup",
 * "privilege_adjust", "token_open", "service_register", "snmp_open", "snmp_request",
 * "reg_open", "reg_query".
 */
#pragma once

#include "qp_base.h"

/* Native path of the runtime directory's sub-folder SUB (NULL = the directory itself),
 * created when missing, into OUT. Returns 1, or 0 with the last error. */
QP_API int qp_runtime_path(const char *sub, char *out, size_t out_size);

/* 1 when the configured fault POINT fires for this call. */
QP_API int qp_fault_hit(const char *point);
