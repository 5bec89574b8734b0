// The send verb of upswatch: one command of the older UPS controller, a 48-character frame,
// through TarvosLumoSend; the answer frame is printed raw and decoded. Exit 0 only when the
// answer's status is "0".
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "upswatch.h"

namespace upswatch {

namespace {

constexpr size_t kCodeSize = 3;
constexpr size_t kLengthOffset = 4, kLengthSize = 3;
constexpr size_t kDataOffset = 7, kDataSize = 40;
constexpr size_t kStatusOffset = 47;
constexpr size_t kShortestFrame = kDataOffset;  // code, unit and length

struct StatusMeaning {
  char status;
  const char *meaning;
};
constexpr StatusMeaning kStatusMeanings[] = {
    {'0', "success"},
    {'7', "the SNMP conversation with the UPS failed (no answer, or the card refused)"},
    {'F', "failed (a command not in the table, a bad length field or data, or a refused value)"},
};

// The frame's bytes for a terminal: anything that does not print as itself shows as '?'.
std::string Printable(const char *bytes, size_t size) {
  std::string text(bytes, size);
  for (char &c : text) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return text;
}

void PrintSendHelp() {
  printf(
      "usage: %s send FRAME\n"
      "Sends one command of the older UPS controller through TarvosLumoSend and prints the\n"
      "answer frame, raw and decoded. FRAME is the 48-character frame: the three-character\n"
      "command code, the unit character, three hexadecimal digits of data length, the data\n"
      "(40 characters) and the status character. A shorter FRAME (at least code, unit and\n"
      "length) is filled with blanks to the end of the data area and given status \"0\".\n"
      "Example: %s send 0F20000 (firmware revision), %s send 1B1000205 (shutdown delay 5 min).\n"
      "exit status: 0 when the answer's status is \"0\", 1 otherwise.\n",
      kProgram, kProgram, kProgram);
}

}  // namespace

bool BuildLegacyFrame(const std::string &text, char (&frame)[kLegacyFrameRoom], std::string *error) {
  if (text.size() > kLegacyFrameSize) {
    *error = "a frame has 48 characters, not " + std::to_string(text.size());
    return false;
  }
  if (text.size() < kShortestFrame) {
    *error = "a frame needs at least the command code, the unit character and three digits of length";
    return false;
  }
  memset(frame, 0, sizeof frame);
  memset(frame, ' ', kLegacyFrameSize);
  frame[kStatusOffset] = '0';
  memcpy(frame, text.data(), text.size());
  return true;
}

void PrintLegacyAnswer(const char *frame) {
  char length_text[kLengthSize + 1] = {0};
  memcpy(length_text, frame + kLengthOffset, kLengthSize);
  unsigned length = 0;
  bool numeric = sscanf(length_text, "%x", &length) == 1;
  size_t shown = numeric ? (length < kDataSize ? length : kDataSize) : 0;
  printf("answer  %s\n", Printable(frame, kLegacyFrameSize).c_str());
  printf("code    %s\n", Printable(frame, kCodeSize).c_str());
  if (numeric)
    printf("length  %s (%u character%s)\n", Printable(length_text, kLengthSize).c_str(), length,
           length == 1 ? "" : "s");
  else
    printf("length  %s (not a number)\n", Printable(length_text, kLengthSize).c_str());
  printf("data    [%s]\n", Printable(frame + kDataOffset, shown).c_str());
  const char *meaning = "unknown status";
  for (const StatusMeaning &m : kStatusMeanings) {
    if (m.status == frame[kStatusOffset]) meaning = m.meaning;
  }
  printf("status  %s (%s)\n", Printable(frame + kStatusOffset, 1).c_str(), meaning);
}

bool SendLegacyFrame(char *frame, int *result) {
  auto send = ExportAs<TarvosLumoSendFn>("TarvosLumoSend");
  if (send == nullptr) return false;
  *result = send(0, 0, frame);
  return true;
}

int VerbSend(int argc, char **argv) {
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "+", kOptions, nullptr)) != -1) {
    if (c == 'h') {
      PrintSendHelp();
      return kExitOk;
    }
    return kExitUsage;
  }
  if (argc - optind != 1) {
    fprintf(stderr, "%s: send takes one FRAME\n", kProgram);
    return kExitUsage;
  }
  char frame[kLegacyFrameRoom];
  std::string error;
  if (!BuildLegacyFrame(argv[optind], frame, &error)) {
    fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return kExitUsage;
  }
  int result = 0;
  if (!SendLegacyFrame(frame, &result)) return kExitLibrary;
  PrintLegacyAnswer(frame);
  return result == 0 && frame[kStatusOffset] == '0' ? kExitOk : kExitFailed;
}

}  // namespace upswatch
