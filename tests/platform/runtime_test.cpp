// Runtime folders and the files other users must not reach: folder modes and the operators'
// group, folders planted by someone else, lock files, links in place of files, replacement of
// a file whole.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quorin/platform.h"
#include "testsupport.h"
#include "timing.h"

namespace {

// A group number no group of the machine has (the operators' group of these tests).
constexpr gid_t kTestGroup = 54321;

mode_t ModeOf(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

// Names in folder PATH, "." and ".." left out.
std::vector<std::string> EntriesOf(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

gid_t GroupOf(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return static_cast<gid_t>(-1);
  return st.st_gid;
}

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = root.path() + "/run";
    setenv("QUORIN_RUNTIME_DIR", base.c_str(), 1);
    setenv("QUORIN_OPERATOR_GROUP", std::to_string(kTestGroup).c_str(), 1);
  }
  void TearDown() override { unsetenv("QUORIN_OPERATOR_GROUP"); }
  qt::TempDir root{"runtime"};
  std::string base;
};

TEST_F(RuntimeTest, FoldersAreMadeForOwnerAndOperatorsOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders to a group it is not in";
  qp_pipe *server = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtgroup", 255, 4096, &server));
  // The runtime folder and its pipe folder: rwx for the owner, r-x for the group, nothing for
  // others; the operators' group, inherited by what is made inside (set-group-ID).
  for (const std::string &folder : {base, base + "/pipe"}) {
    mode_t mode = ModeOf(folder);
    EXPECT_TRUE(S_ISDIR(mode)) << folder;
    EXPECT_EQ(static_cast<mode_t>(02750), mode & 07777) << folder;
    EXPECT_EQ(kTestGroup, GroupOf(folder)) << folder;
  }
  mode_t socket_mode = ModeOf(base + "/pipe/qtgroup");
  EXPECT_TRUE(S_ISSOCK(socket_mode));
  EXPECT_EQ(static_cast<mode_t>(0660), socket_mode & 07777);
  EXPECT_EQ(kTestGroup, GroupOf(base + "/pipe/qtgroup"));
  qp_pipe_close(server);
  qp_pipe_close_server("qtgroup");

  // Without such a group the folders keep the creator's group, and the pipe is served all the
  // same (owner and the creator's group get in).
  qt::TempDir other("runtime");
  std::string plain = other.path() + "/run";
  setenv("QUORIN_RUNTIME_DIR", plain.c_str(), 1);
  setenv("QUORIN_OPERATOR_GROUP", "qt-no-such-group", 1);
  ASSERT_EQ(ERROR_SUCCESS, qp_pipe_create("qtnogroup", 255, 4096, &server));
  EXPECT_EQ(static_cast<mode_t>(0750), ModeOf(plain + "/pipe") & 07777);
  EXPECT_EQ(getegid(), GroupOf(plain + "/pipe"));
  qp_pipe *client = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, qp_pipe_open("qtnogroup", &client));
  qp_pipe_close(client);
  qp_pipe_close(server);
  qp_pipe_close_server("qtnogroup");
}

