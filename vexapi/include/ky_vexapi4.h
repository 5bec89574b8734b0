/* Exported entries of the cluster-control library ky_vexapi4.dll, for the programs that bind them by name. */
#pragma once

#include "quorin/qp_base.h"

/* Last-error value of a refused call: the library is not initialised, or a shutdown was
 * already started through it. */
#define VEX_ERROR_REFUSED 0x20000004u

/* Server states reported by VexGetServerStatus. */
#define VEX_SERVER_STATE_DEFAULT 0x00010000u
#define VEX_SERVER_STATE_STARTED 0x02000000u

/* The only initiator and option values the shutdown entries accept. */
#define VEX_SHUTDOWN_INITIATOR 5u
#define VEX_SHUTDOWN_OPTION 3u

/* No time limit for VexInitializeApi. */
#define VEX_NO_LIMIT 0xFFFFFFFFu

/* Called once per server name by VexEnumServer; returns nonzero to go on, 0 to stop. */
typedef int (*VexServerEnumProc)(const char *server_name, uint32_t context);

/* Waits (up to LIMIT_SECONDS, VEX_NO_LIMIT = for ever) for the cluster manager to answer.
 * *HANDLE is set to 0; CODE is only logged. 1 when it answered or the limit ran out; 0 when
 * its status tool cannot be run, with the Windows error of the failed step as last error. */
QP_DLL_EXPORT int VexInitializeApi(uint32_t *handle, uint32_t code, uint32_t limit_seconds);
/* Closes the library's mutex handles; always 1. The library stays initialised. */
QP_DLL_EXPORT int VexTerminateApi(uint32_t handle);
/* Copies the cluster name into BUFFER (*SIZE bytes, cut to *SIZE - 1 characters and
 * terminated) and sets *SIZE to the name's full length: 1, or 0 on failure or refusal. */
QP_DLL_EXPORT int VexGetClusterName(char *buffer, uint32_t *size);
/* Calls CALLBACK for each server of the cluster: 1 (also when the list cannot be read),
 * 0 only when refused. */
QP_DLL_EXPORT int VexEnumServer(VexServerEnumProc callback, uint32_t context);
/* This server's cluster state into *STATE: 1, or 0 when it cannot be read or is refused. */
QP_DLL_EXPORT int VexGetServerStatus(uint32_t unused, uint32_t *state);
/* Shuts the whole cluster down: 1 when started (or already started), else 0. */
QP_DLL_EXPORT int VexClusterShutdown(uint32_t initiator, uint32_t option);
/* Starts the shutdown of this server on a thread of its own: 1 when started, else 0. */
QP_DLL_EXPORT int VexServerShutdown(uint32_t option);

/* Types for binding the entries by name. */
typedef int (*VexInitializeApiFn)(uint32_t *handle, uint32_t code, uint32_t limit_seconds);
typedef int (*VexTerminateApiFn)(uint32_t handle);
typedef int (*VexGetClusterNameFn)(char *buffer, uint32_t *size);
typedef int (*VexEnumServerFn)(VexServerEnumProc callback, uint32_t context);
typedef int (*VexGetServerStatusFn)(uint32_t unused, uint32_t *state);
typedef int (*VexClusterShutdownFn)(uint32_t initiator, uint32_t option);
typedef int (*VexServerShutdownFn)(uint32_t option);
