// Fuzzes the service's command pipe: every input is sent as one request over the real pipe to
// the service's own pipe server loop, running in this process with its client threads, its
// command processor and its log, and the reply is checked against the frame rules and the new
// log entries against the entry format.
//
// The two libraries the service loads are not loaded here: their entries are bound to
// functions of this file whose answers follow the last byte of a request longer than 9 bytes
// (bytes the service itself never reads), so that the fuzzer reaches every decision of K02,
// PCS, AD1 and CSD. The restart of AD1/CSD mode 4 fails at its privilege step (a platform
// fault point), and the restart command is "false" besides: no input restarts the machine.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "cluster_config.h"
#include "fuzz_support.h"
#include "library_binding.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_main.h"
#include "service_state.h"

namespace {

constexpr uint32_t kRequestLimit = 4096;

// What the stand-in libraries answer for the request being sent. Bits:
//   0 the storage UPS 127.0.0.4 cannot be read      1 the storage UPS 127.0.0.5 is on battery
//   2 server UPS 127.0.0.2 is on battery              3 server UPS 127.0.0.3 cannot be read
//   4 server UPS 127.0.0.6 is on battery              5 switching a UPS off fails
//   6 the cluster calls fail
std::atomic<unsigned> g_scenario{0};

const char kConfig[] =
    "[common]\nTSR_SVR_NUM=2\nStorage_NUM=2\n"
    "[Server1]\nUPS_NUM=2\nUsed=1\nUPS_IP1=127.0.0.2\nUPS_IP2=127.0.0.3\n"
    "[Server2]\nUPS_NUM=1\nUsed=0\nUPS_IP1=127.0.0.6\n"
    "[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.4\n"
    "[Storage2]\nUPS_NUM=1\nUPS_IP1=127.0.0.5\n";

int UpsStatus(const char *address, int32_t *output_status) {
  unsigned s = g_scenario.load();
  std::string a = address;
  if ((a == "127.0.0.4" && (s & 1)) || (a == "127.0.0.3" && (s & 8))) return 0;
  bool battery =
      (a == "127.0.0.5" && (s & 2)) || (a == "127.0.0.2" && (s & 4)) || (a == "127.0.0.6" && (s & 16));
  *output_status = battery ? 3 : 2;
  return 1;
}
int UpsOff(const char *, int32_t, int32_t) {
  return (g_scenario.load() & 32) ? 0 : 1;
}
int ClusterShutdown(uint32_t, uint32_t) {
  return (g_scenario.load() & 64) ? 0 : 1;
}
int ServerShutdown(uint32_t) {
  return (g_scenario.load() & 64) ? 0 : 1;
}

std::string g_log_path;
std::thread g_server;

// The stop sequence's part for the pipe: ends the loop and waits for the threads it started,
// so that nothing of theirs is left when the process ends (or taken for a leak). No client
// of this target is ever left waiting: each input's connection is over before the next.
void StopPipeServer() {
  qp_event_set(StopEvent.load());
  g_server.join();
  if (WaitForWorkers(qp_real_tick_ms() + 10000) != 1) qf::fail("a client thread did not end");
}

// The log header stays eight digits and a line feed inside the size limit, and every entry
// written since the last look is one line: a time stamp, the code as eight lower-case hex
// digits in brackets, and a text without control bytes, whatever bytes the request held.
long g_log_checked = 0;  // log position up to which the entries were checked

bool EntryWellFormed(const std::string &line) {
  static const char kShape[] = "####/##/## ##:##:##";
  if (line.size() < 31) return false;
  for (size_t i = 0; i < 19; ++i)
    if (kShape[i] == '#' ? (line[i] < '0' || line[i] > '9') : line[i] != kShape[i]) return false;
  if ((line[19] != ' ' && line[19] != '*') || line[20] != '[' || line[29] != ']' || line[30] != ' ')
    return false;
  for (size_t i = 21; i < 29; ++i)
    if (!((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'a' && line[i] <= 'f'))) return false;
  for (size_t i = 31; i < line.size(); ++i)
    if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7f) return false;
  return true;
}

void CheckLog() {
  FILE *f = fopen(g_log_path.c_str(), "rbe");
  QF_CHECK(f != nullptr, "the service log is missing");
  char header[9];
  size_t got = fread(header, 1, sizeof header, f);
  QF_CHECK(got == 9 && header[8] == '\n', "the log header is not 8 digits and a line feed");
  long position = 0;
  for (int i = 0; i < 8; ++i) {
    QF_CHECK(header[i] >= '0' && header[i] <= '9', "the log header holds a non-digit");
    position = position * 10 + (header[i] - '0');
  }
  QF_CHECK(position < kServiceLogLimit, "the log position %ld is past the limit", position);
  // Entries before the position are whole: the writer moves the header after the entry. A
  // wrap since the last look restarts the check at the new lap.
  long from = position >= g_log_checked ? g_log_checked : 0;
  std::string written(static_cast<size_t>(position - from), '\0');
  fseek(f, 9 + from, SEEK_SET);
  QF_CHECK(fread(written.data(), 1, written.size(), f) == written.size(), "the log ends before its position");
  fclose(f);
  for (size_t at = 0; at < written.size();) {
    size_t eol = written.find('\n', at);
    QF_CHECK(eol != std::string::npos, "the newest log entry is not whole");
    std::string line = written.substr(at, eol - at);
    QF_CHECK(EntryWellFormed(line), "a malformed log line at %ld: [%s]", 9 + from + static_cast<long>(at),
             line.substr(0, 80).c_str());
    at = eol + 1;
  }
  g_log_checked = position;
}

