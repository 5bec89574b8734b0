// The thread's last-error value and the one translation of errno into Windows error numbers.
#include <errno.h>

#include "quorin/qp_error.h"

namespace {
thread_local uint32_t t_last_error = 0;
}

QP_EXTERN_C __attribute__((visibility("default"))) uint32_t GetLastError(void) {
  return t_last_error;
}

QP_EXTERN_C __attribute__((visibility("default"))) void SetLastError(uint32_t code) {
  t_last_error = code;
}

uint32_t qp_error_from_errno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:  // a link where none may be followed
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EPIPE:
    case ECONNRESET:
      return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
      return ERROR_BUSY;
    case EAGAIN:
      return ERROR_PIPE_BUSY;
    case ENOTCONN:
      return ERROR_PIPE_NOT_CONNECTED;
    case ECONNREFUSED:
      return ERROR_FILE_NOT_FOUND;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    case EINTR:
      return ERROR_OPERATION_ABORTED;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EFAULT:
      return ERROR_NOACCESS;
    case EIO:
      return ERROR_GEN_FAILURE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

uint32_t qp_set_error_from_errno(int err) {
  uint32_t code = qp_error_from_errno(err);
  t_last_error = code;
  return code;
}

const char *qp_error_name(uint32_t code) {
  switch (code) {
#define QP_ERROR_CASE(name, number) \
  case number:                      \
    return #name;
    QP_ERROR_LIST(QP_ERROR_CASE)
#undef QP_ERROR_CASE
    default:
      return nullptr;
  }
}
