// The three ring logs of SNMPUPS.DLL: the SNMP library log, one trap log per unit and one UPS
// log per unit. Each is a file of fixed-length records behind a 10-byte offset header that
// wraps in place when the next record would pass the size limit.
//
// Layout: "%08d" CR LF holds the offset, counted from the end of the header, of the next record;
// records are the local time, for the library and trap logs the code in brackets, and an
// 80-character message field, ended by CR LF (113 bytes, or 102 for a UPS log). A new file
// starts as "00000" CR LF; the first record still goes to offset 10 and the first header update
// covers the gap.
//
// Offsets never need nine digits: the ring wraps when the next offset would reach the size
// limit or 100000000, whichever is lower, so the header always stays eight digits and CR LF
// and never grows into the first record. A header offset that lies at or beyond that point
// (a damaged file, or a file written with a larger limit) restarts the ring at offset 0.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "snmpups_state.h"

namespace {

constexpr int kMessageField = 80;
constexpr long kHeaderLength = 10;
constexpr char kNewFileHeader[] = "00000\r\n";
constexpr long kEightDigitLimit = 100000000;

constexpr int32_t kSnmpLogMinimum = 2220000;
constexpr int32_t kSnmpLogMaximum = 104857600;
constexpr long kTrapLogLimit = 2220000;  // 111 x 20000
constexpr long kUpsLogLimit = 1000000;   // 100 x 10000

constexpr char kSnmpLogPath[] = "%s\\DATA\\SNMPUPS.LOG";
constexpr char kTrapLogPath[] = "%s\\DATA\\SNMPTRAP\\SNMP%03d.LOG";
constexpr char kMyUpsLogPath[] = "%s\\DATA\\UPS\\MYUPS.LOG";
constexpr char kMyUpsSlotLogPath[] = "%s\\DATA\\UPS\\MYUPS_%d.LOG";
constexpr char kUpsLogPath3[] = "%s\\DATA\\UPS\\UPS%03d.LOG";
constexpr char kUpsLogPath4[] = "%s\\DATA\\UPS\\UPS%04d.LOG";
constexpr int kMyUpsCode = 9000;

// A record: the stamp "%04d/%02d/%02d %02d:%02d:%02d", a blank, for the library and trap logs
// the code as "[%08x] ", the 80-character message field and CR LF.
constexpr char kStampFormat[] = "%04d/%02d/%02d %02d:%02d:%02d";
constexpr size_t kStampLength = 19;
constexpr size_t kCodeLength = 11;  // "[xxxxxxxx] "
constexpr size_t kRecordWithCodeLength = 113;
constexpr size_t kRecordWithoutCodeLength = 102;
static_assert(kStampLength + 1 + kCodeLength + kMessageField + 2 == kRecordWithCodeLength);
static_assert(kStampLength + 1 + kMessageField + 2 == kRecordWithoutCodeLength);

// The first 80 characters of TEXT, padded with blanks. Line breaks inside the text become
// blanks, so that every record keeps its fixed length and its one line.
void MessageField(const char *text, char field[kMessageField + 1]) {
  int i = 0;
  for (; text != nullptr && text[i] != '\0' && i < kMessageField; ++i) {
    field[i] = (text[i] == '\r' || text[i] == '\n') ? ' ' : text[i];
  }
  for (; i < kMessageField; ++i) field[i] = ' ';
  field[kMessageField] = '\0';
}

// The stamp of NOW into STAMP (kStampLength characters and a NUL); false when it does not have
// that length (a year past 9999), and the record is then not written. Formatted once a second
// per thread: the records of one second share it.
bool Stamp(const qp_systemtime &now, char stamp[kStampLength + 1]) {
  thread_local qp_systemtime last = {};
  thread_local char text[kStampLength + 1] = {0};
  if (text[0] == '\0' || now.second != last.second || now.minute != last.minute || now.hour != last.hour ||
      now.day != last.day || now.month != last.month || now.year != last.year) {
    int n = snprintf(text, sizeof text, kStampFormat, now.year, now.month, now.day, now.hour, now.minute,
                     now.second);
    if (n != static_cast<int>(kStampLength)) {
      text[0] = '\0';
      return false;
    }
    last = now;
  }
  memcpy(stamp, text, kStampLength + 1);
  return true;
}

// OFFSET (0 to 99999999) as the header's eight decimal digits, "%08ld" without the formatter.
void EightDigits(long offset, char digits[8]) {
  for (int i = 7; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + offset % 10);
    offset /= 10;
  }
}

