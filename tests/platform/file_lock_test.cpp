// Files that must survive a crash: the read-only attribute, flushing a file and its folder, and
// the whole-file lock that orders writers in this and other processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
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

}  // namespace
