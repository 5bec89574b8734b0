// The power-off and cluster shutdown exports against the "QUORIN_MVL" stand-in: frame bytes,
// status mapping, short replies, the busy wait, the gate and the argument checks.
#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include <sys/syscall.h>

#include "pwdown_fixture.h"
#include "pwdown_internal.h"
#include "timing.h"

namespace pwt {
namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

class ExportsTest : public PwdownTest {
 protected:
  QuoPcClusterShutDownFn Csd() { return Export<QuoPcClusterShutDownFn>("QuoPcClusterShutDown"); }
  QuoPcClusterShutDownFn Ad1() { return Export<QuoPcClusterShutDownFn>("QuoPcClusterShutDown2"); }
  PowerOffByLumoFn Off() { return Export<PowerOffByLumoFn>("PowerOffByLumo"); }
  PowerOffByLumo2Fn Off2() { return Export<PowerOffByLumo2Fn>("PowerOffByLumo2"); }
  PowerOffByLumo2Fn OffEx() { return Export<PowerOffByLumo2Fn>("PowerOffByLumoEx"); }
  CheckApiRebootFn Reboot() { return Export<CheckApiRebootFn>("CheckApiReboot"); }

  // Runs CALL, expects it to fail with ERROR, and returns nothing else.
  template <typename Call>
  void ExpectFailure(uint32_t error, Call call, const char *what) {
    SetLastError(0);
    EXPECT_EQ(0, call()) << what;
    EXPECT_EQ(error, GetLastError()) << what;
  }
};

TEST_F(ExportsTest, ClusterShutdownSendsTheFirstCharacterOfTheDecimalMode) {
  EXPECT_EQ(1, Csd()(1));
  EXPECT_EQ(1, Csd()(12));
  EXPECT_EQ(1, Csd()(-1));
  EXPECT_EQ(1, Csd()(0));
  EXPECT_EQ(1, Ad1()(9));
  EXPECT_EQ(1, Ad1()(1));
  std::vector<Frame> frames = Frames();
  ASSERT_EQ(6u, frames.size());
  EXPECT_EQ((Strings{"CSD 00011", "CSD 00011", "CSD 0001-", "CSD 00010", "AD1 00019", "AD1 00011"}),
            FrameBytes());
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(static_cast<int>(i) + 1, frames[i].connection);
}

TEST_F(ExportsTest, PowerOffChecksItem012OnlyForTypeTwoAndModeZero) {
  // Type 2: "012" (unit-bound) before the power-off request, on the same connection.
  EXPECT_EQ(1, Off()(0));
  EXPECT_EQ(1, Off2()(0, 0));
  EXPECT_EQ(1, Off2()(0, 1));
  EXPECT_EQ(1, Off2()(0, 3));
  EXPECT_EQ(1, OffEx()(0, 0));
  EXPECT_EQ(1, OffEx()(0, 2));
  EXPECT_EQ((Strings{"01210000", "APF 0000", "01210000", "APD 000200", "APD 000201", "APD 000203", "01210000",
                     "APD 000200", "APD 000202"}),
            FrameBytes());
  std::vector<Frame> frames = Frames();
  EXPECT_EQ(frames[0].connection, frames[1].connection);
  EXPECT_EQ(frames[2].connection, frames[3].connection);

  // Types 1 and 0 never ask for the item.
  for (const char *unit : {"\"LumoUnit\"=hex:03", "\"LumoUnit\"=hex:00"}) {
    Registry({"\"LumoUa\"=dword:0000001f", unit});
    ClearFrames();
    EXPECT_EQ(1, Off()(0));
    EXPECT_EQ(1, Off2()(0, 0));
    EXPECT_EQ((Strings{"APF 0000", "APD 000200"}), FrameBytes()) << unit;
  }
}

TEST(PwdownLibraryTest, ExportsOnlyItsEntries) {
  std::string out;
  ASSERT_EQ(0, qt::run({"nm", "-D", "--defined-only", qt::out_dir() + "/pwdown.dll"}, {}, &out));
  Strings names;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names.push_back(line.substr(line.rfind(' ') + 1));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(
      (Strings{"CheckApiReboot",       "ConvertPowerCalendar",  "GetKyShareDiskStatus", "GetKyTesseraStatus",
               "GetLumoSlotInfo",      "GetPCSystemType",       "GetPowerCalendar",     "GetPowerControlItem",
               "GetPowerControlTime",  "GetPowerFailLastTime",  "GetPreviousOnItem",    "GetQuoKyVersion",
               "GetUpsPowerStatus",    "PowerOffByLumo",        "PowerOffByLumo2",      "PowerOffByLumoEx",
               "QuoPcClusterShutDown", "QuoPcClusterShutDown2", "SetPowerControlItem",  "SetPowerControlTime",
               "StopUpsPowerStatus"}),
      names);
}

TEST_F(ExportsTest, UnitCharacterIsTheFirstHexDigitOfLumoUa) {
  const std::pair<const char *, const char *> cases[] = {
      {"dword:0000001f", "01210000"},
      {"dword:0000000a", "012A0000"},
      {"dword:00000005", "01250000"},
      {"dword:00000000", "01200000"},
      {"hex:c3", "012C0000"},
      {"dword:00000abc", "012A0000"},
      // A value without data reads, and keeps the number read before it.
      {"hex:", "012A0000"}};
  for (const auto &[value, frame] : cases) {
    Registry({std::string("\"LumoUa\"=") + value, "\"LumoUnit\"=hex:02"});
    ClearFrames();
    EXPECT_EQ(1, Off()(0)) << value;
    EXPECT_EQ((Strings{frame, "APF 0000"}), FrameBytes()) << value;
  }
}

TEST_F(ExportsTest, EachStatusMapsToItsError) {
  const std::pair<const char *, uint32_t> cases[] = {{"13", PC_ERR_REJECTED},    {"A0", PC_ERR_REJECTED},
                                                     {"B9", PC_ERR_REJECTED},    {"10", PC_ERR_UNSUPPORTED},
                                                     {"1F", PC_ERR_UNSUPPORTED}, {"14", PC_ERR_UNSUPPORTED},
                                                     {"0A", PC_ERR_UNSUPPORTED}, {"a0", PC_ERR_UNSUPPORTED}};
  for (const auto &[status, error] : cases) {
    // Payload form.
    Script(std::string("CSD reply ") + status + "\n");
    ExpectFailure(
        error, [&] { return Csd()(1); }, status);
    // Read form: a failed "012" is passed on and no power-off request follows.
    Script(std::string("012 reply ") + status + " 40\n");
    ClearFrames();
    ExpectFailure(
        error, [&] { return Off()(0); }, status);
    EXPECT_EQ((Strings{"01210000"}), FrameBytes()) << status;
  }
  Script("AD1 reply 00\nAPD reply 00 ignored data\n");
  EXPECT_EQ(1, Ad1()(1));
  EXPECT_EQ(1, Off2()(0, 1));
}

TEST_F(ExportsTest, AutomaticLocalFlagOfItem012GatesThePowerOff) {
  // Anything but two hex digits reads as the flag clear, also what a lax number parse would
  // take for a value with 0x40 set ("-1", "-C").
  for (const char *item : {"3F", "00", "BF", "ZZ", "-1", "-C", " 4", "+4"}) {
    Script(std::string("012 reply 00 ") + item + "\n");
    ClearFrames();
    ExpectFailure(
        PC_ERR_AUTO_LOCAL_OFF, [&] { return Off()(0); }, item);
    ExpectFailure(
        PC_ERR_AUTO_LOCAL_OFF, [&] { return Off2()(0, 0); }, item);
    EXPECT_EQ((Strings{"01210000", "01210000"}), FrameBytes()) << item;
  }
  for (const char *item : {"40", "C1", "7f", "4000"}) {
    Script(std::string("012 reply 00 ") + item + "\n");
    ClearFrames();
    EXPECT_EQ(1, Off()(0)) << item;
    EXPECT_EQ((Strings{"01210000", "APF 0000"}), FrameBytes()) << item;
  }
  // Modes 1 to 3 do not ask even when the flag is off.
  Script("012 reply 00 3F\n");
  ClearFrames();
  EXPECT_EQ(1, Off2()(0, 2));
  EXPECT_EQ((Strings{"APD 000202"}), FrameBytes());
}

TEST_F(ExportsTest, ShortAndInconsistentRepliesAreIoFailures) {
  const char *payload_form[] = {
      "CSD raw CSD 00",  // shorter than its header
      "CSD raw ",        // an empty message
      "CSD close",       // no reply at all
  };
  for (const char *rule : payload_form) {
    Script(std::string(rule) + "\n");
    ExpectFailure(
        PC_ERR_PIPE_IO, [&] { return Csd()(1); }, rule);
  }
  // A reply longer than the response buffer does not fit one read.
  Script("CSD raw CSD 00FF" + std::string(300, 'x') + "\n");
  ExpectFailure(
      PC_ERR_PIPE_IO, [&] { return Csd()(1); }, "long reply");
  // The payload form does not look at the reply's length or data.
  Script("CSD raw CSD 0009x\n");
  EXPECT_EQ(1, Csd()(1));

  const char *read_form[] = {
      "012 raw 0121000540",  // length 5, two data bytes
      "012 raw 0121000",     // shorter than its header
      "012 raw 0121000G40",  // length field not hexadecimal
      "012 reply 00 4",      // one data byte where two are expected
      "012 close",
  };
  for (const char *rule : read_form) {
    Script(std::string(rule) + "\n");
    ClearFrames();
    ExpectFailure(
        PC_ERR_PIPE_IO, [&] { return Off()(0); }, rule);
    EXPECT_EQ((Strings{"01210000"}), FrameBytes()) << rule;
  }
  // A length field that promises less than arrived is fine.
  Script("012 raw 012100024000\n");
  EXPECT_EQ(1, Off()(0));
}

TEST_F(ExportsTest, BusyPipeIsOpenedOnceItFrees) {
  // The pipe is busy for 1.5 s from a moment inside the control call: the request goes
  // through 1.5 s after it at the earliest, and at the latest 1.5 s (late) after its end.
  Script("busy-ms 1500\n");
  auto start = Clock::now();
  ASSERT_EQ(0, ControlStandin(128));
  long control_ms =
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  EXPECT_EQ(1, Csd()(1));
  long waited =
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  EXPECT_TRUE(qt::WithinNominal(waited, 1500, "busy pipe", control_ms));
  EXPECT_EQ((Strings{"CSD 00011"}), FrameBytes());
}

TEST_F(ExportsTest, BusyPipeWhoseWaitFailsGivesPcErrFailed) {
  Script("busy-ms 60000\n");
  ASSERT_EQ(0, ControlStandin(128));
  // The service goes away while the client waits for the busy pipe (blocked in its connect).
  pid_t client = qt::thread_id();
  std::thread stopper([this, client] {
    EXPECT_TRUE(qt::wait_in_syscall(client, {SYS_connect}));
    StopStandin();
  });
  auto start = Clock::now();
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Csd()(1); }, "busy");
  stopper.join();
  // Well before the pipe would have been free again.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            qt::WellBeforeMs(60000));
  EXPECT_TRUE(FrameBytes().empty());
}

