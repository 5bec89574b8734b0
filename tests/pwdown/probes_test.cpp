// The registry probes read directly: the system type table, the install path bound, the
// communication kind and the debug switch.
#include "pwdown_internal.h"
#include "testsupport.h"

#include <gtest/gtest.h>

namespace {

class ProbesTest : public ::testing::Test {
 protected:
  void SetUp() override { install_.apply_env(); }
  qt::Install install_{"pwprobe"};
};

TEST_F(ProbesTest, SystemTypeFromTheFirstByteOfLumoUnit) {
  const std::pair<const char *, int> cases[] = {
      {"hex:00", 0},  {"hex:01", 2},    {"hex:02", 2},         {"hex:03", 1}, {"hex:04", -1},
      {"hex:ff", -1}, {"hex:03,09", 1}, {"dword:00000102", 2}, {"\"3\"", -1}, {"hex:", -1}};
  for (const auto &[value, type] : cases) {
    install_.write_registry({std::string("\"LumoUnit\"=") + value});
    EXPECT_EQ(type, GetSystemTypeFromRegistry()) << value;
  }
  install_.write_registry({});
  EXPECT_EQ(-1, GetSystemTypeFromRegistry());
}

TEST_F(ProbesTest, InstallPathMustFitWithItsTerminator) {
  char path[260];
  ASSERT_TRUE(GetReg_LumoPathName(path, sizeof path));
  EXPECT_EQ(install_.dir(), path);
  // 259 characters fit, 260 do not.
  for (size_t length : {259u, 260u}) {
    std::string text = "/" + std::string(length - 1, 'p');
    qt::write_file(install_.registry(),
                   "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=\"" +
                       text + "\"\r\n");
    EXPECT_EQ(length == 259u, GetReg_LumoPathName(path, sizeof path)) << length;
    EXPECT_EQ(length == 259u ? text : std::string(), path);
  }
  // Binary data without a terminator gets one when there is room.
  qt::write_file(
      install_.registry(),
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=hex:2f,6f,70,74\r\n");
  ASSERT_TRUE(GetReg_LumoPathName(path, sizeof path));
  EXPECT_STREQ("/opt", path);
  EXPECT_FALSE(GetReg_LumoPathName(path, 4));
}

TEST_F(ProbesTest, AttachSetsTheLogUpOnlyWithAnInstallDirectoryAndARoomyPath) {
  auto set_up = [](LibraryLog *log, char *install) {
    *log = LibraryLog{};
    SetUpLibraryLog(log, install, 260);
  };
  char install[260];
  LibraryLog log{};
  set_up(&log, install);
  EXPECT_EQ(1, log.enabled);
  EXPECT_EQ(install_.dir() + "\\DATA\\pwdown.log", log.path);
  EXPECT_EQ(5000, log.line_limit);
  EXPECT_EQ(80, log.width);
  EXPECT_NE(nullptr, log.mutex);

  // No "PathName": the log stays off (its path would lie at the root).
  qt::write_file(install_.registry(), "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n");
  LibraryLog none{};
  set_up(&none, install);
  EXPECT_EQ(0, none.enabled);
  EXPECT_STREQ("\\DATA\\pwdown.log", none.path);

  // An install directory that fits its 260 bytes, but the log path below it does not.
  std::string text = "/" + std::string(249, 'p');
  qt::write_file(
      install_.registry(),
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=\"" + text + "\"\r\n");
  LibraryLog cut{};
  set_up(&cut, install);
  EXPECT_EQ(text, install);
  EXPECT_EQ(0, cut.enabled);

  for (LibraryLog *l : {&log, &none, &cut})
    if (l->mutex != nullptr) qp_mutex_close(l->mutex);
}

TEST_F(ProbesTest, CommunicationKindAndDebugSwitch) {
  uint8_t com = 0;
  install_.write_registry({"\"LumoCom\"=hex:09,01", "\"APIDEBUG\"=hex:"});
  ASSERT_TRUE(GetReg_LumoCom(&com));
  EXPECT_EQ(9, com);
  EXPECT_TRUE(IsApiDebug());  // no data at all still reads into one byte
  EXPECT_TRUE(IsQuoPcServiceRunning());
  install_.write_registry({"\"LumoCom\"=hex:", "\"APIDEBUG\"=hex:00,00"});
  EXPECT_FALSE(GetReg_LumoCom(&com));
  EXPECT_FALSE(IsApiDebug());
  // No service has ever reported in this runtime directory.
  EXPECT_FALSE(IsQuoPcServiceRunning());
  EXPECT_EQ(static_cast<uint32_t>(PC_ERR_SERVICE), CheckQuoPcGate());
  EXPECT_TRUE(IsQuoPcInstall());
}

}  // namespace
