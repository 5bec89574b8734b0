// The older UPS controller's command interface of SNMPUPS.DLL: one command in a fixed
// 48-character frame, answered in the same frame from a table of commands, most with fixed
// answers, a few carried out on the UPS cards over SNMP, and "V00" running the host shutdown
// sequence.
//
// Sections: the frame; the command table and its handlers (readers, writers, shutdown); the
// exports TarvosLumoSend and TarvosLumoSendOnly.
//
// The frame is outside input of 48 bytes, not a text: nothing here looks for a terminator in
// it, reads before or past it, or writes past it. A length field that is not a hexadecimal
// number or exceeds 255 rejects the frame; request data is taken from the 40-character data
// area only, and an answer longer than that area is cut to it, the length field telling the
// characters written.
#include <stdio.h>
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"

namespace {

using namespace powernet;

// ---- The frame ------------------------------------------------------------------------------
constexpr size_t kFrameSize = 48;
constexpr size_t kCodeOffset = 0, kCodeSize = 3;
constexpr size_t kUnitOffset = 3;
constexpr size_t kLengthOffset = 4, kLengthSize = 3;
constexpr size_t kDataOffset = 7, kDataSize = 40;
constexpr size_t kStatusOffset = 47;
constexpr unsigned kLengthLimit = 255;  // the largest request length a frame may announce
constexpr size_t kAnswerSize = 256;     // request data in, answer text out
constexpr size_t kLengthTextSize = 8;   // three characters and room for a terminator

constexpr char kUnitOnReturn = '0';
constexpr char kStatusSuccess = '0';
constexpr char kStatusCommunication = '7';  // the SNMP conversation failed
constexpr char kStatusOther = 'F';          // any other failure

static_assert(kDataOffset + kDataSize == kStatusOffset && kStatusOffset + 1 == kFrameSize,
              "the data area ends at the status character, the last of the frame");

// ---- Values and log texts of the handlers -----------------------------------------------------
constexpr uint32_t kTicksPerSecond = 100;
constexpr uint32_t kTicksPerMinute = 6000;
constexpr uint32_t kSecondsPerMinute = 60;
constexpr uint32_t kReturnDelayWholeMinute = 60;    // "152": fewer seconds answer 0 minutes
constexpr uint32_t kShutdownDelayWholeMinute = 61;  // "1B2": fewer seconds answer 1 minute
constexpr unsigned kMinuteCountLimit = 0xFFFF;      // the writers' minute count is 16 bits wide

constexpr char kLogRequest[] = "TarvosLumoSend(Cmd:%s / Len:%s / Resp:%s)";
constexpr char kLogLengthRejected[] = "TarvosLumoSend(Cmd:%s / Len:%s) length rejected";
constexpr char kLogAnswer[] = "TarvosLumoSend(RespData:%s)";
constexpr char kLogError[] = "TarvosLumoSendError(CMD:%s / LEN:%s / DATA:%s)";
constexpr char kLogAnswerCut[] = "TarvosLumoSend(Cmd:%s) answer of %d characters cut to %d";
constexpr char kLogSendOnly[] = " xxxx TarvosLumoSendOnly xxxx";

// Handlers read the request data from ANSWER and may rewrite it and the length text LENGTH
// (three characters); they return an SNMP result code (0 = success).
using Handler = uint32_t (*)(char *answer, char *length);

// One command of the table. A row without a handler answers ANSWER with LENGTH, or, where
// they are null, with the request's own data and length.
struct LegacyCommand {
  const char *code;
  const char *answer;
  const char *length;
  Handler handler;
};

// The unit the readers ask: the first configured slot, or slot 0 when every slot is free.
int ReaderUnit() {
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (!IsFreeSlot(slot)) return slot;
  }
  return 0;
}

// Reads VARIABLE of SLOT into OUT with up to "SNMP_GET_RETRY" attempts; a transport failure or
// an agent's error ends them with ERROR_LINE (SHOWN_UNIT and the attempt count). 1 when no
// attempt was allowed.
uint32_t ReadWithAttempts(const PowerNetVariable &variable, void *out, int slot, const char *error_line,
                          int shown_unit) {
  uint32_t result = 1;
  for (int count = 0; result != SNMP_RESULT_OK && count < g_Snmp_Get_Retry;) {
    result = SnmpGetByIndex(variable.oid, variable.type, out, 0, slot);
    ++count;
    if (result == SNMP_RESULT_FAILED || result == SNMP_RESULT_AGENT_ERROR) {
      WriteSnmpLogF(result, error_line, shown_unit, count);
      break;
    }
  }
  return result;
}

