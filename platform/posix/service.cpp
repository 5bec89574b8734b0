// Service host: dispatcher, control handler calls, status reports and the service query.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "quorin/qp_error.h"
#include "quorin/qp_runtime.h"
#include "quorin/qp_service.h"
#include "quorin/qp_sync.h"
#include "quorin/qp_time.h"

// The one service a process runs. The dispatcher thread owns it; the service main thread
// registers the handler and reports status; handler calls run on the dispatcher thread.
struct qp_service_handle {
  char name[128];
  std::mutex lock;  // guards handler, status and pending_stop
  qp_service_handler_fn handler = nullptr;
  void *context = nullptr;
  qp_service_status status{};
  bool pending_stop = false;  // a stop signal that came before the service accepted stops
  bool under_systemd = false;
  char text[256] = "";  // status text, published with every report
};

namespace {

qp_service_handle g_service;
std::atomic<bool> g_dispatching{false};

bool service_path(const char *name, const char *suffix, char *out, size_t size) {
  char dir[512];
  if (!qp_runtime_path("services", dir, sizeof dir)) return false;
  int n = snprintf(out, size, "%s/%s%s", dir, name, suffix);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

// Creates PATH afresh for writing: whatever was at PATH (a stale file, or a link planted
// there) is removed first, and the new file is made exclusively, never through a link, with
// mode 0640. NULL with the last error on failure.
FILE *create_fresh(const char *path) {
  unlink(path);
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  FILE *f = fdopen(fd, "w");
  if (f == nullptr) {
    qp_set_error_from_errno(errno);
    close(fd);
  }
  return f;
}

// Writes the status file (state, check point, wait hint, controls, exit codes, process id)
// as a new file that replaces the old one, so readers never see a partial report.
bool publish(const char *name, const qp_service_status &s, const char *text) {
  char path[600], temp[620];
  if (!service_path(name, "", path, sizeof path)) return false;
  snprintf(temp, sizeof temp, "%s.tmp%d", path, static_cast<int>(getpid()));
  FILE *f = create_fresh(temp);
  if (f == nullptr) return false;
  fprintf(f,
          "state=%u\ncontrols=%u\nexit_code=%u\nspecific_exit_code=%u\ncheck_point=%u\nwait_hint=%u\ntype=%"
          "u\npid=%d\n",
          s.current_state, s.controls_accepted, s.win32_exit_code, s.service_specific_exit_code,
          s.check_point, s.wait_hint, s.service_type, static_cast<int>(getpid()));
  if (text != nullptr && *text != '\0') fprintf(f, "text=%s\n", text);
  bool ok = fclose(f) == 0 && rename(temp, path) == 0;
  if (!ok) {
    qp_set_error_from_errno(errno);
    unlink(temp);
  }
  return ok;
}

void notify_systemd(const qp_service_status &s, const char *text) {
  char message[512];
  switch (s.current_state) {
    case QP_SERVICE_START_PENDING:
      snprintf(message, sizeof message, "STATUS=starting\nEXTEND_TIMEOUT_USEC=%llu",
               static_cast<unsigned long long>(s.wait_hint) * 1000ull);
      break;
    case QP_SERVICE_RUNNING:
      if (text != nullptr && *text != '\0')
        snprintf(message, sizeof message, "READY=1\nSTATUS=running: %s", text);
      else
        snprintf(message, sizeof message, "READY=1\nSTATUS=running");
      break;
    case QP_SERVICE_STOP_PENDING:
      snprintf(message, sizeof message, "STOPPING=1\nSTATUS=stopping\nEXTEND_TIMEOUT_USEC=%llu",
               static_cast<unsigned long long>(s.wait_hint) * 1000ull);
      break;
    case QP_SERVICE_STOPPED:
      snprintf(message, sizeof message, "STATUS=stopped (exit code %u)", s.win32_exit_code);
      break;
    default:
      snprintf(message, sizeof message, "STATUS=state %u", s.current_state);
      break;
  }
  sd_notify(0, message);
}

// Whether CONTROL may reach the handler now: nothing reaches a service that reported
// STOPPED, and stop or shutdown only while the service accepts them. Other controls go to
// the handler, which answers them itself (ERROR_CALL_NOT_IMPLEMENTED for those it ignores).
uint32_t control_refusal(uint32_t control) {
  std::lock_guard<std::mutex> guard(g_service.lock);
  if (g_service.status.current_state == QP_SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  uint32_t needs = control == QP_SERVICE_CONTROL_STOP       ? QP_SERVICE_ACCEPT_STOP
                   : control == QP_SERVICE_CONTROL_SHUTDOWN ? QP_SERVICE_ACCEPT_SHUTDOWN
                                                            : 0;
  if (needs != 0 && (g_service.status.controls_accepted & needs) == 0)
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  return ERROR_SUCCESS;
}

uint32_t call_handler(uint32_t control) {
  qp_service_handler_fn handler;
  void *context;
  {
    std::lock_guard<std::mutex> guard(g_service.lock);
    handler = g_service.handler;
    context = g_service.context;
  }
  if (handler == nullptr) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  return handler(control, 0, nullptr, context);
}

// A stop that arrives as a signal goes to the handler once the service accepts stops.
void deliver_stop_signal() {
  bool accepts;
  {
    std::lock_guard<std::mutex> guard(g_service.lock);
    if (g_service.status.current_state == QP_SERVICE_STOPPED) return;  // already stopped
    accepts =
        g_service.handler != nullptr && (g_service.status.controls_accepted & QP_SERVICE_ACCEPT_STOP) != 0;
    if (!accepts) g_service.pending_stop = true;
  }
  if (accepts) call_handler(QP_SERVICE_CONTROL_STOP);
}

// True while PID runs; a zombie that nobody reaped yet counts as ended.
bool process_alive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  char path[64], stat_line[256];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE *f = fopen(path, "re");
  if (f == nullptr) return false;
  bool alive = true;
  if (fgets(stat_line, sizeof stat_line, f) != nullptr) {
    const char *close_paren = strrchr(stat_line, ')');
    if (close_paren != nullptr && close_paren[1] == ' ' && (close_paren[2] == 'Z' || close_paren[2] == 'X'))
      alive = false;
  }
  fclose(f);
  return alive;
}

long recorded_pid(const char *name) {
  char path[600];
  if (!service_path(name, "", path, sizeof path)) return 0;
  FILE *f = fopen(path, "re");
  if (f == nullptr) return 0;
  long pid = 0;
  char line[128];
  while (fgets(line, sizeof line, f) != nullptr)
    if (sscanf(line, "pid=%ld", &pid) == 1) break;
  fclose(f);
  return pid;
}

struct MainArgs {
  qp_service_main_fn main;
  char *argv[2];
  int done_fd;
};

void *run_main(void *p) {
  MainArgs *args = static_cast<MainArgs *>(p);
  args->main(1, args->argv);
  uint64_t one = 1;
  if (write(args->done_fd, &one, sizeof one) < 0) {
  }
  return nullptr;
}

// The listening control socket, or -1 with the last error set.
int make_control_socket(const char *name) {
  char path[600];
  if (!service_path(name, ".ctl", path, sizeof path)) return -1;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }
  memcpy(addr.sun_path, path, strlen(path) + 1);
  unlink(path);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || chmod(path, 0660) != 0 ||
      listen(fd, 16) != 0) {
    qp_set_error_from_errno(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// A service holds a descriptor for every client connected to its pipe, and Windows gives a
// process far more handles than the usual soft limit of 1024 descriptors: the soft limit is
// raised towards the hard one, up to kServiceHandleLimit.
constexpr rlim_t kServiceHandleLimit = 16384;

void raise_handle_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kServiceHandleLimit) return;
  rlim_t wanted = limit.rlim_max < kServiceHandleLimit ? limit.rlim_max : kServiceHandleLimit;
  if (wanted <= limit.rlim_cur) return;
  limit.rlim_cur = wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// A service's threads share one heap, as the threads of a Windows process share its process
// heap. The C library would otherwise give a thread that meets another at the heap an arena
// of its own, kept mapped and partly resident for the rest of the process: a service that
// serves each client and each UPS read on a short-lived thread would grow by an arena at every
// new peak of concurrency (hundreds of kB over thousands of requests), for no gain in a
// process whose threads mostly wait on sockets.
void use_one_heap() {
  mallopt(M_ARENA_MAX, 1);
}

// One control request: a 4-byte control code in, the handler's 4-byte answer out.
void serve_control(int listen_fd) {
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  struct timeval tv = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  // The reply: a status (0, or why the control was refused), then the handler's answer.
  uint32_t code = 0;
  if (recv(fd, &code, sizeof code, 0) == sizeof code) {
    uint32_t reply[2] = {control_refusal(code), 0};
    if (reply[0] == ERROR_SUCCESS) reply[1] = call_handler(code);
    send(fd, reply, sizeof reply, MSG_NOSIGNAL);
  }
  close(fd);
}

}  // namespace

int qp_service_dispatch(const char *name, qp_service_main_fn service_main) {
  const char *notify = getenv("NOTIFY_SOCKET");
  const char *invocation = getenv("INVOCATION_ID");
  const char *svcctl = getenv("QUORIN_SVCCTL");
  bool by_systemd = (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
  bool by_svcctl = svcctl != nullptr && *svcctl != '\0';
  if (!by_systemd && !by_svcctl) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return 0;
  }
  if (name == nullptr || service_main == nullptr || g_dispatching.exchange(true)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  snprintf(g_service.name, sizeof g_service.name, "%s", name);
  g_service.under_systemd = by_systemd;
  raise_handle_limit();
  use_one_heap();

  // SIGTERM (and SIGINT) are the stop control: blocked in every thread, read here.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  uint32_t code = ERROR_SUCCESS;
  int sig_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sig_fd < 0) code = qp_error_from_errno(errno);
  int done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (done_fd < 0 && code == ERROR_SUCCESS) code = qp_error_from_errno(errno);
  int control_fd = make_control_socket(name);  // a runtime folder refused fails here
  if (control_fd < 0 && code == ERROR_SUCCESS) code = GetLastError();
  if (sig_fd < 0 || done_fd < 0 || control_fd < 0) {
    if (sig_fd >= 0) close(sig_fd);
    if (done_fd >= 0) close(done_fd);
    if (control_fd >= 0) close(control_fd);
    SetLastError(code == ERROR_SUCCESS ? ERROR_GEN_FAILURE : code);
    return 0;
  }

  static MainArgs args;
  args.main = service_main;
  args.argv[0] = g_service.name;
  args.argv[1] = nullptr;
  args.done_fd = done_fd;
  pthread_t main_thread;
  int rc = pthread_create(&main_thread, nullptr, run_main, &args);
  if (rc != 0) {
    close(sig_fd);
    close(done_fd);
    close(control_fd);
    qp_set_error_from_errno(rc);
    return 0;
  }

  bool ended = false;
  while (!ended) {
    struct pollfd fds[3] = {{sig_fd, POLLIN, 0}, {control_fd, POLLIN, 0}, {done_fd, POLLIN, 0}};
    int ready = poll(fds, 3, 200);
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      struct signalfd_siginfo info;
      while (read(sig_fd, &info, sizeof info) == sizeof info) deliver_stop_signal();
    }
    if (fds[1].revents & POLLIN) serve_control(control_fd);
    if (fds[2].revents & POLLIN) ended = true;
    // A stop signal that came early is delivered as soon as the service accepts stops.
    bool deliver = false;
    {
      std::lock_guard<std::mutex> guard(g_service.lock);
      if (g_service.pending_stop && g_service.handler != nullptr &&
          (g_service.status.controls_accepted & QP_SERVICE_ACCEPT_STOP) != 0 &&
          g_service.status.current_state != QP_SERVICE_STOPPED) {
        g_service.pending_stop = false;
        deliver = true;
      }
    }
    if (deliver) call_handler(QP_SERVICE_CONTROL_STOP);
  }
  pthread_join(main_thread, nullptr);
  char path[600];
  if (service_path(g_service.name, ".ctl", path, sizeof path)) unlink(path);
  close(control_fd);
  close(sig_fd);
  close(done_fd);
  SetLastError(ERROR_SUCCESS);
  return 1;
}

