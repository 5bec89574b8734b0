// Fuzzes the readers of the ring logs' offset headers: the service log, the three logs of the
// SNMP UPS library and the client library's log. The first byte of an input chooses the log,
// the rest is the file found in its place; then one entry is written through the log's own
// writer.
//
// Properties: the header afterwards is eight digits (and CR LF where the format has it) inside
// the ring; the entry lies whole right before the offset the header names (or, after a wrap,
// at the end of the ring); the file never grows past the ring and one entry, whatever the
// header it had.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "fuzz_support.h"
#include "pwdown_internal.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_state.h"
#include "snmpups_state.h"

namespace {

constexpr char kText[] = "fuzz probe";
const std::string kField = std::string(kText) + std::string(80 - strlen(kText), ' ');

// One ring log: where it is, its header, its size limit, the bytes of the entry the writer
// forms for kText ('#' for a digit of the time stamp), and the writer.
struct Ring {
  std::string path;
  long header_length;
  bool header_crlf;
  long limit;
  std::string entry;
  std::function<void()> write;
};

Ring g_rings[5];
LibraryLog g_client_log;

bool Matches(const std::string &bytes, const std::string &pattern) {
  if (bytes.size() != pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '#' ? (bytes[i] < '0' || bytes[i] > '9') : bytes[i] != pattern[i]) return false;
  }
  return true;
}

std::string ReadAt(int fd, long offset, long length) {
  std::string bytes(static_cast<size_t>(length), '\0');
  ssize_t got = pread(fd, bytes.data(), bytes.size(), offset);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

void Check(const Ring &ring, long size_before) {
  int fd = open(ring.path.c_str(), O_RDONLY | O_CLOEXEC);
  QF_CHECK(fd >= 0, "%s: the log is gone", ring.path.c_str());
  struct stat st;
  fstat(fd, &st);
  long entry_length = static_cast<long>(ring.entry.size());
  long bound = ring.header_length + ring.limit + entry_length;
  QF_CHECK(st.st_size <= (size_before > bound ? size_before : bound), "%s: %ld bytes, the ring allows %ld",
           ring.path.c_str(), static_cast<long>(st.st_size), bound);

  std::string header = ReadAt(fd, 0, ring.header_length);
  std::string expected_header = ring.header_crlf ? "########\r\n" : "########";
  QF_CHECK(Matches(header.substr(0, expected_header.size()), expected_header), "%s: the header is [%s]",
           ring.path.c_str(), header.c_str());
  long offset = strtol(header.substr(0, 8).c_str(), nullptr, 10);
  QF_CHECK(offset < ring.limit, "%s: the header offset %ld is past the ring", ring.path.c_str(), offset);
  if (offset != 0) {
    QF_CHECK(offset >= entry_length, "%s: the header offset %ld is inside the first entry", ring.path.c_str(),
             offset);
    std::string entry = ReadAt(fd, ring.header_length + offset - entry_length, entry_length);
    QF_CHECK(Matches(entry, ring.entry), "%s: no entry before offset %ld", ring.path.c_str(), offset);
  } else {
    // A wrap: the entry started within one entry's length before the end of the ring.
    long first = ring.header_length + ring.limit - entry_length;
    std::string tail = ReadAt(fd, first, 2 * entry_length);
    bool found = false;
    for (long at = 0; !found && at + entry_length <= static_cast<long>(tail.size()); ++at)
      found = Matches(tail.substr(static_cast<size_t>(at), static_cast<size_t>(entry_length)), ring.entry);
    QF_CHECK(found, "%s: the header wrapped but no entry ends the ring", ring.path.c_str());
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string install = qf::scratch_path("install");
  std::string data = qf::scratch_path("install/DATA");
  qf::scratch_path("install/DATA/SNMPTRAP");
  qf::scratch_path("install/DATA/UPS");

  snprintf(InstallDir, sizeof InstallDir, "%s", install.c_str());
  LogMutex.store(qp_mutex_create());
  snprintf(g_Install_Path, sizeof g_Install_Path, "%s", install.c_str());
  g_Log_Mutex = qp_mutex_create();
  g_Trap_Log_Mutex = qp_mutex_create();
  g_Ups_Log_Mutex = qp_mutex_create();
  g_Snmp_Log_Size.store(0);  // the smallest ring, 2220000 bytes
  g_client_log.enabled = 1;
  g_client_log.mutex = qp_mutex_create();
  g_client_log.line_limit = kLogLineLimit;
  g_client_log.width = kLogWidth;
  snprintf(g_client_log.path, sizeof g_client_log.path, "%s\\DATA\\%s", install.c_str(), kLogFileName);

  const std::string stamp = "####/##/## ##:##:##";
  g_rings[0] = {
      data + "/" + kServiceLogName, 9, false, kServiceLogLimit, stamp + " [00000000] " + kText + "\n",
      [] { ServiceLog(kText); }};
  g_rings[1] = {data + "/SNMPUPS.LOG", 10, true, 2220000, stamp + " [80100001] " + kField + "\r\n", [] {
                  WriteSnmpLog(kText, 0x80100001u);
                }};
  g_rings[2] = {
      data + "/SNMPTRAP/SNMP007.LOG",    10, true, 2220000, stamp + " [0000002a] " + kField + "\r\n",
      [] { WriteTrapLog(7, kText, 42); }};
  g_rings[3] = {data + "/UPS/UPS005.LOG",     10, true, 1000000, stamp + " " + kField + "\r\n",
                [] { WriteUpsLog(5, kText); }};
  g_rings[4] = {data + "/" + kLogFileName,
                10,
                true,
                static_cast<long>(kLogLineLimit) * (kLogWidth + 31),
                stamp + " [00000007] " + kField + "\r\n",
                [] { WriteLibraryLog(kText, 7, &g_client_log); }};
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const Ring &ring = g_rings[data[0] % 5];
  qf::remove_file(ring.path);
  qf::write_file(ring.path, data + 1, size - 1);
  ring.write();
  Check(ring, static_cast<long>(size - 1));
  return 0;
}