TEST_F(ExportsTest, StoppedServiceAndTheDebugSwitch) {
  StopStandin();
  // Without "APIDEBUG" every gated export stops at the service probe.
  int state = -1;
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Csd()(1); }, "CSD");
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Ad1()(1); }, "AD1");
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Off()(0); }, "APF");
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Off2()(0, 0); }, "APD");
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Reboot()(&state); }, "RBC");
  // The gate comes before the argument checks.
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Off()(4294968); }, "bound");

  // With the switch set and no pipe at all, the open fails at once.
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01", "\"APIDEBUG\"=hex:01"});
  auto start = Clock::now();
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Csd()(1); }, "no pipe");
  // Well before a wait for a busy pipe would end.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            qt::WellBeforeMs(kPipeBusyWaitMs));

  // The pipe served by a process that is not the service: only the switch lets requests through.
  qt::Child console({qt::test_bin_dir() + "/quorin_mvl_standin", "--console"}, install_.env());
  ASSERT_TRUE(qt::wait_until([&] { return console.output().find("serving the pipe") != std::string::npos; }));
  EXPECT_EQ(1, Csd()(1));
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01", "\"APIDEBUG\"=hex:00"});
  EXPECT_EQ(1, Ad1()(2));
  // A four-byte value does not count as the switch.
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01", "\"APIDEBUG\"=dword:00000001"});
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Csd()(3); }, "dword switch");
  Registry(kType2Registry);
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Csd()(4); }, "no switch");
  EXPECT_EQ((Strings{"CSD 00011", "AD1 00012"}), FrameBytes());
}

