// The Debian packages of this tree: built with CPack, unpacked into a scratch root with
// dpkg -x, their file lists, RUNPATHs, stripping and control files checked, and the installed
// service started from the scratch root against upssim cards of the tools package.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "upssim_harness.h"

namespace {

const std::string kVersion = QUORIN_VERSION_TEXT;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// The packages the test packaging_build made from this tree.
struct Packages {
  std::string product = std::string(QUORIN_PACKAGE_DIR) + "/quorin_" + kVersion + "_amd64.deb";
  std::string tools = std::string(QUORIN_PACKAGE_DIR) + "/quorin-tools_" + kVersion + "_amd64.deb";
};
const Packages kBuilt;

// "PATH -> TARGET" or "PATH" for every entry of a package, without the leading ".".
std::vector<std::string> Contents(const std::string &deb) {
  std::string out;
  EXPECT_EQ(0, qt::run({"dpkg-deb", "--fsys-tarfile", deb}, {}, nullptr));
  EXPECT_EQ(0, qt::run({"sh", "-c", "dpkg-deb --fsys-tarfile \"$0\" | tar -tv", deb}, {}, &out));
  std::vector<std::string> entries;
  for (const std::string &line : Lines(out)) {
    size_t dot = line.find(" ./");
    if (dot == std::string::npos) continue;
    std::string entry = line.substr(dot + 2);
    if (entry == "/") continue;
    if (entry.back() == '/') entry.pop_back();
    entries.push_back(entry);
  }
  return entries;
}

std::string Field(const std::string &deb, const std::string &field) {
  std::string out;
  qt::run({"dpkg-deb", "-f", deb, field}, {}, &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qt::file_exists(kBuilt.product)) << "packaging_build made no " << kBuilt.product;
    ASSERT_TRUE(qt::file_exists(kBuilt.tools)) << "packaging_build made no " << kBuilt.tools;
  }
};

