// quorinlog: prints any log of the system in the order its entries were written, oldest
// first, and with -f follows new entries as they come, across the wrap of a ring.
//
// Sections: log kinds and how they are recognised, reading entries in order, showing an
// entry, following, options.
//
// The logs, as their writers lay them out:
// - the service log (QUOMVLSV.LOG): an 8-digit write position and a line feed, then lines of
//   any length from byte 9; the ring wraps when the position reaches 5360000, and a new entry
//   may end in the middle of an entry of the lap before;
// - the SNMP library, trap and UPS logs and the client library's pwdown.log: an 8-digit offset
//   and CR LF, then fixed-length records (113 bytes with a code in brackets, 102 without),
//   each an 80-character message field padded with blanks and CR LF;
// - the cluster library log (ky_vexapi4.log): plain lines appended, the file moved once to
//   FILE.1 when it grows past its limit.
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "quorin_version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// ---- log kinds ----

enum class Kind { kServiceRing, kRecordRing, kAppended };

constexpr long kServiceHeader = 9;
constexpr long kServiceLimit = 5360000;
constexpr long kRecordHeader = 10;
constexpr long kRecordWithCode = 113;
constexpr long kRecordWithoutCode = 102;
constexpr long kFollowPollMs = 200;

struct Log {
  std::string path;
  Kind kind = Kind::kAppended;
  long record = 0;  // record length of a record ring
};

bool ReadWhole(const std::string &path, std::string *out) {
  FILE *f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return false;
  out->clear();
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, got);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

