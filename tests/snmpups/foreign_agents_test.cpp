// SNMPUPS.DLL against agents nobody here wrote or that misbehave: net-snmp's snmpd serving a few
// PowerNet variables through "override" lines, and a UDP peer that answers every request
// with garbage.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "library_fixture.h"

namespace {

const char kSnmpd[] = "/usr/sbin/snmpd";

// One snmpd process on ADDRESS serving the override lines given, with files of its own.
class Snmpd {
 public:
  Snmpd(const std::string &address, uint16_t port, const std::string &overrides) : dir_("snmpd") {
    qt::make_dirs(dir_ / "persist");
    qt::write_file(dir_ / "agent.conf", "agentAddress udp:" + address + ":" + std::to_string(port) +
                                            "\nrocommunity kelpie\n" + overrides);
    child_ = std::make_unique<qt::Child>(
        std::vector<std::string>{kSnmpd, "-f", "-C", "-c", dir_ / "agent.conf", "-Lf", dir_ / "snmpd.log",
                                 "-p", dir_ / "snmpd.pid"},
        std::map<std::string, std::string>{{"SNMP_PERSISTENT_DIR", dir_ / "persist"}, {"MIBS", ""}});
  }
  ~Snmpd() {
    if (child_->running()) {
      child_->kill_now(SIGTERM);
      if (child_->wait(std::chrono::seconds(5)) == -1) child_->kill_now(SIGKILL);
    }
  }
  bool running() { return child_->running(); }
  std::string log() const { return qt::read_file(dir_ / "snmpd.log"); }

 private:
  qt::TempDir dir_;
  std::unique_ptr<qt::Child> child_;
};

// The library loaded with its agent port pointed at a free port, for agents a test starts.
class AgentPortTest : public qt::LibraryTest {
 protected:
  void SetUp() override {
    port = qt::free_udp_port("127.0.0.9");
    ASSERT_NE(0, port);
    setenv("QUORIN_SNMP_PORT", std::to_string(port).c_str(), 1);
    WriteSettings("upsAdvConfigMinReturnCapacity=50\r\n");
    Load();
    status = Entry<qt::GetStatusFn>("GetUpsStatusFromSnmp");
    input = Entry<qt::GetStatusFn>("GetUpsInputStatusFromSnmp");
  }
  // Waits until the agent at ADDRESS answers the output status.
  bool Answers(const std::string &address) {
    return qt::wait_until(
        [&] {
          int value = 0;
          return status(address.c_str(), &value) == 1;
        },
        std::chrono::seconds(15));
  }
  uint16_t port = 0;
  qt::GetStatusFn status = nullptr;
  qt::GetStatusFn input = nullptr;
};

// The same with net-snmp's snmpd as the agent; skipped where it is not installed.
class ForeignAgentTest : public AgentPortTest {
 protected:
  void SetUp() override {
    if (access(kSnmpd, X_OK) != 0) GTEST_SKIP() << "net-snmp's snmpd is not installed";
    AgentPortTest::SetUp();
  }
};

TEST_F(ForeignAgentTest, SnmpdServesOutputAndInputStatus) {
  Snmpd on_battery("127.0.0.9", port,
                   "override .1.3.6.1.4.1.318.1.1.1.4.1.1.0 integer 3\n"
                   "override .1.3.6.1.4.1.318.1.1.1.3.2.1.0 unsigned 100\n"
                   "override .1.3.6.1.4.1.318.1.1.1.2.2.1.0 unsigned 40\n");
  Snmpd no_mains("127.0.0.10", port,
                 "override .1.3.6.1.4.1.318.1.1.1.4.1.1.0 unsigned 2\n"
                 "override .1.3.6.1.4.1.318.1.1.1.3.2.1.0 unsigned 0\n");
  ASSERT_TRUE(Answers("127.0.0.9")) << on_battery.log();
  ASSERT_TRUE(Answers("127.0.0.10")) << no_mains.log();

  int value = -1;
  EXPECT_EQ(1, status("127.0.0.9", &value));
  EXPECT_EQ(3, value);
  // Voltage inside the window, capacity 40 below the configured 50.
  EXPECT_EQ(1, input("127.0.0.9", &value));
  EXPECT_EQ(3, value);

  // The output status served as a Gauge: accepted, and the caller's value stays.
  value = 555;
  EXPECT_EQ(1, status("127.0.0.10", &value));
  EXPECT_EQ(555, value);
  EXPECT_EQ(1, input("127.0.0.10", &value));
  EXPECT_EQ(2, value);

  // Variables the agent does not serve: noSuchName. The state text is read at quiet level 2,
  // so that failure leaves no line; the firmware read of the model check logs it.
  auto detail3 = Entry<qt::GetDetail3Fn>("GetUpsDetailStatusFromSnmp3");
  auto check = Entry<qt::AddressFn>("CheckOutletUpsSnmp");
  int a, b, c, d, e;
  char state[65];
  size_t mark = LogSize();
  EXPECT_EQ(0, detail3("127.0.0.9", &a, &b, &c, &d, &e, state));
  EXPECT_EQ(mark, LogSize());
  EXPECT_EQ(0, check("127.0.0.9"));
  EXPECT_EQ(0x80100002L, CodeOf("[r]SNMP Error: errorStatus=2, errorIndex=1"));
  EXPECT_EQ(0x80100002L, CodeOf("[127.0.0.9]CheckOutletUps FWRev Get Error"));
}

// Answers every datagram it receives on ADDRESS:PORT with bytes that are no SNMP message, or
// with a truncated copy of the request, alternately.
class GarbagePeer {
 public:
  GarbagePeer(const char *address, uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    thread_ = std::thread([this] { Serve(); });
  }
  ~GarbagePeer() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  int answered() const { return answered_.load(); }

 private:
  void Serve() {
    unsigned char buffer[2048];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (!bound_ || poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
      if (n <= 0) continue;
      int k = answered_.fetch_add(1);
      if (k % 2 == 0) {
        for (int i = 0; i < 64; ++i) buffer[i] = static_cast<unsigned char>(i * 37 + k);
        n = 64;
      } else {
        n = n / 2;  // a request cut in half: a message that ends inside its own length fields
      }
      sendto(fd_, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), length);
    }
  }
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

TEST_F(AgentPortTest, AnAgentAnsweringGarbageDoesNotHurtTheHost) {
  GarbagePeer peer("127.0.0.11", port);
  ASSERT_TRUE(peer.bound());
  int value = -1;
  EXPECT_EQ(0, status("127.0.0.11", &value));
  EXPECT_EQ(-1, value);
  EXPECT_EQ(0, input("127.0.0.11", &value));
  auto off = Entry<qt::AddressIntIntFn>("SetUpsOffbySnmp");
  EXPECT_EQ(0, off("127.0.0.11", 3, 1));
  EXPECT_GE(peer.answered(), 3);
  EXPECT_EQ(0x80100001L, CodeOf("GetUpsStatusFromSnmp[127.0.0.11] error!"));
}

}  // namespace
