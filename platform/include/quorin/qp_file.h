/* Paths and files with the Windows rules the system's file formats rely on.
 *
 * Paths are formed by the core with backslashes, as on Windows ("%s\DATA\%s"). The layer
 * turns them into native paths: every backslash becomes '/', and each component is matched
 * case-insensitively against what exists, so "data\snmp.apc", "Data\x.txt" and
 * "DATA\QUOMVLSV.LOG" all land in the one DATA folder. A component that does not exist yet
 * keeps the spelling given. Standard C file calls are made on resolved paths through
 * qp_fopen; handle-based files (qp_file) add the Windows sharing rules, so that a file
 * opened without sharing cannot be opened a second time until it is closed, and the
 * read-only attribute: a file whose mode has no write permission bit cannot be opened for
 * writing, by any user.
 *
 * Durable replacement of a file, as the data files that must never be seen half-written
 * need it: write a new file, qp_file_flush it, qp_file_rename it over the old one (the
 * rename is atomic: a reader sees the old or the new file), then qp_folder_flush the
 * folder so that the rename itself survives a power loss.
 */
#pragma once

#include <stdio.h>

#include "qp_base.h"

/* Native path for PATH into OUT (OUT_SIZE bytes). Returns 1, or 0 with
 * ERROR_FILENAME_EXCED_RANGE when it does not fit. */
QP_API int qp_path_resolve(const char *path, char *out, size_t out_size);

/* fopen on the resolved path. MODE is a C mode; a 't' (text mode) is accepted and ignored:
 * writers that need CR LF on disk write it themselves. A file opened for writing is never
 * followed through a link, and a new one gets mode 0660 (less the process's umask), as every
 * file this layer creates: other users cannot open it. NULL with the last error on failure. */
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

/* QP_ACCESS_KEEP_ATIME: reads through the handle leave the file's last-access time as it is
 * (where the process owns the file or may change any file's times), so that a file read and
 * written at every entry, as a ring log's header is, is not also written back for its access
 * time at every read. */
enum { QP_ACCESS_READ = 1, QP_ACCESS_WRITE = 2, QP_ACCESS_KEEP_ATIME = 4 };
enum { QP_SHARE_NONE = 0, QP_SHARE_READ = 1, QP_SHARE_WRITE = 2 };
enum {
  QP_CREATE_NEW = 1,
  QP_CREATE_ALWAYS = 2,
  QP_OPEN_EXISTING = 3,
  QP_OPEN_ALWAYS = 4,
  QP_TRUNCATE_EXISTING = 5,
};

/* Opens or creates a file (never through a link: a link at PATH gives ERROR_ACCESS_DENIED).
 * ACCESS is a mask of QP_ACCESS_*, SHARE a mask of QP_SHARE_*,
 * DISPOSITION one of the QP_CREATE_* / QP_OPEN_* values with the Windows meaning. A file held
 * open without sharing gives ERROR_SHARING_VIOLATION to a second open, and an open without
 * sharing is refused while another handle holds the file; CREATE_ALWAYS empties the file
 * only once the open has been granted. An existing read-only file (no write permission bit)
 * opened with QP_ACCESS_WRITE gives ERROR_ACCESS_DENIED. NULL with the last error on
 * failure. */
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

/* Replacing a file whole: the new content is written to a new file beside PATH (a fresh name in
 * the same folder, mode 0660), which takes PATH's place only when commit is called: its data
 * is flushed to disk and it is renamed over PATH, so that a reader, or a crash at any moment,
 * sees either the old or the new content, never a mix or an empty file. Readers holding the
 * old file keep reading the old content. Closing the handle without a commit removes the new
 * file. Create returns NULL with the last error; commit returns 0 or a Windows error, and
 * closes the handle in both cases (the new file is removed when it could not take PATH's
 * place). */
QP_API qp_file *qp_file_create_replacement(const char *path);
QP_API uint32_t qp_file_commit_replacement(qp_file *file);

/* Checks that PATH can be read as a configuration file: 0 for a regular file of at most
 * MAX_SIZE bytes; ERROR_BAD_FILE_TYPE for anything else (a FIFO, a device), without blocking
 * on it; ERROR_FILE_TOO_LARGE beyond MAX_SIZE; ERROR_FILE_NOT_FOUND or another error when it
 * cannot be opened. The last error is set to the result. */
QP_API uint32_t qp_file_check_regular(const char *path, uint64_t max_size);

/* Writes the file's data and size through to the disk (FlushFileBuffers): 0 or a Windows
 * error. */
QP_API uint32_t qp_file_flush(qp_file *file);
/* Writes the entries of folder PATH through to the disk, so that files created, renamed or
 * deleted in it stay so after a power loss: 0 or a Windows error (ERROR_PATH_NOT_FOUND for a
 * missing folder). */
QP_API uint32_t qp_folder_flush(const char *path);

/* Locks the whole of FILE for this handle (LockFileEx): every other handle of the file, in this
 * process or another, waits for or is refused the lock until this handle unlocks, is closed,
 * or its process ends, however it ends. FILE must be open for writing. Waits up to TIMEOUT_MS
 * (QP_INFINITE: for ever; 0: only tries). 0, ERROR_LOCK_VIOLATION when the time-out passed
 * with the lock held elsewhere, or another Windows error. */
QP_API uint32_t qp_file_lock(qp_file *file, uint32_t timeout_ms);
/* Ends the lock of qp_file_lock: 0 or a Windows error. */
QP_API uint32_t qp_file_unlock(qp_file *file);

/* 1 when PATH names, now, the very file that FILE is open on; 0 when the file was deleted,
 * renamed away or replaced by another since it was opened, or when PATH names nothing. For
 * writers that keep a file open between entries and must follow the file by its name: after a
 * first look-up of PATH, a watch on the file's folder answers the following calls with the same
 * PATH without a look-up as long as no name in that folder was deleted, renamed away or renamed
 * in, and the folder itself was neither deleted nor moved; a folder above it moved or replaced
 * shows at the look-up made at least once a second. */
QP_API int qp_file_is_at(qp_file *file, const char *path);
