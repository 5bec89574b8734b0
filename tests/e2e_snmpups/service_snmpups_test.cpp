// The service with the real SNMP UPS library against upssim cards: K02 with a silent storage
// card, CSD switching every answering card off, and PCS deciding on real UPS states.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"
#include "upssim_harness.h"

namespace {

const char kUpsOff[] = ".1.3.6.1.4.1.318.1.1.1.6.2.1.0";
const char kOutputState[] = ".1.3.6.1.4.1.318.1.1.1.11.1.1.0";

class ServiceWithSnmpUps : public ServiceTest {
 protected:
  // Starts cards FIRST..LAST with the library's default community and installs the library.
  void Cards(const std::string &first, const std::string &last) {
    sim = std::make_unique<qt::Simulator>(first, last, std::vector<std::string>{"--community", "kelpie"});
    ASSERT_TRUE(sim->ready());
    extra_env["QUORIN_SNMP_PORT"] = std::to_string(sim->port());
    snmp_library = "";
    install.add("SNMPUPS.DLL");
  }
  std::string Ctl(const std::string &address, const std::vector<std::string> &args) {
    int status = -1;
    std::string out = sim->ctl(address, args, &status);
    EXPECT_EQ(0, status) << out;
    return out;
  }
  std::string SnmpLog() const { return qt::read_file(install.data("SNMPUPS.LOG")); }
  // The running service's process id, 0 when its status file does not name one.
  long ServicePid() const {
    std::istringstream status(qt::read_file(install.runtime() + "/services/Mavr_tsr_monitor"));
    for (std::string word; status >> word;)
      if (word.rfind("pid=", 0) == 0) return std::stol(word.substr(4));
    return 0;
  }
  // How many threads process PID has now, -1 when it cannot be read.
  static long Threads(long pid) {
    std::string proc = qt::read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = proc.find("Threads:");
    return at == std::string::npos ? -1L : std::stol(proc.substr(at + 8));
  }

  std::unique_ptr<qt::Simulator> sim;
};

TEST_F(ServiceWithSnmpUps, K02WithASilentStorageCard) {
  Cards("127.0.0.2", "127.0.0.4");
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=2\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.3\n[Storage2]\nUPS_NUM=1\nUPS_IP1=127.0.0.4\n");
  Ctl("127.0.0.4", {"fault", "silent", "on"});
  Start();
  ASSERT_TRUE(LogHas("SNMPUPS.DLL loaded successfully"));
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  std::string file = qt::read_file(install.data("SHARE_DK.APC"));
  ASSERT_EQ(264u, file.size());
  EXPECT_EQ(std::string("127.0.0.3") + std::string(55, '\0'), file.substr(0, 64));
  EXPECT_EQ(std::string("\x02\x00\x00\x00", 4), file.substr(128, 4));
  EXPECT_EQ(std::string("127.0.0.4") + std::string(55, '\0'), file.substr(132, 64));
  EXPECT_EQ(std::string("Storage2-UPS1") + std::string(51, '\0'), file.substr(196, 64));
  EXPECT_EQ(std::string("\xff\xff\xff\xff", 4), file.substr(260, 4));
  EXPECT_TRUE(LogHas("UPS 127.0.0.3: outsts=2"));
  EXPECT_TRUE(LogHas("Failed to get UPS status: 127.0.0.4"));
  EXPECT_NE(std::string::npos, SnmpLog().find("[80100001] GetUpsStatusFromSnmp[127.0.0.4] error!"));

  // The card answers again and runs on battery: read, not on line.
  Ctl("127.0.0.4", {"fault", "silent", "off"});
  Ctl("127.0.0.4", {"power-fail"});
  EXPECT_EQ("K02 13014", Send("K02 0000"));
  EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), qt::read_file(install.data("SHARE_DK.APC")).substr(260, 4));
  Ctl("127.0.0.4", {"power-restore"});
  EXPECT_EQ("K02 00014", Send("K02 0000"));
}

