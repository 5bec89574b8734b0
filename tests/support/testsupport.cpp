// Helpers for tests: scratch directories, install folders with registry files, child processes.
#include "testsupport.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace qt {

std::string out_dir() {
  return QUORIN_OUT_DIR;
}
std::string test_bin_dir() {
  return QUORIN_TEST_BIN_DIR;
}
std::string source_dir() {
  return QUORIN_SOURCE_DIR;
}

TempDir::TempDir(const std::string &tag) {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  if (getenv("QUORIN_KEEP_TEST_DIRS") != nullptr) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

long file_size(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

void make_dirs(const std::string &path) {
  fs::create_directories(path);
}

void copy_file(const std::string &from, const std::string &to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::status(from).permissions());
}

Install::Install(const std::string &tag) : root_(tag) {
  dir_ = root_.path() + "/opt";
  runtime_ = root_.path() + "/run";
  registry_ = root_.path() + "/registry.reg";
  make_dirs(dir_ + "/DATA/UPS");
  make_dirs(dir_ + "/DATA/SNMPTRAP");
  make_dirs(runtime_);
  write_registry();
}

std::string Install::data(const std::string &name) const {
  return name.empty() ? dir_ + "/DATA" : dir_ + "/DATA/" + name;
}

void Install::add(const std::string &built_name, const std::string &name, bool from_test_bin) {
  std::string from = (from_test_bin ? test_bin_dir() : out_dir()) + "/" + built_name;
  copy_file(from, dir_ + "/" + (name.empty() ? built_name : name));
}

void Install::write_registry(const std::vector<std::string> &values, const std::string &extra_keys) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n";
  text += "\"PathName\"=\"" + dir_ + "\"\r\n";
  for (const auto &v : values) text += v + "\r\n";
  text += "\r\n" + extra_keys;
  write_file(registry_, text);
}

std::map<std::string, std::string> Install::env() const {
  const char *path = getenv("PATH");
  return {{"QUORIN_REGISTRY", registry_},
          {"QUORIN_RUNTIME_DIR", runtime_},
          {"PATH", out_dir() + ":" + test_bin_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")}};
}

void Install::apply_env() const {
  for (const auto &[k, v] : env()) setenv(k.c_str(), v.c_str(), 1);
}

namespace {

pid_t spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
            const std::string &out_path, const std::string &workdir) {
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) {
      dup2(devnull, 0);
      close(devnull);
    }
    if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

Child::Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
             const std::string &workdir) {
  char name[] = "/tmp/qt-child-XXXXXX";
  int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  out_path_ = name;
  pid_ = spawn(argv, env, out_path_, workdir);
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
  unlink(out_path_.c_str());
}

int Child::wait(std::chrono::milliseconds timeout) {
  if (reaped_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = decode(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool Child::running() {
  return !reaped_ && wait(std::chrono::milliseconds(0)) == -1;
}

void Child::kill_now(int sig) {
  if (!reaped_) ::kill(pid_, sig);
}

std::string Child::output() const {
  return read_file(out_path_);
}

int run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
        std::string *output, std::chrono::milliseconds timeout) {
  Child child(argv, env);
  int status = child.wait(timeout);
  if (status == -1) child.kill_now(SIGKILL);
  if (output != nullptr) *output = child.output();
  return status;
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

pid_t thread_id() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

bool wait_in_syscall(pid_t tid, std::initializer_list<long> syscalls, std::chrono::milliseconds timeout) {
  std::string task = "/proc/" + std::to_string(tid);
  return wait_until(
      [&] {
        // The thread sleeps (state S, the third field of stat; a thread that was only
        // preempted is R), in a system call ("NUMBER ARGS..." in syscall, else "running").
        std::string stat = read_file(task + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'S') return false;
        std::string call = read_file(task + "/syscall");
        if (call.empty() || call.rfind("running", 0) == 0) return false;
        long number = strtol(call.c_str(), nullptr, 10);
        for (long wanted : syscalls)
          if (number == wanted) return true;
        return false;
      },
      timeout);
}

int count_of(const std::string &haystack, const std::string &needle) {
  if (needle.empty()) return 0;
  int n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size()))
    ++n;
  return n;
}

}  // namespace qt
