// The cluster-control library's log file: time-stamped lines, appended, with a one-step rotation.
//
// Lines end in CR LF, as the file held on the system this library was first written for, so
// the rotation threshold counts the same bytes. The log mutex orders the writers of one
// process; processes that share the file append without coordination.
#include "vex_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "vex_runner.h"
#include "vex_state.h"
#include "vex_text.h"

namespace vex {

namespace {

constexpr int kLineSize = 512;
constexpr long kRotateAbove = 500000;
constexpr uint32_t kLogMutexWaitMs = 1000;

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The local time as "%b %d %H:%M:%S" in the C locale, or the dashes when it cannot be formed.
void timeText(char *out, size_t size) {
  qp_systemtime now;
  qp_local_time(&now);
  if (now.month < 1 || now.month > 12) {
    snprintf(out, size, "%s", "--- -- --:--:--");
    return;
  }
  snprintf(out, size, "%s %02u %02u:%02u:%02u", kMonths[now.month - 1], static_cast<unsigned>(now.day),
           static_cast<unsigned>(now.hour), static_cast<unsigned>(now.minute),
           static_cast<unsigned>(now.second));
}

void writeLine(FILE *file, const char *line) {
  fputs(line, file);
  fclose(file);
}

// Moves a full log aside to "<log>.1" and writes LINE into a fresh log. When the old
// companion cannot be removed or the rename fails, the line is lost.
void rotateAndWrite(const char *line) {
  char old_path[kPathSize + 4];
  snprintf(old_path, sizeof old_path, kOldLogFormat, g_state.log_path);
  // Removed without logging: a failure here would log, and so rotate, again.
  deleteFileQuietly(old_path, true, nullptr);
  if (qp_file_rename(g_state.log_path, old_path, 0) != ERROR_SUCCESS) return;
  FILE *file = qp_fopen(g_state.log_path, "a+t");
  if (file != nullptr) writeLine(file, line);
}

}  // namespace

void libraryLog(const char *message, uint32_t code) {
  uint32_t saved_error = GetLastError();
  char when[32];
  timeText(when, sizeof when);
  if (g_state.log_mode > kMaxLogMode) return;

  // Texts from outside (server names from the tools' output) may hold control bytes: shown
  // as "\xHH", so they cannot end the line early or start a forged one.
  char shown[kLineSize];
  size_t used = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(message != nullptr ? message : "");
       *p != '\0' && used + 4 < sizeof shown; ++p) {
    if (*p < 0x20 || *p == 0x7f)
      used += static_cast<size_t>(snprintf(shown + used, sizeof shown - used, "\\x%02X", *p));
    else
      shown[used++] = static_cast<char>(*p);
  }
  shown[used] = '\0';

  char line[kLineSize];
  int n = snprintf(line, sizeof line, "%s [%08x]: %s\r\n", when, code, shown);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof line) {  // cut, but keep the line end
    line[kLineSize - 3] = '\r';
    line[kLineSize - 2] = '\n';
  }

  qp_mutex *mutex = g_state.log_mutex.load();
  bool locked = mutex != nullptr && qp_mutex_wait(mutex, kLogMutexWaitMs) == QP_WAIT_OBJECT_0;
  FILE *file = qp_fopen(g_state.log_path, "a+t");
  if (file != nullptr) {
    long end = -1;
    if (fseek(file, 0, SEEK_END) == 0) end = ftell(file);
    if (end >= 0 && end <= kRotateAbove) {
      writeLine(file, line);
    } else {
      fclose(file);
      if (end > kRotateAbove) rotateAndWrite(line);
    }
  }
  if (locked) qp_mutex_release(mutex);
  SetLastError(saved_error);
}

void libraryLogf(uint32_t code, const char *format, ...) {
  char message[kLineSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  libraryLog(message, code);
}

}  // namespace vex
