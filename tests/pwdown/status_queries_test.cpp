// GetKyTesseraStatus, GetKyShareDiskStatus, GetLumoSlotInfo, GetPCSystemType and
// GetQuoKyVersion against the "QUORIN_MVL" stand-in: the status bits from every answer, the
// frames, the log lines, the shared-disk file copy with its size query, and the fixed numbers
// of attempts, on a clock shortened by QUORIN_TIME_SCALE.
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "log_messages.h"
#include "pwdown_fixture.h"

namespace pwt {
namespace {

using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

constexpr char kCompanionKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/KY_E]\r\n";

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class StatusQueriesTest : public PwdownTest {
 protected:
  // Every pause of the library runs a thousand times faster in this process.
  static constexpr int kScale = 1000;
  void SetUp() override {
    setenv("QUORIN_TIME_SCALE", std::to_string(scale_).c_str(), 1);
    PwdownTest::SetUp();
  }
  int scale_ = kScale;
  // The registry of an SNMP installation with the companion product: LUMO_VALUES under the
  // product key and COMPANION_VALUES under the companion key ("-" for no companion key).
  void ShareDiskRegistry(const Strings &values = {"\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:09"},
                         const std::string &companion_values = "\"SNMP\"=\"1\"") {
    Strings all = {"\"LumoUa\"=dword:0000001f"};
    all.insert(all.end(), values.begin(), values.end());
    install_.write_registry(all, companion_values == "-" ? "" : kCompanionKey + companion_values + "\r\n");
  }
  std::string ShareDiskPath() const { return install_.data("SHARE_DK.APC"); }
  Strings Texts(bool without_pipe_lines = true) const { return LogTexts(LogPath(), without_pipe_lines); }
  // The log lines written since the log was last cleared.
  void ClearLog() { std::remove(LogPath().c_str()); }

  GetKyTesseraStatusFn Tessera() { return Export<GetKyTesseraStatusFn>("GetKyTesseraStatus"); }
  GetKyShareDiskStatusFn ShareDisk() { return Export<GetKyShareDiskStatusFn>("GetKyShareDiskStatus"); }
  GetLumoSlotInfoFn Slots() { return Export<GetLumoSlotInfoFn>("GetLumoSlotInfo"); }

  template <typename Call>
  void ExpectFailure(uint32_t error, Call call, const std::string &what) {
    SetLastError(0);
    EXPECT_EQ(0, call()) << what;
    EXPECT_EQ(error, GetLastError()) << what;
  }
};

// Two 132-byte records as the service writes them.
std::string ShareDiskRecords() {
  std::string file;
  const char *addresses[] = {"127.0.0.4", "127.0.0.5"};
  const int32_t states[] = {2, -1};
  for (int i = 0; i < 2; ++i) {
    std::string record(132, '\0');
    memcpy(&record[0], addresses[i], strlen(addresses[i]));
    std::string name = "Storage1-UPS" + std::to_string(i + 1);
    memcpy(&record[64], name.data(), name.size());
    uint32_t bits = static_cast<uint32_t>(states[i]);
    for (int b = 0; b < 4; ++b) record[128 + b] = static_cast<char>(bits >> (8 * b));
    file += record;
  }
  return file;
}

TEST_F(StatusQueriesTest, TesseraStatusBitsFromEachAnswer) {
  struct Row {
    std::string script;
    int before, after;
    Strings codes;
    Strings log;  // without the pipe client's lines
  };
  const Row rows[] = {
      {"C06 reply 00 1\nC02 reply 00 4\nRR2 reply 00 0",
       0xF0,
       0xF3,
       {"C06", "C02", "RR2"},
       {"GetKyTesseraStatus", "ClusteInst 1", "VexSw 1", "AutoLocal 1"}},
      {"C06 reply 13\nRR2 reply 00 1\n012 reply 00 00",
       0xFF,
       0xFC,
       {"C06", "RR2", "012"},
       {"GetKyTesseraStatus", "C06 ERROR", "ClusteInst 0", "VexSw 0", "AutoLocal 0"}},
      {"C06 reply 00 0\nRR2 reply 00 0",
       0x01,
       0x02,
       {"C06", "RR2"},
       {"GetKyTesseraStatus", "ClusteInst 0", "VexSw 0", "AutoLocal 1"}},
      {"C06 reply 00 1\nC02 reply 1F\nRR2 reply 13",
       0x03,
       0x02,
       {"C06", "C02", "RR2"},
       {"GetKyTesseraStatus", "ClusteInst 1", "C02 ERROR", "RR2 ERROR", "VexSw 0", "AutoLocal 1"}},
      {"C06 reply 00 1\nC02 reply 00 1\nRR2 reply 00 3\n012 reply B2",
       0,
       0x03,
       {"C06", "C02", "RR2", "012"},
       {"GetKyTesseraStatus", "ClusteInst 1", "012 ERROR", "VexSw 1", "AutoLocal 1"}},
      {"C06 reply 00 1\nC02 reply 00 2\nRR2 reply 00 F\n012 reply 00 BF",
       0x7FFFFFFF,
       0x7FFFFFFD,
       {"C06", "C02", "RR2", "012"},
       {"GetKyTesseraStatus", "ClusteInst 1", "VexSw 1", "AutoLocal 0"}},
      {"C06 reply 00 1\nC02 reply 00 5\nRR2 reply 00 1\n012 reply 00 c0",
       0,
       0x03,
       {"C06", "C02", "RR2", "012"},
       {"GetKyTesseraStatus", "ClusteInst 1", "VexSw 1", "AutoLocal 1"}},
      // Answers that are not digits read as the safe value.
      {"C06 reply 00\nRR2 reply 00 Z",
       0x01,
       0x02,
       {"C06", "RR2"},
       {"GetKyTesseraStatus", "ClusteInst 0", "RR2 ERROR", "VexSw 0", "AutoLocal 1"}},
      {"C06 reply 00 1\nC02 reply 00\nRR2 reply 00 1\n012 reply 00 4G",
       0x01,
       0x02,
       {"C06", "C02", "RR2", "012"},
       {"GetKyTesseraStatus", "ClusteInst 1", "012 ERROR", "VexSw 0", "AutoLocal 1"}},
  };
  for (const Row &row : rows) {
    Script(row.script + "\n");
    ClearFrames();
    ClearLog();
    int flags = row.before;
    ASSERT_EQ(1, Tessera()(&flags)) << row.script;
    EXPECT_EQ(row.after, flags) << row.script;
    Strings frames = FrameBytes();
    Strings codes;
    for (const std::string &f : frames) {
      EXPECT_EQ(f.substr(0, 3) + "10000", f) << row.script;  // read form, unit '1'
      codes.push_back(f.substr(0, 3));
    }
    EXPECT_EQ(row.codes, codes) << row.script;
    std::vector<Frame> all = Frames();
    for (const Frame &f : all) EXPECT_EQ(all[0].connection, f.connection) << row.script;
    EXPECT_EQ(row.log, Texts()) << row.script;
  }

  // C02 values 1, 2, 4 and 5 mean the switch is on, every other digit off.
  for (const char *digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "F"}) {
    Script(std::string("C06 reply 00 1\nC02 reply 00 ") + digit + "\n");
    int flags = 0;
    ASSERT_EQ(1, Tessera()(&flags));
    bool on = strchr("1245", digit[0]) != nullptr;
    EXPECT_EQ(on ? 0x03 : 0x02, flags) << digit;
  }
}

