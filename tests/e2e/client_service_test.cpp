// pwdown.dll against the real quomvlsv: the frames the service answers, the codes it does not
// know, and its one request per connection.
#include <string>

#include "pwdown_internal.h"
#include "quorin/platform.h"
#include "service_fixture.h"

namespace {

class ClientServiceTest : public ServiceTest {
 protected:
  ClientServiceTest() {
    // The main service QUORIN_MVL is not there: the one-byte "APIDEBUG" lets the client go on.
    install.write_registry({"\"LumoUa\"=dword:00000001", "\"LumoUnit\"=hex:00", "\"APIDEBUG\"=hex:00"});
    WriteConfig(
        "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=10.0.0.1\n"
        "[Storage1]\nUPS_NUM=1\nUPS_IP1=10.0.1.1\n");
  }
  ~ClientServiceTest() override {
    if (library != nullptr) qp_library_free(library);
  }
  void Load() {
    library = qp_library_load((qt::out_dir() + "/pwdown.dll").c_str());
    ASSERT_NE(nullptr, library) << GetLastError();
  }
  template <typename Fn>
  Fn Export(const char *name) {
    return reinterpret_cast<Fn>(qp_library_symbol(library, name));
  }
  qp_library *library = nullptr;
};

TEST_F(ClientServiceTest, ClusterShutdownRequestsReachTheService) {
  Start();
  Load();
  auto cluster_shutdown = Export<int (*)(int)>("QuoPcClusterShutDown");
  auto cluster_shutdown2 = Export<int (*)(int)>("QuoPcClusterShutDown2");
  ASSERT_NE(nullptr, cluster_shutdown);
  ASSERT_NE(nullptr, cluster_shutdown2);
  qt::write_file(calls_path, "");
  // Mode 1 through CSD: every UPS whose status was read is switched off.
  EXPECT_EQ(1, cluster_shutdown(1));
  EXPECT_TRUE(LogHas("AD1/CSD: iClusterDownMode = 0x1"));
  EXPECT_EQ(2, qt::count_of(qt::read_file(calls_path), "SetUpsOffbySnmp"));
  // Mode 2 through AD1: only the UPS of the server marked Used.
  qt::write_file(calls_path, "");
  EXPECT_EQ(1, cluster_shutdown2(2));
  std::string calls = qt::read_file(calls_path);
  EXPECT_EQ(1, qt::count_of(calls, "SetUpsOffbySnmp"));
  EXPECT_NE(std::string::npos, calls.find("SetUpsOffbySnmp 10.0.0.1 3 2\n"));
  // A refusal by a UPS comes back as PC_ERR_UNSUPPORTED ("10").
  WriteScript("[off]\n10.0.1.1=0\n");
  SetLastError(0);
  EXPECT_EQ(0, cluster_shutdown(1));
  EXPECT_EQ(0x20000100u, GetLastError());
  // Mode 12 sends its first character only: mode 1 again.
  WriteScript("");
  int mode_one = qt::count_of(qt::read_file(LogPath()), "AD1/CSD: iClusterDownMode = 0x1");
  EXPECT_EQ(1, cluster_shutdown(12));
  EXPECT_EQ(mode_one + 1, qt::count_of(qt::read_file(LogPath()), "AD1/CSD: iClusterDownMode = 0x1"));
  EXPECT_FALSE(LogHas("AD1/CSD: iClusterDownMode = 0xC"));
}

TEST_F(ClientServiceTest, CodesTheServiceDoesNotKnowAreUnsupported) {
  Start();
  Load();
  auto power_off = Export<int (*)(uint32_t)>("PowerOffByLumo");
  ASSERT_NE(nullptr, power_off);
  SetLastError(0);
  EXPECT_EQ(0, power_off(0));
  EXPECT_EQ(0x20000100u, GetLastError());  // PC_ERR_UNSUPPORTED
  EXPECT_TRUE(LogHas("Unknown command: APF"));
}

TEST_F(ClientServiceTest, ASecondRequestOnOneConnectionFails) {
  Start();
  PcConnection connection{};
  ASSERT_EQ(0u, OpenCommandPipe(&connection));
  const char *data = nullptr;
  uint32_t length = 0, error = 0;
  ASSERT_TRUE(SendCmdWithResponseData(&connection, "C02", &data, &length, false, &error));
  ASSERT_EQ(1u, length);
  EXPECT_EQ('4', data[0]);
  length = 0;
  EXPECT_FALSE(SendCmdWithResponseData(&connection, "K02", &data, &length, false, &error));
  EXPECT_EQ(0x20000001u, error);  // PC_ERR_PIPE_IO: the service answered once and disconnected
  CloseCommandPipe(&connection);
  EXPECT_FALSE(LogHas("CMD: K02"));
}

}  // namespace
