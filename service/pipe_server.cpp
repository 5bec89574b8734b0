// The command pipe server: the connect loop on the service main thread and one thread per
// client that reads one request, has it processed and writes at most one reply.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "command_processor.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_main.h"
#include "service_state.h"

namespace {

constexpr uint32_t kPipeBufferSize = 4096;
constexpr uint32_t kPipeUnlimitedInstances = 255;
constexpr uint32_t kHexDumpLimit = 32;

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

// A connected client. The stop sequence interrupts connections still waiting for their
// request; a connection whose request is being processed is left to finish.
struct ClientConnection {
  qp_pipe *pipe;
  bool reading;
};

std::mutex g_clients_lock;
std::vector<ClientConnection *> g_clients;

void LogHex(const char *prefix, const unsigned char *bytes, uint32_t count) {
  char line[256];
  int used = snprintf(line, sizeof line, "%s", prefix);
  for (uint32_t i = 0; i < count && used >= 0 && static_cast<size_t>(used) < sizeof line; ++i)
    used += snprintf(line + used, sizeof line - static_cast<size_t>(used), "%02X ", bytes[i]);
  ServiceLog(line);
}

uint32_t ClientThread(void *arg) {
  ClientConnection *client = static_cast<ClientConnection *>(arg);
  qp_pipe *pipe = client->pipe;
  unsigned char buffer[kPipeBufferSize];
  memset(buffer, 0, sizeof buffer);
  ServiceLog(kMsgClientStarted);
  uint32_t bytes_read = 0;
  uint32_t error = qp_pipe_read(pipe, buffer, sizeof buffer, &bytes_read);
  {
    std::lock_guard<std::mutex> guard(g_clients_lock);
    client->reading = false;
  }
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
  {
    std::lock_guard<std::mutex> guard(g_clients_lock);
    g_clients.erase(std::remove(g_clients.begin(), g_clients.end(), client), g_clients.end());
  }
  qp_pipe_flush(pipe);
  qp_pipe_disconnect(pipe);
  qp_pipe_close(pipe);
  delete client;
  ServiceLog(kMsgClientEnded);
  return 0;
}

// Hands a connected instance to a client thread of its own.
void StartClient(qp_pipe *pipe) {
  ClientConnection *client = new ClientConnection{pipe, true};
  {
    std::lock_guard<std::mutex> guard(g_clients_lock);
    g_clients.push_back(client);
  }
  qp_thread *thread = qp_thread_create(ClientThread, client, 0);
  if (thread == nullptr) {
    uint32_t error = GetLastError();
    {
      std::lock_guard<std::mutex> guard(g_clients_lock);
      g_clients.erase(std::remove(g_clients.begin(), g_clients.end(), client), g_clients.end());
    }
    delete client;
    ServiceLogf(0, kMsgThreadFailed, error);
    qp_pipe_disconnect(pipe);
    qp_pipe_close(pipe);
    return;
  }
  RegisterWorker(thread);
}

}  // namespace

void RunPipeServer() {
  ServiceLog(kMsgLoopStarting);
  qp_event *stop = StopEvent.load();
  while (qp_event_wait(stop, 0) != QP_WAIT_OBJECT_0) {
    ReapWorkers();
    qp_pipe *pipe = nullptr;
    uint32_t error = qp_pipe_create(kPipeName, kPipeUnlimitedInstances, kPipeBufferSize, &pipe);
    if (error != ERROR_SUCCESS) {
      ServiceLogf(0, kMsgCreatePipeFailed, error);
      SleepUnlessStopping(1000);
      continue;
    }
    qp_event *connect_event = qp_event_create(1, 0);
    if (connect_event == nullptr) {
      ServiceLogf(0, kMsgCreateEventFailed, GetLastError());
      qp_pipe_close(pipe);
      continue;
    }
    const char *connected;
    error = qp_pipe_connect(pipe, connect_event);
    if (error == ERROR_SUCCESS) {
      connected = kMsgConnectedSync;
    } else if (error == ERROR_PIPE_CONNECTED) {
      connected = kMsgConnectedAlready;
    } else if (error == ERROR_IO_PENDING) {
      qp_event *events[2] = {connect_event, stop};
      uint32_t which = qp_wait_any(2, events, QP_INFINITE);
      if (which == QP_WAIT_OBJECT_0) {
        uint32_t result = qp_pipe_connect_result(pipe);
        if (result != ERROR_SUCCESS) {
          ServiceLogf(0, kMsgOverlappedFailed, result);
          qp_pipe_cancel_io(pipe);
          qp_event_close(connect_event);
          qp_pipe_close(pipe);
          continue;
        }
        connected = kMsgConnected;
      } else if (which == QP_WAIT_OBJECT_0 + 1) {
        ServiceLog(kMsgStopDuringWait);
        qp_pipe_cancel_io(pipe);
        qp_event_close(connect_event);
        qp_pipe_close(pipe);
        break;
      } else {
        ServiceLogf(0, kMsgWaitFailed, static_cast<unsigned long>(which));
        qp_pipe_cancel_io(pipe);
        qp_event_close(connect_event);
        qp_pipe_close(pipe);
        continue;
      }
    } else {
      ServiceLogf(0, kMsgConnectFailed, error);
      qp_event_close(connect_event);
      qp_pipe_close(pipe);
      continue;
    }
    ServiceLog(connected);
    qp_event_close(connect_event);
    StartClient(pipe);
  }
  // No instance is left: a client that tries now finds no pipe rather than waiting unanswered
  // in the queue of a pipe nobody serves any more.
  qp_pipe_close_server(kPipeName);
  ServiceLog(kMsgLoopExited);
}

void CancelWaitingClients() {
  std::lock_guard<std::mutex> guard(g_clients_lock);
  for (ClientConnection *client : g_clients)
    if (client->reading) qp_pipe_cancel_io(client->pipe);
}