qp_service_handle *qp_service_register_handler(const char *name, qp_service_handler_fn handler,
                                               void *context) {
  if (!g_dispatching.load() || name == nullptr || strcmp(name, g_service.name) != 0 || handler == nullptr) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (qp_fault_hit("service_register")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(g_service.lock);
  g_service.handler = handler;
  g_service.context = context;
  return &g_service;
}

int qp_service_set_status(qp_service_handle *handle, const qp_service_status *status) {
  if (handle == nullptr || status == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(handle->lock);
  handle->status = *status;
  bool ok = publish(handle->name, *status, handle->text);
  if (handle->under_systemd) notify_systemd(*status, handle->text);
  return ok ? 1 : 0;
}

int qp_service_set_status_text(qp_service_handle *handle, const char *text) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(handle->lock);
  snprintf(handle->text, sizeof handle->text, "%s", text != nullptr ? text : "");
  for (char *c = handle->text; *c != '\0'; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = ' ';
  bool ok = publish(handle->name, handle->status, handle->text);
  if (handle->under_systemd) {
    char message[300];
    if (handle->status.current_state == QP_SERVICE_RUNNING && handle->text[0] != '\0')
      snprintf(message, sizeof message, "STATUS=running: %s", handle->text);
    else
      snprintf(message, sizeof message, "STATUS=%s", handle->text);
    sd_notify(0, message);
  }
  return ok ? 1 : 0;
}

uint32_t qp_service_query_text(const char *name, char *out, size_t out_size) {
  char path[600];
  if (name == nullptr || out == nullptr || out_size == 0) return ERROR_INVALID_PARAMETER;
  out[0] = '\0';
  if (!service_path(name, "", path, sizeof path)) return GetLastError();
  FILE *f = fopen(path, "re");
  if (f == nullptr) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  char line[512];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "text=", 5) != 0) continue;
    line[strcspn(line, "\n")] = '\0';
    snprintf(out, out_size, "%s", line + 5);
    break;
  }
  fclose(f);
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_service_query(const char *name, qp_service_status *status) {
  uint32_t process_id = 0;
  return qp_service_query_process(name, status, &process_id);
}

