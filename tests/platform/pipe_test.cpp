// Message pipes: one message per read, long messages, peers that close, busy pipes, rights.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

class PipeTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUORIN_RUNTIME_DIR", runtime_.path().c_str(), 1); }
  // Connects the server instance to a client that the test has opened.
  qp_pipe *accept_one(qp_pipe *server) {
    qp_event *ev = qp_event_create(1, 0);
    uint32_t rc = qp_pipe_connect(server, ev);
    if (rc == ERROR_IO_PENDING) {
      EXPECT_EQ(QP_WAIT_OBJECT_0, qp_event_wait(ev, 5000));
      EXPECT_EQ(ERROR_SUCCESS, qp_pipe_connect_result(server));
    } else {
      EXPECT_EQ(ERROR_PIPE_CONNECTED, rc);
    }
    qp_event_close(ev);
    return server;
  }
  qt::TempDir runtime_{"pipe"};
};

TEST_F(PipeTest, OneMessagePerReadAndTruncationOfLongOnes) {
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("\\\\.\\pipe\\qtpipe1", 255, 4096, &server));
  qp_pipe *client = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\qtpipe1", &client));
  accept_one(server);
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_set_message_mode(client));
  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "C02 0000", 8, &done));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "K02 0000", 8, &done));
  std::string big(5000, 'x');
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, big.data(), 5000, &done));
  char buf[4096];
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ("C02 0000", std::string(buf, done));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ("K02 0000", std::string(buf, done));
  EXPECT_EQ(ERROR_MORE_DATA, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ(4096u, done);
  // Reply, then the client closes: the server's next read sees a broken pipe.
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(server, "C02 00014", 9, &done));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_flush(server));
  qp_pipe_disconnect(server);
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(client, buf, sizeof buf, &done));
  EXPECT_EQ("C02 00014", std::string(buf, done));
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(client, buf, sizeof buf, &done));
  EXPECT_EQ(0u, done);
  EXPECT_EQ(ERROR_NO_DATA, qp_pipe_write(client, "x", 1, &done));
  qp_pipe_close(client);
  qp_pipe_close(server);
}

TEST_F(PipeTest, EmptyMessagesAndCancelledReads) {
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtcancel", 255, 4096, &server));
  qp_pipe *client = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("qtcancel", &client));
  accept_one(server);
  char buf[64];
  uint32_t done = 99;
  // An empty message reads as 0 bytes with the connection still open, also when the next
  // message already waits behind it.
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "", 0, &done));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "C02 0000", 8, &done));
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ(0u, done);
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ("C02 0000", std::string(buf, done));

  // A read blocked on the connection ends with ERROR_OPERATION_ABORTED when it is cancelled.
  uint32_t blocked_rc = 0;
  std::atomic<pid_t> reader_tid{0};
  std::thread reader([&] {
    reader_tid.store(qt::thread_id());
    blocked_rc = qp_pipe_read(server, buf, sizeof buf, &done);
  });
  ASSERT_TRUE(qt::wait_until([&] { return reader_tid.load() != 0; }));
  EXPECT_TRUE(qt::wait_in_syscall(reader_tid.load(), {SYS_recvmsg}));
  qp_pipe_cancel_io(server);
  reader.join();
  EXPECT_EQ(ERROR_OPERATION_ABORTED, blocked_rc);
  qp_pipe_close(client);
  qp_pipe_close(server);

  // A message that had arrived before the cancel is still read and can still be answered.
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtcancel", 255, 4096, &server));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("qtcancel", &client));
  accept_one(server);
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "CSD 00011", 9, &done));
  qp_pipe_cancel_io(server);
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ("CSD 00011", std::string(buf, done));
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_write(server, "CSD 00", 6, &done));
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(client, buf, sizeof buf, &done));
  EXPECT_EQ("CSD 00", std::string(buf, done));
  qp_pipe_close(client);
  qp_pipe_close(server);
}

