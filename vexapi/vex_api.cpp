// The seven exported operations of the cluster-control library over the cluster manager's tools.
//
// Sections: shared helpers (output files, tool runs, refusals); initialise and terminate; the
// three queries; cluster shutdown; server shutdown and its response thread.
#include <string.h>

#include "ky_vexapi4.h"
#include "vex_log.h"
#include "vex_output.h"
#include "vex_runner.h"
#include "vex_state.h"
#include "vex_text.h"

namespace vex {

namespace {

constexpr uint32_t kRetryPauseMs = 5000;
constexpr int kStatusAttempts = 16;
constexpr int kShutdownAttempts = 81;
constexpr int kThreadAttempts = 11;
constexpr uint32_t kThreadPauseMs = 1000;
constexpr size_t kResponseThreadStack = 2048;

static_assert(kErrorRefused == VEX_ERROR_REFUSED && kStateDefault == VEX_SERVER_STATE_DEFAULT &&
              kStateStarted == VEX_SERVER_STATE_STARTED);

// Holds the command mutex for a query's whole run. A missing mutex (never created, or taken
// out by VexTerminateApi) leaves the query unserialised, as a failed wait would.
class CommandLock {
 public:
  CommandLock() : mutex_(g_state.command_mutex.load()) {
    held_ = mutex_ != nullptr && qp_mutex_wait(mutex_, QP_INFINITE) == QP_WAIT_OBJECT_0;
  }
  ~CommandLock() {
    if (held_) qp_mutex_release(mutex_);
  }
  CommandLock(const CommandLock &) = delete;
  CommandLock &operator=(const CommandLock &) = delete;

 private:
  qp_mutex *mutex_;
  bool held_;
};

void outputPath(char *path, const ToolRun &run) {
  snprintf(path, kPathSize, kOutputFileFormat, g_state.install_path, run.output_name);
}

// Holds the cluster mutex "quorinky_tsrx" (when the service made it exist), which orders the
// status tool's runs against every other process using this library. The queries hold it from
// the removal of an old output file until they have read and removed the new one: the output
// files lie in the one DATA folder, so two processes must not use them at the same time.
class ClusterLock {
 public:
  ClusterLock() : mutex_(g_state.cluster_mutex.load()) {
    held_ = mutex_ != nullptr && qp_named_mutex_wait(mutex_, QP_INFINITE) == QP_WAIT_OBJECT_0;
  }
  ~ClusterLock() {
    if (held_) qp_named_mutex_release(mutex_);
  }
  ClusterLock(const ClusterLock &) = delete;
  ClusterLock &operator=(const ClusterLock &) = delete;

