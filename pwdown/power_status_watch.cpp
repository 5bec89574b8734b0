// UPS power status from shared memory: GetUpsPowerStatus waits for the status word of the
// section "pwdownDllCmMemory" to differ from the value its caller knows; StopUpsPowerStatus,
// from another thread, ends every wait in progress.
//
// The section is created and kept current by a program outside this system; the library only
// opens it. Record at its start: bytes 0-11 not used here, bytes 12-15 the status (32-bit int).
//
// Process-wide state (WatchState, made once and never destroyed, since a host may exit while
// one of its threads still waits), guarded by its lock:
//   stop_generation  counts the stops; a wait leaves when it differs from the count it began
//                    under (read in the poll loop without the lock, hence atomic)
//   waits            the waits in progress: a list of nodes on the waiting threads' stacks,
//                    each with the generation it began under
// A stop that comes while no wait runs leaves nothing behind, so the next wait runs normally;
// one that comes during waits ends all of them and returns once each has left its loop.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "pwdown_internal.h"

namespace {

constexpr char kSectionName[] = "pwdownDllCmMemory";
// The record the producer keeps: the status word sits at offset 12 of the first 16 bytes.
constexpr size_t kRecordSize = 16;
constexpr size_t kStatusWord = 3;  // index of the status among the record's 32-bit words
constexpr uint32_t kPollMs = 500;
constexpr uint32_t kStopPollMs = 50;

// One wait in progress, on its caller's stack while it is listed.
struct WaitNode {
  uint64_t generation;
  WaitNode *next;
  WaitNode *prev;
};

struct WatchState {
  std::mutex lock;
  std::atomic<uint64_t> stop_generation{0};
  WaitNode *waits = nullptr;
};

// Made at load time without running code and with nothing to undo at unload (every member
// is trivially destructible), so that it is there for any wait of the library's life.
constinit WatchState g_watch;

WatchState &Watch() {
  return g_watch;
}

// Lists NODE as a wait under the current stop generation and returns that generation.
uint64_t BeginWait(WaitNode *node) {
  WatchState &w = Watch();
  std::lock_guard<std::mutex> guard(w.lock);
  node->generation = w.stop_generation.load();
  node->prev = nullptr;
  node->next = w.waits;
  if (w.waits != nullptr) w.waits->prev = node;
  w.waits = node;
  return node->generation;
}

void EndWait(WaitNode *node) {
  WatchState &w = Watch();
  std::lock_guard<std::mutex> guard(w.lock);
  if (node->prev != nullptr)
    node->prev->next = node->next;
  else
    w.waits = node->next;
  if (node->next != nullptr) node->next->prev = node->prev;
}

// Whether a wait that began before stop GENERATION is still in its loop.
bool WaitsBefore(uint64_t generation) {
  WatchState &w = Watch();
  std::lock_guard<std::mutex> guard(w.lock);
  for (const WaitNode *node = w.waits; node != nullptr; node = node->next)
    if (node->generation < generation) return true;
  return false;
}

// The status word of the record, read as the producer wrote it: the four words of the record
// are copied with single 32-bit loads, so a word is never seen half-written.
int32_t ReadStatus(const void *view) {
  const int32_t *words = static_cast<const int32_t *>(view);
  int32_t record[kRecordSize / sizeof(int32_t)];
  for (size_t i = 0; i < kRecordSize / sizeof(int32_t); ++i)
    record[i] = __atomic_load_n(&words[i], __ATOMIC_ACQUIRE);
  return record[kStatusWord];
}

}  // namespace

QP_DLL_EXPORT int GetUpsPowerStatus(int *status) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (GetSystemTypeFromRegistry() == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  if (status == nullptr) return PcFail(ERROR_INVALID_PARAMETER);

  WaitNode node;
  uint64_t generation = BeginWait(&node);
  char name[64];
  snprintf(name, sizeof name, "%s", kSectionName);
  qp_shm *section = qp_shm_open(name, 1);
  if (section == nullptr) {
    error = GetLastError();
    EndWait(&node);
    return PcFail(error);
  }
  size_t size = 0;
  const void *view = qp_shm_view(section, &size);
  // A section too small for the record would be read past its end.
  if (size < kRecordSize) {
    qp_shm_close(section);
    EndWait(&node);
    return PcFail(ERROR_INVALID_DATA);
  }

  int32_t known = *status;
  while (true) {
    int32_t current = ReadStatus(view);
    if (Watch().stop_generation.load() != generation) break;
    if (current != known) {
      *status = current;
      qp_shm_close(section);
      EndWait(&node);
      return 1;
    }
    qp_sleep_ms(kPollMs);
  }
  qp_shm_close(section);
  EndWait(&node);
  return PcFail(PC_ERR_STOPPED);
}

QP_DLL_EXPORT int StopUpsPowerStatus() {
  WatchState &w = Watch();
  uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    generation = w.stop_generation.fetch_add(1) + 1;
  }
  while (WaitsBefore(generation)) qp_sleep_ms(kStopPollMs);
  return 1;
}