// Builds the record of STAMP, CODE (when WITH_CODE) and FIELD into RECORD; returns its length.
size_t BuildRecord(char *record, const char *stamp, bool with_code, uint32_t code, const char *field) {
  static const char kHex[] = "0123456789abcdef";
  size_t at = 0;
  memcpy(record, stamp, kStampLength);
  at += kStampLength;
  record[at++] = ' ';
  if (with_code) {
    record[at++] = '[';
    for (int shift = 28; shift >= 0; shift -= 4) record[at++] = kHex[(code >> shift) & 0xf];
    record[at++] = ']';
    record[at++] = ' ';
  }
  memcpy(record + at, field, kMessageField);
  at += kMessageField;
  record[at++] = '\r';
  record[at++] = '\n';
  return at;
}

// Opens the log for update, creating it with the new-file header when it does not exist.
qp_file *OpenRing(const char *path) {
  // The header is read back at every record: its reads need not touch the access time.
  constexpr uint32_t kAccess = QP_ACCESS_READ | QP_ACCESS_WRITE | QP_ACCESS_KEEP_ATIME;
  constexpr uint32_t kShare = QP_SHARE_READ | QP_SHARE_WRITE;
  qp_file *file = qp_file_open(path, kAccess, kShare, QP_OPEN_EXISTING);
  if (file != nullptr) return file;
  qp_file *created = qp_file_open(path, kAccess, kShare, QP_CREATE_NEW);
  if (created == nullptr) return qp_file_open(path, kAccess, kShare, QP_OPEN_EXISTING);  // made meanwhile
  qp_file_write_at(created, 0, kNewFileHeader, sizeof kNewFileHeader - 1, nullptr);
  return created;
}

// Ring files kept open between records, so that a record costs the writes it makes rather
// than an open and a close. Each writer keeps its own, guarded by its mutex; a record written
// without the mutex (during the load, or when the wait failed) opens the file for itself.
// A kept file is checked against its path at every record: once deleted, renamed away or
// replaced, it is closed and the path opened (or created) again.
struct KeptRing {
  qp_file *file = nullptr;
  char path[LIBRARY_PATH_SIZE] = {0};
  uint64_t last_use = 0;
};
struct KeptRings {
  static constexpr int kSlots = 32;  // the trap and UPS logs of the units written in turn
  KeptRing rings[kSlots];
  uint64_t uses = 0;
};
KeptRings g_Kept_Snmp_Log;   // guarded by g_Log_Mutex (one file; slot 0 only in practice)
KeptRings g_Kept_Trap_Logs;  // guarded by g_Trap_Log_Mutex
KeptRings g_Kept_Ups_Logs;   // guarded by g_Ups_Log_Mutex

// The kept file of PATH, opened (or reopened) when needed; NULL when it cannot be opened.
qp_file *KeptFile(KeptRings &kept, const char *path) {
  KeptRing *slot = nullptr;
  for (KeptRing &ring : kept.rings) {
    if (ring.file != nullptr && strcmp(ring.path, path) == 0) {
      slot = &ring;
      break;
    }
  }
  if (slot != nullptr && !qp_file_is_at(slot->file, path)) {
    qp_file_close(slot->file);
    slot->file = nullptr;
  }
  if (slot == nullptr) {
    // A free slot, or the one used longest ago.
    slot = &kept.rings[0];
    for (KeptRing &ring : kept.rings) {
      if (ring.file == nullptr) {
        slot = &ring;
        break;
      }
      if (ring.last_use < slot->last_use) slot = &ring;
    }
    qp_file_close(slot->file);
    slot->file = nullptr;
    snprintf(slot->path, sizeof slot->path, "%s", path);
  }
  if (slot->file == nullptr) slot->file = OpenRing(path);
  slot->last_use = ++kept.uses;
  return slot->file;
}

