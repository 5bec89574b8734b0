// Stand-in for one of the cluster manager's command-line tools (tsrstat, tsrcfget, tsrstdn,
// tsrdown), answering from a per-test script directory or with built-in healthy answers.
//
// The tool's name comes from the build (TSR_TOOL). The script directory, its files and the
// built-in answers are described in README.md next to this file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "quorin/platform.h"

namespace {

constexpr char kToolName[] = TSR_TOOL;
constexpr char kScriptDirVariable[] = "QUORIN_TSR_SCRIPT_DIR";
constexpr char kCallsFile[] = "calls.log";
constexpr char kSpansFile[] = "spans.log";
constexpr char kLockFile[] = ".lock";
constexpr int kLockWaitMs = 10000;
constexpr char kLockWaitVariable[] = "QUORIN_TSR_LOCK_WAIT_MS";  // another wait, for its test
// Exit code of a run that could not take the script lock in time: its records would be wrong.
constexpr int kLockFailedExit = 125;

// Built-in answers when no script directory is set: a healthy two-server cluster.
struct DefaultAnswer {
  const char *tool;
  const char *arguments;
  const char *output;
};
constexpr DefaultAnswer kDefaults[] = {
    {"tsrstat", "--rc", ""},
    {"tsrstat", "--local",
     "Cluster : QUORINCL\n"
     "  QUORINCL ............ : Start\n"
     "  server1 ............. : Online\n"
     "  server2 ............. : Online\n"},
    {"tsrcfget", "-g /root/cluster/name", "QUORINCL\n"},
    {"tsrcfget", "-e /root/server", "server1\nserver2\n"},
    {"tsrstdn", "", ""},
    {"tsrdown", "", ""},
};

int64_t nowMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool readWhole(const std::string &path, std::string &out) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[8192];
  size_t got;
  out.clear();
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, got);
  fclose(f);
  return true;
}

void append(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "ab");
  if (f == nullptr) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// Cross-process lock over the script directory's counters and records: a file held open
// without sharing. A run that cannot take it in time says so on standard error and ends with
// kLockFailedExit rather than count or record without it.
class ScriptLock {
 public:
  explicit ScriptLock(const std::string &dir) {
    std::string path = dir + "/" + kLockFile;
    const char *wait = getenv(kLockWaitVariable);
    long wait_ms = wait != nullptr && *wait != '\0' ? atol(wait) : kLockWaitMs;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while ((file_ = qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_NONE,
                                 QP_OPEN_ALWAYS)) == nullptr) {
      if (std::chrono::steady_clock::now() >= deadline) {
        fprintf(stderr, "%s: cannot take the script lock %s (error %u)\n", kToolName, path.c_str(),
                GetLastError());
        exit(kLockFailedExit);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~ScriptLock() { qp_file_close(file_); }
  ScriptLock(const ScriptLock &) = delete;
  ScriptLock &operator=(const ScriptLock &) = delete;

 private:
  qp_file *file_;
};

// Takes the next run number of this tool (1 for the first run) and records the call.
long beginRun(const std::string &dir, const std::string &arguments) {
  ScriptLock lock(dir);
  std::string path = dir + "/" + kToolName + ".count", text;
  long run = (readWhole(path, text) ? strtol(text.c_str(), nullptr, 10) : 0) + 1;
  FILE *f = fopen(path.c_str(), "wb");
  if (f != nullptr) {
    fprintf(f, "%ld\n", run);
    fclose(f);
  }
  append(dir + "/" + kCallsFile, std::string(kToolName) + (arguments.empty() ? "" : " " + arguments) + "\n");
  return run;
}

// The exit code of run RUN: the RUN-th number of "<tool>.codes", the last one once they are
// used up, 0 without the file.
int exitCodeOf(const std::string &dir, long run) {
  std::string text;
  if (!readWhole(dir + "/" + kToolName + ".codes", text)) return 0;
  std::vector<long> codes;
  const char *p = text.c_str();
  char *end = nullptr;
  for (long value = strtol(p, &end, 10); end != p; value = strtol(p, &end, 10)) {
    codes.push_back(value);
    p = end;
  }
  if (codes.empty()) return 0;
  size_t index =
      static_cast<size_t>(run - 1) < codes.size() ? static_cast<size_t>(run - 1) : codes.size() - 1;
  return static_cast<int>(codes[index] & 0xFF);
}

int scripted(const std::string &dir, const std::string &arguments) {
  int64_t start = nowMicros();
  long run = beginRun(dir, arguments);
  std::string base = dir + "/" + kToolName, output;
  if (readWhole(base + ".out." + std::to_string(run), output) || readWhole(base + ".out", output)) {
    fwrite(output.data(), 1, output.size(), stdout);
    fflush(stdout);
  }
  if (readWhole(base + ".err", output)) {
    fwrite(output.data(), 1, output.size(), stderr);
    fflush(stderr);
  }
  std::string delay;
  if (readWhole(base + ".delay_ms", delay)) {
    long ms = strtol(delay.c_str(), nullptr, 10);
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  int code = exitCodeOf(dir, run);
  int64_t end = nowMicros();
  ScriptLock lock(dir);
  append(dir + "/" + kSpansFile,
         std::string(kToolName) + " " + std::to_string(start) + " " + std::to_string(end) + "\n");
  return code;
}

int builtIn(const std::string &arguments) {
  for (const DefaultAnswer &answer : kDefaults) {
    if (strcmp(answer.tool, kToolName) == 0 && arguments == answer.arguments) {
      fputs(answer.output, stdout);
      return 0;
    }
  }
  fprintf(stderr, "%s: unknown arguments \"%s\"\n", kToolName, arguments.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string arguments;
  for (int i = 1; i < argc; ++i) arguments += (i > 1 ? " " : "") + std::string(argv[i]);
  const char *dir = getenv(kScriptDirVariable);
  if (dir != nullptr && dir[0] != '\0') return scripted(dir, arguments);
  return builtIn(arguments);
}
