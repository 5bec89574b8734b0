/* Loading the system's libraries by full path, and their attach step.
 *
 * A library of this system runs its attach step (process attach of its DllMain on Windows)
 * from an ELF constructor and reports the outcome with qp_library_report_attach. When a host
 * loads it through qp_library_load, a failed attach makes the load fail with
 * ERROR_DLL_INIT_FAILED (1114) and the library is unloaded again; a host that calls dlopen
 * itself gets the library with every export inert.
 */
#pragma once

#include "qp_base.h"

typedef struct qp_library qp_library;

/* Loads the library at PATH: NULL with ERROR_MOD_NOT_FOUND (126) when the file is missing or
 * not loadable, ERROR_DLL_INIT_FAILED (1114) when its attach step failed. */
QP_API qp_library *qp_library_load(const char *path);
/* Address of export NAME, or NULL with ERROR_PROC_NOT_FOUND (127). */
QP_API void *qp_library_symbol(qp_library *library, const char *name);
/* Unloads the library: 1, or 0 with the last error. */
QP_API int qp_library_free(qp_library *library);

/* Called by a library's attach step (on the loading thread) with 1 on success, 0 on failure. */
QP_API void qp_library_report_attach(int ok);

/* Full path of the running program into OUT (as GetModuleFileName): the length, or 0 with the
 * last error. Cut to SIZE - 1 characters. */
QP_API uint32_t qp_module_file_name(char *out, uint32_t size);