TEST_F(RuntimeTest, FoldersPutThereBySomeoneElseAreRefused) {
  char out[512];
  // Each bit of the folder's mode on its own: only write for others makes it refused.
  struct Case {
    mode_t mode;
    bool accepted;
  } cases[] = {{0755, true},  {0750, true},  {0700, true}, {0770, true},
               {0757, false}, {0702, false}, {0777, false}};
  for (const Case &c : cases) {
    mkdir(base.c_str(), 0700);
    ASSERT_EQ(0, chmod(base.c_str(), c.mode));
    SetLastError(0);
    EXPECT_EQ(c.accepted ? 1 : 0, qp_runtime_path("pipe", out, sizeof out)) << std::oct << c.mode;
    if (!c.accepted) {
      EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << std::oct << c.mode;
      EXPECT_FALSE(qt::file_exists(base + "/pipe")) << "nothing is made in a refused folder";
      qp_pipe *server = nullptr;
      EXPECT_EQ(ERROR_ACCESS_DENIED, qp_pipe_create("qtrefused", 255, 4096, &server));
    }
    rmdir((base + "/pipe").c_str());
    rmdir(base.c_str());
  }

  // A link in the folder's place, to a folder of the planter's choosing.
  std::string elsewhere = root.path() + "/elsewhere";
  mkdir(elsewhere.c_str(), 0700);
  ASSERT_EQ(0, symlink(elsewhere.c_str(), base.c_str()));
  EXPECT_EQ(0, qp_runtime_path("mutex", out, sizeof out));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(qt::file_exists(elsewhere + "/mutex"));
  unlink(base.c_str());
  // A sub-folder replaced by a link.
  mkdir(base.c_str(), 0750);
  ASSERT_EQ(0, symlink(elsewhere.c_str(), (base + "/mutex").c_str()));
  EXPECT_EQ(nullptr, qp_named_mutex_create("qtplanted", nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(qt::file_exists(elsewhere + "/qtplanted"));
  unlink((base + "/mutex").c_str());

  if (geteuid() != 0) return;
  // A folder that belongs to another user (not root).
  mkdir((base + "/services").c_str(), 0750);
  ASSERT_EQ(0, chown((base + "/services").c_str(), 54322, 54322));
  EXPECT_EQ(0, qp_runtime_path("services", out, sizeof out));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ(ERROR_ACCESS_DENIED, qp_service_create("qtplanted", "/bin/true"));
}

TEST_F(RuntimeTest, LockFilesAreForOwnerAndOperatorsAndNeverFollowed) {
  int existed = 0;
  qp_named_mutex *mutex = qp_named_mutex_create("qtlock", &existed);
  ASSERT_NE(nullptr, mutex);
  std::string lock = base + "/mutex/qtlock";
  mode_t mode = ModeOf(lock);
  EXPECT_TRUE(S_ISREG(mode));
  EXPECT_EQ(0u, mode & S_IRWXO) << "other users cannot open the lock file to hold its locks";
  EXPECT_EQ(static_cast<mode_t>(S_IRUSR | S_IWUSR), mode & S_IRWXU);
  qp_named_mutex_close(mutex);

  // A link planted in place of a lock file is refused, and its target left alone.
  std::string victim = root.path() + "/victim";
  qt::write_file(victim, "keep");
  ASSERT_EQ(0, symlink(victim.c_str(), (base + "/mutex/qtlink").c_str()));
  EXPECT_EQ(nullptr, qp_named_mutex_create("qtlink", &existed));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_EQ("keep", qt::read_file(victim));
  // So is a FIFO, without waiting on it.
  ASSERT_EQ(0, mkfifo((base + "/mutex/qtfifo").c_str(), 0600));
  EXPECT_EQ(nullptr, qp_named_mutex_create("qtfifo", &existed));
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  // The pipe's own lock file likewise.
  mkdir((base + "/pipe").c_str(), 0750);
  ASSERT_EQ(0, symlink(victim.c_str(), (base + "/pipe/.qtlinked.lock").c_str()));
  qp_pipe *server = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, qp_pipe_create("qtlinked", 255, 4096, &server));
  EXPECT_EQ("keep", qt::read_file(victim));
}

TEST_F(RuntimeTest, AHeldLockFileDelaysAHandleByOneSecondAtMost) {
  int existed = 0;
  qp_named_mutex *first = qp_named_mutex_create("qtheld", &existed);
  ASSERT_NE(nullptr, first);
  // Someone holds the file's exclusive lock for good: the next open gives up after 1000 ms.
  int fd = open((base + "/mutex/qtheld").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  uint64_t start = qp_real_tick_ms();
  EXPECT_EQ(nullptr, qp_named_mutex_create("qtheld", &existed));
  uint64_t waited = qp_real_tick_ms() - start;
  EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
  EXPECT_TRUE(qt::WithinNominal(static_cast<long>(waited), 1000, "wait for the held lock"));
  EXPECT_EQ(nullptr, qp_named_mutex_open("qtheld"));
  EXPECT_EQ(ERROR_TIMEOUT, GetLastError());
  // Released: the mutex opens at once, and is found to exist.
  close(fd);
  qp_named_mutex *second = qp_named_mutex_create("qtheld", &existed);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(1, existed);
  qp_named_mutex_close(second);
  qp_named_mutex_close(first);
}

TEST(FileSafetyTest, FilesAreNeverWrittenThroughLinksAndNewOnesAreNotForOthers) {
  qt::TempDir dir("files");
  std::string victim = dir / "victim";
  qt::write_file(victim, "keep");
  std::string link = dir / "SHARE_DK.APC";
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  for (uint32_t disposition : {QP_CREATE_ALWAYS, QP_OPEN_ALWAYS, QP_OPEN_EXISTING, QP_TRUNCATE_EXISTING}) {
    EXPECT_EQ(nullptr, qp_file_open(link.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE,
                                    QP_SHARE_READ | QP_SHARE_WRITE, disposition))
        << disposition;
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << disposition;
  }
  for (const char *mode : {"w", "a+", "r+b", "wt"}) {
    EXPECT_EQ(nullptr, qp_fopen(link.c_str(), mode)) << mode;
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << mode;
  }
  EXPECT_EQ("keep", qt::read_file(victim));
  // Reading through a link is still allowed (a configuration file may be one).
  FILE *f = qp_fopen(link.c_str(), "r");
  ASSERT_NE(nullptr, f);
  fclose(f);

  // New files: nothing for others, whatever the way they are made.
  qp_file *handle = qp_file_open((dir / "new1").c_str(), QP_ACCESS_WRITE, QP_SHARE_NONE, QP_CREATE_ALWAYS);
  ASSERT_NE(nullptr, handle);
  qp_file_close(handle);
  FILE *stream = qp_fopen((dir / "new2").c_str(), "a+t");
  ASSERT_NE(nullptr, stream);
  fclose(stream);
  for (const char *name : {"new1", "new2"}) {
    EXPECT_EQ(0u, ModeOf(dir / name) & S_IRWXO) << name;
    EXPECT_EQ(static_cast<mode_t>(S_IRUSR | S_IWUSR), ModeOf(dir / name) & S_IRWXU) << name;
  }
}

TEST(FileSafetyTest, AReplacementTakesThePlaceWholeOrNotAtAll) {
  qt::TempDir dir("files");
  std::string path = dir / "SHARE_DK.APC";
  qt::write_file(path, "old content");
  qp_file *reader = qp_file_open(path.c_str(), QP_ACCESS_READ, QP_SHARE_NONE, QP_OPEN_EXISTING);
  ASSERT_NE(nullptr, reader);

  // Written but not committed: the file keeps its content, and closing leaves nothing behind.
  qp_file *abandoned = qp_file_create_replacement(path.c_str());
  ASSERT_NE(nullptr, abandoned);
  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_file_write(abandoned, "half", 4, &done));
  EXPECT_EQ("old content", qt::read_file(path));
  qp_file_close(abandoned);
  EXPECT_EQ(std::vector<std::string>{"SHARE_DK.APC"}, EntriesOf(dir.path()));

  // Committed: the new content in one step, while a reader of the old file (even one that
  // holds it unshared) keeps the old content.
  qp_file *replacement = qp_file_create_replacement(path.c_str());
  ASSERT_NE(nullptr, replacement);
  ASSERT_EQ(ERROR_SUCCESS, qp_file_write(replacement, "new content", 11, &done));
  EXPECT_EQ(ERROR_SUCCESS, qp_file_commit_replacement(replacement));
  EXPECT_EQ("new content", qt::read_file(path));
  EXPECT_EQ(0u, ModeOf(path) & S_IRWXO);
  char buf[32];
  ASSERT_EQ(ERROR_SUCCESS, qp_file_read(reader, buf, sizeof buf, &done));
  EXPECT_EQ("old content", std::string(buf, done));
  qp_file_close(reader);

  // A link in the file's place is replaced, not followed.
  std::string victim = dir / "victim";
  qt::write_file(victim, "keep");
  std::string link = dir / "linked";
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  replacement = qp_file_create_replacement(link.c_str());
  ASSERT_NE(nullptr, replacement);
  ASSERT_EQ(ERROR_SUCCESS, qp_file_write(replacement, "x", 1, &done));
  EXPECT_EQ(ERROR_SUCCESS, qp_file_commit_replacement(replacement));
  EXPECT_EQ("keep", qt::read_file(victim));
  EXPECT_TRUE(S_ISREG(ModeOf(link)));

  // A place that cannot take a file (a folder there): the commit fails, the new file goes.
  std::string folder = dir / "folder";
  mkdir(folder.c_str(), 0700);
  replacement = qp_file_create_replacement(folder.c_str());
  ASSERT_NE(nullptr, replacement);
  EXPECT_NE(ERROR_SUCCESS, qp_file_commit_replacement(replacement));
  EXPECT_TRUE(S_ISDIR(ModeOf(folder)));
  EXPECT_EQ(std::vector<std::string>({"SHARE_DK.APC", "folder", "linked", "victim"}), EntriesOf(dir.path()));
}

}  // namespace