TEST_F(ServiceWithSnmpUps, CsdMode1SwitchesEveryAnsweringCardOff) {
  Cards("127.0.0.2", "127.0.0.6");
  WriteConfig(
      "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n"
      "[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
      "[Server2]\nUPS_NUM=2\nUsed=1\nUPS_IP1=127.0.0.3\nUPS_IP2=127.0.0.6\n"
      "[Storage1]\nUPS_NUM=2\nUPS_IP1=127.0.0.4\nUPS_IP2=127.0.0.5\n");
  Ctl("127.0.0.5", {"fault", "silent", "on"});
  // Card .6 is already shutting down gracefully (index 21 of its output state text).
  Ctl("127.0.0.6",
      {"set", kOutputState, "s", "0101010000000000000001000000000000000000000000000000000000000000"});
  Start();
  EXPECT_EQ("CSD 0001", Send("CSD 00011"));
  EXPECT_TRUE(LogHas("All UPS shutdown commands completed"));
  for (const char *card : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    EXPECT_EQ(std::string(kUpsOff) + " INTEGER 3 noError\n", Ctl(card, {"sets"})) << card;
    EXPECT_TRUE(LogHas(std::string("SetUpsOffbySnmp for ") + card + " result: 1")) << card;
  }
  EXPECT_EQ("", Ctl("127.0.0.5", {"sets"}));  // silent: not read, not switched
  EXPECT_EQ("", Ctl("127.0.0.6", {"sets"}));  // already shutting down: no SET
  EXPECT_TRUE(LogHas("SetUpsOffbySnmp for 127.0.0.6 result: 1"));
  std::string snmp_log = SnmpLog();
  EXPECT_NE(std::string::npos, snmp_log.find("Graceful Shutdown state[127.0.0.6]"));
  // Mode 2 of the service's call: the outlet variant with its default time-out and retries.
  EXPECT_NE(std::string::npos, snmp_log.find("5G UPS TimeOut(5000) Retry(1)"));
  EXPECT_NE(std::string::npos, snmp_log.find("[127.0.0.2]SetUpsOffbySnmp(3)(2)"));
  EXPECT_NE(std::string::npos, snmp_log.find(std::string("[s]SET OID=") + kUpsOff + " to [127.0.0.3]"));
}

TEST_F(ServiceWithSnmpUps, PcsOnRealUpsStates) {
  Cards("127.0.0.2", "127.0.0.4");
  WriteConfig(
      "[common]\nTSR_SVR_NUM=2\nStorage_NUM=1\n"
      "[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
      "[Server2]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.3\n"
      "[Storage1]\nUPS_NUM=1\nUPS_IP1=127.0.0.4\n");
  Start();
  // One of two server cards on battery: this server's shutdown.
  Ctl("127.0.0.3", {"power-fail"});
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Server2-UPS1 IP:127.0.0.3 outsts=3"));
  EXPECT_TRUE(LogHas("PCS: Partial server UPS failure - calling QuoVexServerShutdown"));
  std::vector<std::string> calls = Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ("VexServerShutdown 3", calls.back());

  // The storage card on battery: the whole cluster.
  Ctl("127.0.0.3", {"power-restore"});
  Ctl("127.0.0.4", {"power-fail"});
  EXPECT_EQ("PCS 0000", Send("PCS 0000"));
  EXPECT_TRUE(LogHas("PCS: Storage UPS failure - calling QuoVexClusterShutdown"));
  calls = Calls();
  EXPECT_EQ("VexClusterShutdown 5 3", calls.back());
}

// 130 UPS (two servers of one UPS, four storage units of 32) on cards 127.0.0.2 .. .131.
std::string ClusterOf130() {
  std::string ini = "[common]\nTSR_SVR_NUM=2\nStorage_NUM=4\n";
  int card = 2;
  for (int s = 1; s <= 2; ++s)
    ini += "[Server" + std::to_string(s) + "]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0." + std::to_string(card++) +
           "\n";
  for (int s = 1; s <= 4; ++s) {
    ini += "[Storage" + std::to_string(s) + "]\nUPS_NUM=32\n";
    for (int u = 1; u <= 32; ++u)
      ini += "UPS_IP" + std::to_string(u) + "=127.0.0." + std::to_string(card++) + "\n";
  }
  return ini;
}

