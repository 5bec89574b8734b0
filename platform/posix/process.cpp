// Starting tools with redirected standard handles, the shutdown privilege and the restart.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "internal.h"
#include "quorin/qp_error.h"
#include "quorin/qp_process.h"
#include "quorin/qp_runtime.h"
#include "quorin/qp_sync.h"
#include "quorin/qp_time.h"

extern char **environ;

struct qp_process {
  pid_t pid;
  bool reaped;
  uint32_t exit_code;
};

namespace {

// Splits a command line as Windows does: blanks separate, double quotes group, a backslash
// before a quote escapes it.
std::vector<std::string> split_command_line(const char *line) {
  std::vector<std::string> args;
  const char *p = line;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    std::string arg;
    bool quoted = false;
    for (; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); ++p) {
      if (*p == '\\' && p[1] == '"') {
        arg += '"';
        ++p;
      } else if (*p == '"') {
        quoted = !quoted;
      } else {
        arg += *p;
      }
    }
    args.push_back(arg);
  }
  return args;
}

// Spawn attributes that give a started program the default signal state: the service host
// blocks SIGTERM and SIGINT in its threads and ignores SIGPIPE.
void init_default_signals(posix_spawnattr_t *attr) {
  posix_spawnattr_init(attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

uint32_t exit_code_of(int status) {
  if (WIFEXITED(status)) return static_cast<uint32_t>(WEXITSTATUS(status));
  return 0xC000013Au;  // ended by a signal, as a Windows program ended by Ctrl+C reports
}

}  // namespace

uint32_t qp_process_start(const char *command_line, qp_file *stdio, qp_process **process) {
  if (command_line == nullptr || process == nullptr) return ERROR_INVALID_PARAMETER;
  *process = nullptr;
  std::vector<std::string> args = split_command_line(command_line);
  if (args.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fd = qp_file_native_fd(stdio);
  if (fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, fd, 0);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    posix_spawn_file_actions_adddup2(&actions, fd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  init_default_signals(&attr);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    uint32_t code = (rc == ENOENT || rc == ENOTDIR) ? ERROR_FILE_NOT_FOUND : qp_error_from_errno(rc);
    SetLastError(code);
    return code;
  }
  *process = new qp_process{pid, false, 0};
  return ERROR_SUCCESS;
}

uint32_t qp_process_wait(qp_process *process, uint32_t timeout_ms, uint32_t *exit_code) {
  if (process == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return QP_WAIT_FAILED;
  }
  uint64_t deadline = qp_real_tick_ms() + timeout_ms;
  while (!process->reaped) {
    int status;
    pid_t r = waitpid(process->pid, &status, timeout_ms == QP_INFINITE ? 0 : WNOHANG);
    if (r == process->pid) {
      process->reaped = true;
      process->exit_code = exit_code_of(status);
      break;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      qp_set_error_from_errno(errno);
      return QP_WAIT_FAILED;
    }
    if (timeout_ms != QP_INFINITE && qp_real_tick_ms() >= deadline) return QP_WAIT_TIMEOUT;
    usleep(2000);
  }
  if (exit_code != nullptr) *exit_code = process->exit_code;
  return QP_WAIT_OBJECT_0;
}

void qp_process_close(qp_process *process) {
  // A tool that still runs is left to finish; its exit status is collected by nobody, as on
  // Windows closing a process handle does not end the process.
  delete process;
}

uint32_t qp_shutdown_privilege_enable(int *failed_step) {
  int step = 0;
  uint32_t code = ERROR_SUCCESS;
  if (qp_fault_hit("token_open")) {
    step = QP_PRIV_STEP_OPEN_TOKEN;
    code = ERROR_ACCESS_DENIED;
  } else if (qp_fault_hit("privilege_lookup")) {
    step = QP_PRIV_STEP_LOOKUP;
    code = ERROR_NO_SUCH_PRIVILEGE;
  } else if (qp_fault_hit("privilege_adjust")) {
    step = QP_PRIV_STEP_ADJUST;
    code = ERROR_ACCESS_DENIED;
  } else {
    // The privilege is the effective capability CAP_SYS_BOOT (bit 22 of CapEff).
    FILE *f = fopen("/proc/self/status", "re");
    if (f == nullptr) {
      step = QP_PRIV_STEP_OPEN_TOKEN;
      code = qp_error_from_errno(errno);
    } else {
      char line[256];
      unsigned long long effective = 0;
      bool found = false;
      while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "CapEff:", 7) == 0) {
          effective = strtoull(line + 7, nullptr, 16);
          found = true;
          break;
        }
      }
      fclose(f);
      if (!found) {
        step = QP_PRIV_STEP_OPEN_TOKEN;
        code = ERROR_ACCESS_DENIED;
      } else if ((effective & (1ull << 22)) == 0) {
        step = QP_PRIV_STEP_NOT_ALL_ASSIGNED;
        code = ERROR_NOT_ALL_ASSIGNED;
      }
    }
  }
  if (failed_step != nullptr) *failed_step = step;
  SetLastError(code);
  return code;
}

uint32_t qp_machine_restart(void) {
  const char *command = getenv("QUORIN_REBOOT_COMMAND");
  if (command == nullptr || *command == '\0') command = "systemctl reboot --force";
  char *argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), const_cast<char *>(command),
                  nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attr;
  init_default_signals(&attr);
  pid_t pid;
  int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return qp_set_error_from_errno(rc);
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return qp_set_error_from_errno(errno);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    SetLastError(ERROR_GEN_FAILURE);  // the restart command refused or failed
    return ERROR_GEN_FAILURE;
  }
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

void qp_heap_trim(void) {
  malloc_trim(0);
}
