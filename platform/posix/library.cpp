// Loading the system's libraries by path, with the outcome of their attach step.
#include <dlfcn.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "quorin/qp_error.h"
#include "quorin/qp_file.h"
#include "quorin/qp_library.h"

struct qp_library {
  void *handle;
};

namespace {
// Set by the attach step of a library while dlopen runs its constructors on this thread.
thread_local int t_attach_reported = 0;  // 0 = nothing reported, 1 = ok, 2 = failed
}  // namespace

void qp_library_report_attach(int ok) {
  t_attach_reported = ok ? 1 : 2;
}

qp_library *qp_library_load(const char *path) {
  char native[1024];
  if (path == nullptr || !qp_path_resolve(path, native, sizeof native)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (access(native, F_OK) != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  t_attach_reported = 0;
  void *handle = dlopen(native, RTLD_NOW | RTLD_LOCAL);
  int reported = t_attach_reported;
  t_attach_reported = 0;
  if (handle == nullptr) {
    // Present but not loadable (not a library, unresolved symbols): as a missing module.
    SetLastError(access(native, R_OK) != 0 ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (reported == 2) {
    dlclose(handle);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return new qp_library{handle};
}

void *qp_library_symbol(qp_library *library, const char *name) {
  if (library == nullptr || name == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  dlerror();
  void *address = dlsym(library->handle, name);
  if (address == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return address;
}

int qp_library_free(qp_library *library) {
  if (library == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  int rc = dlclose(library->handle);
  delete library;
  if (rc != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return 1;
}

uint32_t qp_module_file_name(char *out, uint32_t size) {
  if (out == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char path[1024];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    qp_set_error_from_errno(errno);
    return 0;
  }
  path[n] = '\0';
  size_t copy = static_cast<size_t>(n) < size - 1 ? static_cast<size_t>(n) : size - 1;
  memcpy(out, path, copy);
  out[copy] = '\0';
  if (copy < static_cast<size_t>(n)) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return static_cast<uint32_t>(copy);
}
