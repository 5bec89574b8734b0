// The files of SNMPUPS.DLL that upswatch reads to tell what a call did: the install directory
// from the registry, the ring logs (the SNMP library log and the UPS logs) and the UPS
// information file. Their formats are the library's; nothing here writes to them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "upswatch.h"

namespace upswatch {

namespace {

constexpr char kProductKey[] = "SOFTWARE\\Tarvos\\QUORIN/MVL";
constexpr char kPathNameValue[] = "PathName";
constexpr size_t kInstallPathRoom = 260;

// Ring logs: an eight-digit header line (10 bytes with CR LF) holding the offset, counted from
// the end of the header, of the next record; then records of a fixed length.
constexpr size_t kHeaderSize = 10;
constexpr size_t kLibraryRecord = 113;  // "YYYY/MM/DD hh:mm:ss [cccccccc] " + 80 + CR LF
constexpr size_t kLibraryTextAt = 31;
constexpr size_t kUpsRecord = 102;  // "YYYY/MM/DD hh:mm:ss " + 80 + CR LF
constexpr size_t kUpsTextAt = 20;
constexpr size_t kMessageSize = 80;

std::string ReadWhole(const std::string &path) {
  std::string content;
  FILE *file = qp_fopen(path.c_str(), "rb");
  if (file == nullptr) return content;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  fclose(file);
  return content;
}

// The message of a record without the blanks that pad it to 80 characters.
std::string Message(const std::string &content, size_t at, size_t text_at) {
  std::string text = content.substr(at + text_at, kMessageSize);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

size_t HeaderOffset(const std::string &content) {
  if (content.size() < kHeaderSize) return 0;
  return strtoul(content.substr(0, 8).c_str(), nullptr, 10);
}

}  // namespace

bool InstallPath(std::string *path) {
  qp_regkey *key = nullptr;
  if (qp_reg_open_key(kProductKey, &key) != ERROR_SUCCESS) return false;
  char value[kInstallPathRoom + 1] = {0};
  uint32_t size = kInstallPathRoom;
  uint32_t rc = qp_reg_query_value(key, kPathNameValue, nullptr, value, &size);
  qp_reg_close_key(key);
  if (rc != ERROR_SUCCESS) return false;
  value[size < kInstallPathRoom ? size : kInstallPathRoom] = '\0';
  *path = value;
  return true;
}

std::string DataPath(const std::string &name) {
  std::string install;
  if (!InstallPath(&install)) return "";
  return install + "\\DATA\\" + name;
}

size_t LibraryLogMark() {
  return HeaderOffset(ReadWhole(DataPath("SNMPUPS.LOG")));
}

std::vector<LogLine> LibraryLogSince(size_t mark) {
  std::vector<LogLine> lines;
  std::string content = ReadWhole(DataPath("SNMPUPS.LOG"));
  if (content.size() < kHeaderSize) return lines;
  size_t end = HeaderOffset(content);
  auto take = [&](size_t from, size_t to) {
    for (size_t at = from; at < to && kHeaderSize + at + kLibraryRecord <= content.size();
         at += kLibraryRecord) {
      LogLine line;
      line.code =
          static_cast<uint32_t>(strtoul(content.substr(kHeaderSize + at + 21, 8).c_str(), nullptr, 16));
      line.text = Message(content, kHeaderSize + at, kLibraryTextAt);
      lines.push_back(line);
    }
  };
  if (end >= mark) {
    take(mark, end);
  } else {  // the ring wrapped during the call
    take(mark, content.size());
    take(0, end);
  }
  return lines;
}

std::string UpsLogName(int unit_code) {
  char name[64];
  if (unit_code == 9000)
    snprintf(name, sizeof name, "UPS\\MYUPS.LOG");
  else if (unit_code > 9000)
    snprintf(name, sizeof name, "UPS\\MYUPS_%d.LOG", unit_code - 9000);
  else if (unit_code < 1000)
    snprintf(name, sizeof name, "UPS\\UPS%03d.LOG", unit_code);
  else
    snprintf(name, sizeof name, "UPS\\UPS%04d.LOG", unit_code);
  return name;
}

std::string LastUpsLogLine(int unit_code) {
  std::string content = ReadWhole(DataPath(UpsLogName(unit_code)));
  if (content.size() < kHeaderSize + kUpsRecord) return "";
  size_t end = HeaderOffset(content);
  size_t last;
  if (end >= kUpsRecord) {
    last = end - kUpsRecord;
  } else {  // just wrapped: the newest record is the last whole one of the file
    last = (content.size() - kHeaderSize) / kUpsRecord * kUpsRecord - kUpsRecord;
  }
  if (kHeaderSize + last + kUpsRecord > content.size()) return "";
  return Message(content, kHeaderSize + last, kUpsTextAt);
}

std::string InfoValue(int unit_code, const char *key) {
  char section[16];
  snprintf(section, sizeof section, "%d", unit_code);
  char value[512];
  qp_profile_get_string(section, key, "", value, sizeof value, DataPath("UPS\\UPSinfo.ini").c_str());
  return value;
}

}  // namespace upswatch
