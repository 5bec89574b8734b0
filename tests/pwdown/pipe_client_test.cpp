// The pipe client's two request forms driven directly against the "QUORIN_MVL" stand-in:
// lengths reported on short replies, several requests over one connection, payload lengths.
#include "pwdown_fixture.h"
#include "pwdown_internal.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

class PipeClientTest : public PwdownTest {};

TEST_F(PipeClientTest, ReadFormReportsTheLengthOfWhatArrived) {
  Script("012 raw 0121000540A\n002 reply 00 0123456789ABCDEF\n022 reply 00 4\nC06 reply 00\n");
  PcConnection connection;
  ASSERT_EQ(0u, OpenCommandPipe(&connection));
  const char *data = nullptr;
  uint32_t error = 0;

  // The length field says 5, three data bytes came.
  uint32_t length = 2;
  EXPECT_FALSE(SendCmdWithResponseData(&connection, "012", &data, &length, false, &error));
  EXPECT_EQ(PC_ERR_PIPE_IO, error);
  EXPECT_EQ(3u, length);

  length = 16;
  ASSERT_TRUE(SendCmdWithResponseData(&connection, "002", &data, &length, false, &error));
  EXPECT_EQ(16u, length);
  EXPECT_EQ("0123456789ABCDEF", std::string(data, length));

  // Status "00" with less data than the caller needs.
  length = 18;
  EXPECT_FALSE(SendCmdWithResponseData(&connection, "022", &data, &length, false, &error));
  EXPECT_EQ(PC_ERR_PIPE_IO, error);
  EXPECT_EQ(1u, length);

  // No minimum: an empty answer is an answer.
  length = 0;
  ASSERT_TRUE(SendCmdWithResponseData(&connection, "C06", &data, &length, false, &error));
  EXPECT_EQ(0u, length);
  CloseCommandPipe(&connection);

  std::vector<Frame> frames = Frames();
  ASSERT_EQ(4u, frames.size());
  EXPECT_EQ((Strings{"01210000", "00210000", "02210000", "C0610000"}), FrameBytes());
  for (const Frame &f : frames) EXPECT_EQ(1, f.connection);
}

TEST_F(PipeClientTest, SecondRequestOverOneConnectionOfAOneRequestServiceFails) {
  Script("one-per-connection\n");
  PcConnection connection;
  ASSERT_EQ(0u, OpenCommandPipe(&connection));
  uint32_t error = 0;
  EXPECT_TRUE(SendCmdWithData(&connection, "071", nullptr, 0, true, &error));
  EXPECT_FALSE(SendCmdWithData(&connection, "081", nullptr, 0, true, &error));
  EXPECT_EQ(PC_ERR_PIPE_IO, error);
  CloseCommandPipe(&connection);
  EXPECT_EQ((Strings{"071 0000"}), FrameBytes());

  // The same pair against a service that keeps the connection.
  Script("");
  ClearFrames();
  ASSERT_EQ(0u, OpenCommandPipe(&connection));
  EXPECT_TRUE(SendCmdWithData(&connection, "071", nullptr, 0, true, &error));
  EXPECT_TRUE(SendCmdWithData(&connection, "081", nullptr, 0, true, &error));
  CloseCommandPipe(&connection);
  EXPECT_EQ((Strings{"071 0000", "081 0000"}), FrameBytes());
}

TEST_F(PipeClientTest, PayloadLengthIsTwoUpperCaseHexDigits) {
  PcConnection connection;
  ASSERT_EQ(0u, OpenCommandPipe(&connection));
  uint32_t error = 0;
  std::string expression(255, 'e');
  EXPECT_TRUE(SendCmdWithData(&connection, "S20", expression.data(), 255, true, &error));
  EXPECT_TRUE(SendCmdWithData(&connection, "021", "0123456789ABCDEF01", 18, false, &error));
  EXPECT_TRUE(SendCmdWithData(&connection, "S20", "0123456789", 10, true, &error));
  // More than the frame holds is refused without traffic.
  std::string too_long(300, 'x');
  EXPECT_FALSE(SendCmdWithData(&connection, "S20", too_long.data(), 300, true, &error));
  EXPECT_EQ(PC_ERR_FAILED, error);
  CloseCommandPipe(&connection);
  EXPECT_EQ((Strings{"S20 00FF" + expression,
                     "02110012"
                     "0123456789ABCDEF01",
                     "S20 000A0123456789"}),
            FrameBytes());
}

}  // namespace
}  // namespace pwt
