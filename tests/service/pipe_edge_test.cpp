// Pipe edge cases: short, long and oversized requests, peers that close, one request per
// connection.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quorin/platform.h"
#include "service_fixture.h"
#include "timing.h"

namespace {

// Opens a connection, writes REQUEST, returns the read result and what came back.
uint32_t Exchange(qp_pipe *pipe, const std::string &request, std::string *reply) {
  uint32_t done = 0;
  qp_pipe_write(pipe, request.data(), static_cast<uint32_t>(request.size()), &done);
  char buffer[4096];
  uint32_t rc = qp_pipe_read(pipe, buffer, sizeof buffer, &done);
  reply->assign(buffer, done);
  return rc;
}

TEST_F(ServiceTest, ShortLongAndOversizedRequests) {
  Start();
  qp_pipe *pipe = nullptr;
  std::string reply;
  // Five bytes: not processed, no reply, disconnected.
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
  EXPECT_EQ(ERROR_BROKEN_PIPE, Exchange(pipe, "C02 0", &reply));
  EXPECT_EQ("", reply);
  qp_pipe_close(pipe);
  ASSERT_TRUE(WaitForLog("ProcessCommand failed", 0));
  EXPECT_TRUE(LogHas("Received (hex): 43 30 32 20 30"));

  // Up to 32 bytes are dumped in upper-case hexadecimal, from 33 on they are not.
  const std::string junk = "\xab\xcd\xef\xff" + std::string(20, 'Z');  // 24 bytes
  const std::string dump32 =
      "Received (hex): 43 30 32 20 30 30 31 38 AB CD EF FF 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A "
      "5A 5A "
      "5A 5A";
  struct Sized {
    std::string request;
    bool dumped;
  } sized[] = {{"C02 0018" + junk, true},
               {"C02 0019" + junk + "Z", false},
               {"C02 0020" + std::string(32, 'x'), false}};
  for (const Sized &c : sized) {
    size_t mark = LogMark();
    ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
    EXPECT_EQ(ERROR_SUCCESS, Exchange(pipe, c.request, &reply));
    EXPECT_EQ("C02 00014", reply);
    qp_pipe_close(pipe);
    std::string received = "Received data: " + std::to_string(c.request.size()) + " bytes";
    ASSERT_TRUE(WaitForLog("Client connection ended", mark)) << received;
    std::vector<std::string> texts = LogTexts();
    int at = FindText(texts, received, static_cast<int>(mark));
    ASSERT_GE(at, 0) << received;
    if (c.dumped)
      EXPECT_EQ(dump32, texts[static_cast<size_t>(at) + 1]);
    else
      EXPECT_EQ("Command received", texts[static_cast<size_t>(at) + 1]) << received;
  }
  // The reply is dumped too.
  EXPECT_TRUE(LogHas("Response (hex): 43 30 32 20 30 30 30 31 34"));

  // A message of exactly 4096 bytes is read whole and answered; one byte more and the read
  // reports ERROR_MORE_DATA with 4096 bytes, and nothing is answered. So does a far longer one.
  size_t mark = LogMark();
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
  EXPECT_EQ(ERROR_SUCCESS, Exchange(pipe, "C02 0000" + std::string(4088, 'y'), &reply));
  EXPECT_EQ("C02 00014", reply);
  qp_pipe_close(pipe);
  ASSERT_TRUE(WaitForLog("Received data: 4096 bytes", mark));
  for (size_t size : {4097u, 5008u}) {
    mark = LogMark();
    ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
    EXPECT_EQ(ERROR_BROKEN_PIPE, Exchange(pipe, "C02 0000" + std::string(size - 8, 'y'), &reply)) << size;
    qp_pipe_close(pipe);
    ASSERT_TRUE(WaitForLog("ReadFile failed (error: 0x000000ea, bytes: 4096)", mark)) << size;
  }
  EXPECT_EQ(4, qt::count_of(qt::read_file(LogPath()), "C02 response"));
}

TEST_F(ServiceTest, PeersThatCloseAndSecondRequests) {
  Start();
  qp_pipe *pipe = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
  qp_pipe_close(pipe);
  ASSERT_TRUE(WaitForLog("Client disconnected before sending data (ERROR_BROKEN_PIPE)", 0));

  // An empty message: read as 0 bytes with the connection open, and the connection ends.
  size_t mark = LogMark();
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
  std::string reply;
  EXPECT_EQ(ERROR_BROKEN_PIPE, Exchange(pipe, "", &reply));
  EXPECT_EQ("", reply);
  qp_pipe_close(pipe);
  ASSERT_TRUE(WaitForLog("Client connection ended", mark));
  std::vector<std::string> texts = LogTexts();
  int graceful = FindText(texts, "Client disconnected gracefully (0 bytes read)", static_cast<int>(mark));
  EXPECT_GE(graceful, 0);
  EXPECT_EQ(-1, FindText(texts, "Command received", static_cast<int>(mark)));

  // A second request over one connection is never read.
  mark = LogMark();
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe));
  EXPECT_EQ(ERROR_SUCCESS, Exchange(pipe, "C02 0000", &reply));
  EXPECT_EQ("C02 00014", reply);
  uint32_t rc = Exchange(pipe, "K02 0000", &reply);
  EXPECT_TRUE(rc == ERROR_BROKEN_PIPE || rc == ERROR_NO_DATA) << rc;
  qp_pipe_close(pipe);
  ASSERT_TRUE(WaitForLog("Client connection ended", mark));
  EXPECT_FALSE(LogHas("CMD: K02"));

  // Frames with junk: lengths and unit characters are echoed, not interpreted.
  EXPECT_EQ(
      "C02\xff"
      "00014",
      Send("C02\xff"
           "00ZZ"));
  EXPECT_EQ("PCS?0000", Send("PCS?00\x01\x02"));
}

