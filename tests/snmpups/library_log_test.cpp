// The three ring logs byte for byte: record layout, the header of a new file, wrap at the
// limit, the per-unit file names, the eight-digit offset rule and concurrent writers.
#include <ctype.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"

namespace {

using qt::SnmpUpsCoreTest;

// True when RECORD has the layout "YYYY/MM/DD hh:mm:ss [xxxxxxxx] " (or without the code),
// an 80-character message and CR LF.
bool IsRecord(const std::string &record, bool with_code) {
  const std::string stamp = "dddd/dd/dd dd:dd:dd ";
  const std::string code = with_code ? "[hhhhhhhh] " : "";
  std::string shape = stamp + code;
  if (record.size() != shape.size() + 80 + 2 || record.compare(record.size() - 2, 2, "\r\n") != 0)
    return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    char c = record[i];
    if (shape[i] == 'd' && !isdigit(static_cast<unsigned char>(c))) return false;
    if (shape[i] == 'h' && !(isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))) return false;
    if (shape[i] != 'd' && shape[i] != 'h' && shape[i] != c) return false;
  }
  for (size_t i = shape.size(); i < shape.size() + 80; ++i)
    if (record[i] == '\r' || record[i] == '\n') return false;
  return true;
}

// Loads with an existing log file removed, so that the next record starts a new file.
class LogTest : public SnmpUpsCoreTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Load());
    qp_file_delete(LogPath().c_str());
  }
  std::string Content() const { return qt::read_file(LogPath()); }
  // N bytes of the log at OFFSET (for rings too large to read whole).
  std::string At(long offset, size_t n) const {
    std::string out(n, '\0');
    FILE *f = fopen(LogPath().c_str(), "rb");
    if (f == nullptr) return "";
    fseek(f, offset, SEEK_SET);
    out.resize(fread(out.data(), 1, n, f));
    fclose(f);
    return out;
  }
};

TEST_F(LogTest, FirstRecordOfANewFileAndItsFields) {
  WriteSnmpLog("hello", 0x80100001u);
  std::string content = Content();
  ASSERT_EQ(123u, content.size());
  EXPECT_EQ("00000113\r\n", content.substr(0, 10));
  std::string record = content.substr(10);
  EXPECT_TRUE(IsRecord(record, true)) << record;
  EXPECT_EQ("[80100001] hello" + std::string(75, ' ') + "\r\n", record.substr(20));

  // A 100-character message keeps its first 80; line breaks inside a message become blanks so
  // that the record keeps its length and its line.
  std::string long_text;
  for (int i = 0; i < 100; ++i) long_text += static_cast<char>('a' + i % 26);
  WriteSnmpLog(long_text.c_str(), 1);
  WriteSnmpLog("two\r\nlines\n", 0);
  content = Content();
  ASSERT_EQ(10u + 3 * 113, content.size());
  EXPECT_EQ("00000339\r\n", content.substr(0, 10));
  EXPECT_EQ("[00000001] " + long_text.substr(0, 80) + "\r\n", content.substr(10 + 113 + 20, 93));
  EXPECT_EQ("[00000000] two  lines " + std::string(69, ' ') + "\r\n", content.substr(10 + 226 + 20));

  // Codes are eight lower-case hexadecimal digits.
  WriteSnmpLog("letters", 0xabcdef09u);
  EXPECT_EQ("[abcdef09] letters", Content().substr(10 + 339 + 20, 18));
}