uint32_t qp_service_query_process(const char *name, qp_service_status *status, uint32_t *process_id) {
  char path[600];
  if (name == nullptr || status == nullptr || process_id == nullptr) return ERROR_INVALID_PARAMETER;
  *process_id = 0;
  if (!service_path(name, "", path, sizeof path)) return GetLastError();
  FILE *f = fopen(path, "re");
  if (f == nullptr) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  memset(status, 0, sizeof *status);
  long pid = 0;
  char line[512];  // room for the status text line, so that no part of it reads as a field
  while (fgets(line, sizeof line, f) != nullptr) {
    unsigned value = 0;
    if (sscanf(line, "state=%u", &value) == 1)
      status->current_state = value;
    else if (sscanf(line, "controls=%u", &value) == 1)
      status->controls_accepted = value;
    else if (sscanf(line, "exit_code=%u", &value) == 1)
      status->win32_exit_code = value;
    else if (sscanf(line, "specific_exit_code=%u", &value) == 1)
      status->service_specific_exit_code = value;
    else if (sscanf(line, "check_point=%u", &value) == 1)
      status->check_point = value;
    else if (sscanf(line, "wait_hint=%u", &value) == 1)
      status->wait_hint = value;
    else if (sscanf(line, "type=%u", &value) == 1)
      status->service_type = value;
    else
      sscanf(line, "pid=%ld", &pid);
  }
  fclose(f);
  // A service whose process has gone without reporting STOPPED has stopped all the same.
  if (status->current_state != QP_SERVICE_STOPPED && pid > 0 && !process_alive(static_cast<pid_t>(pid))) {
    status->current_state = QP_SERVICE_STOPPED;
    status->controls_accepted = 0;
    status->check_point = 0;
    status->wait_hint = 0;
    if (status->win32_exit_code == 0) status->win32_exit_code = ERROR_PROCESS_ABORTED;
  }
  if (status->current_state != QP_SERVICE_STOPPED && pid > 0) *process_id = static_cast<uint32_t>(pid);
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_service_control(const char *name, uint32_t code, uint32_t *answer) {
  char path[600];
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  if (!service_path(name, ".ctl", path, sizeof path)) return GetLastError();
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) return ERROR_FILENAME_EXCED_RANGE;
  memcpy(addr.sun_path, path, strlen(path) + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return qp_set_error_from_errno(errno);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return ERROR_SERVICE_NOT_ACTIVE;
  }
  struct timeval tv = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  uint32_t reply[2] = {0, 0};
  uint32_t result = ERROR_SUCCESS;
  if (send(fd, &code, sizeof code, MSG_NOSIGNAL) != sizeof code ||
      recv(fd, reply, sizeof reply, 0) != sizeof reply)
    result = ERROR_SERVICE_REQUEST_TIMEOUT;
  else
    result = reply[0];
  close(fd);
  if (result == ERROR_SUCCESS && answer != nullptr) *answer = reply[1];
  SetLastError(result);
  return result;
}

