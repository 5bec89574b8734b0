// SetPowerControlTime, GetPowerControlTime and GetPowerFailLastTime against the "QUORIN_MVL"
// stand-in: schedule bytes, what the service saw at "S10", the backup put back on failures,
// argument checks, the names' length rule and the answers of the service.
#include "schedule_fixture.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;

class ControlTimesTest : public ScheduleTest {};

const std::string kOldSchedule = Record("203001010000", 'F') + Record("203001020000", 'N');

TEST_F(ControlTimesTest, SetWritesTwoRecordsAndTellsTheService) {
  PutSchedule(kOldSchedule);
  EXPECT_EQ(1, Set()("202401010001", "202401010000"));
  const std::string expected = "2401010000F   \r\n2401010001N   \r\n";
  EXPECT_EQ(expected, Schedule());
  // Type 2 wraps "S10" in "071" ... "081" on one connection; the service already reads the new
  // schedule when it is told.
  std::vector<Frame> frames = Frames();
  EXPECT_EQ((Strings{"071 0000", "S10 0000", "081 0000"}), FrameBytes());
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(frames[0].connection, frames[2].connection);
  EXPECT_EQ(expected, SeenAtS10());
  EXPECT_EQ((Strings{"SCHEDULE.APC", "SCHEDULE.LCK", "pwdown.log"}), DataFiles());
  EXPECT_NE(std::string::npos, Log().find("SetPowerControlTime")) << Log();

  // Types 1 and 0 send "S10" alone.
  for (const char *unit : {"\"LumoUnit\"=hex:03", "\"LumoUnit\"=hex:00"}) {
    Registry({"\"LumoUa\"=dword:0000001f", unit});
    ClearFrames();
    EXPECT_EQ(1, Set()("202501010100", "202412312300")) << unit;
    EXPECT_EQ((Strings{"S10 0000"}), FrameBytes()) << unit;
    EXPECT_EQ("2412312300F   \r\n2501010100N   \r\n", Schedule());
  }
}

TEST_F(ControlTimesTest, SetChecksBothTimesAndTheirOrder) {
  PutSchedule(kOldSchedule);
  // (on, off, accepted)
  const std::tuple<const char *, const char *, bool> cases[] = {
      {"202401010001", "202401010000", true},
      {"202501010100", "202412312300", true},   // next year, earlier key
      {"202506010000", "202406010000", false},  // a year apart
      {"202506010000", "202406010001", true},   // one minute less than a year
      {"202401010000", "202401010000", false},  // equal
      {"202401010000", "202401010001", false},  // on before off
      {"202601010000", "202401010000", false},  // two years
      {"207001010000", "206912312359", false},  // on in 2070
      {"200002290100", "200002290000", true},   // February 29 of 2000
      {"202402290100", "202402290000", true},   // and of 2024
      {"202302290100", "202302280000", false},
      {"202413010000", "202401010000", false},
      {"202401012400", "202401010000", false},
      {"202401010060", "202401010000", false},
      {"20240101000", "202301010000", false},  // eleven characters
      {"2024010100+1", "202301010000", false},
      {"202401010001", "-02401010000", false},
      {"202401010001", "", false},
  };
  for (const auto &[on, off, accepted] : cases) {
    std::string what = std::string("on ") + on + " off " + off;
    if (accepted) {
      EXPECT_EQ(1, Set()(on, off)) << what;
      EXPECT_EQ(Record(off, 'F') + Record(on, 'N'), Schedule()) << what;
    } else {
      ClearFrames();
      PutSchedule(kOldSchedule);
      ExpectFailure(
          ERROR_INVALID_PARAMETER, [&] { return Set()(on, off); }, what);
      EXPECT_TRUE(FrameBytes().empty()) << what;
      EXPECT_EQ(kOldSchedule, Schedule()) << what;
    }
  }
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Set()(nullptr, "202401010000"); }, "null on");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Set()("202401010001", nullptr); }, "null off");

  // Only twelve characters of each time are read: buffers without a terminator are whole times.
  struct {
    char on[12];
    char off[12];
    char after[4];
  } unterminated;
  memcpy(unterminated.on, "202403010000", 12);
  memcpy(unterminated.off, "202402290000", 12);
  memcpy(unterminated.after, "9999", 4);
  EXPECT_EQ(1, Set()(unterminated.on, unterminated.off));
  EXPECT_EQ("2402290000F   \r\n2403010000N   \r\n", Schedule());
  EXPECT_EQ((Strings{"SCHEDULE.APC", "SCHEDULE.LCK", "pwdown.log"}), DataFiles());
}

