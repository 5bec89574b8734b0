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
constexpr size_t kStampSize = 32;  // "YYYY/MM/DD hh:mm:ss", with room for any uint16_t field

// The log file kept open between entries, used only by the holder of LogMutex: an entry then
// costs its two writes and a check that the path still names the file, not an open and a
// close. A file deleted, renamed away or replaced underneath is let go and the path opened
// (or created) again at the next entry. An entry written without the lock (its wait timed
// out or failed) opens the file for itself, as every entry once did.
qp_file *g_kept_log = nullptr;
char g_kept_path[256];

// Opens the log for update, creating it with an empty header when it does not exist. The
// header is read back at every entry: its reads need not touch the access time.
qp_file *open_log(const char *path) {
  constexpr uint32_t kAccess = QP_ACCESS_READ | QP_ACCESS_WRITE | QP_ACCESS_KEEP_ATIME;
  qp_file *f = qp_file_open(path, kAccess, QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_EXISTING);
  if (f != nullptr) return f;
  f = qp_file_open(path, kAccess, QP_SHARE_READ | QP_SHARE_WRITE, QP_CREATE_ALWAYS);
  if (f == nullptr) return nullptr;
  char header[kHeaderSize + 1];
  snprintf(header, sizeof header, "%08d\n", 0);
  qp_file_write_at(f, 0, header, kHeaderSize, nullptr);
  return f;
}

// The write position from the header. A header that is not a number, or one that points
// at or beyond the size limit, gives 0: writing there would grow the file far past its
// limit (a damaged header must not turn the log into a huge file).
long read_position(qp_file *f) {
  char header[10] = {};
  uint32_t got = 0;
  if (qp_file_read_at(f, 0, header, kHeaderSize, &got) != ERROR_SUCCESS) return 0;
  long position = 0;
  for (uint32_t i = 0; i < got && header[i] >= '0' && header[i] <= '9'; ++i)
    position = position * 10 + (header[i] - '0');
  if (position >= kServiceLogLimit) return 0;
  return position;
}

// The kept file for PATH, reopened when the path no longer names it; NULL when it cannot be
// opened. Only under LogMutex.
qp_file *kept_log(const char *path) {
  if (g_kept_log != nullptr && (strcmp(g_kept_path, path) != 0 || !qp_file_is_at(g_kept_log, path))) {
    qp_file_close(g_kept_log);
    g_kept_log = nullptr;
  }
  if (g_kept_log == nullptr) {
    g_kept_log = open_log(path);
    snprintf(g_kept_path, sizeof g_kept_path, "%s", path);
  }
  return g_kept_log;
}

// Copies TEXT into OUT (SIZE bytes) with every control byte shown as "\xHH", so that bytes
// from outside (a command code, a configuration value) can neither end an entry early nor
// start a forged one. Stops before an escape that would not fit whole.
void EscapeControls(const char *text, char *out, size_t size) {
  size_t used = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
    bool control = *p < 0x20 || *p == 0x7f;
    size_t need = control ? 4 : 1;
    if (used + need >= size) break;
    if (control)
      snprintf(out + used, size - used, "\\x%02X", *p);
    else
      out[used] = static_cast<char>(*p);
    used += need;
  }
  out[used] = '\0';
}

// The stamp "YYYY/MM/DD hh:mm:ss" of NOW into STAMP; returns its length. Formatted once a
// second per thread: the entries of one second share it.
size_t stamp_of(const qp_systemtime &now, char stamp[kStampSize]) {
  thread_local qp_systemtime last = {};
  thread_local char text[kStampSize] = {0};
  thread_local size_t length = 0;
  if (length == 0 || now.second != last.second || now.minute != last.minute || now.hour != last.hour ||
      now.day != last.day || now.month != last.month || now.year != last.year) {
    int n = snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", now.year, now.month, now.day,
                     now.hour, now.minute, now.second);
    length = n < 0 ? 0 : static_cast<size_t>(n);
    last = now;
  }
  memcpy(stamp, text, length);
  return length;
}

// Builds the entry "<stamp><mark>[<code>] <message>\n" into ENTRY (kEntrySize bytes, cut to fit
// as the formatter would cut it); returns its length.
size_t build_entry(char *entry, const qp_systemtime &now, char mark, uint32_t code, const char *message) {
  static const char kHex[] = "0123456789abcdef";
  char stamp[kStampSize];
  size_t at = stamp_of(now, stamp);
  memcpy(entry, stamp, at);
  entry[at++] = mark;
  entry[at++] = '[';
  for (int shift = 28; shift >= 0; shift -= 4) entry[at++] = kHex[(code >> shift) & 0xf];
  entry[at++] = ']';
  entry[at++] = ' ';
  size_t room = kEntrySize - 1 - at;  // the formatter's buffer keeps one byte for its NUL
  size_t length = strnlen(message, room);
  memcpy(entry + at, message, length);
  at += length;
  if (at < kEntrySize - 1) entry[at++] = '\n';
  return at;
}

// The position as the header's eight decimal digits ("%08ld"; positions stay below the limit).
void eight_digits(long position, char digits[8]) {
  for (int i = 7; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + position % 10);
    position /= 10;
  }
}

}  // namespace

void ServiceLog(const char *text, uint32_t code) {
  qp_mutex *mutex = LogMutex.load();
  if (mutex == nullptr) return;
  uint32_t wait = qp_mutex_wait(mutex, 1000);

  char cut[kMaxText + 1];
  snprintf(cut, sizeof cut, "%s", text != nullptr ? text : "");
  size_t length = strlen(cut);
  while (length > 0 && cut[length - 1] == ' ') cut[--length] = '\0';
  char message[kMaxText + 1];
  EscapeControls(cut, message, sizeof message);

  char path[256];
  snprintf(path, sizeof path, "%s\\DATA\\%s", InstallDir, kServiceLogName);
  bool locked = wait == QP_WAIT_OBJECT_0 || wait == QP_WAIT_ABANDONED;
  qp_file *f = locked ? kept_log(path) : open_log(path);
  if (f != nullptr) {
    long position = read_position(f);
    qp_systemtime now;
    qp_local_time(&now);
    char entry[kEntrySize];
    size_t entry_length = build_entry(entry, now, wait == QP_WAIT_FAILED ? '*' : ' ', code, message);
    qp_file_write_at(f, static_cast<uint64_t>(kHeaderSize + position), entry,
                     static_cast<uint32_t>(entry_length), nullptr);
    long next = position + static_cast<long>(entry_length);
    if (next >= kServiceLogLimit) next = 0;
    char header[8];
    eight_digits(next, header);
    qp_file_write_at(f, 0, header, 8, nullptr);  // the line feed after the digits stays as it is
    if (!locked) qp_file_close(f);
  }
  // The same line in the journal, under the lock so that both keep one order; the ring file
  // stays exactly as it is.
  qp_journal_send(kServiceLogIdentifier, code != 0 ? QP_JOURNAL_WARNING : QP_JOURNAL_INFO, code, message);
  if (locked) qp_mutex_release(mutex);
}

void ServiceLogClose() {
  qp_file_close(g_kept_log);
  g_kept_log = nullptr;
}

void ServiceLogf(uint32_t code, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ServiceLog(text, code);
}