// A text reader ("0F2", "H01"): the card's text as the answer, cut to the data area, with its
// length in three hexadecimal digits; an empty answer and "000" when it cannot be read.
struct TextReader {
  const char *code;
  const PowerNetVariable *variable;
  bool trim_trailing_blanks;
  const char *success_line;  // unit, text, length
  const char *failure_line;  // unit, result
  const char *error_line;    // unit, attempt count
};

const TextReader kRomRevision = {"0F2",
                                 &kUpsAdvIdentFirmwareRevision,
                                 false,
                                 "  Ups%d RomRev.(%s) len = %03x",
                                 "  Ups%d RomRev. read error %x",
                                 " [ReadRomRev] SnmpGet err (%d) counter=%d"};
const TextReader kSerialNumber = {"H01",
                                  &kUpsAdvIdentSerialNumber,
                                  true,
                                  "  Ups%d SerialNumber(%s) len =%03x",
                                  "  Ups%d SerialNumber read error %x",
                                  " [ReadSerialNumber] SnmpGet err (%d) counter=%d"};

uint32_t ReadText(const TextReader &reader, char *answer, char *length) {
  int slot = ReaderUnit();
  char text[SNMP_TEXT_BUFFER] = {0};
  uint32_t result = ReadWithAttempts(*reader.variable, text, slot, reader.error_line, slot);
  if (result != SNMP_RESULT_OK) {
    answer[0] = '\0';
    snprintf(length, kLengthTextSize, "000");
    WriteSnmpLogF(result, reader.failure_line, slot, result);
    return result;
  }
  size_t size = strnlen(text, sizeof text - 1);
  if (reader.trim_trailing_blanks) {
    while (size > 0 && text[size - 1] == ' ') --size;
  }
  if (size > kDataSize) {
    WriteSnmpLogF(0, kLogAnswerCut, reader.code, static_cast<int>(size), static_cast<int>(kDataSize));
    size = kDataSize;
  }
  text[size] = '\0';
  snprintf(answer, kAnswerSize, "%s", text);
  snprintf(length, kLengthTextSize, "%03x", static_cast<unsigned>(size));
  WriteSnmpLogF(0, reader.success_line, slot, answer, static_cast<unsigned>(size));
  return SNMP_RESULT_OK;
}

uint32_t ReadRomRevision(char *answer, char *length) {
  return ReadText(kRomRevision, answer, length);
}

uint32_t ReadSerialNumber(char *answer, char *length) {
  return ReadText(kSerialNumber, answer, length);
}

// A delay reader ("152", "1B2"): the delay in whole minutes as two hexadecimal digits.
struct DelayReader {
  const PowerNetVariable *variable;
  uint32_t whole_minute;  // seconds below this answer MINUTES_BELOW
  uint32_t minutes_below;
  bool log_unit;           // the error line shows the unit (else always 0)
  const char *value_line;  // unit, seconds
  const char *error_line;  // unit, attempt count
};

const DelayReader kReturnDelayReader = {&kUpsAdvConfigReturnDelay,
                                        kReturnDelayWholeMinute,
                                        0,
                                        true,
                                        " [UPS%d]return delay time is %dsec",
                                        " [ReadDPTime] SnmpGet err (%d) counter=%d"};
const DelayReader kShutdownDelayReader = {&kUpsAdvConfigShutoffDelay,
                                          kShutdownDelayWholeMinute,
                                          1,
                                          false,
                                          " [UPS%d]shutdown delay time is %dsec",
                                          " [ReadOffWT] SnmpGet err (%d) counter=%d"};

uint32_t ReadDelay(const DelayReader &reader, char *answer, char *length) {
  int slot = ReaderUnit();
  uint32_t ticks = 0;
  // The shutdown delay's error line names unit 0 whichever unit was asked.
  uint32_t result =
      ReadWithAttempts(*reader.variable, &ticks, slot, reader.error_line, reader.log_unit ? slot : 0);
  if (result != SNMP_RESULT_OK) {
    answer[0] = '\0';
    snprintf(length, kLengthTextSize, "000");
    return result;
  }
  uint32_t seconds = ticks / kTicksPerSecond;
  WriteSnmpLogF(0, reader.value_line, slot, static_cast<int>(seconds));
  uint32_t minutes = seconds < reader.whole_minute ? reader.minutes_below : seconds / kSecondsPerMinute;
  snprintf(answer, kAnswerSize, "%02x", minutes);
  snprintf(length, kLengthTextSize, "002");
  return SNMP_RESULT_OK;
}

// "152" answers its data whatever the read gave; a failed read shows as an empty answer.
uint32_t ReadReturnDelay(char *answer, char *length) {
  ReadDelay(kReturnDelayReader, answer, length);
  return SNMP_RESULT_OK;
}