TEST_F(StatusQueriesTest, TesseraStatusGateAndPipe) {
  int flags = 0x10;
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Tessera()(nullptr); }, "null");
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:07"});
  ClearLog();
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Tessera()(&flags); }, "type");
  EXPECT_EQ((Strings{"GetKyTesseraStatus", "SystemType ERROR"}), Texts());
  StopStandin();
  ClearLog();
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Tessera()(&flags); }, "service");
  EXPECT_EQ((Strings{"GetKyTesseraStatus", "IsQuoPcServiceRunning ERROR"}), Texts());
  ASSERT_EQ(0, remove(install_.registry().c_str()));
  ClearLog();
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Tessera()(&flags); }, "installed");
  EXPECT_EQ(0x10, flags);
  EXPECT_TRUE(FrameBytes().empty());

  // No pipe at all: eleven opens with a pause after each, then PC_ERR_FAILED.
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:00", "\"APIDEBUG\"=hex:00"});
  ClearLog();
  auto start = Clock::now();
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Tessera()(&flags); }, "no pipe");
  EXPECT_GE(ElapsedMs(start), 11 * 1000 / kScale);
  EXPECT_EQ((Strings{"GetKyTesseraStatus", "SetNamedPipeHandleState ERROR"}), Texts());
  EXPECT_EQ(0x10, flags);
}

