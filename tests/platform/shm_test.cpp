// Named shared memory sections: open never creates, creation is seen whole by other processes'
// opens, every runtime directory has sections of its own, links are not followed.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

class ShmTest : public ::testing::Test {
 protected:
  void SetUp() override { install_.apply_env(); }
  std::string SectionFile(const std::string &name) const { return install_.runtime() + "/shm/" + name; }
  qt::Install install_{"shm"};
};

TEST_F(ShmTest, OpenNeverCreatesAndSeesWhatTheCreatorWrote) {
  SetLastError(0);
  EXPECT_EQ(nullptr, qp_shm_open("pwdownDllCmMemory", 1));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(nullptr, qp_shm_open("pwdownDllCmMemory", 0));
  EXPECT_FALSE(qt::file_exists(SectionFile("pwdownDllCmMemory")));

  qp_shm *made = qp_shm_create("pwdownDllCmMemory", 16);
  ASSERT_NE(nullptr, made) << GetLastError();
  size_t size = 0;
  auto *bytes = static_cast<unsigned char *>(qp_shm_view(made, &size));
  ASSERT_EQ(16u, size);
  for (size_t i = 0; i < size; ++i) EXPECT_EQ(0, bytes[i]) << i;
  bytes[12] = 0x2A;
  struct stat st;
  ASSERT_EQ(0, stat(SectionFile("pwdownDllCmMemory").c_str(), &st));
  EXPECT_EQ(0660u, st.st_mode & 0777u);

  // A second opener maps the same memory, both ways.
  qp_shm *opened = qp_shm_open("pwdownDllCmMemory", 1);
  ASSERT_NE(nullptr, opened);
  auto *other = static_cast<unsigned char *>(qp_shm_view(opened, &size));
  EXPECT_EQ(16u, size);
  EXPECT_EQ(0x2A, other[12]);
  other[0] = 7;
  EXPECT_EQ(7, bytes[0]);
  // Creating it again opens it with its own size, keeping its contents.
  qp_shm *again = qp_shm_create("pwdownDllCmMemory", 4096);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(0x2A, static_cast<unsigned char *>(qp_shm_view(again, &size))[12]);
  EXPECT_EQ(16u, size);
  qp_shm_close(again);
  qp_shm_close(opened);

  // Removed, it can no longer be opened; a view still mapped stays usable.
  qp_shm_remove("pwdownDllCmMemory");
  EXPECT_EQ(nullptr, qp_shm_open("pwdownDllCmMemory", 0));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(0x2A, bytes[12]);
  qp_shm_close(made);
  EXPECT_EQ(nullptr, qp_shm_create("", 16));
  EXPECT_EQ(ERROR_INVALID_NAME, GetLastError());
  EXPECT_EQ(nullptr, qp_shm_create("zero", 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(ShmTest, EachRuntimeDirectoryHasSectionsOfItsOwnAndLinksAreNotFollowed) {
  qp_shm *mine = qp_shm_create("pwdownDllCmMemory", 16);
  ASSERT_NE(nullptr, mine);
  qt::Install elsewhere("shm2");
  setenv("QUORIN_RUNTIME_DIR", elsewhere.runtime().c_str(), 1);
  EXPECT_EQ(nullptr, qp_shm_open("pwdownDllCmMemory", 1));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  setenv("QUORIN_RUNTIME_DIR", install_.runtime().c_str(), 1);
  qp_shm *again = qp_shm_open("pwdownDllCmMemory", 0);
  EXPECT_NE(nullptr, again);
  qp_shm_close(again);
  qp_shm_close(mine);

  // A link planted under a section's name is refused rather than followed to its target.
  qt::write_file(install_.dir() + "/target", std::string(64, 'x'));
  ASSERT_EQ(0, symlink((install_.dir() + "/target").c_str(), SectionFile("planted").c_str()));
  EXPECT_EQ(nullptr, qp_shm_open("planted", 1));
  EXPECT_NE(ERROR_SUCCESS, GetLastError());
  EXPECT_EQ(nullptr, qp_shm_create("planted", 16));
  EXPECT_EQ(std::string(64, 'x'), qt::read_file(install_.dir() + "/target"));
  // Separators in a name stay inside the folder.
  qp_shm *odd = qp_shm_create("a/b\\c", 8);
  ASSERT_NE(nullptr, odd);
  EXPECT_TRUE(qt::file_exists(SectionFile("a_b_c")));
  qp_shm_close(odd);
  qp_shm_remove("a/b\\c");
  EXPECT_FALSE(qt::file_exists(SectionFile("a_b_c")));
}

}  // namespace
