// Running a cluster manager tool with its output captured, file deletion and mutex creation with retries.
#pragma once

#include <stdint.h>

#include "quorin/platform.h"

namespace vex {

// Runner results (0 = the tool ran and was waited for). The two steps of the Windows runner
// that build a security descriptor have no counterpart here: the output file is created with
// the platform's default access.
inline constexpr uint32_t kRunCreateFileFailed = 0x3000;
inline constexpr uint32_t kRunCreateProcessFailed = 0x4000;
inline constexpr uint32_t kRunWaitFailed = 0x5000;

// Runs "TOOL ARGUMENTS" found through the search path, with standard input, output and error
// on OUTPUT_PATH (created afresh; nullptr or "" = no output kept) and waits for its end.
// 0 with *EXIT_CODE set, or a kRun* value with *LAST_ERROR set to the Windows error of the
// failed step (which the runner also logs).
uint32_t runCommand(const char *tool, const char *arguments, const char *output_path, uint32_t *last_error,
                    uint32_t *exit_code);

// Removes PATH: 0 when it is gone or never existed, 1 when it is still there after one
// attempt (RETRY false) or 50 attempts 100 ms apart (RETRY true); the failure is logged
// as "not delete[errno] : path".
int deleteFile(const char *path, bool retry);
// The same without the log line, for the log's own rotation; *ERRNO_OUT (may be nullptr)
// receives the C error of the last attempt.
int deleteFileQuietly(const char *path, bool retry, int *errno_out);

// An unnamed mutex, not owned: up to 11 attempts 5 s apart. nullptr after 11 failures.
qp_mutex *createUnnamedMutex();

}  // namespace vex
