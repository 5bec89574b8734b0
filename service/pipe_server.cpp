// The command pipe server: the connect loop on the service main thread, which also watches the
// connected clients until their request arrives, and one thread per request that has it
// processed and writes at most one reply.
//
// Sections: limits and log texts; client threads (counted, never joined one by one); the
// clients waiting for their request (a watch, a time-out, a bound); the loop.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <list>
#include <mutex>

#include "command_processor.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_main.h"
#include "service_state.h"

namespace {

constexpr uint32_t kPipeBufferSize = 4096;
constexpr uint32_t kPipeUnlimitedInstances = 255;
constexpr uint32_t kHexDumpLimit = 32;
constexpr uint32_t kCreateRetryPauseMs = 1000;

// How many clients are served at once. A request is processed on a thread of its own, at most
// kMaxClientThreads at a time; a further request waits, connected, for a thread to end.
// Connected clients whose request has not come yet cost no thread: the loop watches them all
// together, at most kMaxWaitingClients of them (those with a request waiting for a thread
// included). While that many are connected no further client is taken: clients then find
// the pipe busy, as when every instance of a pipe is in use.
constexpr int kMaxClientThreads = 64;
constexpr size_t kMaxWaitingClients = 4096;
// Time a connected client has to send its request; QUORIN_PIPE_REQUEST_TIMEOUT_MS (real
// milliseconds, not scaled) overrides it.
constexpr uint32_t kRequestTimeoutMs = 5000;
constexpr const char kRequestTimeoutVariable[] = "QUORIN_PIPE_REQUEST_TIMEOUT_MS";

constexpr const char kMsgLoopStarting[] = "Starting pipe server loop...";
constexpr const char kMsgCreatePipeFailed[] = "CreateNamedPipe failed (error: 0x%08x)";
constexpr const char kMsgCreateEventFailed[] = "CreateEvent failed (error: 0x%08x)";
constexpr const char kMsgConnectedSync[] = "Client connected (synchronous)";
constexpr const char kMsgConnectedAlready[] = "Client connected (already connected)";
constexpr const char kMsgConnected[] = "Client connected";
constexpr const char kMsgOverlappedFailed[] = "GetOverlappedResult failed (error: 0x%08x)";
constexpr const char kMsgStopDuringWait[] = "Service stop requested during client connection wait";
constexpr const char kMsgWaitFailed[] = "WaitForMultipleObjects failed (result: %lu)";
constexpr const char kMsgConnectFailed[] = "ConnectNamedPipe failed (error: 0x%08x)";
constexpr const char kMsgThreadFailed[] = "CreateThread failed (error: 0x%08x)";
constexpr const char kMsgLoopExited[] = "Pipe server loop exited";
constexpr const char kMsgClientStarted[] = "Client connection processing started";
constexpr const char kMsgReceived[] = "Received data: %lu bytes";
constexpr const char kMsgReceivedHex[] = "Received (hex): ";
constexpr const char kMsgProcessFailed[] = "ProcessCommand failed";
constexpr const char kMsgProcessSucceeded[] = "ProcessCommand succeeded, response size: %lu";
constexpr const char kMsgResponseHex[] = "Response (hex): ";
constexpr const char kMsgSent[] = "Sent data: %lu bytes";
constexpr const char kMsgWriteFailed[] = "WriteFile failed (error: 0x%08x)";
constexpr const char kMsgBrokenPipe[] = "Client disconnected before sending data (ERROR_BROKEN_PIPE)";
constexpr const char kMsgGraceful[] = "Client disconnected gracefully (0 bytes read)";
constexpr const char kMsgReadFailed[] = "ReadFile failed (error: 0x%08x, bytes: %lu)";
constexpr const char kMsgClientEnded[] = "Client connection ended";
constexpr const char kMsgWatchFailed[] = "Client watch could not be created (error: 0x%08x)";
constexpr const char kMsgWatchAddFailed[] = "Client could not be watched (error: 0x%08x)";
constexpr const char kMsgRequestTimeout[] = "Client sent no request within %lu ms";
constexpr const char kMsgClientsFull[] =
    "Client limit reached (%lu connected): new clients find the pipe busy";
constexpr const char kMsgClosedAtStop[] = "Closed %lu client connections waiting for a request";

// ---- Client threads ----

// Threads processing a request. Each one counts itself out at its end and signals
// g_thread_ended, so that neither the loop nor the stop sequence waits on threads one by one.
std::mutex g_threads_lock;
std::condition_variable g_threads_changed;
int g_running_threads = 0;                        // guarded by g_threads_lock
std::atomic<qp_event *> g_thread_ended{nullptr};  // auto-reset; created and closed by the loop

void LogHex(const char *prefix, const unsigned char *bytes, uint32_t count) {
  char line[256];
  int used = snprintf(line, sizeof line, "%s", prefix);
  for (uint32_t i = 0; i < count && used >= 0 && static_cast<size_t>(used) < sizeof line; ++i)
    used += snprintf(line + used, sizeof line - static_cast<size_t>(used), "%02X ", bytes[i]);
  ServiceLog(line);
}

uint32_t ClientThread(void *arg) {
  qp_pipe *pipe = static_cast<qp_pipe *>(arg);
  unsigned char buffer[kPipeBufferSize];
  memset(buffer, 0, sizeof buffer);
  ServiceLog(kMsgClientStarted);
  // The request has arrived (or the client has gone): the read does not wait.
  uint32_t bytes_read = 0;
  uint32_t error = qp_pipe_read(pipe, buffer, sizeof buffer, &bytes_read);
  if (error == ERROR_SUCCESS && bytes_read > 0) {
    ServiceLogf(0, kMsgReceived, static_cast<unsigned long>(bytes_read));
    if (bytes_read <= kHexDumpLimit) LogHex(kMsgReceivedHex, buffer, bytes_read);
    uint32_t reply_size = 0;
    if (ProcessCommand(reinterpret_cast<char *>(buffer), bytes_read, &reply_size) == 0) {
      ServiceLog(kMsgProcessFailed);
    } else {
      ServiceLogf(0, kMsgProcessSucceeded, static_cast<unsigned long>(reply_size));
      if (reply_size <= kHexDumpLimit) LogHex(kMsgResponseHex, buffer, reply_size);
      uint32_t written = 0;
      uint32_t write_error = qp_pipe_write(pipe, buffer, reply_size, &written);
      if (write_error == ERROR_SUCCESS)
        ServiceLogf(0, kMsgSent, static_cast<unsigned long>(written));
      else
        ServiceLogf(0, kMsgWriteFailed, write_error);
    }
  } else if (error == ERROR_BROKEN_PIPE) {
    ServiceLog(kMsgBrokenPipe);
  } else if (error == ERROR_SUCCESS) {
    ServiceLog(kMsgGraceful);
  } else {
    ServiceLogf(0, kMsgReadFailed, error, static_cast<unsigned long>(bytes_read));
  }
  qp_pipe_flush(pipe);
  qp_pipe_disconnect(pipe);
  qp_pipe_close(pipe);
  ServiceLog(kMsgClientEnded);
  // Signalled before the count drops: once it reaches 0 the stop sequence may close the event.
  qp_event_set(g_thread_ended.load());
  // Notified under the lock: once the stop sequence sees the count at 0 this thread no longer
  // touches the condition, which the process's exit may then destroy.
  {
    std::lock_guard<std::mutex> guard(g_threads_lock);
    --g_running_threads;
    g_threads_changed.notify_all();
  }
  return 0;
}

int RunningThreads() {
  std::lock_guard<std::mutex> guard(g_threads_lock);
  return g_running_threads;
}

// Hands a connection whose request has come to a thread of its own; the thread's handle is
// released at once, the thread counts itself out at its end.
void StartClient(qp_pipe *pipe) {
  {
    std::lock_guard<std::mutex> guard(g_threads_lock);
    ++g_running_threads;
  }
  qp_thread *thread = qp_thread_create(ClientThread, pipe, 0);
  if (thread == nullptr) {
    uint32_t error = GetLastError();
    {
      std::lock_guard<std::mutex> guard(g_threads_lock);
      --g_running_threads;
      g_threads_changed.notify_all();
    }
    ServiceLogf(0, kMsgThreadFailed, error);
    qp_pipe_disconnect(pipe);
    qp_pipe_close(pipe);
    return;
  }
  qp_thread_close(thread);
}

// ---- Clients waiting for their request ----

uint32_t RequestTimeoutMs() {
  const char *text = getenv(kRequestTimeoutVariable);
  if (text == nullptr || *text < '0' || *text > '9') return kRequestTimeoutMs;
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > 3600000ul) return kRequestTimeoutMs;
  return static_cast<uint32_t>(value);
}

