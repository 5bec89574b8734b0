// The older controller's command interface of SNMPUPS.DLL, loaded by name, against upssim cards:
// every command of the table as data, the card readers and delay writers, answers longer than
// the frame's data area, silent and refusing cards, and frames that are bad input. Every frame
// lies in a larger buffer whose bytes after the 48th must stay as they were.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "library_fixture.h"

namespace {

const char kFirmware[] = ".1.3.6.1.4.1.318.1.1.1.1.2.1.0";
const char kSerial[] = ".1.3.6.1.4.1.318.1.1.1.1.2.3.0";
const char kReturnDelay[] = ".1.3.6.1.4.1.318.1.1.1.5.2.9.0";
const char kShutoffDelay[] = ".1.3.6.1.4.1.318.1.1.1.5.2.10.0";

using SendFn = int (*)(int, int, char *);
using SendOnlyFn = int (*)();

constexpr size_t kFrame = 48;
constexpr char kFiller = '~';  // data-area bytes the caller left, to see what was written
constexpr char kGuard = '#';   // bytes after the frame

// A 48-character frame in a buffer with room behind it.
struct Frame {
  char bytes[kFrame + 16];

  Frame(const std::string &code, const std::string &length, const std::string &data = "", char status = '0') {
    memset(bytes, kGuard, sizeof bytes);
    memset(bytes, kFiller, kFrame);
    memcpy(bytes, code.data(), code.size() < 3 ? code.size() : 3);
    bytes[3] = 'u';
    memcpy(bytes + 4, length.data(), length.size() < 3 ? length.size() : 3);
    memcpy(bytes + 7, data.data(), data.size() < 40 ? data.size() : 40);
    bytes[47] = status;
  }
  std::string code() const { return std::string(bytes, 3); }
  char unit() const { return bytes[3]; }
  std::string length() const { return std::string(bytes + 4, 3); }
  // The data area up to the first filler byte.
  std::string data() const {
    std::string area(bytes + 7, 40);
    return area.substr(0, area.find(kFiller));
  }
  std::string area() const { return std::string(bytes + 7, 40); }
  char status() const { return bytes[47]; }
  bool guard_intact() const {
    for (size_t i = kFrame; i < sizeof bytes; ++i)
      if (bytes[i] != kGuard) return false;
    return true;
  }
};

class LegacyTest : public qt::LibraryTest {
 protected:
  // Cards .2 (slot 0) and .3 (slot 5); slots 1 to 4 are free.
  void StartAndLoad(const std::string &settings = "UPS_IP=127.0.0.2\r\nUPS_IP5=127.0.0.3\r\n",
                    const std::string &cards = "") {
    StartCards("127.0.0.2", "127.0.0.3",
               cards.empty()
                   ? "community = kelpie\n[card 127.0.0.2]\nfirmware = QS 6.4.I\nserial = QS0000000002\n"
                     "[card 127.0.0.3]\noutlet-groups = 2\n"
                   : cards);
    WriteSettings(settings);
    Load();
    send = Entry<SendFn>("TarvosLumoSend");
  }
  // Sends FRAME and checks what every answer shares: the guard, unit "0" and the code.
  int Send(Frame &frame) {
    std::string code = frame.code();
    int rc = send(0, 0, frame.bytes);
    EXPECT_TRUE(frame.guard_intact()) << code;
    EXPECT_EQ(code, frame.code());
    return rc;
  }
  SendFn send = nullptr;
};

// Every command of the table, as (code, request length, request data) and the expected answer.
TEST_F(LegacyTest, EveryCommandOfTheTableAnswersItsData) {
  StartAndLoad();
  Ctl("127.0.0.2", {"set", kSerial, "s", "AB1234   "});
  Ctl("127.0.0.2", {"set", kReturnDelay, "t", "12000"});
  Ctl("127.0.0.2", {"set", kShutoffDelay, "t", "18000"});
  struct Row {
    const char *code, *length, *data;
    const char *answer, *answer_length;
    char status;
  } rows[] = {
      {"002", "000", "", "0000000000000000", "010", '0'},
      {"012", "000", "", "42", "002", '0'},
      {"022", "000", "", "000000000000000000", "012", '0'},
      {"032", "002", "ab", "000000000000000000", "012", '0'},
      {"0D2", "000", "", "000000000000000000", "012", '0'},
      {"042", "000", "", "0101", "004", '0'},
      {"182", "000", "", "00000000", "000", '0'},
      {"BT1", "000", "", "00", "002", '0'},
      {"BT3", "000", "", "00", "002", '0'},
      {"021", "004", "1234", "1234", "004", '0'},
      {"031", "001", "7", "7", "001", '0'},
      {"041", "000", "", "", "000", '0'},
      {"071", "003", "abc", "abc", "003", '0'},
      {"081", "002", "0F", "0F", "002", '0'},
      {"091", "002", "10", "10", "002", '0'},
      {"0B1", "001", "x", "x", "001", '0'},
      {"111", "005", "12345", "12345", "005", '0'},
      {"131", "002", "ab", "ab", "002", '0'},
      {"141", "002", "cd", "cd", "002", '0'},
      {"181", "002", "ef", "ef", "002", '0'},
      {"BT0", "001", "1", "1", "001", '0'},
      {"BT2", "001", "2", "2", "001", '0'},
      {"PCM", "028", "0123456789012345678901234567890123456789", "0123456789012345678901234567890123456789",
       "028", '0'},
      {"0F2", "000", "", "QS 6.4.I", "008", '0'},
      {"H01", "000", "", "AB1234", "006", '0'},  // trailing blanks removed
      {"152", "000", "", "02", "002", '0'},      // 120 s
      {"1B2", "000", "", "03", "002", '0'},      // 180 s
      {"ZZZ", "002", "ab", "ab", "002", 'F'},    // not in the table
      {"0f2", "000", "", "", "000", 'F'},        // codes are compared exactly
  };
  for (const Row &r : rows) {
    Frame frame(r.code, r.length, r.data);
    int rc = Send(frame);
    EXPECT_EQ(r.status == '0' ? 0 : -1, rc) << r.code;
    EXPECT_EQ('0', frame.unit()) << r.code;
    EXPECT_EQ(r.answer_length, frame.length()) << r.code;
    EXPECT_EQ(r.answer, frame.data()) << r.code;
    EXPECT_EQ(r.status, frame.status()) << r.code;
  }
  EXPECT_TRUE(LogHas("TarvosLumoSend(Cmd:021 / Len:004 / Resp:1234)"));
  EXPECT_TRUE(
      LogHas("TarvosLumoSend(RespData:0120002" + std::string("42") + std::string(38, kFiller) + "0)"));
  EXPECT_TRUE(LogHas("TarvosLumoSendError(CMD:ZZZ / LEN:002 / DATA:ab)"));
  EXPECT_TRUE(LogHas("  Ups0 RomRev.(QS 6.4.I) len = 008"));
  EXPECT_TRUE(LogHas("  Ups0 SerialNumber(AB1234) len =006"));
  EXPECT_TRUE(LogHas(" [UPS0]return delay time is 120sec"));
  EXPECT_TRUE(LogHas(" [UPS0]shutdown delay time is 180sec"));
  // None of these commands wrote to a card.
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_TRUE(Sets("127.0.0.3").empty());

  auto send_only = Entry<SendOnlyFn>("TarvosLumoSendOnly");
  EXPECT_EQ(0, send_only());
  EXPECT_EQ(0L, CodeOf(" xxxx TarvosLumoSendOnly xxxx"));
}

// The delay readers turn TimeTicks into whole minutes: the return delay counts 0 below a
// minute, the shutdown delay 1 below 61 seconds.
TEST_F(LegacyTest, DelayReadersRoundToMinutes) {
  StartAndLoad();
  struct Case {
    const char *code, *oid, *ticks, *answer;
  } cases[] = {
      {"152", kReturnDelay, "5900", "00"},     {"152", kReturnDelay, "6000", "01"},
      {"152", kReturnDelay, "11999", "01"},    {"152", kReturnDelay, "0", "00"},
      {"152", kReturnDelay, "360000", "3c"},   {"1B2", kShutoffDelay, "0", "01"},
      {"1B2", kShutoffDelay, "6000", "01"},    {"1B2", kShutoffDelay, "6100", "01"},
      {"1B2", kShutoffDelay, "12000", "02"},   {"1B2", kShutoffDelay, "11999", "01"},
      {"1B2", kShutoffDelay, "1530000", "ff"},
  };
  for (const Case &c : cases) {
    Ctl("127.0.0.2", {"set", c.oid, "t", c.ticks});
    Frame frame(c.code, "000");
    EXPECT_EQ(0, Send(frame)) << c.code << " " << c.ticks;
    EXPECT_EQ(c.answer, frame.data()) << c.code << " " << c.ticks;
    EXPECT_EQ("002", frame.length()) << c.code << " " << c.ticks;
  }
}

// The delay writers write the whole minute count as TimeTicks to slot 0 and every configured
// slot: 11 minutes and more no longer wrap at 16 bits.
TEST_F(LegacyTest, DelayWritersWriteTheWholeMinuteCount) {
  StartAndLoad();
  struct Case {
    const char *code, *length, *data, *oid, *ticks, *answer_length;
  } cases[] = {
      {"151", "002", "0A", kReturnDelay, "60000", "000"},
      {"151", "002", "0B", kReturnDelay, "66000", "000"},  // once 464 ticks
      {"151", "002", "00", kReturnDelay, "0", "000"},
      {"151", "004", "FFFF", kReturnDelay, "393210000", "000"},
      {"1B1", "002", "0b", kShutoffDelay, "66000", "002"},
      {"1B1", "001", "1", kShutoffDelay, "6000", "001"},
      {"1B1", "004", "ffff", kShutoffDelay, "393210000", "004"},
  };
  for (const Case &c : cases) {
    Ctl("127.0.0.2", {"sets", "clear"});
    Ctl("127.0.0.3", {"sets", "clear"});
    Frame frame(c.code, c.length, c.data);
    EXPECT_EQ(0, Send(frame)) << c.code << " " << c.data;
    EXPECT_EQ('0', frame.status()) << c.code << " " << c.data;
    EXPECT_EQ(c.data, frame.data()) << c.code << " " << c.data;
    EXPECT_EQ(c.answer_length, frame.length()) << c.code << " " << c.data;
    std::vector<std::string> expected = {std::string(c.oid) + " TimeTicks " + c.ticks + " noError"};
    EXPECT_EQ(expected, Sets("127.0.0.2")) << c.code << " " << c.data;
    EXPECT_EQ(expected, Sets("127.0.0.3")) << c.code << " " << c.data;
  }
  EXPECT_TRUE(LogHas(" return delay time is 660sec"));
  EXPECT_TRUE(LogHas(" shutdown delay time is 3932100sec"));

  // A minute count that is not a number, or wider than 16 bits, writes nothing and fails.
  Ctl("127.0.0.2", {"sets", "clear"});
  Ctl("127.0.0.3", {"sets", "clear"});
  struct Refused {
    const char *code, *length, *data;
  } refused[] = {{"151", "002", "ZZ"}, {"1B1", "005", "10000"}, {"151", "000", ""}, {"1B1", "002", "-1"}};
  for (const Refused &r : refused) {
    Frame frame(r.code, r.length, r.data);
    EXPECT_EQ(-1, Send(frame)) << r.code << " " << r.data;
    EXPECT_EQ('F', frame.status()) << r.code << " " << r.data;
  }
  EXPECT_EQ(0x80000009L, CodeOf(" [WriteDPTime] minute count error [ZZ]"));
  EXPECT_EQ(0x80000009L, CodeOf(" [WriteOffWT] minute count error [10000]"));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_TRUE(Sets("127.0.0.3").empty());
}

// A refusing card: "1B1" answers the result of the last slot written, "151" success whatever
// the cards said; a badValue answer is tried again at once, up to "SNMP_SET_RETRY" times.
TEST_F(LegacyTest, DelayWritersAgainstRefusingCards) {
  StartAndLoad("UPS_IP=127.0.0.2\r\nUPS_IP5=127.0.0.3\r\nSNMP_SET_RETRY=3\r\n");
  Ctl("127.0.0.3", {"fault", "refuse-sets", "noSuchName"});
  Frame off_wait("1B1", "002", "05");
  EXPECT_EQ(-1, Send(off_wait));
  EXPECT_EQ('7', off_wait.status());
  EXPECT_EQ(0x80100002L, CodeOf(" [WriteOffWT] SnmpSet err (5) counter=1"));
  EXPECT_EQ(1u, Sets("127.0.0.3").size());
  EXPECT_TRUE(LogHas("TarvosLumoSendError(CMD:1B1 / LEN:002 / DATA:05)"));

  Frame return_wait("151", "002", "05");
  EXPECT_EQ(0, Send(return_wait));
  EXPECT_EQ('0', return_wait.status());
  EXPECT_EQ(0x80100002L, CodeOf(" [WriteDPTime] SnmpSet err (5) counter=1"));

  // The refusing card first (slot 0), the answering card last: "1B1" succeeds.
  Ctl("127.0.0.3", {"fault", "clear"});
  Ctl("127.0.0.2", {"fault", "refuse-sets", "badValue"});
  Ctl("127.0.0.2", {"sets", "clear"});
  Frame first_refuses("1B1", "002", "05");
  EXPECT_EQ(0, Send(first_refuses));
  EXPECT_EQ('0', first_refuses.status());
  EXPECT_EQ(3u, Sets("127.0.0.2").size());  // badValue: three attempts, no error line
  EXPECT_FALSE(LogHas(" [WriteOffWT] SnmpSet err (0) counter=3"));
  Frame first_refused_dp("151", "002", "05");
  Ctl("127.0.0.2", {"fault", "refuse-sets", "genErr"});
  EXPECT_EQ(0, Send(first_refused_dp));
  EXPECT_EQ(0x80100002L, CodeOf(" [WriteDPTime] SnmpSet err (0) counter=1"));
}

// The readers ask the first configured slot (here slot 3); a silent card gives status "7" and
// an empty answer of length "000", except "152", which answers success. The four run at once,
// as the exports keep no state between calls.
TEST_F(LegacyTest, ReadersAgainstASilentCard) {
  StartAndLoad("UPS_IP3=127.0.0.2\r\nSNMP_GET_RETRY=2\r\n");
  Ctl("127.0.0.2", {"fault", "silent", "on"});
  const char *codes[] = {"0F2", "H01", "152", "1B2"};
  std::vector<Frame> frames;
  for (const char *code : codes) frames.emplace_back(code, "002", "zz");
  std::vector<int> results(4, 99);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < frames.size(); ++i)
    threads.emplace_back([&, i] { results[i] = send(0, 0, frames[i].bytes); });
  for (std::thread &t : threads) t.join();
  const char statuses[] = {'7', '7', '0', '7'};
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(statuses[i] == '0' ? 0 : -1, results[i]) << codes[i];
    EXPECT_EQ(statuses[i], frames[i].status()) << codes[i];
    EXPECT_EQ("000", frames[i].length()) << codes[i];
    EXPECT_EQ("zz", frames[i].data()) << codes[i];  // nothing written over the request
    EXPECT_TRUE(frames[i].guard_intact()) << codes[i];
  }
  // One attempt each: a transport failure ends the attempts.
  EXPECT_EQ(0x80100001L, CodeOf(" [ReadRomRev] SnmpGet err (3) counter=1"));
  EXPECT_EQ(0x80100001L, CodeOf(" [ReadSerialNumber] SnmpGet err (3) counter=1"));
  EXPECT_EQ(0x80100001L, CodeOf(" [ReadDPTime] SnmpGet err (3) counter=1"));
  EXPECT_EQ(0x80100001L, CodeOf(" [ReadOffWT] SnmpGet err (0) counter=1"));
  EXPECT_EQ(0x80100001L, CodeOf("  Ups3 RomRev. read error 80100001"));
  EXPECT_EQ(0x80100001L, CodeOf("  Ups3 SerialNumber read error 80100001"));
  EXPECT_EQ(1, LogCount("TarvosLumoSendError(CMD:0F2 / LEN:000 / DATA:)"));
}

