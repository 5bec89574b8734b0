// svcctl: the service-control tool (create, start, stop, query, control) for services that run
// under the platform's service host.
#include <errno.h>
#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "quorin/platform.h"
#include "quorin_version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void print_status(const char *name, const qp_service_status &s) {
  printf("SERVICE_NAME: %s\n", name);
  printf("        STATE              : %u  %s\n", s.current_state, qp_service_state_name(s.current_state));
  printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.win32_exit_code, s.win32_exit_code);
  printf("        CHECKPOINT         : 0x%x\n", s.check_point);
  printf("        WAIT_HINT          : 0x%x\n", s.wait_hint);
  char text[300];
  if (qp_service_query_text(name, text, sizeof text) == ERROR_SUCCESS && text[0] != '\0')
    printf("        STATUS_TEXT        : %s\n", text);
}

// Where the service host keeps the status files and control sockets, for error messages.
std::string RuntimeFolder() {
  char dir[512];
  if (!qp_runtime_path("services", dir, sizeof dir)) return "QUORIN_RUNTIME_DIR/services";
  return dir;
}

// What to check for a failure CODE of VERB on service NAME.
std::string Hint(const char *name, uint32_t code) {
  char text[1024];
  switch (code) {
    case ERROR_SERVICE_NOT_ACTIVE:
      snprintf(text, sizeof text,
               "is the service running? No control socket of %s answers in %s (QUORIN_RUNTIME_DIR); "
               "svcctl query %s shows its state",
               name, RuntimeFolder().c_str(), name);
      break;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      snprintf(text, sizeof text,
               "no service %s has been created or started with the runtime folder %s (QUORIN_RUNTIME_DIR); "
               "start it with 'svcctl start %s PROGRAM'",
               name, RuntimeFolder().c_str(), name);
      break;
    case ERROR_SERVICE_ALREADY_RUNNING:
      snprintf(text, sizeof text, "the service already runs; 'svcctl stop %s' stops it", name);
      break;
    case ERROR_ACCESS_DENIED:
      snprintf(text, sizeof text,
               "the runtime folder %s cannot be used: run as root or as a member of the group quorin, "
               "or point QUORIN_RUNTIME_DIR elsewhere",
               RuntimeFolder().c_str());
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      snprintf(text, sizeof text,
               "check the program path the service was created with (svcctl create %s PROGRAM)", name);
      break;
    case ERROR_SERVICE_REQUEST_TIMEOUT:
      snprintf(
          text, sizeof text,
          "the service did not answer in time; its own log (DATA/QUOMVLSV.LOG for quomvlsv) and %s/%s.out "
          "tell why (SVCCTL_TIMEOUT_MS sets the wait)",
          RuntimeFolder().c_str(), name);
      break;
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
      snprintf(text, sizeof text, "the service does not accept this control in its present state");
      break;
    default:
      return "";
  }
  return text;
}

int fail(const char *verb, const char *name, uint32_t code) {
  const char *error = qp_error_name(code);
  std::string hint = Hint(name, code);
  fprintf(stderr, "svcctl: %s %s failed: %u (%s)%s%s\n", verb, name, code,
          error != nullptr ? error : "unknown error", hint.empty() ? "" : ": ", hint.c_str());
  return kExitFailed;
}

// Waits while the service is in PENDING (the state given), for at most TIMEOUT_MS plus the
// wait hints it reports. Returns the last status read.
uint32_t wait_while(const char *name, uint32_t pending, uint32_t timeout_ms, qp_service_status *s) {
  uint64_t start = qp_real_tick_ms();
  uint64_t deadline = start + timeout_ms;
  uint32_t last_check = 0;
  while (true) {
    uint32_t rc = qp_service_query(name, s);
    if (rc == ERROR_SUCCESS && s->current_state != pending) return rc;
    uint64_t now = qp_real_tick_ms();
    // A service that keeps reporting progress within its wait hint gets more time.
    if (rc == ERROR_SUCCESS && s->check_point != last_check) {
      last_check = s->check_point;
      if (now + s->wait_hint > deadline) deadline = now + s->wait_hint;
    }
    if (now >= deadline) return rc == ERROR_SUCCESS ? ERROR_SERVICE_REQUEST_TIMEOUT : rc;
    struct timespec ts = {0, 20 * 1000000L};
    nanosleep(&ts, nullptr);
  }
}

const char kUsage[] =
    "usage: svcctl [OPTIONS] VERB NAME [ARGS]\n"
    "Controls the system's services (quomvlsv is the service Mavr_tsr_monitor), as Windows sc does.\n"
    "\n"
    "  svcctl create NAME PROGRAM      record PROGRAM as the program of service NAME\n"
    "  svcctl start NAME [PROGRAM]     start the service, wait until it runs\n"
    "  svcctl stop NAME                send the stop control, wait until it has stopped\n"
    "  svcctl query NAME               print the service's state and status text\n"
    "  svcctl control NAME CODE        send control CODE (1 to 255), print the handler's answer\n"
    "\n"
    "Options:\n"
    "  -t, --timeout MS   wait at most MS milliseconds for a start or stop (default 30000,\n"
    "                     or SVCCTL_TIMEOUT_MS)\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print the version and exit\n"
    "\n"
    "Environment: QUORIN_RUNTIME_DIR, the folder of the status files and control sockets\n"
    "(default /run/quorin). Exit status: 0 done, 1 failed, 2 usage error.\n";

int UsageError(const std::string &what) {
  fprintf(stderr, "svcctl: %s\nTry 'svcctl --help'.\n", what.c_str());
  return kExitUsage;
}

