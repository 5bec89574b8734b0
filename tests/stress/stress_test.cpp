// Stress runs against the real service with the real SNMP UPS library and upssim cards: many
// clients sending C02 and K02 at once for a fixed time, and a long series of random and
// mutated frames. Each run is bounded in time or count (QUORIN_STRESS_SECONDS,
// QUORIN_STRESS_FRAMES) and runs alone, so that its load does not disturb other tests.
//
// In the sanitizer builds resident memory says nothing about leaks (the address sanitizer
// keeps freed memory in quarantine, the thread sanitizer keeps records of every thread it has
// seen), so only the normal build compares it; the address-sanitizer build finds leaks when
// the service ends. The thread-sanitizer build, some five times slower per frame, sends 30,000
// hostile frames instead of 100,000.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quorin/platform.h"
#include "service_fixture.h"
#include "upssim_harness.h"

namespace {

constexpr char kPipe[] = "\\\\.\\pipe\\npquomvl1";
constexpr int kClients = 64;
constexpr int kFrameSenders = 8;
constexpr int kProbeEvery = 1000;  // a C02 probe follows every 1000th frame
constexpr long kLogLimit = 5360000;
// Resident memory the service may gain over a run once a warm-up run of the same shape has
// grown its allocator arenas and thread-stack cache (a loaded 2-core machine shows some 200 kB
// over 70,000 requests); a leak of 32 bytes per request shows over that many.
constexpr long kRssGrowthLimitKb = 2048;
// The SNMP layer keeps sessions idle for the next request of the same kind (one UDP socket
// each, at most 260 in all), closing them when a later close finds them expired: UDP sockets
// may stay open after the traffic up to that bound; every other descriptor must be gone.
constexpr long kKeptSessions = 260;
constexpr std::string_view kSanitizer = QUORIN_STRESS_SANITIZER;
constexpr long kDefaultFrames = kSanitizer == "thread" ? 30000 : 100000;

long EnvNumber(const char *name, long fallback) {
  const char *text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  return (end != text && *end == '\0' && value > 0) ? value : fallback;
}

// Sends REQUEST over a new connection and reads the reply into *REPLY. A busy pipe is waited
// for, as the client library does; false when no connection could be had within 20 s.
bool Exchange(const std::string &request, std::string *reply, uint32_t *read_result) {
  qp_pipe *pipe = nullptr;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  uint32_t opened;
  while ((opened = qp_pipe_open(kPipe, &pipe)) == ERROR_PIPE_BUSY &&
         std::chrono::steady_clock::now() < deadline)
    qp_pipe_wait(kPipe, 1000);
  if (opened != ERROR_SUCCESS) return false;
  uint32_t done = 0;
  qp_pipe_write(pipe, request.data(), static_cast<uint32_t>(request.size()), &done);
  char buffer[8192];
  *read_result = qp_pipe_read(pipe, buffer, sizeof buffer, &done);
  reply->assign(buffer, *read_result == ERROR_SUCCESS ? done : 0);
  qp_pipe_close(pipe);
  return true;
}

// What /proc tells of a process: threads, open descriptors other than UDP sockets, UDP
// sockets (the SNMP sessions and the trap listener), resident memory.
struct ProcessFigures {
  long threads = -1;
  long descriptors = -1;
  long udp_sockets = -1;
  long rss_kb = -1;
};

long CountEntries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  long count = 0;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++count;
  closedir(d);
  return count;
}

ProcessFigures Figures(long pid) {
  ProcessFigures f;
  std::string proc = "/proc/" + std::to_string(pid);
  f.threads = CountEntries(proc + "/task");
  // The inodes of the process's UDP sockets (tenth column of its net/udp tables).
  std::set<std::string> udp;
  for (const char *table : {"/net/udp", "/net/udp6"}) {
    std::istringstream lines(qt::read_file(proc + table));
    std::string line;
    std::getline(lines, line);  // the column names
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string field;
      for (int i = 0; i < 10 && fields >> field; ++i) {
      }
      udp.insert(field);
    }
  }
  f.descriptors = 0;
  f.udp_sockets = 0;
  if (DIR *d = opendir((proc + "/fd").c_str())) {
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char target[256];
      ssize_t n = readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
      std::string link(target, n > 0 ? static_cast<size_t>(n) : 0);
      bool is_udp = link.rfind("socket:[", 0) == 0 && udp.count(link.substr(8, link.size() - 9)) != 0;
      ++(is_udp ? f.udp_sockets : f.descriptors);
    }
    closedir(d);
  } else {
    f.descriptors = -1;
  }
  std::string status = qt::read_file(proc + "/status");
  size_t at = status.find("VmRSS:");
  if (at != std::string::npos) f.rss_kb = atol(status.c_str() + at + 6);
  return f;
}

