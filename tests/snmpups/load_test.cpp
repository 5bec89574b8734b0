// Loading SNMPUPS.DLL as hosts do: by name through the platform loader and with dlopen, with a
// working install, without its registry value, and with a mutex that cannot be created.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "library_fixture.h"

namespace {

class LoadTest : public qt::LibraryTest {
 protected:
  void SetUp() override {
    StartCards("127.0.0.2");
    install.add("SNMPUPS.DLL");
  }
  // Runs the host probe in a process of its own; returns what it printed.
  std::string Probe(const std::string &how, const std::map<std::string, std::string> &extra = {}) {
    std::map<std::string, std::string> env = install.env();
    env["QUORIN_SNMP_PORT"] = std::to_string(sim->port());
    for (const auto &[k, v] : extra) env[k] = v;
    std::string out;
    int rc = qt::run(
        {qt::test_bin_dir() + "/snmpups_host_probe", how, install.dir() + "/SNMPUPS.DLL", "127.0.0.2"}, env,
        &out);
    EXPECT_EQ(0, rc) << out;
    return out;
  }
  // The product key without "PathName".
  void RemovePathName() {
    qt::write_file(
        install.registry(),
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"LumoUnit\"=hex:01\r\n");
  }
};

TEST_F(LoadTest, ShowsOnlyItsExports) {
  std::string out;
  ASSERT_EQ(0, qt::run({"nm", "-D", "--defined-only", install.dir() + "/SNMPUPS.DLL"}, {}, &out)) << out;
  const char *exports[] = {"CheckOutletUpsSnmp",
                           "GetUpsDetailStatusFromSnmp",
                           "GetUpsDetailStatusFromSnmp2",
                           "GetUpsDetailStatusFromSnmp3",
                           "GetUpsInputStatusFromSnmp",
                           "GetUpsStatusFromSnmp",
                           "OutletSetUpsOffbySnmp",
                           "OutletSetUpsOnbySnmp",
                           "OutletUpsStateSnmp",
                           "SetUpsOffbySnmp",
                           "SetUpsOnbySnmp",
                           "SetUpsPowerFailOffbySnmp",
                           "SetUpsShutdownDelaybySnmp",
                           "SetUpsSleepOffbySnmp",
                           "SetUpsSleepTimeSnmp",
                           "SetUpsSyncActivebySnmp"};
  std::string expected;
  for (const char *name : exports) expected += std::string(" T ") + name + "\n";
  std::string listed;
  size_t start = 0;
  while (start < out.size()) {
    size_t nl = out.find('\n', start);
    std::string line = out.substr(start, nl - start);
    listed += line.substr(line.find(' ')) + "\n";
    start = nl + 1;
  }
  EXPECT_EQ(expected, listed);
}

TEST_F(LoadTest, AWorkingInstallLoadsAndAnswers) {
  std::string out = Probe("load");
  EXPECT_EQ(0u, out.find("loaded\nGetUpsStatusFromSnmp 1 2\nGetUpsInputStatusFromSnmp 1\n")) << out;
  EXPECT_TRUE(LogHas("SCG API Support..."));
}

TEST_F(LoadTest, WithoutTheInstallPathTheLoadFailsAndNothingIsWritten) {
  RemovePathName();
  EXPECT_EQ("load failed 1114\n", Probe("load"));
  EXPECT_FALSE(qt::file_exists(LogPath()));
  EXPECT_FALSE(qt::file_exists(install.data("snmp.apc")));

  // A host that calls dlopen itself keeps the library, and every export does nothing.
  long requests = Counter("127.0.0.2", "requests");
  std::string out = Probe("dlopen");
  EXPECT_EQ(
      "loaded\n"
      "GetUpsStatusFromSnmp 0 -1\n"
      "GetUpsInputStatusFromSnmp 0\n"
      "GetUpsDetailStatusFromSnmp3 0 untouched\n"
      "CheckOutletUpsSnmp 0\n"
      "SetUpsOffbySnmp 0\n"
      "SetUpsPowerFailOffbySnmp 0\n",
      out);
  EXPECT_EQ(requests, Counter("127.0.0.2", "requests"));
  EXPECT_FALSE(qt::file_exists(LogPath()));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
}

TEST_F(LoadTest, AMutexThatCannotBeCreatedFailsTheLoad) {
  // The third of the four mutexes fails: the load fails after the settings lines.
  EXPECT_EQ("load failed 1114\n", Probe("load", {{"QUORIN_FAULTS", "mutex_create:2:1"}}));
  EXPECT_TRUE(LogHas("5G UPS TimeOut(5000) Retry(1)"));
  EXPECT_FALSE(LogHas("SCG API Support..."));
  EXPECT_NE(std::string::npos, Settings().find("Retry_Outlet=1"));
}

}  // namespace
