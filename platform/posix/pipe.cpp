// Message pipes over Unix SOCK_SEQPACKET sockets: server instances with an overlapped-style
// connect, and the client open with the busy wait.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "internal.h"
#include "quorin/qp_error.h"
#include "quorin/qp_pipe.h"
#include "quorin/qp_runtime.h"

struct qp_pipe {
  int fd = -1;         // the connected socket
  int listen_fd = -1;  // server instance: the pipe's listening socket (shared, not owned)
  qp_event *pending = nullptr;
  std::atomic<bool> aborted{false};
};

namespace {

// Listening sockets of the pipes this process serves, by pipe name. They live as long as
// the process, like the pipe name of a Windows server that keeps creating instances.
std::mutex g_listeners_lock;
struct Listener {
  int fd;       // the listening socket
  int lock_fd;  // the lock file that marks the pipe as served by this process
};
std::map<std::string, Listener> g_listeners;
// Connections reserved by qp_pipe_wait for the next qp_pipe_open of the same name.
std::mutex g_reserved_lock;
std::multimap<std::string, int> g_reserved;

uint32_t fail(uint32_t code) {
  SetLastError(code);
  return code;
}

std::string bare_name(const char *name) {
  static const char prefix[] = "\\\\.\\pipe\\";
  std::string n = name != nullptr ? name : "";
  if (n.size() > sizeof prefix - 1 && strncasecmp(n.c_str(), prefix, sizeof prefix - 1) == 0)
    n = n.substr(sizeof prefix - 1);
  for (char &c : n)
    if (c == '\\' || c == '/') c = '_';
  return n;
}

bool socket_address(const std::string &name, struct sockaddr_un &addr, std::string *dir_out = nullptr) {
  char dir[512];
  if (!qp_runtime_path("pipe", dir, sizeof dir)) return false;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  int n = snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", dir, name.c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof addr.sun_path) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (dir_out != nullptr) *dir_out = dir;
  return true;
}

// Clients beyond the instances a server allows find the pipe busy: the queue of pending
// connections is as long as the instances beyond the one being served. An "unlimited" pipe
// keeps a short queue too, so that a server that stops taking clients (it has as many as it
// serves) makes the next ones find the pipe busy instead of waiting unseen in a long queue.
constexpr int kUnlimitedBacklog = 64;
int backlog_for(uint32_t max_instances) {
  if (max_instances == 0 || max_instances >= 255) return kUnlimitedBacklog;
  return static_cast<int>(max_instances) - 1;
}

// Creates the listening socket of NAME: bound under a temporary name, given mode 0660 and the
// operators' group and then moved into place, so that no client ever sees it with wider
// rights. A lock file held for the life of the process marks the pipe as served by this
// process; it is never followed through a link.
uint32_t make_listener(const std::string &name, uint32_t max_instances, Listener *out) {
  struct sockaddr_un addr;
  std::string dir;
  if (!socket_address(name, addr, &dir)) return GetLastError();
  std::string lock_path = dir + "/." + name + ".lock";
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0660);
  if (lock_fd < 0) return fail(qp_error_from_errno(errno));
  struct stat lock_st;
  if (fstat(lock_fd, &lock_st) != 0 || !S_ISREG(lock_st.st_mode)) {
    close(lock_fd);
    return fail(ERROR_ACCESS_DENIED);
  }
  if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    close(lock_fd);
    return fail(ERROR_ACCESS_DENIED);  // another process serves this pipe
  }
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    uint32_t code = qp_error_from_errno(errno);
    close(lock_fd);
    return fail(code);
  }
  struct sockaddr_un temp = addr;
  snprintf(temp.sun_path, sizeof temp.sun_path, "%s/.%s.%d", dir.c_str(), name.c_str(),
           static_cast<int>(getpid()));
  unlink(temp.sun_path);
  gid_t operators;
  bool grouped = qp_operator_group(&operators);
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&temp), sizeof temp) != 0 ||
      chmod(temp.sun_path, 0660) != 0 ||
      (grouped && chown(temp.sun_path, static_cast<uid_t>(-1), operators) != 0) ||
      listen(fd, backlog_for(max_instances)) != 0 || rename(temp.sun_path, addr.sun_path) != 0) {
    uint32_t code = qp_error_from_errno(errno);
    unlink(temp.sun_path);
    close(fd);
    close(lock_fd);
    return fail(code);
  }
  // lock_fd stays open (and locked) while the pipe is served.
  out->fd = fd;
  out->lock_fd = lock_fd;
  return ERROR_SUCCESS;
}

}  // namespace

