// The service and its files against other local users: links planted in the runtime folders,
// a lock held by someone else at start-up, a runtime folder others may write to, and clients
// run as an outsider and as an operator.
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quorin/platform.h"
#include "service_fixture.h"

namespace {

// Time a loaded machine may add to a bounded wait.
constexpr uint64_t kLoadMarginMs = 8000;

mode_t ModeOf(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST_F(ServiceTest, LinksPlantedInTheRuntimeFoldersAreNotFollowed) {
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n");
  std::string victim = install.dir() + "/victim";
  qt::write_file(victim, "keep");
  // The service's output file and the named mutex's lock file, planted before the start.
  for (const char *folder : {"/services", "/mutex"})
    ASSERT_EQ(0, mkdir((install.runtime() + folder).c_str(), 0750));
  ASSERT_EQ(0, symlink(victim.c_str(), (install.runtime() + "/services/Mavr_tsr_monitor.out").c_str()));
  ASSERT_EQ(0, symlink(victim.c_str(), (install.runtime() + "/mutex/quorinky_tsrx").c_str()));
  // And the status file K02 writes.
  ASSERT_EQ(0, symlink(victim.c_str(), install.data("SHARE_DK.APC").c_str()));
  Start();
  EXPECT_TRUE(LogHas("Failed to create quorinky_tsrx mutex (error: 5)"));
  EXPECT_EQ("K02 00014", Send("K02 0000"));
  EXPECT_EQ("keep", qt::read_file(victim));
  EXPECT_TRUE(S_ISREG(ModeOf(install.runtime() + "/services/Mavr_tsr_monitor.out")));
  EXPECT_TRUE(S_ISREG(ModeOf(install.data("SHARE_DK.APC"))));
  EXPECT_EQ(132, qt::file_size(install.data("SHARE_DK.APC")));
  // What the service made is not for other users.
  for (const std::string &file :
       {install.runtime() + "/services/Mavr_tsr_monitor.out",
        install.runtime() + "/services/Mavr_tsr_monitor", install.data("SHARE_DK.APC"), LogPath()})
    EXPECT_EQ(0u, ModeOf(file) & S_IRWXO) << file;
}

// Someone holds the named mutex's lock file locked: the start goes on after one second,
// without the mutex, and says so.
TEST_F(ServiceTest, AHeldMutexLockDelaysTheStartByOneSecondAtMost) {
  ASSERT_EQ(0, mkdir((install.runtime() + "/mutex").c_str(), 0750));
  std::string lock = install.runtime() + "/mutex/quorinky_tsrx";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  uint64_t start = qp_real_tick_ms();
  Start();
  uint64_t took = qp_real_tick_ms() - start;
  close(fd);
  EXPECT_GE(took, 1000u);
  EXPECT_LT(took, 1000u + kLoadMarginMs);
  std::vector<LogEntry> log = Log();
  bool found = false;
  for (const LogEntry &e : log)
    found = found || e.text == "Failed to create quorinky_tsrx mutex (error: 1460)";
  EXPECT_TRUE(found);
  EXPECT_EQ("C02 00014", Send("C02 0000"));
}

// A runtime folder that others may write to is refused: the service does not start in it and
// makes nothing there.
TEST_F(ServiceTest, ARuntimeFolderWritableByOthersIsRefused) {
  InstallLibraries();
  ASSERT_EQ(0, chmod(install.runtime().c_str(), 0777));
  int status = -1;
  std::string out = Svcctl({"start", "Mavr_tsr_monitor", install.dir() + "/quomvlsv"}, &status);
  EXPECT_NE(0, status) << out;
  // Started by systemd: the program ends at once with ERROR_ACCESS_DENIED.
  std::map<std::string, std::string> env = Env();
  env["INVOCATION_ID"] = "qt";
  env["QUORIN_SVCCTL"] = "";
  qt::Child service({install.dir() + "/quomvlsv"}, env);
  EXPECT_EQ(5, service.wait(std::chrono::seconds(30)));
  for (const char *sub : {"/pipe", "/mutex", "/services"})
    EXPECT_FALSE(qt::file_exists(install.runtime() + sub)) << sub;
  EXPECT_FALSE(qt::file_exists(LogPath()));
}

// A user and a group that the machine does not have: numeric ids are enough for the kernel.
bool FreeIds(uid_t *user, gid_t *group) {
  for (uid_t id = 54322; id < 54400; ++id)
    if (getpwuid(id) == nullptr && getgrgid(id) == nullptr && getgrgid(id - 1) == nullptr) {
      *user = id;
      *group = id - 1;
      return true;
    }
  return false;
}

// pwctl (over pwdown.dll) and a raw client run as another user: refused as an outsider, who
// cannot reach the lock and data files either; answered as a member of the operators' group.
TEST_F(ServiceTest, OutsidersAreRefusedAndOperatorsAnswered) {
  uid_t user;
  gid_t operators;
  if (geteuid() != 0 || !FreeIds(&user, &operators)) GTEST_SKIP() << "needs root and free ids";
  std::string uid = std::to_string(user), gid = std::to_string(operators);
  std::vector<std::string> outsider = {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--clear-groups", "--"};
  std::vector<std::string> member = {"setpriv", "--reuid=" + uid, "--regid=" + uid, "--groups=" + gid, "--"};
  std::vector<std::string> probe = outsider;
  probe.push_back("true");
  if (qt::run(probe) != 0) GTEST_SKIP() << "setpriv cannot run a command as another user here";

  // The test's own folders let anyone through to the install and runtime folders (but not
  // into them); the service makes its runtime folder itself, for its operators' group.
  std::vector<char> top(install.dir().begin(), install.dir().end());
  top.push_back('\0');
  ASSERT_EQ(0, chmod(dirname(top.data()), 0711));
  ASSERT_EQ(0, rmdir(install.runtime().c_str()));
  extra_env["QUORIN_OPERATOR_GROUP"] = gid;
  install.write_registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01", "\"APIDEBUG\"=hex:01"});
  for (const char *tool : {"pwctl", "pwdown.dll"}) install.add(tool);
  install.add("qt_raw_client", "", true);
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUPS_IP1=10.0.0.1\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n");
  Start();
  ASSERT_EQ("K02 00014", Send("K02 0000"));
  std::string socket = install.runtime() + "/pipe/npquomvl1";
  EXPECT_EQ(operators, [&] {
    struct stat st;
    return lstat(socket.c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
  }());

  std::map<std::string, std::string> env = Env();
  auto as = [&](const std::vector<std::string> &who, const std::vector<std::string> &command,
                std::string *out) {
    std::vector<std::string> argv = who;
    argv.insert(argv.end(), command.begin(), command.end());
    return qt::run(argv, env, out);
  };
  std::string pwctl = install.dir() + "/pwctl", raw = install.dir() + "/qt_raw_client", out;

  // The outsider: no pipe, no lock file, no data file.
  EXPECT_EQ(1, as(outsider, {pwctl, "send", "C02"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("cannot open the command pipe: ERROR_ACCESS_DENIED (5)")) << out;
  EXPECT_EQ(1, as(outsider, {pwctl, "cluster-shutdown", "0"}, &out)) << out;
  EXPECT_EQ(1, as(outsider, {raw, "send", socket, "C02 0000"}, &out)) << out;
  EXPECT_EQ("error: connect errno 13\n", out);
  EXPECT_EQ(1, as(outsider, {raw, "lock", install.runtime() + "/mutex/quorinky_tsrx"}, &out)) << out;
  EXPECT_EQ("error: open errno 13\n", out);
  EXPECT_EQ(1, as(outsider, {raw, "lock", install.data("SHARE_DK.APC")}, &out)) << out;
  EXPECT_EQ("error: open errno 13\n", out);

  // The operator: answered, through pwdown.dll and raw.
  EXPECT_EQ(0, as(member, {pwctl, "send", "C02"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("reply: \"C02 00014\"")) << out;
  EXPECT_EQ(0, as(member, {pwctl, "cluster-shutdown", "0"}, &out)) << out;
  EXPECT_EQ(0, as(member, {raw, "send", socket, "C02 0000"}, &out)) << out;
  EXPECT_EQ("reply: C02 00014\n", out);
  EXPECT_TRUE(LogHas("----> CSD/AD1: VexShutDown StartRequest Receive..."));
}

}  // namespace
