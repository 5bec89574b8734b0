// Events, unnamed mutexes, the named cross-process mutex and threads.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "internal.h"
#include "quorin/qp_error.h"
#include "quorin/qp_runtime.h"
#include "quorin/qp_sync.h"
#include "quorin/qp_time.h"

// An event is an eventfd whose counter is non-zero while the event is signalled, so that
// several events (and a pipe's pending connect, through link_fd) can be waited on at once
// with poll. Only one thread sets or resets a given event at a time in this system, and
// state_lock keeps set/reset/consume consistent anyway.
struct qp_event {
  int fd;
  bool manual_reset;
  std::mutex state_lock;
  bool signalled;
  std::atomic<int> link_fd{-1};  // a listening socket whose readability also signals the event
};

namespace {

int remaining_ms(uint64_t deadline, uint32_t timeout_ms) {
  if (timeout_ms == QP_INFINITE) return -1;
  uint64_t now = qp_real_tick_ms();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

void drain(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof value) == sizeof value) {
  }
}

// Takes the signal of an auto-reset event; false when another waiter got it first.
bool consume(qp_event *event) {
  std::lock_guard<std::mutex> guard(event->state_lock);
  if (event->manual_reset) return true;
  if (!event->signalled) return false;
  event->signalled = false;
  drain(event->fd);
  return true;
}

}  // namespace