TEST_F(PackageTest, FileListsControlFilesAndVersions) {
  std::vector<std::string> product = Contents(kBuilt.product);
  std::set<std::string> have(product.begin(), product.end());
  // Every deliverable, its link on PATH, the unit, the configuration and the man pages.
  const std::vector<std::string> required = {
      "/usr/lib/quorin/quomvlsv",
      "/usr/lib/quorin/SNMPUPS.DLL",
      "/usr/lib/quorin/ky_vexapi4.dll",
      "/usr/lib/quorin/pwdown.dll",
      "/usr/lib/quorin/libquorin_platform.so",
      "/usr/lib/quorin/svcctl",
      "/usr/lib/quorin/pwctl",
      "/usr/lib/quorin/quorinlog",
      "/usr/lib/quorin/upswatch",
      "/usr/lib/quorin/DATA -> /var/lib/quorin",
      "/usr/bin/svcctl -> ../lib/quorin/svcctl",
      "/usr/bin/pwctl -> ../lib/quorin/pwctl",
      "/usr/bin/quorinlog -> ../lib/quorin/quorinlog",
      "/usr/bin/upswatch -> ../lib/quorin/upswatch",
      "/usr/lib/systemd/system/quomvlsv.service",
      "/usr/lib/systemd/system/upswatch.service",
      "/usr/lib/sysusers.d/quorin.conf",
      "/etc/quorin/registry.reg",
      "/etc/quorin/ky_e_net.ini",
      "/etc/quorin/snmp.apc",
      "/etc/quorin/ky_vexapi4.apc",
      "/var/lib/quorin/UPS",
      "/var/lib/quorin/SNMPTRAP",
      "/var/lib/quorin/ky_e_net.ini -> /etc/quorin/ky_e_net.ini",
      "/var/lib/quorin/snmp.apc -> /etc/quorin/snmp.apc",
      "/var/lib/quorin/ky_vexapi4.apc -> /etc/quorin/ky_vexapi4.apc",
      "/usr/share/man/man8/quomvlsv.8.gz",
      "/usr/share/man/man8/svcctl.8.gz",
      "/usr/share/man/man1/quorinlog.1.gz",
      "/usr/share/man/man1/pwctl.1.gz",
      "/usr/share/man/man1/upswatch.1.gz",
      "/usr/share/man/man5/ky_e_net.ini.5.gz",
      "/usr/share/man/man5/snmp.apc.5.gz",
      "/usr/share/doc/quorin/copyright",
      "/usr/share/doc/quorin/changelog.gz",
  };
  for (const std::string &path : required)
    EXPECT_EQ(1u, have.count(path)) << path << " missing from the product";
  // Nothing of the test tools, nothing outside the product's folders.
  for (const std::string &entry : product) {
    EXPECT_FALSE(Has(entry, "upssim") || Has(entry, "tsr") || Has(entry, "standin")) << entry;
    bool known = entry.rfind("/usr/lib/quorin", 0) == 0 || entry.rfind("/usr/bin/", 0) == 0 ||
                 entry.rfind("/etc/quorin", 0) == 0 || entry.rfind("/var/lib/quorin", 0) == 0 ||
                 entry.rfind("/usr/share/", 0) == 0 || entry.rfind("/usr/lib/systemd/system", 0) == 0 ||
                 entry.rfind("/usr/lib/sysusers.d", 0) == 0 ||
                 std::set<std::string>{"/usr", "/usr/lib", "/usr/bin", "/usr/share",
                                       "/etc", "/var",     "/var/lib", "/usr/lib/systemd"}
                     .count(entry);
    EXPECT_TRUE(known) << entry << " lies outside the product's folders";
  }

  std::vector<std::string> tools = Contents(kBuilt.tools);
  std::set<std::string> tool_set(tools.begin(), tools.end());
  for (const char *path :
       {"/usr/lib/quorin/upssim", "/usr/bin/upssim -> ../lib/quorin/upssim", "/usr/lib/quorin/tsr/tsrstat",
        "/usr/lib/quorin/tsr/tsrcfget", "/usr/lib/quorin/tsr/tsrstdn", "/usr/lib/quorin/tsr/tsrdown",
        "/usr/share/man/man1/upssim.1.gz", "/usr/share/doc/quorin-tools/copyright",
        "/usr/share/doc/quorin-tools/changelog.gz"})
    EXPECT_EQ(1u, tool_set.count(path)) << path << " missing from the tools package";
  // The cluster tool stand-ins bear the real tools' names: never on PATH.
  for (const std::string &entry : tools) EXPECT_FALSE(entry.rfind("/usr/bin/tsr", 0) == 0) << entry;

  EXPECT_EQ("quorin", Field(kBuilt.product, "Package"));
  EXPECT_EQ(kVersion, Field(kBuilt.product, "Version"));
  EXPECT_EQ(0u, Field(kBuilt.tools, "Depends").rfind("quorin (= " + kVersion + ")", 0))
      << Field(kBuilt.tools, "Depends");
  std::string depends = Field(kBuilt.product, "Depends");
  EXPECT_TRUE(Has(depends, "libsnmp")) << depends;
  EXPECT_TRUE(Has(depends, "libsystemd0")) << depends;

  // Control files: the configuration is kept over upgrades, the group comes with the install.
  qt::TempDir control("ctl");
  ASSERT_EQ(0, qt::run({"dpkg-deb", "-e", kBuilt.product, control.path()}));
  EXPECT_EQ(
      "/etc/quorin/registry.reg\n/etc/quorin/ky_e_net.ini\n/etc/quorin/snmp.apc\n/etc/quorin/"
      "ky_vexapi4.apc\n",
      qt::read_file(control / "conffiles"));
  std::string postinst = qt::read_file(control / "postinst");
  EXPECT_TRUE(Has(postinst, "groupadd --system quorin")) << postinst;
  EXPECT_TRUE(Has(postinst, "systemd-sysusers quorin.conf")) << postinst;
  EXPECT_EQ(0, access((control / "postinst").c_str(), X_OK));
}

