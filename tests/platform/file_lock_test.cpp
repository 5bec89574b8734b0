// Files that must survive a crash: the read-only attribute, flushing a file and its folder, and
// the whole-file lock that orders writers in this and other processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "quorin/platform.h"
#include "testsupport.h"
#include "timing.h"

namespace {

using Clock = std::chrono::steady_clock;

qp_file *OpenForUpdate(const std::string &path) {
  return qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_READ | QP_SHARE_WRITE,
                      QP_OPEN_ALWAYS);
}

TEST(FileTest, ReadOnlyFileRefusesWritersEvenRoot) {
  qt::TempDir dir("readonly");
  std::string path = dir / "calendar.txt";
  qt::write_file(path, "0020240101000F   \r\n");
  // Each write bit on its own makes the file writable; none of them makes it read-only.
  for (mode_t mode : {0200, 0020, 0002}) {
    ASSERT_EQ(0, chmod(path.c_str(), mode));
    qp_file *file = qp_file_open(path.c_str(), QP_ACCESS_WRITE, QP_SHARE_READ, QP_OPEN_EXISTING);
    EXPECT_NE(nullptr, file) << std::oct << mode;
    qp_file_close(file);
  }
  ASSERT_EQ(0, chmod(path.c_str(), 0444));
  for (uint32_t disposition : {QP_OPEN_EXISTING, QP_OPEN_ALWAYS, QP_CREATE_ALWAYS, QP_TRUNCATE_EXISTING}) {
    SetLastError(0);
    EXPECT_EQ(nullptr, qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE,
                                    QP_SHARE_READ | QP_SHARE_WRITE, disposition))
        << disposition;
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << disposition;
  }
  // Nothing was emptied, and reading is still allowed.
  EXPECT_EQ("0020240101000F   \r\n", qt::read_file(path));
  qp_file *reader =
      qp_file_open(path.c_str(), QP_ACCESS_READ, QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_EXISTING);
  EXPECT_NE(nullptr, reader);
  qp_file_close(reader);
}

TEST(FileTest, FlushFileAndFolder) {
  qt::TempDir dir("flush");
  qt::make_dirs(dir / "DATA");
  qp_file *file = OpenForUpdate(dir / "DATA/SCHEDULE.TMP");
  ASSERT_NE(nullptr, file);
  uint32_t done = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_file_write(file, "2401010000F   \r\n", 16, &done));
  EXPECT_EQ(ERROR_SUCCESS, qp_file_flush(file));
  qp_file_close(file);
  EXPECT_EQ(ERROR_SUCCESS,
            qp_file_rename((dir / "data/schedule.tmp").c_str(), (dir / "DATA/SCHEDULE.APC").c_str(), 1));
  // The folder is found ignoring case, as every other path.
  EXPECT_EQ(ERROR_SUCCESS, qp_folder_flush((dir.path() + "\\data").c_str()));
  EXPECT_EQ("2401010000F   \r\n", qt::read_file(dir / "DATA/SCHEDULE.APC"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, qp_folder_flush((dir / "NODIR").c_str()));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, qp_folder_flush((dir / "DATA/SCHEDULE.APC").c_str()));
  EXPECT_EQ(ERROR_INVALID_HANDLE, qp_file_flush(nullptr));
}

