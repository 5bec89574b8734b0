// pwdown.dll against the real quomvlsv: the frames the service answers, the codes it does not
// know, and its one request per connection.
#include <memory>
#include <string>
#include <vector>

#include "pwdown_internal.h"
#include "quorin/platform.h"
#include "service_fixture.h"
#include "upssim_harness.h"

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

// A cluster shutdown request end to end: QuoPcClusterShutDown(1) in the client library, CSD
// over the pipe, the service reading every UPS through SNMPUPS.DLL and switching each one
// off on its upssim card, after a PCS that the real cluster library carried out with the
// cluster tool.
TEST_F(ClientServiceTest, ClusterShutdownTravelsDownToTheCards) {
  qt::Simulator sim("127.0.0.2", "127.0.0.4", {"--community", "kelpie"});
  ASSERT_TRUE(sim.ready());
  extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim.port());
  extra_env["QUORIN_TSR_SCRIPT_DIR"] = install.dir() + "/tsr";
  qt::make_dirs(install.dir() + "/tsr");
  snmp_library = "out:SNMPUPS.DLL";
  vex_library = "out:ky_vexapi4.dll";
  WriteConfig(
      "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
      "[Server2]\nUPS_NUM=1\nUPS_IP1=127.0.0.3\n[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.4\n");
  Start();
  Load();
  auto cluster_shutdown = Export<int (*)(int)>("QuoPcClusterShutDown");
  ASSERT_NE(nullptr, cluster_shutdown);
  const std::string turn_off = ".1.3.6.1.4.1.318.1.1.1.6.2.1.0 INTEGER 3 noError\n";

  // Power fails at the storage UPS: PCS runs the cluster shutdown tool through the real
  // cluster library, and the cluster side's next CSD is answered at once without a SET.
  sim.ctl("127.0.0.4", {"power-fail"});
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Cluster shutdown initiated (Storage failure)"));
  EXPECT_NE(std::string::npos, qt::read_file(install.dir() + "/tsr/calls.log").find("tsrstdn"));
  EXPECT_EQ(1, cluster_shutdown(1));
  for (const char *card : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) EXPECT_EQ("", sim.ctl(card, {"sets"})) << card;

  // The next CSD goes all the way down: every card receives the turn-off control.
  EXPECT_EQ(1, cluster_shutdown(1));
  for (const char *card : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    EXPECT_EQ(turn_off, sim.ctl(card, {"sets"})) << card;
    sim.ctl(card, {"sets", "clear"});
  }
  EXPECT_NE(std::string::npos, qt::read_file(install.data("pwdown.log")).find("QuoPcClusterShutDown"));

  // While the cards run their shut-down delay, a further CSD sends nothing and succeeds.
  EXPECT_EQ(1, cluster_shutdown(1));
  for (const char *card : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) EXPECT_EQ("", sim.ctl(card, {"sets"})) << card;
  EXPECT_NE(std::string::npos, qt::read_file(install.data("SNMPUPS.LOG")).find("Graceful Shutdown state[127.0.0.2]"));
}

}  // namespace
