// pwctl's items, status and power-status verbs end to end against the "QUORIN_MVL" stand-in:
// their output and exit status, --help on standard output, usage errors on standard error,
// and watch-power against the stand-in's producer until an interrupt.
#include <signal.h>

#include <chrono>

#include "pwdown_fixture.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class PwctlItemsStatusTest : public PwdownTest {
 protected:
  std::map<std::string, std::string> Env() const {
    auto env = install_.env();
    env["QUORIN_TIME_SCALE"] = "1000";
    return env;
  }
  int Run(const Strings &args, std::string *out) {
    Strings argv = {qt::out_dir() + "/pwctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return qt::run(argv, Env(), out);
  }
  // Runs pwctl with one of its output streams dropped ("2>/dev/null" keeps standard output).
  int RunKeeping(const std::string &redirect, const Strings &args, std::string *out) {
    std::string command = qt::out_dir() + "/pwctl";
    for (const std::string &a : args) command += " '" + a + "'";
    return qt::run({"sh", "-c", command + " " + redirect}, Env(), out);
  }
  void Produce(const std::string &value) {
    std::string out;
    ASSERT_EQ(0, qt::run({qt::test_bin_dir() + "/quorin_mvl_standin", "--power-status", value},
                         install_.env(), &out))
        << out;
  }
};

TEST_F(PwctlItemsStatusTest, ItemsSetGetAndPrevious) {
  std::string out;
  Script("002 reply 00 0505050505050505\n0D2 reply 00 C80084000000000000\n");
  EXPECT_EQ(0, Run({"items", "set", "4800800C0000000000", "(TIM + NET) * AUX1"}, &out)) << out;
  EXPECT_EQ("SetPowerControlItem: OK\n", out);
  Strings frames = FrameBytes();
  ASSERT_EQ(6u, frames.size());
  EXPECT_EQ("S20 000E(TIM+NET)*AUX1", frames[4]);
  // The item bytes exclude AUX1 with item bit 0x80 of I[0]: refused before any traffic.
  ClearFrames();
  EXPECT_EQ(1, Run({"items", "set", "800000000000000000", "AUX1"}, &out));
  EXPECT_TRUE(Has(out, "SetPowerControlItem: failed: ERROR_INVALID_PARAMETER (87)")) << out;
  EXPECT_TRUE(Has(out, "check the values given")) << out;
  EXPECT_EQ((Strings{"00210000"}), FrameBytes());

  EXPECT_EQ(0, Run({"items", "get"}, &out)) << out;
  EXPECT_EQ(
      "GetPowerControlItem: OK\n"
      "item bytes:      48 00 80 0C 00 00 00 00 00\n"
      "condition bytes: 03 80 00 00 00 00 00 00 00 00\n"
      "condition:       TIM NET AUX1\n",
      out);
  EXPECT_EQ(0, Run({"items", "get", "--expression"}, &out)) << out;
  EXPECT_EQ(
      "GetPowerControlItem: OK\n"
      "item bytes:      48 00 80 0C 00 00 00 00 00\n"
      "expression:      \"(TIM\" (the library returns at most four characters)\n",
      out);

  EXPECT_EQ(0, Run({"items", "set", "080000000000000000", "--flags", "03000000000000000000"}, &out)) << out;
  EXPECT_EQ(0, Run({"items", "get", "--expression"}, &out)) << out;
  EXPECT_TRUE(Has(out, "expression:      \"TIM+\" (the library")) << out;
  Script("S21 reply 00 TIM\n");
  EXPECT_EQ(0, Run({"items", "get", "--expression"}, &out)) << out;
  EXPECT_TRUE(Has(out, "expression:      \"TIM\"\n")) << out;
  Script("S21 reply 00\n032 reply 00 000000000000000000\n");
  EXPECT_EQ(0, Run({"items", "get"}, &out)) << out;
  EXPECT_TRUE(Has(out, "condition:       (none)\n")) << out;

  Script("0D2 reply 00 C80084000000000000\n");
  EXPECT_EQ(0, Run({"items", "previous"}, &out)) << out;
  EXPECT_EQ("GetPreviousOnItem: OK\nprevious power-on item bytes: C8 00 84 00 00 00 00 00 00\n", out);
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:03"});
  EXPECT_EQ(1, Run({"items", "previous"}, &out)) << out;
  EXPECT_TRUE(Has(out, "GetPreviousOnItem: failed: PC_ERR_UNSUPPORTED (0x20000100)")) << out;
}