TEST(FileTest, LockExcludesEveryOtherHandleUntilUnlockOrClose) {
  qt::TempDir dir("lock");
  std::string path = dir / "SCHEDULE.LCK";
  qp_file *first = OpenForUpdate(path);
  qp_file *second = OpenForUpdate(path);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  ASSERT_EQ(ERROR_SUCCESS, qp_file_lock(first, 0));
  // Two handles of one process exclude each other, as two processes do.
  EXPECT_EQ(ERROR_LOCK_VIOLATION, qp_file_lock(second, 0));
  EXPECT_EQ(ERROR_LOCK_VIOLATION, GetLastError());
  // A bounded wait lasts at least its time-out, and not much more.
  auto start = Clock::now();
  EXPECT_EQ(ERROR_LOCK_VIOLATION, qp_file_lock(second, 300));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_TRUE(qt::WithinNominal(static_cast<long>(waited), 300, "bounded lock wait"));

  // An endless wait ends when the holder unlocks.
  std::atomic<uint32_t> result{0xFFFFFFFFu};
  std::thread waiter([&] { result = qp_file_lock(second, QP_INFINITE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(0xFFFFFFFFu, result.load());
  ASSERT_EQ(ERROR_SUCCESS, qp_file_unlock(first));
  waiter.join();
  EXPECT_EQ(ERROR_SUCCESS, result.load());
  EXPECT_EQ(ERROR_LOCK_VIOLATION, qp_file_lock(first, 0));

  // Closing the holder's handle ends its lock.
  qp_file_close(second);
  EXPECT_EQ(ERROR_SUCCESS, qp_file_lock(first, 0));
  qp_file_close(first);

  // The lock needs write access; a read-only handle cannot take it.
  qp_file *reader =
      qp_file_open(path.c_str(), QP_ACCESS_READ, QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_EXISTING);
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(ERROR_INVALID_HANDLE, qp_file_lock(reader, 0));
  qp_file_close(reader);
  EXPECT_EQ(ERROR_INVALID_HANDLE, qp_file_lock(nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, qp_file_unlock(nullptr));
}

// A file kept open is followed by its name. After a first look-up, a watch on its folder answers
// without one; each change that makes the path name another file, or nothing, shows at the very
// next check, and a change of another name in the folder leaves the answer as it is.
TEST(FileTest, KeptFileKnowsWhetherItsPathStillNamesIt) {
  struct Case {
    const char *change;
    std::function<void(const std::string &dir)> make;
    int at_path;  // the answer right after the change
  } cases[] = {
      {"nothing", [](const std::string &) {}, 1},
      {"another file renamed in and out",
       [](const std::string &d) {
         qt::write_file(d + "/top/DATA/OTHER.TMP", "x");
         ASSERT_EQ(0, rename((d + "/top/DATA/OTHER.TMP").c_str(), (d + "/top/DATA/OTHER.LOG").c_str()));
         ASSERT_EQ(0, unlink((d + "/top/DATA/OTHER.LOG").c_str()));
       },
       1},
      {"deleted", [](const std::string &d) { ASSERT_EQ(0, unlink((d + "/top/DATA/RING.LOG").c_str())); }, 0},
      {"deleted and made again",
       [](const std::string &d) {
         ASSERT_EQ(0, unlink((d + "/top/DATA/RING.LOG").c_str()));
         qt::write_file(d + "/top/DATA/RING.LOG", "00000000\r\n");
       },
       0},
      {"renamed away",
       [](const std::string &d) {
         ASSERT_EQ(0, rename((d + "/top/DATA/RING.LOG").c_str(), (d + "/top/DATA/RING.OLD").c_str()));
       },
       0},
      {"replaced",
       [](const std::string &d) {
         qt::write_file(d + "/top/DATA/RING.NEW", "00000000\r\n");
         ASSERT_EQ(0, rename((d + "/top/DATA/RING.NEW").c_str(), (d + "/top/DATA/RING.LOG").c_str()));
       },
       0},
      {"replaced by a file moved in from another folder",
       [](const std::string &d) {
         qt::write_file(d + "/top/RING.NEW", "00000000\r\n");
         ASSERT_EQ(0, rename((d + "/top/RING.NEW").c_str(), (d + "/top/DATA/RING.LOG").c_str()));
       },
       0},
      {"folder renamed away and made again",
       [](const std::string &d) {
         ASSERT_EQ(0, rename((d + "/top/DATA").c_str(), (d + "/top/DATA.OLD").c_str()));
         qt::make_dirs(d + "/top/DATA");
         qt::write_file(d + "/top/DATA/RING.LOG", "00000000\r\n");
       },
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.change);
    qt::TempDir dir("isat");
    qt::make_dirs(dir / "top/DATA");
    qt::write_file(dir / "top/DATA/RING.LOG", "00000000\r\n");
    // Spelled as the writers spell it: backslashes, and the folder in another case.
    std::string path = dir.path() + "\\top\\data\\RING.LOG";
    qp_file *file = OpenForUpdate(path);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(1, qp_file_is_at(file, path.c_str()));
    EXPECT_EQ(1, qp_file_is_at(file, path.c_str()));
    c.make(dir.path());
    EXPECT_EQ(c.at_path, qp_file_is_at(file, path.c_str()));
    EXPECT_EQ(c.at_path, qp_file_is_at(file, path.c_str()));  // and stays so
    qp_file_close(file);
  }

  // Two files of one folder share its watch: closing one leaves the other's watch in place.
  qt::TempDir dir("isat2");
  qt::make_dirs(dir / "DATA");
  qp_file *first = OpenForUpdate(dir / "DATA/FIRST.LOG");
  qp_file *second = OpenForUpdate(dir / "DATA/SECOND.LOG");
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(1, qp_file_is_at(first, (dir / "DATA/FIRST.LOG").c_str()));
  EXPECT_EQ(1, qp_file_is_at(second, (dir / "DATA/SECOND.LOG").c_str()));
  qp_file_close(first);
  EXPECT_EQ(1, qp_file_is_at(second, (dir / "DATA/SECOND.LOG").c_str()));
  ASSERT_EQ(0, unlink((dir / "DATA/SECOND.LOG").c_str()));
  EXPECT_EQ(0, qp_file_is_at(second, (dir / "DATA/SECOND.LOG").c_str()));
  qp_file_close(second);
}

// A folder above the file's own moved away and made again changes no name in the watched
// folder; the path is looked up again at least once a second, so the change shows within one.
TEST(FileTest, KeptFileNoticesAFolderAboveReplacedWithinASecond) {
  qt::TempDir dir("isat3");
  qt::make_dirs(dir / "top/DATA");
  qt::write_file(dir / "top/DATA/RING.LOG", "00000000\r\n");
  std::string path = dir / "top/DATA/RING.LOG";
  qp_file *file = OpenForUpdate(path);
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(1, qp_file_is_at(file, path.c_str()));
  ASSERT_EQ(0, rename((dir / "top").c_str(), (dir / "top.old").c_str()));
  qt::make_dirs(dir / "top/DATA");
  qt::write_file(dir / "top/DATA/RING.LOG", "00000000\r\n");
  Clock::time_point changed = Clock::now();
  EXPECT_TRUE(qt::wait_until([&] { return qp_file_is_at(file, path.c_str()) == 0; },
                             std::chrono::milliseconds(5000)));
  // At most the second between two look-ups, with room for a loaded machine.
  EXPECT_LT(Clock::now() - changed, std::chrono::milliseconds(1000 + 3000));
  qp_file_close(file);
}

}  // namespace