// The connected clients of the loop (service main thread only). Idle ones are kept in the
// order they came, which is the order of their deadlines, so the next deadline is the first
// one's and a client is found, moved or dropped in constant time.
class WaitingClients {
 public:
  ~WaitingClients() { qp_pipe_watch_close(watch_); }

  // The watch; 0 or the error of its creation.
  uint32_t Open() {
    watch_ = qp_pipe_watch_create();
    return watch_ != nullptr ? ERROR_SUCCESS : GetLastError();
  }
  qp_event *ReadyEvent() const { return qp_pipe_watch_event(watch_); }

  size_t Count() const { return idle_.size() + ready_.size(); }
  bool HasRoom() const { return Count() < kMaxWaitingClients; }
  bool HasReady() const { return !ready_.empty(); }

  // A newly connected client: watched until its request comes or its time is up.
  void Add(qp_pipe *pipe, uint64_t now) {
    idle_.push_back(Idle{pipe, now + timeout_ms_, {}});
    auto it = std::prev(idle_.end());
    it->self = it;
    uint32_t error = qp_pipe_watch_add(watch_, pipe, &*it);
    if (error != ERROR_SUCCESS) {
      idle_.erase(it);
      ServiceLogf(0, kMsgWatchAddFailed, error);
      qp_pipe_disconnect(pipe);
      qp_pipe_close(pipe);
    }
  }