// Texts longer than the 40-character data area are cut to it; the length tells the characters
// written, and nothing behind the frame is touched.
TEST_F(LegacyTest, LongTextsAreCutToTheDataArea) {
  StartAndLoad();
  std::string firmware = "UPS 09.3 " + std::string(60, 'f') + "-END";
  std::string serial = std::string(41, 's') + "   ";
  Ctl("127.0.0.2", {"set", kFirmware, "s", firmware});
  Ctl("127.0.0.2", {"set", kSerial, "s", serial});
  Frame rom("0F2", "000");
  EXPECT_EQ(0, Send(rom));
  EXPECT_EQ(firmware.substr(0, 40), rom.area());
  EXPECT_EQ("028", rom.length());
  EXPECT_EQ('0', rom.status());
  EXPECT_EQ(0L, CodeOf("TarvosLumoSend(Cmd:0F2) answer of 73 characters cut to 40"));
  Frame number("H01", "000");
  EXPECT_EQ(0, Send(number));
  EXPECT_EQ(std::string(40, 's'), number.area());
  EXPECT_EQ("028", number.length());
  EXPECT_EQ(0L, CodeOf("TarvosLumoSend(Cmd:H01) answer of 41 characters cut to 40"));

  // Exactly 40 characters fit whole; 39 leave the last byte of the area alone.
  Ctl("127.0.0.2", {"set", kFirmware, "s", std::string(40, 'x')});
  Frame forty("0F2", "000");
  EXPECT_EQ(0, Send(forty));
  EXPECT_EQ(std::string(40, 'x'), forty.area());
  EXPECT_EQ("028", forty.length());
  Ctl("127.0.0.2", {"set", kSerial, "s", std::string(39, 'y')});
  Frame thirty_nine("H01", "000");
  EXPECT_EQ(0, Send(thirty_nine));
  EXPECT_EQ(std::string(39, 'y') + kFiller, thirty_nine.area());
  EXPECT_EQ("027", thirty_nine.length());
  EXPECT_FALSE(LogHas("TarvosLumoSend(Cmd:0F2) answer of 40 characters cut to 40"));
}