TEST_F(PackageTest, InstalledFilesCarryOnlyTheirOwnFolderAndNoSymbols) {
  qt::TempDir root("root");
  ASSERT_EQ(0, qt::run({"dpkg", "-x", kBuilt.product, root.path()}));
  ASSERT_EQ(0, qt::run({"dpkg", "-x", kBuilt.tools, root.path()}));
  std::string listing;
  ASSERT_EQ(0, qt::run({"find", root.path(), "-type", "f"}, {}, &listing));
  int elf = 0;
  for (const std::string &file : Lines(listing)) {
    std::string head = qt::read_file(file).substr(0, 4);
    if (head !=
        "\x7f"
        "ELF")
      continue;
    ++elf;
    std::string dynamic, sections;
    ASSERT_EQ(0, qt::run({"readelf", "-d", file}, {}, &dynamic));
    ASSERT_EQ(0, qt::run({"readelf", "-S", "-W", file}, {}, &sections));
    std::string expected =
        file.find("/usr/lib/quorin/tsr/") != std::string::npos ? "[$ORIGIN/..]" : "[$ORIGIN]";
    bool runpath_ok = false;
    for (const std::string &line : Lines(dynamic)) {
      EXPECT_FALSE(Has(line, "(RPATH)")) << file << ": " << line;
      if (Has(line, "(RUNPATH)")) runpath_ok = Has(line, "Library runpath: " + expected);
    }
    EXPECT_TRUE(runpath_ok) << file << " has no RUNPATH " << expected << ":\n" << dynamic;
    EXPECT_FALSE(Has(qt::read_file(file), QUORIN_BUILD_DIR)) << file << " names the build folder";
    EXPECT_FALSE(Has(sections, ".symtab")) << file << " is not stripped";
    EXPECT_FALSE(Has(sections, ".debug_info")) << file << " keeps debugging information";
  }
  // At least quomvlsv, svcctl, pwctl, quorinlog, upswatch, four libraries; upssim and four
  // stand-ins.
  EXPECT_GE(elf, 14) << listing;
  // Every installed program and library resolves its libraries from the install folder.
  std::string ldd;
  ASSERT_EQ(0, qt::run({"ldd", root / "usr/lib/quorin/quomvlsv"}, {}, &ldd));
  EXPECT_TRUE(Has(ldd, root / "usr/lib/quorin/libquorin_platform.so")) << ldd;
  ASSERT_EQ(0, qt::run({"ldd", root / "usr/lib/quorin/tsr/tsrstat"}, {}, &ldd));
  EXPECT_TRUE(Has(ldd, root / "usr/lib/quorin/tsr/../libquorin_platform.so")) << ldd;
  // The shipped unit and registry name the installed folders.
  std::string unit = qt::read_file(root / "usr/lib/systemd/system/quomvlsv.service");
  EXPECT_TRUE(Has(unit, "\nExecStart=/usr/lib/quorin/quomvlsv\n")) << unit;
  EXPECT_TRUE(Has(unit, "\nEnvironment=QUORIN_REGISTRY=/etc/quorin/registry.reg\n")) << unit;
  EXPECT_TRUE(Has(unit, "\nReadWritePaths=/var/lib/quorin\n")) << unit;
  EXPECT_TRUE(Has(unit, "\nGroup=quorin\n")) << unit;
  EXPECT_TRUE(Has(unit, "\nCapabilityBoundingSet=CAP_SYS_BOOT\n")) << unit;
  std::string watch_unit = qt::read_file(root / "usr/lib/systemd/system/upswatch.service");
  EXPECT_TRUE(Has(watch_unit, "\nExecStart=/usr/lib/quorin/upswatch --interval 5\n")) << watch_unit;
  EXPECT_TRUE(Has(watch_unit, "\nEnvironment=QUORIN_REGISTRY=/etc/quorin/registry.reg\n")) << watch_unit;
  EXPECT_TRUE(Has(watch_unit, "\nReadWritePaths=/var/lib/quorin\n")) << watch_unit;
  EXPECT_TRUE(Has(watch_unit, "\nCapabilityBoundingSet=CAP_NET_BIND_SERVICE\n")) << watch_unit;
  EXPECT_FALSE(Has(watch_unit, "@QUORIN_")) << watch_unit;
  std::string registry = qt::read_file(root / "etc/quorin/registry.reg");
  EXPECT_TRUE(Has(registry, "\"PathName\"=\"/usr/lib/quorin\"")) << registry;
  // Every tool of the product states the project's version.
  for (const char *tool : {"quomvlsv", "svcctl", "quorinlog", "pwctl", "upswatch"}) {
    std::string out;
    EXPECT_EQ(0, qt::run({root / ("usr/lib/quorin/" + std::string(tool)), "--version"}, {}, &out));
    EXPECT_EQ(std::string(tool) + " (quorin) " + kVersion + "\n", out);
  }
}