// Empty when REPLY is a well-formed answer to REQUEST (or rightly none), else what is wrong.
// K02 may answer "13" here: the hostile frames switch cards off.
std::string ReplyFault(const std::string &request, uint32_t read_result, const std::string &reply) {
  if (request.size() < 8 || request.size() > 4096)
    return reply.empty() ? "" : "a reply to a request of " + std::to_string(request.size()) + " bytes";
  if (read_result != ERROR_SUCCESS) return "no reply (" + std::to_string(read_result) + ")";
  if (reply.size() != 8 && reply.size() != 9) return "a reply of " + std::to_string(reply.size()) + " bytes";
  if (reply.compare(0, 4, request, 0, 4) != 0) return "bytes 0 to 3 not echoed";
  std::string code = request.substr(0, 3), fields = reply.substr(4);
  bool good;
  if (code == "C02")
    good = fields == "00014";
  else if (code == "K02")
    good = fields == "00014" || fields == "13014";
  else if (code == "PCS")
    good = fields == "0000" || fields == "1000";
  else if (code == "AD1" || code == "CSD")
    good = reply.size() == 8 && (fields.compare(0, 2, "00") == 0 || fields.compare(0, 2, "10") == 0) &&
           reply.compare(6, 2, request, 6, 2) == 0;
  else
    good = fields == "1F00";
  return good ? "" : "fields [" + fields + "] for " + code;
}

// One random or mutated frame, the same for the same SEED and INDEX.
std::string HostileFrame(uint32_t seed, uint32_t index) {
  std::mt19937 rng(seed * 2654435761u + index);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  auto random_bytes = [&](size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(pick(256));
    return s;
  };
  uint32_t kind = pick(100);
  if (kind < 30) return random_bytes(pick(20));
  if (kind < 33) return random_bytes(4080 + pick(40));  // around the 4096-byte limit
  static const char *const kCommon[] = {"C02 0000", "XYZ 0000", "c02 0000", "C02 0000"};
  static const char *const kCostly[] = {"K02 0000", "PCS 0000", "AD1 00010", "CSD 0001F", "AD1 00012"};
  std::string frame = pick(10) < 8 ? kCommon[pick(4)] : kCostly[pick(5)];
  static const char kControl[] = {'\0', '\r', '\n', '\t', '\x1b', '\x7f', '\x08'};
  for (uint32_t m = 1 + pick(4); m > 0; --m) {
    size_t at = frame.empty() ? 0 : pick(static_cast<uint32_t>(frame.size()));
    switch (pick(6)) {
      case 0:
        if (!frame.empty()) frame[at] = static_cast<char>(pick(256));
        break;
      case 1:
        if (!frame.empty()) frame[at] = kControl[pick(sizeof kControl)];
        break;
      case 2:
        frame.insert(at, 1, static_cast<char>(pick(256)));
        break;
      case 3:
        if (!frame.empty()) frame.erase(at, 1);
        break;
      case 4:
        frame.resize(at);
        break;
      default:
        frame += random_bytes(1 + pick(40));
        break;
    }
  }
  return frame;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Empty when one log line is an entry: "YYYY/MM/DD hh:mm:ss" and a blank or '*', the code in
// brackets as eight lower-case hex digits, a blank and a text without control bytes.
std::string EntryFault(const std::string &line) {
  static const char kShape[] = "####/##/## ##:##:##";
  if (line.size() < 31) return "a line of " + std::to_string(line.size()) + " bytes";
  for (size_t i = 0; i < 19; ++i)
    if (kShape[i] == '#' ? !IsDigit(line[i]) : line[i] != kShape[i]) return "no time stamp";
  if ((line[19] != ' ' && line[19] != '*') || line[20] != '[' || line[29] != ']' || line[30] != ' ')
    return "no code field";
  for (size_t i = 21; i < 29; ++i)
    if (!IsDigit(line[i]) && (line[i] < 'a' || line[i] > 'f')) return "a code that is not lower-case hex";
  for (size_t i = 31; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7f) return "a control byte in the text";
  }
  return "";
}

