// What the service tells an operator beyond its log file: whether its configuration loaded
// (status text for svcctl query and systemd's STATUS=, an error in the journal) and every log
// line in the journal, while the pipe answers as it always has.
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"

namespace {

// A datagram socket standing in for systemd's notification socket or the journal's.
class Datagrams {
 public:
  explicit Datagrams(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    // Generous: a sanitizer build starts the service slowly.
    struct timeval tv = {20, 0};
    if (bound_) setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Datagrams() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  const std::string &path() const { return path_; }
  // The next datagram, or "" when none came in time (the socket's 20 s, or WAIT_MS).
  std::string Next(int flags = 0, int wait_ms = 0) {
    if (wait_ms > 0) {
      struct timeval tv = {wait_ms / 1000, (wait_ms % 1000) * 1000};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, flags);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// The fields of one journal entry in the native protocol ("KEY=value" lines).
std::map<std::string, std::string> Fields(const std::string &datagram) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at < datagram.size()) {
    size_t nl = datagram.find('\n', at);
    std::string line = datagram.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    size_t eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return fields;
}

struct ConfigCase {
  const char *ini;   // nullptr: no file
  const char *text;  // status text up to the file's path
  const char *after_path;
  const char *k02;  // the reply to K02, as before
};

TEST_F(ServiceTest, ConfigurationStateInTheStatusTextAndToSystemd) {
  const std::string server1 = "[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n";
  const std::string good =
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n" + server1 + "[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.3\n";
  const std::string second_short =
      "[common]\nTSR_SVR_NUM=2\n" + server1 + "[Server2]\nUPS_NUM=2\nUPS_IP1=127.0.0.4\n";
  const ConfigCase cases[] = {
      {nullptr, "CONFIGURATION NOT LOADED: Config file not found (",
       "); running with 0 servers, 0 storage units", "K02 13014"},
      {"[common]\nTSR_SVR_NUM=0\n", "CONFIGURATION NOT LOADED: Invalid TSR_SVR_NUM in [common] (",
       "); running with 0 servers, 0 storage units", "K02 13014"},
      {second_short.c_str(), "CONFIGURATION NOT LOADED: Missing UPS_IP2 in [Server2] (",
       "); running with 1 servers, 0 storage units", "K02 13014"},
      {good.c_str(), "configuration loaded: 1 servers, 1 storage units (", ")", "K02 00014"},
  };
  InstallLibraries();
  const std::string config = install.data("ky_e_net.ini");
  for (const ConfigCase &c : cases) {
    SCOPED_TRACE(c.text);
    if (c.ini != nullptr)
      WriteConfig(c.ini);
    else
      unlink(config.c_str());
    Datagrams notify(install.dir() + "/notify.sock");
    ASSERT_TRUE(notify.bound());
    std::map<std::string, std::string> env = Env();
    env["NOTIFY_SOCKET"] = notify.path();
    env["QUORIN_SVCCTL"] = "";
    size_t before = Log().size();
    qt::Child service({install.dir() + "/quomvlsv"}, env);
    const std::string expected = std::string(c.text) + config + c.after_path;
    std::string report;
    for (int i = 0; i < 5 && report.rfind("STATUS=running: ", 0) != 0; ++i) report = notify.Next();
    EXPECT_EQ("STATUS=running: " + expected, report);
    ASSERT_TRUE(WaitForLog("Delayed initialization completed", before, 20000));
    std::string query = Svcctl({"query", "Mavr_tsr_monitor"});
    EXPECT_NE(std::string::npos, query.find("        STATUS_TEXT        : " + expected + "\n")) << query;
    // Callers see the pipe as they always have.
    EXPECT_EQ(c.k02, Send("K02 0000"));
    service.kill_now(SIGTERM);
    EXPECT_EQ(0, service.wait());
    unlink((install.dir() + "/notify.sock").c_str());
  }
}

// The journal's socket is a fixed path; the service runs in a mount namespace of its own
// where a socket of the test stands there.
TEST_F(ServiceTest, LogLinesAlsoGoToTheJournal) {
  if (geteuid() != 0 || system("unshare --mount true 2>/dev/null") != 0)
    GTEST_SKIP() << "needs root and mount namespaces to stand in for the journal's socket";
  qt::TempDir journal_dir("journal");
  Datagrams journal(journal_dir / "socket");
  ASSERT_TRUE(journal.bound());
  // Read as journald does, all the time: a full socket queue would hold the writer up.
  struct Reader {
    explicit Reader(Datagrams &s) : socket(s) {}
    Datagrams &socket;
    std::mutex lock;
    std::vector<std::string> received;
    std::atomic<bool> done{false};
    std::thread thread{[this] {
      while (!done.load()) {
        std::string d = socket.Next(0, 50);
        std::lock_guard<std::mutex> guard(lock);
        if (!d.empty()) received.push_back(d);
      }
    }};
    ~Reader() { Stop(); }
    std::vector<std::string> Stop() {
      done.store(true);
      if (thread.joinable()) thread.join();
      return received;
    }
  } reader(journal);
  start_wrapper = {"unshare",
                   "--mount",
                   "--propagation",
                   "private",
                   "sh",
                   "-c",
                   "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal && "
                   "mount --bind \"$0\" /run/systemd/journal && exec \"$@\"",
                   journal_dir.path()};
  extra_env["QUORIN_JOURNAL"] = "1";
  Start();
  EXPECT_EQ("C02 00014", Send("C02 0000"));
  Stop();
  // Outside systemd and without QUORIN_JOURNAL, nothing goes there.
  extra_env["QUORIN_JOURNAL"] = "";
  extra_env["INVOCATION_ID"] = "";
  size_t first_run = Log().size();
  Start();
  Stop();
  std::vector<std::string> datagrams = reader.Stop();

  std::vector<std::map<std::string, std::string>> entries;
  for (const std::string &d : datagrams) entries.push_back(Fields(d));
  // Every line of the ring, in its order, with its code and a priority from it; one error
  // more for the missing configuration.
  std::vector<LogEntry> ring = Log();
  ring.resize(first_run);  // the second run sent nothing: its lines are not compared
  size_t line = 0;
  int errors = 0;
  for (const auto &e : entries) {
    EXPECT_EQ("quomvlsv", e.at("SYSLOG_IDENTIFIER"));
    if (e.at("PRIORITY") == "3") {
      ++errors;
      EXPECT_EQ(0u, e.at("MESSAGE").rfind("CONFIGURATION NOT LOADED: Config file not found (", 0))
          << e.at("MESSAGE");
      continue;
    }
    ASSERT_LT(line, ring.size()) << e.at("MESSAGE");
    EXPECT_EQ(ring[line].text, e.at("MESSAGE"));
    char code[16];
    snprintf(code, sizeof code, "%08x", ring[line].code);
    EXPECT_EQ(code, e.at("QUORIN_CODE"));
    EXPECT_EQ(ring[line].code != 0 ? "4" : "6", e.at("PRIORITY")) << e.at("MESSAGE");
    ++line;
  }
  EXPECT_EQ(ring.size(), line) << "every line of the first run, and none of the second";
  EXPECT_EQ(1, errors);
  EXPECT_GT(line, 20u);
}

}  // namespace
