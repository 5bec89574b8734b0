// Pipe edge cases: short, long and oversized requests, peers that close, one request per
// connection.
#include <string>

#include "quorin/platform.h"
#include "service_fixture.h"

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

TEST_F(ServiceTest, FailuresOfTheLoopAndItsThreadsAreLoggedAndServingGoesOn) {
  // Each fault fires once (thread creation twice): the delayed initialisation thread and the
  // first client thread, the first pipe instance, the connect event of the next one (the stop
  // event is the service's first event), the connect after it, and the first reply.
  extra_env["QUORIN_FAULTS"] =
      "thread_create:0:2,pipe_create:0:1,event_create:1:1,pipe_connect:0:1,pipe_write:0:1";
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
