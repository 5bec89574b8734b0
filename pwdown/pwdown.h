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

/* Power-control items and the power-on condition.
 *
 * ITEM: 10 bytes, byte 0 the version (1), bytes 1-9 the item bytes. CONDITION: byte 0 the form,
 * 1 = flags (bytes 1-10 the condition bytes) or 65 ('A') = expression (a NUL-terminated text
 * from byte 1, at most 254 characters, over "TIM", "NET", "AUX1", "AUX2", "CD2"-"CD8",
 * "ER2"-"ER8" with "+", "*" and parentheses). In the expression form GetPowerControlItem
 * returns at most the first four characters of the stored expression and a NUL (5 bytes). */
QP_DLL_EXPORT int SetPowerControlItem(const uint8_t *item, const uint8_t *condition);
QP_DLL_EXPORT int GetPowerControlItem(uint8_t *item, uint8_t *condition);
/* The item bytes of the previous power-on (RECORD as ITEM above; system type 2 only). */
QP_DLL_EXPORT int GetPreviousOnItem(uint8_t *record);

/* Cluster and shared-disk status. */

/* Sets or clears bit 0x01 (cluster switch on) and bit 0x02 (automatic local power-on) of
 * *FLAGS; other bits keep their value. */
QP_DLL_EXPORT int GetKyTesseraStatus(int *flags);
/* Copies "SHARE_DK.APC" (132-byte records: address, name, state) into BUFFER of *SIZE bytes;
 * with *SIZE 0 only stores the file size there. Returns a status number: 0 done, 1 companion
 * product missing, 2 buffer too small (*SIZE = file size), 3 no shared disk, 4 "K02" failed,
 * 5 pipe or file failure, 6 not SNMP, 87 bad parameter, 256 service not running. */
QP_DLL_EXPORT int GetKyShareDiskStatus(uint8_t *buffer, uint32_t *size);
/* RECORD: 9 bytes, byte 0 the version (1), bytes 1-8 receive the slot bytes (type 2 only). */
QP_DLL_EXPORT int GetLumoSlotInfo(uint8_t *record);
/* The system type 0, 1 or 2; -1 when undetermined (with PC_ERR_NOT_INSTALLED when the product
 * is not installed). */
QP_DLL_EXPORT int GetPCSystemType(void);
/* The interface version, 1. */
QP_DLL_EXPORT int GetQuoKyVersion(void);

/* UPS power status from the shared memory "pwdownDllCmMemory". */

/* Waits until the status differs from *STATUS and stores it there: 1, or 0 with
 * PC_ERR_STOPPED after StopUpsPowerStatus, or with the system's error when the section cannot
 * be opened. */
QP_DLL_EXPORT int GetUpsPowerStatus(int *status);
/* Ends every wait of GetUpsPowerStatus in progress and returns (1) once each has ended. */
QP_DLL_EXPORT int StopUpsPowerStatus(void);

/* Entry types for hosts that bind the exports by name. */
typedef int (*PowerOffByLumoFn)(uint32_t seconds);
typedef int (*PowerOffByLumo2Fn)(uint32_t seconds, int mode);
typedef int (*QuoPcClusterShutDownFn)(int mode);
typedef int (*CheckApiRebootFn)(int *state);
typedef int (*SetPowerControlItemFn)(const uint8_t *item, const uint8_t *condition);
typedef int (*GetPowerControlItemFn)(uint8_t *item, uint8_t *condition);
typedef int (*GetPreviousOnItemFn)(uint8_t *record);
typedef int (*GetKyTesseraStatusFn)(int *flags);
typedef int (*GetKyShareDiskStatusFn)(uint8_t *buffer, uint32_t *size);
typedef int (*GetLumoSlotInfoFn)(uint8_t *record);
typedef int (*GetPCSystemTypeFn)(void);
typedef int (*GetQuoKyVersionFn)(void);
typedef int (*GetUpsPowerStatusFn)(int *status);
typedef int (*StopUpsPowerStatusFn)(void);

/* The schedule file, control times and power calendars. */
#include "pwdown_schedule.h"
