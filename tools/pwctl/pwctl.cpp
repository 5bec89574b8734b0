// pwctl: the operator's command-line client over pwdown.dll, one verb per export, plus a raw
// frame sender for the command pipe. The verbs of the items, status and power-status exports
// live in items_status_verbs.cpp, those of the schedule and calendars in schedule_verbs.cpp.
//
// Exit status: 0 when the request succeeded, 1 when it failed, 2 for a usage error, 3 when
// pwdown.dll cannot be loaded or lacks the export; the verb status has codes of its own
// (status_verb.cpp). Failures go to standard error with what to check.
#include <errno.h>
#include <getopt.h>
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

// A usage error of VERB: WHAT on standard error and where the verb's usage is.
int UsageError(const char *verb, const std::string &what) {
  fprintf(stderr, "pwctl %s: %s\nTry 'pwctl %s --help'.\n", verb, what.c_str(), verb);
  return kExitUsage;
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
    fprintf(stderr, "pwctl: cannot load %s: %s; check that it lies beside pwctl\n", path.c_str(),
            ErrorText(GetLastError()).c_str());
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

// ---- Outcomes ----

// The registry file and the runtime folder in force, for the messages.
std::string RegistryFile() {
  const char *path = getenv("QUORIN_REGISTRY");
  return path != nullptr && *path != '\0' ? path : "/etc/quorin/registry.reg";
}
std::string PipeFolder() {
  char dir[512];
  if (!qp_runtime_path("pipe", dir, sizeof dir)) return "QUORIN_RUNTIME_DIR/pipe";
  return dir;
}

// What to check after a failed export, by error.
std::string Hint(uint32_t error) {
  switch (error) {
    case PC_ERR_NOT_INSTALLED:
      return "check QUORIN_REGISTRY: the registry file " + RegistryFile() +
             " has no key SOFTWARE\\Tarvos\\QUORIN/MVL";
    case PC_ERR_SERVICE:
      return "is the service running? pwdown.dll found the service QUORIN_MVL stopped or no pipe npquomvl1 "
             "in " +
             PipeFolder() + " (QUORIN_RUNTIME_DIR); the switch \"APIDEBUG\" in " + RegistryFile() +
             " lets it go on without QUORIN_MVL";
    case PC_ERR_FAILED:
      return "check \"LumoUnit\" (system type) and \"LumoUa\" (unit address) in the registry file " +
             RegistryFile() + "; DATA/pwdown.log tells which step failed";
    case PC_ERR_PIPE_IO:
      return "the service's answer was cut short or malformed: check the service's log";
    case PC_ERR_REJECTED:
      return "the service refused the request";
    case PC_ERR_UNSUPPORTED:
      return "the service does not answer this request, or the system type does not allow it";
    case PC_ERR_STOPPED:
      return "the wait was stopped";
    case ERROR_INVALID_PARAMETER:
      return "check the values given against the system type and the unit's slots";
    default:
      return "";
  }
}

// Prints the outcome of an export called as CALL and gives the exit status: success on
// standard output, a failure with what to check on standard error.
int Outcome(const std::string &call, int result, uint32_t error) {
  if (result == 1) {
    printf("%s: OK\n", call.c_str());
    return kExitOk;
  }
  fflush(stdout);
  fprintf(stderr, "%s: failed: %s\n", call.c_str(), ErrorText(error).c_str());
  std::string hint = Hint(error);
  if (!hint.empty()) fprintf(stderr, "pwctl: %s\n", hint.c_str());
  return kExitFailed;
}

// ---- The command pipe ----

bool PipeExchange(const char *frame, uint32_t length, char *reply, uint32_t *done, std::string *problem) {
  qp_pipe *pipe = nullptr;
  uint32_t rc;
  while ((rc = qp_pipe_open(kPipeName, &pipe)) == ERROR_PIPE_BUSY) {
    rc = qp_pipe_wait(kPipeName, kPipeBusyWaitMs);
    if (rc != ERROR_SUCCESS) break;
  }
  if (pipe == nullptr) {
    *problem = "cannot open the command pipe: " + ErrorText(rc);
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
      *problem += "; is the service running? No pipe npquomvl1 in " + PipeFolder() + " (QUORIN_RUNTIME_DIR)";
    else if (rc == ERROR_ACCESS_DENIED)
      *problem += "; run as root or as a member of the group quorin";
    return false;
  }
  *done = 0;
  rc = qp_pipe_write(pipe, frame, length, done);
  if (rc != ERROR_SUCCESS) {
    *problem = "write failed: " + ErrorText(rc);
    qp_pipe_close(pipe);
    return false;
  }
  rc = qp_pipe_read(pipe, reply, kPipeReplyRoom, done);
  qp_pipe_close(pipe);
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) {
    *problem = "no reply: " + ErrorText(rc) + "; the service's log tells why";
    return false;
  }
  return true;
}