// Frames that are bad input: junk in the length field is refused before anything runs; a
// length up to 255 takes what the data area holds; a frame without any terminator is read
// and written within its 48 bytes; a status left from an earlier failure is replaced.
TEST_F(LegacyTest, BadFramesStayInsideTheirFortyEightBytes) {
  StartAndLoad();
  const char *junk[] = {"ZZZ", "FFF", "-01", "100", "   ", "G01"};
  for (const char *length : junk) {
    Frame frame("012", length, "ab");
    Frame before = frame;
    EXPECT_EQ(-1, Send(frame)) << length;
    EXPECT_EQ('F', frame.status()) << length;
    // Nothing but the status changed: the command did not run.
    EXPECT_EQ(0, memcmp(before.bytes, frame.bytes, 47)) << length;
    EXPECT_EQ(0x80000009L,
              CodeOf("TarvosLumoSend(Cmd:012 / Len:" + std::string(length) + ") length rejected"))
        << length;
  }
  // 255 is the largest length: the request data is the whole data area, written back as it was.
  Frame widest("021", "0FF", std::string(40, 'w'));
  EXPECT_EQ(0, Send(widest));
  EXPECT_EQ("0FF", widest.length());
  EXPECT_EQ(std::string(40, 'w'), widest.area());
  EXPECT_EQ('0', widest.status());
  Frame fixed("012", "0ff");
  EXPECT_EQ(0, Send(fixed));
  EXPECT_EQ("002", fixed.length());

  // No terminator anywhere: every byte of the frame and behind it is non-zero.
  Frame bare("0F2", "000");
  EXPECT_EQ(0, Send(bare));
  EXPECT_EQ("QS 6.4.I", bare.data());
  EXPECT_TRUE(LogHas("TarvosLumoSend(RespData:0F20008QS 6.4.I" + std::string(32, kFiller) + "0)"));

  // A status left by an earlier failure, or any other character, is replaced by the outcome.
  const char statuses[] = {'7', 'F', 'X', '\0'};
  for (char status : statuses) {
    Frame reused("012", "000", "", status);
    EXPECT_EQ(0, Send(reused)) << static_cast<int>(status);
    EXPECT_EQ('0', reused.status()) << static_cast<int>(status);
    Frame unknown("ZZZ", "000", "", status);
    EXPECT_EQ(-1, Send(unknown)) << static_cast<int>(status);
    EXPECT_EQ('F', unknown.status()) << static_cast<int>(status);
  }
  // A code with a terminator inside is no command of the table.
  Frame cut(std::string("01\0", 3), "000");
  EXPECT_EQ(-1, Send(cut));
  EXPECT_EQ('F', cut.status());
  EXPECT_EQ(std::string("01\0", 3), cut.code());
}