  // Moves every client whose request (or hang-up) has come to the ready queue.
  void CollectReady() {
    void *keys[64];
    uint32_t n;
    while ((n = qp_pipe_watch_ready(watch_, keys, 64)) > 0) {
      for (uint32_t i = 0; i < n; ++i) {
        Idle *client = static_cast<Idle *>(keys[i]);
        qp_pipe_watch_remove(watch_, client->pipe);
        ready_.push_back(client->pipe);
        idle_.erase(client->self);
      }
    }
  }

  // Starts threads for ready clients while there is room for them.
  void StartReady() {
    while (!ready_.empty() && RunningThreads() < kMaxClientThreads) {
      qp_pipe *pipe = ready_.front();
      ready_.pop_front();
      StartClient(pipe);
    }
  }

  // Drops the idle clients whose time is up.
  void ExpireIdle(uint64_t now) {
    while (!idle_.empty() && idle_.front().deadline <= now) {
      Idle &client = idle_.front();
      qp_pipe_watch_remove(watch_, client.pipe);
      ServiceLogf(0, kMsgRequestTimeout, static_cast<unsigned long>(timeout_ms_));
      qp_pipe_disconnect(client.pipe);
      qp_pipe_close(client.pipe);
      idle_.pop_front();
    }
  }

  // Real milliseconds until the next deadline, or QP_INFINITE when no client is idle.
  uint32_t NextTimeout(uint64_t now) const {
    if (idle_.empty()) return QP_INFINITE;
    uint64_t deadline = idle_.front().deadline;
    return deadline <= now ? 0 : static_cast<uint32_t>(deadline - now);
  }

  // Closes every connection still waiting (stop): their requests are not processed.
  size_t CloseAll() {
    size_t closed = Count();
    for (Idle &client : idle_) {
      qp_pipe_watch_remove(watch_, client.pipe);
      qp_pipe_disconnect(client.pipe);
      qp_pipe_close(client.pipe);
    }
    idle_.clear();
    for (qp_pipe *pipe : ready_) {
      qp_pipe_disconnect(pipe);
      qp_pipe_close(pipe);
    }
    ready_.clear();
    return closed;
  }

 private:
  struct Idle {
    qp_pipe *pipe;
    uint64_t deadline;  // real clock
    std::list<Idle>::iterator self;
  };
  qp_pipe_watch *watch_ = nullptr;
  std::list<Idle> idle_;
  std::deque<qp_pipe *> ready_;  // request come, waiting for a thread
  uint32_t timeout_ms_ = RequestTimeoutMs();
};

// A connect failure for want of descriptors repeats at once as long as the shortage lasts:
// such failures pause like a failed instance creation instead of filling the log.
void PauseAfter(uint32_t error) {
  if (error == ERROR_TOO_MANY_OPEN_FILES) SleepUnlessStopping(kCreateRetryPauseMs);
}

}  // namespace