TEST_F(StatusQueriesTest, SlotInfoSystemTypeAndVersion) {
  Script("002 reply 00 0001040508FF8000\n");
  uint8_t record[12];
  memset(record, 0xEE, sizeof record);
  record[0] = 1;
  ASSERT_EQ(1, Slots()(record));
  EXPECT_EQ((Bytes{1, 0x00, 0x01, 0x04, 0x05, 0x08, 0xFF, 0x80, 0x00, 0xEE}), Bytes(record, record + 10));
  EXPECT_EQ((Strings{"00210000"}), FrameBytes());

  Script("002 reply 13\n");
  ExpectFailure(
      PC_ERR_REJECTED, [&] { return Slots()(record); }, "rejected");
  Script("002 reply 00 000104050\n");
  ExpectFailure(
      PC_ERR_PIPE_IO, [&] { return Slots()(record); }, "short");
  record[0] = 0;
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Slots()(record); }, "version");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Slots()(nullptr); }, "null");
  record[0] = 1;
  ClearFrames();
  for (const char *unit : {"hex:00", "hex:03"}) {
    Registry({"\"LumoUa\"=dword:0000001f", std::string("\"LumoUnit\"=") + unit});
    ExpectFailure(
        PC_ERR_UNSUPPORTED, [&] { return Slots()(record); }, unit);
  }
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:04"});
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Slots()(record); }, "type -1");
  EXPECT_TRUE(FrameBytes().empty());

  // The system type needs no service; only the product key.
  auto type = Export<GetPCSystemTypeFn>("GetPCSystemType");
  StopStandin();
  const std::pair<const char *, int> types[] = {
      {"hex:00", 0}, {"hex:01", 2}, {"hex:02", 2}, {"hex:03", 1}, {"hex:04", -1}};
  for (const auto &[unit, expected] : types) {
    Registry({std::string("\"LumoUnit\"=") + unit});
    SetLastError(0);
    EXPECT_EQ(expected, type()) << unit;
    EXPECT_NE(PC_ERR_NOT_INSTALLED, GetLastError()) << unit;
  }
  ASSERT_EQ(0, remove(install_.registry().c_str()));
  SetLastError(0);
  EXPECT_EQ(-1, type());
  EXPECT_EQ(PC_ERR_NOT_INSTALLED, GetLastError());
  EXPECT_EQ(1, Export<GetQuoKyVersionFn>("GetQuoKyVersion")());
}

TEST_F(StatusQueriesTest, ShareDiskSizeQueryThenTheBytes) {
  ShareDiskRegistry();
  std::string records = ShareDiskRecords();
  qt::write_file(ShareDiskPath(), records);
  ClearLog();

  // Size query: a null buffer and size 0.
  uint32_t size = 0;
  ASSERT_EQ(0, ShareDisk()(nullptr, &size));
  EXPECT_EQ(264u, size);
  EXPECT_EQ((Strings{"GetKyShareDiskStatus", "IsQuoPcServiceRunning", "GetSystemTypeFromRegistry",
                     "CheckSnmpKyInfo1", "CheckSnmpKyInfo2", "CheckSnmpKyInfo2 IN", "RegQueryValueEx(SNMP)",
                     "RegCloseKey", "CreateFile Pile", "Pipe Connect Success", "SendCmdWithResponseData(K02)",
                     "Pipe Write", "Pipe Read", "K02 SUCCESS", install_.dir() + "\\DATA\\SHARE_DK.APC",
                     "DiskFileSize = 264", "*Buff_Size == 0"}),
            Texts(false));
  EXPECT_EQ((Strings{"K0210000"}), FrameBytes());

  // The bytes, into a buffer of exactly the size and one larger; one smaller gets the size.
  std::vector<uint8_t> buffer(265, 0xEE);
  size = 264;
  ASSERT_EQ(0, ShareDisk()(buffer.data(), &size));
  EXPECT_EQ(264u, size);
  EXPECT_EQ(records, std::string(buffer.begin(), buffer.begin() + 264));
  EXPECT_EQ(0xEE, buffer[264]);
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  size = 265;
  ASSERT_EQ(0, ShareDisk()(buffer.data(), &size));
  EXPECT_EQ(265u, size);  // the size value is left as it was
  EXPECT_EQ(records, std::string(buffer.begin(), buffer.begin() + 264));
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  size = 263;
  ClearLog();
  EXPECT_EQ(2, ShareDisk()(buffer.data(), &size));
  EXPECT_EQ(264u, size);
  EXPECT_EQ(std::vector<uint8_t>(265, 0xEE), buffer);
  EXPECT_EQ("DiskFileSize > *Buff_Size", Texts().back());
  // A buffer given with size 0 is a size query too.
  size = 0;
  EXPECT_EQ(0, ShareDisk()(buffer.data(), &size));
  EXPECT_EQ(264u, size);
  EXPECT_EQ(std::vector<uint8_t>(265, 0xEE), buffer);

  // A null buffer with a size, or no size at all: 87 before anything else.
  size = 264;
  ClearLog();
  ClearFrames();
  EXPECT_EQ(87, ShareDisk()(nullptr, &size));
  EXPECT_EQ(87, ShareDisk()(buffer.data(), nullptr));
  EXPECT_EQ((Strings{"GetKyShareDiskStatus", "NOT_PARAMETER", "GetKyShareDiskStatus", "NOT_PARAMETER"}),
            Texts());
  EXPECT_TRUE(FrameBytes().empty());

  // An empty file: no shared disk.
  qt::write_file(ShareDiskPath(), "");
  size = 0;
  ClearLog();
  EXPECT_EQ(3, ShareDisk()(nullptr, &size));
  EXPECT_EQ(0u, size);
  EXPECT_EQ("NOT_SHAREDISK==0 ERROR", Texts().back());

  // No file: three opens, each logged with the system's error, then 5.
  ASSERT_EQ(0, remove(ShareDiskPath().c_str()));
  ClearLog();
  EXPECT_EQ(5, ShareDisk()(nullptr, &size));
  std::vector<LogMessage> messages = LogMessages(LogPath());
  ASSERT_GE(messages.size(), 4u);
  for (size_t i = messages.size() - 4; i < messages.size() - 1; ++i) {
    EXPECT_EQ("CreateFile(SHARE_DK.APC) OPEN ERROR", messages[i].text);
    EXPECT_EQ(2u, messages[i].code);
  }
  EXPECT_EQ("CreateFile(SHARE_DK.APC) OPEN ERROR END", messages.back().text);
}

