// Named shared memory sections: a file RUNTIME/shm/NAME mapped shared by every process that
// opens it.
//
// The sections live in the runtime directory, as the pipes and the named mutexes do, so that
// every installation (and every test) has sections of its own; on a tmpfs runtime directory
// they never touch a disk. A section is made under a temporary name, given its size and then
// linked into place, so that an opener never sees it empty or short; it is never replaced
// while it exists. Files are opened without following a link.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quorin/qp_error.h"
#include "quorin/qp_runtime.h"
#include "quorin/qp_shm.h"

struct qp_shm {
  void *view;
  size_t size;
};

namespace {

constexpr mode_t kSectionMode = 0660;

// RUNTIME/shm/NAME, with the separators of NAME made harmless. False with the last error.
bool section_path(const char *name, char *out, size_t size) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  char dir[512];
  if (!qp_runtime_path("shm", dir, sizeof dir)) return false;
  char clean[256];
  snprintf(clean, sizeof clean, "%s", name);
  for (char *p = clean; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') *p = '_';
  int n = snprintf(out, size, "%s/%s", dir, clean);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

// Maps the whole file behind FD and closes FD. A file of size 0 is not a section.
qp_shm *map_fd(int fd, int writable) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    qp_set_error_from_errno(errno);
    close(fd);
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  if (!S_ISREG(st.st_mode) || size == 0) {
    close(fd);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  void *view = mmap(nullptr, size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
  close(fd);
  if (view == MAP_FAILED) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  return new qp_shm{view, size};
}

int open_section(const char *path, int writable) {
  return open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

qp_shm *qp_shm_open(const char *name, int writable) {
  char path[768];
  if (!section_path(name, path, sizeof path)) return nullptr;
  int fd = open_section(path, writable);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  return map_fd(fd, writable);
}

qp_shm *qp_shm_create(const char *name, size_t size) {
  if (size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  char path[768];
  if (!section_path(name, path, sizeof path)) return nullptr;
  int fd = open_section(path, 1);
  if (fd >= 0) return map_fd(fd, 1);
  if (errno != ENOENT) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  // A new section: sized under a name of its own, then linked into place. When another
  // process linked its section first, that one is opened instead.
  char temp[800];
  snprintf(temp, sizeof temp, "%s.%d.new", path, static_cast<int>(getpid()));
  unlink(temp);
  fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kSectionMode);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  if (fchmod(fd, kSectionMode) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    qp_set_error_from_errno(errno);
    close(fd);
    unlink(temp);
    return nullptr;
  }
  if (link(temp, path) != 0) {
    int err = errno;
    close(fd);
    unlink(temp);
    if (err != EEXIST) {
      qp_set_error_from_errno(err);
      return nullptr;
    }
    fd = open_section(path, 1);
    if (fd < 0) {
      qp_set_error_from_errno(errno);
      return nullptr;
    }
    return map_fd(fd, 1);
  }
  unlink(temp);
  return map_fd(fd, 1);
}

void *qp_shm_view(qp_shm *shm, size_t *size) {
  if (shm == nullptr) return nullptr;
  if (size != nullptr) *size = shm->size;
  return shm->view;
}

void qp_shm_close(qp_shm *shm) {
  if (shm == nullptr) return;
  munmap(shm->view, shm->size);
  delete shm;
}

void qp_shm_remove(const char *name) {
  char path[768];
  if (section_path(name, path, sizeof path)) unlink(path);
}