// ---- Verbs ----

// Parses the options of a verb of this file: --help (shown from USAGE) and, when MODE is not
// NULL, --mode N. Returns -1 to go on (optind at the first operand), else the exit status.
int ParseVerbOptions(int argc, char **argv, const char *usage, int *mode, bool *with_mode) {
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                    {"mode", required_argument, nullptr, 'm'},
                                    {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  int c;
  // Options may follow the operands ("power-off 60 --mode 2"); a negative number reads as an
  // unknown option, which no verb of this file accepts anyway.
  while ((c = getopt_long(argc, argv, ":hm:", kOptions, nullptr)) != -1) {
    if (c == 'h') {
      printf("usage: pwctl %s\n", usage);
      return kExitOk;
    }
    if (c == 'm' && mode != nullptr) {
      if (!ParseInt(optarg, mode))
        return UsageError(argv[0], std::string("--mode must be a whole number, not '") + optarg + "'");
      *with_mode = true;
      continue;
    }
    if (c == ':') return UsageError(argv[0], std::string(argv[optind - 1]) + " needs a value");
    return UsageError(argv[0], std::string("unknown option '") + argv[optind - 1] + "'");
  }
  return -1;
}

// The operand count of a verb: exactly COUNT, else a usage error naming them.
bool Operands(int argc, char **argv, int count, const char *names, int *status) {
  if (argc - optind == count) return true;
  *status = UsageError(argv[0], argc - optind < count
                                    ? std::string("give ") + names
                                    : std::string("unexpected argument '") + argv[optind + count] + "'");
  return false;
}

int ClusterShutdownVerb(const char *entry_name, const char *usage, int argc, char **argv) {
  int status = ParseVerbOptions(argc, argv, usage, nullptr, nullptr);
  if (status >= 0) return status;
  if (!Operands(argc, argv, 1, "the MODE (a whole number)", &status)) return status;
  int mode = 0;
  if (!ParseInt(argv[optind], &mode))
    return UsageError(argv[0], std::string("MODE must be a whole number, not '") + argv[optind] + "'");
  auto entry = reinterpret_cast<QuoPcClusterShutDownFn>(Entry(entry_name));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(mode);
  uint32_t error = GetLastError();
  return Outcome(std::string(entry_name) + "(" + std::to_string(mode) + ")", result, error);
}

constexpr char kClusterShutdownUsage[] = "cluster-shutdown MODE        cluster shutdown (\"CSD\")";
constexpr char kClusterShutdown2Usage[] = "cluster-shutdown2 MODE       cluster side's shutdown (\"AD1\")";
constexpr char kPowerOffUsage[] = "power-off SECONDS [--mode N] UPS power off after SECONDS (mode 0 to 3)";
constexpr char kPowerOffExUsage[] = "power-off-ex SECONDS MODE    as power-off --mode, by PowerOffByLumoEx";
constexpr char kRebootStateUsage[] = "reboot-state                 the service's reboot state";
constexpr char kSendUsage[] = "send CODE [DATA]             one raw frame over the command pipe";

int VerbClusterShutdown(int argc, char **argv) {
  return ClusterShutdownVerb("QuoPcClusterShutDown", kClusterShutdownUsage, argc, argv);
}
int VerbClusterShutdown2(int argc, char **argv) {
  return ClusterShutdownVerb("QuoPcClusterShutDown2", kClusterShutdown2Usage, argc, argv);
}

// SECONDS of the power-off verbs: a whole number from 0 to 4294967295.
bool ParseSecondsOperand(char **argv, const char *text, uint32_t *seconds, int *status) {
  if (ParseSeconds(text, seconds)) return true;
  *status = UsageError(
      argv[0], std::string("SECONDS must be a whole number from 0 to 4294967295, not '") + text + "'");
  return false;
}

int VerbPowerOff(int argc, char **argv) {
  int mode = 0;
  bool with_mode = false;
  int status = ParseVerbOptions(argc, argv, kPowerOffUsage, &mode, &with_mode);
  if (status >= 0) return status;
  if (!Operands(argc, argv, 1, "the SECONDS", &status)) return status;
  uint32_t seconds = 0;
  if (!ParseSecondsOperand(argv, argv[optind], &seconds, &status)) return status;
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
  int status = ParseVerbOptions(argc, argv, kPowerOffExUsage, nullptr, nullptr);
  if (status >= 0) return status;
  if (!Operands(argc, argv, 2, "the SECONDS and the MODE", &status)) return status;
  uint32_t seconds = 0;
  int mode = 0;
  if (!ParseSecondsOperand(argv, argv[optind], &seconds, &status)) return status;
  if (!ParseInt(argv[optind + 1], &mode))
    return UsageError(argv[0], std::string("MODE must be a whole number, not '") + argv[optind + 1] + "'");
  auto entry = reinterpret_cast<PowerOffByLumo2Fn>(Entry("PowerOffByLumoEx"));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(seconds, mode);
  uint32_t error = GetLastError();
  return Outcome("PowerOffByLumoEx(" + std::to_string(seconds) + ", " + std::to_string(mode) + ")", result,
                 error);
}

int VerbRebootState(int argc, char **argv) {
  int status = ParseVerbOptions(argc, argv, kRebootStateUsage, nullptr, nullptr);
  if (status >= 0) return status;
  if (!Operands(argc, argv, 0, "", &status)) return status;
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
  int status = ParseVerbOptions(argc, argv, kSendUsage, nullptr, nullptr);
  if (status >= 0) return status;
  int operands = argc - optind;
  if (operands < 1 || operands > 2)
    return UsageError(argv[0], operands < 1 ? "give the CODE (three characters)"
                                            : std::string("unexpected argument '") + argv[optind + 2] + "'");
  const char *code = argv[optind];
  if (strlen(code) != 3)
    return UsageError(argv[0], std::string("CODE must be three characters, not '") + code + "'");
  const char *data = operands == 2 ? argv[optind + 1] : "";
  size_t n = strlen(data);
  if (n > kMaxFrameData)
    return UsageError(argv[0], "DATA is longer than " + std::to_string(kMaxFrameData) + " bytes");
  char frame[8 + kMaxFrameData + 1];
  int length = snprintf(frame, sizeof frame, "%.3s 00%02X%s", code, static_cast<unsigned>(n), data);
  char reply[kPipeReplyRoom];
  uint32_t done = 0;
  std::string problem;
  if (!PipeExchange(frame, static_cast<uint32_t>(length), reply, &done, &problem)) {
    fprintf(stderr, "pwctl send: %s\n", problem.c_str());
    return kExitFailed;
  }
  printf("sent:  \"%s\" (%d bytes)\n", tooltext::EscapeBytes(frame, static_cast<size_t>(length)).c_str(),
         length);
  printf("reply: \"%s\" (%u bytes)\n", tooltext::EscapeBytes(reply, done).c_str(), done);
  if (done < 8) {
    fflush(stdout);
    fprintf(stderr, "pwctl send: reply shorter than its 8-byte header\n");
    return kExitFailed;
  }
  printf("status %.2s, data length %.2s, data \"%s\"\n", reply + 4, reply + 6,
         tooltext::EscapeBytes(reply + 8, done - 8).c_str());
  return reply[4] == '0' && reply[5] == '0' ? kExitOk : kExitFailed;
}

constexpr Verb kVerbs[] = {
    {"cluster-shutdown", VerbClusterShutdown, kClusterShutdownUsage},
    {"cluster-shutdown2", VerbClusterShutdown2, kClusterShutdown2Usage},
    {"power-off", VerbPowerOff, kPowerOffUsage},
    {"power-off-ex", VerbPowerOffEx, kPowerOffExUsage},
    {"reboot-state", VerbRebootState, kRebootStateUsage},
    {"send", VerbSend, kSendUsage},
};

// The usage of every verb, on OUT.
int Usage(FILE *out = stderr) {
  fprintf(out,
          "usage: pwctl VERB [ARGS]   (pwctl VERB --help for each verb; pwctl --version for the version)\n");
  for (const Verb &verb : kVerbs) fprintf(out, "  pwctl %s\n", verb.usage);
  for (size_t i = 0; i < kItemsStatusVerbCount; ++i) fprintf(out, "  pwctl %s\n", kItemsStatusVerbs[i].usage);
  for (size_t i = 0; i < kScheduleVerbCount; ++i) fprintf(out, "  pwctl %s\n", kScheduleVerbs[i].usage);
  fprintf(out,
          "exit status: 0 success, 1 failed, 2 usage, 3 %s (or SNMPUPS.DLL for status) not loadable;\n"
          "status: 4 a UPS not on line, 5 a UPS silent, 6 configuration not loaded, 7 service down\n"
          "environment: QUORIN_REGISTRY (registry file), QUORIN_RUNTIME_DIR (pipe and service status),\n"
          "QUORIN_SNMP_PORT (the cards' agent port), QUORIN_TIME_SCALE (shortens the library's waits)\n",
          kLibraryName);
  return out == stderr ? kExitUsage : kExitOk;
}

}  // namespace pwctl

using namespace pwctl;

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "pwctl: name a VERB\n");
    return Usage();
  }
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
    int status = verb.run(argc - 1, argv + 1);
    if (g_Library != nullptr) qp_library_free(g_Library);
    return status;
  }
  fprintf(stderr, "pwctl: unknown verb '%s'\n", argv[1]);
  return Usage();
}
