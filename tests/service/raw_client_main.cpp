// qt_raw_client: a peer that knows nothing of the platform layer, for tests that run it as
// another user.
//   qt_raw_client send SOCKET FRAME   connects to the pipe's socket, sends FRAME, prints the
//                                     reply ("reply: TEXT") or the failure ("error: errno N")
//   qt_raw_client lock FILE           opens FILE and takes an exclusive lock on it without
//                                     waiting: "locked" or "error: errno N"
// Exit status 0 when the step succeeded, 1 otherwise, 2 for a usage error.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int Fail(const char *step) {
  printf("error: %s errno %d\n", step, errno);
  return 1;
}

int Send(const char *socket_path, const char *frame) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail("socket");
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) return Fail("connect");
  if (send(fd, frame, strlen(frame), MSG_NOSIGNAL) < 0) return Fail("send");
  char reply[4096];
  ssize_t got = recv(fd, reply, sizeof reply - 1, 0);
  if (got < 0) return Fail("recv");
  reply[got] = '\0';
  printf("reply: %s\n", reply);
  close(fd);
  return 0;
}

int Lock(const char *path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail("open");
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Fail("flock");
  printf("locked\n");
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "send") == 0) return Send(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "lock") == 0) return Lock(argv[2]);
  fprintf(stderr, "usage: qt_raw_client send SOCKET FRAME | lock FILE\n");
  return 2;
}