TEST_F(PwctlItemsStatusTest, StatusVerbs) {
  std::string out;
  Script("C06 reply 00 1\nC02 reply 00 4\nRR2 reply 00 1\n012 reply 00 3F\n002 reply 00 0005010400000000\n");
  EXPECT_EQ(0, Run({"cluster-status"}, &out)) << out;
  EXPECT_EQ(
      "GetKyTesseraStatus: OK\n"
      "cluster switch: on (the cluster manager is installed and switched on)\n"
      "automatic local power-on: off\n"
      "status word: 0x00000001\n",
      out);
  EXPECT_EQ(0, Run({"slots"}, &out)) << out;
  EXPECT_TRUE(Has(out, "GetLumoSlotInfo: OK\nslot bytes: 00 05 01 04 00 00 00 00\n")) << out;
  EXPECT_TRUE(Has(out, "unit 2: 05  per-unit items and conditions yes, item bit 0x80 yes\n")) << out;
  EXPECT_TRUE(Has(out, "unit 3: 01  per-unit items and conditions no, item bit 0x80 yes\n")) << out;
  EXPECT_TRUE(Has(out, "unit 4: 04  per-unit items and conditions yes, item bit 0x80 no\n")) << out;
  EXPECT_EQ(0, Run({"system-type"}, &out)) << out;
  EXPECT_EQ("GetPCSystemType: 2\n", out);
  EXPECT_EQ(0, Run({"version"}, &out)) << out;
  EXPECT_EQ("GetQuoKyVersion: 1\n", out);

  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:04"});
  EXPECT_EQ(1, Run({"system-type"}, &out)) << out;
  EXPECT_TRUE(Has(out, "GetPCSystemType: -1 (undetermined)\n")) << out;
  EXPECT_TRUE(Has(out, "check \"LumoUnit\"")) << out;
  EXPECT_EQ(1, Run({"cluster-status"}, &out)) << out;
  EXPECT_TRUE(Has(out, "GetKyTesseraStatus: failed: PC_ERR_FAILED (0x20000003)")) << out;
  EXPECT_TRUE(Has(out, "check \"LumoUnit\" (system type)")) << out;
  ASSERT_EQ(0, remove(install_.registry().c_str()));
  EXPECT_EQ(1, Run({"system-type"}, &out)) << out;
  EXPECT_TRUE(Has(out, "GetPCSystemType: failed: PC_ERR_NOT_INSTALLED (0x20000004)")) << out;
  EXPECT_TRUE(Has(out, "check QUORIN_REGISTRY")) << out;

  // The pipe's read mode cannot be set: cluster-status fails, as the library reports it.
  Registry(kType2Registry);
  auto env = Env();
  env["QUORIN_FAULTS"] = "pipe_mode";
  EXPECT_EQ(1, qt::run({qt::out_dir() + "/pwctl", "cluster-status"}, env, &out)) << out;
  EXPECT_TRUE(Has(out, "PC_ERR_FAILED (0x20000003)")) << out;
}

TEST_F(PwctlItemsStatusTest, ShareDiskPrintsTheStorageUpsTable) {
  install_.write_registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:09"},
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/KY_E]\r\n\"SNMP\"=\"1\"\r\n");
  std::string file;
  const struct {
    const char *address, *name;
    uint32_t state;
  } records[] = {{"127.0.0.4", "Storage1-UPS1", 2},
                 {"127.0.0.5", "Storage1-UPS2", 1},
                 {"10.0.1.1", "Storage2-UPS1", 0xFFFFFFFF}};
  for (const auto &r : records) {
    std::string record(132, '\0');
    record.replace(0, strlen(r.address), r.address);
    record.replace(64, strlen(r.name), r.name);
    for (int b = 0; b < 4; ++b) record[128 + b] = static_cast<char>(r.state >> (8 * b));
    file += record;
  }
  qt::write_file(install_.data("SHARE_DK.APC"), file);
  std::string out;
  EXPECT_EQ(0, Run({"share-disk"}, &out)) << out;
  EXPECT_EQ(
      "GetKyShareDiskStatus: OK, 396 bytes of SHARE_DK.APC, 3 storage UPS\n"
      "address          name                     state\n"
      "127.0.0.4        Storage1-UPS1            2 (on line)\n"
      "127.0.0.5        Storage1-UPS2            1 (not on line)\n"
      "10.0.1.1         Storage2-UPS1            -1 (unread)\n",
      out);

  Script("K02 reply 13 4\n");
  EXPECT_EQ(1, Run({"share-disk"}, &out)) << out;
  EXPECT_EQ(
      "GetKyShareDiskStatus: failed: 4 (\"K02\" failed on each of 360 attempts: is every storage UPS on line "
      "and readable?)\n",
      out);
  Script("");
  qt::write_file(install_.data("SHARE_DK.APC"), "");
  EXPECT_EQ(1, Run({"share-disk"}, &out)) << out;
  EXPECT_TRUE(Has(out, "failed: 3 (SHARE_DK.APC is empty: no shared disk is configured)")) << out;
}

