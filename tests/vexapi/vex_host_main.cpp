// Test host for ky_vexapi4.dll: loads it through the platform loader and runs the calls named on
// its command line, printing one result line per call.
//
// Usage: qt_vex_host LIBRARY COMMAND... with the commands
//   init LIMIT [CODE]      init-async LIMIT (on a thread, joined at the end)    term
//   name SIZE              name-null-size                                      status   status-null
//   enum STOP_AFTER        enum-null                                           cshut INITIATOR OPTION
//   sshut OPTION           parallel N NAME STATE SERVERS                       loop N COMMAND...
//   sleep MS               free                                                ignore-sigchld
//   wait-for FILE TEXT MS  (until FILE holds TEXT, at most MS real milliseconds)
//   clock                  (prints the real monotonic clock in milliseconds, to time the calls between)
//
// It prints "load_ms=N", the real milliseconds the library's load step took, before "load=ok".
// QT_REMOVE_FAIL="TEXT:COUNT" makes the first COUNT removals of files whose path contains TEXT
// fail with EACCES; at the end the host prints "removes=N", the removals of such paths tried.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ky_vexapi4.h"
#include "quorin/platform.h"

namespace {

struct Api {
  VexInitializeApiFn init;
  VexTerminateApiFn term;
  VexGetClusterNameFn name;
  VexEnumServerFn enumerate;
  VexGetServerStatusFn status;
  VexClusterShutdownFn cshut;
  VexServerShutdownFn sshut;
} api;

constexpr uint32_t kEnumContext = 0x1234;
constexpr uint32_t kStopError = 0x77;
constexpr uint32_t kCallerError = 0xC0FFEE;  // set before a call whose own last error is checked
int g_stop_after = 0;
int g_calls = 0;

int printServer(const char *name, uint32_t context) {
  ++g_calls;
  printf("server[%x]=%s\n", context, name);
  if (g_stop_after > 0 && g_calls >= g_stop_after) {
    SetLastError(kStopError);
    return 0;
  }
  return 1;
}

void name(uint32_t size) {
  unsigned char buffer[64];
  memset(buffer, 0xAA, sizeof buffer);
  uint32_t in_out = size;
  int rc = api.name(reinterpret_cast<char *>(buffer), &in_out);
  uint32_t error = GetLastError();
  std::string hex;
  char byte[4];
  for (uint32_t i = 0; i < size && i < sizeof buffer - 1; ++i) {
    snprintf(byte, sizeof byte, "%02x", buffer[i]);
    hex += byte;
  }
  printf("name=%d size=%u bytes=%s guard=%02x error=0x%x\n", rc, in_out, hex.c_str(),
         buffer[size < sizeof buffer ? size : sizeof buffer - 1], error);
}

bool contains(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::string content;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, got);
  fclose(f);
  return content.find(text) != std::string::npos;
}

// Three threads run the three queries N times each; the results of each kind are counted
// against the expected ones.
void parallel(int n, const std::string &expected_name, uint32_t expected_state, int expected_servers) {
  std::atomic<int> names_ok{0}, states_ok{0}, enums_ok{0};
  std::thread names([&] {
    for (int i = 0; i < n; ++i) {
      char buffer[64];
      uint32_t size = sizeof buffer;
      if (api.name(buffer, &size) == 1 && expected_name == buffer) ++names_ok;
    }
  });
  std::thread states([&] {
    for (int i = 0; i < n; ++i) {
      uint32_t state = 0;
      if (api.status(0, &state) == 1 && state == expected_state) ++states_ok;
    }
  });
  std::thread enums([&] {
    for (int i = 0; i < n; ++i) {
      thread_local int count;
      count = 0;
      auto counter = [](const char *, uint32_t) -> int {
        ++count;
        return 1;
      };
      if (api.enumerate(counter, 0) == 1 && count == expected_servers) ++enums_ok;
    }
  });
  names.join();
  states.join();
  enums.join();
  printf("parallel names_ok=%d states_ok=%d enums_ok=%d\n", names_ok.load(), states_ok.load(),
         enums_ok.load());
}

}  // namespace

