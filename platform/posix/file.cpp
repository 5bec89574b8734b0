// Case-insensitive resolution of Windows-style paths, stdio on resolved paths, and files with
// the Windows sharing rules.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "quorin/qp_error.h"
#include "quorin/qp_file.h"
#include "quorin/qp_runtime.h"

namespace {

constexpr size_t kPathMax = 1024;

bool exists_native(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

// Finds in directory DIR an entry named NAME ignoring case; copies its real name to OUT.
bool find_ignoring_case(const char *dir, const char *name, char *out, size_t size) {
  DIR *d = opendir(dir[0] == '\0' ? "." : dir);
  if (d == nullptr) return false;
  bool found = false;
  while (struct dirent *entry = readdir(d)) {
    if (strcasecmp(entry->d_name, name) == 0) {
      snprintf(out, size, "%s", entry->d_name);
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

// Sets and returns the Windows error of a failed call on NATIVE: a missing file whose folder
// is missing too is ERROR_PATH_NOT_FOUND, as Windows reports it, not ERROR_FILE_NOT_FOUND.
uint32_t set_path_error(const char *native, int error) {
  if (error == ENOENT) {
    const char *slash = strrchr(native, '/');
    if (slash != nullptr && slash != native) {
      std::string folder(native, static_cast<size_t>(slash - native));
      struct stat st;
      if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return ERROR_PATH_NOT_FOUND;
      }
    }
  }
  return qp_set_error_from_errno(error);
}

}  // namespace

int qp_path_resolve(const char *path, char *out, size_t out_size) {
  if (path == nullptr || out == nullptr || out_size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Backslashes become slashes and repeated separators collapse to one.
  char native[kPathMax];
  size_t n = 0;
  for (const char *p = path; *p != '\0'; ++p) {
    char c = (*p == '\\') ? '/' : *p;
    if (c == '/' && n > 0 && native[n - 1] == '/') continue;
    if (n + 1 >= sizeof native) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return 0;
    }
    native[n++] = c;
  }
  native[n] = '\0';

  char result[kPathMax];
  if (exists_native(native)) {
    snprintf(result, sizeof result, "%s", native);
  } else {
    // Walk the components; each one that does not exist as spelled is looked up ignoring
    // case. From the first component that does not exist at all, the rest is kept as given.
    size_t len = 0;
    result[0] = '\0';
    const char *cursor = native;
    if (*cursor == '/') {
      result[len++] = '/';
      result[len] = '\0';
      ++cursor;
    }
    bool resolving = true;
    while (*cursor != '\0') {
      const char *slash = strchr(cursor, '/');
      size_t comp_len = slash != nullptr ? static_cast<size_t>(slash - cursor) : strlen(cursor);
      char comp[256];
      snprintf(comp, sizeof comp, "%.*s", static_cast<int>(comp_len), cursor);
      char actual[256];
      snprintf(actual, sizeof actual, "%s", comp);
      if (resolving) {
        char candidate[kPathMax];
        snprintf(candidate, sizeof candidate, "%s%s", result, comp);
        if (!exists_native(candidate)) {
          char dir[kPathMax];
          snprintf(dir, sizeof dir, "%s", result);
          if (!find_ignoring_case(dir, comp, actual, sizeof actual)) resolving = false;
        }
      }
      int w = snprintf(result + len, sizeof result - len, "%s%s", actual, slash != nullptr ? "/" : "");
      if (w < 0 || static_cast<size_t>(w) >= sizeof result - len) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
      }
      len += static_cast<size_t>(w);
      if (slash == nullptr) break;
      cursor = slash + 1;
    }
  }
  if (strlen(result) >= out_size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  snprintf(out, out_size, "%s", result);
  return 1;
}

FILE *qp_fopen(const char *path, const char *mode) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return nullptr;
  char cmode[8];
  size_t m = 0;
  for (const char *p = mode; *p != '\0' && m + 2 < sizeof cmode; ++p)
    if (*p != 't') cmode[m++] = *p;
  cmode[m++] = 'e';  // close on exec: tools started by the libraries must not inherit log files
  cmode[m] = '\0';
  FILE *f = fopen(native, cmode);
  if (f == nullptr) set_path_error(native, errno);
  return f;
}

int qp_path_exists(const char *path) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return 0;
  return exists_native(native) ? 1 : 0;
}

uint32_t qp_file_size_of(const char *path, uint64_t *size) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return GetLastError();
  struct stat st;
  if (stat(native, &st) != 0) return set_path_error(native, errno);
  *size = static_cast<uint64_t>(st.st_size);
  return ERROR_SUCCESS;
}

