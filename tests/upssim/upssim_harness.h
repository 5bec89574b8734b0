// Starts upssim as a real process for a test, on a port and runtime directory of its own, and
// runs its control verbs.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"

namespace qt {

// A UDP port that is free on ADDRESS now (the kernel picks it).
inline uint16_t free_udp_port(const char *address = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, address, &a.sin_addr);
  a.sin_port = 0;
  socklen_t length = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
    if (fd >= 0) close(fd);
    return 0;
  }
  close(fd);
  return ntohs(a.sin_port);
}

// One upssim process serving the cards FIRST..LAST (or those of a config file).
class Simulator {
 public:
  // EXTRA is appended to the command line ("--trap-to", "--config", ...). When CONFIG_TEXT is
  // given it is written to a file and passed with --config instead of --cards.
  explicit Simulator(const std::string &first = "127.0.0.2", const std::string &last = "",
                     const std::vector<std::string> &extra = {}, const std::string &config_text = "")
      : dir_("upssim"), last_(last.empty() ? first : last) {
    port_ = free_udp_port(first.c_str());
    runtime_ = dir_ / "run";
    make_dirs(runtime_);
    std::vector<std::string> argv = {out_dir() + "/upssim", "--port", std::to_string(port_)};
    if (config_text.empty()) {
      argv.push_back("--cards");
      argv.push_back(first + "-" + last_);
    } else {
      write_file(dir_ / "cards.conf", config_text);
      argv.push_back("--config");
      argv.push_back(dir_ / "cards.conf");
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_ = std::make_unique<Child>(argv, env());
    ready_ = wait_until([&] { return file_exists(runtime_ + "/upssim/" + last_) || !child_->running(); },
                        std::chrono::seconds(10)) &&
             child_->running();
    EXPECT_TRUE(ready_) << "upssim did not start: " << child_->output();
  }

  ~Simulator() {
    if (child_->running()) {
      child_->kill_now(SIGTERM);
      if (child_->wait(std::chrono::seconds(5)) == -1) child_->kill_now(SIGKILL);
    }
  }

  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }
  std::string agent(const std::string &address = "127.0.0.2") const {
    return address + ":" + std::to_string(port_);
  }
  const std::string &runtime() const { return runtime_; }
  Child &child() { return *child_; }
  std::map<std::string, std::string> env() const { return {{"QUORIN_RUNTIME_DIR", runtime_}}; }

  // Runs "upssim ctl ADDRESS ARGS..."; returns its output and puts the exit status in *STATUS.
  std::string ctl(const std::string &address, const std::vector<std::string> &args,
                  int *status = nullptr) const {
    std::vector<std::string> argv = {out_dir() + "/upssim", "ctl", address};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    int rc = run(argv, env(), &output, std::chrono::seconds(30));
    if (status != nullptr) *status = rc;
    return output;
  }

  // The value text of one variable as the card holds it ("INTEGER 2", "STRING \"...\"").
  std::string value(const std::string &address, const std::string &oid) const {
    std::string line = ctl(address, {"get", oid});
    std::string prefix = oid + " ";
    if (line.compare(0, prefix.size(), prefix) != 0) return "?" + line;
    line = line.substr(prefix.size());
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }

 private:
  TempDir dir_;
  std::string last_;
  std::string runtime_;
  uint16_t port_ = 0;
  std::unique_ptr<Child> child_;
  bool ready_ = false;
};

}  // namespace qt