TEST_F(PipeTest, PendingConnectWaitsWithAStopEvent) {
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtpipe2", 255, 4096, &server));
  qp_event *connect_event = qp_event_create(1, 0);
  qp_event *stop = qp_event_create(1, 0);
  ASSERT_EQ(ERROR_IO_PENDING, qp_pipe_connect(server, connect_event));
  qp_event *events[2] = {connect_event, stop};
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_wait_any(2, events, 50));
  // The stop comes while the wait below is under way.
  pid_t waiter = qt::thread_id();
  std::thread stopper([stop, waiter] {
    EXPECT_TRUE(qt::wait_in_syscall(waiter, {SYS_poll, SYS_ppoll}));
    qp_event_set(stop);
  });
  EXPECT_EQ(QP_WAIT_OBJECT_0 + 1, qp_wait_any(2, events, 5000));
  stopper.join();
  qp_pipe_cancel_io(server);
  qp_pipe_close(server);

  // A client arriving while the connect is pending signals the connect event.
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtpipe2", 255, 4096, &server));
  qp_event_reset(stop);
  ASSERT_EQ(ERROR_IO_PENDING, qp_pipe_connect(server, connect_event));
  qp_pipe *client = nullptr;
  std::thread connector([&client] { EXPECT_EQ(ERROR_SUCCESS, qp_pipe_open("qtpipe2", &client)); });
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_wait_any(2, events, 5000));
  connector.join();
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_connect_result(server));
  // The client closes without writing: ERROR_BROKEN_PIPE on the server's read.
  qp_pipe_close(client);
  char buf[16];
  uint32_t done = 99;
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(server, buf, sizeof buf, &done));
  EXPECT_EQ(0u, done);
  qp_pipe_close(server);
  qp_event_close(connect_event);
  qp_event_close(stop);
}

TEST_F(PipeTest, MissingAndBusyPipes) {
  qp_pipe *client = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_pipe_open("nosuchpipe", &client));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_pipe_wait("nosuchpipe", 100));

  // One instance allowed: one client may wait in the queue, the next finds the pipe busy.
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtbusy", 1, 4096, &server));
  qp_pipe *first = nullptr, *second = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("qtbusy", &first));
  EXPECT_EQ(ERROR_PIPE_BUSY, qp_pipe_open("qtbusy", &second));
  EXPECT_EQ(ERROR_SEM_TIMEOUT, qp_pipe_wait("qtbusy", 100));
  // Once the server takes the waiting client, a wait succeeds and the next open gets the pipe.
  pid_t waiter = qt::thread_id();
  std::thread taker([this, server, waiter] {
    EXPECT_TRUE(qt::wait_in_syscall(waiter, {SYS_connect}));
    accept_one(server);
  });
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_wait("qtbusy", 5000));
  taker.join();
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_open("qtbusy", &second));
  uint32_t done;
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_write(second, "hello", 5, &done));
  qp_pipe_close(first);
  qp_pipe_close(second);
  qp_pipe_close(server);
}

TEST_F(PipeTest, AServerThatStopsServingLeavesNoPipe) {
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtclosed", 255, 4096, &server));
  qp_pipe *queued = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("qtclosed", &queued));  // waits in the queue, never taken
  qp_pipe_close(server);
  qp_pipe_close_server("qtclosed");
  char buf[16];
  uint32_t done = 0;
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(queued, buf, sizeof buf, &done));
  qp_pipe_close(queued);
  qp_pipe *late = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_pipe_open("qtclosed", &late));
  // The pipe can be served again afterwards.
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtclosed", 255, 4096, &server));
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_open("qtclosed", &late));
  qp_pipe_close(late);
  qp_pipe_close(server);
}

// A raw SEQPACKET peer at the pipe's socket, for checking each side of the pipe alone.
int RawSocket() {
  return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
}
struct sockaddr_un PipeAddress(const std::string &runtime, const std::string &name) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s/pipe/%s", runtime.c_str(), name.c_str());
  return addr;
}

