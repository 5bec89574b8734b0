// Profile (INI) file reads and writes with the Windows profile semantics.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "quorin/qp_error.h"
#include "quorin/qp_file.h"
#include "quorin/qp_profile.h"
#include "quorin/qp_time.h"

namespace {

constexpr size_t kPathMax = 1024;

std::mutex g_profile_write_lock;  // orders the writers of this process
constexpr uint64_t kWriteLockWaitMs = 2000;
constexpr useconds_t kWriteLockPollUs = 1000;

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Lines of the file without their line ends; false (with the last error) when it cannot be
// read. Only a regular file of at most QP_PROFILE_MAX_SIZE bytes is read: a device or a FIFO
// in a profile's place (never waited on) and an oversized file are refused, so that a read
// neither hangs nor takes memory without bound.
bool read_lines(const char *native, std::vector<std::string> &lines, bool &crlf) {
  crlf = true;
  int fd = open(native, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return false;
  }
  struct stat st;
  uint32_t refused = ERROR_SUCCESS;
  if (fstat(fd, &st) != 0)
    refused = qp_error_from_errno(errno);
  else if (!S_ISREG(st.st_mode))
    refused = ERROR_BAD_FILE_TYPE;
  else if (st.st_size > static_cast<off_t>(QP_PROFILE_MAX_SIZE))
    refused = ERROR_FILE_TOO_LARGE;
  std::string content;
  char buffer[8192];
  while (refused == ERROR_SUCCESS) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) refused = qp_error_from_errno(errno);
    if (got <= 0) break;
    content.append(buffer, static_cast<size_t>(got));
    if (content.size() > QP_PROFILE_MAX_SIZE) refused = ERROR_FILE_TOO_LARGE;  // grew while read
  }
  close(fd);
  if (refused != ERROR_SUCCESS) {
    SetLastError(refused);
    return false;
  }
  bool saw_lf = false, saw_crlf = false;
  size_t start = 0;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    std::string line = content.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (nl != std::string::npos) {
      saw_lf = true;
      if (!line.empty() && line.back() == '\r') {
        saw_crlf = true;
        line.pop_back();
      }
    }
    lines.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  crlf = saw_crlf || !saw_lf;
  return true;
}

bool section_header(const std::string &line, std::string &name) {
  std::string t = trim(line);
  if (t.size() < 2 || t[0] != '[') return false;
  size_t end = t.find(']');
  if (end == std::string::npos) return false;
  name = trim(t.substr(1, end - 1));
  return true;
}

bool key_line(const std::string &line, std::string &key, std::string &value) {
  std::string t = trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '[') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = trim(t.substr(0, eq));
  value = trim(t.substr(eq + 1));
  return true;
}

// The value of KEY in SECTION; false when the file, section or key is missing.
bool lookup(const char *path, const char *section, const char *key, std::string &value) {
  if (path == nullptr || section == nullptr || key == nullptr) return false;
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return false;
  std::vector<std::string> lines;
  bool crlf;
  if (!read_lines(native, lines, crlf)) return false;
  bool in_section = false;
  for (const std::string &line : lines) {
    std::string name, k, v;
    if (section_header(line, name)) {
      in_section = strcasecmp(name.c_str(), section) == 0;
      continue;
    }
    if (in_section && key_line(line, k, v) && strcasecmp(k.c_str(), key) == 0) {
      if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
      value = v;
      return true;
    }
  }
  return false;
}

}  // namespace

uint32_t qp_profile_get_string(const char *section, const char *key, const char *default_text, char *out,
                               uint32_t size, const char *path) {
  if (out == nullptr || size == 0) return 0;
  std::string value;
  if (!lookup(path, section, key, value)) {
    value = default_text != nullptr ? default_text : "";
    while (!value.empty() && value.back() == ' ') value.pop_back();
  }
  size_t n = value.size() < size - 1 ? value.size() : size - 1;
  memcpy(out, value.data(), n);
  out[n] = '\0';
  return static_cast<uint32_t>(n);
}

int32_t qp_profile_get_int(const char *section, const char *key, int32_t default_value, const char *path) {
  std::string value;
  if (!lookup(path, section, key, value) || value.empty()) return default_value;
  const char *p = value.c_str();
  bool negative = false;
  if (*p == '-' || *p == '+') negative = (*p++ == '-');
  int64_t number = 0;
  while (isdigit(static_cast<unsigned char>(*p))) {
    number = number * 10 + (*p++ - '0');
    if (number > 0xFFFFFFFFll) number = 0xFFFFFFFFll;
  }
  uint32_t bits = static_cast<uint32_t>(number);
  return static_cast<int32_t>(negative ? 0u - bits : bits);
}