// Each ring wraps exactly when a record ends at its limit, and not a byte before; a header at
// the limit (or past it) starts the ring over.
TEST_F(LogTest, RingsWrapExactlyWhenARecordReachesTheLimit) {
  struct Ring {
    const char *name;
    std::string path;
    long limit, record;
    std::function<void()> write;
  } rings[] = {
      {"SNMPUPS.LOG", LogPath(), 2220000, 113, [] { WriteSnmpLog("boundary", 0); }},
      {"SNMP001.LOG", install.data("SNMPTRAP/SNMP001.LOG"), 2220000, 113,
       [] { WriteTrapLog(1, "boundary", 0); }},
      {"UPS001.LOG", install.data("UPS/UPS001.LOG"), 1000000, 102, [] { WriteUpsLog(1, "boundary"); }},
  };
  for (const Ring &r : rings) {
    struct Case {
      long offset;     // in the header before the record
      long record_at;  // where the record goes
      long next;       // the header after it
    } cases[] = {
        {r.limit - r.record, r.limit - r.record, 0},                    // ends exactly at the limit
        {r.limit - r.record - 1, r.limit - r.record - 1, r.limit - 1},  // one byte short of it
        {r.limit - 1, r.limit - 1, 0},                                  // the last offset still takes one
        {r.limit, 0, r.record},                                         // a header at the limit
    };
    for (const Case &c : cases) {
      char header[16];
      snprintf(header, sizeof header, "%08ld\r\n", c.offset);
      qt::write_file(r.path, header);
      r.write();
      std::string content = qt::read_file(r.path);
      snprintf(header, sizeof header, "%08ld\r\n", c.next);
      EXPECT_EQ(header, content.substr(0, 10)) << r.name << " at " << c.offset;
      ASSERT_EQ(static_cast<size_t>(10 + c.record_at + r.record), content.size())
          << r.name << " at " << c.offset;
      EXPECT_EQ("\r\n", content.substr(content.size() - 2)) << r.name << " at " << c.offset;
    }
  }
}

// The SNMP library log's limit is kept between 2220000 and 104857600, each bound taken as it is.
TEST_F(LogTest, SnmpLogLimitIsKeptWithinItsBounds) {
  const int32_t cases[][2] = {{2219999, 2220000},     {2220000, 2220000},     {2220001, 2220001},
                              {104857599, 104857599}, {104857600, 104857600}, {104857601, 104857600}};
  for (const auto &c : cases) {
    g_Snmp_Log_Size.store(c[0]);
    WriteSnmpLog("limit", 0);
    EXPECT_EQ(c[1], g_Snmp_Log_Size.load()) << c[0];
    // Below the eight-digit bound, a record that ends at the limit wraps and one that ends a
    // byte before it does not.
    if (c[1] >= 100000000) continue;
    char header[16];
    snprintf(header, sizeof header, "%08d\r\n", c[1] - 113);
    qt::write_file(LogPath(), header);
    WriteSnmpLog("limit", 0);
    EXPECT_EQ("00000000\r\n", At(0, 10)) << c[0];
    snprintf(header, sizeof header, "%08d\r\n", c[1] - 114);
    qt::write_file(LogPath(), header);
    WriteSnmpLog("limit", 0);
    snprintf(header, sizeof header, "%08d\r\n", c[1] - 1);
    EXPECT_EQ(header, At(0, 10)) << c[0];
  }
}

TEST_F(LogTest, WrapsAfter19646RecordsAtTheDefaultLimit) {
  // The settings left the limit at 0, which counts as 2220000.
  for (int i = 0; i < 19646; ++i) WriteSnmpLog("fill", 0);
  std::string content = Content();
  EXPECT_EQ(10u + 2219998u, content.size());
  EXPECT_EQ("02219998\r\n", content.substr(0, 10));
  // The next record still fits at 2219998; after it the offset wraps to 0.
  WriteSnmpLog("last of the lap", 0);
  content = Content();
  EXPECT_EQ(10u + 2219998u + 113u, content.size());
  EXPECT_EQ("00000000\r\n", content.substr(0, 10));
  EXPECT_EQ("last of the lap", content.substr(10 + 2219998 + 31, 15));
  WriteSnmpLog("first of the next lap", 0);
  content = Content();
  EXPECT_EQ("00000113\r\n", content.substr(0, 10));
  EXPECT_EQ("first of the next lap", content.substr(10 + 31, 21));
  EXPECT_EQ(10u + 2219998u + 113u, content.size());
}