TEST_F(ControlTimesTest, FailedServiceStepsPutTheOldScheduleBack) {
  struct Case {
    const char *script;
    Strings frames;
    uint32_t error;
  };
  const Case cases[] = {
      {"S10 reply 1F\n", {"071 0000", "S10 0000", "081 0000"}, PC_ERR_UNSUPPORTED},
      {"S10 reply 13\n", {"071 0000", "S10 0000", "081 0000"}, PC_ERR_REJECTED},
      {"S10 reply 13\n081 reply 1F\n", {"071 0000", "S10 0000", "081 0000"}, PC_ERR_REJECTED},
      {"S10 close\n", {"071 0000", "S10 0000"}, PC_ERR_PIPE_IO},
      {"071 reply A1\n", {"071 0000"}, PC_ERR_REJECTED},
      {"081 reply 10\n", {"071 0000", "S10 0000", "081 0000"}, PC_ERR_UNSUPPORTED},
  };
  for (const Case &c : cases) {
    PutSchedule(kOldSchedule);
    Script(c.script);
    ClearFrames();
    ExpectFailure(
        c.error, [&] { return Set()("202401010001", "202401010000"); }, c.script);
    EXPECT_EQ(c.frames, FrameBytes()) << c.script;
    EXPECT_EQ(kOldSchedule, Schedule()) << c.script;
    EXPECT_EQ((Strings{"SCHEDULE.APC", "SCHEDULE.LCK", "pwdown.log"}), DataFiles()) << c.script;
  }
  // The service saw the new schedule before refusing it.
  EXPECT_EQ("2401010000F   \r\n2401010001N   \r\n", SeenAtS10());
  EXPECT_NE(std::string::npos, Log().find("SCHEDULE: service not told (071/S10/081), old schedule back"));

  // No schedule before: the failed change leaves none.
  std::remove(SchedulePath().c_str());
  Script("S10 reply 1F\n");
  ExpectFailure(
      PC_ERR_UNSUPPORTED, [&] { return Set()("202401010001", "202401010000"); }, "no old schedule");
  EXPECT_FALSE(qt::file_exists(SchedulePath()));
  EXPECT_EQ((Strings{"SCHEDULE.LCK", "pwdown.log"}), DataFiles());
  // The same change goes through once the service takes it.
  Script("");
  EXPECT_EQ(1, Set()("202401010001", "202401010000"));
  EXPECT_EQ("2401010000F   \r\n2401010001N   \r\n", Schedule());
}

TEST_F(ControlTimesTest, GateComesFirstAndAMissingPipeRestores) {
  PutSchedule(kOldSchedule);
  StopStandin();
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Set()("202401010001", "202401010000"); }, "stopped");
  // The gate comes before the argument check.
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Set()("x", "y"); }, "stopped, bad times");
  EXPECT_EQ(kOldSchedule, Schedule());

  // The debug switch lets the call through to the pipe, which is not there: old schedule back.
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01", "\"APIDEBUG\"=hex:01"});
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Set()("202401010001", "202401010000"); }, "no pipe");
  EXPECT_EQ(kOldSchedule, Schedule());
  EXPECT_EQ((Strings{"SCHEDULE.APC", "SCHEDULE.LCK", "pwdown.log"}), DataFiles());

  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:04", "\"APIDEBUG\"=hex:01"});
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Set()("202401010001", "202401010000"); }, "type unknown");
  qt::write_file(install_.registry(), "");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Set()("202401010001", "202401010000"); }, "not installed");
  EXPECT_EQ(kOldSchedule, Schedule());
  EXPECT_TRUE(FrameBytes().empty());
}

TEST_F(ControlTimesTest, InstallDirectoryOfAtMost236Characters) {
  // Two installs side by side under this test's folder: one whose path has 236 characters, one
  // with 237. Every schedule name of the first fits in 256 bytes.
  std::string base = install_.dir() + "/";
  auto deep = [&](size_t length) {
    std::string path = base;
    while (path.size() < length) {
      size_t part = std::min<size_t>(100, length - path.size());
      path += std::string(part, static_cast<char>('a' + length % 26));
      if (path.size() < length) path += "/";
    }
    return path;
  };
  for (size_t length : {size_t{236}, size_t{237}}) {
    std::string dir = deep(length);
    ASSERT_EQ(length, dir.size());
    qt::make_dirs(dir + "/DATA");
    install_.write_registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:01"});
    std::string text = qt::read_file(install_.registry());
    size_t at = text.find("\"PathName\"=\"");
    ASSERT_NE(std::string::npos, at);
    size_t end = text.find("\"\r\n", at + 12);
    text.replace(at + 12, end - (at + 12), dir);
    qt::write_file(install_.registry(), text);
    if (length == 236) {
      EXPECT_EQ(1, Set()("202401010001", "202401010000"));
      EXPECT_EQ("2401010000F   \r\n2401010001N   \r\n", qt::read_file(dir + "/DATA/SCHEDULE.APC"));
      EXPECT_EQ(1, Copy()((install_.dir() + "/copy").c_str()));
    } else {
      ExpectFailure(
          PC_ERR_FAILED, [&] { return Set()("202401010001", "202401010000"); }, "237");
      EXPECT_FALSE(qt::file_exists(dir + "/DATA/SCHEDULE.APC"));
      ExpectFailure(
          ERROR_FILE_NOT_FOUND, [&] { return Copy()((install_.dir() + "/copy").c_str()); }, "237");
    }
  }
}