// A whole decimal number from LOW to HIGH; anything else is refused, never cut or wrapped.
bool ParseNumber(const char *text, unsigned long low, unsigned long high, uint32_t *out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long n = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || n < low || n > high) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  static const struct option kOptions[] = {{"timeout", required_argument, nullptr, 't'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {"version", no_argument, nullptr, 'V'},
                                           {nullptr, 0, nullptr, 0}};
  uint32_t timeout_ms = 30000;
  if (const char *t = getenv("SVCCTL_TIMEOUT_MS")) {
    if (!ParseNumber(t, 1, UINT32_MAX, &timeout_ms))
      return UsageError(
          std::string(
              "SVCCTL_TIMEOUT_MS must be a whole number of milliseconds from 1 to 4294967295, not '") +
          t + "'");
  }
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+t:hV", kOptions, nullptr)) != -1) {
    switch (c) {
      case 't':
        if (!ParseNumber(optarg, 1, UINT32_MAX, &timeout_ms))
          return UsageError(
              std::string("--timeout needs a whole number of milliseconds from 1 to 4294967295, not '") +
              optarg + "'");
        break;
      case 'h':
        fputs(kUsage, stdout);
        return kExitOk;
      case 'V':
        printf("svcctl (quorin) %s\n", QUORIN_VERSION);
        return kExitOk;
      default:
        if (optopt == 't') return UsageError("--timeout needs a number of milliseconds");
        return UsageError(optopt != 0 ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                                      : std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  int left = argc - optind;
  if (left < 1) return UsageError("name a VERB: create, start, stop, query or control");
  const char *verb = argv[optind];
  struct VerbArgs {
    const char *verb;
    int min, max;  // arguments after the verb, NAME included
    const char *form;
  };
  static const VerbArgs kVerbs[] = {{"create", 2, 2, "create NAME PROGRAM"},
                                    {"start", 1, 2, "start NAME [PROGRAM]"},
                                    {"stop", 1, 1, "stop NAME"},
                                    {"query", 1, 1, "query NAME"},
                                    {"control", 2, 2, "control NAME CODE"}};
  const VerbArgs *known = nullptr;
  for (const VerbArgs &v : kVerbs)
    if (strcmp(v.verb, verb) == 0) known = &v;
  if (known == nullptr) return UsageError(std::string("unknown verb '") + verb + "'");
  int given = left - 1;
  if (given < known->min || given > known->max)
    return UsageError(std::string("usage: svcctl ") + known->form);
  const char *name = argv[optind + 1];
  char **rest = argv + optind + 2;
  qp_service_status status;

  if (strcmp(verb, "create") == 0) {
    uint32_t rc = qp_service_create(name, rest[0]);
    if (rc != ERROR_SUCCESS) return fail("create", name, rc);
    printf("[SC] CreateService SUCCESS\n");
    return kExitOk;
  }
  if (strcmp(verb, "start") == 0) {
    if (given == 2) {
      uint32_t rc = qp_service_create(name, rest[0]);
      if (rc != ERROR_SUCCESS) return fail("create", name, rc);
    }
    if (qp_service_query(name, &status) == ERROR_SUCCESS && status.current_state != QP_SERVICE_STOPPED)
      return fail("start", name, ERROR_SERVICE_ALREADY_RUNNING);
    uint32_t rc = qp_service_start(name);
    if (rc != ERROR_SUCCESS) return fail("start", name, rc);
    rc = wait_while(name, QP_SERVICE_START_PENDING, timeout_ms, &status);
    if (rc != ERROR_SUCCESS) return fail("start", name, rc);
    print_status(name, status);
    return status.current_state == QP_SERVICE_RUNNING ? kExitOk : kExitFailed;
  }
  if (strcmp(verb, "stop") == 0) {
    uint32_t answer = 0;
    uint32_t rc = qp_service_control(name, QP_SERVICE_CONTROL_STOP, &answer);
    // A service still starting does not accept the stop yet: ask again until it does.
    for (uint64_t deadline = qp_real_tick_ms() + timeout_ms;
         rc == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && qp_real_tick_ms() < deadline;) {
      struct timespec ts = {0, 20 * 1000000L};
      nanosleep(&ts, nullptr);
      rc = qp_service_control(name, QP_SERVICE_CONTROL_STOP, &answer);
    }
    if (rc != ERROR_SUCCESS) return fail("stop", name, rc);
    if (answer != ERROR_SUCCESS) return fail("stop", name, answer);
    rc = wait_while(name, QP_SERVICE_STOP_PENDING, timeout_ms, &status);
    if (rc == ERROR_SUCCESS && status.current_state == QP_SERVICE_RUNNING)
      rc = wait_while(name, QP_SERVICE_RUNNING, timeout_ms, &status);
    if (rc == ERROR_SUCCESS) rc = qp_service_wait_process_end(name, timeout_ms);
    if (rc != ERROR_SUCCESS) return fail("stop", name, rc);
    qp_service_query(name, &status);
    print_status(name, status);
    return status.current_state == QP_SERVICE_STOPPED ? kExitOk : kExitFailed;
  }
  if (strcmp(verb, "query") == 0) {
    uint32_t rc = qp_service_query(name, &status);
    if (rc != ERROR_SUCCESS) return fail("query", name, rc);
    print_status(name, status);
    return kExitOk;
  }
  // control
  uint32_t code = 0;
  if (!ParseNumber(rest[0], 1, 255, &code))
    return UsageError(std::string("CODE must be a whole number from 1 to 255, not '") + rest[0] + "'");
  uint32_t answer = 0;
  uint32_t rc = qp_service_control(name, code, &answer);
  if (rc != ERROR_SUCCESS) return fail("control", name, rc);
  printf("%u\n", answer);
  return answer == ERROR_SUCCESS ? kExitOk : kExitFailed;
}