TEST_F(ServiceTest, ClientsAreServedAtTheSameTime) {
  Start();
  // One client holds its connection without writing; the others are still answered.
  qp_pipe *idle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_open("\\\\.\\pipe\\npquomvl1", &idle));
  for (int i = 0; i < 20; ++i) EXPECT_EQ("C02 00014", Send("C02 0000"));
  qp_pipe_close(idle);
}

// The threads of the service process, from /proc.
int ServiceThreads(const std::string &runtime) {
  std::istringstream status(qt::read_file(runtime + "/services/Mavr_tsr_monitor"));
  std::string line;
  long pid = 0;
  while (std::getline(status, line))
    if (line.rfind("pid=", 0) == 0) pid = std::stol(line.substr(4));
  std::istringstream proc(qt::read_file("/proc/" + std::to_string(pid) + "/status"));
  while (std::getline(proc, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// Raises this process's limit of open descriptors to at least WANTED; false when it cannot.
bool RaiseDescriptorLimit(rlim_t wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Opens a connection as a client does: a busy pipe is waited for.
qp_pipe *Connect() {
  qp_pipe *pipe = nullptr;
  for (int attempt = 0; attempt < 200; ++attempt) {
    uint32_t rc = qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe);
    if (rc == ERROR_SUCCESS) return pipe;
    if (rc != ERROR_PIPE_BUSY) return nullptr;
    qp_pipe_wait("\\\\.\\pipe\\npquomvl1", 100);
  }
  return nullptr;
}

// Two messages sent at once on one connection: the reply to the first is read, the second is
// discarded by the service (never processed), and the connection then ends.
TEST_F(ServiceTest, TwoMessagesAtOnceGetTheReplyToTheFirst) {
  Start();
  for (int round = 0; round < 20; ++round) {
    qp_pipe *pipe = Connect();
    ASSERT_NE(nullptr, pipe);
    uint32_t done = 0;
    ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(pipe, "C02 0000", 8, &done));
    // The service may have answered and disconnected already: the second message then fails
    // at once; otherwise it waits unread until the service disconnects.
    uint32_t second = qp_pipe_write(pipe, "K02 0000", 8, &done);
    EXPECT_TRUE(second == ERROR_SUCCESS || second == ERROR_NO_DATA) << second;
    char buffer[64];
    EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(pipe, buffer, sizeof buffer, &done)) << "round " << round;
    EXPECT_EQ("C02 00014", std::string(buffer, done)) << "round " << round;
    EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(pipe, buffer, sizeof buffer, &done)) << "round " << round;
    qp_pipe_close(pipe);
  }
  EXPECT_FALSE(LogHas("CMD: K02"));
  EXPECT_EQ(20, qt::count_of(qt::read_file(LogPath()), "C02 response: 4"));
}

