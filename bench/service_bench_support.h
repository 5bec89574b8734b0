// The real service for the whole-process benchmarks: a scratch install with SNMPUPS.DLL, a
// cluster configuration of 130 UPS units on upssim cards 127.0.0.2 .. 127.0.0.131, the
// service started through svcctl, requests over its pipe, its resident memory from /proc.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "bench_support.h"

namespace bench {

// 130 UPS units: two servers with one UPS each (cards .2 and .3), four storage units with 32
// each (cards .4 .. .131).
constexpr int kUnits = 130;
constexpr int kServerUnits = 2;
constexpr int kStorageUnitsPer = 32;
inline std::string CardAddress(int index) {  // index 0 .. 129
  return "127.0.0." + std::to_string(2 + index);
}

class ServiceBench {
 public:
  // Makes the install, starts the cards and the service; false (with a line on standard
  // error) when something did not come up. ENV_EXTRA ("NAME=VALUE" lines) goes to the service.
  bool Start(const std::string &env_extra = "") {
    char tmpl[] = "/tmp/quorin-svcbench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return Fail("no scratch folder");
    root_ = tmpl;
    std::string out = QUORIN_OUT_DIR;
    if (Run("mkdir -p " + root_ + "/opt/DATA/UPS " + root_ + "/opt/DATA/SNMPTRAP " + root_ + "/run && cp " +
            out + "/quomvlsv " + out + "/libquorin_platform.so " + out + "/SNMPUPS.DLL " + root_ + "/opt/") !=
        0)
      return Fail("could not lay out the install");
    WriteRegistry(root_ + "/registry.reg", root_ + "/opt");
    WriteConfiguration();
    uint16_t port = FreeUdpPort("127.0.0.2");
    if (port == 0) return Fail("no free UDP port");
    port_ = std::to_string(port);
    if (!cards_.Start(root_ + "/run", (CardAddress(0) + "-" + CardAddress(kUnits - 1)).c_str(), port,
                      "kelpie", CardAddress(kUnits - 1).c_str()))
      return Fail("upssim did not start");
    setenv("QUORIN_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    setenv("QUORIN_REGISTRY", (root_ + "/registry.reg").c_str(), 1);
    setenv("QUORIN_SNMP_PORT", port_.c_str(), 1);
    // The operators' group by number, as an installed system finds its "quorin" group in
    // /etc/group: a group that is nowhere makes the C library load its systemd NSS module
    // (about 300 kB resident) to look further, which no installed service pays.
    setenv("QUORIN_OPERATOR_GROUP", std::to_string(getgid()).c_str(), 1);
    std::string command = "env " + env_extra + " " + out + "/svcctl start Mavr_tsr_monitor " + root_ +
                          "/opt/quomvlsv > /dev/null";
    if (Run(command) != 0) return Fail("the service did not start");
    started_ = true;
    // The delayed initialisation binds the library; the pipe answers from the start.
    for (int i = 0; i < 1000 && !LogHas("Delayed initialization completed"); ++i) usleep(10000);
    if (!LogHas("SNMPUPS.DLL loaded successfully")) return Fail("SNMPUPS.DLL was not bound");
    return true;
  }

  void Stop() {
    if (started_) Run(std::string(QUORIN_OUT_DIR) + "/svcctl stop Mavr_tsr_monitor > /dev/null");
    started_ = false;
    cards_.Stop();
    if (!root_.empty()) RemoveTree(root_);
    root_.clear();
  }
  ~ServiceBench() { Stop(); }

  // One request over a new connection; the reply, "" when none came.
  std::string Request(const std::string &request) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/run/pipe/npquomvl1", root_.c_str());
    char reply[64];
    ssize_t got = -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size()))
      got = recv(fd, reply, sizeof reply, 0);
    close(fd);
    return got > 0 ? std::string(reply, static_cast<size_t>(got)) : "";
  }

  // Runs "upssim ctl ADDRESS ARGS" against the cards; true when it was done.
  bool Ctl(const std::string &address, const std::string &args) {
    return Run(std::string(QUORIN_OUT_DIR) + "/upssim ctl " + address + " " + args + " > /dev/null") == 0;
  }

  // The service's resident set in kB (VmRSS of /proc), 0 when it cannot be read.
  long ResidentKb() const {
    std::string status = ReadFile(root_ + "/run/services/Mavr_tsr_monitor");
    size_t at = status.find("pid=");
    if (at == std::string::npos) return 0;
    std::string proc = ReadFile("/proc/" + std::to_string(atol(status.c_str() + at + 4)) + "/status");
    at = proc.find("VmRSS:");
    return at == std::string::npos ? 0 : atol(proc.c_str() + at + 6);
  }

  const std::string &root() const { return root_; }
  const std::string &port() const { return port_; }

  static void WriteRegistry(const std::string &file, const std::string &install) {
    FILE *reg = fopen(file.c_str(), "w");
    if (reg == nullptr) return;
    fprintf(reg,
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=\"%s\"\r\n",
            install.c_str());
    fclose(reg);
  }

 private:
  static int Run(const std::string &command) { return system(command.c_str()); }
  static bool Fail(const char *what) {
    fprintf(stderr, "%s\n", what);
    return false;
  }
  static std::string ReadFile(const std::string &path) {
    std::string content;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return content;
    char buffer[8192];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, got);
    fclose(f);
    return content;
  }
  bool LogHas(const char *text) const {
    return ReadFile(root_ + "/opt/DATA/QUOMVLSV.LOG").find(text) != std::string::npos;
  }
  void WriteConfiguration() {
    std::string ini = "[common]\nTSR_SVR_NUM=" + std::to_string(kServerUnits) + "\nStorage_NUM=4\n";
    int card = 0;
    for (int s = 1; s <= kServerUnits; ++s)
      ini += "[Server" + std::to_string(s) + "]\nUPS_NUM=1\nUsed=1\nUPS_IP1=" + CardAddress(card++) + "\n";
    for (int s = 1; s <= 4; ++s) {
      ini += "[Storage" + std::to_string(s) + "]\nUPS_NUM=" + std::to_string(kStorageUnitsPer) + "\n";
      for (int u = 1; u <= kStorageUnitsPer; ++u)
        ini += "UPS_IP" + std::to_string(u) + "=" + CardAddress(card++) + "\n";
    }
    FILE *f = fopen((root_ + "/opt/DATA/ky_e_net.ini").c_str(), "w");
    if (f == nullptr) return;
    fputs(ini.c_str(), f);
    fclose(f);
  }

  std::string root_;
  std::string port_;
  UpssimCard cards_;
  bool started_ = false;
};

}  // namespace bench