qp_event *qp_event_create(int manual_reset, int initially_signalled) {
  if (qp_fault_hit("event_create")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  qp_event *event = new qp_event;
  event->fd = fd;
  event->manual_reset = manual_reset != 0;
  event->signalled = false;
  if (initially_signalled) qp_event_set(event);
  return event;
}

int qp_event_set(qp_event *event) {
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(event->state_lock);
  if (!event->signalled) {
    uint64_t one = 1;
    if (write(event->fd, &one, sizeof one) != sizeof one) {
      qp_set_error_from_errno(errno);
      return 0;
    }
    event->signalled = true;
  }
  return 1;
}

int qp_event_reset(qp_event *event) {
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(event->state_lock);
  drain(event->fd);
  event->signalled = false;
  return 1;
}

uint32_t qp_event_wait(qp_event *event, uint32_t timeout_ms) {
  qp_event *events[1] = {event};
  return qp_wait_any(1, events, timeout_ms);
}

uint32_t qp_wait_any(uint32_t count, qp_event *const *events, uint32_t timeout_ms) {
  if (count == 0 || count > 64 || events == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return QP_WAIT_FAILED;
  }
  uint64_t deadline = qp_real_tick_ms() + (timeout_ms == QP_INFINITE ? 0 : timeout_ms);
  struct pollfd fds[128];
  while (true) {
    nfds_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (events[i] == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return QP_WAIT_FAILED;
      }
      fds[n++] = {events[i]->fd, POLLIN, 0};
      int link = events[i]->link_fd.load();
      fds[n++] = {link, POLLIN, 0};  // a negative fd is ignored by poll
    }
    int rc = poll(fds, n, remaining_ms(deadline, timeout_ms));
    if (rc < 0) {
      if (errno == EINTR) continue;
      qp_set_error_from_errno(errno);
      return QP_WAIT_FAILED;
    }
    if (rc == 0) return QP_WAIT_TIMEOUT;
    for (uint32_t i = 0; i < count; ++i) {
      bool own = (fds[2 * i].revents & POLLIN) != 0;
      bool linked = fds[2 * i + 1].fd >= 0 && (fds[2 * i + 1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
      if (linked) return QP_WAIT_OBJECT_0 + i;
      if (own && consume(events[i])) return QP_WAIT_OBJECT_0 + i;
    }
    if (timeout_ms != QP_INFINITE && remaining_ms(deadline, timeout_ms) == 0) return QP_WAIT_TIMEOUT;
  }
}

void qp_event_close(qp_event *event) {
  if (event == nullptr) return;
  close(event->fd);
  delete event;
}

void qp_event_link_fd(qp_event *event, int fd) {
  if (event != nullptr) event->link_fd.store(fd);
}

// Unnamed mutex: recursive and owned by a thread, as a Windows mutex is. Ownership is kept
// here, so that a release by a thread that does not own it is refused without touching the
// lock.
struct qp_mutex {
  pthread_mutex_t mutex;
  std::atomic<uintptr_t> owner{0};
  uint32_t depth = 0;  // changed only by the owner
};

namespace {
thread_local char t_thread_marker;
uintptr_t this_thread_id() {
  return reinterpret_cast<uintptr_t>(&t_thread_marker);
}
}  // namespace

qp_mutex *qp_mutex_create(void) {
  if (qp_fault_hit("mutex_create")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  qp_mutex *m = new qp_mutex;
  int rc = pthread_mutex_init(&m->mutex, nullptr);
  if (rc != 0) {
    delete m;
    qp_set_error_from_errno(rc);
    return nullptr;
  }
  return m;
}

uint32_t qp_mutex_wait(qp_mutex *m, uint32_t timeout_ms) {
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return QP_WAIT_FAILED;
  }
  if (qp_fault_hit("mutex_wait")) {
    SetLastError(ERROR_INVALID_HANDLE);
    return QP_WAIT_FAILED;
  }
  if (m->owner.load() == this_thread_id()) {
    ++m->depth;
    return QP_WAIT_OBJECT_0;
  }
  int rc;
  if (timeout_ms == QP_INFINITE) {
    rc = pthread_mutex_lock(&m->mutex);
  } else {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += timeout_ms / 1000;
    ts.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
      ts.tv_sec += 1;
      ts.tv_nsec -= 1000000000L;
    }
    rc = pthread_mutex_timedlock(&m->mutex, &ts);
  }
  if (rc == ETIMEDOUT) return QP_WAIT_TIMEOUT;
  if (rc != 0) {
    qp_set_error_from_errno(rc);
    return QP_WAIT_FAILED;
  }
  m->owner.store(this_thread_id());
  m->depth = 1;
  return QP_WAIT_OBJECT_0;
}

int qp_mutex_release(qp_mutex *m) {
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (m->owner.load() != this_thread_id()) {
    SetLastError(ERROR_NOT_OWNER);
    return 0;
  }
  if (--m->depth == 0) {
    m->owner.store(0);
    pthread_mutex_unlock(&m->mutex);
  }
  return 1;
}

void qp_mutex_close(qp_mutex *m) {
  if (m == nullptr) return;
  pthread_mutex_destroy(&m->mutex);
  delete m;
}

// Named mutex. Every open handle holds a shared open-file-description lock on byte 1 of the
// lock file, so the mutex exists while any handle does; a handle tells whether others exist
// by asking for a conflicting lock without taking one. The test and the handle's own mark are
// made under an exclusive flock of the file, so two creators never both see a new mutex.
// Ownership is an open-file-description lock on byte 0, which the kernel drops when the
// owner's process dies. Threads of one process that share a handle are ordered by the
// handle's own mutex first.
struct qp_named_mutex {
  int fd;
  qp_mutex *local;     // orders the threads of this process that share the handle
  uint32_t depth = 0;  // changed only by the thread that owns local
};

namespace {

constexpr off_t kOwnerByte = 0;
constexpr off_t kHandleByte = 1;

bool named_mutex_path(const char *name, char *out, size_t size) {
  char dir[512];
  if (!qp_runtime_path("mutex", dir, sizeof dir)) return false;
  char clean[256];
  snprintf(clean, sizeof clean, "%s", name);
  for (char *p = clean; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/') *p = '_';
  int n = snprintf(out, size, "%s/%s", dir, clean);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

bool ofd_lock(int fd, short type, off_t byte = kOwnerByte) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Whether another handle holds its mark on the file behind FD.
bool other_handles(int fd, bool *found) {
  struct flock fl;
  memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kHandleByte;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  *found = fl.l_type != F_UNLCK;
  return true;
}

// Takes the exclusive flock that orders the opening of handles. Holders keep it for a few
// instructions only, so a lock that stays taken for a whole second is held by someone who
// means harm (or hung): the open then fails with ERROR_TIMEOUT rather than blocking its
// caller, a service start-up say, for ever.
constexpr uint32_t kOpenLockWaitMs = 1000;
constexpr useconds_t kOpenLockPollUs = 1000;

bool take_open_lock(int fd, uint32_t *error) {
  uint64_t deadline = qp_real_tick_ms() + kOpenLockWaitMs;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = qp_error_from_errno(errno);
      return false;
    }
    if (qp_real_tick_ms() >= deadline) {
      *error = ERROR_TIMEOUT;
      return false;
    }
    usleep(kOpenLockPollUs);
  }
  return true;
}

// Opens the lock file at PATH (creating it when CREATE, mode 0660: other users cannot open it
// to hold its locks), tests for other handles and marks this one, all under the file's
// exclusive flock. A link or anything but a plain file at PATH is refused. Returns the
// descriptor, or -1 with the last error set; *EXISTED tells whether other handles were there.
// With !CREATE a mutex that has no handle fails with ERROR_FILE_NOT_FOUND.
int open_handle(const char *path, bool create, bool *existed) {
  int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0660);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  uint32_t error = ERROR_SUCCESS;
  if (!take_open_lock(fd, &error)) {
    close(fd);
    SetLastError(error);
    return -1;
  }
  if (!other_handles(fd, existed)) {
    error = qp_error_from_errno(errno);
  } else if (!create && !*existed) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (!ofd_lock(fd, F_RDLCK, kHandleByte)) {
    error = qp_error_from_errno(errno);
  }
  flock(fd, LOCK_UN);
  if (error != ERROR_SUCCESS) {
    close(fd);
    SetLastError(error);
    return -1;
  }
  return fd;
}

}  // namespace