// A client that sends two messages at once on a connection that carries one request still
// reads the reply: the server discards the second message when it disconnects, and a client
// whose second message a server closed on unread still reads what it was sent.
TEST_F(PipeTest, TwoMessagesAtOnceStillGetTheReply) {
  // The server side alone: a raw client, the layer's server.
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qttwo", 255, 4096, &server));
  int raw = RawSocket();
  struct sockaddr_un addr = PipeAddress(runtime_.path(), "qttwo");
  ASSERT_EQ(0, connect(raw, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr));
  accept_one(server);
  ASSERT_EQ(8, send(raw, "C02 0000", 8, 0));
  ASSERT_EQ(8, send(raw, "K02 0000", 8, 0));
  char buf[64];
  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_read(server, buf, sizeof buf, &done));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(server, "C02 00014", 9, &done));
  qp_pipe_disconnect(server);
  EXPECT_EQ(9, recv(raw, buf, sizeof buf, 0)) << strerror(errno);
  EXPECT_EQ(0, recv(raw, buf, sizeof buf, 0)) << "then the end of the connection";
  EXPECT_EQ(-1, send(raw, "PCS 0000", 8, MSG_NOSIGNAL)) << "a later message fails at the client";
  close(raw);
  qp_pipe_close(server);
  qp_pipe_close_server("qttwo");

  // The client side alone: a raw server that closes with the second message unread.
  int listener = RawSocket();
  std::string folder = runtime_.path() + "/pipe";
  mkdir(folder.c_str(), 0750);
  addr = PipeAddress(runtime_.path(), "qtraw");
  ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(listener, 4));
  qp_pipe *client = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("qtraw", &client));
  int accepted = accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "C02 0000", 8, &done));
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(client, "K02 0000", 8, &done));
  ASSERT_EQ(8, recv(accepted, buf, sizeof buf, 0));
  ASSERT_EQ(9, send(accepted, "C02 00014", 9, 0));
  close(accepted);  // the second message unread: the kernel reports a reset first
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(client, buf, sizeof buf, &done));
  EXPECT_EQ("C02 00014", std::string(buf, done));
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(client, buf, sizeof buf, &done));
  qp_pipe_close(client);
  close(listener);
}

// The watch names the connections that have a message or whose peer has gone, by their keys,
// and none other; a connection taken out of it is no longer named.
TEST_F(PipeTest, TheWatchNamesConnectionsWithSomethingToRead) {
  qp_pipe_watch *watch = qp_pipe_watch_create();
  ASSERT_NE(nullptr, watch);
  qp_pipe *servers[3] = {}, *clients[3] = {};
  int keys[3] = {0, 1, 2};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtwatch", 255, 4096, &servers[i]));
    ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("qtwatch", &clients[i]));
    accept_one(servers[i]);
    ASSERT_EQ(ERROR_SUCCESS, qp_pipe_watch_add(watch, servers[i], &keys[i]));
  }
  qp_event *ready = qp_pipe_watch_event(watch);
  void *found[8];
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_wait_any(1, &ready, 50));
  EXPECT_EQ(0u, qp_pipe_watch_ready(watch, found, 8));

  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(clients[1], "C02 0000", 8, &done));
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_wait_any(1, &ready, 5000));
  ASSERT_EQ(1u, qp_pipe_watch_ready(watch, found, 8));
  EXPECT_EQ(&keys[1], found[0]);
  // Still ready until read or removed; removed, it is named no more.
  EXPECT_EQ(1u, qp_pipe_watch_ready(watch, found, 8));
  qp_pipe_watch_remove(watch, servers[1]);
  EXPECT_EQ(0u, qp_pipe_watch_ready(watch, found, 8));

  qp_pipe_close(clients[2]);  // a peer that goes
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_wait_any(1, &ready, 5000));
  ASSERT_EQ(1u, qp_pipe_watch_ready(watch, found, 8));
  EXPECT_EQ(&keys[2], found[0]);
  char buf[16];
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(servers[2], buf, sizeof buf, &done));

  qp_pipe_watch_close(watch);
  for (int i = 0; i < 3; ++i) {
    if (i != 2) qp_pipe_close(clients[i]);
    qp_pipe_close(servers[i]);
  }
}

TEST_F(PipeTest, OutsidersOfTheOwningGroupCannotConnect) {
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtrights", 255, 4096, &server));
  // Owner and group may read and write the socket, nobody else.
  struct stat st;
  ASSERT_EQ(0, stat((runtime_.path() + "/pipe/qtrights").c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0660u, st.st_mode & 07777u);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  std::string runtime = runtime_.path();
  chmod(runtime.c_str(), 0755);
  chmod((runtime + "/pipe").c_str(), 0755);
  // A child process that drops to the user "nobody" tries to connect.
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    qp_pipe *client = nullptr;
    uint32_t rc = qp_pipe_open("qtrights", &client);
    _exit(rc == ERROR_ACCESS_DENIED ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  qp_pipe_close(server);
}

}  // namespace