// The status reads of K02, PCS and CSD run at once, yet the service shows exactly what it
// shows with one read after another: run the same requests over 130 cards, a few of them
// silent and one on battery, with one read at a time and one per card, and compare the replies,
// the command lines of the service log (the pipe's own lines aside), "SHARE_DK.APC" after
// each K02 and the calls into the cluster library, line for line.
TEST_F(ServiceWithSnmpUps, ConcurrentStatusReadsShowWhatOneReadAtATimeShows) {
  WriteConfig(ClusterOf130());
  struct Run {
    std::vector<std::string> replies, lines, share_disk, calls;
  };
  auto run = [this](const char *reads) {
    Run out;
    // Fresh cards for each run: the first one switches some off.
    sim.reset();
    Cards("127.0.0.2", "127.0.0.131");
    extra_env["QUORIN_STATUS_READS"] = reads;
    for (const char *card : {"127.0.0.3", "127.0.0.40", "127.0.0.77", "127.0.0.131"})
      Ctl(card, {"fault", "silent", "on"});
    Start();
    EXPECT_TRUE(LogHas("SNMPUPS.DLL loaded successfully"));
    size_t from = LogTexts().size();
    auto request = [&](const char *text) {
      out.replies.push_back(Send(text));
      out.share_disk.push_back(qt::read_file(install.data("SHARE_DK.APC")));
    };
    request("K02 0000");  // silent cards: unread records, "13"
    request("PCS 0000");  // unread: no decision
    for (const char *card : {"127.0.0.3", "127.0.0.40", "127.0.0.77", "127.0.0.131"})
      Ctl(card, {"fault", "silent", "off"});
    request("K02 0000");  // every card on line: "00"
    Ctl("127.0.0.100", {"power-fail"});
    request("K02 0000");   // one storage UPS on battery
    request("PCS 0000");   // the storage failure: cluster shutdown
    request("CSD 00011");  // answered at once after the PCS
    request("CSD 00012");  // server shutdown: every read server UPS switched off in turn
    Ctl("127.0.0.100", {"power-restore"});
    Stop();
    std::vector<std::string> texts = LogTexts();
    for (size_t i = from; i < texts.size(); ++i) {
      const std::string &t = texts[i];
      bool pipe_line = t.rfind("Client ", 0) == 0 || t.rfind("Received ", 0) == 0 ||
                       t.rfind("ProcessCommand ", 0) == 0 || t.rfind("Response (hex)", 0) == 0 ||
                       t.rfind("Sent data", 0) == 0;
      if (!pipe_line) out.lines.push_back(t);
    }
    out.calls = Calls();
    unlink(calls_path.c_str());
    unlink(LogPath().c_str());
    unlink(install.data("SHARE_DK.APC").c_str());
    return out;
  };
  Run one = run("1");
  Run many = run("130");

  EXPECT_EQ((std::vector<std::string>{"K02 13014", "PCS 1000", "K02 00014", "K02 13014", "PCS 0000",
                                      "CSD 0001", "CSD 0001"}),
            one.replies);
  EXPECT_EQ(one.replies, many.replies);
  ASSERT_EQ(one.share_disk.size(), many.share_disk.size());
  for (size_t i = 0; i < one.share_disk.size(); ++i) {
    EXPECT_EQ(128u * 132u, one.share_disk[i].size()) << "after request " << i;
    EXPECT_TRUE(one.share_disk[i] == many.share_disk[i]) << "SHARE_DK.APC after request " << i;
  }
  // The records keep the configuration's order, the silent card unread.
  EXPECT_EQ(std::string("127.0.0.40") + std::string(54, '\0'), one.share_disk[0].substr(36 * 132, 64));
  EXPECT_EQ(std::string("\xff\xff\xff\xff", 4), one.share_disk[0].substr(36 * 132 + 128, 4));
  EXPECT_EQ(std::string("\x01\x00\x00\x00", 4), one.share_disk[3].substr(96 * 132 + 128, 4));

  ASSERT_EQ(one.lines.size(), many.lines.size());
  for (size_t i = 0; i < one.lines.size(); ++i) ASSERT_EQ(one.lines[i], many.lines[i]) << "log line " << i;
  // Spot checks that the lines compared are the reads' and the decisions'.
  auto index = [&one](const std::string &text) {
    for (size_t i = 0; i < one.lines.size(); ++i)
      if (one.lines[i] == text) return static_cast<long>(i);
    return -1L;
  };
  EXPECT_LT(index("UPS 127.0.0.4: outsts=2"), index("Failed to get UPS status: 127.0.0.40"));
  EXPECT_LT(index("Failed to get UPS status: 127.0.0.40"), index("UPS 127.0.0.41: outsts=2"));
  EXPECT_GE(index("PCS: Storage UPS failure - calling QuoVexClusterShutdown"), 0);
  EXPECT_GE(index("Calling SetUpsOffbySnmp for Server2-UPS1 (127.0.0.3)"), 0);
  EXPECT_EQ(one.calls, many.calls);
}

