// Process-wide state of the cluster-control library, handle retirement and interruptible pauses.
#include "vex_state.h"

#include <mutex>

namespace vex {

constinit State g_state;

namespace {

// Handles taken out of use while another call was running: closed by the unload step. Guarded
// by g_parked_lock. A full table leaks the handle rather than closing it under a user.
constexpr int kParkedMax = 16;
constinit std::mutex g_parked_lock;
constinit qp_mutex *g_parked_mutexes[kParkedMax] = {};
constinit qp_named_mutex *g_parked_named[kParkedMax] = {};

// Only the caller itself is running inside the library, so nobody else can hold the handle:
// the caller took it out of its slot before looking.
bool alone() {
  return g_state.active_calls.load() <= 1;
}

}  // namespace

bool unloading() {
  qp_event *event = g_state.unloading;
  return event != nullptr && qp_event_wait(event, 0) == QP_WAIT_OBJECT_0;
}

bool pause(uint32_t ms) {
  qp_event *event = g_state.unloading;
  if (event == nullptr) {
    qp_sleep_ms(ms);
    return false;
  }
  uint32_t scale = qp_time_scale();
  uint32_t real_ms = ms / (scale == 0 ? 1 : scale);
  if (real_ms == 0 && ms > 0) real_ms = 1;
  return qp_event_wait(event, real_ms) == QP_WAIT_OBJECT_0;
}

void retireMutex(qp_mutex *mutex) {
  if (mutex == nullptr) return;
  if (alone()) {
    qp_mutex_close(mutex);
    return;
  }
  std::lock_guard<std::mutex> guard(g_parked_lock);
  for (qp_mutex *&slot : g_parked_mutexes) {
    if (slot == nullptr) {
      slot = mutex;
      return;
    }
  }
}

void retireNamedMutex(qp_named_mutex *mutex) {
  if (mutex == nullptr) return;
  if (alone()) {
    qp_named_mutex_close(mutex);
    return;
  }
  std::lock_guard<std::mutex> guard(g_parked_lock);
  for (qp_named_mutex *&slot : g_parked_named) {
    if (slot == nullptr) {
      slot = mutex;
      return;
    }
  }
}

void closeAllHandles() {
  std::lock_guard<std::mutex> guard(g_parked_lock);
  for (qp_mutex *&slot : g_parked_mutexes) {
    qp_mutex_close(slot);
    slot = nullptr;
  }
  for (qp_named_mutex *&slot : g_parked_named) {
    qp_named_mutex_close(slot);
    slot = nullptr;
  }
  qp_mutex_close(g_state.command_mutex.exchange(nullptr));
  qp_named_mutex_close(g_state.cluster_mutex.exchange(nullptr));
}

}  // namespace vex
