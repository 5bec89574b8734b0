/* Named shared memory sections, opened by name across the processes of one installation.
 *
 * A section NAME is the file RUNTIME/shm/NAME (QUORIN_RUNTIME_DIR, see qp_runtime.h) mapped
 * shared, so that each runtime directory has sections of its own. It exists from its creation
 * until qp_shm_remove, whether or not a process has it open; its size never changes. All calls
 * that fail leave a Windows error as the last-error value.
 */
#pragma once

#include "qp_base.h"

typedef struct qp_shm qp_shm;

/* Opens the existing section NAME for reading, or reading and writing when WRITABLE:
 * NULL with ERROR_FILE_NOT_FOUND when it does not exist. Never creates it. */
QP_API qp_shm *qp_shm_open(const char *name, int writable);
/* Creates section NAME of SIZE bytes (zero-filled), readable and writable, or opens it with
 * its own size when it exists already. */
QP_API qp_shm *qp_shm_create(const char *name, size_t size);
/* The mapped view of the whole section and its size. */
QP_API void *qp_shm_view(qp_shm *shm, size_t *size);
/* Unmaps the view and releases the handle; the section itself stays. */
QP_API void qp_shm_close(qp_shm *shm);
/* Removes section NAME (views still mapped keep their memory until closed). */
QP_API void qp_shm_remove(const char *name);
