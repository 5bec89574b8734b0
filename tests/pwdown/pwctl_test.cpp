// pwctl, the operator's client: output and exit status of each verb, error names, the raw
// frame sender, usage errors, a missing library, and platform failures on the pipe.
#include "pwdown_fixture.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class PwctlTest : public PwdownTest {};

TEST_F(PwctlTest, VerbsPrintTheOutcomeAndExitZeroOnlyOnSuccess) {
  std::string out;
  EXPECT_EQ(0, Pwctl({"cluster-shutdown", "1"}, &out));
  EXPECT_EQ("QuoPcClusterShutDown(1): OK\n", out);
  EXPECT_EQ(0, Pwctl({"cluster-shutdown2", "12"}, &out));
  EXPECT_EQ("QuoPcClusterShutDown2(12): OK\n", out);
  EXPECT_EQ(0, Pwctl({"power-off", "0"}, &out));
  EXPECT_EQ("PowerOffByLumo(0): OK\n", out);
  EXPECT_EQ(0, Pwctl({"power-off", "0", "--mode", "2"}, &out));
  EXPECT_EQ("PowerOffByLumo2(0, 2): OK\n", out);
  EXPECT_EQ(0, Pwctl({"power-off-ex", "0", "3"}, &out));
  EXPECT_EQ("PowerOffByLumoEx(0, 3): OK\n", out);
  Script("RBC reply 00 1\n");
  EXPECT_EQ(0, Pwctl({"reboot-state"}, &out));
  EXPECT_EQ("CheckApiReboot: reboot state 1\n", out);
  EXPECT_EQ(
      (Strings{"CSD 00011", "AD1 00011", "01210000", "APF 0000", "APD 000202", "APD 000203", "RBC 0000"}),
      FrameBytes());

  Script("CSD reply 1F\nAD1 reply 13\n012 reply 00 3F\n");
  EXPECT_EQ(1, Pwctl({"cluster-shutdown", "1"}, &out));
  EXPECT_EQ(
      "QuoPcClusterShutDown(1): failed: PC_ERR_UNSUPPORTED (0x20000100)\n"
      "pwctl: the service does not answer this request, or the system type does not allow it\n",
      out);
  EXPECT_EQ(1, Pwctl({"cluster-shutdown2", "1"}, &out));
  EXPECT_TRUE(Has(out, "failed: PC_ERR_REJECTED (0x20000002)")) << out;
  EXPECT_EQ(1, Pwctl({"power-off", "0"}, &out));
  EXPECT_TRUE(Has(out, "failed: PC_ERR_AUTO_LOCAL_OFF (0x20000006)")) << out;
  EXPECT_EQ(1, Pwctl({"power-off", "4294968"}, &out));
  EXPECT_EQ(
      "PowerOffByLumo(4294968): failed: ERROR_INVALID_PARAMETER (87)\n"
      "pwctl: check the values given against the system type and the unit's slots\n",
      out);
  EXPECT_EQ(1, Pwctl({"power-off", "5", "--mode", "4"}, &out));
  EXPECT_TRUE(Has(out, "ERROR_INVALID_PARAMETER (87)")) << out;

  StopStandin();
  EXPECT_EQ(1, Pwctl({"reboot-state"}, &out));
  EXPECT_EQ(0u,
            out.find("CheckApiReboot: failed: PC_ERR_SERVICE (0x20000000)\npwctl: is the service running?"))
      << out;
}

TEST_F(PwctlTest, SendPutsOneRawFrameOnThePipe) {
  std::string out;
  Script("K02 reply 00 4\nXYZ raw XYZ 13\n");
  EXPECT_EQ(0, Pwctl({"send", "CSD", "1"}, &out));
  EXPECT_TRUE(Has(out, "sent:  \"CSD 00011\" (9 bytes)")) << out;
  EXPECT_TRUE(Has(out, "reply: \"CSD 0000\" (8 bytes)")) << out;
  EXPECT_EQ(0, Pwctl({"send", "K02"}, &out));
  EXPECT_TRUE(Has(out, "reply: \"K02 00014\" (9 bytes)")) << out;
  EXPECT_TRUE(Has(out, "status 00, data length 01, data \"4\"")) << out;
  // Refused and unknown codes, and a reply too short to read.
  EXPECT_EQ(1, Pwctl({"send", "PCS"}, &out));
  EXPECT_TRUE(Has(out, "status 1F")) << out;
  EXPECT_EQ(1, Pwctl({"send", "XYZ"}, &out));
  EXPECT_TRUE(Has(out, "reply shorter than its 8-byte header")) << out;
  EXPECT_EQ((Strings{"CSD 00011", "K02 0000", "PCS 0000", "XYZ 0000"}), FrameBytes());

  StopStandin();
  EXPECT_EQ(1, Pwctl({"send", "CSD", "1"}, &out));
  EXPECT_TRUE(Has(out, "cannot open the command pipe: ERROR_FILE_NOT_FOUND (2)")) << out;
}

