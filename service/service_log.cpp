// The service log "DATA\QUOMVLSV.LOG": entries written at the position its 8-digit header
// holds, wrapping to the start when the size limit is reached.
//
// File layout: bytes 0-7 the write position P ("%08d"), byte 8 a line feed, entries from
// byte 9 + P. Line breaks are one byte on disk here, so positions count stored bytes exactly.
#include "service_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "service_state.h"

namespace {

constexpr int kHeaderSize = 9;
constexpr size_t kMaxText = 256;
constexpr size_t kEntrySize = 356;

// Opens the log for update, creating it with an empty header when it does not exist.
FILE *open_log(const char *path) {
  FILE *f = qp_fopen(path, "r+");
  if (f != nullptr) return f;
  FILE *created = qp_fopen(path, "w");
  if (created == nullptr) return nullptr;
  fprintf(created, "%08d\n", 0);
  fclose(created);
  return qp_fopen(path, "r+");
}

// The write position from the header. A header that is not a number, or one that points
// at or beyond the size limit, gives 0: writing there would grow the file far past its
// limit (a damaged header must not turn the log into a huge file).
long read_position(FILE *f) {
  char header[10] = {};
  fseek(f, 0, SEEK_SET);
  if (fgets(header, sizeof header, f) == nullptr) return 0;
  long position = 0;
  for (const char *p = header; *p >= '0' && *p <= '9'; ++p) position = position * 10 + (*p - '0');
  if (position >= kServiceLogLimit) return 0;
  return position;
}

}  // namespace

void ServiceLog(const char *text, uint32_t code) {
  qp_mutex *mutex = LogMutex;
  if (mutex == nullptr) return;
  uint32_t wait = qp_mutex_wait(mutex, 1000);

  char message[kMaxText + 1];
  snprintf(message, sizeof message, "%s", text != nullptr ? text : "");
  size_t length = strlen(message);
  while (length > 0 && message[length - 1] == ' ') message[--length] = '\0';

  char path[256];
  snprintf(path, sizeof path, "%s\\DATA\\%s", InstallDir, kServiceLogName);
  FILE *f = open_log(path);
  if (f != nullptr) {
    long position = read_position(f);
    qp_systemtime now;
    qp_local_time(&now);
    char entry[kEntrySize];
    int n = snprintf(entry, sizeof entry, "%04d/%02d/%02d %02d:%02d:%02d%c[%08x] %s\n", now.year, now.month, now.day,
                     now.hour, now.minute, now.second, wait == QP_WAIT_FAILED ? '*' : ' ', code, message);
    size_t entry_length = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof entry ? static_cast<size_t>(n) : sizeof entry - 1);
    fseek(f, kHeaderSize + position, SEEK_SET);
    fwrite(entry, 1, entry_length, f);
    long next = position + static_cast<long>(entry_length);
    if (next >= kServiceLogLimit) next = 0;
    fseek(f, 0, SEEK_SET);
    fprintf(f, "%08ld", next);
    fclose(f);
  }
  if (wait == QP_WAIT_OBJECT_0 || wait == QP_WAIT_ABANDONED) qp_mutex_release(mutex);
}

void ServiceLogf(uint32_t code, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ServiceLog(text, code);
}
