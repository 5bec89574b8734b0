/* Read access to the machine's registry values under HKEY_LOCAL_MACHINE.
 *
 * The registry is a REGEDIT4 text file, named by QUORIN_REGISTRY (default
 * /etc/quorin/registry.reg), read afresh at every key open:
 *
 *   REGEDIT4
 *
 *   [HKEY_LOCAL_MACHINE\SOFTWARE\Tarvos\QUORIN/MVL]
 *   "PathName"="/opt/quorin"
 *   "LumoUa"=dword:0000001f
 *   "LumoUnit"=hex:01
 *
 * Values are strings ("..." with \\ and \" escapes; the data includes the terminating NUL),
 * dword:XXXXXXXX (4 bytes, little-endian), hex:aa,bb,... (binary) and hex(N):... (typed
 * binary). Key and value names are case-insensitive.
 */
#pragma once

#include "qp_base.h"

enum {
  QP_REG_NONE = 0,
  QP_REG_SZ = 1,
  QP_REG_EXPAND_SZ = 2,
  QP_REG_BINARY = 3,
  QP_REG_DWORD = 4,
  QP_REG_MULTI_SZ = 7,
};

typedef struct qp_regkey qp_regkey;

/* Opens SUBKEY (such as "SOFTWARE\\Tarvos\\QUORIN/MVL") under HKEY_LOCAL_MACHINE:
 * 0 and *key, or ERROR_FILE_NOT_FOUND when the key (or the registry file) is missing. */
QP_API uint32_t qp_reg_open_key(const char *subkey, qp_regkey **key);

/* Reads value NAME with the RegQueryValueEx rules: DATA NULL asks for the size only;
 * *SIZE in is the room in DATA, out the size of the value's data; a value larger than the
 * room gives ERROR_MORE_DATA (234) and copies nothing; a missing value gives
 * ERROR_FILE_NOT_FOUND. TYPE may be NULL. */
QP_API uint32_t qp_reg_query_value(qp_regkey *key, const char *name, uint32_t *type, void *data,
                                   uint32_t *size);

QP_API void qp_reg_close_key(qp_regkey *key);
