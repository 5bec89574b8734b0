// quorinlog on the rings as the real writers leave them after a wrap: the SNMP library's log,
// trap and UPS logs, the client library's log and the service log written by the real
// service. What it prints must be the order the entries were written in, and -f must follow
// new entries across the wrap.
#include <gtest/gtest.h>
#include <stdio.h>

#include <sstream>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "pwdown_internal.h"
#include "service_fixture.h"
#include "testsupport.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The message parts of quorinlog's lines (the text after the time and code).
std::vector<std::string> Messages(const std::string &output, size_t prefix) {
  std::vector<std::string> out;
  for (const std::string &line : Lines(output))
    out.push_back(line.size() > prefix ? line.substr(prefix) : "");
  return out;
}

std::string Quorinlog(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {qt::out_dir() + "/quorinlog"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  EXPECT_EQ(0, qt::run(argv, {}, &out)) << out;
  return out;
}

std::string Label(const char *format, int n) {
  char text[64];
  snprintf(text, sizeof text, format, n);
  return text;
}

// Writes a full lap of a record ring at PATH: LAP records of RECORD bytes, the write position
// at record FIRST. Each record's text is "rec NNNNN" numbered in the order the ring holds them
// from oldest to newest (the oldest right after the write position).
void FillRing(const std::string &path, long record, bool with_code, long lap, long first) {
  std::string content;
  char header[16];
  snprintf(header, sizeof header, "%08ld\r\n", first * record);
  content += header;
  for (long k = 0; k < lap; ++k) {
    long age = k >= first ? k - first : (lap - first) + k;
    std::string text = Label("rec %05d", static_cast<int>(age));
    text.resize(80, ' ');
    content += with_code ? "2000/01/01 00:00:00 [00000000] " + text + "\r\n"
                         : "2000/01/01 00:00:00 " + text + "\r\n";
  }
  qt::write_file(path, content);
}

// The records quorinlog must print after WRITTEN new records on a ring filled by FillRing with
// its position 4 records before the end of the lap.
std::vector<std::string> Expected(long lap, int written) {
  std::vector<std::string> out;
  for (long age = written; age < lap; ++age) out.push_back(Label("rec %05d", static_cast<int>(age)));
  for (int i = 0; i < written; ++i) out.push_back(Label("new %d", i));
  return out;
}

class RingOrderTest : public qt::SnmpUpsCoreTest {};

TEST_F(RingOrderTest, LibraryRingsInTheOrderWrittenAcrossTheWrap) {
  ASSERT_TRUE(Load());
  struct Ring {
    std::string path;
    long record, lap;
    bool with_code;
    std::function<void(const char *)> write;
  };
  const std::vector<Ring> rings = {
      // SnmpLogSize 0 is used as 2220000: 19647 records of 113 bytes to a lap.
      {install.data("SNMPUPS.LOG"), 113, 19647, true, [](const char *t) { WriteSnmpLog(t, 0); }},
      {install.data("SNMPTRAP/SNMP9001.LOG"), 113, 19647, true,
       [](const char *t) { WriteTrapLog(9001, t, 5); }},
      // 1000000 bytes: 9804 records of 102 bytes.
      {install.data("UPS/UPS105.LOG"), 102, 9804, false, [](const char *t) { WriteUpsLog(105, t); }},
  };
  for (const Ring &ring : rings) {
    FillRing(ring.path, ring.record, ring.with_code, ring.lap, ring.lap - 4);
    // Follow from the newest entry on, then write across the wrap in three steps.
    qt::Child follower({qt::out_dir() + "/quorinlog", "-f", "-n", "1", ring.path});
    ASSERT_TRUE(qt::wait_until([&] {
      return follower.output().find(Label("rec %05d", ring.lap - 1)) != std::string::npos;
    })) << follower.output();
    int written = 0;
    for (int step : {2, 4, 4}) {
      for (int i = 0; i < step; ++i, ++written) ring.write(Label("new %d", written).c_str());
      std::string last = Label("new %d", written - 1);
      ASSERT_TRUE(qt::wait_until([&] { return follower.output().find(last) != std::string::npos; }))
          << ring.path << ": " << follower.output();
    }
    follower.kill_now(SIGTERM);
    follower.wait();
    size_t prefix = ring.with_code ? 31 : 20;
    std::vector<std::string> followed = Messages(follower.output(), prefix);
    std::vector<std::string> expected_followed = {Label("rec %05d", ring.lap - 1)};
    for (int i = 0; i < written; ++i) expected_followed.push_back(Label("new %d", i));
    EXPECT_EQ(expected_followed, followed) << ring.path;

    // The header has wrapped: 6 of the new records lie at the start of the file.
    EXPECT_EQ(Label("%08d", static_cast<int>(6 * ring.record)), qt::read_file(ring.path).substr(0, 8));
    EXPECT_EQ(Expected(ring.lap, written), Messages(Quorinlog({ring.path}), prefix)) << ring.path;
    std::vector<std::string> last3 = Messages(Quorinlog({"-n", "3", ring.path}), prefix);
    EXPECT_EQ((std::vector<std::string>{"new 7", "new 8", "new 9"}), last3);
    EXPECT_EQ("", Quorinlog({"-n", "0", ring.path}));
  }
}

TEST(ClientLogOrderTest, PwdownRingInTheOrderWrittenAcrossTheWrap) {
  qt::TempDir dir("pwlog");
  LibraryLog log{};
  log.enabled = 1;
  log.mutex = qp_mutex_create();
  log.line_limit = 5000;
  log.width = 80;
  snprintf(log.path, sizeof log.path, "%s/pwdown.log", dir.path().c_str());
  const std::string path = dir / "pwdown.log";
  // 555000 bytes: 4912 lines of 113 bytes to a lap.
  FillRing(path, 113, true, 4912, 4908);
  for (int i = 0; i < 10; ++i) WriteLibraryLog(Label("new %d", i).c_str(), static_cast<uint32_t>(i), &log);
  qp_mutex_close(log.mutex);
  EXPECT_EQ(Expected(4912, 10), Messages(Quorinlog({path}), 31));
  // The code of each line is kept as written.
  std::vector<std::string> lines = Lines(Quorinlog({"-n", "1", path}));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(" [00000009] new 9", lines[0].substr(19));
}

// The service log: lines of any length, where a new entry may end inside an older one.
class ServiceLogOrderTest : public ServiceTest {};

TEST_F(ServiceLogOrderTest, ServiceRingInTheOrderWrittenAcrossTheWrap) {
  constexpr long kLimit = 5360000;
  // An older lap "A" filling the whole ring, then a newer lap "B" from the start up to 2500
  // bytes before the limit, whose last line ends inside an A line.
  std::string content = "00000000\n";
  for (int i = 0; static_cast<long>(content.size()) - 9 < kLimit; ++i)
    content += "2000/01/01 00:00:00 [00000000] lap A line " + Label("%06d", i) + "\n";
  size_t position = 9;
  int b = 0;
  while (static_cast<long>(position) - 9 < kLimit - 2500) {
    std::string line = "2000/01/02 00:00:00 [00000000] lap B line no " + Label("%06d", b++) + "\n";
    content.replace(position, line.size(), line);
    position += line.size();
  }
  content.replace(0, 8, Label("%08d", static_cast<int>(position - 9)));
  qt::write_file(LogPath(), content);

  // A follower from the newest B line on sees the service's lines as they come, across the wrap.
  const std::string last_b = "lap B line no " + Label("%06d", b - 1);
  qt::Child follower({qt::out_dir() + "/quorinlog", "-f", "-n", "1", LogPath()});
  ASSERT_TRUE(qt::wait_until([&] { return follower.output().find(last_b) != std::string::npos; }))
      << follower.output();
  Start();
  // Requests whose bytes the service logs in hex: their order is the order they were sent.
  for (int i = 0; i < 30; ++i) Send("Q01 0004" + Label("%04d", i));
  Stop();
  std::string after = qt::read_file(LogPath());
  ASSERT_LT(std::stol(after.substr(0, 8)), static_cast<long>(position - 9)) << "the ring did not wrap";

  std::vector<std::string> printed = Lines(Quorinlog({LogPath()}));
  // First the surviving B lines, consecutive up to the last one written; then only the
  // service's own lines, first of them its first line; never an A line or a fragment.
  size_t i = 0;
  int expect_b = -1;
  for (; i < printed.size() && printed[i].find("lap B line no ") != std::string::npos; ++i) {
    int n = std::stoi(printed[i].substr(printed[i].size() - 6));
    if (expect_b >= 0) {
      EXPECT_EQ(expect_b, n);
    }
    expect_b = n + 1;
  }
  EXPECT_EQ(b, expect_b) << "the B lines must run up to the last one written";
  ASSERT_LT(i, printed.size());
  EXPECT_EQ("quorinky_tsrx mutex created successfully", printed[i].substr(31));
  int request = 0;
  for (; i < printed.size(); ++i) {
    const std::string &line = printed[i];
    EXPECT_EQ(std::string::npos, line.find("lap ")) << line;
    ASSERT_GE(line.size(), 31u) << line;
    EXPECT_EQ("] ", line.substr(29, 2)) << line;
    // "... 51 30 31 20 30 30 30 34 30 30 31 32" ends the line of request 12's frame.
    std::string frame = "51 30 31 20 30 30 30 34";
    for (char c : Label("%04d", request)) frame += Label(" %02X", c);
    if (line.size() >= frame.size() && line.compare(line.size() - frame.size(), frame.size(), frame) == 0)
      ++request;
  }
  EXPECT_EQ(30, request) << "every request, in the order sent";
  // The follower printed the same lines in the same order (the service's last line is the
  // stop sequence's "quorinky_tsrx mutex closed").
  ASSERT_TRUE(qt::wait_until([&] {
    return follower.output().find("quorinky_tsrx mutex closed") != std::string::npos;
  })) << follower.output();
  follower.kill_now(SIGTERM);
  follower.wait();
  std::vector<std::string> followed = Lines(follower.output());
  std::vector<std::string> tail(printed.end() - static_cast<long>(followed.size()), printed.end());
  EXPECT_EQ(tail, followed);
  EXPECT_EQ(last_b, followed.front().substr(31));
  // A reader that went by the file's own order would put the wrapped start first.
  std::vector<std::string> file_order = Lines(after.substr(9));
  EXPECT_NE(file_order.front(), printed.front());
}

TEST(ClusterLogOrderTest, MovedLogFirstThenTheCurrentOne) {
  qt::TempDir dir("vexlog");
  const std::string path = dir / "ky_vexapi4.log";
  qt::write_file(
      path + ".1",
      "Jan 02 03:04:05 [00000002]: \x81\x73 VexInitializeApi \x81\x74\nJan 02 03:04:06 [00000000]: old 2\n");
  qt::write_file(
      path,
      "Jan 02 03:04:07 [00000000]: \x81\x74VexInitializeApi\x81\x73\nJan 02 03:04:08 [00000000]: x\x01y\n");
  EXPECT_EQ(
      "Jan 02 03:04:05 [00000002]: << VexInitializeApi >>\nJan 02 03:04:06 [00000000]: old 2\n"
      "Jan 02 03:04:07 [00000000]: >>VexInitializeApi<<\nJan 02 03:04:08 [00000000]: x\\x01y\n",
      Quorinlog({path}));
  EXPECT_EQ("Jan 02 03:04:08 [00000000]: x\\x01y\n", Quorinlog({"-n", "1", path}));
}

}  // namespace