// Without attempts allowed ("SNMP_GET_RETRY", "SNMP_SET_RETRY" 0) no request reaches a card:
// the readers fail with "F", "152" and "151" still answer success, "1B1" fails.
TEST_F(LegacyTest, NoAttemptsAllowedSendNothing) {
  StartAndLoad("UPS_IP=127.0.0.2\r\nSNMP_GET_RETRY=0\r\nSNMP_SET_RETRY=0\r\n");
  long requests = Counter("127.0.0.2", "requests");
  struct Row {
    const char *code, *length, *data;
    char status;
  } rows[] = {{"0F2", "000", "", 'F'}, {"H01", "000", "", 'F'},   {"1B2", "000", "", 'F'},
              {"152", "000", "", '0'}, {"151", "002", "05", '0'}, {"1B1", "002", "05", 'F'}};
  for (const Row &r : rows) {
    Frame frame(r.code, r.length, r.data);
    EXPECT_EQ(r.status == '0' ? 0 : -1, Send(frame)) << r.code;
    EXPECT_EQ(r.status, frame.status()) << r.code;
  }
  EXPECT_EQ(1L, CodeOf("  Ups0 RomRev. read error 1"));
  EXPECT_EQ(requests, Counter("127.0.0.2", "requests"));
}

}  // namespace