void CloseKept(KeptRings &kept) {
  for (KeptRing &ring : kept.rings) {
    qp_file_close(ring.file);
    ring.file = nullptr;
    ring.path[0] = '\0';
  }
}

// The offset of the header as the first line of the file reads (at most 9 characters, up to
// and with its line break): its leading decimal number.
long ReadOffset(qp_file *file) {
  char header[16] = {0};
  uint32_t got = 0;
  if (qp_file_read_at(file, 0, header, 9, &got) != ERROR_SUCCESS || got == 0) return 0;
  char *line_end = static_cast<char *>(memchr(header, '\n', got));
  if (line_end != nullptr) line_end[1] = '\0';
  return strtol(header, nullptr, 10);
}

// Writes one record into the ring at PATH, stamped with WHEN (NULL: the time of the write).
// LIMIT is the size limit of the ring.
void WriteRecord(const char *path, qp_mutex *mutex, KeptRings &kept, long limit, bool with_code,
                 const char *text, uint32_t code, const qp_systemtime *when = nullptr) {
  long wrap = limit < kEightDigitLimit ? limit : kEightDigitLimit;
  // During the load the mutex does not exist yet; the loader serialises that phase.
  bool locked = mutex != nullptr && qp_mutex_wait(mutex, QP_INFINITE) != QP_WAIT_FAILED;

  char field[kMessageField + 1];
  MessageField(text, field);
  qp_file *file = locked ? KeptFile(kept, path) : OpenRing(path);
  if (file != nullptr) {
    long offset = ReadOffset(file);
    if (offset < 0 || offset >= wrap) offset = 0;

    qp_systemtime now;
    if (when != nullptr)
      now = *when;
    else
      qp_local_time(&now);
    char stamp[kStampLength + 1];
    char record[kRecordWithCodeLength];
    size_t length = Stamp(now, stamp) ? BuildRecord(record, stamp, with_code, code, field) : 0;
    uint32_t record_length =
        static_cast<uint32_t>(with_code ? kRecordWithCodeLength : kRecordWithoutCodeLength);
    uint32_t written = 0;
    if (length == record_length &&
        qp_file_write_at(file, static_cast<uint64_t>(kHeaderLength + offset), record, record_length,
                         &written) == ERROR_SUCCESS &&
        written == record_length) {
      offset += static_cast<long>(record_length);
      if (offset >= wrap) offset = 0;
      char header[kHeaderLength];
      EightDigits(offset, header);
      header[8] = '\r';
      header[9] = '\n';
      qp_file_write_at(file, 0, header, kHeaderLength, nullptr);
    }
    if (!locked) qp_file_close(file);
  }
  if (locked) qp_mutex_release(mutex);
}

// The hold of the SNMP library log lines of this thread (NULL: lines are written at once).
thread_local SnmpLogHold *t_Snmp_Log_Hold = nullptr;

// Forms PATH from FORMAT and its number; false when the path would not fit.
bool FormPath(char *path, size_t size, const char *format, int number) {
  int n = snprintf(path, size, format, g_Install_Path, number);
  return n > 0 && static_cast<size_t>(n) < size;
}