// Empty when the service log is well formed: the header holds eight digits and a line feed
// and a position inside the ring; every line of the newest lap up to that position is a whole
// entry, in time order; after it, in the previous lap, every line after the one the newest
// entry cut into is a whole entry, up to the entry that reached the size limit and wrapped.
// (Entries differ in length, so what lies beyond that one is the tail of older laps.)
std::string LogFault(const std::string &log) {
  if (log.size() < 9 || log[8] != '\n') return "no header";
  for (int i = 0; i < 8; ++i)
    if (!IsDigit(log[static_cast<size_t>(i)])) return "a header that is not eight digits";
  long position = atol(log.substr(0, 8).c_str());
  if (position >= kLogLimit || 9 + static_cast<size_t>(position) > log.size())
    return "a position outside the file";
  size_t end = 9 + static_cast<size_t>(position);
  if (position > 0 && log[end - 1] != '\n') return "the newest entry is not whole";
  std::string last_stamp;
  for (size_t at = 9; at < end;) {
    size_t eol = log.find('\n', at);
    std::string line = log.substr(at, eol - at);
    std::string fault = EntryFault(line);
    if (!fault.empty()) return fault + " at byte " + std::to_string(at) + ": [" + line.substr(0, 80) + "]";
    if (line.compare(0, 19, last_stamp) < 0) return "entries out of time order at byte " + std::to_string(at);
    last_stamp = line.substr(0, 19);
    at = eol + 1;
  }
  const size_t wrap_end = 9 + static_cast<size_t>(kLogLimit);  // an entry ending here or later wrapped
  size_t cut = log.find('\n', end);
  for (size_t at = cut == std::string::npos ? log.size() : cut + 1; at < log.size() && at < wrap_end;) {
    size_t eol = log.find('\n', at);
    if (eol == std::string::npos) return "the previous lap ends inside an entry";
    std::string line = log.substr(at, eol - at);
    std::string fault = EntryFault(line);
    if (!fault.empty())
      return fault + " at byte " + std::to_string(at) + " (previous lap): [" + line.substr(0, 80) + "]";
    at = eol + 1;
  }
  return "";
}

class StressTest : public ServiceTest {
 protected:
  void SetUp() override {
    sim = std::make_unique<qt::Simulator>("127.0.0.2", "127.0.0.4",
                                          std::vector<std::string>{"--community", "kelpie"});
    ASSERT_TRUE(sim->ready());
    extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim->port());
    snmp_library = "";
    install.add("SNMPUPS.DLL");
    WriteConfig(
        "[common]\nTSR_SVR_NUM=1\nStorage_NUM=2\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
        "[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.3\n[Storage2]\nUPS_NUM=1\nUPS_IP1=127.0.0.4\n");
    Start();
    std::string status = qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor");
    size_t at = status.find("pid=");
    ASSERT_NE(std::string::npos, at) << status;
    pid = atol(status.c_str() + at + 4);
  }

  // Waits until the service has no more threads and descriptors (UDP sockets aside) than BASE
  // (the threads of finished clients end a little after their reply); returns the figures
  // then.
  ProcessFigures Settled(const ProcessFigures &base) {
    ProcessFigures now;
    qt::wait_until(
        [&] {
          now = Figures(pid);
          return now.threads <= base.threads && now.descriptors <= base.descriptors;
        },
        std::chrono::seconds(30));
    return now;
  }

  // 64 clients, each sending C02 and K02 in turn over a new connection per request for
  // SECONDS; every reply must be the exact one with the client's own unit character.
  struct LoadResult {
    long sent = 0, answered = 0, lost = 0, wrong = 0;
    std::string first_wrong;
  };
  LoadResult RunClients(long seconds) {
    LoadResult result;
    std::mutex lock;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        char unit = static_cast<char>('A' + i % 26);
        long sent = 0, answered = 0, lost = 0, wrong = 0;
        std::string first_wrong;
        for (long n = i; std::chrono::steady_clock::now() < deadline; ++n) {
          std::string code = n % 2 == 0 ? "C02" : "K02";
          std::string request = code + unit + "0000", reply;
          uint32_t read_result = 0;
          ++sent;
          if (!Exchange(request, &reply, &read_result) || read_result != ERROR_SUCCESS) {
            ++lost;
            continue;
          }
          ++answered;
          if (reply != code + unit + "00014") {
            ++wrong;
            if (first_wrong.empty()) first_wrong = request + " -> " + reply;
          }
        }
        std::lock_guard<std::mutex> hold(lock);
        result.sent += sent;
        result.answered += answered;
        result.lost += lost;
        result.wrong += wrong;
        if (result.first_wrong.empty()) result.first_wrong = first_wrong;
      });
    }
    for (std::thread &t : clients) t.join();
    return result;
  }

  std::unique_ptr<qt::Simulator> sim;
  long pid = 0;
};

