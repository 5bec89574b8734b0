/* Events, mutexes, the named cross-process mutex and threads.
 *
 * Wait results keep the Windows values: QP_WAIT_OBJECT_0 (+ index), QP_WAIT_ABANDONED,
 * QP_WAIT_TIMEOUT and QP_WAIT_FAILED; a failed wait leaves a Windows error as the last-error
 * value, so a caller can tell a time-out from a failure. Time-outs of these waits are real
 * milliseconds; only qp_sleep_ms and the clock of qp_time.h follow the time scale.
 */
#pragma once

#include "qp_base.h"

enum {
  QP_WAIT_OBJECT_0 = 0,
  QP_WAIT_ABANDONED = 0x80,
  QP_WAIT_TIMEOUT = 258,
  QP_WAIT_FAILED = 0xFFFFFFFFu,
};

typedef struct qp_event qp_event;
typedef struct qp_mutex qp_mutex;
typedef struct qp_named_mutex qp_named_mutex;
typedef struct qp_thread qp_thread;

/* Events. Manual-reset events stay signalled until reset; auto-reset events release one
 * waiter and reset themselves. Create returns NULL with the last error on failure. */
QP_API qp_event *qp_event_create(int manual_reset, int initially_signalled);
QP_API int qp_event_set(qp_event *event);
QP_API int qp_event_reset(qp_event *event);
QP_API uint32_t qp_event_wait(qp_event *event, uint32_t timeout_ms);
QP_API void qp_event_close(qp_event *event);

/* Waits until one of COUNT events (at most 64) is signalled; returns QP_WAIT_OBJECT_0 + index
 * of the first signalled one, QP_WAIT_TIMEOUT or QP_WAIT_FAILED. */
QP_API uint32_t qp_wait_any(uint32_t count, qp_event *const *events, uint32_t timeout_ms);

/* Unnamed mutex of one process: recursive, owned by the thread that acquired it. */
QP_API qp_mutex *qp_mutex_create(void);
QP_API uint32_t qp_mutex_wait(qp_mutex *mutex, uint32_t timeout_ms);
/* Returns 1, or 0 with ERROR_NOT_OWNER when the calling thread does not own it. */
QP_API int qp_mutex_release(qp_mutex *mutex);
QP_API void qp_mutex_close(qp_mutex *mutex);

/* Named mutex shared by every process of the machine (lock file RUNTIME/mutex/NAME).
 * Create opens or creates it; *already_exists is 1 when another handle (in this or another
 * process) had it open, and the last error is then ERROR_ALREADY_EXISTS. Open fails with
 * ERROR_FILE_NOT_FOUND when no process holds it. The mutex exists while any process holds a
 * handle to it and is released when its holder dies. The lock file has mode 0660 and is never
 * followed through a link; opening a handle waits at most one second for another opener (a
 * process that holds the file's lock longer is refused: ERROR_TIMEOUT). */
QP_API qp_named_mutex *qp_named_mutex_create(const char *name, int *already_exists);
QP_API qp_named_mutex *qp_named_mutex_open(const char *name);
QP_API uint32_t qp_named_mutex_wait(qp_named_mutex *mutex, uint32_t timeout_ms);
QP_API int qp_named_mutex_release(qp_named_mutex *mutex);
QP_API void qp_named_mutex_close(qp_named_mutex *mutex);

/* Threads. STACK_SIZE 0 takes the default; small sizes are raised to what the platform needs. */
typedef uint32_t (*qp_thread_fn)(void *arg);
QP_API qp_thread *qp_thread_create(qp_thread_fn fn, void *arg, size_t stack_size);
/* Waits for the thread's end: QP_WAIT_OBJECT_0 (its result in *result when not NULL),
 * QP_WAIT_TIMEOUT or QP_WAIT_FAILED. */
QP_API uint32_t qp_thread_wait(qp_thread *thread, uint32_t timeout_ms, uint32_t *result);
/* Releases the handle; a thread still running goes on by itself. */
QP_API void qp_thread_close(qp_thread *thread);
