/* The interface of pwdown.dll for the programs that load it: its exports, their signatures as
 * entry types for hosts that bind them by name, and the library's error codes.
 *
 * Every export returns 1 on success and 0 on failure; on failure the calling thread's
 * last-error value (GetLastError) holds one of the PC_ERR_* codes below or a Windows error
 * such as ERROR_INVALID_PARAMETER (87).
 */
#pragma once

#include "quorin/qp_base.h"

/* X-macro list of the library's own error codes: name, value. */
#define PC_ERROR_LIST(X)                \
  X(PC_ERR_SERVICE, 0x20000000u)        \
  X(PC_ERR_PIPE_IO, 0x20000001u)        \
  X(PC_ERR_REJECTED, 0x20000002u)       \
  X(PC_ERR_FAILED, 0x20000003u)         \
  X(PC_ERR_NOT_INSTALLED, 0x20000004u)  \
  X(PC_ERR_AUTO_LOCAL_OFF, 0x20000006u) \
  X(PC_ERR_CAL_SKIPPED, 0x20000010u)    \
  X(PC_ERR_CAL_ORDER, 0x20000011u)      \
  X(PC_ERR_CAL_LINE, 0x20000012u)       \
  X(PC_ERR_STOPPED, 0x20000013u)        \
  X(PC_ERR_UNSUPPORTED, 0x20000100u)

enum pc_error_code : uint32_t {
#define PC_ERROR_ENUM(name, value) name = value,
  PC_ERROR_LIST(PC_ERROR_ENUM)
#undef PC_ERROR_ENUM
};

/* Power-off and cluster shutdown requests. */

/* Switches the UPS power off after SECONDS (at most 4294967). */
QP_DLL_EXPORT int PowerOffByLumo(uint32_t seconds);
/* Switches the UPS power off after SECONDS in MODE 0 to 3. */
QP_DLL_EXPORT int PowerOffByLumo2(uint32_t seconds, int mode);
/* The same operation as PowerOffByLumo2. */
QP_DLL_EXPORT int PowerOffByLumoEx(uint32_t seconds, int mode);
/* Asks the service for a cluster shutdown in MODE (its first decimal character is sent). */
QP_DLL_EXPORT int QuoPcClusterShutDown(int mode);
/* As QuoPcClusterShutDown, with the cluster side's shutdown request. */
QP_DLL_EXPORT int QuoPcClusterShutDown2(int mode);
/* Stores the service's reboot state (a decimal digit) in *STATE. */
QP_DLL_EXPORT int CheckApiReboot(int *state);

/* Entry types for hosts that bind the exports by name. */
typedef int (*PowerOffByLumoFn)(uint32_t seconds);
typedef int (*PowerOffByLumo2Fn)(uint32_t seconds, int mode);
typedef int (*QuoPcClusterShutDownFn)(int mode);
typedef int (*CheckApiRebootFn)(int *state);

/* The schedule file, control times and power calendars. */
#include "pwdown_schedule.h"