bool Digits(const std::string &s, size_t at, size_t n) {
  if (s.size() < at + n) return false;
  for (size_t i = at; i < at + n; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// "YYYY/MM/DD HH:MM:SS" at AT.
bool TimeAt(const std::string &s, size_t at) {
  return Digits(s, at, 4) && s[at + 4] == '/' && Digits(s, at + 5, 2) && s[at + 7] == '/' &&
         Digits(s, at + 8, 2) && s[at + 10] == ' ' && Digits(s, at + 11, 2) && s[at + 13] == ':' &&
         Digits(s, at + 14, 2) && s[at + 16] == ':' && Digits(s, at + 17, 2);
}

bool HexAt(const std::string &s, size_t at, size_t n) {
  if (s.size() < at + n) return false;
  for (size_t i = at; i < at + n; ++i)
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
  return true;
}

// A service log entry starts at AT: the time, a blank or the asterisk of a failed lock wait,
// and the code in brackets.
bool ServiceEntryAt(const std::string &s, size_t at) {
  return TimeAt(s, at) && s.size() > at + 31 && (s[at + 19] == ' ' || s[at + 19] == '*') &&
         s[at + 20] == '[' && HexAt(s, at + 21, 8) && s[at + 29] == ']' && s[at + 30] == ' ';
}

long HeaderNumber(const std::string &s) {
  long n = 0;
  for (size_t i = 0; i < 8 && i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) n = n * 10 + (s[i] - '0');
  return n;
}

// Tells the kind of log from its content; false when it is none of the system's logs. An empty
// file reads as an appended log with no entry yet.
bool Recognise(const std::string &content, Log *log) {
  if (content.size() >= 9 && Digits(content, 0, 8) && content[8] == '\n') {
    log->kind = Kind::kServiceRing;
    return true;
  }
  bool record_header =
      (content.size() >= 10 && Digits(content, 0, 8) && content[8] == '\r' && content[9] == '\n') ||
      (content.size() >= 7 && content.compare(0, 7, "00000\r\n") == 0);
  if (record_header) {
    log->kind = Kind::kRecordRing;
    // The first record tells whether records carry a code: "[" after the time.
    bool with_code = content.size() >= kRecordHeader + 21 && content[kRecordHeader + 20] == '[';
    log->record = with_code ? kRecordWithCode : kRecordWithoutCode;
    return true;
  }
  if (content.empty()) {
    log->kind = Kind::kAppended;
    return true;
  }
  // An appended line starts with "Mon DD HH:MM:SS " or the dashes of a time that could not
  // be formed, followed by the code in brackets.
  size_t bracket = content.find(" [");
  if (bracket == 15 && HexAt(content, 17, 8) && content.size() > 26 && content[25] == ']') {
    log->kind = Kind::kAppended;
    return true;
  }
  return false;
}

// ---- reading entries in order ----

// Entries of the service ring between byte offsets FROM and TO of CONTENT (absolute), each a
// complete line. With LAP_END, reading stops after the entry that ended its lap (its end
// reached the size limit): what lies beyond is left from an earlier lap.
void ServiceEntries(const std::string &content, size_t from, size_t to, bool lap_end,
                    std::vector<std::string> *out) {
  size_t at = from;
  while (at < to) {
    size_t nl = content.find('\n', at);
    if (nl == std::string::npos || nl >= to) break;  // an unfinished line is no entry
    out->push_back(content.substr(at, nl - at));
    at = nl + 1;
    if (lap_end && static_cast<long>(at) - kServiceHeader >= kServiceLimit) break;
  }
}

// Records of a record ring in [FROM, TO) (absolute, on record boundaries). Records never
// written (the gap of a new file, zero bytes) are left out.
void RecordEntries(const std::string &content, long record, size_t from, size_t to,
                   std::vector<std::string> *out) {
  for (size_t at = from; at + record <= to && at + record <= content.size(); at += record) {
    if (!TimeAt(content, at)) continue;
    std::string r = content.substr(at, record - 2);
    size_t end = r.find_last_not_of(' ');
    out->push_back(end == std::string::npos ? std::string() : r.substr(0, end + 1));
  }
}

// Every entry of a ring, oldest first: the older lap after the write position, then the
// newer lap from the start of the ring up to the write position.
void RingInOrder(const std::string &content, const Log &log, std::vector<std::string> *out) {
  if (log.kind == Kind::kServiceRing) {
    size_t position = kServiceHeader + HeaderNumber(content);
    if (position > content.size()) position = content.size();
    // The newest entry may have ended inside an older one: its rest is no entry.
    size_t older = position;
    if (older < content.size() && !ServiceEntryAt(content, older)) {
      size_t nl = content.find('\n', older);
      older = nl == std::string::npos ? content.size() : nl + 1;
    }
    ServiceEntries(content, older, content.size(), true, out);
    ServiceEntries(content, kServiceHeader, position, false, out);
    return;
  }
  long offset = HeaderNumber(content);
  size_t position = kRecordHeader + (offset / log.record) * log.record;
  RecordEntries(content, log.record, position, content.size(), out);
  RecordEntries(content, log.record, kRecordHeader, position, out);
}

void AppendedLines(const std::string &content, std::vector<std::string> *out) {
  size_t at = 0;
  while (at < content.size()) {
    size_t nl = content.find('\n', at);
    if (nl == std::string::npos) break;
    std::string line = content.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out->push_back(line);
    at = nl + 1;
  }
}

// ---- showing an entry ----

// The cluster library's entry and exit marks (the code page 932 brackets 0x81 0x73 and
// 0x81 0x74) as arrows, its full-width colon (0x81 0x46) as ':', any other byte that is not
// printable ASCII as \xHH.
std::string Readable(const std::string &entry) {
  std::string out;
  for (size_t i = 0; i < entry.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(entry[i]);
    if (c == 0x81 && i + 1 < entry.size()) {
      unsigned char next = static_cast<unsigned char>(entry[i + 1]);
      const char *mark = next == 0x73 ? "<<" : next == 0x74 ? ">>" : next == 0x46 ? ":" : nullptr;
      if (mark != nullptr) {
        out += mark;
        ++i;
        continue;
      }
    }
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

void Print(const std::vector<std::string> &entries, size_t first) {
  for (size_t i = first; i < entries.size(); ++i) printf("%s\n", Readable(entries[i]).c_str());
  fflush(stdout);
}

// ---- reading a whole log ----

struct Snapshot {
  std::string content;
  long position = 0;  // write position (rings) or size (appended)
  ino_t inode = 0;
};

bool Take(const Log &log, Snapshot *snap, std::string *error) {
  if (!ReadWhole(log.path, &snap->content)) {
    *error = strerror(errno);
    return false;
  }
  struct stat st;
  snap->inode = stat(log.path.c_str(), &st) == 0 ? st.st_ino : 0;
  snap->position =
      log.kind == Kind::kAppended ? static_cast<long>(snap->content.size()) : HeaderNumber(snap->content);
  return true;
}

// Every entry of LOG oldest first; for the cluster library log FILE.1 comes first.
void AllEntries(const Log &log, const Snapshot &snap, std::vector<std::string> *out) {
  if (log.kind != Kind::kAppended) {
    RingInOrder(snap.content, log, out);
    return;
  }
  std::string older;
  if (ReadWhole(log.path + ".1", &older)) AppendedLines(older, out);
  AppendedLines(snap.content, out);
}

// ---- following ----

void Sleep(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// The entries written between snapshot BEFORE and NOW.
void NewEntries(const Log &log, const Snapshot &before, const Snapshot &now, std::vector<std::string> *out) {
  if (log.kind == Kind::kAppended) {
    if (now.inode != before.inode || now.position < before.position) {
      // Moved to FILE.1: the rest of the old file, then the new one from its start.
      std::string older;
      if (ReadWhole(log.path + ".1", &older) && older.size() >= static_cast<size_t>(before.position))
        AppendedLines(older.substr(before.position), out);
      AppendedLines(now.content, out);
    } else {
      AppendedLines(now.content.substr(before.position), out);
    }
    return;
  }
  if (now.position == before.position) return;
  if (log.kind == Kind::kServiceRing) {
    size_t from = kServiceHeader + before.position, to = kServiceHeader + now.position;
    if (now.position > before.position) {
      ServiceEntries(now.content, from, to, false, out);
    } else {  // wrapped: to the end of the lap, then from the start
      ServiceEntries(now.content, from, now.content.size(), true, out);
      ServiceEntries(now.content, kServiceHeader, to, false, out);
    }
    return;
  }
  size_t from = kRecordHeader + (before.position / log.record) * log.record;
  size_t to = kRecordHeader + (now.position / log.record) * log.record;
  if (now.position > before.position) {
    RecordEntries(now.content, log.record, from, to, out);
  } else {
    RecordEntries(now.content, log.record, from, now.content.size(), out);
    RecordEntries(now.content, log.record, kRecordHeader, to, out);
  }
}

int Follow(Log log, Snapshot snap) {
  for (;;) {
    Sleep(kFollowPollMs);
    Snapshot now;
    std::string error;
    if (!Take(log, &now, &error)) continue;  // being moved or created: try again
    if (log.kind == Kind::kAppended && now.content.empty() && snap.content.empty()) continue;
    Log seen = log;
    if (!Recognise(now.content, &seen) || seen.kind != log.kind) continue;
    if (log.kind == Kind::kRecordRing && log.record != seen.record) log.record = seen.record;
    std::vector<std::string> entries;
    NewEntries(log, snap, now, &entries);
    Print(entries, 0);
    snap = std::move(now);
  }
}

// ---- options ----

const char kUsage[] =
    "usage: quorinlog [-n N] [-f] FILE\n"
    "Prints a log of the quorin system oldest entry first, in the order it was written:\n"
    "the service log QUOMVLSV.LOG, the SNMP library's SNMPUPS.LOG, SNMPTRAP/SNMP*.LOG and\n"
    "UPS/*.LOG, the client library's pwdown.log and the cluster library's ky_vexapi4.log\n"
    "(with ky_vexapi4.log.1 before it), all in the DATA folder of the install folder.\n"
    "\n"
    "  -n, --lines N   print only the last N entries (0 or more)\n"
    "  -f, --follow    keep printing new entries as they are written, across the wrap\n"
    "  -h, --help      print this help and exit\n"
    "  -V, --version   print the version and exit\n";

int UsageError(const char *what) {
  fprintf(stderr, "quorinlog: %s\nTry 'quorinlog --help'.\n", what);
  return kExitUsage;
}

// A whole decimal number from 0 to LONG_MAX.
bool ParseCount(const char *text, long *out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  long n = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = n;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  static const struct option kOptions[] = {{"lines", required_argument, nullptr, 'n'},
                                           {"follow", no_argument, nullptr, 'f'},
                                           {"help", no_argument, nullptr, 'h'},
                                           {"version", no_argument, nullptr, 'V'},
                                           {nullptr, 0, nullptr, 0}};
  long lines = -1;
  bool follow = false;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+n:fhV", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'n':
        if (!ParseCount(optarg, &lines)) {
          char text[160];
          snprintf(text, sizeof text, "-n needs a whole number of entries (0 or more), not '%s'", optarg);
          return UsageError(text);
        }
        break;
      case 'f':
        follow = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return kExitOk;
      case 'V':
        printf("quorinlog (quorin) %s\n", QUORIN_VERSION);
        return kExitOk;
      default: {
        char text[160];
        if (optopt == 'n')
          snprintf(text, sizeof text, "-n needs a number of entries");
        else if (optopt != 0)
          snprintf(text, sizeof text, "unknown option '-%c'", optopt);
        else
          snprintf(text, sizeof text, "unknown option '%s'", argv[optind - 1]);
        return UsageError(text);
      }
    }
  }
  if (optind != argc - 1) return UsageError(optind >= argc ? "name the log FILE to print" : "only one FILE");

  Log log;
  log.path = argv[optind];
  Snapshot snap;
  std::string error;
  if (!Take(log, &snap, &error)) {
    fprintf(stderr,
            "quorinlog: cannot read %s: %s (the logs lie in the DATA folder of the install folder, "
            "e.g. /usr/lib/quorin/DATA)\n",
            log.path.c_str(), error.c_str());
    return kExitFailed;
  }
  if (!Recognise(snap.content, &log)) {
    fprintf(stderr, "quorinlog: %s is not a log of the quorin system (no ring header, no log line)\n",
            log.path.c_str());
    return kExitFailed;
  }
  snap.position =
      log.kind == Kind::kAppended ? static_cast<long>(snap.content.size()) : HeaderNumber(snap.content);
  std::vector<std::string> entries;
  AllEntries(log, snap, &entries);
  size_t first = 0;
  if (lines >= 0 && static_cast<size_t>(lines) < entries.size()) first = entries.size() - lines;
  Print(entries, first);
  if (follow) return Follow(log, std::move(snap));
  return kExitOk;
}