qp_named_mutex *qp_named_mutex_create(const char *name, int *already_exists) {
  if (already_exists != nullptr) *already_exists = 0;
  char path[600];
  if (name == nullptr || !named_mutex_path(name, path, sizeof path)) return nullptr;
  bool exists = false;
  int fd = open_handle(path, true, &exists);
  if (fd < 0) return nullptr;
  qp_named_mutex *m = new qp_named_mutex;
  m->fd = fd;
  m->local = qp_mutex_create();
  if (exists) {
    if (already_exists != nullptr) *already_exists = 1;
    SetLastError(ERROR_ALREADY_EXISTS);
  } else {
    SetLastError(ERROR_SUCCESS);
  }
  return m;
}

qp_named_mutex *qp_named_mutex_open(const char *name) {
  char path[600];
  if (name == nullptr || !named_mutex_path(name, path, sizeof path)) return nullptr;
  bool exists = false;
  int fd = open_handle(path, false, &exists);
  if (fd < 0) return nullptr;
  qp_named_mutex *m = new qp_named_mutex;
  m->fd = fd;
  m->local = qp_mutex_create();
  return m;
}

uint32_t qp_named_mutex_wait(qp_named_mutex *m, uint32_t timeout_ms) {
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return QP_WAIT_FAILED;
  }
  uint64_t deadline = qp_real_tick_ms() + (timeout_ms == QP_INFINITE ? 0 : timeout_ms);
  uint32_t local = qp_mutex_wait(m->local, timeout_ms);
  if (local != QP_WAIT_OBJECT_0) return local;
  if (m->depth > 0) {  // this thread owns it already
    ++m->depth;
    return QP_WAIT_OBJECT_0;
  }
  while (!ofd_lock(m->fd, F_WRLCK)) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
      uint32_t code = qp_error_from_errno(errno);
      qp_mutex_release(m->local);
      SetLastError(code);
      return QP_WAIT_FAILED;
    }
    if (timeout_ms != QP_INFINITE && remaining_ms(deadline, timeout_ms) == 0) {
      qp_mutex_release(m->local);
      return QP_WAIT_TIMEOUT;
    }
    usleep(2000);
  }
  m->depth = 1;
  return QP_WAIT_OBJECT_0;
}

int qp_named_mutex_release(qp_named_mutex *m) {
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (m->local->owner.load() != this_thread_id() || m->depth == 0) {
    SetLastError(ERROR_NOT_OWNER);
    return 0;
  }
  if (--m->depth == 0) ofd_lock(m->fd, F_UNLCK);
  qp_mutex_release(m->local);
  return 1;
}

void qp_named_mutex_close(qp_named_mutex *m) {
  if (m == nullptr) return;
  close(m->fd);  // drops the handle's mark and any ownership lock
  qp_mutex_close(m->local);
  delete m;
}

// Threads. The state block is shared by the thread and its handle and freed by the last.
struct qp_thread {
  qp_thread_fn fn;
  void *arg;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  uint32_t result = 0;
  std::atomic<int> refs{2};
};

namespace {

void thread_unref(qp_thread *t) {
  if (t->refs.fetch_sub(1) == 1) delete t;
}

void *thread_start(void *p) {
  qp_thread *t = static_cast<qp_thread *>(p);
  uint32_t result = t->fn(t->arg);
  {
    std::lock_guard<std::mutex> guard(t->lock);
    t->result = result;
    t->done = true;
  }
  t->ended.notify_all();
  thread_unref(t);
  return nullptr;
}

}  // namespace

qp_thread *qp_thread_create(qp_thread_fn fn, void *arg, size_t stack_size) {
  if (qp_fault_hit("thread_create")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  qp_thread *t = new qp_thread;
  t->fn = fn;
  t->arg = arg;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // Windows callers ask for stacks as small as 2 KB; the C runtime here needs more.
  const size_t minimum = 256 * 1024;
  if (stack_size < minimum) stack_size = minimum;
  pthread_attr_setstacksize(&attr, stack_size);
  pthread_t id;
  int rc = pthread_create(&id, &attr, thread_start, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    qp_set_error_from_errno(rc);
    return nullptr;
  }
  return t;
}

uint32_t qp_thread_wait(qp_thread *t, uint32_t timeout_ms, uint32_t *result) {
  if (t == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return QP_WAIT_FAILED;
  }
  std::unique_lock<std::mutex> guard(t->lock);
  if (timeout_ms == QP_INFINITE) {
    t->ended.wait(guard, [t] { return t->done; });
  } else if (!t->ended.wait_for(guard, std::chrono::milliseconds(timeout_ms), [t] { return t->done; })) {
    return QP_WAIT_TIMEOUT;
  }
  if (result != nullptr) *result = t->result;
  return QP_WAIT_OBJECT_0;
}

void qp_thread_close(qp_thread *t) {
  if (t != nullptr) thread_unref(t);
}