TEST_F(LogTest, OffsetsStayEightDigitsWithTheLargestLimit) {
  g_Snmp_Log_Size.store(200000000);  // clamped to 104857600 by the next write
  // A ring close to the eight-digit boundary: the header says the next record goes to 99999950.
  {
    FILE *f = fopen(LogPath().c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("99999950\r\n", f);
    fclose(f);
  }
  WriteSnmpLog("at the boundary", 0);
  EXPECT_EQ(104857600, g_Snmp_Log_Size.load());
  // 99999950 + 113 would need nine digits: the ring wraps and the header keeps its 10 bytes.
  EXPECT_EQ("00000000\r\n", At(0, 10));
  EXPECT_EQ("at the boundary", At(10 + 99999950 + 31, 15));
  WriteSnmpLog("after the wrap", 0);
  EXPECT_EQ("00000113\r\n", At(0, 10));
  EXPECT_EQ("after the wrap", At(10 + 31, 14));
  EXPECT_EQ("at the boundary", At(10 + 99999950 + 31, 15));
  qp_file_delete(LogPath().c_str());

  // A damaged header pointing far beyond the ring restarts it instead of growing the file.
  qt::write_file(LogPath(), "999999999\r\n");
  WriteSnmpLog("restart", 0);
  std::string content = Content();
  EXPECT_EQ("00000113\r\n", content.substr(0, 10));
  EXPECT_LT(content.size(), 200u);
  qt::write_file(LogPath(), "-0000050\r\n");
  WriteSnmpLog("restart", 0);
  EXPECT_EQ("00000113\r\n", Content().substr(0, 10));
}

TEST_F(LogTest, EightThreadsWriteEveryRecordWhole) {
  constexpr int kThreads = 8, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        char text[64];
        snprintf(text, sizeof text, "thread %d record %03d", t, i);
        WriteSnmpLog(text, static_cast<uint32_t>(t));
      }
    });
  }
  for (std::thread &th : threads) th.join();
  std::string content = Content();
  ASSERT_EQ(10u + kThreads * kEach * 113u, content.size());
  char header[16];
  snprintf(header, sizeof header, "%08d\r\n", kThreads * kEach * 113);
  EXPECT_EQ(header, content.substr(0, 10));
  std::vector<int> next(kThreads, 0);
  for (size_t at = 10; at < content.size(); at += 113) {
    std::string record = content.substr(at, 113);
    ASSERT_TRUE(IsRecord(record, true)) << record;
    int t = -1, i = -1;
    ASSERT_EQ(2, sscanf(record.c_str() + 31, "thread %d record %d", &t, &i)) << record;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(static_cast<unsigned>(t),
              static_cast<unsigned>(strtoul(record.substr(21, 8).c_str(), nullptr, 16)));
    EXPECT_EQ(next[t], i) << "thread " << t;  // each thread's records in its own order, none lost
    next[t] = i + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kEach, next[t]);
}

// A writer keeps its file open between records, yet follows the file by its name: a log
// deleted, replaced by another file or renamed away between two records is opened (or
// created) again at the next one, and the file that was let go is not written any more.
TEST_F(LogTest, LogDeletedReplacedOrRenamedBetweenRecordsIsFollowed) {
  struct Ring {
    const char *what;
    std::string path;
    std::function<void(const char *)> write;
    size_t record;
  } rings[] = {
      {"library log", LogPath(), [](const char *text) { WriteSnmpLog(text, 0); }, 113},
      {"trap log", install.data("SNMPTRAP/SNMP007.LOG"), [](const char *text) { WriteTrapLog(7, text, 0); },
       113},
      {"UPS log", install.data("UPS/UPS007.LOG"), [](const char *text) { WriteUpsLog(7, text); }, 102},
  };
  for (const Ring &ring : rings) {
    SCOPED_TRACE(ring.what);
    const size_t stamp = ring.record == 113 ? 31 : 20;
    ring.write("first");
    ASSERT_EQ(10 + ring.record, static_cast<size_t>(qt::file_size(ring.path)));

    // Deleted: the next record starts a new file.
    ASSERT_EQ(0, unlink(ring.path.c_str()));
    ring.write("after the delete");
    std::string content = qt::read_file(ring.path);
    ASSERT_EQ(10 + ring.record, content.size());
    EXPECT_EQ("after the delete", content.substr(10 + stamp, 16));

    // Replaced by another file (renamed over it): the next record goes where its header says.
    std::string other = ring.path + ".new";
    std::string prepared = "00000012\r\n" + std::string(12, 'p');
    qt::write_file(other, prepared);
    ASSERT_EQ(0, rename(other.c_str(), ring.path.c_str()));
    ring.write("into the replacement");
    content = qt::read_file(ring.path);
    ASSERT_EQ(10 + 12 + ring.record, content.size());
    EXPECT_EQ(std::string(12, 'p'), content.substr(10, 12));
    EXPECT_EQ("into the replacement", content.substr(10 + 12 + stamp, 20));
    char header[16];
    snprintf(header, sizeof header, "%08zu\r\n", 12 + ring.record);
    EXPECT_EQ(header, content.substr(0, 10));

    // Renamed away: a new file is made under the name, the renamed one stays as it was.
    std::string away = ring.path + ".old";
    ASSERT_EQ(0, rename(ring.path.c_str(), away.c_str()));
    ring.write("after the rename");
    EXPECT_EQ(content, qt::read_file(away));
    content = qt::read_file(ring.path);
    ASSERT_EQ(10 + ring.record, content.size());
    EXPECT_EQ("after the rename", content.substr(10 + stamp, 16));
  }

  // The log's folder renamed away and made again: the next record starts a new file in the new
  // folder. Folders inside DATA first, DATA itself last.
  for (auto ring = std::rbegin(rings); ring != std::rend(rings); ++ring) {
    SCOPED_TRACE(ring->what);
    const size_t stamp = ring->record == 113 ? 31 : 20;
    std::string folder = ring->path.substr(0, ring->path.rfind('/'));
    std::string name = ring->path.substr(ring->path.rfind('/'));
    std::string before = qt::read_file(ring->path);
    ASSERT_EQ(0, rename(folder.c_str(), (folder + ".away").c_str()));
    qt::make_dirs(folder);
    ring->write("in the new folder");
    EXPECT_EQ(before, qt::read_file(folder + ".away" + name));
    std::string content = qt::read_file(ring->path);
    ASSERT_EQ(10 + ring->record, content.size());
    EXPECT_EQ("in the new folder", content.substr(10 + stamp, 17));
  }
}

