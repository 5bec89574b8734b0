// The library log "pwdown.log": header, line layout byte for byte, cutting and padding, the
// ring of 4912 lines with its wrap, damaged headers, concurrent writers, and the log lines of
// the exports and the pipe client.
#include <ctype.h>

#include <thread>

#include "pwdown_fixture.h"
#include "pwdown_internal.h"

namespace pwt {
namespace {

constexpr size_t kLine = 113;

// True when LINE has the layout "dddd/dd/dd dd:dd:dd [xxxxxxxx] " + 80 printable characters +
// CR LF, with decimal digits d and lower-case hex digits x.
bool HasLineLayout(const std::string &line) {
  static const char kPattern[] = "dddd/dd/dd dd:dd:dd [xxxxxxxx] ";
  if (line.size() != kLine || line.compare(kLine - 2, 2, "\r\n") != 0) return false;
  for (size_t i = 0; i < sizeof kPattern - 1; ++i) {
    char c = line[i];
    if (kPattern[i] == 'd' && !isdigit(static_cast<unsigned char>(c))) return false;
    if (kPattern[i] == 'x' && !isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) return false;
    if (kPattern[i] != 'd' && kPattern[i] != 'x' && kPattern[i] != c) return false;
  }
  for (size_t i = sizeof kPattern - 1; i < kLine - 2; ++i)
    if (line[i] < 0x20 || line[i] > 0x7e) return false;
  return true;
}

// The message field of a line: 80 characters after the 31-character prefix.
std::string Message(const std::string &line) {
  return line.substr(31, 80);
}
std::string Code(const std::string &line) {
  return line.substr(21, 8);
}
std::string Padded(const std::string &text) {
  return text + std::string(80 - text.size(), ' ');
}

// The lines of a log file (its header left out).
std::vector<std::string> Lines(const std::string &file) {
  std::vector<std::string> lines;
  for (size_t pos = 10; pos + kLine <= file.size(); pos += kLine) lines.push_back(file.substr(pos, kLine));
  return lines;
}

class LibraryLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.enabled = 1;
    log_.mutex = qp_mutex_create();
    log_.line_limit = kLogLineLimit;
    log_.width = kLogWidth;
    snprintf(log_.path, sizeof log_.path, "%s\\%s", dir_.path().c_str(), kLogFileName);
    path_ = dir_ / kLogFileName;
  }
  void TearDown() override { qp_mutex_close(log_.mutex); }
  qt::TempDir dir_{"pwlog"};
  LibraryLog log_{};
  std::string path_;
};

TEST_F(LibraryLogTest, NewFileHeaderThenFixedWidthLines) {
  WriteLibraryLog("Pipe Write", 0, &log_);
  std::string file = qt::read_file(path_);
  ASSERT_EQ(10u + kLine, file.size());
  EXPECT_EQ("00000113\r\n", file.substr(0, 10));
  std::string line = file.substr(10);
  EXPECT_TRUE(HasLineLayout(line)) << line;
  EXPECT_FALSE(HasLineLayout(line.substr(0, kLine - 2) + "\n\n"));
  EXPECT_EQ(Padded("Pipe Write"), Message(line));
  EXPECT_EQ("00000000", Code(line));

  std::string long_text(100, 'm');
  long_text[79] = 'L';
  WriteLibraryLog(long_text.c_str(), 0xC0000005u, &log_);
  WriteLibraryLog("abcde", 0xFFFFFFFFu, &log_);
  WriteLibraryLog("", 7, &log_);
  file = qt::read_file(path_);
  EXPECT_EQ("00000452\r\n", file.substr(0, 10));
  std::vector<std::string> lines = Lines(file);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(long_text.substr(0, 80), Message(lines[1]));
  EXPECT_EQ("c0000005", Code(lines[1]));
  EXPECT_EQ(Padded("abcde"), Message(lines[2]));
  EXPECT_EQ("ffffffff", Code(lines[2]));
  EXPECT_EQ(std::string(80, ' '), Message(lines[3]));
  for (const std::string &l : lines) EXPECT_TRUE(HasLineLayout(l)) << l;
}

TEST_F(LibraryLogTest, RingOf4912LinesWrapsToTheOldest) {
  char text[32];
  for (int i = 1; i <= 4912; ++i) {
    snprintf(text, sizeof text, "line %d", i);
    WriteLibraryLog(text, static_cast<uint32_t>(i), &log_);
  }
  std::string file = qt::read_file(path_);
  ASSERT_EQ(555066u, file.size());
  EXPECT_EQ("00000000\r\n", file.substr(0, 10));
  std::vector<std::string> lines = Lines(file);
  EXPECT_EQ(Padded("line 1"), Message(lines.front()));
  EXPECT_EQ(Padded("line 4912"), Message(lines.back()));
  EXPECT_EQ("00001330", Code(lines.back()));

  WriteLibraryLog("line 4913", 0, &log_);
  file = qt::read_file(path_);
  EXPECT_EQ(555066u, file.size());
  EXPECT_EQ("00000113\r\n", file.substr(0, 10));
  lines = Lines(file);
  EXPECT_EQ(Padded("line 4913"), Message(lines[0]));
  EXPECT_EQ(Padded("line 2"), Message(lines[1]));
}

