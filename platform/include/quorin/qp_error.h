/* Windows error numbering and the thread's last-error value, shared by every module of a process.
 *
 * Logs, callers and the libraries' own result codes use the Windows numbers, so the platform
 * layer translates every OS failure into one of them (qp_error_from_errno) and keeps it as the
 * calling thread's last-error value. GetLastError and SetLastError are exported under their
 * Windows names so that a host program written for Windows sees the same value as the
 * libraries it loads.
 */
#pragma once

#include "qp_base.h"

/* X-macro list: name, number. One table drives the constants and qp_error_name. */
#define QP_ERROR_LIST(X)                           \
  X(ERROR_SUCCESS, 0)                              \
  X(ERROR_INVALID_FUNCTION, 1)                     \
  X(ERROR_FILE_NOT_FOUND, 2)                       \
  X(ERROR_PATH_NOT_FOUND, 3)                       \
  X(ERROR_TOO_MANY_OPEN_FILES, 4)                  \
  X(ERROR_ACCESS_DENIED, 5)                        \
  X(ERROR_INVALID_HANDLE, 6)                       \
  X(ERROR_NOT_ENOUGH_MEMORY, 8)                    \
  X(ERROR_INVALID_DATA, 13)                        \
  X(ERROR_OUTOFMEMORY, 14)                         \
  X(ERROR_WRITE_FAULT, 29)                         \
  X(ERROR_READ_FAULT, 30)                          \
  X(ERROR_GEN_FAILURE, 31)                         \
  X(ERROR_SHARING_VIOLATION, 32)                   \
  X(ERROR_LOCK_VIOLATION, 33)                      \
  X(ERROR_HANDLE_EOF, 38)                          \
  X(ERROR_NOT_SUPPORTED, 50)                       \
  X(ERROR_FILE_EXISTS, 80)                         \
  X(ERROR_INVALID_PARAMETER, 87)                   \
  X(ERROR_BROKEN_PIPE, 109)                        \
  X(ERROR_DISK_FULL, 112)                          \
  X(ERROR_CALL_NOT_IMPLEMENTED, 120)               \
  X(ERROR_SEM_TIMEOUT, 121)                        \
  X(ERROR_INSUFFICIENT_BUFFER, 122)                \
  X(ERROR_INVALID_NAME, 123)                       \
  X(ERROR_MOD_NOT_FOUND, 126)                      \
  X(ERROR_PROC_NOT_FOUND, 127)                     \
  X(ERROR_DIR_NOT_EMPTY, 145)                      \
  X(ERROR_BAD_PATHNAME, 161)                       \
  X(ERROR_BUSY, 170)                               \
  X(ERROR_ALREADY_EXISTS, 183)                     \
  X(ERROR_BAD_EXE_FORMAT, 193)                     \
  X(ERROR_FILENAME_EXCED_RANGE, 206)               \
  X(ERROR_BAD_FILE_TYPE, 222)                      \
  X(ERROR_FILE_TOO_LARGE, 223)                     \
  X(ERROR_PIPE_BUSY, 231)                          \
  X(ERROR_NO_DATA, 232)                            \
  X(ERROR_PIPE_NOT_CONNECTED, 233)                 \
  X(ERROR_MORE_DATA, 234)                          \
  X(WAIT_TIMEOUT, 258)                             \
  X(ERROR_NO_MORE_ITEMS, 259)                      \
  X(ERROR_NOT_OWNER, 288)                          \
  X(ERROR_PIPE_CONNECTED, 535)                     \
  X(ERROR_OPERATION_ABORTED, 995)                  \
  X(ERROR_IO_INCOMPLETE, 996)                      \
  X(ERROR_IO_PENDING, 997)                         \
  X(ERROR_NOACCESS, 998)                           \
  X(ERROR_SERVICE_REQUEST_TIMEOUT, 1053)           \
  X(ERROR_SERVICE_NO_THREAD, 1054)                 \
  X(ERROR_SERVICE_ALREADY_RUNNING, 1056)           \
  X(ERROR_SERVICE_DOES_NOT_EXIST, 1060)            \
  X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1061)        \
  X(ERROR_SERVICE_NOT_ACTIVE, 1062)                \
  X(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 1063) \
  X(ERROR_SERVICE_SPECIFIC_ERROR, 1066)            \
  X(ERROR_PROCESS_ABORTED, 1067)                   \
  X(ERROR_DLL_INIT_FAILED, 1114)                   \
  X(ERROR_CONNECTION_REFUSED, 1225)                \
  X(ERROR_NOT_ALL_ASSIGNED, 1300)                  \
  X(ERROR_NO_SUCH_PRIVILEGE, 1313)                 \
  X(ERROR_PRIVILEGE_NOT_HELD, 1314)                \
  X(ERROR_INVALID_WINDOW_HANDLE, 1400)             \
  X(ERROR_TIMEOUT, 1460)

enum qp_error_code : uint32_t {
#define QP_ERROR_ENUM(name, number) name = number,
  QP_ERROR_LIST(QP_ERROR_ENUM)
#undef QP_ERROR_ENUM
};

/* The calling thread's last-error value (thread-local, shared by all modules). */
QP_EXTERN_C __attribute__((visibility("default"))) uint32_t GetLastError(void);
QP_EXTERN_C __attribute__((visibility("default"))) void SetLastError(uint32_t code);

/* The Windows error that stands for errno value ERR (ERROR_GEN_FAILURE when none fits). */
QP_API uint32_t qp_error_from_errno(int err);

/* Sets the last-error value from ERR (an errno value) and returns the Windows number. */
QP_API uint32_t qp_set_error_from_errno(int err);

/* Symbolic name of a Windows error, such as "ERROR_BROKEN_PIPE", or NULL when unknown. */
QP_API const char *qp_error_name(uint32_t code);
