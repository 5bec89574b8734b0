// Library loader: missing files, missing entries, attach failures, the program's own path.
#include <gtest/gtest.h>

#include <string>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

TEST(LoaderTest, LoadsBindsAndReportsWindowsErrors) {
  std::string dir = qt::test_bin_dir();
  EXPECT_EQ(nullptr, qp_library_load((dir + "/absent.dll").c_str()));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());

  qp_library *ok = qp_library_load((dir + "\\QT_ATTACH_OK.DLL").c_str());  // found ignoring case
  ASSERT_NE(nullptr, ok);
  auto attached = reinterpret_cast<int (*)()>(qp_library_symbol(ok, "TestAttached"));
  ASSERT_NE(nullptr, attached);
  EXPECT_EQ(1, attached());
  EXPECT_EQ(nullptr, qp_library_symbol(ok, "NoSuchEntry"));
  EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());
  EXPECT_EQ(1, qp_library_free(ok));

  EXPECT_EQ(nullptr, qp_library_load((dir + "/qt_attach_fail.dll").c_str()));
  EXPECT_EQ(ERROR_DLL_INIT_FAILED, GetLastError());

  // A file that is not a library at all.
  qt::TempDir tmp("loader");
  qt::write_file(tmp / "junk.dll", "not a library");
  EXPECT_EQ(nullptr, qp_library_load((tmp / "junk.dll").c_str()));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST(LoaderTest, ModuleFileNameIsTheProgram) {
  char path[512];
  uint32_t n = qp_module_file_name(path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_NE(std::string::npos, std::string(path).find("platform_tests"));
  char small[4];
  EXPECT_EQ(3u, qp_module_file_name(small, sizeof small));
}

}  // namespace