TEST_F(ControlTimesTest, GetPowerControlTimeWritesTwelveCharactersEach) {
  Script("SC0 reply 00 6912312359\nSC2 reply 00 7001010000\n");
  char first[13], second[13];
  memset(first, '#', sizeof first);
  memset(second, '#', sizeof second);
  EXPECT_EQ(1, Times()(first, second));
  EXPECT_EQ("206912312359#", std::string(first, 13));
  EXPECT_EQ("197001010000#", std::string(second, 13));
  std::vector<Frame> frames = Frames();
  EXPECT_EQ((Strings{"SC0 0000", "SC2 0000"}), FrameBytes());
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(frames[0].connection, frames[1].connection);

  // The system type is not read.
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:04"});
  Script("SC0 reply 00 0001010000\nSC2 reply 00 9912312359 and more\n");
  EXPECT_EQ(1, Times()(first, second));
  EXPECT_EQ("200001010000", std::string(first, 12));
  EXPECT_EQ("199912312359", std::string(second, 12));

  // Answers that are no time leave the caller's buffers as they were.
  const std::pair<const char *, uint32_t> failures[] = {
      {"SC0 reply 00 69123123\n", PC_ERR_PIPE_IO},   // eight characters
      {"SC0 reply 00 6912312x59\n", PC_ERR_FAILED},  // not digits
      {"SC0 reply 00  912312359\n", PC_ERR_FAILED},  // a blank
      {"SC0 reply 13 6912312359\n", PC_ERR_REJECTED}, {"SC0 reply 1F\n", PC_ERR_UNSUPPORTED},
  };
  for (const auto &[script, error] : failures) {
    Script(script);
    memset(first, '#', sizeof first);
    memset(second, '#', sizeof second);
    ExpectFailure(
        error, [&] { return Times()(first, second); }, script);
    EXPECT_EQ(std::string(13, '#'), std::string(first, 13)) << script;
    EXPECT_EQ(std::string(13, '#'), std::string(second, 13)) << script;
  }
  Script("SC2 reply 10\n");
  ExpectFailure(
      PC_ERR_UNSUPPORTED, [&] { return Times()(first, second); }, "SC2");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return Times()(nullptr, second); }, "null");
  StopStandin();
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Times()(first, second); }, "stopped");
}

TEST_F(ControlTimesTest, GetPowerFailLastTimeReadsFiveCharactersAsANumber) {
  const std::pair<const char *, int> values[] = {{"00000", 0},  {"00042", 42},  {"99999", 99999},
                                                 {"-0001", -1}, {"  123", 123}, {"+0012", 12}};
  for (const auto &[data, value] : values) {
    Script(std::string("PW0 reply 00 ") + data + "\n");
    int got = -7;
    EXPECT_EQ(1, PowerFail()(&got)) << data;
    EXPECT_EQ(value, got) << data;
  }
  // Every failure is PC_ERR_FAILED and leaves the caller's value alone.
  for (const char *script : {"PW0 reply 00 12a45", "PW0 reply 00 123 4", "PW0 reply 00 1234",
                             "PW0 reply 00 -", "PW0 reply 00      ", "PW0 reply 13 12345", "PW0 close"}) {
    Script(std::string(script) + "\n");
    int got = -7;
    ExpectFailure(
        PC_ERR_FAILED, [&] { return PowerFail()(&got); }, script);
    EXPECT_EQ(-7, got) << script;
  }
  // Neither an unknown system type nor a null pointer reaches the pipe.
  ClearFrames();
  Registry({"\"LumoUa\"=dword:0000001f", "\"LumoUnit\"=hex:04"});
  int got = 0;
  ExpectFailure(
      PC_ERR_FAILED, [&] { return PowerFail()(&got); }, "type unknown");
  ExpectFailure(
      ERROR_INVALID_PARAMETER, [&] { return PowerFail()(nullptr); }, "null");
  EXPECT_TRUE(FrameBytes().empty());
}

}  // namespace
}  // namespace pwt
