// The verbs of upswatch that reach the older command interface and the UPS identification:
// "send" prints and decodes the answer frame, "shutdown" tells what each UPS was told in each
// mode, "identify" prints the record it left. upswatch runs as a process from the test's
// install directory, against upssim cards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport.h"
#include "upssim_harness.h"

namespace {

class UpswatchVerbTest : public ::testing::Test {
 protected:
  UpswatchVerbTest() {
    install.add("upswatch");
    install.add("SNMPUPS.DLL");
    install.add("libquorin_platform.so");
  }
  void StartCards(const std::string &settings = "UPS_IP=127.0.0.2\r\nUPS_IP3=127.0.0.3\r\n") {
    sim = std::make_unique<qt::Simulator>("127.0.0.2", "127.0.0.3", std::vector<std::string>{},
                                          "community = kelpie\n[card 127.0.0.2]\nfirmware = QS 6.4.I\n"
                                          "[card 127.0.0.3]\noutlet-groups = 2\n");
    ASSERT_TRUE(sim->ready());
    qt::write_file(install.data("snmp.apc"), "[SNMP]\r\n" + settings);
  }
  // Runs upswatch with ARGS; returns the exit status and fills *OUT with its output.
  int Run(const std::vector<std::string> &args, std::string *out) {
    std::vector<std::string> argv = {install.dir() + "/upswatch"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto env = install.env();
    if (sim) env["QUORIN_SNMP_PORT"] = std::to_string(sim->port());
    return qt::run(argv, env, out, std::chrono::seconds(60));
  }
  void Ctl(const std::string &address, const std::vector<std::string> &args) {
    int status = -1;
    std::string out = sim->ctl(address, args, &status);
    EXPECT_EQ(0, status) << out;
  }
  static bool Has(const std::string &out, const std::string &line) {
    return out.find(line) != std::string::npos;
  }

  qt::Install install{"upswatch"};
  std::unique_ptr<qt::Simulator> sim;
};

TEST_F(UpswatchVerbTest, SendPrintsTheAnswerAndExitsZeroOnlyOnStatusZero) {
  StartCards();
  struct Row {
    std::string frame;
    int exit;
    std::vector<std::string> lines;
  } rows[] = {
      {"0120000",
       0,
       {"code    012\n", "length  002 (2 characters)\n", "data    [42]\n", "status  0 (success)\n"}},
      {"0F20000", 0, {"answer  0F20008QS 6.4.I" + std::string(32, ' ') + "0\n", "data    [QS 6.4.I]\n"}},
      {"0210001x", 0, {"length  001 (1 character)\n", "data    [x]\n"}},
      {"0210004abcd" + std::string(36, '-') + "0", 0, {"data    [abcd]\n"}},
      {"ZZZ0000", 1, {"status  F (failed"}},
      {"012ZFFF", 1, {"length  FFF (4095 characters)\n", "status  F ("}},
      {"012Z-01", 1, {"status  F ("}},
      {"0120000" + std::string(40, ' ') + "7", 0, {"status  0 (success)\n"}},  // an old status is replaced
  };
  for (const Row &r : rows) {
    std::string out;
    EXPECT_EQ(r.exit, Run({"send", r.frame}, &out)) << r.frame << "\n" << out;
    for (const std::string &line : r.lines)
      EXPECT_TRUE(Has(out, line)) << r.frame << ": " << line << "\n" << out;
  }
  // A card that refuses the shutdown delay: status "7", exit 1.
  Ctl("127.0.0.3", {"fault", "refuse-sets", "noSuchName"});
  std::string out;
  EXPECT_EQ(1, Run({"send", "1B1000205"}, &out)) << out;
  EXPECT_TRUE(Has(out, "status  7 (the SNMP conversation with the UPS failed")) << out;

  // Bad command lines.
  EXPECT_EQ(2, Run({"send", "012"}, &out)) << out;
  EXPECT_TRUE(Has(out, "a frame needs at least the command code")) << out;
  EXPECT_EQ(2, Run({"send", std::string(49, '0')}, &out)) << out;
  EXPECT_TRUE(Has(out, "a frame has 48 characters, not 49")) << out;
  EXPECT_EQ(2, Run({"send"}, &out)) << out;
  EXPECT_EQ(0, Run({"send", "--help"}, &out)) << out;
  EXPECT_TRUE(Has(out, "usage: upswatch send FRAME")) << out;
}

TEST_F(UpswatchVerbTest, ShutdownTellsWhatEachUpsWasTold) {
  StartCards();
  std::string out;
  EXPECT_EQ(0, Run({"shutdown", "--mode", "scheduled"}, &out)) << out;
  EXPECT_TRUE(Has(out, "slot 0 127.0.0.2: sleep (putUpsToSleepGracefully) := 3, accepted\n")) << out;
  EXPECT_TRUE(Has(out, "slot 3 127.0.0.3: sleep (putUpsToSleepGracefully) := 3, accepted\n")) << out;
  EXPECT_TRUE(Has(out, "answer  V0000013")) << out;

  Ctl("127.0.0.3", {"fault", "refuse-sets", "noSuchName"});
  EXPECT_EQ(1, Run({"shutdown", "--mode", "off"}, &out)) << out;
  EXPECT_TRUE(Has(out, "slot 0 127.0.0.2: turn off (upsAdvControlUpsOff) := 3, accepted\n")) << out;
  EXPECT_TRUE(Has(out, "slot 3 127.0.0.3: turn off (upsAdvControlUpsOff) := 3, refused (NOSUCHNAME)\n"))
      << out;
  EXPECT_TRUE(Has(out, "status  7 (")) << out;

  // After a power failure: the two checks mark the card that has been on battery for 90 s.
  Ctl("127.0.0.3", {"fault", "clear"});
  Ctl("127.0.0.2", {"power-fail"});
  Ctl("127.0.0.2", {"set", ".1.3.6.1.4.1.318.1.1.1.2.1.2.0", "t", "9000"});
  EXPECT_EQ(0, Run({"shutdown", "--mode", "powerfail"}, &out)) << out;
  EXPECT_TRUE(Has(out, "slot 0 127.0.0.2: on battery, due to shut down\n")) << out;
  EXPECT_TRUE(Has(out, "slot 3 127.0.0.3: on line\n")) << out;
  EXPECT_TRUE(
      Has(out, "slot 0 127.0.0.2: conserve battery (upsBasicControlConserveBattery) := 2, accepted\n"))
      << out;
  EXPECT_TRUE(Has(out, "slot 3 127.0.0.3: sleep (putUpsToSleepGracefully) := 3, accepted\n")) << out;

  EXPECT_EQ(2, Run({"shutdown", "--mode", "later"}, &out)) << out;
  EXPECT_TRUE(Has(out, "--mode is scheduled, off or powerfail, not \"later\"")) << out;
  EXPECT_EQ(2, Run({"shutdown"}, &out)) << out;
}

// In turn-off mode nobody needs to be due; a unit on line that is not told anything shows so.
TEST_F(UpswatchVerbTest, ShutdownAfterAPowerFailureInTurnOffModeAndWithNothingToDo) {
  StartCards("UPS_IP=127.0.0.2\r\nUPS_IP3=127.0.0.3\r\nUPS_Off=T\r\n");
  std::string out;
  EXPECT_EQ(0, Run({"shutdown", "--mode", "powerfail"}, &out)) << out;
  EXPECT_TRUE(Has(out, "slot 0 127.0.0.2: turn off (upsAdvControlUpsOff) := 3, accepted\n")) << out;
  EXPECT_TRUE(Has(out, "slot 3 127.0.0.3: turn off (upsAdvControlUpsOff) := 3, accepted\n")) << out;

  qt::write_file(install.data("snmp.apc"), "[SNMP]\r\nUPS_IP=127.0.0.2\r\nUPS_IP3=127.0.0.3\r\n");
  EXPECT_EQ(0, Run({"shutdown", "--mode", "powerfail"}, &out)) << out;
  EXPECT_TRUE(Has(out, "slot 0 127.0.0.2: told nothing\n")) << out;
  EXPECT_TRUE(Has(out, "slot 3 127.0.0.3: told nothing\n")) << out;
}

TEST_F(UpswatchVerbTest, IdentifyPrintsTheRecord) {
  StartCards();
  qt::write_file(install.data("UPS/UPSinfo.ini"),
                 "[1001]\r\nIP=127.0.0.2\r\npath=A\r\n[1002]\r\nIP=127.0.0.3\r\n[1003]\r\nIP=127.0.0.9\r\n");
  qt::write_file(install.data("ky_e_net.apc"), "[A]\r\nHighTransferVolt=110\r\n");
  std::string out;
  EXPECT_EQ(0, Run({"identify", "1001"}, &out)) << out;
  EXPECT_TRUE(Has(out, "UPS 1001\n  IP            127.0.0.2\n  path          A\n")) << out;
  EXPECT_TRUE(Has(out, "  UPS_Sno.      QS0000000002]\n")) << out;
  EXPECT_TRUE(Has(out, "  CardMIBrev    30902\n")) << out;
  EXPECT_TRUE(Has(out, "  OLD_DATE      -\n")) << out;
  EXPECT_TRUE(Has(out, "configured now: a new or replaced UPS\n")) << out;
  EXPECT_EQ(0, Run({"identify", "1001"}, &out)) << out;
  EXPECT_TRUE(Has(out, "identified: the recorded UPS\n")) << out;
  EXPECT_TRUE(Has(out, "  status line   [ 1 ")) << out;
  EXPECT_EQ(0, Run({"identify", "1001", "--status-only"}, &out)) << out;
  EXPECT_TRUE(Has(out, "  status line   [ - -- --- --- --- --  -- - --- -- ---- ---  --- --- ----  -]"))
      << out;

  EXPECT_EQ(1, Run({"identify", "1002"}, &out)) << out;  // no "path"
  EXPECT_TRUE(Has(out, "not recorded: the UPS is new and its section has no \"path\"")) << out;
  EXPECT_EQ(1, Run({"identify", "1003"}, &out)) << out;  // no card answers
  EXPECT_TRUE(Has(out, "not identified: the UPS did not answer")) << out;
  EXPECT_EQ(1, Run({"identify", "1009"}, &out)) << out;
  EXPECT_TRUE(Has(out, "UPS 1009 is not registered")) << out;
  EXPECT_EQ(2, Run({"identify", "10x"}, &out)) << out;
}

}  // namespace