TEST_F(PackageTest, InstalledServiceRunsAgainstSimulatedCards) {
  qt::TempDir root("root");
  ASSERT_EQ(0, qt::run({"dpkg", "-x", kBuilt.product, root.path()}));
  ASSERT_EQ(0, qt::run({"dpkg", "-x", kBuilt.tools, root.path()}));
  const std::string lib = root / "usr/lib/quorin";
  const std::string state = root / "var/lib/quorin";
  // The links lead to the machine's /var and /etc, as on a real install; here they lead into
  // the scratch root instead, as a chroot would make them.
  char target[512] = {};
  ASSERT_GT(readlink((lib + "/DATA").c_str(), target, sizeof target - 1), 0);
  ASSERT_EQ(std::string("/var/lib/quorin"), target);
  ASSERT_EQ(0, unlink((lib + "/DATA").c_str()));
  ASSERT_EQ(0, symlink(state.c_str(), (lib + "/DATA").c_str()));
  for (const char *name : {"ky_e_net.ini", "snmp.apc", "ky_vexapi4.apc"}) {
    std::string link = state + "/" + name;
    ASSERT_EQ(0, unlink(link.c_str()));
    ASSERT_EQ(0, symlink((root / ("etc/quorin/" + std::string(name))).c_str(), link.c_str()));
  }
  qt::write_file(root / "etc/quorin/ky_e_net.ini",
                 "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
                 "[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.3\n");
  const std::string registry = root / "registry.reg";
  qt::write_file(registry, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\n\"PathName\"=\"" +
                               lib + "\"\n\"LumoUa\"=dword:0000001f\n\"LumoUnit\"=hex:01\n");
  const std::string runtime = root / "run";
  qt::make_dirs(runtime);
  uint16_t port = qt::free_udp_port("127.0.0.2");
  std::map<std::string, std::string> env = {{"QUORIN_REGISTRY", registry},
                                            {"QUORIN_RUNTIME_DIR", runtime},
                                            {"QUORIN_SNMP_PORT", std::to_string(port)},
                                            {"QUORIN_TIME_SCALE", "100"},
                                            {"PATH", lib + "/tsr:/usr/bin:/bin"},
                                            {"QUORIN_TSR_SCRIPT_DIR", root / "tsr"}};
  qt::make_dirs(root / "tsr");
  qt::Child cards({root / "usr/bin/upssim", "--port", std::to_string(port), "--community", "kelpie",
                   "--cards", "127.0.0.2-127.0.0.3"},
                  env);
  ASSERT_TRUE(
      qt::wait_until([&] { return qt::file_exists(runtime + "/upssim/127.0.0.3") || !cards.running(); }));
  ASSERT_TRUE(cards.running()) << cards.output();

  std::string out;
  ASSERT_EQ(0, qt::run({root / "usr/bin/svcctl", "start", "Mavr_tsr_monitor", lib + "/quomvlsv"}, env, &out))
      << out;
  struct Stop {
    std::string svcctl;
    std::map<std::string, std::string> env;
    ~Stop() { qt::run({svcctl, "stop", "Mavr_tsr_monitor"}, env); }
  } stop{root / "usr/bin/svcctl", env};
  EXPECT_TRUE(Has(out, "RUNNING")) << out;
  const std::string log = state + "/QUOMVLSV.LOG";
  ASSERT_TRUE(qt::wait_until([&] { return Has(qt::read_file(log), "Delayed initialization completed"); },
                             std::chrono::seconds(30)))
      << qt::read_file(log);
  std::string text = qt::read_file(log);
  EXPECT_TRUE(Has(text, "Config loaded successfully")) << text;
  EXPECT_TRUE(Has(text, "VEX API initialized successfully")) << text;

  // The installed client reaches the installed service, which reads both cards.
  ASSERT_EQ(0, qt::run({root / "usr/bin/pwctl", "send", "K02"}, env, &out)) << out;
  EXPECT_TRUE(Has(out, "reply: \"K02 00014\"")) << out;
  ASSERT_EQ(0, qt::run({root / "usr/bin/svcctl", "query", "Mavr_tsr_monitor"}, env, &out)) << out;
  EXPECT_TRUE(Has(out, "STATE              : 4  RUNNING")) << out;
  EXPECT_TRUE(Has(out, "STATUS_TEXT        : configuration loaded: 1 servers, 1 storage units")) << out;
  // The installed status command finds the service, its configuration and both cards on line,
  // loading the installed SNMP library beside it.
  ASSERT_EQ(0, qt::run({root / "usr/bin/pwctl", "status"}, env, &out)) << out;
  EXPECT_TRUE(Has(out, "service        Mavr_tsr_monitor: RUNNING, pid ")) << out;
  EXPECT_TRUE(Has(out, "server   Server1    UPS_IP1  127.0.0.2        2 on line")) << out;
  EXPECT_TRUE(Has(out, "storage  Storage1   UPS_IP1  127.0.0.3        2 on line")) << out;
  // The SNMP library wrote its log into the state folder, and the installed quorinlog reads it.
  ASSERT_EQ(0, qt::run({root / "usr/bin/quorinlog", "-n", "1", state + "/QUOMVLSV.LOG"}, env, &out)) << out;
  EXPECT_EQ(1, qt::count_of(out, "\n")) << out;
  EXPECT_TRUE(qt::file_exists(state + "/SNMPUPS.LOG"));
}

// lintian finds no error in the packages (its warnings are left to the packaging notes).
TEST_F(PackageTest, LintianFindsNoError) {
  if (QUORIN_SANITIZED) GTEST_SKIP() << "packages of a sanitizer build are not for shipping";
  if (access("/usr/bin/lintian", X_OK) != 0)
    GTEST_SKIP() << "lintian is not installed (scripts/setup.sh installs it)";
  std::string out;
  int status = qt::run({"lintian", "--no-tag-display-limit", kBuilt.product, kBuilt.tools}, {}, &out,
                       std::chrono::seconds(400));
  for (const std::string &line : Lines(out)) EXPECT_FALSE(line.rfind("E: ", 0) == 0) << line;
  EXPECT_NE(-1, status) << out;
}

}  // namespace
