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
constexpr char kHeaderFormat[] = "%08ld\r\n";
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

constexpr char kRecordWithCode[] = "%04d/%02d/%02d %02d:%02d:%02d [%08x] %s\r\n";
constexpr char kRecordWithoutCode[] = "%04d/%02d/%02d %02d:%02d:%02d %s\r\n";
constexpr size_t kRecordWithCodeLength = 113;
constexpr size_t kRecordWithoutCodeLength = 102;

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

// Opens the log for update, creating it with the new-file header when it does not exist.
FILE *OpenRing(const char *path) {
  FILE *file = qp_fopen(path, "r+b");
  if (file != nullptr) return file;
  FILE *created = qp_fopen(path, "a+b");
  if (created == nullptr) return nullptr;
  fwrite(kNewFileHeader, 1, sizeof kNewFileHeader - 1, created);
  fclose(created);
  return qp_fopen(path, "r+b");
}

// Writes one record into the ring at PATH. LIMIT is the size limit of the ring.
void WriteRecord(const char *path, qp_mutex *mutex, long limit, bool with_code, const char *text,
                 uint32_t code) {
  long wrap = limit < kEightDigitLimit ? limit : kEightDigitLimit;
  // During the load the mutex does not exist yet; the loader serialises that phase.
  bool locked = mutex != nullptr && qp_mutex_wait(mutex, QP_INFINITE) != QP_WAIT_FAILED;

  char field[kMessageField + 1];
  MessageField(text, field);
  FILE *file = OpenRing(path);
  if (file != nullptr) {
    char header[16] = {0};
    long offset = 0;
    if (fgets(header, 10, file) != nullptr) offset = strtol(header, nullptr, 10);
    if (offset < 0 || offset >= wrap) offset = 0;

    qp_systemtime now;
    qp_local_time(&now);
    char record[160];
    int length = with_code ? snprintf(record, sizeof record, kRecordWithCode, now.year, now.month, now.day,
                                      now.hour, now.minute, now.second, code, field)
                           : snprintf(record, sizeof record, kRecordWithoutCode, now.year, now.month, now.day,
                                      now.hour, now.minute, now.second, field);
    size_t record_length = with_code ? kRecordWithCodeLength : kRecordWithoutCodeLength;
    if (length > 0 && static_cast<size_t>(length) == record_length &&
        fseek(file, kHeaderLength + offset, SEEK_SET) == 0 &&
        fwrite(record, 1, record_length, file) == record_length) {
      offset += static_cast<long>(record_length);
      if (offset >= wrap) offset = 0;
      snprintf(header, sizeof header, kHeaderFormat, offset);
      if (fseek(file, 0, SEEK_SET) == 0) fwrite(header, 1, kHeaderLength, file);
    }
    fclose(file);
  }
  if (locked) qp_mutex_release(mutex);
}

// Forms PATH from FORMAT and its number; false when the path would not fit.
bool FormPath(char *path, size_t size, const char *format, int number) {
  int n = snprintf(path, size, format, g_Install_Path, number);
  return n > 0 && static_cast<size_t>(n) < size;
}

}  // namespace

void WriteSnmpLog(const char *text, uint32_t code) {
  int32_t limit = g_Snmp_Log_Size.load();
  if (limit < kSnmpLogMinimum) {
    limit = kSnmpLogMinimum;
    g_Snmp_Log_Size.store(limit);
  } else if (limit > kSnmpLogMaximum) {
    limit = kSnmpLogMaximum;
    g_Snmp_Log_Size.store(limit);
  }
  char path[LIBRARY_PATH_SIZE];
  if (!FormPath(path, sizeof path, kSnmpLogPath, 0)) return;
  WriteRecord(path, g_Log_Mutex, limit, true, text, code);
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
  WriteRecord(path, g_Trap_Log_Mutex, kTrapLogLimit, true, text, code);
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
  WriteRecord(path, g_Ups_Log_Mutex, kUpsLogLimit, false, text, 0);
}
