/* The runtime directory, where pipes, named mutexes and service status files live, and
 * fault injection for tests.
 *
 * QUORIN_RUNTIME_DIR names the runtime directory (default /run/quorin); the layer creates
 * it and its sub-folders ("pipe", "mutex", "services") on first use, with mode 0750 and the
 * operators' group QUORIN_OPERATOR_GROUP (a group name or number, default "quorin"; when the
 * machine has no such group, folders keep the creator's group and only it and the owner get
 * in). A runtime folder that is not a real folder, belongs to another user than this one or
 * root, or is writable by others was put there by someone else: it is refused
 * (ERROR_ACCESS_DENIED), and nothing in it is used.
 *
 * QUORIN_FAULTS makes chosen platform calls fail, so that tests can reach failure paths of
 * the core without patching it: a comma-separated list of POINT or POINT:SKIP:COUNT, where
 * the call fails COUNT times (default: for ever) after SKIP successful calls (default 0).
 * Points: "event_create", "mutex_create", "mutex_wait", "thread_create", "pipe_create",
 * "pipe_connect", "pipe_write", "pipe_mode", "file_create", "file_replace", "privilege_lookup",
 * "privilege_adjust", "token_open", "service_register", "snmp_open", "snmp_request",
 * "reg_open", "reg_query".
 */
#pragma once

#include "qp_base.h"

/* Native path of the runtime directory's sub-folder SUB (NULL = the directory itself),
 * created when missing and checked as above, into OUT. Returns 1, or 0 with the last error. */
QP_API int qp_runtime_path(const char *sub, char *out, size_t out_size);

/* 1 when the configured fault POINT fires for this call. */
QP_API int qp_fault_hit(const char *point);
