// Registry reads from the REGEDIT4 file: types, sizes, missing keys and values.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "registry.reg";
    setenv("QUORIN_REGISTRY", path_.c_str(), 1);
  }
  qt::TempDir dir_{"reg"};
  std::string path_;
};

TEST_F(RegistryTest, ReadsEachValueTypeWithWindowsSizes) {
  qt::write_file(path_,
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n"
                 "\"PathName\"=\"/opt/qu\\\"orin\"\r\n\"LumoUa\"=dword:0000001f\r\n\"LumoUnit\"=hex:01\r\n"
                 "\"Long\"=hex:01,02,\\\r\n  03,04\r\n\"Multi\"=hex(7):61,00,00\r\n");
  qp_regkey *key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_open_key("software\\tarvos\\quorin/mvl", &key));

  uint32_t type = 0, size = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "PathName", &type, nullptr, &size));
  EXPECT_EQ(QP_REG_SZ, type);
  EXPECT_EQ(13u, size);  // twelve characters and the terminator
  char text[64] = {};
  size = sizeof text;
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "pathname", nullptr, text, &size));
  EXPECT_STREQ("/opt/qu\"orin", text);

  uint32_t ua = 0;
  size = sizeof ua;
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "LumoUa", &type, &ua, &size));
  EXPECT_EQ(QP_REG_DWORD, type);
  EXPECT_EQ(0x1fu, ua);

  unsigned char one = 0xff;
  size = 1;
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "LumoUnit", &type, &one, &size));
  EXPECT_EQ(QP_REG_BINARY, type);
  EXPECT_EQ(1u, one);

  // A four-byte value does not fit a one-byte buffer: ERROR_MORE_DATA and the needed size.
  size = 1;
  EXPECT_EQ(ERROR_MORE_DATA, qp_reg_query_value(key, "LumoUa", nullptr, &one, &size));
  EXPECT_EQ(4u, size);

  unsigned char four[8] = {};
  size = sizeof four;
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "Long", nullptr, four, &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(4, four[3]);
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "Multi", &type, nullptr, &size));
  EXPECT_EQ(7u, type);
  EXPECT_EQ(3u, size);

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_query_value(key, "APIDEBUG", nullptr, nullptr, &size));
  qp_reg_close_key(key);
}

TEST_F(RegistryTest, MissingKeysFileAndMalformedLines) {
  qt::write_file(path_,
                 "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL\\Sub]\n\"Bad\"=dword:xyz\n"
                 "\"Good\"=dword:00000002\n[HKEY_CURRENT_USER\\SOFTWARE\\Other]\n\"X\"=\"y\"\n");
  qp_regkey *key = nullptr;
  // A key with only sub-keys listed still exists.
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_open_key("SOFTWARE\\Tarvos\\QUORIN/MVL", &key));
  uint32_t size = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_query_value(key, "Good", nullptr, nullptr, &size));
  qp_reg_close_key(key);
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_open_key("SOFTWARE\\Tarvos\\QUORIN/MVL\\Sub", &key));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_query_value(key, "Bad", nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_SUCCESS, qp_reg_query_value(key, "Good", nullptr, nullptr, &size));
  qp_reg_close_key(key);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_open_key("SOFTWARE\\Other", &key));
  EXPECT_EQ(nullptr, key);
  // "QUORIN/MVL" is one key name: "QUORIN" is not its parent, "SOFTWARE\Tarvos" is.
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_open_key("SOFTWARE\\Tarvos\\QUORIN", &key));
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_open_key("SOFTWARE\\Tarvos", &key));
  qp_reg_close_key(key);

  setenv("QUORIN_REGISTRY", (dir_ / "missing.reg").c_str(), 1);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_open_key("SOFTWARE\\Tarvos\\QUORIN/MVL", &key));

  // A registry file that is a FIFO (never waited on), a device or larger than 1 MB reads as
  // no registry at all.
  std::string fifo = dir_ / "fifo.reg", zero = dir_ / "zero.reg", large = dir_ / "large.reg";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_EQ(0, symlink("/dev/zero", zero.c_str()));
  std::string head = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n";
  qt::write_file(large, head + std::string(QP_PROFILE_MAX_SIZE + 1 - head.size(), ';'));
  for (const std::string &path : {fifo, zero, large}) {
    setenv("QUORIN_REGISTRY", path.c_str(), 1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, qp_reg_open_key("SOFTWARE\\Tarvos\\QUORIN/MVL", &key)) << path;
  }
  qt::write_file(large, head + std::string(QP_PROFILE_MAX_SIZE - head.size(), ';'));
  setenv("QUORIN_REGISTRY", large.c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, qp_reg_open_key("SOFTWARE\\Tarvos\\QUORIN/MVL", &key));
  qp_reg_close_key(key);
}

}  // namespace