// Checks a reply to REQUEST (SIZE bytes) that arrived with LENGTH bytes.
void CheckReply(const uint8_t *request, size_t size, const char *reply, uint32_t length) {
  QF_CHECK(length == 8 || length == 9, "reply of %u bytes", length);
  QF_CHECK(memcmp(reply, request, 4) == 0, "the reply does not echo bytes 0 to 3");
  std::string code(reinterpret_cast<const char *>(request), 3);
  std::string fields(reply + 4, length - 4);
  if (code == "C02") {
    QF_CHECK(fields == "00014", "C02 answered [%s]", fields.c_str());
  } else if (code == "K02") {
    unsigned s = size > 9 ? request[size - 1] : 0;
    const char *expected = (s & 3) ? "13014" : "00014";
    QF_CHECK(fields == expected, "K02 answered [%s], expected [%s]", fields.c_str(), expected);
  } else if (code == "PCS") {
    QF_CHECK(length == 8 && (fields == "0000" || fields == "1000"), "PCS answered [%s]", fields.c_str());
  } else if (code == "AD1" || code == "CSD") {
    QF_CHECK(length == 8, "AD1/CSD answered with %u bytes", length);
    QF_CHECK(fields.substr(0, 2) == "00" || fields.substr(0, 2) == "10", "AD1/CSD answered [%s]",
             fields.c_str());
    QF_CHECK(memcmp(reply + 6, request + 6, 2) == 0, "AD1/CSD changed bytes 6 and 7");
  } else {
    QF_CHECK(length == 8 && fields == "1F00", "unknown command answered [%s]", fields.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string install = qf::scratch_path("install");
  qf::scratch_path("install/DATA");
  setenv("QUORIN_RUNTIME_DIR", qf::scratch_path("run").c_str(), 1);
  setenv("QUORIN_FAULTS", "token_open", 1);
  setenv("QUORIN_REBOOT_COMMAND", "false", 1);
  snprintf(InstallDir, sizeof InstallDir, "%s", install.c_str());
  g_log_path = install + "/DATA/" + kServiceLogName;

  LogMutex.store(qp_mutex_create());
  StopEvent.store(qp_event_create(1, 0));
  std::string config = install + "/DATA/" + kClusterConfigName;
  qf::write_file(config, kConfig);
  if (LoadClusterConfig(config.c_str()) != 1) qf::fail("the fuzz configuration did not load");
  g_GetUpsStatusFromSnmp.store(UpsStatus);
  g_SetUpsOffbySnmp.store(UpsOff);
  g_VexClusterShutdown.store(ClusterShutdown);
  g_VexServerShutdown.store(ServerShutdown);
  g_server = std::thread(RunPipeServer);
  atexit(StopPipeServer);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  g_scenario.store(size > 9 ? data[size - 1] : 0);
  qp_pipe *pipe = nullptr;
  uint32_t opened = ERROR_FILE_NOT_FOUND;
  // Just after the start the pipe may not be served yet.
  for (int attempt = 0; attempt < 500; ++attempt) {
    opened = qp_pipe_open(kPipeName, &pipe);
    if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PIPE_BUSY) break;
    qp_pipe_wait(kPipeName, 20);
    qp_sleep_ms(2);
  }
  QF_CHECK(opened == ERROR_SUCCESS, "the pipe could not be opened (%u)", opened);
  uint32_t done = 0;
  uint32_t written = qp_pipe_write(pipe, data, static_cast<uint32_t>(size), &done);
  QF_CHECK(written == ERROR_SUCCESS, "the request could not be written (%u)", written);
  char reply[8192];
  uint32_t length = 0;
  uint32_t read = qp_pipe_read(pipe, reply, sizeof reply, &length);
  qp_pipe_close(pipe);

  if (size < 8 || size > kRequestLimit) {
    QF_CHECK(read != ERROR_SUCCESS || length == 0, "a request of %zu bytes was answered", size);
  } else {
    QF_CHECK(read == ERROR_SUCCESS, "a request of %zu bytes got no reply (%u)", size, read);
    CheckReply(data, size, reply, length);
  }
  CheckLog();
  return 0;
}
