/* Local message pipes: the server side of the command pipe and the client side of its callers.
 *
 * A pipe "\\.\pipe\NAME" is a Unix SOCK_SEQPACKET socket RUNTIME/pipe/NAME with mode 0660 in
 * the operators' group (see qp_runtime.h), so that only the owner and the operators can
 * connect. Every write is one message and every
 * read takes one message: a message longer than the read buffer gives ERROR_MORE_DATA with the
 * first bytes (the rest of that message is lost); a peer that closed without writing gives
 * ERROR_BROKEN_PIPE. All calls return 0 or a Windows error and leave the same value as the
 * thread's last error.
 */
#pragma once

#include "qp_base.h"
#include "qp_sync.h"

typedef struct qp_pipe qp_pipe;

/* Server side. */

/* Creates one server instance of pipe NAME (a "\\.\pipe\NAME" text or the bare NAME) with
 * BUFFER_SIZE bytes of buffer in each direction. MAX_INSTANCES (255 = unlimited) bounds how
 * many clients can be connected or waiting at once; further clients find the pipe busy. The
 * listening socket is made on the first instance and shared by the following ones for the
 * life of the process; the first call's MAX_INSTANCES holds. */
QP_API uint32_t qp_pipe_create(const char *name, uint32_t max_instances, uint32_t buffer_size,
                               qp_pipe **pipe);

/* Starts waiting for a client, as an overlapped connect: ERROR_PIPE_CONNECTED when a client
 * was already waiting and is now connected; ERROR_IO_PENDING when none was, in which case
 * EVENT becomes signalled once a client arrives (wait on it together with other events with
 * qp_wait_any) and qp_pipe_connect_result completes the connect; another error otherwise. */
QP_API uint32_t qp_pipe_connect(qp_pipe *pipe, qp_event *event);

/* Completes a pending connect without waiting: 0 when connected, ERROR_IO_INCOMPLETE when no
 * client is there after all, another error on failure. */
QP_API uint32_t qp_pipe_connect_result(qp_pipe *pipe);

/* Stops serving pipe NAME in this process: its listening socket is closed and removed, so
 * that clients find no pipe (ERROR_FILE_NOT_FOUND) and those waiting in its queue see the
 * pipe broken. Instances already connected are not affected. */
QP_API void qp_pipe_close_server(const char *name);

/* Abandons a pending connect; EVENT no longer follows this instance. */
QP_API void qp_pipe_cancel_io(qp_pipe *pipe);

/* The watch of connected instances, as overlapped reads gathered on one completion port: one
 * thread learns which connected instances have a message to read (or a peer that closed)
 * without a thread waiting on each. Its event counts as signalled while at least one watched
 * instance is ready (wait on it with qp_wait_any); qp_pipe_watch_ready then names up to MAX of
 * them by the keys they were added with, without waiting. A ready instance stays ready until
 * it is read or removed. Create returns NULL with the last error on failure. */
typedef struct qp_pipe_watch qp_pipe_watch;
QP_API qp_pipe_watch *qp_pipe_watch_create(void);
QP_API qp_event *qp_pipe_watch_event(qp_pipe_watch *watch);
QP_API uint32_t qp_pipe_watch_add(qp_pipe_watch *watch, qp_pipe *pipe, void *key);
QP_API void qp_pipe_watch_remove(qp_pipe_watch *watch, qp_pipe *pipe);
QP_API uint32_t qp_pipe_watch_ready(qp_pipe_watch *watch, void **keys, uint32_t max);
QP_API void qp_pipe_watch_close(qp_pipe_watch *watch);

/* Both sides. */

/* Reads one message into BUFFER: 0, ERROR_MORE_DATA (first SIZE bytes in BUFFER),
 * ERROR_BROKEN_PIPE (peer closed), or another error. *DONE holds the bytes delivered. */
QP_API uint32_t qp_pipe_read(qp_pipe *pipe, void *buffer, uint32_t size, uint32_t *done);
/* Writes one message: 0 or an error; *DONE holds the bytes written. */
QP_API uint32_t qp_pipe_write(qp_pipe *pipe, const void *buffer, uint32_t size, uint32_t *done);
/* Stands where FlushFileBuffers stands before a disconnect, and returns at once: what was
 * written stays readable by the peer after this side disconnects, so there is nothing to wait
 * for. 0, or ERROR_INVALID_HANDLE for a pipe that is not connected. */
QP_API uint32_t qp_pipe_flush(qp_pipe *pipe);
/* Ends the connection of a server instance; the instance can then be closed. A message of the
 * client that was never read is discarded, so that the client still reads the reply it was
 * sent (rather than a broken pipe); a later message of the client fails at its end. */
QP_API uint32_t qp_pipe_disconnect(qp_pipe *pipe);
QP_API void qp_pipe_close(qp_pipe *pipe);

/* Client side. */

/* Opens pipe NAME: 0 and *PIPE, ERROR_FILE_NOT_FOUND when no server serves it,
 * ERROR_PIPE_BUSY when the server has no instance free, ERROR_ACCESS_DENIED when the caller
 * may not connect. */
QP_API uint32_t qp_pipe_open(const char *name, qp_pipe **pipe);

/* Waits up to TIMEOUT_MS for an instance of NAME to become free, as WaitNamedPipe: 0 when one
 * is free (the next qp_pipe_open of NAME by this process takes it), ERROR_SEM_TIMEOUT when the
 * time ran out, ERROR_FILE_NOT_FOUND when there is no such pipe. */
QP_API uint32_t qp_pipe_wait(const char *name, uint32_t timeout_ms);

/* Sets message read mode on a client handle (a pipe always reads whole messages here). */
QP_API uint32_t qp_pipe_set_message_mode(qp_pipe *pipe);
