// The stop request of a console program (SIGINT, SIGTERM) as an event, and its reports to
// systemd.
//
// Process-wide state: the event, a pipe and a watcher thread, created once under g_lock and
// kept until the process ends. The signal handler only writes one byte into the pipe (an
// async-signal-safe call); the watcher thread reads it and signals the event, which a signal
// handler may not do itself.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "quorin/qp_console.h"
#include "quorin/qp_error.h"

namespace {

std::mutex g_lock;
std::atomic<qp_event *> g_stop_event{nullptr};
int g_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  int saved = errno;
  char byte = 1;
  ssize_t ignored = write(g_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

void watch_pipe(qp_event *event, int fd) {
  char byte;
  while (true) {
    ssize_t n = read(fd, &byte, 1);
    if (n == 1) {
      qp_event_set(event);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace

qp_event *qp_console_stop_event(void) {
  std::lock_guard<std::mutex> hold(g_lock);
  qp_event *existing = g_stop_event.load();
  if (existing != nullptr) return existing;
  qp_event *event = qp_event_create(1, 0);
  if (event == nullptr) return nullptr;
  if (pipe2(g_pipe, O_CLOEXEC) != 0) {
    int error = errno;
    qp_event_close(event);
    qp_set_error_from_errno(error);
    return nullptr;
  }
  // The handler must never block, even when a burst of signals fills the pipe.
  fcntl(g_pipe[1], F_SETFL, fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
  try {
    std::thread(watch_pipe, event, g_pipe[0]).detach();
  } catch (...) {
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
    qp_event_close(event);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  g_stop_event.store(event);
  return event;
}

int qp_console_notify_ready(const char *status) {
  char message[256];
  if (status != nullptr)
    snprintf(message, sizeof message, "READY=1\nSTATUS=%s", status);
  else
    snprintf(message, sizeof message, "READY=1");
  return sd_notify(0, message) > 0 ? 1 : 0;
}

int qp_console_notify_stopping(void) {
  return sd_notify(0, "STOPPING=1\nSTATUS=stopping") > 0 ? 1 : 0;
}