int qp_profile_write_string(const char *section, const char *key, const char *value, const char *path) {
  if (section == nullptr || path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return 0;
  std::lock_guard<std::mutex> guard(g_profile_write_lock);

  // Writers of other processes are ordered by an exclusive flock on the file; a writer that
  // got the lock on a file already replaced by another writer starts again on the new one.
  // A file that is not a plain file, or a link, is not written (nor replaced); a lock held
  // for longer than a writer needs makes the write fail rather than wait without end.
  int lock_fd = -1;
  uint64_t deadline = qp_real_tick_ms() + kWriteLockWaitMs;
  for (int attempt = 0; attempt < 50; ++attempt) {
    lock_fd = open(native, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0660);
    if (lock_fd < 0) {
      qp_set_error_from_errno(errno);
      return 0;
    }
    struct stat held, now;
    if (fstat(lock_fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      close(lock_fd);
      SetLastError(ERROR_BAD_FILE_TYPE);
      return 0;
    }
    bool locked;
    while (!(locked = flock(lock_fd, LOCK_EX | LOCK_NB) == 0) && (errno == EWOULDBLOCK || errno == EINTR) &&
           qp_real_tick_ms() < deadline)
      usleep(kWriteLockPollUs);
    if (!locked) {
      close(lock_fd);
      SetLastError(ERROR_SHARING_VIOLATION);
      return 0;
    }
    if (stat(native, &now) == 0 && held.st_ino == now.st_ino) break;
    close(lock_fd);
    lock_fd = -1;
  }
  if (lock_fd < 0) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return 0;
  }

  // What cannot be read (a file grown past the bound) is not replaced by a file without it.
  std::vector<std::string> lines;
  bool crlf = true;
  if (!read_lines(native, lines, crlf)) {
    uint32_t code = GetLastError();
    close(lock_fd);
    SetLastError(code);
    return 0;
  }
  if (!lines.empty() && lines.back().empty()) lines.pop_back();  // the final line end

  // Locate the section and the key.
  long section_at = -1, section_end = static_cast<long>(lines.size()), key_at = -1, last_filled = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (section_header(lines[i], name)) {
      if (section_at >= 0) {
        section_end = static_cast<long>(i);
        break;
      }
      if (strcasecmp(name.c_str(), section) == 0) {
        section_at = static_cast<long>(i);
        last_filled = section_at;
      }
      continue;
    }
    if (section_at < 0) continue;
    if (!trim(lines[i]).empty()) last_filled = static_cast<long>(i);
    if (key != nullptr && key_at < 0 && key_line(lines[i], k, v) && strcasecmp(k.c_str(), key) == 0)
      key_at = static_cast<long>(i);
  }

  if (key == nullptr) {  // remove the whole section
    if (section_at >= 0) lines.erase(lines.begin() + section_at, lines.begin() + section_end);
  } else if (value == nullptr) {  // remove the key
    if (key_at >= 0) lines.erase(lines.begin() + key_at);
  } else if (key_at >= 0) {
    std::string k, v;
    key_line(lines[key_at], k, v);
    lines[key_at] = k + "=" + value;
  } else if (section_at >= 0) {
    lines.insert(lines.begin() + last_filled + 1, std::string(key) + "=" + value);
  } else {
    lines.push_back(std::string("[") + section + "]");
    lines.push_back(std::string(key) + "=" + value);
  }

  const char *eol = crlf ? "\r\n" : "\n";
  std::string content;
  for (const std::string &line : lines) content += line + eol;

  char temp[kPathMax + 16];
  snprintf(temp, sizeof temp, "%s.XXXXXX", native);
  int fd = mkstemp(temp);
  bool ok = fd >= 0;
  uint32_t code = ERROR_SUCCESS;
  if (ok) {
    struct stat st;
    if (fstat(lock_fd, &st) == 0) fchmod(fd, st.st_mode & 07777);
    size_t done = 0;
    while (ok && done < content.size()) {
      ssize_t put = write(fd, content.data() + done, content.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0)
        ok = false;
      else
        done += static_cast<size_t>(put);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (!ok) code = qp_error_from_errno(errno);
    close(fd);
    if (ok && rename(temp, native) != 0) {
      ok = false;
      code = qp_error_from_errno(errno);
    }
    if (!ok) {
      unlink(temp);
    } else {
      // The rename lives in the folder's entries: flushed too, so that a power loss after the
      // call returned cannot bring the old file back.
      std::string folder = native;
      size_t slash = folder.find_last_of('/');
      folder = slash == std::string::npos ? std::string(".")
               : slash == 0               ? std::string("/")
                                          : folder.substr(0, slash);
      int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        fsync(dir);
        close(dir);
      }
    }
  } else {
    code = qp_error_from_errno(errno);
  }
  close(lock_fd);
  if (!ok) {
    SetLastError(code);
    return 0;
  }
  return 1;
}
