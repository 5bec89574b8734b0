// Helpers for tests: scratch directories, install folders with registry files, child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace qt {

// Folder of the built deliverables (program, libraries, tools).
std::string out_dir();
// Folder of test binaries and test libraries.
std::string test_bin_dir();
// Root of the source tree.
std::string source_dir();

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at destruction
// unless QUORIN_KEEP_TEST_DIRS is set.
class TempDir {
 public:
  explicit TempDir(const std::string &tag = "qt");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// File helpers. read_file returns "" for a missing file.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
long file_size(const std::string &path);
void make_dirs(const std::string &path);
void copy_file(const std::string &from, const std::string &to);

// An install directory for one test: DATA, DATA/UPS and DATA/SNMPTRAP folders, a runtime
// directory, and a REGEDIT4 registry file whose key SOFTWARE\Tarvos\QUORIN/MVL names the
// install directory in "PathName". env() gives the variables a child process of this install
// needs (QUORIN_REGISTRY, QUORIN_RUNTIME_DIR, PATH with the tool folder first).
class Install {
 public:
  explicit Install(const std::string &tag = "install");
  const std::string &dir() const { return dir_; }
  std::string data(const std::string &name = "") const;
  const std::string &runtime() const { return runtime_; }
  const std::string &registry() const { return registry_; }
  // Copies a built file (from out_dir() or, with from_test_bin, from test_bin_dir()) into
  // the install directory under NAME.
  void add(const std::string &built_name, const std::string &name = "", bool from_test_bin = false);
  // Rewrites the registry file: PATHNAME plus the extra value lines given (REGEDIT4 syntax,
  // e.g. "\"LumoUa\"=dword:0000001f"), all under the product key. EXTRA_KEYS adds whole
  // sections after it.
  void write_registry(const std::vector<std::string> &values = {}, const std::string &extra_keys = "");
  std::map<std::string, std::string> env() const;
  // Sets this install's variables in the test process itself.
  void apply_env() const;

 private:
  TempDir root_;
  std::string dir_, runtime_, registry_;
};

// A child process started with argv and extra environment, output captured to a file.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {},
        const std::string &workdir = "");
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  pid_t pid() const { return pid_; }
  // Waits for the end; returns the exit status (128 + signal for a signal), -1 on time-out.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool running();
  void kill_now(int sig);
  std::string output() const;  // standard output and error together

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string out_path_;
};

// Runs argv to its end; returns the exit status and fills *output with stdout and stderr.
int run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {},
        std::string *output = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Polls PRED every 10 ms until it holds or TIMEOUT passes; returns its last value.
bool wait_until(const std::function<bool()> &pred,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The kernel's id of the calling thread.
pid_t thread_id();
// Waits until thread TID (of this process, or a child process's id) sleeps inside one of the
// system calls SYSCALLS (numbers of <sys/syscall.h>, as /proc/TID/syscall shows them): the
// blocking call it was started to make has begun, so an event it must wake from can now be sent.
bool wait_in_syscall(pid_t tid, std::initializer_list<long> syscalls,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Counts the non-overlapping occurrences of NEEDLE in HAYSTACK.
int count_of(const std::string &haystack, const std::string &needle);

}  // namespace qt