TEST_F(PwctlTest, UsageErrorsAndAMissingLibrary) {
  std::string out;
  for (const Strings &args :
       {Strings{}, Strings{"no-such-verb"}, Strings{"cluster-shutdown"}, Strings{"cluster-shutdown", "one"},
        Strings{"power-off", "-5"}, Strings{"power-off", "4294967296"}, Strings{"power-off", "1", "--mode"},
        Strings{"power-off-ex", "1"}, Strings{"reboot-state", "x"}, Strings{"send", "ABCD"},
        Strings{"send", "CSD", std::string(256, 'd')}}) {
    EXPECT_EQ(2, Pwctl(args, &out)) << (args.empty() ? "" : args[0]);
    // Without a known verb the whole usage; after one, what is wrong and where its help is.
    const bool known_verb = !args.empty() && args[0] != "no-such-verb";
    EXPECT_TRUE(Has(out, known_verb ? "Try 'pwctl " + args[0] + " --help'." : "usage: pwctl")) << out;
  }
  EXPECT_TRUE(FrameBytes().empty());

  // A copy of pwctl whose folder has no pwdown.dll.
  qt::TempDir lonely("pwctl");
  qt::copy_file(qt::out_dir() + "/pwctl", lonely / "pwctl");
  qt::copy_file(qt::out_dir() + "/libquorin_platform.so", lonely / "libquorin_platform.so");
  EXPECT_EQ(3, qt::run({lonely / "pwctl", "cluster-shutdown", "1"}, install_.env(), &out));
  EXPECT_TRUE(Has(out, "cannot load " + lonely.path() + "/pwdown.dll: ERROR_MOD_NOT_FOUND (126)")) << out;
  // Usage errors are found without the library.
  EXPECT_EQ(2, qt::run({lonely / "pwctl", "cluster-shutdown", "one"}, install_.env(), &out));
}

TEST_F(PwctlTest, PlatformFailuresOnThePipe) {
  std::string out;
  // The read mode cannot be set.
  EXPECT_EQ(1, Pwctl({"cluster-shutdown", "1"}, &out, {{"QUORIN_FAULTS", "pipe_mode"}}));
  EXPECT_TRUE(Has(out, "PC_ERR_FAILED (0x20000003)")) << out;
  EXPECT_EQ(1, Pwctl({"reboot-state"}, &out, {{"QUORIN_FAULTS", "pipe_mode"}}));
  EXPECT_TRUE(Has(out, "PC_ERR_FAILED (0x20000003)")) << out;
  // The write fails: the payload form passes the error on, CheckApiReboot reports a failure.
  EXPECT_EQ(1, Pwctl({"cluster-shutdown2", "1"}, &out, {{"QUORIN_FAULTS", "pipe_write"}}));
  EXPECT_TRUE(Has(out, "PC_ERR_PIPE_IO (0x20000001)")) << out;
  EXPECT_EQ(1, Pwctl({"reboot-state"}, &out, {{"QUORIN_FAULTS", "pipe_write"}}));
  EXPECT_TRUE(Has(out, "PC_ERR_FAILED (0x20000003)")) << out;
  // The failed write of the read form is in the log with its Windows error (232).
  std::string log = qt::read_file(LogPath());
  EXPECT_TRUE(Has(log, "[000000e8] WriteFile FAIL  ")) << log;
  // The log mutex cannot be created: the library works without its log.
  std::remove(LogPath().c_str());
  EXPECT_EQ(0, Pwctl({"cluster-shutdown", "1"}, &out, {{"QUORIN_FAULTS", "mutex_create"}}));
  EXPECT_FALSE(qt::file_exists(LogPath()));
  EXPECT_TRUE(FrameBytes().size() == 1u && FrameBytes()[0] == "CSD 00011");
}

}  // namespace
}  // namespace pwt