uint32_t ReadShutdownDelay(char *answer, char *length) {
  return ReadDelay(kShutdownDelayReader, answer, length);
}

// A delay writer ("151", "1B1"): the request data is a minute count in hexadecimal (at most
// four digits' worth), written as TimeTicks to slot 0, whatever its address, and then to every
// configured slot, each with up to "SNMP_SET_RETRY" attempts.
struct DelayWriter {
  const PowerNetVariable *variable;
  const char *value_line;        // seconds
  const char *data_error_line;   // request data
  const char *first_error_line;  // slot 0: attempt count
  const char *error_line;        // slot, attempt count
};

const DelayWriter kReturnDelayWriter = {
    &kUpsAdvConfigReturnDelay, " return delay time is %dsec", " [WriteDPTime] minute count error [%s]",
    " [WriteDPTime] SnmpSet err (0) counter=%d", " [WriteDPTime] SnmpSet err (%d) counter=%d"};
const DelayWriter kShutdownDelayWriter = {
    &kUpsAdvConfigShutoffDelay, " shutdown delay time is %dsec", " [WriteOffWT] minute count error [%s]",
    " [WriteOffWT] SnmpSet err (%d) counter=%d", " [WriteOffWT] SnmpSet err (%d) counter=%d"};

// The request's minute count as TimeTicks, whole: 65535 minutes are 393210000 ticks, well
// inside what the variable holds, so nothing is cut. Data that is not a hexadecimal number, or a
// count wider than 16 bits, is refused with its line (false).
bool DelayTicks(const DelayWriter &writer, const char *request, uint32_t *ticks) {
  unsigned minutes = 0;
  if (sscanf(request, "%x", &minutes) != 1 || minutes > kMinuteCountLimit) {
    WriteSnmpLogF(SNMP_RESULT_BAD_VALUE, writer.data_error_line, request);
    return false;
  }
  *ticks = minutes * kTicksPerMinute;
  WriteSnmpLogF(0, writer.value_line, static_cast<int>(*ticks / kTicksPerSecond));
  return true;
}

// Writes TICKS to slot 0, whatever its address, then to every configured slot. Returns the
// result of the last slot written.
uint32_t WriteDelay(const DelayWriter &writer, uint32_t ticks) {
  uint32_t last = SNMP_RESULT_OK;
  for (int slot = 0; slot < UPS_UNIT_COUNT; ++slot) {
    if (slot != 0 && IsFreeSlot(slot)) continue;
    uint32_t result = 1;
    for (int count = 0; result != SNMP_RESULT_OK && count < g_Snmp_Set_Retry;) {
      result = SnmpSetByIndex(writer.variable->oid, writer.variable->type, &ticks, slot);
      ++count;
      if (result == SNMP_RESULT_FAILED || result == SNMP_RESULT_AGENT_ERROR) {
        if (slot == 0) {
          WriteSnmpLogF(result, writer.first_error_line, count);
        } else {
          WriteSnmpLogF(result, writer.error_line, slot, count);
        }
        break;
      }
    }
    last = result;
  }
  return last;
}

// "151" answers "000" and success whatever the cards said; only a refused minute count fails.
uint32_t WriteReturnDelay(char *answer, char *length) {
  uint32_t ticks = 0;
  bool valid = DelayTicks(kReturnDelayWriter, answer, &ticks);
  if (valid) WriteDelay(kReturnDelayWriter, ticks);
  snprintf(length, kLengthTextSize, "000");
  return valid ? SNMP_RESULT_OK : SNMP_RESULT_BAD_VALUE;
}

// "1B1" keeps the request's length and answers the last slot's result.
uint32_t WriteShutdownDelay(char *answer, char *) {
  uint32_t ticks = 0;
  if (!DelayTicks(kShutdownDelayWriter, answer, &ticks)) return SNMP_RESULT_BAD_VALUE;
  return WriteDelay(kShutdownDelayWriter, ticks);
}

uint32_t ShutDownHost(char *answer, char *) {
  return QuoPcShutDown(answer);
}