uint32_t qp_file_delete(const char *path) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return GetLastError();
  if (unlink(native) != 0) return set_path_error(native, errno);
  return ERROR_SUCCESS;
}

uint32_t qp_file_rename(const char *from, const char *to, int replace) {
  char src[kPathMax], dst[kPathMax];
  if (!qp_path_resolve(from, src, sizeof src) || !qp_path_resolve(to, dst, sizeof dst)) return GetLastError();
  if (!replace && exists_native(dst)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return ERROR_ALREADY_EXISTS;
  }
  if (rename(src, dst) != 0) return qp_set_error_from_errno(errno);
  return ERROR_SUCCESS;
}

uint32_t qp_file_copy(const char *from, const char *to) {
  FILE *in = qp_fopen(from, "rb");
  if (in == nullptr) return GetLastError();
  FILE *out = qp_fopen(to, "wb");
  if (out == nullptr) {
    uint32_t code = GetLastError();
    fclose(in);
    return code;
  }
  char buffer[8192];
  size_t got;
  uint32_t code = ERROR_SUCCESS;
  while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) {
    if (fwrite(buffer, 1, got, out) != got) {
      code = qp_set_error_from_errno(errno);
      break;
    }
  }
  if (ferror(in) && code == ERROR_SUCCESS) code = qp_set_error_from_errno(errno);
  fclose(in);
  if (fclose(out) != 0 && code == ERROR_SUCCESS) code = qp_set_error_from_errno(errno);
  return code;
}

uint32_t qp_make_dirs(const char *path) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return GetLastError();
  for (char *p = native + 1; *p != '\0'; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(native, 0775) != 0 && errno != EEXIST) {
      uint32_t code = qp_set_error_from_errno(errno);
      *p = '/';
      return code;
    }
    *p = '/';
  }
  if (mkdir(native, 0775) != 0 && errno != EEXIST) return qp_set_error_from_errno(errno);
  return ERROR_SUCCESS;
}

// Handle-based file. Sharing is an flock held for the life of the handle: exclusive when
// the file was opened without sharing, shared otherwise. The device and inode tell whether a
// path still names the file.
struct qp_file {
  int fd;
  dev_t device;
  ino_t inode;
};