TEST_F(ExportsTest, SystemTypeAndUnitAddressProbes) {
  // "LumoUnit" 4 or missing: the type is undetermined and nothing is sent.
  for (const std::vector<std::string> &values :
       {std::vector<std::string>{"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:04"},
        std::vector<std::string>{"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:ff,01"},
        std::vector<std::string>{"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:"},
        std::vector<std::string>{"\"LumoUa\"=dword:0000001f"}}) {
    Registry(values);
    int state = -1;
    ExpectFailure(
        PC_ERR_FAILED, [&] { return Csd()(1); }, values.back().c_str());
    ExpectFailure(
        PC_ERR_FAILED, [&] { return Ad1()(1); }, values.back().c_str());
    ExpectFailure(
        PC_ERR_FAILED, [&] { return Off()(0); }, values.back().c_str());
    ExpectFailure(
        PC_ERR_FAILED, [&] { return OffEx()(0, 1); }, values.back().c_str());
    ExpectFailure(
        PC_ERR_FAILED, [&] { return Reboot()(&state); }, values.back().c_str());
    // Argument errors are found before the type probe.
    ExpectFailure(
        ERROR_INVALID_PARAMETER, [&] { return Off2()(0, 4); }, values.back().c_str());
  }
  EXPECT_TRUE(FrameBytes().empty());

  // "LumoUnit" stored as a number: its first byte counts.
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=dword:00000003"});
  EXPECT_EQ(1, Off()(0));
  EXPECT_EQ((Strings{"APF 0000"}), FrameBytes());

  // "LumoUa" missing, or longer than a number: unit-bound requests fail before anything is
  // written; unit-less ones go on.
  for (const char *ua : {"", "\"LumoUa\"=hex:01,02,03,04,05"}) {
    Registry({ua, "\"LumoUnit\"=hex:01"});
    ClearFrames();
    ExpectFailure(
        PC_ERR_FAILED, [&] { return Off()(0); }, ua);
    EXPECT_EQ(1, Csd()(1)) << ua;
    EXPECT_EQ((Strings{"CSD 00011"}), FrameBytes()) << ua;
  }
}