// "V00" runs the host shutdown sequence: mode "3" puts every card to sleep, mode "4" turns
// every card off (the older model and the outlet-group model alike), and the cards' outputs
// follow after their shut-down delay.
class V00ModeTest : public LegacyTest {
 protected:
  void Run(const char *data, const char *oid, const char *output) {
    StartAndLoad();
    for (const char *address : {"127.0.0.2", "127.0.0.3"}) Ctl(address, {"set", kShutoffDelay, "t", "50"});
    Frame frame("V00", "001", data);
    EXPECT_EQ(0, Send(frame));
    EXPECT_EQ('0', frame.status());
    EXPECT_EQ("001", frame.length());
    EXPECT_EQ(data, frame.data());
    for (const char *address : {"127.0.0.2", "127.0.0.3"}) {
      EXPECT_EQ(std::vector<std::string>{std::string(oid) + " INTEGER 3 noError"}, Sets(address));
      EXPECT_TRUE(qt::wait_until(
          [&] {
            return Ctl(address, {"dump"}).find(std::string("\noutput ") + output + "\n") != std::string::npos;
          },
          std::chrono::seconds(20)))
          << address;
    }
    EXPECT_EQ(1, LogCount("QuoPcShutDown..."));
  }
};

TEST_F(V00ModeTest, ScheduledPowerOffPutsEveryCardToSleep) {
  Run("3", ".1.3.6.1.4.1.318.1.1.1.6.2.3.0", "sleeping");
  EXPECT_EQ(5L, CodeOf("===Schedule PowerOff:putUpsToSleepGracefully===="));
}

