// The command-line conventions of quomvlsv, svcctl, upssim, quorinlog and pwctl, as a table: --help on
// standard output with exit 0, --version, and bad arguments refused on standard error with
// exit 2 (numbers out of range or not numbers included), failures naming what to check.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testsupport.h"

extern char **environ;

namespace {

const std::string kVersion = QUORIN_VERSION_TEXT;

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs ARGV with standard output and error kept apart, in an environment of its own (the
// variables of ENV only, plus PATH).
Result RunTool(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  qt::TempDir dir("cli");
  std::string out_path = dir / "out", err_path = dir / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char *> args, envp;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment = env;
  environment.push_back("PATH=/usr/bin:/bin");
  for (const char *keep : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char *v = getenv(keep)) environment.push_back(std::string(keep) + "=" + v);
  for (const std::string &e : environment) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  Result r;
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = qt::read_file(out_path);
  r.err = qt::read_file(err_path);
  return r;
}

enum Stream { kOut, kErr };

struct Row {
  std::vector<std::string> argv;  // argv[0] is the tool's name in the build's out folder
  int status;
  Stream stream;                   // where the text must be; the other stream stays empty
  std::vector<std::string> texts;  // each must appear there
};

TEST(CommandLineTest, HelpVersionAndBadArguments) {
  qt::TempDir dir("cliroot");
  const std::string runtime = dir / "run";
  qt::make_dirs(runtime);
  qt::write_file(dir / "port.conf", "port = 99999\n[card 127.0.0.2]\n");
  qt::write_file(dir / "groups.conf", "[card 127.0.0.2]\noutlet-groups = 65\n");
  qt::write_file(dir / "notalog", "hello\n");
  const std::string v = " (quorin) " + kVersion + "\n";
  const std::vector<Row> rows = {
      // quomvlsv
      {{"quomvlsv", "--help"}, 0, kOut, {"usage: quomvlsv", "systemd", "svcctl"}},
      {{"quomvlsv", "-h"}, 0, kOut, {"usage: quomvlsv"}},
      {{"quomvlsv", "--version"}, 0, kOut, {"quomvlsv" + v}},
      {{"quomvlsv", "-V"}, 0, kOut, {"quomvlsv" + v}},
      {{"quomvlsv"}, 1063 & 0xff, kErr, {"runs under systemd", "svcctl", "not from a console (error 1063)"}},
      {{"quomvlsv", "--install"}, 2, kErr, {"unknown argument '--install'", "quomvlsv --help"}},
      // svcctl
      {{"svcctl", "--help"}, 0, kOut, {"usage: svcctl", "control NAME CODE", "QUORIN_RUNTIME_DIR"}},
      {{"svcctl", "--version"}, 0, kOut, {"svcctl" + v}},
      {{"svcctl"}, 2, kErr, {"name a VERB"}},
      {{"svcctl", "pause", "X"}, 2, kErr, {"unknown verb 'pause'"}},
      {{"svcctl", "start"}, 2, kErr, {"usage: svcctl start NAME [PROGRAM]"}},
      {{"svcctl", "stop", "X", "Y"}, 2, kErr, {"usage: svcctl stop NAME"}},
      {{"svcctl", "--bogus", "query", "X"}, 2, kErr, {"unknown option '--bogus'"}},
      {{"svcctl", "control", "X", "abc"}, 2, kErr, {"CODE must be a whole number from 1 to 255, not 'abc'"}},
      {{"svcctl", "control", "X", "0"}, 2, kErr, {"not '0'"}},
      {{"svcctl", "control", "X", "256"}, 2, kErr, {"not '256'"}},
      {{"svcctl", "control", "X", "4294967297"}, 2, kErr, {"not '4294967297'"}},
      {{"svcctl", "control", "X", "-1"}, 2, kErr, {"not '-1'"}},
      {{"svcctl", "control", "X", "4x"}, 2, kErr, {"not '4x'"}},
      // The bounds themselves are accepted: the request reaches the (absent) service.
      {{"svcctl", "control", "X", "1"},
       1,
       kErr,
       {"control X failed: 1062", "is the service running?", runtime}},
      {{"svcctl", "control", "X", "255"}, 1, kErr, {"is the service running?"}},
      {{"svcctl", "stop", "X"}, 1, kErr, {"is the service running?"}},
      {{"svcctl", "query", "X"}, 1, kErr, {"no service X has been created or started", runtime}},
      {{"svcctl", "--timeout", "abc", "query", "X"}, 2, kErr, {"--timeout needs a whole number"}},
      {{"svcctl", "-t", "0", "query", "X"}, 2, kErr, {"not '0'"}},
      {{"svcctl", "start", "X", dir / "nothing"}, 1, kErr, {"create X failed: 2", "program path"}},
      // upssim
      {{"upssim", "--help"}, 0, kOut, {"usage: upssim", "--outlet-groups N"}},
      {{"upssim", "--version"}, 0, kOut, {"upssim" + v}},
      {{"upssim"}, 2, kErr, {"no cards"}},
      {{"upssim", "--outlet-groups", "abc", "--cards", "127.0.0.2"},
       2,
       kErr,
       {"outlet groups must be a whole number from 0 to 64, not 'abc'"}},
      {{"upssim", "--outlet-groups", "65", "--cards", "127.0.0.2"}, 2, kErr, {"not '65'"}},
      {{"upssim", "--outlet-groups", "-1", "--cards", "127.0.0.2"}, 2, kErr, {"not '-1'"}},
      // 64 passes the check: the bad card range that follows is what stops the start.
      {{"upssim", "--outlet-groups", "64", "--cards", "300.0.0.1"},
       2,
       kErr,
       {"bad address range: 300.0.0.1"}},
      {{"upssim", "--port", "99999", "--cards", "127.0.0.2"},
       2,
       kErr,
       {"port must be a whole number from 1 to 65535, not '99999'"}},
      {{"upssim", "--port", "0", "--cards", "127.0.0.2"}, 2, kErr, {"not '0'"}},
      {{"upssim", "--port", "65535", "--cards", "300.0.0.1"}, 2, kErr, {"bad address range"}},
      {{"upssim", "--config", dir / "port.conf"},
       2,
       kErr,
       {"port.conf:1: port must be a whole number from 1 to 65535, not '99999'"}},
      {{"upssim", "--config", dir / "groups.conf"}, 2, kErr, {"groups.conf:2: outlet groups", "not '65'"}},
      {{"upssim", "--runtime", "0", "--cards", "127.0.0.2"},
       2,
       kErr,
       {"--runtime must be a number of seconds"}},
      {{"upssim", "--runtime", "x", "--cards", "127.0.0.2"}, 2, kErr, {"not 'x'"}},
      {{"upssim", "--bogus"}, 2, kErr, {"unknown option", "upssim --help"}},
      {{"upssim", "--cards", "127.0.0.2", "extra"}, 2, kErr, {"unexpected argument: extra"}},
      // quorinlog
      {{"quorinlog", "--help"}, 0, kOut, {"usage: quorinlog", "-f, --follow"}},
      {{"quorinlog", "--version"}, 0, kOut, {"quorinlog" + v}},
      {{"quorinlog"}, 2, kErr, {"name the log FILE"}},
      {{"quorinlog", "-n", "abc", "x"},
       2,
       kErr,
       {"-n needs a whole number of entries (0 or more), not 'abc'"}},
      {{"quorinlog", "-n", "-1", "x"}, 2, kErr, {"not '-1'"}},
      {{"quorinlog", "-n"}, 2, kErr, {"-n needs a number"}},
      {{"quorinlog", "-x", "f"}, 2, kErr, {"unknown option '-x'"}},
      {{"quorinlog", "a", "b"}, 2, kErr, {"only one FILE"}},
      {{"quorinlog", dir / "missing.LOG"}, 1, kErr, {"cannot read", "missing.LOG", "DATA folder"}},
      {{"quorinlog", dir / "notalog"}, 1, kErr, {"is not a log of the quorin system"}},
      // pwctl
      {{"pwctl", "--help"}, 0, kOut, {"usage: pwctl", "pwctl items get", "pwctl watch-power"}},
      {{"pwctl", "--version"}, 0, kOut, {"pwctl" + v}},
      {{"pwctl", "-V"}, 0, kOut, {"pwctl" + v}},
      {{"pwctl", "items", "--help"}, 0, kOut, {"usage: pwctl items get", "--flags HEX"}},
      {{"pwctl", "watch-power", "--help"}, 0, kOut, {"usage: pwctl watch-power", "StopUpsPowerStatus"}},
      {{"pwctl"}, 2, kErr, {"usage: pwctl VERB"}},
      {{"pwctl", "watch-power", "--count", "0"},
       2,
       kErr,
       {"--count must be a whole number from 1 to 2147483647, not '0'", "Try 'pwctl watch-power --help'."}},
      {{"pwctl", "watch-power", "--count", "2147483648"}, 2, kErr, {"not '2147483648'"}},
      {{"pwctl", "watch-power", "--from", "-2147483649"}, 2, kErr, {"not '-2147483649'"}},
      {{"pwctl", "items", "set", "08", "TIM"}, 2, kErr, {"ITEMBYTES must be 18 hexadecimal digits"}},
      {{"pwctl", "bogus"}, 2, kErr, {"unknown verb 'bogus'", "usage: pwctl VERB"}},
      {{"pwctl", "status", "--help"},
       0,
       kOut,
       {"usage: pwctl status [--json]", "7 the service is not running"}},
      {{"pwctl", "status", "--bogus"}, 2, kErr, {"unknown option '--bogus'", "Try 'pwctl status --help'."}},
      {{"pwctl", "status", "extra"}, 2, kErr, {"unexpected argument 'extra'"}},
      {{"pwctl", "cluster-shutdown", "--help"}, 0, kOut, {"usage: pwctl cluster-shutdown MODE"}},
      {{"pwctl", "cluster-shutdown"}, 2, kErr, {"give the MODE", "Try 'pwctl cluster-shutdown --help'."}},
      {{"pwctl", "cluster-shutdown", "abc"}, 2, kErr, {"MODE must be a whole number, not 'abc'"}},
      {{"pwctl", "cluster-shutdown", "4294967297"}, 2, kErr, {"not '4294967297'"}},
      {{"pwctl", "cluster-shutdown", "1x"}, 2, kErr, {"not '1x'"}},
      {{"pwctl", "cluster-shutdown2", "1", "2"}, 2, kErr, {"unexpected argument '2'"}},
      {{"pwctl", "cluster-shutdown2", "--now", "1"}, 2, kErr, {"unknown option '--now'"}},
      {{"pwctl", "power-off", "abc"},
       2,
       kErr,
       {"SECONDS must be a whole number from 0 to 4294967295, not 'abc'"}},
      {{"pwctl", "power-off", "4294967296"}, 2, kErr, {"not '4294967296'"}},
      {{"pwctl", "power-off", "+5"}, 2, kErr, {"not '+5'"}},
      {{"pwctl", "power-off", "10", "--mode", "x"}, 2, kErr, {"--mode must be a whole number, not 'x'"}},
      {{"pwctl", "power-off", "10", "--mode"}, 2, kErr, {"--mode needs a value"}},
      {{"pwctl", "power-off", "--help"}, 0, kOut, {"usage: pwctl power-off SECONDS [--mode N]"}},
      {{"pwctl", "power-off-ex", "10"}, 2, kErr, {"give the SECONDS and the MODE"}},
      {{"pwctl", "power-off-ex", "10", "2x"}, 2, kErr, {"MODE must be a whole number, not '2x'"}},
      {{"pwctl", "power-off-ex", "-1", "2"}, 2, kErr, {"unknown option '-1'"}},
      {{"pwctl", "reboot-state", "x"}, 2, kErr, {"unexpected argument 'x'"}},
      {{"pwctl", "send"}, 2, kErr, {"give the CODE (three characters)"}},
      {{"pwctl", "send", "C0"}, 2, kErr, {"CODE must be three characters, not 'C0'"}},
      {{"pwctl", "send", "C02", "a", "b"}, 2, kErr, {"unexpected argument 'b'"}},
      {{"pwctl", "send", "C02", std::string(256, 'x')}, 2, kErr, {"DATA is longer than 255 bytes"}},
      {{"pwctl", "send", "C02", std::string(255, 'x')},
       1,
       kErr,
       {"cannot open the command pipe", "is the service running? No pipe npquomvl1 in " + runtime + "/pipe"}},
      {{"pwctl", "schedule", "set", "2027"},
       2,
       kErr,
       {"give OFF and ON, two times", "usage: pwctl schedule set"}},
      {{"pwctl", "schedule", "set", "2027", "202701010000"}, 2, kErr, {"neither twelve digits"}},
      {{"pwctl", "schedule", "set", "202713010000", "202701010000"},
       2,
       kErr,
       {"the month is not in 1 to 12"}},
      {{"pwctl", "schedule"}, 2, kErr, {"give set, get or show"}},
      {{"pwctl", "schedule", "get", "x"}, 2, kErr, {"unexpected argument 'x'"}},
      {{"pwctl", "last-power-fail", "x"}, 2, kErr, {"unexpected argument 'x'"}},
      {{"pwctl", "calendar", "convert"}, 2, kErr, {"give the calendar FILE"}},
      {{"pwctl", "calendar", "get", "a", "b"}, 2, kErr, {"unexpected argument 'b'"}},
      {{"pwctl", "calendar", "list"}, 2, kErr, {"unknown request \"list\""}},
      {{"pwctl", "watch-power", "--from"}, 2, kErr, {"--from needs a value"}},
      // The registry file is missing: the library says so, and so does the hint.
      {{"pwctl", "cluster-shutdown", "1"},
       1,
       kErr,
       {"QuoPcClusterShutDown(1): failed: PC_ERR_NOT_INSTALLED (0x20000004)",
        "check QUORIN_REGISTRY: the registry file " + (dir / "none.reg")}},
      {{"pwctl", "system-type"}, 1, kErr, {"GetPCSystemType: failed: PC_ERR_NOT_INSTALLED"}},
  };
  const std::vector<std::string> env = {"QUORIN_RUNTIME_DIR=" + runtime, "SVCCTL_TIMEOUT_MS=2000",
                                        "QUORIN_REGISTRY=" + (dir / "none.reg")};
  for (const Row &row : rows) {
    std::vector<std::string> argv = row.argv;
    std::string line;
    for (const std::string &a : argv) line += a + " ";
    argv[0] = qt::out_dir() + "/" + argv[0];
    Result r = RunTool(argv, env);
    EXPECT_EQ(row.status, r.status) << line << "\nout: " << r.out << "\nerr: " << r.err;
    const std::string &there = row.stream == kOut ? r.out : r.err;
    const std::string &other = row.stream == kOut ? r.err : r.out;
    for (const std::string &text : row.texts)
      EXPECT_NE(std::string::npos, there.find(text)) << line << ": '" << text << "' missing from\n" << there;
    EXPECT_EQ("", other) << line;
    // An error is one message; help and version end with a line break.
    if (row.stream == kOut) {
      EXPECT_EQ('\n', there.empty() ? '\0' : there.back()) << line;
    }
  }
  // The product is installed but its service does not run: the client asks whether it runs.
  qt::write_file(dir / "product.reg",
                 "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\n\"PathName\"=\"" +
                     dir.path() + "\"\n\"LumoUnit\"=hex:01\n");
  Result stopped = RunTool({qt::out_dir() + "/pwctl", "power-off", "60", "--mode", "1"},
                           {"QUORIN_RUNTIME_DIR=" + runtime, "QUORIN_REGISTRY=" + (dir / "product.reg")});
  EXPECT_EQ(1, stopped.status);
  EXPECT_EQ("", stopped.out);
  EXPECT_NE(std::string::npos,
            stopped.err.find("PowerOffByLumo2(60, 1): failed: PC_ERR_SERVICE (0x20000000)"))
      << stopped.err;
  EXPECT_NE(std::string::npos, stopped.err.find("is the service running?")) << stopped.err;
  EXPECT_NE(std::string::npos, stopped.err.find(runtime + "/pipe")) << stopped.err;
  // The console start says so in one line.
  Result console = RunTool({qt::out_dir() + "/quomvlsv"}, env);
  EXPECT_EQ(1, qt::count_of(console.err, "\n")) << console.err;
  // svcctl -SVCCTL_TIMEOUT_MS that is not a number is refused, not taken as 0.
  Result bad_env = RunTool({qt::out_dir() + "/svcctl", "query", "X"},
                           {"QUORIN_RUNTIME_DIR=" + runtime, "SVCCTL_TIMEOUT_MS=soon"});
  EXPECT_EQ(2, bad_env.status);
  EXPECT_NE(std::string::npos, bad_env.err.find("SVCCTL_TIMEOUT_MS must be a whole number")) << bad_env.err;
}

}  // namespace