// Stands in for the C library's remove() for the library loaded here (the host exports its
// symbols, so the library's calls land here): removals can be made to fail a given number of
// times, and are counted, without any change to the library.
std::atomic<int> g_removes{0};
extern "C" int remove(const char *path) {
  using RemoveFn = int (*)(const char *);
  static RemoveFn real = reinterpret_cast<RemoveFn>(dlsym(RTLD_NEXT, "remove"));
  const char *rule = getenv("QT_REMOVE_FAIL");
  const char *colon = rule != nullptr ? strrchr(rule, ':') : nullptr;
  if (colon != nullptr && path != nullptr &&
      std::string(path).find(std::string(rule, static_cast<size_t>(colon - rule))) != std::string::npos) {
    if (g_removes.fetch_add(1) < atoi(colon + 1)) {
      errno = EACCES;
      return -1;
    }
  }
  return real(path);
}

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) return 2;
  uint64_t load_start = qp_real_tick_ms();
  qp_library *library = qp_library_load(argv[1]);
  printf("load_ms=%llu\n", static_cast<unsigned long long>(qp_real_tick_ms() - load_start));
  if (library == nullptr) {
    printf("load=fail error=%u\n", GetLastError());
    return 1;
  }
  api.init = reinterpret_cast<VexInitializeApiFn>(qp_library_symbol(library, "VexInitializeApi"));
  api.term = reinterpret_cast<VexTerminateApiFn>(qp_library_symbol(library, "VexTerminateApi"));
  api.name = reinterpret_cast<VexGetClusterNameFn>(qp_library_symbol(library, "VexGetClusterName"));
  api.enumerate = reinterpret_cast<VexEnumServerFn>(qp_library_symbol(library, "VexEnumServer"));
  api.status = reinterpret_cast<VexGetServerStatusFn>(qp_library_symbol(library, "VexGetServerStatus"));
  api.cshut = reinterpret_cast<VexClusterShutdownFn>(qp_library_symbol(library, "VexClusterShutdown"));
  api.sshut = reinterpret_cast<VexServerShutdownFn>(qp_library_symbol(library, "VexServerShutdown"));
  if (!api.init || !api.term || !api.name || !api.enumerate || !api.status || !api.cshut || !api.sshut) {
    printf("bind=fail\n");
    return 1;
  }
  printf("load=ok\n");

  std::vector<std::thread> async;
  std::vector<std::string> args(argv + 2, argv + argc);
  size_t i = 0;
  auto next = [&]() -> std::string { return i < args.size() ? args[i++] : std::string(); };
  auto number = [&]() -> uint32_t { return static_cast<uint32_t>(strtoul(next().c_str(), nullptr, 0)); };
  int loop = 1;
  size_t loop_start = 0;
  while (i < args.size()) {
    std::string command = next();
    if (command == "init") {
      uint32_t limit = number();
      uint32_t code = i < args.size() && isdigit(static_cast<unsigned char>(args[i][0])) ? number() : 0;
      uint32_t handle = 0xDEADBEEF;
      int rc = api.init(&handle, code, limit);
      printf("init=%d handle=%u error=0x%x\n", rc, handle, GetLastError());
    } else if (command == "init-async") {
      uint32_t limit = number();
      async.emplace_back([limit] {
        uint32_t handle = 0;
        int rc = api.init(&handle, 0, limit);
        printf("init=%d error=0x%x\n", rc, GetLastError());
      });
    } else if (command == "term") {
      printf("term=%d\n", api.term(0));
    } else if (command == "name") {
      name(number());
    } else if (command == "name-null-size") {
      char buffer[8];
      int rc = api.name(buffer, nullptr);
      printf("name=%d error=0x%x\n", rc, GetLastError());
    } else if (command == "status") {
      uint32_t state = 0;
      int rc = api.status(0, &state);
      printf("status=%d state=0x%x error=0x%x\n", rc, state, GetLastError());
    } else if (command == "status-null") {
      int rc = api.status(0, nullptr);
      printf("status=%d error=0x%x\n", rc, GetLastError());
    } else if (command == "enum") {
      g_stop_after = static_cast<int>(number());
      g_calls = 0;
      int rc = api.enumerate(printServer, kEnumContext);
      printf("enum=%d calls=%d error=0x%x\n", rc, g_calls, GetLastError());
    } else if (command == "enum-null") {
      int rc = api.enumerate(nullptr, 0);
      printf("enum=%d error=0x%x\n", rc, GetLastError());
    } else if (command == "cshut") {
      uint32_t initiator = number();
      uint32_t option = number();
      SetLastError(kCallerError);  // shows whether the call set a last error of its own
      int rc = api.cshut(initiator, option);
      printf("cshut=%d error=0x%x\n", rc, GetLastError());
    } else if (command == "sshut") {
      uint32_t option = number();
      SetLastError(kCallerError);
      int rc = api.sshut(option);
      printf("sshut=%d error=0x%x\n", rc, GetLastError());
    } else if (command == "parallel") {
      int n = static_cast<int>(number());
      std::string expected_name = next();
      uint32_t expected_state = number();
      int expected_servers = static_cast<int>(number());
      parallel(n, expected_name, expected_state, expected_servers);
    } else if (command == "loop") {
      loop = static_cast<int>(number());
      loop_start = i;
      continue;
    } else if (command == "wait-for") {
      std::string path = next(), text = next();
      uint32_t ms = number();
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      bool found = false;
      while (!(found = contains(path, text)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      printf("wait-for=%d\n", found ? 1 : 0);
    } else if (command == "clock") {
      printf("clock=%llu\n", static_cast<unsigned long long>(qp_real_tick_ms()));
    } else if (command == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(number()));
    } else if (command == "free") {
      int rc = qp_library_free(library);
      library = nullptr;
      printf("free=%d\n", rc);
    } else if (command == "ignore-sigchld") {
      signal(SIGCHLD, SIG_IGN);
    } else {
      printf("unknown command %s\n", command.c_str());
      return 2;
    }
    if (loop > 1 && i > loop_start) {  // repeat the command that followed "loop N"
      --loop;
      i = loop_start;
    }
  }
  for (std::thread &t : async) t.join();
  if (library != nullptr) qp_library_free(library);  // unloads, as a host's stop does
  if (getenv("QT_REMOVE_FAIL") != nullptr) printf("removes=%d\n", g_removes.load());
  return 0;
}