void RunPipeServer() {
  ServiceLog(kMsgLoopStarting);
  qp_event *stop = StopEvent.load();
  g_thread_ended.store(qp_event_create(0, 0));
  WaitingClients clients;
  uint32_t error = clients.Open();
  while (error != ERROR_SUCCESS && qp_event_wait(stop, 0) != QP_WAIT_OBJECT_0) {
    ServiceLogf(0, kMsgWatchFailed, error);
    SleepUnlessStopping(kCreateRetryPauseMs);
    error = clients.Open();
  }

  qp_pipe *pipe = nullptr;  // the instance waiting for a client, when there is room for one
  qp_event *connect_event = nullptr;
  bool full_logged = false;
  auto drop_instance = [&](bool cancel) {
    if (cancel) qp_pipe_cancel_io(pipe);
    qp_event_close(connect_event);
    qp_pipe_close(pipe);
    connect_event = nullptr;
    pipe = nullptr;
  };
  auto connected = [&](const char *message) {
    ServiceLog(message);
    qp_event_close(connect_event);
    connect_event = nullptr;
    clients.Add(pipe, qp_real_tick_ms());
    pipe = nullptr;
  };

  while (error == ERROR_SUCCESS && qp_event_wait(stop, 0) != QP_WAIT_OBJECT_0) {
    clients.CollectReady();
    clients.StartReady();
    clients.ExpireIdle(qp_real_tick_ms());

    if (pipe == nullptr && clients.HasRoom()) {
      full_logged = false;
      uint32_t created = qp_pipe_create(kPipeName, kPipeUnlimitedInstances, kPipeBufferSize, &pipe);
      if (created != ERROR_SUCCESS) {
        ServiceLogf(0, kMsgCreatePipeFailed, created);
        pipe = nullptr;
        SleepUnlessStopping(kCreateRetryPauseMs);
        continue;
      }
      connect_event = qp_event_create(1, 0);
      if (connect_event == nullptr) {
        ServiceLogf(0, kMsgCreateEventFailed, GetLastError());
        qp_pipe_close(pipe);
        pipe = nullptr;
        continue;
      }
      uint32_t result = qp_pipe_connect(pipe, connect_event);
      if (result == ERROR_SUCCESS) {
        connected(kMsgConnectedSync);
        continue;
      }
      if (result == ERROR_PIPE_CONNECTED) {
        connected(kMsgConnectedAlready);
        continue;
      }
      if (result != ERROR_IO_PENDING) {
        ServiceLogf(0, kMsgConnectFailed, result);
        drop_instance(false);
        PauseAfter(result);
        continue;
      }
    } else if (pipe == nullptr && !full_logged) {
      ServiceLogf(0, kMsgClientsFull, static_cast<unsigned long>(clients.Count()));
      full_logged = true;
    }

    // Wait for a client (when an instance is waiting for one), a request, the end of a thread
    // (when a request waits for one), a client's deadline, or the stop.
    qp_event *events[4];
    enum Source { kConnect, kStop, kReady, kThreadEnded } sources[4];
    uint32_t count = 0;
    if (pipe != nullptr) {
      events[count] = connect_event;
      sources[count++] = kConnect;
    }
    events[count] = stop;
    sources[count++] = kStop;
    events[count] = clients.ReadyEvent();
    sources[count++] = kReady;
    if (clients.HasReady() && g_thread_ended.load() != nullptr) {
      events[count] = g_thread_ended.load();
      sources[count++] = kThreadEnded;
    }
    uint32_t which = qp_wait_any(count, events, clients.NextTimeout(qp_real_tick_ms()));
    if (which == QP_WAIT_TIMEOUT) continue;
    if (which >= count) {
      ServiceLogf(0, kMsgWaitFailed, static_cast<unsigned long>(which));
      if (pipe != nullptr) drop_instance(true);
      continue;
    }
    if (sources[which] == kStop) {
      ServiceLog(kMsgStopDuringWait);
      break;
    }
    switch (sources[which]) {
      case kConnect: {
        uint32_t result = qp_pipe_connect_result(pipe);
        if (result != ERROR_SUCCESS) {
          ServiceLogf(0, kMsgOverlappedFailed, result);
          drop_instance(true);
          PauseAfter(result);
        } else {
          connected(kMsgConnected);
        }
        break;
      }
      case kStop:
      case kReady:
      case kThreadEnded:
        break;  // the next pass takes them
    }
  }
  if (pipe != nullptr) drop_instance(true);
  size_t closed = clients.CloseAll();
  if (closed > 0) ServiceLogf(0, kMsgClosedAtStop, static_cast<unsigned long>(closed));
  // No instance is left: a client that tries now finds no pipe rather than waiting unanswered
  // in the queue of a pipe nobody serves any more.
  qp_pipe_close_server(kPipeName);
  ServiceLog(kMsgLoopExited);
}

int WaitForClientThreads(uint64_t deadline_ms) {
  std::unique_lock<std::mutex> guard(g_threads_lock);
  while (g_running_threads > 0) {
    uint64_t now = qp_real_tick_ms();
    if (now >= deadline_ms) return 0;
    g_threads_changed.wait_for(guard, std::chrono::milliseconds(deadline_ms - now));
  }
  guard.unlock();
  qp_event_close(g_thread_ended.exchange(nullptr));
  return 1;
}
