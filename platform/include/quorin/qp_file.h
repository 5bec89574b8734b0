/* Paths and files with the Windows rules the system's file formats rely on.
 *
 * Paths are formed by the core with backslashes, as on Windows ("%s\DATA\%s"). The layer
 * turns them into native paths: every backslash becomes '/', and each component is matched
 * case-insensitively against what exists, so "data\snmp.apc", "Data\x.txt" and
 * "DATA\QUOMVLSV.LOG" all land in the one DATA folder. A component that does not exist yet
 * keeps the spelling given. Standard C file calls are made on resolved paths through
 * qp_fopen; handle-based files (qp_file) add the Windows sharing rules, so that a file
 * opened without sharing cannot be opened a second time until it is closed.
 */
#pragma once

#include <stdio.h>

#include "qp_base.h"

/* Native path for PATH into OUT (OUT_SIZE bytes). Returns 1, or 0 with
 * ERROR_FILENAME_EXCED_RANGE when it does not fit. */
QP_API int qp_path_resolve(const char *path, char *out, size_t out_size);

/* fopen on the resolved path. MODE is a C mode; a 't' (text mode) is accepted and ignored:
 * writers that need CR LF on disk write it themselves. NULL with the last error on failure. */
QP_API FILE *qp_fopen(const char *path, const char *mode);

/* 1 when PATH names an existing file or directory. */
QP_API int qp_path_exists(const char *path);
/* Size of the file at PATH: 0 (and *size) or a Windows error. */
QP_API uint32_t qp_file_size_of(const char *path, uint64_t *size);
/* Deletes a file: 0 or a Windows error (ERROR_FILE_NOT_FOUND when it does not exist). */
QP_API uint32_t qp_file_delete(const char *path);
/* Renames FROM to TO, replacing TO only when REPLACE is 1: 0 or a Windows error
 * (ERROR_ALREADY_EXISTS when TO exists and REPLACE is 0). */
QP_API uint32_t qp_file_rename(const char *from, const char *to, int replace);
/* Copies FROM to TO, overwriting TO: 0 or a Windows error. */
QP_API uint32_t qp_file_copy(const char *from, const char *to);
/* Creates directory PATH and its missing parents: 0 or a Windows error. */
QP_API uint32_t qp_make_dirs(const char *path);

/* Handle-based files. */
typedef struct qp_file qp_file;

enum { QP_ACCESS_READ = 1, QP_ACCESS_WRITE = 2 };
enum { QP_SHARE_NONE = 0, QP_SHARE_READ = 1, QP_SHARE_WRITE = 2 };
enum {
  QP_CREATE_NEW = 1,
  QP_CREATE_ALWAYS = 2,
  QP_OPEN_EXISTING = 3,
  QP_OPEN_ALWAYS = 4,
  QP_TRUNCATE_EXISTING = 5,
};

/* Opens or creates a file. ACCESS is a mask of QP_ACCESS_*, SHARE a mask of QP_SHARE_*,
 * DISPOSITION one of the QP_CREATE_* / QP_OPEN_* values with the Windows meaning. A file held
 * open without sharing gives ERROR_SHARING_VIOLATION to a second open, and an open without
 * sharing is refused while another handle holds the file; CREATE_ALWAYS empties the file
 * only once the open has been granted. NULL with the last error on failure. */
QP_API qp_file *qp_file_open(const char *path, uint32_t access, uint32_t share, uint32_t disposition);
/* Read and write: 0 or a Windows error; *done holds the bytes moved (0 at end of file). */
QP_API uint32_t qp_file_read(qp_file *file, void *buffer, uint32_t size, uint32_t *done);
QP_API uint32_t qp_file_write(qp_file *file, const void *buffer, uint32_t size, uint32_t *done);
/* Positional read and write at byte OFFSET; the file position is not used. Same results. */
QP_API uint32_t qp_file_read_at(qp_file *file, uint64_t offset, void *buffer, uint32_t size, uint32_t *done);
QP_API uint32_t qp_file_write_at(qp_file *file, uint64_t offset, const void *buffer, uint32_t size,
                                 uint32_t *done);
/* Moves the file position: ORIGIN is SEEK_SET, SEEK_CUR or SEEK_END. 0 or a Windows error. */
QP_API uint32_t qp_file_seek(qp_file *file, int64_t offset, int origin);
QP_API uint32_t qp_file_size(qp_file *file, uint64_t *size);
QP_API void qp_file_close(qp_file *file);

/* 1 when PATH names, now, the very file that FILE is open on; 0 when the file was deleted,
 * renamed away or replaced by another since it was opened, or when PATH names nothing. For
 * writers that keep a file open between entries and must follow the file by its name. */
QP_API int qp_file_is_at(qp_file *file, const char *path);