qp_file *qp_file_open(const char *path, uint32_t access, uint32_t share, uint32_t disposition) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return nullptr;
  if (qp_fault_hit("file_create") && disposition != QP_OPEN_EXISTING) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  int flags = O_CLOEXEC;
  if ((access & QP_ACCESS_READ) && (access & QP_ACCESS_WRITE))
    flags |= O_RDWR;
  else if (access & QP_ACCESS_WRITE)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  bool truncate = false;
  switch (disposition) {
    case QP_CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case QP_CREATE_ALWAYS:
      flags |= O_CREAT;
      truncate = true;
      break;
    case QP_OPEN_EXISTING:
      break;
    case QP_OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case QP_TRUNCATE_EXISTING:
      truncate = true;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  int fd = open(native, flags, 0664);
  if (fd < 0) {
    if (errno == EEXIST) {
      SetLastError(ERROR_FILE_EXISTS);
      return nullptr;
    }
    set_path_error(native, errno);
    return nullptr;
  }
  // An open that shares both ways conflicts only with an unshared one, which takes an
  // exclusive lock; it needs no lock of its own unless it also empties the file.
  bool shares_all = (share & (QP_SHARE_READ | QP_SHARE_WRITE)) == (QP_SHARE_READ | QP_SHARE_WRITE);
  if ((!shares_all || truncate) && flock(fd, (share == QP_SHARE_NONE ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    close(fd);
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    uint32_t code = qp_set_error_from_errno(errno);
    close(fd);
    SetLastError(code);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    uint32_t code = qp_set_error_from_errno(errno);
    close(fd);
    SetLastError(code);
    return nullptr;
  }
  qp_file *file = new qp_file;
  file->fd = fd;
  file->device = st.st_dev;
  file->inode = st.st_ino;
  SetLastError(ERROR_SUCCESS);
  return file;
}

uint32_t qp_file_read(qp_file *file, void *buffer, uint32_t size, uint32_t *done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  ssize_t got;
  do {
    got = read(file->fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return qp_set_error_from_errno(errno);
  if (done != nullptr) *done = static_cast<uint32_t>(got);
  return ERROR_SUCCESS;
}

namespace {

// Writes all SIZE bytes of BUFFER to FD, at OFFSET when it is not negative, else at the file
// position; *DONE (optional) tells how many were written, also on failure.
uint32_t write_all(int fd, int64_t offset, const void *buffer, uint32_t size, uint32_t *done) {
  const char *p = static_cast<const char *>(buffer);
  uint32_t total = 0;
  while (total < size) {
    ssize_t put = offset < 0 ? write(fd, p + total, size - total)
                             : pwrite(fd, p + total, size - total, static_cast<off_t>(offset + total));
    if (put < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = total;
      return qp_set_error_from_errno(errno);
    }
    total += static_cast<uint32_t>(put);
  }
  if (done != nullptr) *done = total;
  return ERROR_SUCCESS;
}

}  // namespace

uint32_t qp_file_write(qp_file *file, const void *buffer, uint32_t size, uint32_t *done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  return write_all(file->fd, -1, buffer, size, done);
}

uint32_t qp_file_read_at(qp_file *file, uint64_t offset, void *buffer, uint32_t size, uint32_t *done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  ssize_t got;
  do {
    got = pread(file->fd, buffer, size, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return qp_set_error_from_errno(errno);
  if (done != nullptr) *done = static_cast<uint32_t>(got);
  return ERROR_SUCCESS;
}

uint32_t qp_file_write_at(qp_file *file, uint64_t offset, const void *buffer, uint32_t size, uint32_t *done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  return write_all(file->fd, static_cast<int64_t>(offset), buffer, size, done);
}

uint32_t qp_file_seek(qp_file *file, int64_t offset, int origin) {
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  if (lseek(file->fd, offset, origin) < 0) return qp_set_error_from_errno(errno);
  return ERROR_SUCCESS;
}

uint32_t qp_file_size(qp_file *file, uint64_t *size) {
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  struct stat st;
  if (fstat(file->fd, &st) != 0) return qp_set_error_from_errno(errno);
  *size = static_cast<uint64_t>(st.st_size);
  return ERROR_SUCCESS;
}

void qp_file_close(qp_file *file) {
  if (file == nullptr) return;
  close(file->fd);
  delete file;
}

int qp_file_is_at(qp_file *file, const char *path) {
  if (file == nullptr || path == nullptr) return 0;
  // The path as spelled, with its backslashes turned, names the file in the common case; only
  // when it names nothing is it resolved ignoring case.
  char native[kPathMax];
  size_t n = 0;
  for (const char *p = path; *p != '\0' && n + 1 < sizeof native; ++p) native[n++] = *p == '\\' ? '/' : *p;
  native[n] = '\0';
  struct stat st;
  if (stat(native, &st) != 0) {
    if (!qp_path_resolve(path, native, sizeof native) || stat(native, &st) != 0) return 0;
  }
  return st.st_dev == file->device && st.st_ino == file->inode ? 1 : 0;
}

int qp_file_native_fd(qp_file *file) {
  return file != nullptr ? file->fd : -1;
}