// A connected client has a bounded time to send its request: then it is dropped with a line
// saying so. A request sent within the time is answered.
TEST_F(ServiceTest, AClientThatSendsNothingIsDroppedWhenItsTimeIsUp) {
  // A time that holds the other client's pause and request ten times over on a busy machine.
  const long timeout_ms = qt::WindowForSteps(1);
  extra_env["QUORIN_PIPE_REQUEST_TIMEOUT_MS"] = std::to_string(timeout_ms);
  Start();
  uint64_t start = qp_real_tick_ms();
  qp_pipe *idle = Connect();
  ASSERT_NE(nullptr, idle);
  qp_pipe *late = Connect();
  ASSERT_NE(nullptr, late);
  qp_sleep_ms(static_cast<uint32_t>(qt::kLongestStepMs));
  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_write(late, "C02 0000", 8, &done));
  char buffer[64];
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_read(late, buffer, sizeof buffer, &done));
  EXPECT_EQ("C02 00014", std::string(buffer, done));
  qp_pipe_close(late);
  EXPECT_EQ(ERROR_BROKEN_PIPE, qp_pipe_read(idle, buffer, sizeof buffer, &done));
  // Dropped its time after it connected (a step after START at most).
  EXPECT_TRUE(qt::WithinNominal(static_cast<long>(qp_real_tick_ms() - start), timeout_ms, "request time",
                                qt::kLongestStepMs));
  qp_pipe_close(idle);
  EXPECT_EQ(1, qt::count_of(qt::read_file(LogPath()),
                            "Client sent no request within " + std::to_string(timeout_ms) + " ms"));
}

// 1,000 clients that connect and send nothing cost the service no thread and do not hold up
// another client: its C02 is answered within 1 s.
TEST_F(ServiceTest, ThousandIdleConnectionsDoNotHoldUpARequest) {
  constexpr int kIdle = 1000;
  constexpr uint64_t kAnswerWithinMs = 1000;
  if (!RaiseDescriptorLimit(kIdle + 200)) GTEST_SKIP() << "cannot open " << kIdle << " descriptors here";
  extra_env["QUORIN_PIPE_REQUEST_TIMEOUT_MS"] = "600000";  // held open for the whole test
  Start();
  std::vector<qp_pipe *> idle;
  for (int i = 0; i < kIdle; ++i) {
    qp_pipe *pipe = Connect();
    ASSERT_NE(nullptr, pipe) << i;
    idle.push_back(pipe);
  }
  ASSERT_TRUE(
      qt::wait_until([&] { return qt::count_of(qt::read_file(LogPath()), "Client connected") >= kIdle; },
                     std::chrono::seconds(60)));
  int threads = ServiceThreads(install.runtime());
  EXPECT_GT(threads, 0);
  EXPECT_LT(threads, 16) << "an idle connection costs no thread";
  uint64_t start = qp_real_tick_ms();
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  EXPECT_LT(qp_real_tick_ms() - start, kAnswerWithinMs);
  for (qp_pipe *pipe : idle) qp_pipe_close(pipe);
  EXPECT_FALSE(LogHas("Client sent no request within 600000 ms"));
}