TEST_F(StatusQueriesTest, ShareDiskChecksTheInstallationFirst) {
  struct Row {
    Strings values;
    std::string companion;
    int result;
    std::string last_log;
    uint32_t last_code;
  };
  const Row rows[] = {
      {{"\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:09"}, "-", 1, "QuorinKyeInstall ERROR", 0},
      {{"\"LumoUnit\"=hex:03", "\"LumoCom\"=hex:09"}, "\"SNMP\"=\"1\"", 6, "SystemType ERROR", 1},
      {{"\"LumoUnit\"=hex:09", "\"LumoCom\"=hex:09"}, "\"SNMP\"=\"1\"", 6, "SystemType ERROR", 0xFFFFFFFF},
      {{"\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:01"},
       "\"SNMP\"=\"1\"",
       6,
       "CheckSnmpKyInfo1 ERROR(NOT_SNMP)",
       0},
      {{"\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:08,09"},
       "\"SNMP\"=\"1\"",
       6,
       "CheckSnmpKyInfo1 ERROR(NOT_SNMP)",
       0},
      {{"\"LumoUnit\"=hex:00"}, "\"SNMP\"=\"1\"", 6, "CheckSnmpKyInfo1 ERROR(NOT_SNMP)", 0},
      {{"\"LumoUnit\"=hex:01", "\"LumoCom\"=hex:09"},
       "\"SNMP\"=\"0\"",
       6,
       "CheckSnmpKyInfo2 ERROR(NOT_SNMP)",
       0},
      {{"\"LumoUnit\"=hex:01", "\"LumoCom\"=hex:09"}, "", 6, "CheckSnmpKyInfo2 ERROR(NOT_SNMP)", 0},
      {{"\"LumoUnit\"=hex:01", "\"LumoCom\"=hex:09"},
       "\"SNMP\"=\"" + std::string(40, '1') + "\"",
       6,
       "CheckSnmpKyInfo2 ERROR(NOT_SNMP)",
       0},
      // Accepted: "LumoCom" read whole (a longer value counts by its first byte), "SNMP" of 32
      // characters fits its 33-byte buffer with the terminator.
      {{"\"LumoUnit\"=hex:01", "\"LumoCom\"=hex:09,00,00,00"},
       "\"SNMP\"=\"" + std::string(32, '1') + "\"",
       0,
       "*Buff_Size == 0",
       0},
      {{"\"LumoUnit\"=hex:02", "\"LumoCom\"=dword:00000009"}, "\"SNMP\"=\"1x\"", 0, "*Buff_Size == 0", 0},
  };
  qt::write_file(ShareDiskPath(), ShareDiskRecords());
  for (const Row &row : rows) {
    ShareDiskRegistry(row.values, row.companion);
    ClearFrames();
    ClearLog();
    uint32_t size = 0;
    std::string what = row.values.back() + " / " + row.companion;
    EXPECT_EQ(row.result, ShareDisk()(nullptr, &size)) << what;
    std::vector<LogMessage> messages = LogMessages(LogPath());
    ASSERT_FALSE(messages.empty()) << what;
    EXPECT_EQ(row.last_log, messages.back().text) << what;
    EXPECT_EQ(row.last_code, messages.back().code) << what;
    EXPECT_EQ(row.result == 0 ? Strings{"K0210000"} : Strings{}, FrameBytes()) << what;
  }
}