uint32_t qp_pipe_create(const char *name, uint32_t max_instances, uint32_t buffer_size, qp_pipe **pipe) {
  (void)buffer_size;  // a message of any size up to the socket's buffer fits
  if (pipe == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *pipe = nullptr;
  if (qp_fault_hit("pipe_create")) return fail(ERROR_NOT_ENOUGH_MEMORY);
  std::string n = bare_name(name);
  if (n.empty()) return fail(ERROR_INVALID_NAME);
  int listen_fd = -1;
  {
    std::lock_guard<std::mutex> guard(g_listeners_lock);
    auto it = g_listeners.find(n);
    if (it == g_listeners.end()) {
      Listener listener;
      uint32_t code = make_listener(n, max_instances, &listener);
      if (code != ERROR_SUCCESS) return code;
      g_listeners[n] = listener;
      listen_fd = listener.fd;
    } else {
      listen_fd = it->second.fd;
    }
  }
  qp_pipe *p = new qp_pipe;
  p->listen_fd = listen_fd;
  *pipe = p;
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_pipe_connect(qp_pipe *pipe, qp_event *event) {
  if (pipe == nullptr || pipe->listen_fd < 0) return fail(ERROR_INVALID_HANDLE);
  if (pipe->fd >= 0) return fail(ERROR_PIPE_CONNECTED);
  if (qp_fault_hit("pipe_connect")) return fail(ERROR_INVALID_HANDLE);
  int fd = accept4(pipe->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) {
    pipe->fd = fd;
    return fail(ERROR_PIPE_CONNECTED);
  }
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
    return fail(qp_error_from_errno(errno));
  pipe->pending = event;
  qp_event_link_fd(event, pipe->listen_fd);
  return fail(ERROR_IO_PENDING);
}

uint32_t qp_pipe_connect_result(qp_pipe *pipe) {
  if (pipe == nullptr || pipe->listen_fd < 0) return fail(ERROR_INVALID_HANDLE);
  if (pipe->fd >= 0) return ERROR_SUCCESS;
  int fd = accept4(pipe->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    // The connect is over either way: the caller's event no longer follows this instance.
    if (pipe->pending != nullptr) {
      qp_event_link_fd(pipe->pending, -1);
      pipe->pending = nullptr;
    }
    if (err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED) return fail(ERROR_IO_INCOMPLETE);
    return fail(qp_error_from_errno(err));
  }
  pipe->fd = fd;
  if (pipe->pending != nullptr) {
    qp_event_link_fd(pipe->pending, -1);
    pipe->pending = nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

void qp_pipe_close_server(const char *name) {
  std::string n = bare_name(name);
  std::lock_guard<std::mutex> guard(g_listeners_lock);
  auto it = g_listeners.find(n);
  if (it == g_listeners.end()) return;
  struct sockaddr_un addr;
  if (socket_address(n, addr)) unlink(addr.sun_path);
  close(it->second.fd);
  close(it->second.lock_fd);
  g_listeners.erase(it);
}

void qp_pipe_cancel_io(qp_pipe *pipe) {
  if (pipe == nullptr) return;
  if (pipe->pending != nullptr) {
    qp_event_link_fd(pipe->pending, -1);
    pipe->pending = nullptr;
  }
  if (pipe->fd >= 0) {
    // A read blocked on this connection returns with ERROR_OPERATION_ABORTED. Only the
    // receiving side is shut: a message already read is still answered, as cancelling an I/O
    // that has completed has no effect.
    pipe->aborted.store(true);
    shutdown(pipe->fd, SHUT_RD);
  }
}

uint32_t qp_pipe_read(qp_pipe *pipe, void *buffer, uint32_t size, uint32_t *done) {
  if (done != nullptr) *done = 0;
  if (pipe == nullptr || pipe->fd < 0) return fail(ERROR_INVALID_HANDLE);
  struct iovec iov = {buffer, size};
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t got;
  do {
    got = recvmsg(pipe->fd, &msg, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && errno == ECONNRESET) {
    // The peer closed with a message of ours unread. The kernel reports that once, ahead of
    // what the peer wrote before it closed: the reply it sent is still there to be read.
    do {
      got = recvmsg(pipe->fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return fail(ERROR_BROKEN_PIPE);
  }
  if (got < 0) return fail(qp_error_from_errno(errno));
  if (got == 0) {
    if (pipe->aborted.load()) return fail(ERROR_OPERATION_ABORTED);
    // End of stream and an empty message both read as 0 bytes; an empty message leaves the
    // connection open (nothing more yet, or the next message waiting), which a peek without
    // waiting tells apart.
    char probe;
    ssize_t peek = recv(pipe->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peek > 0 || (peek < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
      SetLastError(ERROR_SUCCESS);
      return ERROR_SUCCESS;
    }
    return fail(ERROR_BROKEN_PIPE);
  }
  if (done != nullptr) *done = static_cast<uint32_t>(got);
  if (msg.msg_flags & MSG_TRUNC) return fail(ERROR_MORE_DATA);
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_pipe_write(qp_pipe *pipe, const void *buffer, uint32_t size, uint32_t *done) {
  if (done != nullptr) *done = 0;
  if (pipe == nullptr || pipe->fd < 0) return fail(ERROR_INVALID_HANDLE);
  if (qp_fault_hit("pipe_write")) return fail(ERROR_NO_DATA);
  ssize_t put;
  do {
    put = send(pipe->fd, buffer, size, MSG_NOSIGNAL);
  } while (put < 0 && errno == EINTR);
  if (put < 0) {
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return fail(ERROR_NO_DATA);
    if (errno == EMSGSIZE) return fail(ERROR_INVALID_PARAMETER);
    return fail(qp_error_from_errno(errno));
  }
  if (done != nullptr) *done = static_cast<uint32_t>(put);
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_pipe_flush(qp_pipe *pipe) {
  // What was written stays readable by the peer after this side closes, so there is nothing
  // to wait for.
  if (pipe == nullptr || pipe->fd < 0) return fail(ERROR_INVALID_HANDLE);
  return ERROR_SUCCESS;
}

namespace {

// Closes a connection cleanly: a peer's message that was never read (a second request on a
// connection that carries one) is discarded first, as closing with it unread would make the
// peer's next read fail with a reset instead of delivering the reply written to it. Shutting
// the receiving side first makes any later message of the peer fail at its end.
void close_connection(int fd) {
  shutdown(fd, SHUT_RD);
  char discard[256];
  while (recv(fd, discard, sizeof discard, MSG_DONTWAIT | MSG_TRUNC) > 0) {
  }
  close(fd);
}

}  // namespace

uint32_t qp_pipe_disconnect(qp_pipe *pipe) {
  if (pipe == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (pipe->fd >= 0) {
    close_connection(pipe->fd);
    pipe->fd = -1;
  }
  return ERROR_SUCCESS;
}

void qp_pipe_close(qp_pipe *pipe) {
  if (pipe == nullptr) return;
  if (pipe->pending != nullptr) qp_event_link_fd(pipe->pending, -1);
  if (pipe->fd >= 0) close_connection(pipe->fd);
  delete pipe;
}

// The watch of connected instances: an epoll set, whose descriptor is readable while one of
// its connections is; the event stands for that readability in qp_wait_any.
struct qp_pipe_watch {
  int fd = -1;
  qp_event *event = nullptr;
};

qp_pipe_watch *qp_pipe_watch_create(void) {
  int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    qp_set_error_from_errno(errno);
    return nullptr;
  }
  qp_event *event = qp_event_create(1, 0);
  if (event == nullptr) {
    close(fd);
    return nullptr;
  }
  qp_event_link_fd(event, fd);
  qp_pipe_watch *watch = new qp_pipe_watch;
  watch->fd = fd;
  watch->event = event;
  return watch;
}

qp_event *qp_pipe_watch_event(qp_pipe_watch *watch) {
  return watch != nullptr ? watch->event : nullptr;
}

uint32_t qp_pipe_watch_add(qp_pipe_watch *watch, qp_pipe *pipe, void *key) {
  if (watch == nullptr || pipe == nullptr || pipe->fd < 0) return fail(ERROR_INVALID_HANDLE);
  struct epoll_event ev;
  memset(&ev, 0, sizeof ev);
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = key;
  if (epoll_ctl(watch->fd, EPOLL_CTL_ADD, pipe->fd, &ev) != 0) return fail(qp_error_from_errno(errno));
  return ERROR_SUCCESS;
}

void qp_pipe_watch_remove(qp_pipe_watch *watch, qp_pipe *pipe) {
  if (watch == nullptr || pipe == nullptr || pipe->fd < 0) return;
  epoll_ctl(watch->fd, EPOLL_CTL_DEL, pipe->fd, nullptr);
}

uint32_t qp_pipe_watch_ready(qp_pipe_watch *watch, void **keys, uint32_t max) {
  if (watch == nullptr || keys == nullptr || max == 0) return 0;
  struct epoll_event ready[64];
  int n;
  do {
    n = epoll_wait(watch->fd, ready, static_cast<int>(max < 64 ? max : 64), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  for (int i = 0; i < n; ++i) keys[i] = ready[i].data.ptr;
  return static_cast<uint32_t>(n);
}

void qp_pipe_watch_close(qp_pipe_watch *watch) {
  if (watch == nullptr) return;
  qp_event_close(watch->event);
  close(watch->fd);
  delete watch;
}

uint32_t qp_pipe_open(const char *name, qp_pipe **pipe) {
  if (pipe == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *pipe = nullptr;
  std::string n = bare_name(name);
  {
    std::lock_guard<std::mutex> guard(g_reserved_lock);
    auto it = g_reserved.find(n);
    if (it != g_reserved.end()) {
      qp_pipe *p = new qp_pipe;
      p->fd = it->second;
      g_reserved.erase(it);
      *pipe = p;
      SetLastError(ERROR_SUCCESS);
      return ERROR_SUCCESS;
    }
  }
  struct sockaddr_un addr;
  if (!socket_address(n, addr)) return GetLastError();
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(qp_error_from_errno(errno));
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    if (err == EAGAIN || err == EWOULDBLOCK) return fail(ERROR_PIPE_BUSY);
    if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR) return fail(ERROR_FILE_NOT_FOUND);
    if (err == EACCES || err == EPERM) return fail(ERROR_ACCESS_DENIED);
    return fail(qp_error_from_errno(err));
  }
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  qp_pipe *p = new qp_pipe;
  p->fd = fd;
  *pipe = p;
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_pipe_wait(const char *name, uint32_t timeout_ms) {
  std::string n = bare_name(name);
  struct sockaddr_un addr;
  if (!socket_address(n, addr)) return GetLastError();
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(qp_error_from_errno(errno));
  // A blocking connect waits for room in the server's queue for at most the send time-out.
  struct timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  if (timeout_ms == 0) tv.tv_usec = 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    close(fd);
    if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT || err == EINPROGRESS)
      return fail(ERROR_SEM_TIMEOUT);
    if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR) return fail(ERROR_FILE_NOT_FOUND);
    if (err == EACCES || err == EPERM) return fail(ERROR_ACCESS_DENIED);
    return fail(qp_error_from_errno(err));
  }
  struct timeval none = {0, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  std::lock_guard<std::mutex> guard(g_reserved_lock);
  g_reserved.emplace(n, fd);
  SetLastError(ERROR_SUCCESS);
  return ERROR_SUCCESS;
}

uint32_t qp_pipe_set_message_mode(qp_pipe *pipe) {
  if (pipe == nullptr || pipe->fd < 0) return fail(ERROR_INVALID_HANDLE);
  if (qp_fault_hit("pipe_mode")) return fail(ERROR_ACCESS_DENIED);
  return ERROR_SUCCESS;
}
