// Tool runner with captured output, file deletion with retries and mutex creation with retries.
#include "vex_runner.h"

#include <errno.h>
#include <stdio.h>

#include "vex_log.h"
#include "vex_state.h"
#include "vex_text.h"

namespace vex {

namespace {

constexpr int kCommandLineSize = 520;
constexpr int kDeleteAttempts = 50;
constexpr uint32_t kDeletePauseMs = 100;
constexpr int kMutexAttempts = 11;
constexpr uint32_t kMutexPauseMs = 5000;
constexpr uint32_t kToolWaitSliceMs = 100;  // real time between looks at the unload step

uint32_t failRun(const char *message, uint32_t error, uint32_t result, uint32_t *last_error) {
  libraryLog(message, error);
  if (last_error != nullptr) *last_error = error;
  SetLastError(error);
  return result;
}

}  // namespace

uint32_t runCommand(const char *tool, const char *arguments, const char *output_path, uint32_t *last_error,
                    uint32_t *exit_code) {
  qp_file *output = nullptr;
  if (output_path != nullptr && output_path[0] != '\0') {
    output = qp_file_open(output_path, QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_READ | QP_SHARE_WRITE,
                          QP_CREATE_ALWAYS);
    if (output == nullptr)
      return failRun(kLogCreateFileError, GetLastError(), kRunCreateFileFailed, last_error);
  }

  // An empty argument text leaves a trailing blank, which the start splits away.
  char command_line[kCommandLineSize];
  snprintf(command_line, sizeof command_line, "%s %s", tool, arguments != nullptr ? arguments : "");

  qp_process *process = nullptr;
  if (qp_process_start(command_line, output, &process) != ERROR_SUCCESS) {
    uint32_t error = GetLastError();
    qp_file_close(output);
    return failRun(kLogCreateProcessError, error, kRunCreateProcessFailed, last_error);
  }
  // The wait has no limit, except that the unload step ends it: the tool is left to finish on
  // its own and the caller leaves the library before its code goes away.
  uint32_t code = 0;
  uint32_t waited;
  while ((waited = qp_process_wait(process, kToolWaitSliceMs, &code)) == QP_WAIT_TIMEOUT) {
    if (unloading()) {
      SetLastError(ERROR_OPERATION_ABORTED);
      waited = QP_WAIT_FAILED;
      break;
    }
  }
  uint32_t wait_error = GetLastError();
  qp_process_close(process);
  qp_file_close(output);
  if (waited != QP_WAIT_OBJECT_0) return failRun(kLogWaitError, wait_error, kRunWaitFailed, last_error);
  if (exit_code != nullptr) *exit_code = code;
  return 0;
}

int deleteFileQuietly(const char *path, bool retry, int *errno_out) {
  if (errno_out != nullptr) *errno_out = 0;
  if (!qp_path_exists(path)) return 0;
  char native[1024];
  if (!qp_path_resolve(path, native, sizeof native)) return 1;
  int attempts = retry ? kDeleteAttempts : 1;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    if (remove(native) == 0) return 0;
    if (errno_out != nullptr) *errno_out = errno;
    if (!qp_path_exists(path)) return 0;
    if (retry && pause(kDeletePauseMs)) break;  // the library is being unloaded
  }
  return 1;
}

int deleteFile(const char *path, bool retry) {
  int error = 0;
  if (deleteFileQuietly(path, retry, &error) == 0) return 0;
  libraryLogf(0, kLogNotDeleted, error, path);
  return 1;
}

qp_mutex *createUnnamedMutex() {
  bool failed = false;
  for (int attempt = 1; attempt <= kMutexAttempts; ++attempt) {
    qp_mutex *mutex = qp_mutex_create();
    if (mutex != nullptr) {
      if (failed) libraryLog(kLogMutexCreated, 0);
      return mutex;
    }
    if (!failed) {
      libraryLog(kLogMutexNotCreated, GetLastError());
      failed = true;
    }
    if (attempt < kMutexAttempts && pause(kMutexPauseMs)) break;
  }
  return nullptr;
}

}  // namespace vex