// The reads at once are bounded for the whole service: two K02 at the same time over four
// silent cards, with QUORIN_STATUS_READS=3, share two helper threads; the service's thread
// count never passes its idle count, the two client threads and those two helpers. A K02
// after them has its helpers again.
TEST_F(ServiceWithSnmpUps, ReadsAtOnceAreBoundedForAllCommandsTogether) {
  Cards("127.0.0.2", "127.0.0.6");
  WriteConfig(
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
      "[Storage1]\nUPS_NUM=4\nUPS_IP1=127.0.0.3\nUPS_IP2=127.0.0.4\nUPS_IP3=127.0.0.5\nUPS_IP4=127.0.0.6\n");
  for (const char *card : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"})
    Ctl(card, {"fault", "silent", "on"});
  extra_env["QUORIN_STATUS_READS"] = "3";
  Start();
  ASSERT_TRUE(LogHas("SNMPUPS.DLL loaded successfully"));
  long pid = ServicePid();
  ASSERT_GT(pid, 0);
  auto threads = [pid] { return Threads(pid); };
  long idle = threads();
  ASSERT_GT(idle, 0);
  std::atomic<int> done{0};
  std::string replies[2];
  std::thread clients[2];
  for (int c = 0; c < 2; ++c)
    clients[c] = std::thread([this, &done, &replies, c] {
      replies[c] = Send("K02 0000");
      ++done;
    });
  long most = idle;
  while (done.load() < 2) {
    most = std::max(most, threads());
    usleep(2000);
  }
  for (std::thread &client : clients) client.join();
  EXPECT_EQ("K02 13014", replies[0]);
  EXPECT_EQ("K02 13014", replies[1]);
  EXPECT_LE(most, idle + 2 + 2);  // a budget per command would give idle + 2 + 4
  EXPECT_GE(most, idle + 2 + 1);  // the first K02 read with helpers

  // The helpers went back to the budget: a K02 alone reads with them again.
  done = 0;
  std::thread client([this, &done, &replies] {
    replies[0] = Send("K02 0000");
    ++done;
  });
  most = idle;
  while (done.load() < 1) {
    most = std::max(most, threads());
    usleep(2000);
  }
  client.join();
  EXPECT_EQ("K02 13014", replies[0]);
  EXPECT_GE(most, idle + 1 + 1);
}

// A pass starts with 32 helpers and gives each record still waiting after a while a helper of
// its own: 40 silent storage cards are read by 40 helpers at once, one window in all.
TEST_F(ServiceWithSnmpUps, RecordsWaitingBehindSilentCardsGetHelpersOfTheirOwn) {
  Cards("127.0.0.2", "127.0.0.41");
  std::string ini =
      "[common]\nTSR_SVR_NUM=1\nStorage_NUM=1\n[Server1]\nUPS_NUM=1\nUsed=1\nUPS_IP1=127.0.0.2\n"
      "[Storage1]\nUPS_NUM=40\n";
  for (int u = 1; u <= 40; ++u) {
    std::string card = "127.0.0." + std::to_string(1 + u);
    ini += "UPS_IP" + std::to_string(u) + "=" + card + "\n";
    Ctl(card, {"fault", "silent", "on"});
  }
  WriteConfig(ini);
  Start();
  ASSERT_TRUE(LogHas("SNMPUPS.DLL loaded successfully"));
  long pid = ServicePid();
  ASSERT_GT(pid, 0);
  long idle = Threads(pid);
  ASSERT_GT(idle, 0);
  std::atomic<bool> done{false};
  std::string reply;
  std::thread client([this, &done, &reply] {
    reply = Send("K02 0000");
    done = true;
  });
  long most = idle;
  while (!done.load()) {
    most = std::max(most, Threads(pid));
    usleep(2000);
  }
  client.join();
  EXPECT_EQ("K02 13014", reply);
  // The client's thread and a helper per card (idle + 1 + 40); one less leaves room for a
  // thread of the start-up still ending when IDLE was read. Without the growth: idle + 1 + 32.
  EXPECT_GE(most, idle + 40);
}

}  // namespace