TEST_F(LogTest, TrapAndUpsLogNamesAndLayout) {
  WriteTrapLog(9000, "trap text", 7);
  WriteTrapLog(5, "other", 0);
  std::string trap = qt::read_file(install.data("SNMPTRAP/SNMP9000.LOG"));
  ASSERT_EQ(123u, trap.size());
  EXPECT_EQ("00000113\r\n", trap.substr(0, 10));
  EXPECT_TRUE(IsRecord(trap.substr(10), true));
  EXPECT_EQ("[00000007] trap text", trap.substr(30, 20));
  EXPECT_EQ(123, qt::file_size(install.data("SNMPTRAP/SNMP005.LOG")));

  struct Case {
    int code;
    const char *file;
  } cases[] = {{9000, "MYUPS.LOG"},
               {9003, "MYUPS_3.LOG"},
               {5, "UPS005.LOG"},
               {105, "UPS105.LOG"},
               {1234, "UPS1234.LOG"}};
  for (const Case &c : cases) {
    WriteUpsLog(c.code, "status line");
    std::string ups = qt::read_file(install.data(std::string("UPS/") + c.file));
    ASSERT_EQ(112u, ups.size()) << c.file;
    EXPECT_EQ("00000102\r\n", ups.substr(0, 10));
    EXPECT_TRUE(IsRecord(ups.substr(10), false)) << ups;
    EXPECT_EQ("status line" + std::string(69, ' ') + "\r\n", ups.substr(30));
  }
  // The UPS log wraps at 1000000: after 9803 records the offset is 999906 and the next record
  // is the last of the lap.
  for (int i = 1; i < 9803; ++i) WriteUpsLog(5, "x");
  std::string ups = qt::read_file(install.data("UPS/UPS005.LOG"));
  EXPECT_EQ("00999906\r\n", ups.substr(0, 10));
  WriteUpsLog(5, "wraps");
  EXPECT_EQ("00000000\r\n", qt::read_file(install.data("UPS/UPS005.LOG")).substr(0, 10));

  // Without its folder a log cannot be created: the line is dropped, nothing else happens.
  qt::TempDir empty("nolog");
  snprintf(g_Install_Path, sizeof g_Install_Path, "%s", empty.path().c_str());
  WriteTrapLog(1, "dropped", 0);
  WriteUpsLog(1, "dropped");
  EXPECT_FALSE(qt::file_exists(empty / "DATA"));
}

}  // namespace
