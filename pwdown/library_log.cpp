// The library log "DATA\pwdown.log": a ring of fixed-width lines behind a 10-byte header that
// holds the offset of the next line to write.
//
// File layout: bytes 0-9 the offset of the next line relative to byte 10 ("%08d" and CR LF);
// line k at 10 + k x (width + 33): a 31-character prefix (time stamp and code), the message
// field of `width` characters, CR LF. Each write opens and closes the file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pwdown_internal.h"

LibraryLog g_LibraryLog;
char g_InstallPath[260];

namespace {

constexpr long kHeaderSize = 10;
constexpr char kNewFileHeader[] = "00000\r\n";

// Opens the log for update, creating it with the short header of a new file when missing.
FILE *OpenLogFile(const char *path) {
  FILE *f = qp_fopen(path, "r+");
  if (f != nullptr) return f;
  FILE *created = qp_fopen(path, "a+t");
  if (created == nullptr) return nullptr;
  fputs(kNewFileHeader, created);
  fclose(created);
  return qp_fopen(path, "r+");
}

// The offset of the next line from the header. A header that is not a number reads as 0; so
// does one that points outside the ring, which would otherwise grow the file far past its
// bound.
long ReadNextOffset(FILE *f, long ring_limit) {
  char header[10] = {};
  fseek(f, 0, SEEK_SET);
  if (fgets(header, sizeof header, f) == nullptr) return 0;
  long offset = atol(header);
  if (offset < 0 || offset >= ring_limit) return 0;
  return offset;
}

}  // namespace

void SetUpLibraryLog(LibraryLog *log, char *install, uint32_t size) {
  log->enabled = 1;
  if (!GetReg_LumoPathName(install, size)) log->enabled = 0;
  int n = snprintf(log->path, sizeof log->path, "%s\\DATA\\%s", install, kLogFileName);
  if (n < 0 || static_cast<size_t>(n) >= sizeof log->path) log->enabled = 0;
  log->line_limit = kLogLineLimit;
  log->width = kLogWidth;
  log->mutex = qp_mutex_create();
  if (log->mutex == nullptr) log->enabled = 0;
}

void WriteLibraryLog(const char *message, uint32_t code, LibraryLog *log) {
  if (log == nullptr || !log->enabled || log->mutex == nullptr) return;
  uint32_t wait = qp_mutex_wait(log->mutex, QP_INFINITE);
  if (wait != QP_WAIT_OBJECT_0 && wait != QP_WAIT_ABANDONED) return;

  int width = log->width;
  if (width < 1) width = 1;
  if (width > kLogMaxWidth) width = kLogMaxWidth;
  char field[kLogMaxWidth + 1];
  memset(field, ' ', static_cast<size_t>(width));
  field[width] = '\0';
  if (message != nullptr) {
    size_t length = strnlen(message, static_cast<size_t>(width));
    memcpy(field, message, length);
  }

  FILE *f = OpenLogFile(log->path);
  if (f != nullptr) {
    long ring_limit = static_cast<long>(log->line_limit) * (width + 31);
    long offset = ReadNextOffset(f, ring_limit);
    qp_systemtime now;
    qp_local_time(&now);
    char line[kLogMaxWidth + 64];
    int n = snprintf(line, sizeof line, "%02d/%02d/%02d %02d:%02d:%02d [%08x] %s\r\n", now.year, now.month,
                     now.day, now.hour, now.minute, now.second, code, field);
    size_t line_length =
        n < 0 ? 0 : (static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    fseek(f, kHeaderSize + offset, SEEK_SET);
    fwrite(line, 1, line_length, f);
    long next = offset + width + 33;
    if (next >= ring_limit) next = 0;
    fseek(f, 0, SEEK_SET);
    fprintf(f, "%08ld\r\n", next);
    fclose(f);
  }
  qp_mutex_release(log->mutex);
}
