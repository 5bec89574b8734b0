// pwctl: the operator's command-line client over pwdown.dll, one verb per export, plus a raw
// frame sender for the command pipe. The verbs of the items, status and power-status exports
// live in items_status_verbs.cpp, those of the schedule and calendars in schedule_verbs.cpp.
//
// Exit status: 0 when the request succeeded, 1 when it failed, 2 for a usage error, 3 when
// pwdown.dll cannot be loaded or lacks the export.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "pwctl.h"
#include "pwdown.h"
#include "quorin/platform.h"
#include "quorin_version.h"
#include "tool_text.h"

namespace pwctl {

constexpr char kLibraryName[] = "pwdown.dll";
constexpr char kPipeName[] = "\\\\.\\pipe\\npquomvl1";
constexpr uint32_t kPipeBusyWaitMs = 10000;
constexpr uint32_t kMaxReply = 4096;
constexpr size_t kMaxFrameData = 255;

// ---- Error names ----

struct PcErrorName {
  uint32_t code;
  const char *name;
};
constexpr PcErrorName kPcErrorNames[] = {
#define PC_ERROR_ROW(name, value) {value, #name},
    PC_ERROR_LIST(PC_ERROR_ROW)
#undef PC_ERROR_ROW
};

// "PC_ERR_UNSUPPORTED (0x20000100)", "ERROR_INVALID_PARAMETER (87)" or "unknown error (N)".
std::string ErrorText(uint32_t code) {
  char text[128];
  for (const PcErrorName &e : kPcErrorNames) {
    if (e.code == code) {
      snprintf(text, sizeof text, "%s (0x%08X)", e.name, code);
      return text;
    }
  }
  const char *name = qp_error_name(code);
  if (name != nullptr)
    snprintf(text, sizeof text, "%s (%u)", name, code);
  else
    snprintf(text, sizeof text, "unknown error (%u, 0x%08X)", code, code);
  return text;
}

// ---- Arguments ----

bool ParseInt(const char *text, int *out) {
  if (text == nullptr || *text == '\0') return false;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

bool ParseSeconds(const char *text, uint32_t *out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// ---- The library ----

qp_library *g_Library = nullptr;

// Loads pwdown.dll from the folder of this program. False (with a message) when it cannot.
bool LoadLibraryBesideProgram() {
  char program[1024];
  if (qp_module_file_name(program, sizeof program) == 0) {
    fprintf(stderr, "pwctl: cannot find its own folder: %s\n", ErrorText(GetLastError()).c_str());
    return false;
  }
  std::string path = program;
  size_t slash = path.find_last_of('/');
  path = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + kLibraryName;
  g_Library = qp_library_load(path.c_str());
  if (g_Library == nullptr) {
    fprintf(stderr, "pwctl: cannot load %s: %s\n", path.c_str(), ErrorText(GetLastError()).c_str());
    return false;
  }
  return true;
}

// The export NAME of the library, loaded on first use so that usage errors need no library;
// NULL (with a message) when the library cannot be loaded or lacks the export.
void *Entry(const char *name) {
  if (g_Library == nullptr && !LoadLibraryBesideProgram()) return nullptr;
  void *entry = qp_library_symbol(g_Library, name);
  if (entry == nullptr) fprintf(stderr, "pwctl: %s has no entry %s\n", kLibraryName, name);
  return entry;
}

// Prints the outcome of an export called as CALL and gives the exit status.
int Outcome(const std::string &call, int result, uint32_t error) {
  if (result == 1) {
    printf("%s: OK\n", call.c_str());
    return kExitOk;
  }
  printf("%s: failed: %s\n", call.c_str(), ErrorText(error).c_str());
  return kExitFailed;
}

// ---- Verbs ----

int ClusterShutdownVerb(const char *entry_name, int argc, char **argv) {
  int mode = 0;
  if (argc != 1 || !ParseInt(argv[0], &mode)) return kExitUsage;
  auto entry = reinterpret_cast<QuoPcClusterShutDownFn>(Entry(entry_name));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(mode);
  uint32_t error = GetLastError();
  return Outcome(std::string(entry_name) + "(" + std::to_string(mode) + ")", result, error);
}

int VerbClusterShutdown(int argc, char **argv) {
  return ClusterShutdownVerb("QuoPcClusterShutDown", argc, argv);
}
int VerbClusterShutdown2(int argc, char **argv) {
  return ClusterShutdownVerb("QuoPcClusterShutDown2", argc, argv);
}

int VerbPowerOff(int argc, char **argv) {
  uint32_t seconds = 0;
  int mode = 0;
  bool with_mode = false;
  if (argc == 1) {
    if (!ParseSeconds(argv[0], &seconds)) return kExitUsage;
  } else if (argc == 3 && strcmp(argv[1], "--mode") == 0) {
    if (!ParseSeconds(argv[0], &seconds) || !ParseInt(argv[2], &mode)) return kExitUsage;
    with_mode = true;
  } else {
    return kExitUsage;
  }
  int result;
  std::string call;
  if (with_mode) {
    auto entry = reinterpret_cast<PowerOffByLumo2Fn>(Entry("PowerOffByLumo2"));
    if (entry == nullptr) return kExitLibrary;
    result = entry(seconds, mode);
    call = "PowerOffByLumo2(" + std::to_string(seconds) + ", " + std::to_string(mode) + ")";
  } else {
    auto entry = reinterpret_cast<PowerOffByLumoFn>(Entry("PowerOffByLumo"));
    if (entry == nullptr) return kExitLibrary;
    result = entry(seconds);
    call = "PowerOffByLumo(" + std::to_string(seconds) + ")";
  }
  uint32_t error = GetLastError();
  return Outcome(call, result, error);
}

int VerbPowerOffEx(int argc, char **argv) {
  uint32_t seconds = 0;
  int mode = 0;
  if (argc != 2 || !ParseSeconds(argv[0], &seconds) || !ParseInt(argv[1], &mode)) return kExitUsage;
  auto entry = reinterpret_cast<PowerOffByLumo2Fn>(Entry("PowerOffByLumoEx"));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(seconds, mode);
  uint32_t error = GetLastError();
  return Outcome("PowerOffByLumoEx(" + std::to_string(seconds) + ", " + std::to_string(mode) + ")", result,
                 error);
}

int VerbRebootState(int argc, char **) {
  if (argc != 0) return kExitUsage;
  auto entry = reinterpret_cast<CheckApiRebootFn>(Entry("CheckApiReboot"));
  if (entry == nullptr) return kExitLibrary;
  int state = -1;
  int result = entry(&state);
  uint32_t error = GetLastError();
  if (result == 1) {
    printf("CheckApiReboot: reboot state %d\n", state);
    return kExitOk;
  }
  return Outcome("CheckApiReboot", result, error);
}

// Sends one frame (CODE, a blank unit character, "00", the data length as "%02X", DATA) over
// the command pipe and prints the raw reply. Succeeds when the reply's status is "00".
int VerbSend(int argc, char **argv) {
  if (argc < 1 || argc > 2 || strlen(argv[0]) != 3) return kExitUsage;
  const char *data = argc == 2 ? argv[1] : "";
  size_t n = strlen(data);
  if (n > kMaxFrameData) {
    fprintf(stderr, "pwctl: data longer than %zu bytes\n", kMaxFrameData);
    return kExitUsage;
  }
  char frame[8 + kMaxFrameData + 1];
  int length = snprintf(frame, sizeof frame, "%.3s 00%02X%s", argv[0], static_cast<unsigned>(n), data);

  qp_pipe *pipe = nullptr;
  uint32_t rc;
  while ((rc = qp_pipe_open(kPipeName, &pipe)) == ERROR_PIPE_BUSY) {
    rc = qp_pipe_wait(kPipeName, kPipeBusyWaitMs);
    if (rc != ERROR_SUCCESS) break;
  }
  if (pipe == nullptr) {
    printf("send: cannot open the command pipe: %s\n", ErrorText(rc).c_str());
    return kExitFailed;
  }
  printf("sent:  \"%s\" (%d bytes)\n", tooltext::EscapeBytes(frame, static_cast<size_t>(length)).c_str(),
         length);
  uint32_t done = 0;
  rc = qp_pipe_write(pipe, frame, static_cast<uint32_t>(length), &done);
  if (rc != ERROR_SUCCESS) {
    printf("send: write failed: %s\n", ErrorText(rc).c_str());
    qp_pipe_close(pipe);
    return kExitFailed;
  }
  char reply[kMaxReply];
  rc = qp_pipe_read(pipe, reply, sizeof reply, &done);
  qp_pipe_close(pipe);
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) {
    printf("send: no reply: %s\n", ErrorText(rc).c_str());
    return kExitFailed;
  }
  printf("reply: \"%s\" (%u bytes)\n", tooltext::EscapeBytes(reply, done).c_str(), done);
  if (done < 8) {
    printf("send: reply shorter than its 8-byte header\n");
    return kExitFailed;
  }
  printf("status %.2s, data length %.2s, data \"%s\"\n", reply + 4, reply + 6,
         tooltext::EscapeBytes(reply + 8, done - 8).c_str());
  return reply[4] == '0' && reply[5] == '0' ? kExitOk : kExitFailed;
}

constexpr Verb kVerbs[] = {
    {"cluster-shutdown", VerbClusterShutdown, "cluster-shutdown MODE        cluster shutdown (\"CSD\")"},
    {"cluster-shutdown2", VerbClusterShutdown2,
     "cluster-shutdown2 MODE       cluster side's shutdown (\"AD1\")"},
    {"power-off", VerbPowerOff, "power-off SECONDS [--mode N] UPS power off after SECONDS (mode 0 to 3)"},
    {"power-off-ex", VerbPowerOffEx, "power-off-ex SECONDS MODE    as power-off --mode, by PowerOffByLumoEx"},
    {"reboot-state", VerbRebootState, "reboot-state                 the service's reboot state"},
    {"send", VerbSend, "send CODE [DATA]             one raw frame over the command pipe"},
};

// The usage of every verb, on OUT.
int Usage(FILE *out = stderr) {
  fprintf(out,
          "usage: pwctl VERB [ARGS]   (pwctl VERB --help for the verbs that take options;\n"
          "                           pwctl --version for the version)\n");
  for (const Verb &verb : kVerbs) fprintf(out, "  pwctl %s\n", verb.usage);
  for (size_t i = 0; i < kItemsStatusVerbCount; ++i) fprintf(out, "  pwctl %s\n", kItemsStatusVerbs[i].usage);
  for (size_t i = 0; i < kScheduleVerbCount; ++i) fprintf(out, "  pwctl %s\n", kScheduleVerbs[i].usage);
  fprintf(out, "exit status: 0 success, 1 failed, 2 usage, 3 %s not loadable\n", kLibraryName);
  return out == stderr ? kExitUsage : kExitOk;
}

}  // namespace pwctl

using namespace pwctl;

int main(int argc, char **argv) {
  if (argc < 2) return Usage();
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) return Usage(stdout);
  if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0) {
    printf("pwctl (quorin) %s\n", QUORIN_VERSION);
    return kExitOk;
  }
  for (size_t i = 0; i < kItemsStatusVerbCount; ++i) {
    if (strcmp(argv[1], kItemsStatusVerbs[i].name) != 0) continue;
    int status = kItemsStatusVerbs[i].run(argc - 1, argv + 1);
    if (g_Library != nullptr) qp_library_free(g_Library);
    return status;
  }
  for (size_t i = 0; i < kScheduleVerbCount; ++i) {
    const Verb &verb = kScheduleVerbs[i];
    if (strcmp(argv[1], verb.name) != 0) continue;
    int status = verb.run(argc - 2, argv + 2);
    if (g_Library != nullptr) qp_library_free(g_Library);
    if (status == kExitUsage) fprintf(stderr, "usage: pwctl %s\n", verb.usage);
    return status;
  }
  for (const Verb &verb : kVerbs) {
    if (strcmp(argv[1], verb.name) != 0) continue;
    int status = verb.run(argc - 2, argv + 2);
    if (g_Library != nullptr) qp_library_free(g_Library);
    if (status == kExitUsage) {
      fprintf(stderr, "usage: pwctl %s\n", verb.usage);
    }
    return status;
  }
  return Usage();
}
