// Profile files and path resolution: the Windows read rules and layout-keeping writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

TEST(ProfileTest, ReadsWithWindowsRules) {
  qt::TempDir dir("profile");
  std::string path = dir / "ky_e_net.ini";
  qt::write_file(path,
                 "; comment\r\n[Common]\r\n Community = \"secret\" \r\nTSR_SVR_NUM=2abc\r\nneg=-5\r\n"
                 "empty=\r\njunk=x12\r\n[Server1]\r\nUPS_IP1=10.0.0.1\r\n");
  char buf[16];
  // Names ignore case; blanks and one pair of quotes go.
  EXPECT_EQ(6u, qp_profile_get_string("common", "COMMUNITY", "kelpie", buf, sizeof buf, path.c_str()));
  EXPECT_STREQ("secret", buf);
  // Missing key: the default text. Cut to the buffer size minus one.
  EXPECT_EQ(6u, qp_profile_get_string("common", "nokey", "kelpie", buf, sizeof buf, path.c_str()));
  EXPECT_STREQ("kelpie", buf);
  char small[4];
  EXPECT_EQ(3u, qp_profile_get_string("Server1", "UPS_IP1", "", small, sizeof small, path.c_str()));
  EXPECT_STREQ("10.", small);
  // Integers: the leading decimal number; junk reads 0; empty or missing gives the default.
  EXPECT_EQ(2, qp_profile_get_int("common", "TSR_SVR_NUM", 0, path.c_str()));
  EXPECT_EQ(-5, qp_profile_get_int("common", "neg", 0, path.c_str()));
  EXPECT_EQ(0, qp_profile_get_int("common", "junk", 8, path.c_str()));
  EXPECT_EQ(8, qp_profile_get_int("common", "empty", 8, path.c_str()));
  EXPECT_EQ(8, qp_profile_get_int("common", "interval", 8, path.c_str()));
  // The path itself is found ignoring case, with backslashes.
  std::string windows = dir.path() + "\\KY_E_NET.INI";
  EXPECT_EQ(2, qp_profile_get_int("common", "TSR_SVR_NUM", 0, windows.c_str()));
  EXPECT_EQ(3u, qp_profile_get_string("x", "y", "def", buf, sizeof buf, (dir / "none.ini").c_str()));
}

TEST(ProfileTest, WritesKeepTheRestOfTheFile) {
  qt::TempDir dir("profile");
  std::string path = dir / "snmp.apc";
  // Creating the file and section.
  ASSERT_EQ(1, qp_profile_write_string("SNMP", "SnmpLogSize", "0", path.c_str()));
  ASSERT_EQ(1, qp_profile_write_string("SNMP", "TimeOut", "1000", path.c_str()));
  EXPECT_EQ("[SNMP]\r\nSnmpLogSize=0\r\nTimeOut=1000\r\n", qt::read_file(path));

  qt::write_file(path, "; keep me\n[Other]\nA=1\n\n[snmp]\nretry = 7\nX=y\n\n[Last]\nB=2\n");
  ASSERT_EQ(1, qp_profile_write_string("SNMP", "Retry", "2", path.c_str()));
  ASSERT_EQ(1, qp_profile_write_string("SNMP", "New", "v", path.c_str()));
  ASSERT_EQ(1, qp_profile_write_string("Third", "K", "3", path.c_str()));
  EXPECT_EQ("; keep me\n[Other]\nA=1\n\n[snmp]\nretry=2\nX=y\nNew=v\n\n[Last]\nB=2\n[Third]\nK=3\n",
            qt::read_file(path));
  // Deleting a key.
  ASSERT_EQ(1, qp_profile_write_string("snmp", "x", nullptr, path.c_str()));
  char buf[16];
  qp_profile_get_string("SNMP", "X", "<default>", buf, sizeof buf, path.c_str());
  EXPECT_STREQ("<default>", buf);
  EXPECT_EQ(std::string::npos, qt::read_file(path).find("X=y"));
}

TEST(ProfileTest, ConcurrentWritersLoseNothing) {
  qt::TempDir dir("profile");
  std::string path = dir / "UPSinfo.ini";
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&path, t] {
      for (int k = 0; k < 20; ++k) {
        std::string key = "K" + std::to_string(k);
        std::string value = std::to_string(t * 100 + k);
        qp_profile_write_string(("S" + std::to_string(t)).c_str(), key.c_str(), value.c_str(), path.c_str());
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < 8; ++t)
    for (int k = 0; k < 20; ++k)
      EXPECT_EQ(t * 100 + k, qp_profile_get_int(("S" + std::to_string(t)).c_str(),
                                                ("K" + std::to_string(k)).c_str(), -1, path.c_str()));
}

