// quorin_mvl_standin: a stand-in for the product's main power-control service "QUORIN_MVL"
// for tests. It serves the command pipe "\\.\pipe\npquomvl1" with scripted replies for every
// request code, keeps the settings written to it, records every message it receives, and can
// keep the pipe busy on request. With --power-status it is instead the producer of the UPS
// power status section "pwdownDllCmMemory".
//
// Sections: script (rules read afresh for every request), stored settings, the frame record,
// the busy pipe, the pipe loop, the service host glue, the power status producer. See
// README.md next to this file for the script.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quorin/platform.h"
#include "tool_text.h"

namespace {

constexpr char kServiceName[] = "QUORIN_MVL";
constexpr char kPipeName[] = "\\\\.\\pipe\\npquomvl1";
constexpr uint32_t kMaxMessage = 4096;
constexpr uint32_t kHeaderSize = 8;
// User control code: keep the pipe busy for the script's busy time from now on.
constexpr uint32_t kControlBusy = 128;
constexpr uint32_t kDefaultBusyMs = 3000;
constexpr uint32_t kBusyReadyTimeoutMs = 5000;
constexpr int kMaxBusyClients = 64;
constexpr char kScriptName[] = "script";
constexpr char kFramesName[] = "frames";
constexpr char kFolderVariable[] = "QUORIN_MVL_STANDIN_DIR";

// What the main service answers when the script says nothing about a code: status "00" and
// plausible data of the length each request expects. Any other code gets status "1F".
struct DefaultReply {
  const char *code;
  const char *data;
};
constexpr DefaultReply kDefaultReplies[] = {
    {"RBC", "0"},
    {"PW0", "00000"},
    {"SC0", "0000000000"},
    {"SC2", "0000000000"},
    {"S21", ""},
    {"022", "000000000000000000"},
    {"032", "000000000000000000"},
    {"0D2", "000000000000000000"},
    {"002", "0000000000000000"},
    {"012", "40"},
    {"C06", "0"},
    {"C02", "4"},
    {"RR2", "0"},
    {"K02", "4"},
    {"071", ""},
    {"S10", ""},
    {"081", ""},
    {"021", ""},
    {"031", ""},
    {"S20", ""},
    {"CSD", ""},
    {"AD1", ""},
    {"APF", ""},
    {"APD", ""},
};
constexpr char kUnknownCodeStatus[] = "1F";

// Process-wide state.
//   g_Folder, g_First set by main before the service runs; then read by the service main.
//   g_Handle          set by the service main once the handler is registered; read by both.
//   g_Stop            set by the control handler (dispatcher thread), waited on by the loop.
//   g_BusyRequest     set by the handler for kControlBusy, taken by the loop.
//   g_BusyReady       set by the loop once the pipe is busy, waited on by the handler.
//   g_Current         the connected instance, so that a stop can end a blocked read;
//                     guarded by g_CurrentLock (loop and handler).
std::string g_Folder;
qp_event *g_Stop = nullptr;
qp_event *g_BusyRequest = nullptr;
qp_event *g_BusyReady = nullptr;
std::mutex g_CurrentLock;
qp_pipe *g_Current = nullptr;
qp_pipe *g_First = nullptr;
std::atomic<qp_service_handle *> g_Handle{nullptr};

void Say(const char *format, const std::string &text) {
  printf(format, text.c_str());
  printf("\n");
  fflush(stdout);
}

// ---- Script ----

enum class Action { kReply, kRaw, kClose };

struct Rule {
  Action action = Action::kReply;
  uint32_t delay_ms = 0;
  std::string status = "00";
  std::string data;
};

struct Script {
  bool one_per_connection = false;
  uint32_t busy_ms = kDefaultBusyMs;
};

// Splits off the next blank-separated word of LINE at *POS.
std::string NextWord(const std::string &line, size_t *pos) {
  while (*pos < line.size() && line[*pos] == ' ') ++*pos;
  size_t start = *pos;
  while (*pos < line.size() && line[*pos] != ' ') ++*pos;
  return line.substr(start, *pos - start);
}

// The rest of LINE after the one blank that follows the word just read.
std::string RestOfLine(const std::string &line, size_t pos) {
  if (pos < line.size()) ++pos;
  return pos <= line.size() ? tooltext::UnescapeBytes(line.substr(pos)) : std::string();
}

// Parses a rule after its code word; false for a malformed rule.
bool ParseRule(const std::string &line, size_t pos, Rule *rule) {
  std::string word = NextWord(line, &pos);
  if (word == "delay") {
    rule->delay_ms = static_cast<uint32_t>(strtoul(NextWord(line, &pos).c_str(), nullptr, 10));
    word = NextWord(line, &pos);
  }
  if (word == "close") {
    rule->action = Action::kClose;
    return true;
  }
  if (word == "raw") {
    rule->action = Action::kRaw;
    rule->data = RestOfLine(line, pos);
    return true;
  }
  if (word == "reply") {
    rule->action = Action::kReply;
    rule->status = NextWord(line, &pos);
    if (rule->status.size() != 2) return false;
    rule->data = RestOfLine(line, pos);
    return true;
  }
  return false;
}

// ---- Stored settings ----

// A settings request whose data the stand-in keeps, and the read request that answers it
// back, as the main service keeps the unit's items and condition.
struct StoredSetting {
  const char *write_code;
  const char *read_code;
};
constexpr StoredSetting kStoredSettings[] = {{"021", "022"}, {"031", "032"}, {"S20", "S21"}};

// Data of the accepted settings requests by read code. Touched only by the pipe loop's thread.
std::map<std::string, std::string> g_Stored;

// Keeps the data of a settings request (REQUEST, N bytes) that was answered with "00".
void RememberSetting(const char *request, uint32_t n, const std::string &status) {
  if (n < kHeaderSize || status != "00") return;
  for (const StoredSetting &setting : kStoredSettings)
    if (memcmp(request, setting.write_code, 3) == 0)
      g_Stored[setting.read_code] = std::string(request + kHeaderSize, n - kHeaderSize);
}

// The reply to a read request for a stored setting, when one was written.
bool StoredReply(const std::string &code, Rule *rule) {
  auto it = g_Stored.find(code);
  if (it == g_Stored.end()) return false;
  rule->status = "00";
  rule->data = it->second;
  return true;
}

// Reads the script and finds the rule for CODE: its own rule, else the "*" rule, else the
// default reply.
Rule FindRule(const std::string &code, Script *script) {
  Rule own, any, fallback;
  bool have_own = false, have_any = false;
  FILE *f = fopen((g_Folder + "/" + kScriptName).c_str(), "r");
  if (f != nullptr) {
    char text[1024];
    while (fgets(text, sizeof text, f) != nullptr) {
      std::string line = text;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      size_t pos = 0;
      std::string first = NextWord(line, &pos);
      if (first.empty() || first[0] == '#') continue;
      if (first == "one-per-connection") {
        script->one_per_connection = true;
      } else if (first == "busy-ms") {
        script->busy_ms = static_cast<uint32_t>(strtoul(NextWord(line, &pos).c_str(), nullptr, 10));
      } else if (first == code && !have_own) {
        have_own = ParseRule(line, pos, &own);
      } else if (first == "*" && !have_any) {
        have_any = ParseRule(line, pos, &any);
      }
    }
    fclose(f);
  }
  if (have_own) return own;
  if (have_any) return any;
  if (StoredReply(code, &fallback)) return fallback;
  fallback.status = kUnknownCodeStatus;
  for (const DefaultReply &reply : kDefaultReplies) {
    if (code == reply.code) {
      fallback.status = "00";
      fallback.data = reply.data;
    }
  }
  return fallback;
}

Script ReadScriptSettings() {
  Script script;
  FindRule("", &script);
  return script;
}

// ---- Frame record ----

void RecordFrame(int connection, const char *bytes, uint32_t n) {
  FILE *f = fopen((g_Folder + "/" + kFramesName).c_str(), "a");
  if (f == nullptr) return;
  fprintf(f, "%d:%s\n", connection, tooltext::EscapeBytes(bytes, n).c_str());
  fclose(f);
}

// ---- Schedule seen at "S10" ----

constexpr char kScheduleSeenName[] = "schedule-at-S10";
constexpr char kSchedulesSeenName[] = "schedules-at-S10";
constexpr char kProductKey[] = "SOFTWARE\\Tarvos\\QUORIN/MVL";

// What the main service would read when told that the schedule was rewritten: the schedule file
// of the install named by "PathName" as it is at that moment, copied into the folder as
// "schedule-at-S10" (deleted when there is no schedule file) and appended, escaped as the frames
// are, as one line of "schedules-at-S10" ("-" for no schedule file), so that a test can tell
// what the service saw at each "S10".
void KeepScheduleSeenAtS10() {
  std::string seen = g_Folder + "/" + kScheduleSeenName;
  qp_regkey *key = nullptr;
  char install[512] = {};
  uint32_t size = sizeof install - 1;
  bool named = qp_reg_open_key(kProductKey, &key) == ERROR_SUCCESS &&
               qp_reg_query_value(key, "PathName", nullptr, install, &size) == ERROR_SUCCESS;
  if (key != nullptr) qp_reg_close_key(key);
  std::string bytes = "-";
  if (named &&
      qp_file_copy((std::string(install) + "\\DATA\\SCHEDULE.APC").c_str(), seen.c_str()) == ERROR_SUCCESS) {
    FILE *in = fopen(seen.c_str(), "rb");
    std::string content;
    char block[4096];
    size_t got;
    while (in != nullptr && (got = fread(block, 1, sizeof block, in)) > 0) content.append(block, got);
    if (in != nullptr) fclose(in);
    bytes = tooltext::EscapeBytes(content.data(), content.size());
  } else {
    remove(seen.c_str());
  }
  FILE *all = fopen((g_Folder + "/" + kSchedulesSeenName).c_str(), "a");
  if (all == nullptr) return;
  fprintf(all, "%s\n", bytes.c_str());
  fclose(all);
}

// ---- One connection ----

void SetCurrent(qp_pipe *pipe) {
  std::lock_guard<std::mutex> guard(g_CurrentLock);
  g_Current = pipe;
}

// Serves the requests of one client until it closes, the script ends the connection, or the
// service stops.
void ServeConnection(qp_pipe *pipe, int connection) {
  char buffer[kMaxMessage];
  while (true) {
    uint32_t got = 0;
    uint32_t rc = qp_pipe_read(pipe, buffer, sizeof buffer, &got);
    if (rc == ERROR_MORE_DATA) {
      RecordFrame(connection, buffer, got);
      Say("message longer than %s bytes: no reply", std::to_string(kMaxMessage));
      return;
    }
    if (rc != ERROR_SUCCESS) return;
    RecordFrame(connection, buffer, got);
    Say("received: %s", tooltext::EscapeBytes(buffer, got));
    if (got < kHeaderSize) return;  // not a request: no reply, as the service does

    Script script;
    Rule rule = FindRule(std::string(buffer, 3), &script);
    if (std::string(buffer, 3) == "S10") KeepScheduleSeenAtS10();
    if (rule.delay_ms > 0 && qp_event_wait(g_Stop, rule.delay_ms) == QP_WAIT_OBJECT_0) return;
    if (rule.action == Action::kClose) {
      Say("closing without reply%s", "");
      return;
    }
    std::string reply;
    if (rule.action == Action::kRaw) {
      reply = rule.data;
    } else {
      std::string data = rule.data.substr(0, 255);
      char length[8];
      snprintf(length, sizeof length, "%02X", static_cast<unsigned>(data.size()));
      reply = std::string(buffer, 4) + rule.status + length + data;
    }
    uint32_t written = 0;
    if (qp_pipe_write(pipe, reply.data(), static_cast<uint32_t>(reply.size()), &written) != ERROR_SUCCESS)
      return;
    Say("replied: %s", tooltext::EscapeBytes(reply.data(), reply.size()));
    if (rule.action == Action::kReply) RememberSetting(buffer, got, rule.status);
    if (script.one_per_connection) return;
  }
}

// ---- Busy pipe ----

// Fills the pipe's queue of waiting clients with connections of its own, so that every other
// client finds the pipe busy, for BUSY_MS or until the stop; then takes them off the queue
// again. Returns false when the service is to stop.
bool KeepPipeBusy(uint32_t busy_ms) {
  std::vector<qp_pipe *> fillers;
  for (int i = 0; i < kMaxBusyClients; ++i) {
    qp_pipe *filler = nullptr;
    if (qp_pipe_open(kPipeName, &filler) != ERROR_SUCCESS) break;
    fillers.push_back(filler);
  }
  Say("pipe busy for %s ms", std::to_string(busy_ms));
  qp_event_set(g_BusyReady);
  bool stop = qp_event_wait(g_Stop, busy_ms) == QP_WAIT_OBJECT_0;
  // The queue is first in, first out: the fillers come off it before any client that waited.
  for (size_t i = 0; i < fillers.size() && !stop; ++i) {
    qp_pipe *instance = nullptr;
    if (qp_pipe_create(kPipeName, 1, kMaxMessage, &instance) != ERROR_SUCCESS) break;
    qp_event *connected = qp_event_create(1, 0);
    uint32_t rc = qp_pipe_connect(instance, connected);
    if (rc == ERROR_IO_PENDING && qp_event_wait(connected, 1000) == QP_WAIT_OBJECT_0)
      qp_pipe_connect_result(instance);
    qp_event_close(connected);
    qp_pipe_disconnect(instance);
    qp_pipe_close(instance);
  }
  for (qp_pipe *filler : fillers) qp_pipe_close(filler);
  Say("pipe free%s", "");
  return !stop;
}

// ---- Pipe loop ----

// Serves clients one at a time until the stop. FIRST is an instance created already (so that
// the pipe exists before the service reports that it runs).
void ServeLoop(qp_pipe *first) {
  int connection = 0;
  qp_pipe *instance = first;
  while (qp_event_wait(g_Stop, 0) != QP_WAIT_OBJECT_0) {
    if (instance == nullptr && qp_pipe_create(kPipeName, 1, kMaxMessage, &instance) != ERROR_SUCCESS) {
      Say("pipe create failed: %s", std::to_string(GetLastError()));
      qp_event_wait(g_Stop, 1000);
      continue;
    }
    qp_event *connected = qp_event_create(1, 0);
    uint32_t rc = qp_pipe_connect(instance, connected);
    bool serve = rc == ERROR_PIPE_CONNECTED;
    bool busy = false;
    if (rc == ERROR_IO_PENDING) {
      qp_event *events[3] = {connected, g_Stop, g_BusyRequest};
      uint32_t which = qp_wait_any(3, events, QP_INFINITE);
      if (which == QP_WAIT_OBJECT_0) {
        serve = qp_pipe_connect_result(instance) == ERROR_SUCCESS;
      } else {
        qp_pipe_cancel_io(instance);
        busy = which == QP_WAIT_OBJECT_0 + 2;
      }
    }
    qp_event_close(connected);
    if (serve) {
      SetCurrent(instance);
      ServeConnection(instance, ++connection);
      SetCurrent(nullptr);
      qp_pipe_disconnect(instance);
    }
    qp_pipe_close(instance);
    instance = nullptr;
    if (busy && !KeepPipeBusy(ReadScriptSettings().busy_ms)) break;
  }
  if (instance != nullptr) qp_pipe_close(instance);
}

// Creates the events and the first pipe instance, before any control can arrive: the
// instance, or NULL on failure.
qp_pipe *Prepare() {
  const char *folder = getenv(kFolderVariable);
  char runtime[512];
  if (folder != nullptr && *folder != '\0') {
    g_Folder = folder;
  } else if (qp_runtime_path("standin", runtime, sizeof runtime)) {
    g_Folder = runtime;
  } else {
    return nullptr;
  }
  g_Stop = qp_event_create(1, 0);
  g_BusyRequest = qp_event_create(0, 0);
  g_BusyReady = qp_event_create(0, 0);
  if (g_Stop == nullptr || g_BusyRequest == nullptr || g_BusyReady == nullptr) return nullptr;
  qp_pipe *first = nullptr;
  if (qp_pipe_create(kPipeName, 1, kMaxMessage, &first) != ERROR_SUCCESS) return nullptr;
  Say("serving the pipe; script and record in %s", g_Folder);
  return first;
}

// ---- Service host ----

void Report(uint32_t state, uint32_t exit_code = 0) {
  qp_service_status status{};
  status.service_type = QP_SERVICE_WIN32_OWN_PROCESS;
  status.current_state = state;
  status.controls_accepted =
      state == QP_SERVICE_RUNNING ? QP_SERVICE_ACCEPT_STOP | QP_SERVICE_ACCEPT_SHUTDOWN : 0;
  status.win32_exit_code = exit_code;
  status.wait_hint = state == QP_SERVICE_RUNNING || state == QP_SERVICE_STOPPED ? 0 : 3000;
  qp_service_set_status(g_Handle.load(), &status);
}

uint32_t Handler(uint32_t control, uint32_t, void *, void *) {
  switch (control) {
    case QP_SERVICE_CONTROL_STOP:
    case QP_SERVICE_CONTROL_SHUTDOWN: {
      Report(QP_SERVICE_STOP_PENDING);
      qp_event_set(g_Stop);
      std::lock_guard<std::mutex> guard(g_CurrentLock);
      if (g_Current != nullptr) qp_pipe_cancel_io(g_Current);
      return ERROR_SUCCESS;
    }
    case QP_SERVICE_CONTROL_INTERROGATE:
      return ERROR_SUCCESS;
    case kControlBusy:
      qp_event_set(g_BusyRequest);
      return qp_event_wait(g_BusyReady, kBusyReadyTimeoutMs) == QP_WAIT_OBJECT_0 ? ERROR_SUCCESS
                                                                                 : ERROR_TIMEOUT;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void ServiceMain(uint32_t, char **) {
  g_Handle = qp_service_register_handler(kServiceName, Handler, nullptr);
  if (g_Handle.load() == nullptr) return;
  Report(QP_SERVICE_START_PENDING);
  if (g_First == nullptr) {
    Report(QP_SERVICE_STOPPED, ERROR_GEN_FAILURE);
    return;
  }
  Report(QP_SERVICE_RUNNING);
  ServeLoop(g_First);
  Report(QP_SERVICE_STOPPED);
}

// ---- Power status producer ----

// The section the main service keeps for pwdown.dll's GetUpsPowerStatus: 16 bytes, the UPS
// power status as a 32-bit int at offset 12 (bytes 0-11 stay zero here).
constexpr char kPowerSectionName[] = "pwdownDllCmMemory";
constexpr size_t kPowerSectionSize = 16;
constexpr size_t kPowerStatusOffset = 12;
constexpr char kPowerUsage[] =
    "usage: quorin_mvl_standin --power-status STATUS   create pwdownDllCmMemory when missing and set\n"
    "                                                  its status word to STATUS (a 32-bit integer)\n"
    "       quorin_mvl_standin --power-status remove   remove the section\n";

// --power-status STATUS | remove: 0, or 1 when the section cannot be made, 2 for a usage error.
int PowerStatusCommand(int argc, char **argv) {
  if (argc != 1) {
    fputs(kPowerUsage, stderr);
    return 2;
  }
  if (strcmp(argv[0], "remove") == 0) {
    qp_shm_remove(kPowerSectionName);
    printf("%s: removed\n", kPowerSectionName);
    return 0;
  }
  char *end = nullptr;
  errno = 0;
  long long value = strtoll(argv[0], &end, 10);
  if (argv[0][0] == '\0' || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) {
    fprintf(stderr, "quorin_mvl_standin: the power status must be a 32-bit integer, not \"%s\"\n", argv[0]);
    fputs(kPowerUsage, stderr);
    return 2;
  }
  qp_shm *section = qp_shm_create(kPowerSectionName, kPowerSectionSize);
  size_t size = 0;
  void *view = qp_shm_view(section, &size);
  if (view == nullptr || size < kPowerSectionSize) {
    fprintf(stderr, "quorin_mvl_standin: cannot make %s (check QUORIN_RUNTIME_DIR): %u\n", kPowerSectionName,
            GetLastError());
    qp_shm_close(section);
    return 1;
  }
  // One 32-bit store: a reader never sees the word half-written.
  auto *status = reinterpret_cast<int32_t *>(static_cast<char *>(view) + kPowerStatusOffset);
  __atomic_store_n(status, static_cast<int32_t>(value), __ATOMIC_RELEASE);
  qp_shm_close(section);
  printf("%s: status %lld\n", kPowerSectionName, value);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--power-status") == 0) return PowerStatusCommand(argc - 2, argv + 2);
  if (argc > 1 && strcmp(argv[1], "--help") == 0) {
    printf("usage: quorin_mvl_standin [--console]   (as a service: svcctl start QUORIN_MVL PATH)\n%s",
           kPowerUsage);
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--console") == 0) {
    // The pipe without the service: the service probe finds no running "QUORIN_MVL".
    qp_pipe *first = Prepare();
    if (first == nullptr) return 1;
    ServeLoop(first);
    return 0;
  }
  if (argc > 1) {
    fprintf(stderr, "usage: quorin_mvl_standin [--console]   (as a service: svcctl start QUORIN_MVL PATH)\n");
    return 2;
  }
  g_First = Prepare();
  if (g_First == nullptr) fprintf(stderr, "quorin_mvl_standin: cannot serve the pipe: %u\n", GetLastError());
  if (!qp_service_dispatch(kServiceName, ServiceMain)) {
    fprintf(stderr, "quorin_mvl_standin: not started as a service: %u\n", GetLastError());
    return 1;
  }
  return 0;
}