// The command set. "002" answers "%02x%02x%02x%02x%02x000000" of five zeros.
const LegacyCommand kCommands[] = {
    {"002", "0000000000000000", "010", nullptr},
    {"012", "42", "002", nullptr},
    {"022", "000000000000000000", "012", nullptr},
    {"032", "000000000000000000", "012", nullptr},
    {"0D2", "000000000000000000", "012", nullptr},
    {"042", "0101", "004", nullptr},
    {"182", "00000000", "000", nullptr},
    {"BT1", "00", "002", nullptr},
    {"BT3", "00", "002", nullptr},
    {"021", nullptr, nullptr, nullptr},
    {"031", nullptr, nullptr, nullptr},
    {"041", nullptr, nullptr, nullptr},
    {"071", nullptr, nullptr, nullptr},
    {"081", nullptr, nullptr, nullptr},
    {"091", nullptr, nullptr, nullptr},
    {"0B1", nullptr, nullptr, nullptr},
    {"111", nullptr, nullptr, nullptr},
    {"131", nullptr, nullptr, nullptr},
    {"141", nullptr, nullptr, nullptr},
    {"181", nullptr, nullptr, nullptr},
    {"BT0", nullptr, nullptr, nullptr},
    {"BT2", nullptr, nullptr, nullptr},
    {"PCM", nullptr, nullptr, nullptr},
    {"0F2", nullptr, nullptr, ReadRomRevision},
    {"H01", nullptr, nullptr, ReadSerialNumber},
    {"151", nullptr, nullptr, WriteReturnDelay},
    {"152", nullptr, nullptr, ReadReturnDelay},
    {"1B1", nullptr, nullptr, WriteShutdownDelay},
    {"1B2", nullptr, nullptr, ReadShutdownDelay},
    {"V00", nullptr, nullptr, ShutDownHost},
};

const LegacyCommand *FindCommand(const char *code) {
  for (const LegacyCommand &command : kCommands) {
    if (strcmp(command.code, code) == 0) return &command;
  }
  return nullptr;
}

uint32_t RunCommand(const char *code, char *answer, char *length) {
  const LegacyCommand *command = FindCommand(code);
  if (command == nullptr) return SNMP_RESULT_BAD_VALUE;
  if (command->handler != nullptr) return command->handler(answer, length);
  if (command->answer != nullptr) snprintf(answer, kAnswerSize, "%s", command->answer);
  if (command->length != nullptr) snprintf(length, kLengthTextSize, "%s", command->length);
  return SNMP_RESULT_OK;
}

// The length field as a request length: a hexadecimal number ("%x") of at most 255.
bool RequestLength(const char *length, unsigned *n) {
  unsigned value = 0;
  if (sscanf(length, "%x", &value) != 1 || value > kLengthLimit) return false;
  *n = value;
  return true;
}

// The frame's 48 bytes as a terminated text for the log.
void FrameText(const char *frame, char (&text)[kFrameSize + 1]) {
  memcpy(text, frame, kFrameSize);
  text[kFrameSize] = '\0';
}

}  // namespace

QP_DLL_EXPORT int TarvosLumoSend(int, int, char *frame) {
  if (!LibraryReady() || frame == nullptr) return -1;
  char code[kCodeSize + 1] = {0};
  char length[kLengthTextSize] = {0};
  memcpy(code, frame + kCodeOffset, kCodeSize);
  memcpy(length, frame + kLengthOffset, kLengthSize);

  char answer[kAnswerSize] = {0};
  unsigned n = 0;
  if (!RequestLength(length, &n)) {
    WriteSnmpLogF(0, kLogRequest, code, length, answer);
    WriteSnmpLogF(SNMP_RESULT_BAD_VALUE, kLogLengthRejected, code, length);
    frame[kStatusOffset] = kStatusOther;
    WriteSnmpLogF(0, kLogError, code, length, answer);
    return -1;
  }
  // The request data lies in the data area only; a longer length takes what the area holds.
  memcpy(answer, frame + kDataOffset, n < kDataSize ? n : kDataSize);
  WriteSnmpLogF(0, kLogRequest, code, length, answer);

  uint32_t result = RunCommand(code, answer, length);

  memcpy(frame + kCodeOffset, code, kCodeSize);
  frame[kUnitOffset] = kUnitOnReturn;
  memcpy(frame + kLengthOffset, length, kLengthSize);
  memcpy(frame + kDataOffset, answer, strnlen(answer, kDataSize));

  if (result == SNMP_RESULT_FAILED || result == SNMP_RESULT_AGENT_ERROR) {
    frame[kStatusOffset] = kStatusCommunication;
  } else if (result != SNMP_RESULT_OK) {
    frame[kStatusOffset] = kStatusOther;
  } else {
    // A frame handed in again after a failed command still carries its old status.
    frame[kStatusOffset] = kStatusSuccess;
  }

  if (frame[kStatusOffset] == kStatusSuccess) {
    char text[kFrameSize + 1];
    FrameText(frame, text);
    WriteSnmpLogF(0, kLogAnswer, text);
    return 0;
  }
  WriteSnmpLogF(0, kLogError, code, length, answer);
  return -1;
}

QP_DLL_EXPORT int TarvosLumoSendOnly() {
  if (!LibraryReady()) return 0;
  WriteSnmpLog(kLogSendOnly, 0);
  return 0;
}