 private:
  qp_named_mutex *mutex_;
  bool held_;
};

// One run of RUN's tool into OUTPUT (nullptr = none).
uint32_t runTool(const ToolRun &run, const char *output, uint32_t *last_error, uint32_t *exit_code) {
  *last_error = 0;
  *exit_code = 0;
  return runCommand(run.tool, run.arguments, output, last_error, exit_code);
}

void logRunError(const ToolRun &run, uint32_t result, uint32_t last_error, uint32_t exit_code) {
  libraryLogf(result, kLogRunCommandError, static_cast<int>(last_error), static_cast<int>(exit_code),
              run.tool, run.arguments);
}

// Opens a tool's output file for reading, logging why when it cannot.
FILE *openOutput(const char *path) {
  if (!qp_path_exists(path)) {
    libraryLogf(0, kLogNotFound, path);
    return nullptr;
  }
  FILE *file = qp_fopen(path, "r");
  if (file == nullptr) libraryLog(kLogFopenError, GetLastError());
  return file;
}

// Runs RUN's tool once into its output file and opens the file: nullptr (logged) on failure.
FILE *runForOutput(const ToolRun &run, const char *path) {
  uint32_t last_error, exit_code;
  uint32_t result = runTool(run, path, &last_error, &exit_code);
  if (result != 0 || exit_code != 0) {
    logRunError(run, result, last_error, exit_code);
    return nullptr;
  }
  return openOutput(path);
}

enum class Refusal { kNone, kNotInitialised, kServerShutdown, kClusterShutdown };

Refusal queryRefusal() {
  if (g_state.initialised.load() == 0) return Refusal::kNotInitialised;
  if (g_state.server_shutdown_started.load() != 0) return Refusal::kServerShutdown;
  if (g_state.cluster_shutdown_started.load() != 0) return Refusal::kClusterShutdown;
  return Refusal::kNone;
}

int refuseNotInitialised() {
  libraryLog(kLogNotInitialised, 0);
  SetLastError(kErrorRefused);
  return 0;
}

int refuseAfterShutdown(const char *message, const char *leave) {
  libraryLog(message, kErrorRefused);
  libraryLog(leave, kErrorRefused);
  SetLastError(kErrorRefused);
  return 0;
}

// A missing pointer argument: logged with CODE, the exit line LEAVE when the entry has one, and
// ERROR_INVALID_PARAMETER as last error.
int refuseArgument(const char *message, uint32_t code, const char *leave = nullptr) {
  libraryLog(message, code);
  if (leave != nullptr) libraryLog(leave, code);
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

// Refuses a shutdown whose initiator or option is not the one the cluster side uses: logged,
// result 0, the caller's last error left as it was.
int refuseShutdownValue(const char *message, uint32_t value) {
  libraryLog(message, value);
  return 0;
}

// Put a new handle in its slot, retiring the one it held.
void replaceCommandMutex(qp_mutex *mutex) {
  retireMutex(g_state.command_mutex.exchange(mutex));
}
void replaceClusterMutex(qp_named_mutex *mutex) {
  retireNamedMutex(g_state.cluster_mutex.exchange(mutex));
}

// Response thread of VexServerShutdown: runs the server shutdown tool until it succeeds, 81
// attempts at most. It was counted as running by the call that started it.
uint32_t serverShutdownResponse(void *) {
  libraryLog(kEnterResponseThread, 0);
  bool done = false;
  for (int attempt = 1; attempt <= kShutdownAttempts; ++attempt) {
    uint32_t last_error, exit_code;
    uint32_t result = runTool(kRunServerShutdown, nullptr, &last_error, &exit_code);
    if (result == 0 && exit_code == 0) {
      done = true;
      break;
    }
    if (attempt == 1) {
      logRunError(kRunServerShutdown, result, last_error, exit_code);
      libraryLog(kLogRetryStart, 0);
    }
    if (attempt < kShutdownAttempts && pause(kRetryPauseMs)) break;
  }
  libraryLog(done ? kLeaveResponseThread : kFailResponseThread, 0);
  g_state.active_calls.fetch_sub(1);
  return 0;
}

}  // namespace

}  // namespace vex

using namespace vex;

QP_DLL_EXPORT int VexInitializeApi(uint32_t *handle, uint32_t code, uint32_t limit_seconds) {
  CallScope scope;
  libraryLog(kEnterInitialize, code);
  if (handle != nullptr) *handle = 0;
  g_state.cluster_shutdown_started.store(0);
  g_state.server_shutdown_started.store(0);
  if (g_state.log_mutex.load() == nullptr) {
    qp_mutex *created = createUnnamedMutex();
    qp_mutex *expected = nullptr;
    if (!g_state.log_mutex.compare_exchange_strong(expected, created)) qp_mutex_close(created);
  }

  qp_named_mutex *cluster = qp_named_mutex_open(kClusterMutexName);
  if (cluster == nullptr) libraryLog(kLogClusterMutexNotOpened, GetLastError());
  replaceClusterMutex(cluster);
  replaceCommandMutex(createUnnamedMutex());

  int64_t start = qp_time_seconds();
  for (;;) {
    uint32_t last_error, exit_code, result;
    {
      ClusterLock cluster_lock;
      result = runTool(kRunInitialize, nullptr, &last_error, &exit_code);
    }
    if (result != 0) {
      logRunError(kRunInitialize, result, last_error, exit_code);
      SetLastError(last_error);
      return 0;
    }
    if (exit_code == 0) break;
    if (pause(kRetryPauseMs)) {  // the library is being unloaded
      SetLastError(ERROR_OPERATION_ABORTED);
      return 0;
    }
    if (limit_seconds != VEX_NO_LIMIT && qp_time_seconds() - start > static_cast<int64_t>(limit_seconds)) {
      libraryLog(kLogTesseraNotFound, 0);
      break;
    }
  }
  g_state.initialised.store(1);
  libraryLog(kLeaveInitialize, 0);
  return 1;
}

QP_DLL_EXPORT int VexTerminateApi(uint32_t handle) {
  CallScope scope;
  libraryLog(kEnterTerminate, handle);
  replaceCommandMutex(nullptr);
  replaceClusterMutex(nullptr);
  libraryLog(kLeaveTerminate, 0);
  return 1;
}

QP_DLL_EXPORT int VexGetClusterName(char *buffer, uint32_t *size) {
  CallScope scope;
  libraryLog(kEnterClusterName, 0);
  switch (queryRefusal()) {
    case Refusal::kNotInitialised:
      return refuseNotInitialised();
    case Refusal::kServerShutdown:
    case Refusal::kClusterShutdown:
      return refuseAfterShutdown(kLogRefusedClusterName, kLeaveClusterNameRefused);
    case Refusal::kNone:
      break;
  }
  if (size == nullptr)
    return refuseArgument(kLogIllegalSize, ERROR_INVALID_PARAMETER, kLeaveClusterNameRefused);
  if (buffer == nullptr && *size > 0)
    return refuseArgument(kLogIllegalBuffer, ERROR_INVALID_PARAMETER, kLeaveClusterNameRefused);

  int result = 0;
  {
    CommandLock lock;
    ClusterLock cluster_lock;
    char path[kPathSize];
    outputPath(path, kRunClusterName);
    deleteFile(path, true);
    FILE *file = runForOutput(kRunClusterName, path);
    if (file != nullptr) {
      char name[kOutputLineSize];
      // An empty first line names no cluster, as an empty file does not.
      if (readOutputLine(file, name, sizeof name) && name[0] != '\0') {
        size_t length = strlen(name);
        if (*size > 0) {
          memset(buffer, 0, *size);
          memcpy(buffer, name, length < *size - 1 ? length : *size - 1);
        }
        *size = static_cast<uint32_t>(length);
        result = 1;
      }
      fclose(file);
      deleteFile(path, false);
    }
  }
  libraryLog(kLeaveClusterName, 0);
  return result;
}

QP_DLL_EXPORT int VexEnumServer(VexServerEnumProc callback, uint32_t context) {
  CallScope scope;
  libraryLog(kEnterEnumServer, 0);
  switch (queryRefusal()) {
    case Refusal::kNotInitialised:
      return refuseNotInitialised();
    case Refusal::kServerShutdown:
    case Refusal::kClusterShutdown:
      return refuseAfterShutdown(kLogRefusedEnumServer, kLeaveEnumServerRefused);
    case Refusal::kNone:
      break;
  }
  if (callback == nullptr)
    return refuseArgument(kLogIllegalCallback, ERROR_INVALID_PARAMETER, kLeaveEnumServerRefused);

  {
    CommandLock lock;
    ClusterLock cluster_lock;
    char path[kPathSize];
    outputPath(path, kRunEnumServer);
    deleteFile(path, true);
    FILE *file = runForOutput(kRunEnumServer, path);
    if (file != nullptr) {
      char server[kOutputLineSize];
      while (readOutputLine(file, server, sizeof server)) {
        if (server[0] == '\0') continue;  // a blank line names no server
        if (callback(server, context) == 0) {
          libraryLog(kLogEnumStopped, GetLastError());
          break;
        }
        libraryLogf(context, kLogEnumServer, server);
      }
      fclose(file);
      deleteFile(path, false);
    }
  }
  libraryLog(kLeaveEnumServer, 0);
  return 1;
}

QP_DLL_EXPORT int VexGetServerStatus(uint32_t, uint32_t *state) {
  CallScope scope;
  // After a shutdown started here the server counts as started, and is not asked.
  Refusal refusal = queryRefusal();
  if (refusal == Refusal::kNotInitialised) return refuseNotInitialised();
  if (state == nullptr) return refuseArgument(kLogIllegalState, ERROR_INVALID_PARAMETER);
  switch (refusal) {
    case Refusal::kNotInitialised:
      return refuseNotInitialised();
    case Refusal::kServerShutdown:
    case Refusal::kClusterShutdown: {
      bool server = refusal == Refusal::kServerShutdown;
      libraryLog(server ? kLogRefusedServerShutdown : kLogRefusedClusterShutdown, kErrorRefused);
      libraryLog(kLeaveServerStatusRefused, kErrorRefused);
      *state = kStateStarted;
      return 1;
    }
    case Refusal::kNone:
      break;
  }

  CommandLock lock;
  char path[kPathSize];
  outputPath(path, kRunServerStatus);
  for (int attempt = 1;; ++attempt) {
    {
      ClusterLock cluster_lock;
      deleteFile(path, true);
      uint32_t last_error, exit_code;
      uint32_t result = runTool(kRunServerStatus, path, &last_error, &exit_code);
      if (result == 0 && exit_code == 0) {
        FILE *file = openOutput(path);
        if (file == nullptr) return 0;
        *state = parseServerStatus(file);
        fclose(file);
        deleteFile(path, false);
        return 1;
      }
      if (attempt == kStatusAttempts) {
        logRunError(kRunServerStatus, result, last_error, exit_code);
        return 0;
      }
    }
    if (pause(kRetryPauseMs)) {
      SetLastError(ERROR_OPERATION_ABORTED);
      return 0;
    }
  }
}

QP_DLL_EXPORT int VexClusterShutdown(uint32_t initiator, uint32_t option) {
  CallScope scope;
  libraryLog(kEnterClusterShutdown, option);
  if (initiator != VEX_SHUTDOWN_INITIATOR) return refuseShutdownValue(kLogIllegalInitiator, initiator);
  if (option != VEX_SHUTDOWN_OPTION) return refuseShutdownValue(kLogIllegalOption, option);
  if (g_state.initialised.load() == 0) return refuseNotInitialised();
  if (g_state.cluster_shutdown_started.load() != 0) return 1;

  libraryLog(kEnterClusterShutdownRuns, 0);
  for (int attempt = 1; attempt <= kShutdownAttempts; ++attempt) {
    uint32_t last_error, exit_code;
    uint32_t result = runTool(kRunClusterShutdown, nullptr, &last_error, &exit_code);
    if (result == 0 && exit_code == 0) {
      libraryLog(kLeaveClusterShutdownRuns, 0);
      g_state.cluster_shutdown_started.store(1);
      libraryLog(kLeaveClusterShutdown, 0);
      return 1;
    }
    if (attempt == 1) {
      logRunError(kRunClusterShutdown, result, last_error, exit_code);
      libraryLog(kLogRetryStart, 0);
    }
    if (attempt < kShutdownAttempts && pause(kRetryPauseMs)) break;
  }
  libraryLog(kFailClusterShutdownRuns, 0);
  return 0;
}

QP_DLL_EXPORT int VexServerShutdown(uint32_t option) {
  CallScope scope;
  libraryLog(kEnterServerShutdown, option);
  if (option != VEX_SHUTDOWN_OPTION) return refuseShutdownValue(kLogIllegalOption, option);
  if (g_state.initialised.load() == 0) return refuseNotInitialised();

  // The thread counts as a call running inside the library until it ends.
  g_state.active_calls.fetch_add(1);
  qp_thread *thread = nullptr;
  for (int attempt = 1; attempt <= kThreadAttempts; ++attempt) {
    thread = qp_thread_create(serverShutdownResponse, nullptr, kResponseThreadStack);
    if (thread != nullptr) break;
    if (attempt == kThreadAttempts) {
      g_state.active_calls.fetch_sub(1);
      libraryLog(kLogThreadError, GetLastError());
      return 0;
    }
    if (pause(kThreadPauseMs)) {  // the library is being unloaded
      g_state.active_calls.fetch_sub(1);
      libraryLog(kLogThreadError, GetLastError());
      return 0;
    }
  }
  qp_thread_close(thread);
  g_state.server_shutdown_started.store(1);
  libraryLog(kLeaveServerShutdown, 0);
  return 1;
}