TEST_F(V00ModeTest, PowerOffWithoutScheduleTurnsEveryCardOff) {
  Run("4", ".1.3.6.1.4.1.318.1.1.1.6.2.1.0", "off");
  EXPECT_EQ(5L, CodeOf("===No Schedule:upsAdvControlUpsOff===="));
}

// The frame's status tells the merged result: a later success clears an earlier failure, a
// badValue is kept against a later transport failure ("F"), an agent's refusal or a silent
// card alone give "7".
TEST_F(LegacyTest, V00StatusFollowsTheMergedResult) {
  StartAndLoad("UPS_IP=127.0.0.2\r\nUPS_IP5=127.0.0.3\r\nSNMP_SET_RETRY=2\r\n");
  struct Case {
    const char *first_fault, *last_fault;  // refuse-sets statuses, "" = none, "silent"
    char status;
  } cases[] = {
      {"badValue", "", '0'}, {"", "badValue", 'F'},       {"", "noSuchName", '7'},
      {"genErr", "", '0'},   {"badValue", "silent", 'F'},
  };
  for (const Case &c : cases) {
    for (const char *address : {"127.0.0.2", "127.0.0.3"}) Ctl(address, {"fault", "clear"});
    auto fault = [&](const char *address, const std::string &what) {
      if (what == "silent") {
        Ctl(address, {"fault", "silent", "on"});
      } else if (!what.empty()) {
        Ctl(address, {"fault", "refuse-sets", what});
      }
    };
    fault("127.0.0.2", c.first_fault);
    fault("127.0.0.3", c.last_fault);
    Frame frame("V00", "001", "3");
    EXPECT_EQ(c.status == '0' ? 0 : -1, Send(frame)) << c.first_fault << "/" << c.last_fault;
    EXPECT_EQ(c.status, frame.status()) << c.first_fault << "/" << c.last_fault;
  }
  EXPECT_TRUE(LogHas("TarvosLumoSendError(CMD:V00 / LEN:001 / DATA:3)"));
  EXPECT_EQ(0x80100001L, CodeOf(" [QuoPcShutDown] SnmpSet(OID2) err (5) counter=1"));
}