TEST_F(ExportsTest, MissingOrMalformedRegistryMeansNotInstalled) {
  int state = -1;
  // No registry file.
  qt::write_file(install_.registry(), "");
  ASSERT_EQ(0, remove(install_.registry().c_str()));
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Csd()(1); }, "no file");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Off2()(0, 9); }, "no file, bad mode");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Reboot()(&state); }, "no file");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Reboot()(nullptr); }, "no file, null");
  // A file that is not a registry at all.
  qt::write_file(install_.registry(), std::string("\x01\x02garbage [[[ \"x\"=\n=\n\xff", 22));
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Csd()(1); }, "garbage");
  // Another product's key only.
  qt::write_file(install_.registry(),
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/KY_E]\r\n\"SNMP\"=\"1\"\r\n");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Ad1()(1); }, "other key");
  // Malformed values under the product key read as missing.
  qt::write_file(
      install_.registry(),
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"LumoUnit\"=hex:zz\r\n"
      "\"LumoUa\"=dword:xyz\r\n\"APIDEBUG\"=hex:0\r\n");
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Csd()(1); }, "malformed type");
  EXPECT_TRUE(FrameBytes().empty());
}

TEST_F(ExportsTest, DelayBoundAndModeRange) {
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Off()(4294968); }, "4294968");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Off()(0xFFFFFFFFu); }, "max");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Off2()(4294968, 1); }, "4294968 mode 1");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Off2()(0, 4); }, "mode 4");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Off2()(0, -1); }, "mode -1");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return OffEx()(0, 4); }, "Ex mode 4");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return OffEx()(4294968, 0); }, "Ex 4294968");
  EXPECT_TRUE(FrameBytes().empty());

  // The delay runs with the connection open, between "012" and the power-off request.
  auto start = Clock::now();
  EXPECT_EQ(1, Off()(1));
  EXPECT_TRUE(qt::WithinNominal(
      static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()),
      1000, "one second of delay", qt::kLongestStepMs));
  std::vector<Frame> frames = Frames();
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(frames[0].connection, frames[1].connection);

  // 4294967 s is accepted: the request starts (its "012" goes out) and the delay begins.
  ClearFrames();
  auto env = install_.env();
  qt::Child child({qt::out_dir() + "/pwctl", "power-off", "4294967"}, env);
  EXPECT_TRUE(qt::wait_until([&] { return FrameBytes() == Strings{"01210000"}; }));
  // The client sleeps in its delay (a tenth of it at a time: 4294967 x 100 ms) and sends nothing more.
  EXPECT_TRUE(qt::wait_in_syscall(child.pid(), {SYS_nanosleep, SYS_clock_nanosleep}));
  EXPECT_TRUE(child.running());
  EXPECT_EQ((Strings{"01210000"}), FrameBytes());
}

TEST_F(ExportsTest, CheckApiRebootReadsOneDecimalDigit) {
  int state = -1;
  EXPECT_EQ(1, Reboot()(&state));
  EXPECT_EQ(0, state);
  Script("RBC reply 00 7x\n");
  EXPECT_EQ(1, Reboot()(&state));
  EXPECT_EQ(7, state);
  EXPECT_EQ((Strings{"RBC 0000", "RBC 0000"}), FrameBytes());

  // Every failure of the request, and an answer that is not a digit, is PC_ERR_FAILED; the
  // caller's value stays as it was.
  for (const char *rule : {"RBC reply 13 1", "RBC reply 1F", "RBC reply 00", "RBC reply 00 A", "RBC close",
                           "RBC raw RBC 0005"}) {
    Script(std::string(rule) + "\n");
    state = 42;
    ExpectFailure(
        PC_ERR_FAILED, [&] { return Reboot()(&state); }, rule);
    EXPECT_EQ(42, state) << rule;
  }
  // A null pointer is refused before any traffic.
  ClearFrames();
  Script("");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Reboot()(nullptr); }, "null");
  EXPECT_TRUE(FrameBytes().empty());
}

}  // namespace
}  // namespace pwt
