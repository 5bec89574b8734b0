// Fuzzes the client library's reading of replies from the command pipe: the main power-control
// service lies outside this system, so its replies are outside input. Every input is written
// as the reply of a pipe instance served by this process, and the library's two request forms
// read it over the real pipe.
//
// Properties: a read-form request that succeeds hands out data inside the reply, no longer
// than what arrived after the header and terminated just after its end; a failure is one of
// the request's own codes and hands out no data; the payload form succeeds only on "00".
#include <string.h>

#include "fuzz_support.h"
#include "pwdown_internal.h"
#include "quorin/platform.h"

namespace {

// One exchange: the server instance sends REPLY as soon as the client is connected, before
// the request arrives; the client then writes its request and reads the reply already queued.
// RUN is the client's request.
template <typename Request>
void Exchange(const uint8_t *reply, size_t size, Request run) {
  qp_pipe *server = nullptr;
  QF_CHECK(qp_pipe_create(kCommandPipeName, 255, 4096, &server) == ERROR_SUCCESS, "no pipe instance");
  PcConnection connection;
  memset(&connection, 0, sizeof connection);
  QF_CHECK(OpenCommandPipe(&connection) == 0, "the client could not open the pipe (%u)", GetLastError());
  qp_event *event = qp_event_create(1, 0);
  QF_CHECK(qp_pipe_connect(server, event) == ERROR_PIPE_CONNECTED, "the instance did not take the client");
  uint32_t done = 0;
  QF_CHECK(qp_pipe_write(server, reply, static_cast<uint32_t>(size), &done) == ERROR_SUCCESS,
           "no reply sent");
  run(connection);
  CloseCommandPipe(&connection);
  qp_pipe_disconnect(server);
  qp_pipe_close(server);
  qp_event_close(event);
}

bool IsRequestError(uint32_t error) {
  return error == PC_ERR_PIPE_IO || error == PC_ERR_REJECTED || error == PC_ERR_UNSUPPORTED;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QUORIN_RUNTIME_DIR", qf::scratch_path("run").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Longer replies than the pipe buffer are not what this target is after.
  if (size > 4096) return 0;
  // What arrives: the reply, cut to the client's response buffer.
  long arrived = static_cast<long>(size < kResponseSize ? size : kResponseSize);
  for (uint32_t wanted : {0u, 4u}) {
    Exchange(data, size, [&](PcConnection &connection) {
      const char *reply_data = reinterpret_cast<const char *>(1);
      uint32_t length = wanted, error = 0;
      bool ok = SendCmdWithResponseData(&connection, "QFR", &reply_data, &length, true, &error);
      if (ok) {
        QF_CHECK(size <= kResponseSize, "a cut reply of %zu bytes was accepted", size);
        QF_CHECK(reply_data == connection.response + kFrameHeaderSize, "the data is not in the reply");
        QF_CHECK(static_cast<long>(length) <= arrived - static_cast<long>(kFrameHeaderSize),
                 "data of %u bytes in a reply of %ld", length, arrived);
        QF_CHECK(length >= wanted, "data of %u bytes where %u were asked for", length, wanted);
        QF_CHECK(reply_data[arrived - static_cast<long>(kFrameHeaderSize)] == '\0',
                 "the data is not terminated");
      } else {
        QF_CHECK(reply_data == nullptr, "a failed request handed out data");
        QF_CHECK(IsRequestError(error), "a failed request gave 0x%08x", error);
      }
    });
  }
  Exchange(data, size, [&](PcConnection &connection) {
    uint32_t error = 0;
    bool ok = SendCmdWithData(&connection, "QFD", "12345", 5, true, &error);
    if (ok)
      QF_CHECK(size >= 8 && size <= kResponseSize && data[4] == '0' && data[5] == '0',
               "the payload form accepted a reply without \"00\"");
    else
      QF_CHECK(IsRequestError(error), "a failed payload request gave 0x%08x", error);
  });
  return 0;
}