// After a power failure ("V00" with any other mode) the marks of the check engine decide, read
// here from the cards' own time-on-battery counters. In sleep mode a unit found on battery
// makes the sequence run one check first, which may mark it due; a due unit on battery
// conserves its battery and the other units follow it into sleep.
TEST_F(LegacyTest, V00AfterAPowerFailureFollowsTheCheckEnginesMarks) {
  StartAndLoad();
  const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
  auto check = Entry<SendOnlyFn>("QuoKySnmpCheck");
  Ctl("127.0.0.2", {"set", kShutoffDelay, "t", "50"});
  Ctl("127.0.0.2", {"power-fail"});
  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "2000"});
  ASSERT_EQ(1, check());  // on battery for 20 s: marked on battery, not due
  ASSERT_TRUE(LogHas(" UPS Battery running [20sec]!?"));

  // Still within the 60 s wait: the check of the sequence keeps it not due; nothing is written.
  Frame within("V00", "001", "0");
  EXPECT_EQ(0, Send(within));
  EXPECT_EQ('0', within.status());
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_TRUE(Sets("127.0.0.3").empty());
  EXPECT_EQ(1, LogCount("QuoKySnmpCheck Start"));
  EXPECT_TRUE(LogHas(" ups_X1[0]  [0] : 10 [1] : 00"));

  // Past the wait: the sequence's own check marks it due before the writes.
  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "9000"});
  Frame past("V00", "001", "0");
  EXPECT_EQ(0, Send(past));
  EXPECT_EQ('0', past.status());
  EXPECT_EQ(2, LogCount("QuoKySnmpCheck Start"));
  EXPECT_TRUE(LogHas(" ups_X1[0]  [0] : 18 [1] : 00"));
  EXPECT_EQ((std::vector<std::string>{".1.3.6.1.4.1.318.1.1.1.5.2.11.0 TimeTicks 0 noError",
                                      ".1.3.6.1.4.1.318.1.1.1.6.1.1.0 INTEGER 2 noError"}),
            Sets("127.0.0.2"));
  EXPECT_EQ((std::vector<std::string>{".1.3.6.1.4.1.318.1.1.1.5.2.11.0 TimeTicks 0 noError",
                                      ".1.3.6.1.4.1.318.1.1.1.6.2.3.0 INTEGER 3 noError"}),
            Sets("127.0.0.3"));
  EXPECT_EQ(3L, CodeOf("====PowerOff:upsBasicControlConserveBattery===="));
  EXPECT_TRUE(qt::wait_until(
      [&] { return Ctl("127.0.0.2", {"dump"}).find("\noutput sleeping\n") != std::string::npos; },
      std::chrono::seconds(20)));
}

// With "AUTO_REBOOT_ORG" set the sequence runs no check of its own: only the marks the host's
// checks left count.
TEST_F(LegacyTest, V00AfterAPowerFailureWithoutItsOwnCheck) {
  StartAndLoad("UPS_IP=127.0.0.2\r\nUPS_IP5=127.0.0.3\r\nAUTO_REBOOT_ORG=Y\r\n");
  const char kTimeOnBattery[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
  auto check = Entry<SendOnlyFn>("QuoKySnmpCheck");
  Ctl("127.0.0.2", {"power-fail"});
  Ctl("127.0.0.2", {"set", kTimeOnBattery, "t", "9000"});
  ASSERT_EQ(1, check());  // first sight: on battery only
  Frame unmarked("V00", "001", "9");
  EXPECT_EQ(0, Send(unmarked));
  EXPECT_FALSE(LogHas("QuoKySnmpCheck Start"));
  EXPECT_TRUE(Sets("127.0.0.2").empty());
  EXPECT_TRUE(Sets("127.0.0.3").empty());

  ASSERT_EQ(1, check());  // past the wait: due
  Frame marked("V00", "001", "9");
  EXPECT_EQ(0, Send(marked));
  EXPECT_EQ(2u, Sets("127.0.0.2").size());
  EXPECT_EQ(2u, Sets("127.0.0.3").size());
}