// The size limit of the SNMP library log, clamped in place into its bounds.
int32_t SnmpLogLimit() {
  int32_t limit = g_Snmp_Log_Size.load();
  if (limit < kSnmpLogMinimum) {
    limit = kSnmpLogMinimum;
    g_Snmp_Log_Size.store(limit);
  } else if (limit > kSnmpLogMaximum) {
    limit = kSnmpLogMaximum;
    g_Snmp_Log_Size.store(limit);
  }
  return limit;
}

void WriteSnmpRecord(const char *text, uint32_t code, const qp_systemtime *when) {
  int32_t limit = SnmpLogLimit();
  char path[LIBRARY_PATH_SIZE];
  if (!FormPath(path, sizeof path, kSnmpLogPath, 0)) return;
  WriteRecord(path, g_Log_Mutex, g_Kept_Snmp_Log, limit, true, text, code, when);
}

}  // namespace

void WriteSnmpLog(const char *text, uint32_t code) {
  SnmpLogHold *hold = t_Snmp_Log_Hold;
  if (hold != nullptr && hold->count < hold->capacity) {
    // Held for the engine, with the time it happened; the record keeps only the first 80
    // characters, so no more are held.
    HeldLogLine &line = hold->lines[hold->count++];
    snprintf(line.text, sizeof line.text, "%s", text != nullptr ? text : "");
    line.code = code;
    qp_local_time(&line.time);
    return;
  }
  // Without a hold, or with a full one (a line is never dropped): written at once.
  WriteSnmpRecord(text, code, nullptr);
}

void HoldSnmpLog(SnmpLogHold *hold) {
  if (hold != nullptr) hold->count = 0;
  t_Snmp_Log_Hold = hold;
}

void WriteHeldSnmpLog(const SnmpLogHold &hold) {
  for (int i = 0; i < hold.count && i < hold.capacity; ++i)
    WriteSnmpRecord(hold.lines[i].text, hold.lines[i].code, &hold.lines[i].time);
}

void WriteSnmpLogF(uint32_t code, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  WriteSnmpLog(text, code);
}

void WriteTrapLog(int unit_code, const char *text, uint32_t code) {
  char path[LIBRARY_PATH_SIZE];
  if (!FormPath(path, sizeof path, kTrapLogPath, unit_code)) return;
  WriteRecord(path, g_Trap_Log_Mutex, g_Kept_Trap_Logs, kTrapLogLimit, true, text, code);
}

void WriteUpsLog(int unit_code, const char *text) {
  char path[LIBRARY_PATH_SIZE];
  bool formed;
  if (unit_code == kMyUpsCode) {
    formed = FormPath(path, sizeof path, kMyUpsLogPath, 0);
  } else if (unit_code > kMyUpsCode) {
    formed = FormPath(path, sizeof path, kMyUpsSlotLogPath, unit_code - kMyUpsCode);
  } else if (unit_code < 1000) {
    formed = FormPath(path, sizeof path, kUpsLogPath3, unit_code);
  } else {
    formed = FormPath(path, sizeof path, kUpsLogPath4, unit_code);
  }
  if (!formed) return;
  WriteRecord(path, g_Ups_Log_Mutex, g_Kept_Ups_Logs, kUpsLogLimit, false, text, 0);
}

void CloseKeptLogs(uint32_t wait_ms) {
  struct Writer {
    qp_mutex *mutex;
    KeptRings *kept;
  } writers[] = {{g_Log_Mutex, &g_Kept_Snmp_Log},
                 {g_Trap_Log_Mutex, &g_Kept_Trap_Logs},
                 {g_Ups_Log_Mutex, &g_Kept_Ups_Logs}};
  for (const Writer &w : writers) {
    if (w.mutex == nullptr) {
      CloseKept(*w.kept);
      continue;
    }
    uint32_t wait = qp_mutex_wait(w.mutex, wait_ms);
    if (wait != QP_WAIT_OBJECT_0 && wait != QP_WAIT_ABANDONED) continue;  // a writer is still at work
    CloseKept(*w.kept);
    qp_mutex_release(w.mutex);
  }
}