TEST_F(StressTest, SixtyFourClientsSendC02AndK02WithoutLossOrGrowth) {
  const long seconds = EnvNumber("QUORIN_STRESS_SECONDS", 30);
  // A short run of the same shape first: it grows the allocator's arenas and the cache of
  // thread stacks to what such a load needs, so that what the long run adds is what it keeps.
  ProcessFigures idle = Figures(pid);
  LoadResult warm = RunClients(3);
  ASSERT_GT(warm.answered, 0);
  ProcessFigures before = Settled(idle);
  ASSERT_LE(before.threads, idle.threads);

  LoadResult load = RunClients(seconds);
  // Every card is on line: every K02 answers "00", and every request is answered.
  EXPECT_EQ(0, load.lost) << "of " << load.sent;
  EXPECT_EQ(0, load.wrong) << "of " << load.answered << " replies; first: " << load.first_wrong;
  EXPECT_GT(load.answered, kClients) << "the clients were hardly served";

  ProcessFigures after = Settled(idle);
  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.descriptors, idle.descriptors);
  EXPECT_LE(after.udp_sockets, idle.udp_sockets + kKeptSessions);
  if (kSanitizer.empty()) {
    EXPECT_LE(after.rss_kb, before.rss_kb + kRssGrowthLimitKb)
        << "resident memory " << before.rss_kb << " kB before, " << after.rss_kb << " kB after " << load.sent
        << " requests";
  }
  printf(
      "%ld requests from %d clients in %ld s (%ld answered); threads %ld -> %ld, descriptors %ld -> %ld, "
      "resident %ld -> %ld kB\n",
      load.sent, kClients, seconds, load.answered, before.threads, after.threads, before.descriptors,
      after.descriptors, before.rss_kb, after.rss_kb);
  std::string log = qt::read_file(LogPath());
  EXPECT_EQ("", LogFault(log));
}

TEST_F(StressTest, HostileFramesLeaveTheServiceAnsweringWithAWellFormedLog) {
  const long frames = EnvNumber("QUORIN_STRESS_FRAMES", kDefaultFrames);
  const uint32_t seed = static_cast<uint32_t>(EnvNumber("QUORIN_STRESS_SEED", 20240611));
  ProcessFigures idle = Figures(pid);
  std::atomic<long> next{0}, faults{0}, probes{0};
  std::mutex lock;
  std::string first_fault;
  auto report = [&](const std::string &what) {
    ++faults;
    std::lock_guard<std::mutex> hold(lock);
    if (first_fault.empty()) first_fault = what;
  };
  std::vector<std::thread> senders;
  for (int s = 0; s < kFrameSenders; ++s) {
    senders.emplace_back([&] {
      long index;
      while ((index = next++) < frames) {
        std::string request = HostileFrame(seed, static_cast<uint32_t>(index)), reply;
        uint32_t read_result = 0;
        if (!Exchange(request, &reply, &read_result)) {
          report("frame " + std::to_string(index) + ": no connection");
          continue;
        }
        std::string fault = ReplyFault(request, read_result, reply);
        if (!fault.empty()) report("frame " + std::to_string(index) + ": " + fault);
        if (index % kProbeEvery == 0) {
          ++probes;
          if (!Exchange("C02 0000", &reply, &read_result) || reply != "C02 00014")
            report("the probe after frame " + std::to_string(index) + " got [" + reply + "]");
        }
      }
    });
  }
  for (std::thread &t : senders) t.join();
  EXPECT_EQ(0, faults.load()) << "seed " << seed << ", first: " << first_fault;
  EXPECT_EQ((frames + kProbeEvery - 1) / kProbeEvery, probes.load());

  std::string reply;
  uint32_t read_result = 0;
  ASSERT_TRUE(Exchange("C02 0000", &reply, &read_result));
  EXPECT_EQ("C02 00014", reply);
  ProcessFigures after = Settled(idle);
  EXPECT_LE(after.threads, idle.threads);
  EXPECT_LE(after.descriptors, idle.descriptors);
  EXPECT_LE(after.udp_sockets, idle.udp_sockets + kKeptSessions);
  std::string log = qt::read_file(LogPath());
  EXPECT_EQ("", LogFault(log)) << "seed " << seed;
  printf("%ld frames (seed %u), log of %zu bytes\n", frames, seed, log.size());
}

}  // namespace
