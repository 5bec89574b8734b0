// Case-insensitive resolution of Windows-style paths, stdio on resolved paths, and files with
// the Windows sharing rules.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "quorin/qp_error.h"
#include "quorin/qp_file.h"
#include "quorin/qp_runtime.h"

namespace {

constexpr size_t kPathMax = 1024;
// Files the layer creates: owner and group only.
constexpr mode_t kNewFileMode = 0660;

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
  cmode[m] = '\0';
  // Files opened for writing are opened here, so that a new one gets mode 0660 (other users
  // cannot open it) and a link planted in place of the file is not followed.
  int flags = O_CLOEXEC;  // tools started by the libraries must not inherit log files
  bool update = strchr(cmode, '+') != nullptr;
  switch (cmode[0]) {
    case 'r':
      flags |= update ? O_RDWR | O_NOFOLLOW : O_RDONLY;
      break;
    case 'w':
      flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_NOFOLLOW;
      break;
    case 'a':
      flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND | O_NOFOLLOW;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  int fd = open(native, flags, kNewFileMode);
  if (fd < 0) {
    set_path_error(native, errno);
    return nullptr;
  }
  FILE *f = fdopen(fd, cmode);
  if (f == nullptr) {
    qp_set_error_from_errno(errno);
    close(fd);
  }
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
  std::string replacement;  // a replacement not yet committed: its own name
  std::string target;       // and the file it replaces
  // What qp_file_is_at last proved by a look-up of the path: the path, when, and the watch on
  // its folder with the count of changes seen in that folder by then (watch -1: none).
  std::string checked_path;
  uint64_t checked_ms = 0;
  int watch = -1;
  uint64_t watch_changes = 0;
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
  // A link in place of the file is never followed: the file may be a data file of the
  // system, written by a privileged process.
  int fd = open(native, flags | O_NOFOLLOW, kNewFileMode);
  if (fd < 0) {
    if (errno == EEXIST) {
      SetLastError(ERROR_FILE_EXISTS);
      return nullptr;
    }
    set_path_error(native, errno);
    return nullptr;
  }
  // The device and inode tell later whether a path still names this file.
  struct stat st;
  if (fstat(fd, &st) != 0) {
    uint32_t code = qp_set_error_from_errno(errno);
    close(fd);
    SetLastError(code);
    return nullptr;
  }
  // The read-only attribute of Windows holds for every user, administrators too; here a file
  // whose mode has no write bit stands for it, so that root is refused as well.
  if ((access & QP_ACCESS_WRITE) && S_ISREG(st.st_mode) &&
      (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Reads that leave the access time as it is: where the process may not ask for that (it does
  // not own the file), reads update it as usual.
  if (access & QP_ACCESS_KEEP_ATIME) {
    int status = fcntl(fd, F_GETFL);
    if (status >= 0) fcntl(fd, F_SETFL, status | O_NOATIME);
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

namespace {
void release_folder_watch(qp_file *file);
}  // namespace

void qp_file_close(qp_file *file) {
  if (file == nullptr) return;
  release_folder_watch(file);
  close(file->fd);
  if (!file->replacement.empty()) unlink(file->replacement.c_str());  // never committed
  delete file;
}

qp_file *qp_file_create_replacement(const char *path) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return nullptr;
  if (qp_fault_hit("file_replace")) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // A fresh name in the file's own folder (rename does not cross file systems), made with
  // O_EXCL: never an existing file, never through a link.
  std::string temp = std::string(native) + ".XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    set_path_error(native, errno);
    return nullptr;
  }
  // mkostemp makes the file 0600; it gets the mode a new data file has.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, kNewFileMode & ~mask);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    uint32_t code = qp_error_from_errno(errno);
    unlink(name.data());
    close(fd);
    SetLastError(code);
    return nullptr;
  }
  qp_file *file = new qp_file;
  file->fd = fd;
  file->device = st.st_dev;
  file->inode = st.st_ino;
  file->replacement = name.data();
  file->target = native;
  SetLastError(ERROR_SUCCESS);
  return file;
}

uint32_t qp_file_commit_replacement(qp_file *file) {
  if (file == nullptr || file->replacement.empty()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return ERROR_INVALID_HANDLE;
  }
  uint32_t code = ERROR_SUCCESS;
  if (fsync(file->fd) != 0 || rename(file->replacement.c_str(), file->target.c_str()) != 0)
    code = qp_error_from_errno(errno);
  else
    file->replacement.clear();  // now the file itself
  qp_file_close(file);
  SetLastError(code);
  return code;
}

uint32_t qp_file_check_regular(const char *path, uint64_t max_size) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return GetLastError();
  // Opened without waiting, so that a FIFO in the file's place cannot hold the caller.
  int fd = open(native, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return set_path_error(native, errno);
  struct stat st;
  uint32_t code = ERROR_SUCCESS;
  if (fstat(fd, &st) != 0)
    code = qp_error_from_errno(errno);
  else if (!S_ISREG(st.st_mode))
    code = ERROR_BAD_FILE_TYPE;
  else if (static_cast<uint64_t>(st.st_size) > max_size)
    code = ERROR_FILE_TOO_LARGE;
  close(fd);
  SetLastError(code);
  return code;
}

uint32_t qp_file_flush(qp_file *file) {
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  if (fsync(file->fd) != 0) return qp_set_error_from_errno(errno);
  return ERROR_SUCCESS;
}

uint32_t qp_folder_flush(const char *path) {
  char native[kPathMax];
  if (!qp_path_resolve(path, native, sizeof native)) return GetLastError();
  int fd = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return ERROR_PATH_NOT_FOUND;
    }
    return qp_set_error_from_errno(errno);
  }
  uint32_t code = ERROR_SUCCESS;
  if (fsync(fd) != 0) code = qp_set_error_from_errno(errno);
  close(fd);
  return code;
}

namespace {

// One attempt at the whole-file write lock of FD with COMMAND (F_OFD_SETLKW waits until it is
// had, F_OFD_SETLK only tries): 0, or the errno.
int lock_whole_file(int fd, int command) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of the file, however long it grows
  while (fcntl(fd, command, &lock) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

// Open-file-description locks: owned by the handle, not by the process, so two handles of one
// process exclude each other as two processes do; released by the kernel when the handle is
// closed, also when its process is killed.
uint32_t qp_file_lock(qp_file *file, uint32_t timeout_ms) {
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  if (timeout_ms == QP_INFINITE) {
    int err = lock_whole_file(file->fd, F_OFD_SETLKW);
    return err == 0 ? ERROR_SUCCESS : qp_set_error_from_errno(err);
  }
  // A bounded wait tries again every few milliseconds: the kernel has no timed lock wait.
  constexpr uint32_t kRetryMs = 5;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (true) {
    int err = lock_whole_file(file->fd, F_OFD_SETLK);
    if (err == 0) return ERROR_SUCCESS;
    if (err != EAGAIN && err != EACCES) return qp_set_error_from_errno(err);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= static_cast<int64_t>(timeout_ms)) {
      SetLastError(ERROR_LOCK_VIOLATION);
      return ERROR_LOCK_VIOLATION;
    }
    struct timespec pause = {0, static_cast<long>(kRetryMs) * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

uint32_t qp_file_unlock(qp_file *file) {
  if (file == nullptr) return ERROR_INVALID_HANDLE;
  struct flock lock = {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(file->fd, F_OFD_SETLK, &lock) != 0) return qp_set_error_from_errno(errno);
  return ERROR_SUCCESS;
}

namespace {

// Folder watches, so that a writer that keeps a file open learns that its path may name another
// file without a look-up of the whole path at every entry. One inotify instance per process
// (read without blocking) watches the folder of each kept file for names deleted, renamed away
// or renamed in, and for the folder itself deleted or moved; each watch counts the changes seen
// in its folder. A file whose folder has seen no change since the path was last looked up
// still lies at that path, as far as its folder can tell: the folders above it are not watched,
// so the path is also looked up again once a second. Without inotify (the instances of the user
// used up) every check looks the path up, as it always did.
constexpr uint32_t kFolderEvents =
    IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint64_t kLookUpEveryMs = 1000;

struct FolderWatch {
  int wd;
  int users;         // files holding the watch
  uint64_t changes;  // only grows: a file compares it with the count it saw
  bool alive;        // false once the kernel dropped the watch (its folder deleted)
};

struct FolderWatcher {
  std::mutex lock;  // guards everything below
  int fd = -2;      // -2 not opened yet, -1 not available
  std::vector<FolderWatch> watches;
};

// Never destroyed: files may still be closed while the process exits.
FolderWatcher &folder_watcher() {
  static FolderWatcher *watcher = new FolderWatcher;
  return *watcher;
}

// A child made by fork shares the parent's instance: reading it there would take the parent's
// events. The child forgets it (and every watch) and opens its own when it needs one.
void forget_watcher_in_child() {
  FolderWatcher &w = folder_watcher();
  new (&w.lock) std::mutex;  // it may have been held by another thread at the fork
  if (w.fd >= 0) close(w.fd);
  w.fd = -2;
  for (FolderWatch &watch : w.watches) {
    ++watch.changes;
    watch.alive = false;
  }
}

// The instance, opened on first use; -1 when none can be had. Under the lock.
int watcher_fd(FolderWatcher &w) {
  if (w.fd == -2) {
    static std::once_flag at_fork;
    std::call_once(at_fork, [] { pthread_atfork(nullptr, nullptr, forget_watcher_in_child); });
    w.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.fd < 0) w.fd = -1;
  }
  return w.fd;
}

FolderWatch *find_watch(FolderWatcher &w, int wd) {
  for (FolderWatch &watch : w.watches)
    if (watch.wd == wd) return &watch;
  return nullptr;
}

// Counts the events that have arrived since the last read into their watches. Under the lock.
void read_folder_events(FolderWatcher &w) {
  if (w.fd < 0) return;
  alignas(struct inotify_event) char buffer[4096];
  while (true) {
    ssize_t got = read(w.fd, buffer, sizeof buffer);
    if (got <= 0) return;  // EAGAIN: nothing more
    for (char *p = buffer; p < buffer + got;) {
      const struct inotify_event *event = reinterpret_cast<const struct inotify_event *>(p);
      if (event->mask & IN_Q_OVERFLOW) {
        for (FolderWatch &watch : w.watches) ++watch.changes;  // events were lost: any may have changed
      } else if (FolderWatch *watch = find_watch(w, event->wd)) {
        ++watch->changes;
        if (event->mask & IN_IGNORED) watch->alive = false;
      }
      p += sizeof(struct inotify_event) + event->len;
    }
  }
}

void release_folder_watch(qp_file *file) {
  if (file->watch < 0) return;
  FolderWatcher &w = folder_watcher();
  std::lock_guard<std::mutex> hold(w.lock);
  for (size_t i = 0; i < w.watches.size(); ++i) {
    FolderWatch &watch = w.watches[i];
    if (watch.wd != file->watch || --watch.users > 0) continue;
    if (watch.alive && w.fd >= 0) inotify_rm_watch(w.fd, watch.wd);
    w.watches.erase(w.watches.begin() + static_cast<long>(i));
    break;
  }
  file->watch = -1;
}

// Takes a watch on FOLDER for FILE and notes the count of changes seen so far: a change from
// now on shows in the count. The file keeps no watch when none can be had.
void take_folder_watch(qp_file *file, const char *folder) {
  FolderWatcher &w = folder_watcher();
  std::lock_guard<std::mutex> hold(w.lock);
  int fd = watcher_fd(w);
  if (fd < 0) return;
  int wd = inotify_add_watch(fd, folder, kFolderEvents);
  if (wd < 0) return;
  read_folder_events(w);
  FolderWatch *watch = find_watch(w, wd);
  if (watch == nullptr) {
    w.watches.push_back({wd, 0, 0, true});
    watch = &w.watches.back();
  }
  watch->alive = true;  // a number the kernel gave out again: its count goes on growing
  ++watch->users;
  file->watch = wd;
  file->watch_changes = watch->changes;
}

// True when the folder of FILE's last look-up has seen no change since.
bool folder_unchanged(qp_file *file) {
  FolderWatcher &w = folder_watcher();
  std::lock_guard<std::mutex> hold(w.lock);
  read_folder_events(w);
  FolderWatch *watch = find_watch(w, file->watch);
  return watch != nullptr && watch->alive && watch->changes == file->watch_changes;
}

uint64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The device and inode that NATIVE names now. Asks for the inode alone: a look-up that also
// asked for the change times would make the next write of a file on a file system with
// fine-grained times store a new time in the inode.
bool identity_of(const char *native, dev_t *device, ino_t *inode) {
  struct statx sx;
  if (statx(AT_FDCWD, native, AT_STATX_SYNC_AS_STAT, STATX_INO, &sx) != 0) return false;
  *device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  *inode = static_cast<ino_t>(sx.stx_ino);
  return true;
}

// Looks NATIVE up for FILE, with a watch on its folder taken first, so that a change made after
// the look-up shows in the watch: false when it names nothing.
bool look_up_watched(qp_file *file, const char *native, dev_t *device, ino_t *inode) {
  release_folder_watch(file);
  file->checked_path.clear();
  char folder[kPathMax];
  snprintf(folder, sizeof folder, "%s", native);
  char *slash = strrchr(folder, '/');
  if (slash != nullptr) {
    slash[slash == folder ? 1 : 0] = '\0';
    take_folder_watch(file, folder);
  }
  return identity_of(native, device, inode);
}

}  // namespace

int qp_file_is_at(qp_file *file, const char *path) {
  if (file == nullptr || path == nullptr) return 0;
  uint64_t now = monotonic_ms();
  if (file->watch >= 0 && now - file->checked_ms < kLookUpEveryMs && file->checked_path == path &&
      folder_unchanged(file))
    return 1;

  // The path as spelled, with its backslashes turned, names the file in the common case; only
  // when it names nothing is it resolved ignoring case.
  char native[kPathMax];
  size_t n = 0;
  for (const char *p = path; *p != '\0' && n + 1 < sizeof native; ++p) native[n++] = *p == '\\' ? '/' : *p;
  native[n] = '\0';
  dev_t device;
  ino_t inode;
  if (!look_up_watched(file, native, &device, &inode)) {
    if (!qp_path_resolve(path, native, sizeof native) || !look_up_watched(file, native, &device, &inode))
      return 0;
  }
  if (device != file->device || inode != file->inode) return 0;
  file->checked_path = path;
  file->checked_ms = now;
  return 1;
}

int qp_file_native_fd(qp_file *file) {
  return file != nullptr ? file->fd : -1;
}
