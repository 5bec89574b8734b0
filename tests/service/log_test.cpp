// The service log file: header arithmetic, wrap at the limit, damaged headers, cut texts,
// and the mark of entries written after a failed wait for the log lock.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>

#include "service_fixture.h"

namespace {

TEST_F(ServiceTest, HeaderHoldsTheEndOfTheLastEntry) {
  Start();
  Stop();
  std::string content = qt::read_file(LogPath());
  ASSERT_GT(content.size(), 9u);
  EXPECT_EQ('\n', content[8]);
  long position = atol(content.substr(0, 8).c_str());
  EXPECT_EQ(static_cast<long>(content.size()) - 9, position);
  // Every entry: date, time, code in brackets, text, line feed.
  for (const LogEntry &e : Log()) {
    EXPECT_EQ('/', e.stamp[4]);
    EXPECT_EQ(':', e.stamp[13]);
    EXPECT_EQ(' ', e.mark);
  }
}

TEST_F(ServiceTest, LogWrapsAtTheLimitAndSurvivesDamagedHeaders) {
  // A log whose next entry will reach the 5,360,000-byte limit.
  const long near_limit = 5360000 - 40;
  std::string content(static_cast<size_t>(9 + near_limit), 'o');
  char header[10];
  snprintf(header, sizeof header, "%08ld\n", near_limit);
  content.replace(0, 9, header);
  qt::write_file(LogPath(), content);
  Start(false);
  std::string after = qt::read_file(LogPath());
  // The entry that reached the limit was written in full after the old position; the header
  // went back to 0 and the following entries start at byte 9.
  EXPECT_EQ("quorinky_tsrx mutex created successfully\n",
            after.substr(static_cast<size_t>(9 + near_limit + 31), 41));
  EXPECT_EQ("] Service initializing...\n", after.substr(9 + 29, 26));
  EXPECT_LT(atol(after.substr(0, 8).c_str()), 100000);
  EXPECT_LE(after.size(), static_cast<size_t>(9 + 5360000 + 300));
  Stop();

  // A header that is not a number: the next entry goes to byte 9.
  qt::write_file(LogPath(), "garbage!\nold old old old old old old old old old old old old\n");
  Start();
  after = qt::read_file(LogPath());
  EXPECT_EQ("] quorinky_tsrx mutex created successfully\n", after.substr(9 + 29, 43));
  Stop();

  // A header far beyond the limit must not grow the file there.
  qt::write_file(LogPath(), "99999999\n");
  Start();
  Stop();
  EXPECT_LT(qt::file_size(LogPath()), 100000);
}

// Starts the service so that it writes exactly one entry, "quorinky_tsrx mutex created
// successfully" (72 bytes), and stops at once: the creation of its stop event fails.
void WriteOneEntry(const std::string &program, const std::map<std::string, std::string> &env) {
  std::map<std::string, std::string> one = env;
  one["INVOCATION_ID"] = "qt";
  one["QUORIN_SVCCTL"] = "";
  one["NOTIFY_SOCKET"] = "";
  one["QUORIN_FAULTS"] = "event_create:0:1";
  qt::Child service({program}, one);
  EXPECT_EQ(0, service.wait());
  EXPECT_EQ(std::string::npos, service.output().find("Sanitizer")) << service.output();
}

// A log whose header holds POSITION, padded with 'o' up to it.
void WriteLogAt(const std::string &path, long position) {
  std::string content(static_cast<size_t>(9 + position), 'o');
  char header[10];
  snprintf(header, sizeof header, "%08ld\n", position);
  content.replace(0, 9, header);
  qt::write_file(path, content);
}

TEST_F(ServiceTest, LogWrapsExactlyWhenAnEntryReachesTheLimit) {
  InstallLibraries();
  const long limit = 5360000, entry = 72;
  const std::string text = "] quorinky_tsrx mutex created successfully\n";
  struct Case {
    long position;     // in the header before the entry
    long entry_at;     // where the entry goes
    const char *next;  // the header after it
  } cases[] = {
      {limit - entry, limit - entry, "00000000"},          // ends exactly at the limit: wraps
      {limit - entry - 1, limit - entry - 1, "05359999"},  // one byte short of it: no wrap yet
      {limit - 1, limit - 1, "00000000"},                  // the last position still takes an entry
      {limit, 0, "00000072"},                              // a header at the limit starts over
  };
  for (const Case &c : cases) {
    WriteLogAt(LogPath(), c.position);
    WriteOneEntry(install.dir() + "/quomvlsv", Env());
    std::string after = qt::read_file(LogPath());
    EXPECT_EQ(c.next, after.substr(0, 8)) << c.position;
    EXPECT_EQ(text, after.substr(static_cast<size_t>(9 + c.entry_at + 29), text.size())) << c.position;
    EXPECT_EQ(static_cast<size_t>(9 + std::max(c.position, c.entry_at + entry)), after.size()) << c.position;
  }
}

TEST_F(ServiceTest, EntriesAfterAFailedLockWaitAreMarked) {
  // The second wait for the log lock fails. It is the start-up's "Service initializing...",
  // written while no other thread of the service exists yet (an entry written without the
  // lock may otherwise be overwritten by a concurrent writer).
  extra_env["QUORIN_FAULTS"] = "mutex_wait:1:1";
  Start();
  std::vector<LogEntry> log = Log();
  ASSERT_GT(log.size(), 5u);
  EXPECT_EQ(' ', log[0].mark);
  EXPECT_EQ("quorinky_tsrx mutex created successfully", log[0].text);
  EXPECT_EQ('*', log[1].mark);
  EXPECT_EQ("Service initializing...", log[1].text);
  for (size_t i = 2; i < log.size(); ++i) EXPECT_EQ(' ', log[i].mark) << log[i].text;
}

// The service keeps its log open between entries, yet follows the file by its name: a log
// deleted, replaced by another file or renamed away while the service runs is opened (or
// created) again at the next entry, and the file that was let go is not written any more.
TEST_F(ServiceTest, LogDeletedReplacedOrRenamedWhileRunningIsFollowed) {
  Start();
  // The first entry of a connection: "Client connected", or with "(already connected)" when the
  // client came before the service was waiting for it.
  const std::string kFirst = "] Client connected";
  // The connection's entries from the first to the last, from AT on.
  auto c02_entries_at = [&kFirst](const std::string &content, size_t at) {
    return content.compare(at + 29, kFirst.size(), kFirst) == 0 &&
           content.find("] CMD: C02\n", at) != std::string::npos &&
           content.find("] C02 response: 4\n", at) != std::string::npos &&
           content.find("] Client connection ended\n", at) != std::string::npos;
  };

  // Deleted: the next entries start a new file.
  size_t mark = 0;
  ASSERT_EQ(0, unlink(LogPath().c_str()));
  mark = LogMark();
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  ASSERT_TRUE(WaitForLog("Client connection ended", mark));
  std::string content = qt::read_file(LogPath());
  ASSERT_GT(content.size(), 9u);
  EXPECT_TRUE(c02_entries_at(content, 9)) << content;
  EXPECT_EQ(static_cast<long>(content.size()) - 9, atol(content.substr(0, 8).c_str()));

  // Replaced by another file (renamed over it): the entries go where its header says.
  std::string other = LogPath() + ".new";
  qt::write_file(other, "00000005\nkept\n");
  ASSERT_EQ(0, rename(other.c_str(), LogPath().c_str()));
  mark = LogMark();
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  ASSERT_TRUE(WaitForLog("Client connection ended", mark));
  content = qt::read_file(LogPath());
  EXPECT_EQ("kept\n", content.substr(9, 5));
  EXPECT_TRUE(c02_entries_at(content, 14)) << content;
  EXPECT_EQ(static_cast<long>(content.size()) - 9, atol(content.substr(0, 8).c_str()));

  // Renamed away: a new file is made under the name, the renamed one stays as it was.
  std::string away = LogPath() + ".old";
  ASSERT_EQ(0, rename(LogPath().c_str(), away.c_str()));
  mark = LogMark();
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  ASSERT_TRUE(WaitForLog("Client connection ended", mark));
  EXPECT_EQ(content, qt::read_file(away));
  content = qt::read_file(LogPath());
  EXPECT_TRUE(c02_entries_at(content, 9)) << content;
}

TEST_F(ServiceTest, LongTextsAreCutAndTrailingBlanksDropped) {
  std::string long_name(400, 'n');
  WriteConfig("[common]\nCommunity=" + long_name +
              "   \nTSR_SVR_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=a b  \n");
  Start();
  EXPECT_TRUE(LogHas(("[common] Community = " + long_name).substr(0, 256)));
  EXPECT_TRUE(LogHas("[Server1] UPS_IP1 = a b"));
}

}  // namespace