// Only a regular file of at most 1 MB is a profile: a FIFO (never waited on), a device or a
// larger file reads as missing, is never written over, and the reason can be asked for.
TEST(ProfileTest, FilesThatAreNotProfilesReadAsMissingAndAreNotWrittenOver) {
  qt::TempDir dir("profile");
  char buf[16];
  std::string fifo = dir / "fifo.ini";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string zero = dir / "zero.ini";
  ASSERT_EQ(0, symlink("/dev/zero", zero.c_str()));
  for (const std::string &path : {fifo, zero}) {
    EXPECT_EQ(9u, qp_profile_get_string("common", "TSR_SVR_NUM", "<default>", buf, sizeof buf, path.c_str()))
        << path;
    EXPECT_EQ(ERROR_BAD_FILE_TYPE, GetLastError()) << path;
    EXPECT_EQ(7, qp_profile_get_int("common", "TSR_SVR_NUM", 7, path.c_str())) << path;
    EXPECT_EQ(ERROR_BAD_FILE_TYPE, qp_file_check_regular(path.c_str(), QP_PROFILE_MAX_SIZE)) << path;
  }
  EXPECT_EQ(0, qp_profile_write_string("SNMP", "TimeOut", "1000", fifo.c_str()));
  EXPECT_EQ(ERROR_BAD_FILE_TYPE, GetLastError());
  struct stat st;
  ASSERT_EQ(0, lstat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is not replaced by a file";
  EXPECT_EQ(0, qp_profile_write_string("SNMP", "TimeOut", "1000", zero.c_str()));
  ASSERT_EQ(0, lstat(zero.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  // Exactly 1 MB is read; one byte more is refused, and writing leaves the file as it was.
  std::string head = "[common]\r\nTSR_SVR_NUM=2\r\n";
  std::string exact = dir / "exact.ini";
  qt::write_file(exact, head + std::string(QP_PROFILE_MAX_SIZE - head.size(), ';'));
  EXPECT_EQ(static_cast<long>(QP_PROFILE_MAX_SIZE), qt::file_size(exact));
  EXPECT_EQ(2, qp_profile_get_int("common", "TSR_SVR_NUM", 0, exact.c_str()));
  EXPECT_EQ(ERROR_SUCCESS, qp_file_check_regular(exact.c_str(), QP_PROFILE_MAX_SIZE));
  std::string over = dir / "over.ini";
  std::string content = head + std::string(QP_PROFILE_MAX_SIZE + 1 - head.size(), ';');
  qt::write_file(over, content);
  EXPECT_EQ(0, qp_profile_get_int("common", "TSR_SVR_NUM", 0, over.c_str()));
  EXPECT_EQ(ERROR_FILE_TOO_LARGE, GetLastError());
  EXPECT_EQ(ERROR_FILE_TOO_LARGE, qp_file_check_regular(over.c_str(), QP_PROFILE_MAX_SIZE));
  EXPECT_EQ(0, qp_profile_write_string("common", "TSR_SVR_NUM", "3", over.c_str()));
  EXPECT_EQ(ERROR_FILE_TOO_LARGE, GetLastError());
  EXPECT_EQ(content, qt::read_file(over));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_file_check_regular((dir / "none.ini").c_str(), QP_PROFILE_MAX_SIZE));
}

TEST(PathTest, ResolvesComponentsIgnoringCase) {
  qt::TempDir dir("path");
  qt::make_dirs(dir / "DATA/UPS");
  qt::write_file(dir / "DATA/QUOMVLSV.LOG", "x");
  char out[512];
  ASSERT_EQ(1, qp_path_resolve((dir.path() + "\\data\\quomvlsv.log").c_str(), out, sizeof out));
  EXPECT_EQ(dir / "DATA/QUOMVLSV.LOG", out);
  // A missing file keeps its spelling but lands in the existing folder.
  ASSERT_EQ(1, qp_path_resolve((dir.path() + "\\Data\\ups\\New.Log").c_str(), out, sizeof out));
  EXPECT_EQ(dir / "DATA/UPS/New.Log", out);
  char tiny[8];
  EXPECT_EQ(0, qp_path_resolve((dir.path() + "/x").c_str(), tiny, sizeof tiny));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, GetLastError());
}

TEST(FileTest, UnsharedFileRefusesASecondOpen) {
  qt::TempDir dir("file");
  std::string path = dir / "SHARE_DK.APC";
  qt::write_file(path, "old content");
  qp_file *first =
      qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_NONE, QP_CREATE_ALWAYS);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(0, qt::file_size(path));
  EXPECT_EQ(nullptr,
            qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_NONE, QP_CREATE_ALWAYS));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, GetLastError());
  uint32_t done = 0;
  EXPECT_EQ(ERROR_SUCCESS, qp_file_write(first, "abc", 3, &done));
  EXPECT_EQ(3u, done);
  qp_file_close(first);
  // The refused open did not empty the file.
  EXPECT_EQ("abc", qt::read_file(path));
  EXPECT_EQ(nullptr, qp_file_open((dir / "none").c_str(), QP_ACCESS_READ, QP_SHARE_READ, QP_OPEN_EXISTING));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  // A missing folder on the way is a missing path, as Windows tells the two apart.
  std::string deep = dir / "NODIR\\ky_e_net.ini";
  EXPECT_EQ(nullptr, qp_file_open(deep.c_str(), QP_ACCESS_READ, QP_SHARE_READ, QP_OPEN_EXISTING));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  uint64_t size = 0;
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, qp_file_size_of(deep.c_str(), &size));
  EXPECT_EQ(nullptr, qp_fopen(deep.c_str(), "r"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_file_size_of((dir / "none").c_str(), &size));
}

}  // namespace
