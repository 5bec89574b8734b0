// Process-wide state of the cluster-control library, its call tracking and interruptible pauses.
#pragma once

#include <stdint.h>

#include <atomic>

#include "quorin/platform.h"

namespace vex {

inline constexpr int kPathSize = 260;
inline constexpr int kMaxLogMode = 2;
inline constexpr uint32_t kErrorRefused = 0x20000004u;
inline constexpr uint32_t kStateDefault = 0x00010000u;
inline constexpr uint32_t kStateStarted = 0x02000000u;

// Everything the library keeps per process, in one place.
//
// - The paths and the log mode are written by the load step on the loading thread before any
//   export can be called, and only read afterwards.
// - log_mutex is created by the load step (or by VexInitializeApi when the load step could
//   not create it) and closed by the unload step.
// - The flags and the two handle slots are atomics: any thread of the host may call any
//   export. VexInitializeApi and VexTerminateApi swap the handles; a handle taken out while
//   another call may still use it is parked until the unload step (retireMutex).
// - active_calls counts exports in progress and running response threads; the unload step
//   waits for it to reach 0 before it frees anything.
// - unloading is set by the unload step: pauses between tool runs end at once, the retry
//   loops give up and a wait for a running tool ends, so that no thread is left running
//   inside an unloaded library.
struct State {
  char install_path[kPathSize] = {};
  char log_path[kPathSize] = {};
  char settings_path[kPathSize] = {};
  int32_t log_mode = kMaxLogMode;

  std::atomic<qp_mutex *> log_mutex{nullptr};
  qp_event *unloading = nullptr;

  std::atomic<int32_t> initialised{0};
  std::atomic<int32_t> cluster_shutdown_started{0};
  std::atomic<int32_t> server_shutdown_started{0};
  std::atomic<qp_mutex *> command_mutex{nullptr};
  std::atomic<qp_named_mutex *> cluster_mutex{nullptr};

  std::atomic<int32_t> active_calls{0};
};

// Initialised at compile time, so that it is ready before the load step runs.
extern constinit State g_state;

// Marks an export (or the response thread) as running inside the library for its lifetime.
class CallScope {
 public:
  CallScope() { g_state.active_calls.fetch_add(1); }
  ~CallScope() { g_state.active_calls.fetch_sub(1); }
  CallScope(const CallScope &) = delete;
  CallScope &operator=(const CallScope &) = delete;
};

// Pauses MS milliseconds of scaled time (see qp_time.h). Returns true when the library is
// being unloaded, in which case the caller stops retrying.
bool pause(uint32_t ms);

// True once the unload step has begun.
bool unloading();

// Take a handle out of use: closed at once when no other call can hold it, else parked and
// closed by the unload step.
void retireMutex(qp_mutex *mutex);
void retireNamedMutex(qp_named_mutex *mutex);
// Closes the parked handles and the current ones; only called once no call is running.
void closeAllHandles();

}  // namespace vex
