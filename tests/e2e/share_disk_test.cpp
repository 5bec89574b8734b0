// GetKyShareDiskStatus against the real quomvlsv: "SHARE_DK.APC" written by the service from
// upssim cards on "K02" and copied out through pwdown.dll (size query, then the bytes), a
// storage UPS off line ("13" on each of 360 attempts), the service stopped, and pwctl's table.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pwdown.h"
#include "quorin/platform.h"
#include "service_fixture.h"
#include "testsupport.h"
#include "upssim_harness.h"

namespace {

constexpr char kCompanionKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/KY_E]\r\n\"SNMP\"=\"1\"\r\n";

// One record of "SHARE_DK.APC".
struct Record {
  std::string address, name;
  int32_t state;
};

std::vector<Record> Records(const uint8_t *bytes, size_t size) {
  std::vector<Record> records;
  for (size_t at = 0; at + 132 <= size; at += 132) {
    const char *p = reinterpret_cast<const char *>(bytes + at);
    const uint8_t *s = bytes + at + 128;
    records.push_back(
        {std::string(p, strnlen(p, 64)), std::string(p + 64, strnlen(p + 64, 64)),
         static_cast<int32_t>(s[0] | s[1] << 8 | s[2] << 16 | static_cast<uint32_t>(s[3]) << 24)});
  }
  return records;
}

class ShareDiskServiceTest : public ServiceTest {
 protected:
  ShareDiskServiceTest() {
    // QUORIN_MVL is not there: the one-byte "APIDEBUG" lets the client go on.
    Registry(true);
    // Every pause of the client library runs a thousand times faster in this process.
    setenv("QUORIN_TIME_SCALE", "1000", 1);
    WriteConfig(
        "[common]\nTSR_SVR_NUM=1\nStorage_NUM=2\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
        "[Storage1]\nUPS_NUM=2\nUPS_IP1=127.0.0.4\nUPS_IP2=127.0.0.5\n[Storage2]\nUPS_NUM=1\nUPS_IP1=127.0.0."
        "6\n");
    snmp_library = "out:SNMPUPS.DLL";
  }
  ~ShareDiskServiceTest() override {
    if (library != nullptr) qp_library_free(library);
  }
  void Registry(bool debug_switch) {
    std::vector<std::string> values = {"\"LumoUa\"=dword:00000001", "\"LumoUnit\"=hex:00",
                                       "\"LumoCom\"=hex:09"};
    if (debug_switch) values.push_back("\"APIDEBUG\"=hex:00");
    install.write_registry(values, kCompanionKey);
  }
  GetKyShareDiskStatusFn ShareDisk() {
    if (library == nullptr) library = qp_library_load((qt::out_dir() + "/pwdown.dll").c_str());
    EXPECT_NE(nullptr, library);
    return reinterpret_cast<GetKyShareDiskStatusFn>(qp_library_symbol(library, "GetKyShareDiskStatus"));
  }
  int CountLog(const std::string &text) const {
    int n = 0;
    for (const std::string &t : LogTexts()) n += t == text ? 1 : 0;
    return n;
  }
  qp_library *library = nullptr;
};

TEST_F(ShareDiskServiceTest, TheServiceWritesTheFileAndTheClientCopiesIt) {
  qt::Simulator sim("127.0.0.2", "127.0.0.6", {"--community", "kelpie"});
  ASSERT_TRUE(sim.ready());
  extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim.port());
  Start();

  // Size query: the service writes the file on "K02", the client answers its size.
  uint32_t size = 0;
  ASSERT_EQ(0, ShareDisk()(nullptr, &size));
  EXPECT_EQ(3u * 132u, size);
  EXPECT_EQ(1, CountLog("K02 command: Checking storage UPS status"));
  // Then the bytes, as the service wrote them.
  std::vector<uint8_t> buffer(size, 0xEE);
  ASSERT_EQ(0, ShareDisk()(buffer.data(), &size));
  EXPECT_EQ(2, CountLog("K02 command: Checking storage UPS status"));
  EXPECT_EQ(qt::read_file(install.data("SHARE_DK.APC")), std::string(buffer.begin(), buffer.end()));
  std::vector<Record> records = Records(buffer.data(), buffer.size());
  ASSERT_EQ(3u, records.size());
  const Record expected[] = {{"127.0.0.4", "Storage1-UPS1", 2},
                             {"127.0.0.5", "Storage1-UPS2", 2},
                             {"127.0.0.6", "Storage2-UPS1", 2}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(expected[i].address, records[i].address) << i;
    EXPECT_EQ(expected[i].name, records[i].name) << i;
    EXPECT_EQ(expected[i].state, records[i].state) << i;
  }

  // pwctl shows the same records as a table.
  std::string out;
  auto env = Env();
  env["QUORIN_TIME_SCALE"] = "1000";
  EXPECT_EQ(0, qt::run({qt::out_dir() + "/pwctl", "share-disk"}, env, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("127.0.0.5        Storage1-UPS2            2 (on line)\n")) << out;

  // A storage UPS on battery: the service answers "13" on every attempt, and after 360 of
  // them the client gives up with 4.
  sim.ctl("127.0.0.5", {"power-fail"});
  int before = CountLog("K02 command: Checking storage UPS status");
  size = 0;
  EXPECT_EQ(4, ShareDisk()(nullptr, &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ(before + 360, CountLog("K02 command: Checking storage UPS status"));
  std::string text = qt::read_file(install.data("pwdown.log"));
  EXPECT_EQ(360, qt::count_of(text, "K02 ERROR   "));
  EXPECT_NE(std::string::npos, text.find("PipeCounter ERROR END"));
  // The file the service wrote on the last attempt shows the UPS not on line.
  std::string file = qt::read_file(install.data("SHARE_DK.APC"));
  records = Records(reinterpret_cast<const uint8_t *>(file.data()), file.size());
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ(1, records[1].state);
  EXPECT_EQ(2, records[0].state);
}

TEST_F(ShareDiskServiceTest, TheServiceStopped) {
  qt::Simulator sim("127.0.0.2", "127.0.0.6", {"--community", "kelpie"});
  ASSERT_TRUE(sim.ready());
  extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim.port());
  Start();
  Stop();
  // The debug switch passes the service probe; the pipe is gone: 360 failed opens give 5.
  uint32_t size = 0;
  EXPECT_EQ(5, ShareDisk()(nullptr, &size));
  std::string text = qt::read_file(install.data("pwdown.log"));
  EXPECT_EQ(360, qt::count_of(text, "Pipe Connect ERROR   "));
  EXPECT_EQ(std::string::npos, text.find("Pipe Connect Success"));
  // Without the switch the main service is not seen running: about a minute of probes, then
  // 256 with PC_ERR_SERVICE.
  Registry(false);
  SetLastError(0);
  EXPECT_EQ(256, ShareDisk()(nullptr, &size));
  EXPECT_EQ(PC_ERR_SERVICE, GetLastError());
  text = qt::read_file(install.data("pwdown.log"));
  EXPECT_EQ(62, qt::count_of(text, "IsQuoPcServiceRunning ERROR"));
}

}  // namespace
