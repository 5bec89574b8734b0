// The client side of the command pipe: opening it with the busy wait, and the two request
// forms (read form and payload form) with their response checks.
//
// Request frame: bytes 0-2 the command code, byte 3 the unit character (a blank for unit-less
// requests, else the first hex digit of "LumoUa"), bytes 4-5 "00", bytes 6-7 the payload
// length as "%02X" ("00" in the read form), then the payload. Response: bytes 4-5 the status
// ("00" success), bytes 6-7 the data length L in hex, then L bytes of data.
#include <stdio.h>
#include <string.h>

#include "pwdown_internal.h"

namespace {

// Status of a response -> the export's error; 0 for success.
uint32_t ErrorOfStatus(const char *status) {
  if (status[0] == '0' && status[1] == '0') return 0;
  if ((status[0] == '1' && status[1] == '3') || status[0] == 'A' || status[0] == 'B') return PC_ERR_REJECTED;
  return PC_ERR_UNSUPPORTED;
}

// Fills bytes 0-3 of the frame: the code and the unit character. False when the unit address
// is needed and cannot be read.
bool PutCodeAndUnit(PcConnection *connection, const char *code, bool unitless) {
  memcpy(connection->frame, code, 3);
  if (unitless) {
    connection->frame[3] = ' ';
    return true;
  }
  if (!GetReg_LumoUa()) return false;
  char digits[16];
  snprintf(digits, sizeof digits, "%1X", g_LumoUa.load());
  connection->frame[3] = digits[0];
  return true;
}

// Reads one response into the connection's buffer: the byte count, or -1 when the read failed
// (logged when LOG_READ is set).
long ReadResponse(PcConnection *connection, bool log_read) {
  memset(connection->response, 0, sizeof connection->response);
  uint32_t got = 0;
  uint32_t rc = qp_pipe_read(connection->pipe, connection->response, kResponseSize, &got);
  if (rc != ERROR_SUCCESS) {
    if (log_read) WriteLibraryLog(kLogReadFail, rc, &g_LibraryLog);
    return -1;
  }
  if (log_read) WriteLibraryLog(kLogPipeRead, 0, &g_LibraryLog);
  return static_cast<long>(got);
}

}  // namespace

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint32_t OpenCommandPipe(PcConnection *connection) {
  connection->pipe = nullptr;
  qp_pipe *pipe = nullptr;
  while (true) {
    uint32_t rc = qp_pipe_open(kCommandPipeName, &pipe);
    if (rc == ERROR_SUCCESS) break;
    if (rc != ERROR_PIPE_BUSY) return PC_ERR_SERVICE;
    // No limit on the rounds: the loop goes on while the pipe stays busy and each wait ends
    // with a free instance that another client took first.
    if (qp_pipe_wait(kCommandPipeName, kPipeBusyWaitMs) != ERROR_SUCCESS) return PC_ERR_FAILED;
  }
  if (qp_pipe_set_message_mode(pipe) != ERROR_SUCCESS) {
    qp_pipe_close(pipe);
    return PC_ERR_FAILED;
  }
  connection->pipe = pipe;
  return 0;
}

void CloseCommandPipe(PcConnection *connection) {
  if (connection == nullptr || connection->pipe == nullptr) return;
  qp_pipe_close(connection->pipe);
  connection->pipe = nullptr;
}

bool SendCmdWithResponseData(PcConnection *connection, const char *code, const char **data, uint32_t *length,
                             bool unitless, uint32_t *error) {
  uint32_t expected = *length;
  *data = nullptr;
  if (!PutCodeAndUnit(connection, code, unitless)) {
    *error = PC_ERR_FAILED;
    return false;
  }
  memcpy(connection->frame + 4, "0000", 4);

  uint32_t written = 0;
  uint32_t rc = qp_pipe_write(connection->pipe, connection->frame, kFrameHeaderSize, &written);
  if (rc != ERROR_SUCCESS) {
    WriteLibraryLog(kLogWriteFail, rc, &g_LibraryLog);
    *error = PC_ERR_PIPE_IO;
    return false;
  }
  WriteLibraryLog(kLogPipeWrite, 0, &g_LibraryLog);
  if (written < kFrameHeaderSize) {
    WriteLibraryLog(kLogWriteLengthFail, written, &g_LibraryLog);
    *error = PC_ERR_PIPE_IO;
    return false;
  }

  long got = ReadResponse(connection, true);
  if (got < 0) {
    *error = PC_ERR_PIPE_IO;
    return false;
  }
  // A response shorter than its header, or whose length field is not two hex digits or
  // promises more data than arrived, is cut short.
  int high = got >= static_cast<long>(kFrameHeaderSize) ? HexDigit(connection->response[6]) : -1;
  int low = got >= static_cast<long>(kFrameHeaderSize) ? HexDigit(connection->response[7]) : -1;
  long data_length = got - static_cast<long>(kFrameHeaderSize);
  if (high < 0 || low < 0 || got < high * 16 + low + static_cast<long>(kFrameHeaderSize)) {
    *length = data_length > 0 ? static_cast<uint32_t>(data_length) : 0;
    *error = PC_ERR_PIPE_IO;
    return false;
  }
  uint32_t announced = static_cast<uint32_t>(high * 16 + low);
  uint32_t status_error = ErrorOfStatus(connection->response + 4);
  if (status_error != 0) {
    *error = status_error;
    return false;
  }
  if (expected != 0 && announced < expected) {
    *length = static_cast<uint32_t>(data_length);
    *error = PC_ERR_PIPE_IO;
    return false;
  }
  *length = announced;
  *data = connection->response + kFrameHeaderSize;
  return true;
}

bool SendCmdWithData(PcConnection *connection, const char *code, const char *payload, uint32_t n,
                     bool unitless, uint32_t *error) {
  if (n > kFramePayloadSize || (n > 0 && payload == nullptr)) {
    *error = PC_ERR_FAILED;
    return false;
  }
  if (!PutCodeAndUnit(connection, code, unitless)) {
    *error = PC_ERR_FAILED;
    return false;
  }
  char length_digits[16];
  snprintf(length_digits, sizeof length_digits, "%02X", n);
  connection->frame[4] = '0';
  connection->frame[5] = '0';
  connection->frame[6] = length_digits[0];
  connection->frame[7] = length_digits[1];
  if (n > 0) memcpy(connection->frame + kFrameHeaderSize, payload, n);

  uint32_t written = 0;
  uint32_t size = kFrameHeaderSize + n;
  if (qp_pipe_write(connection->pipe, connection->frame, size, &written) != ERROR_SUCCESS || written < size) {
    *error = PC_ERR_PIPE_IO;
    return false;
  }
  long got = ReadResponse(connection, false);
  if (got < static_cast<long>(kFrameHeaderSize)) {
    *error = PC_ERR_PIPE_IO;
    return false;
  }
  uint32_t status_error = ErrorOfStatus(connection->response + 4);
  if (status_error != 0) {
    *error = status_error;
    return false;
  }
  return true;
}
