/* Profile (INI) files with the Windows profile semantics.
 *
 * Section and key names are matched case-insensitively; values are taken without the blanks
 * around them and without one pair of enclosing quotes. A missing file, section or key gives
 * the default text. Reads cut the value to the buffer size minus one. Integers are the
 * leading decimal number of the value (an optional sign, then digits; anything else is 0).
 * A write creates the file and the section when needed, replaces the key's value in place
 * and keeps every other line of the file as it was; it is written to a new file that then
 * replaces the old one, so a reader never sees half a file.
 *
 * Only a regular file of at most QP_PROFILE_MAX_SIZE bytes is a profile: a device, a FIFO or
 * a larger file reads as missing (the default text, the last error ERROR_BAD_FILE_TYPE or
 * ERROR_FILE_TOO_LARGE) and is never written over; qp_file_check_regular tells a caller why.
 */
#pragma once

#include "qp_base.h"

/* The largest profile file read: 1 MB. */
#define QP_PROFILE_MAX_SIZE 1048576u

/* Copies the value (or DEFAULT_TEXT, NULL = "") into OUT of SIZE bytes, cut to SIZE - 1
 * characters and terminated. Returns the number of characters copied. */
QP_API uint32_t qp_profile_get_string(const char *section, const char *key, const char *default_text,
                                      char *out, uint32_t size, const char *path);

/* The leading decimal number of the value, or DEFAULT_VALUE when the key is missing. */
QP_API int32_t qp_profile_get_int(const char *section, const char *key, int32_t default_value,
                                  const char *path);

/* Writes KEY=VALUE into SECTION; VALUE NULL deletes the key. Returns 1, or 0 with the last error. */
QP_API int qp_profile_write_string(const char *section, const char *key, const char *value, const char *path);