TEST_F(LibraryLogTest, DamagedHeadersRestartAtTheFirstLine) {
  // Not a number: the next line goes to byte 10.
  qt::write_file(path_, "garbage!\r\n" + std::string(3 * kLine, 'x'));
  WriteLibraryLog("after garbage", 0, &log_);
  std::string file = qt::read_file(path_);
  EXPECT_EQ("00000113\r\n", file.substr(0, 10));
  EXPECT_EQ(Padded("after garbage"), Message(file.substr(10, kLine)));
  EXPECT_EQ(10u + 3 * kLine, file.size());

  // An offset outside the ring would grow the file far past its bound.
  qt::write_file(path_, "99999999\r\n");
  WriteLibraryLog("after a wild offset", 0, &log_);
  file = qt::read_file(path_);
  EXPECT_EQ(10u + kLine, file.size());
  EXPECT_EQ(Padded("after a wild offset"), Message(file.substr(10, kLine)));

  // An empty file reads as offset 0.
  qt::write_file(path_, "");
  WriteLibraryLog("after empty", 0, &log_);
  EXPECT_EQ("00000113\r\n", qt::read_file(path_).substr(0, 10));
}

TEST_F(LibraryLogTest, DisabledOrUnwritableLogIsSilent) {
  log_.enabled = 0;
  WriteLibraryLog("nothing", 0, &log_);
  EXPECT_FALSE(qt::file_exists(path_));
  WriteLibraryLog("nothing", 0, nullptr);
  log_.enabled = 1;
  snprintf(log_.path, sizeof log_.path, "%s\\NoSuchFolder\\%s", dir_.path().c_str(), kLogFileName);
  WriteLibraryLog("nowhere", 0, &log_);
  // A failed open left the log's mutex free: the next write to a good path lands.
  snprintf(log_.path, sizeof log_.path, "%s", path_.c_str());
  WriteLibraryLog("after nowhere", 0, &log_);
  std::string file = qt::read_file(path_);
  ASSERT_EQ(10u + kLine, file.size());
  EXPECT_EQ(Padded("after nowhere"), Message(file.substr(10, kLine)));
}

TEST_F(LibraryLogTest, WritersOfOneProcessDoNotMixLines) {
  auto writer = [this](const char *text) {
    for (int i = 0; i < 300; ++i) WriteLibraryLog(text, static_cast<uint32_t>(i), &log_);
  };
  std::thread a(writer, "writer A");
  std::thread b(writer, "writer B");
  a.join();
  b.join();
  std::string file = qt::read_file(path_);
  ASSERT_EQ(10u + 600 * kLine, file.size());
  EXPECT_EQ("00067800\r\n", file.substr(0, 10));
  int count_a = 0;
  for (const std::string &line : Lines(file)) {
    ASSERT_TRUE(HasLineLayout(line)) << line;
    if (Message(line) == Padded("writer A")) ++count_a;
  }
  EXPECT_EQ(300, count_a);
}

// The log as the library writes it once loaded.
class LoadedLogTest : public PwdownTest {};

TEST_F(LoadedLogTest, ExportsLogTheirEntryAndTheReadFormItsTraffic) {
  int state = -1;
  ASSERT_EQ(1, Export<QuoPcClusterShutDownFn>("QuoPcClusterShutDown")(3));
  ASSERT_EQ(1, Export<PowerOffByLumo2Fn>("PowerOffByLumo2")(0, 2));
  ASSERT_EQ(1, Export<PowerOffByLumo2Fn>("PowerOffByLumoEx")(0, 2));
  ASSERT_EQ(1, Export<CheckApiRebootFn>("CheckApiReboot")(&state));
  Script("RBC close\n");
  ASSERT_EQ(0, Export<CheckApiRebootFn>("CheckApiReboot")(&state));
  ASSERT_EQ(1, Export<QuoPcClusterShutDownFn>("QuoPcClusterShutDown2")(-1));
  std::string file = qt::read_file(LogPath());
  std::vector<std::string> lines = Lines(file);
  std::vector<std::pair<std::string, std::string>> seen;
  for (const std::string &line : lines) {
    EXPECT_TRUE(HasLineLayout(line)) << line;
    std::string message = Message(line);
    seen.push_back({message.substr(0, message.find_last_not_of(' ') + 1), Code(line)});
  }
  std::vector<std::pair<std::string, std::string>> expected = {{"QuoPcClusterShutDown", "00000003"},
                                                               {"PowerOffByLumo2", "00000002"},
                                                               {"PowerOffByLumoEx", "00000000"},
                                                               {"Pipe Write", "00000000"},
                                                               {"Pipe Read", "00000000"},
                                                               {"Pipe Write", "00000000"},
                                                               {"READFILE FAIL", "0000006d"},
                                                               {"QuoPcClusterShutDown2", "ffffffff"}};
  EXPECT_EQ(expected, seen);
  EXPECT_EQ(10u + expected.size() * kLine, file.size());
}

TEST_F(LoadedLogTest, NoInstallDirectoryMeansNoLog) {
  // (The attach step's decision itself is checked directly by the probes' tests.)
  Registry(kType2Registry, /*no_path=*/true);
  ASSERT_EQ(1, Export<QuoPcClusterShutDownFn>("QuoPcClusterShutDown")(1));
  // The path is read once, at load: putting it back later does not enable the log.
  Registry(kType2Registry);
  ASSERT_EQ(1, Export<QuoPcClusterShutDownFn>("QuoPcClusterShutDown")(1));
  EXPECT_FALSE(qt::file_exists(LogPath()));
  EXPECT_EQ(2u, Frames().size());
}

}  // namespace
}  // namespace pwt
