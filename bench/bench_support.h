// Shared pieces of the benchmarks: a free UDP port, an upssim card process, and a reporter
// that keeps each benchmark's real time per iteration so that ratios can be printed.
#pragma once

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// A UDP port that is free on ADDRESS now (the kernel picks it); 0 when none could be had.
inline uint16_t FreeUdpPort(const char *address) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, address, &a.sin_addr);
  socklen_t length = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

// One upssim process serving one card or a range of cards, with its runtime directory.
class UpssimCard {
 public:
  // Starts the card ADDRESS (or a range "FIRST-LAST", then LAST names the last card) on PORT
  // (COMMUNITY empty = upssim's default); true once it serves.
  bool Start(const std::string &runtime_dir, const char *address, uint16_t port, const std::string &community,
             const char *last = nullptr) {
    runtime_ = runtime_dir;
    std::string program = std::string(QUORIN_OUT_DIR) + "/upssim";
    std::string port_text = std::to_string(port);
    pid_ = fork();
    if (pid_ == 0) {
      setenv("QUORIN_RUNTIME_DIR", runtime_.c_str(), 1);
      if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
      if (community.empty())
        execl(program.c_str(), "upssim", "--cards", address, "--port", port_text.c_str(),
              static_cast<char *>(nullptr));
      else
        execl(program.c_str(), "upssim", "--cards", address, "--port", port_text.c_str(), "--community",
              community.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    std::string link = runtime_ + "/upssim/" + (last != nullptr ? last : address);
    for (int i = 0; i < 500; ++i) {
      struct stat st;
      if (lstat(link.c_str(), &st) == 0) return true;
      usleep(10000);
    }
    return false;
  }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  ~UpssimCard() { Stop(); }

 private:
  std::string runtime_;
  pid_t pid_ = -1;
};

// Keeps the real time per iteration of each run (seconds), by benchmark name.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs)
      if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred)
        per_iteration[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations);
    ConsoleReporter::ReportRuns(runs);
  }
  // Seconds per iteration of the first run whose name starts with PREFIX, 0 when none ran.
  double Seconds(const std::string &prefix) const {
    for (const auto &[name, seconds] : per_iteration)
      if (name.rfind(prefix, 0) == 0) return seconds;
    return 0;
  }
  std::map<std::string, double> per_iteration;
};

// Removes a scratch directory and everything in it.
inline void RemoveTree(const std::string &dir) {
  std::string command = "rm -rf '" + dir + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}

}  // namespace bench