TEST_F(PwctlItemsStatusTest, HelpOnStandardOutputAndUsageErrorsOnStandardError) {
  std::string out;
  for (const Strings &args :
       {Strings{"--help"}, Strings{"items", "--help"}, Strings{"items", "set", "--help"},
        Strings{"cluster-status", "--help"}, Strings{"share-disk", "-h"}, Strings{"slots", "--help"},
        Strings{"system-type", "--help"}, Strings{"version", "--help"}, Strings{"watch-power", "--help"}}) {
    EXPECT_EQ(0, RunKeeping("2>/dev/null", args, &out)) << args[0];
    EXPECT_EQ(0u, out.find("usage: pwctl")) << out;
  }
  EXPECT_TRUE(Has(out, "--count N")) << out;
  EXPECT_EQ(0, RunKeeping("2>/dev/null", {"--help"}, &out));
  for (const char *verb :
       {"items get", "cluster-status", "share-disk", "slots", "system-type", "version", "watch-power"})
    EXPECT_TRUE(Has(out, std::string("pwctl ") + verb)) << verb;

  const struct {
    Strings args;
    const char *says;
  } errors[] = {
      {{"items"}, "give get, set or previous"},
      {{"items", "bogus"}, "unknown sub-verb 'bogus'"},
      {{"items", "get", "extra"}, "unexpected argument 'extra'"},
      {{"items", "get", "--bogus"}, "unknown option '--bogus'"},
      {{"items", "set", "0800", "TIM"}, "ITEMBYTES must be 18 hexadecimal digits (nine bytes), not '0800'"},
      {{"items", "set", "08000000000000000G", "TIM"}, "ITEMBYTES must be 18 hexadecimal digits"},
      {{"items", "set", "080000000000000000"}, "give ITEMBYTES and a CONDITION (or --flags HEX)"},
      {{"items", "set", "080000000000000000", "TIM", "NET"}, "give ITEMBYTES and a CONDITION"},
      {{"items", "set", "080000000000000000", "--flags", "0300"}, "--flags must be 20 hexadecimal digits"},
      {{"items", "set", "080000000000000000", "TIM", "--flags", "03000000000000000000"},
       "give ITEMBYTES and --flags HEX, nothing else"},
      {{"items", "set", "080000000000000000", "--flags"}, "--flags needs the ten condition bytes"},
      {{"items", "previous", "1"}, "unexpected argument '1'"},
      {{"cluster-status", "--nope"}, "unknown option '--nope'"},
      {{"slots", "x"}, "unexpected argument 'x'"},
      {{"watch-power", "--count", "0"}, "--count must be a whole number from 1 to 2147483647, not '0'"},
      {{"watch-power", "--count", "-1"}, "--count must be"},
      {{"watch-power", "--count", "2147483648"}, "--count must be"},
      {{"watch-power", "--count", "3x"}, "--count must be"},
      {{"watch-power", "--from", "2147483648"}, "--from must be a 32-bit integer, not '2147483648'"},
      {{"watch-power", "--from", ""}, "--from must be a 32-bit integer"},
      {{"watch-power", "--from"}, "--from needs a value"},
  };
  for (const auto &e : errors) {
    EXPECT_EQ(2, RunKeeping(">/dev/null", e.args, &out)) << e.says;
    EXPECT_TRUE(Has(out, e.says)) << out;
    EXPECT_TRUE(Has(out, "Try 'pwctl ")) << out;
  }
  EXPECT_TRUE(FrameBytes().empty());
}

TEST_F(PwctlItemsStatusTest, WatchPowerPrintsEachChangeUntilInterrupted) {
  std::string out;
  EXPECT_EQ(1, Run({"watch-power"}, &out));
  EXPECT_TRUE(Has(out, "GetUpsPowerStatus: failed: ERROR_FILE_NOT_FOUND (2)")) << out;
  EXPECT_TRUE(Has(out, "check that the producer of the section pwdownDllCmMemory runs")) << out;

  Produce("3");
  EXPECT_EQ(0, Run({"watch-power", "--count", "1"}, &out)) << out;
  EXPECT_EQ("GetUpsPowerStatus: power status 3\n", out);

  qt::Child watch({qt::out_dir() + "/pwctl", "watch-power"}, Env());
  ASSERT_TRUE(qt::wait_until([&] { return Has(watch.output(), "power status 3\n"); })) << watch.output();
  Produce("4");
  ASSERT_TRUE(qt::wait_until([&] { return Has(watch.output(), "power status 4\n"); })) << watch.output();
  Produce("-2");
  ASSERT_TRUE(qt::wait_until([&] { return Has(watch.output(), "power status -2\n"); })) << watch.output();
  watch.kill_now(SIGINT);
  EXPECT_EQ(0, watch.wait(std::chrono::seconds(20)));
  EXPECT_EQ(
      "GetUpsPowerStatus: power status 3\nGetUpsPowerStatus: power status 4\nGetUpsPowerStatus: power status "
      "-2\n"
      "watch-power: stopped (StopUpsPowerStatus)\n",
      watch.output());

  // Starting from the current value, nothing is printed until it changes.
  qt::Child quiet({qt::out_dir() + "/pwctl", "watch-power", "--from", "-2", "--count", "1"}, Env());
  Produce("-2");
  Produce("9");
  EXPECT_EQ(0, quiet.wait(std::chrono::seconds(20)));
  EXPECT_EQ("GetUpsPowerStatus: power status 9\n", quiet.output());
}

}  // namespace
}  // namespace pwt
