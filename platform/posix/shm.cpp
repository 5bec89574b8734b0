// Named shared memory sections over POSIX shm.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quorin/qp_error.h"
#include "quorin/qp_shm.h"

struct qp_shm {
  void *view;
  size_t size;
};

namespace {

void shm_name(const char *name, char *out, size_t size) {
  snprintf(out, size, "/%s", name);
  for (char *p = out + 1; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') *p = '_';
}

qp_shm *map_fd(int fd, int writable) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    qp_set_error_from_errno(errno);
    close(fd);
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  if (size == 0) {
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

}  // namespace

qp_shm *qp_shm_open(const char *name, int writable) {
  char native[256];
  shm_name(name, native, sizeof native);
  int fd = shm_open(native, writable ? O_RDWR : O_RDONLY, 0);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  return map_fd(fd, writable);
}

qp_shm *qp_shm_create(const char *name, size_t size) {
  char native[256];
  shm_name(name, native, sizeof native);
  int fd = shm_open(native, O_RDWR | O_CREAT, 0660);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) < size &&
      ftruncate(fd, static_cast<off_t>(size)) != 0) {
    qp_set_error_from_errno(errno);
    close(fd);
    return nullptr;
  }
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
  char native[256];
  shm_name(name, native, sizeof native);
  shm_unlink(native);
}