// Requests beyond the 64 client threads wait, connected, for a thread to end; all are
// answered, and the service never runs more than 64 of them at once.
TEST_F(ServiceTest, RequestsBeyondTheThreadLimitWaitForAThread) {
  constexpr int kThreadLimit = 64, kRequests = kThreadLimit + 16;
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n");
  WriteScript("[status]\ndelay_ms=1500\n");
  Start();
  int base = ServiceThreads(install.runtime());
  std::atomic<bool> done{false};
  int most = 0;
  std::thread watcher([&] {
    while (!done.load()) {
      most = std::max(most, ServiceThreads(install.runtime()));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::vector<std::string> replies(kRequests);
  std::vector<std::thread> clients;
  for (int i = 0; i < kRequests; ++i)
    clients.emplace_back([this, i, &replies] { replies[i] = Send("K02 0000"); });
  for (std::thread &t : clients) t.join();
  done.store(true);
  watcher.join();
  for (const std::string &reply : replies) EXPECT_EQ("K02 00014", reply);
  EXPECT_LE(most, base + kThreadLimit);
  EXPECT_GE(most, base + kThreadLimit / 2) << "the requests ran side by side";
}

// While as many clients are connected as the service takes (4096), further ones find the pipe
// busy; once connections end, waiting clients get in.
TEST_F(ServiceTest, PastTheClientLimitClientsFindThePipeBusy) {
  constexpr int kLimit = 4096;
  if (!RaiseDescriptorLimit(kLimit + 400)) GTEST_SKIP() << "cannot open " << kLimit << " descriptors here";
  extra_env["QUORIN_PIPE_REQUEST_TIMEOUT_MS"] = "600000";
  Start();
  std::vector<qp_pipe *> held;
  uint32_t rc = ERROR_SUCCESS;
  // A busy pipe shows the limit only when the service had already taken kLimit clients before
  // the attempt: one found busy while it was still taking them (its queue full) may be followed
  // by the last of them being taken before the log is read. Once the log shows kLimit the
  // service takes no more, so the next attempt decides.
  bool all_taken = false;
  while (held.size() < kLimit + 200) {
    qp_pipe *pipe = nullptr;
    rc = qp_pipe_open("\\\\.\\pipe\\npquomvl1", &pipe);
    if (rc == ERROR_PIPE_BUSY && !all_taken) {
      all_taken = qt::count_of(qt::read_file(LogPath()), "Client connected") >= kLimit;
      if (!all_taken)
        qp_pipe_wait("\\\\.\\pipe\\npquomvl1", 100);  // the service is still taking the first ones
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    held.push_back(pipe);
  }
  EXPECT_EQ(ERROR_PIPE_BUSY, rc);
  EXPECT_GE(held.size(), static_cast<size_t>(kLimit));
  EXPECT_EQ(ERROR_SEM_TIMEOUT, qp_pipe_wait("\\\\.\\pipe\\npquomvl1", 100));
  std::string log = qt::read_file(LogPath());
  EXPECT_EQ(kLimit, qt::count_of(log, "Client connected"));
  EXPECT_EQ(1, qt::count_of(log, "Client limit reached (4096 connected): new clients find the pipe busy"));
  // Connections end: the clients waiting behind them get in, and a new client is answered.
  for (qp_pipe *pipe : held) qp_pipe_close(pipe);
  EXPECT_EQ("C02 00014", Send("C02 0000"));
}

TEST_F(ServiceTest, FailuresOfTheLoopAndItsThreadsAreLoggedAndServingGoesOn) {
  // Each fault fires once (thread creation twice): the delayed initialisation thread and the
  // first client thread, the first pipe instance, the connect event of the next one (the
  // service's first events are the stop event, the pipe loop's thread-end event and its client
  // watch), the connect after it, and the first reply.
  extra_env["QUORIN_FAULTS"] =
      "thread_create:0:2,pipe_create:0:1,event_create:3:1,pipe_connect:0:1,pipe_write:0:1";
  Start(false);
  ASSERT_TRUE(WaitForLog("ConnectNamedPipe failed (error: 0x00000006)", 0)) << qt::read_file(LogPath());
  std::vector<std::string> texts = LogTexts();
  int create = FindText(texts, "CreateNamedPipe failed (error: 0x00000008)");
  int event = FindText(texts, "CreateEvent failed (error: 0x00000008)");
  int connect = FindText(texts, "ConnectNamedPipe failed (error: 0x00000006)");
  EXPECT_GE(create, 0);
  EXPECT_GT(event, create);
  EXPECT_GT(connect, event);
  bool init_failed = false;
  for (const LogEntry &e : Log())
    if (e.text == "Warning: Failed to create delayed initialization thread") {
      init_failed = true;
      EXPECT_EQ(8u, e.code);
    }
  EXPECT_TRUE(init_failed);
  EXPECT_FALSE(LogHas("Delayed initialization thread started"));

  // The first client's thread cannot be created: disconnected without a reply.
  EXPECT_EQ("", Send("C02 0000"));
  EXPECT_TRUE(WaitForLog("CreateThread failed (error: 0x00000008)", 0));
  // The second one's reply cannot be written.
  EXPECT_EQ("", Send("C02 0000"));
  ASSERT_TRUE(WaitForLog("WriteFile failed (error: 0x000000e8)", 0));
  texts = LogTexts();
  int write = FindText(texts, "WriteFile failed (error: 0x000000e8)");
  EXPECT_EQ("Response (hex): 43 30 32 20 30 30 30 31 34", texts[static_cast<size_t>(write) - 1]);
  EXPECT_FALSE(LogHas("Sent data: 9 bytes"));
  // The service goes on: the next request is answered, without configuration or libraries.
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_FALSE(LogHas("Delayed initialization starting..."));
  Stop();
  EXPECT_TRUE(LogHas("quorinky_tsrx mutex closed"));
}

}  // namespace
