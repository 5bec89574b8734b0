/* Named shared memory sections, opened by name across processes (POSIX shm "/NAME"). */
#pragma once

#include "qp_base.h"

typedef struct qp_shm qp_shm;

/* Opens the existing section NAME for reading, or reading and writing when WRITABLE:
 * NULL with ERROR_FILE_NOT_FOUND when it does not exist. */
QP_API qp_shm *qp_shm_open(const char *name, int writable);
/* Creates (or opens) section NAME of SIZE bytes, readable and writable. */
QP_API qp_shm *qp_shm_create(const char *name, size_t size);
/* The mapped view of the whole section and its size. */
QP_API void *qp_shm_view(qp_shm *shm, size_t *size);
QP_API void qp_shm_close(qp_shm *shm);
/* Removes the name of section NAME (the memory goes when the last view closes). */
QP_API void qp_shm_remove(const char *name);