uint32_t qp_service_create(const char *name, const char *program) {
  char path[600];
  if (name == nullptr || program == nullptr || *program == '\0') return ERROR_INVALID_PARAMETER;
  if (!service_path(name, ".program", path, sizeof path)) return GetLastError();
  char resolved[1024];
  if (realpath(program, resolved) == nullptr) return qp_set_error_from_errno(errno);
  FILE *f = create_fresh(path);
  if (f == nullptr) return GetLastError();
  fprintf(f, "%s\n", resolved);
  if (fclose(f) != 0) return qp_set_error_from_errno(errno);
  return ERROR_SUCCESS;
}

uint32_t qp_service_start(const char *name) {
  char program_file[600], program[1024], status_path[600], out_path[600];
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  if (!service_path(name, ".program", program_file, sizeof program_file) ||
      !service_path(name, "", status_path, sizeof status_path) ||
      !service_path(name, ".out", out_path, sizeof out_path))
    return GetLastError();
  FILE *f = fopen(program_file, "re");
  if (f == nullptr) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  bool have_program = fgets(program, sizeof program, f) != nullptr;
  fclose(f);
  if (!have_program) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  program[strcspn(program, "\r\n")] = '\0';
  if (access(program, X_OK) != 0) return qp_set_error_from_errno(errno);
  qp_service_status current;
  if (qp_service_query(name, &current) == ERROR_SUCCESS && current.current_state != QP_SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return ERROR_SERVICE_ALREADY_RUNNING;
  }
  // The service runs in a session of its own, detached from the caller; the first child only
  // forks it and ends. The service waits for a go-ahead until its START_PENDING state (with
  // its process id) has been published, so that its own reports always come after it.
  int report[2], go[2];
  if (pipe2(report, O_CLOEXEC) != 0) return qp_set_error_from_errno(errno);
  if (pipe2(go, O_CLOEXEC) != 0) {
    close(report[0]);
    close(report[1]);
    return qp_set_error_from_errno(errno);
  }
  pid_t first = fork();
  if (first < 0) {
    uint32_t code = qp_error_from_errno(errno);
    close(report[0]);
    close(report[1]);
    close(go[0]);
    close(go[1]);
    SetLastError(code);
    return code;
  }
  if (first == 0) {
    setsid();
    pid_t service = fork();
    if (service == 0) {
      char byte;
      if (read(go[0], &byte, 1) != 1) _exit(127);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      int in = open("/dev/null", O_RDONLY);
      // Made afresh: a link planted in its place must not make the service write elsewhere.
      unlink(out_path);
      int out = open(out_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0640);
      if (in >= 0) dup2(in, 0);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      setenv("QUORIN_SVCCTL", "1", 1);
      unsetenv("NOTIFY_SOCKET");
      char *argv[] = {program, nullptr};
      execv(program, argv);
      _exit(127);
    }
    int32_t pid = service;
    if (write(report[1], &pid, sizeof pid) != sizeof pid) _exit(1);
    _exit(0);
  }
  close(report[1]);
  close(go[0]);
  int32_t service_pid = -1;
  ssize_t got = read(report[0], &service_pid, sizeof service_pid);
  close(report[0]);
  int st;
  waitpid(first, &st, 0);
  if (got != sizeof service_pid || service_pid <= 0) {
    close(go[1]);
    SetLastError(ERROR_SERVICE_NO_THREAD);
    return ERROR_SERVICE_NO_THREAD;
  }
  char temp[620];
  snprintf(temp, sizeof temp, "%s.start%d", status_path, static_cast<int>(getpid()));
  FILE *sf = create_fresh(temp);
  if (sf != nullptr) {
    fprintf(sf,
            "state=%u\ncontrols=0\nexit_code=0\nspecific_exit_code=0\ncheck_point=0\nwait_hint=2000\ntype=%"
            "u\npid=%d\n",
            static_cast<unsigned>(QP_SERVICE_START_PENDING),
            static_cast<unsigned>(QP_SERVICE_WIN32_OWN_PROCESS), static_cast<int>(service_pid));
    if (fclose(sf) != 0 || rename(temp, status_path) != 0) unlink(temp);
  }
  char byte = 1;
  ssize_t sent = write(go[1], &byte, 1);
  close(go[1]);
  if (sent != 1) {
    SetLastError(ERROR_SERVICE_NO_THREAD);
    return ERROR_SERVICE_NO_THREAD;
  }
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_service_wait_process_end(const char *name, uint32_t timeout_ms) {
  long pid = recorded_pid(name);
  uint64_t deadline = qp_real_tick_ms() + timeout_ms;
  while (pid > 0 && process_alive(static_cast<pid_t>(pid))) {
    if (qp_real_tick_ms() >= deadline) {
      SetLastError(WAIT_TIMEOUT);
      return WAIT_TIMEOUT;
    }
    usleep(10000);
  }
  return ERROR_SUCCESS;
}

const char *qp_service_state_name(uint32_t state) {
  switch (state) {
    case QP_SERVICE_STOPPED:
      return "STOPPED";
    case QP_SERVICE_START_PENDING:
      return "START_PENDING";
    case QP_SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case QP_SERVICE_RUNNING:
      return "RUNNING";
    case QP_SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case QP_SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case QP_SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}