TEST_F(StatusQueriesTest, ShareDiskTriesK02ThreeHundredAndSixtyTimes) {
  ShareDiskRegistry();
  qt::write_file(ShareDiskPath(), ShareDiskRecords());
  // Each attempt on a connection of its own; every one refused: result 4.
  Script("K02 reply 13 4\n");
  uint32_t size = 0;
  auto start = Clock::now();
  EXPECT_EQ(4, ShareDisk()(nullptr, &size));
  EXPECT_GE(ElapsedMs(start), 359 * 1000 / kScale);
  EXPECT_EQ(0u, size);
  std::vector<Frame> frames = Frames();
  ASSERT_EQ(360u, frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ("K0210000", frames[i].bytes);
    EXPECT_EQ(frames[0].connection + static_cast<int>(i), frames[i].connection);
  }
  Strings texts = Texts();
  EXPECT_EQ(360, CountText(texts, "K02 ERROR"));
  EXPECT_EQ(360, CountText(texts, "CreateFile Pile"));
  EXPECT_EQ("PipeCounter ERROR END", texts.back());

  // No pipe at all (the debug switch lets the probe pass): result 5.
  StopStandin();
  ShareDiskRegistry({"\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:09", "\"APIDEBUG\"=hex:00"});
  ClearLog();
  EXPECT_EQ(5, ShareDisk()(nullptr, &size));
  texts = Texts();
  EXPECT_EQ(360, CountText(texts, "Pipe Connect ERROR"));
  EXPECT_EQ(0, CountText(texts, "Pipe Connect Success"));
  EXPECT_EQ("PipeCounter ERROR END", texts.back());
}

TEST_F(StatusQueriesTest, ShareDiskWaitsAboutAMinuteForTheService) {
  ShareDiskRegistry();
  qt::write_file(ShareDiskPath(), ShareDiskRecords());
  StopStandin();
  ClearLog();
  uint32_t size = 0;
  SetLastError(0);
  auto start = Clock::now();
  EXPECT_EQ(256, ShareDisk()(nullptr, &size));
  EXPECT_EQ(PC_ERR_SERVICE, GetLastError());
  EXPECT_GE(ElapsedMs(start), 61 * 1000 / kScale);
  Strings texts = Texts();
  EXPECT_EQ(62, CountText(texts, "IsQuoPcServiceRunning"));
  EXPECT_EQ(62, CountText(texts, "IsQuoPcServiceRunning ERROR"));
  EXPECT_EQ("IsQuoPcServiceRunning ERROR", texts.back());
  EXPECT_TRUE(FrameBytes().empty());
}

// A scaled minute long enough to change the registry during the wait: ten times faster.
class ShareDiskServiceWaitTest : public StatusQueriesTest {
 protected:
  ShareDiskServiceWaitTest() { scale_ = 10; }
};

TEST_F(ShareDiskServiceWaitTest, AServiceThatComesUpDuringTheWaitIsUsed) {
  ShareDiskRegistry();
  qt::write_file(ShareDiskPath(), ShareDiskRecords());
  StopStandin();
  // The pipe is served, but the service probe fails until the debug switch appears.
  qt::Child console({qt::test_bin_dir() + "/quorin_mvl_standin", "--console"}, install_.env());
  ASSERT_TRUE(qt::wait_until([&] { return console.output().find("serving the pipe") != std::string::npos; }));
  ClearLog();
  int result = -1;
  uint32_t size = 0;
  std::thread caller([&] { result = ShareDisk()(nullptr, &size); });
  EXPECT_TRUE(
      qt::wait_until([&] { return CountText(LogTexts(LogPath()), "IsQuoPcServiceRunning ERROR") >= 2; },
                     std::chrono::seconds(30)));
  ShareDiskRegistry({"\"LumoUnit\"=hex:00", "\"LumoCom\"=hex:09", "\"APIDEBUG\"=hex:00"});
  caller.join();
  EXPECT_EQ(0, result);
  EXPECT_EQ(264u, size);
  Strings texts = Texts();
  int errors = CountText(texts, "IsQuoPcServiceRunning ERROR");
  EXPECT_GE(errors, 2);
  EXPECT_LT(errors, 62);
  EXPECT_EQ(errors + 1, CountText(texts, "IsQuoPcServiceRunning"));
  EXPECT_EQ((Strings{"K0210000"}), FrameBytes());
}

}  // namespace
}  // namespace pwt
