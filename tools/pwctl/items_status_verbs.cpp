// pwctl verbs over the items, status and power-status exports of pwdown.dll: items (get, set,
// previous), cluster-status, share-disk, slots, system-type, version and watch-power.
//
// Each verb parses its options with getopt_long, prints --help on standard output, and reports
// a usage error on standard error with what to check (exit 2). An export's outcome goes to
// standard output as with the other verbs ("CALL: OK" or "CALL: failed: ERROR", exit 0 or 1),
// followed on standard error by a hint when it failed.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "pwctl.h"
#include "pwdown.h"
#include "quorin/platform.h"

namespace pwctl {
namespace {

// ---- Tables ----

// Condition bits in words, as the flag form returns them (C[0] bit 0x02 is read back from
// "NET").
struct ConditionBit {
  int byte;
  uint8_t bit;
  const char *token;
};
constexpr ConditionBit kConditionBits[] = {
    {0, 0x01, "TIM"}, {0, 0x02, "NET"}, {1, 0x80, "AUX1"}, {1, 0x40, "AUX2"}, {3, 0x08, "CD2"},
    {3, 0x04, "ER2"}, {4, 0x08, "CD3"}, {4, 0x04, "ER3"},  {5, 0x08, "CD4"},  {5, 0x04, "ER4"},
    {6, 0x08, "CD5"}, {6, 0x04, "ER5"}, {7, 0x08, "CD6"},  {7, 0x04, "ER6"},  {8, 0x08, "CD7"},
    {8, 0x04, "ER7"}, {9, 0x08, "CD8"}, {9, 0x04, "ER8"},
};

// Results of GetKyShareDiskStatus in words.
struct ShareDiskText {
  int result;
  const char *text;
};
constexpr ShareDiskText kShareDiskTexts[] = {
    {1, "the companion product key SOFTWARE\\Tarvos\\QUORIN/KY_E is missing"},
    {2, "the buffer is smaller than SHARE_DK.APC"},
    {3, "SHARE_DK.APC is empty: no shared disk is configured"},
    {4, "\"K02\" failed on each of 360 attempts: is every storage UPS on line and readable?"},
    {5, "the pipe, the install directory (\"PathName\") or SHARE_DK.APC failed: see DATA/pwdown.log"},
    {6,
     "not SNMP: check \"LumoUnit\" (type 0 or 2), \"LumoCom\" (9) and the companion key's \"SNMP\" (\"1\")"},
    {87, "bad parameter"},
    {256, "the service QUORIN_MVL did not run within about a minute"},
};
constexpr size_t kShareDiskRecordSize = 132;
constexpr size_t kShareDiskTextField = 64;
constexpr int kShareDiskTries = 3;

constexpr int kItemCount = 9;
constexpr int kConditionCount = 10;
constexpr int kSlotCount = 8;
constexpr uint8_t kRecordVersion = 1;
constexpr uint8_t kFormFlags = 1;
constexpr uint8_t kFormExpression = 65;
constexpr size_t kReturnedExpressionLength = 4;

// ---- Helpers ----

// The outcome of an export; a failure goes to standard error with what to check.
int Report(const std::string &call, int result, uint32_t error) {
  return Outcome(call, result, error);
}

// A usage error of VERB: WHAT on standard error, then the verb's usage.
int UsageError(const char *verb, const std::string &what) {
  fprintf(stderr, "pwctl %s: %s\nTry 'pwctl %s --help'.\n", verb, what.c_str(), verb);
  return kExitUsage;
}

std::string HexBytes(const uint8_t *bytes, int count) {
  std::string text;
  char pair[4];
  for (int i = 0; i < count; ++i) {
    snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += pair;
  }
  return text;
}

// Exactly 2 x COUNT hex digits -> COUNT bytes.
bool ParseHexBytes(const char *text, int count, uint8_t *out) {
  if (strlen(text) != static_cast<size_t>(2 * count)) return false;
  for (int i = 0; i < count; ++i) {
    char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
    if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1])))
      return false;
    out[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
  }
  return true;
}

// A decimal 32-bit integer, whole; false for anything else.
bool ParseInt32(const char *text, int *out) {
  if (text == nullptr || *text == '\0') return false;
  char *end = nullptr;
  errno = 0;
  long long value = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

// Parses the options of a verb without options of its own but --help: 1 when help was shown,
// 0 to go on, or kExitUsage (negated) for an unknown option. Leaves optind at the first operand.
int ParseHelpOnly(int argc, char **argv, const char *help) {
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
    if (c == 'h') {
      fputs(help, stdout);
      return 1;
    }
    return -UsageError(argv[0], std::string("unknown option '") + argv[optind - 1] + "'");
  }
  return 0;
}

// ---- items ----

constexpr char kItemsHelp[] =
    "usage: pwctl items get [--expression]\n"
    "       pwctl items set ITEMBYTES CONDITION\n"
    "       pwctl items set ITEMBYTES --flags HEX\n"
    "       pwctl items previous\n"
    "\n"
    "The unit's power-control items and power-on condition (GetPowerControlItem,\n"
    "SetPowerControlItem) and the items of the previous power-on (GetPreviousOnItem).\n"
    "  ITEMBYTES         the nine item bytes as 18 hexadecimal digits, e.g. 080000000000000000\n"
    "  CONDITION         the condition as an expression over TIM, NET, AUX1, AUX2, CD2-CD8,\n"
    "                    ER2-ER8 with + (or), * (and) and parentheses, e.g. \"(TIM+NET)*AUX1\"\n"
    "  --flags HEX       the condition as its ten flag bytes, 20 hexadecimal digits\n"
    "  --expression      get: the stored expression instead of the flags (the library returns\n"
    "                    at most its first four characters)\n"
    "  --help            this text\n";

int ItemsGet(int argc, char **argv) {
  static const option kOptions[] = {{"expression", no_argument, nullptr, 'e'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  bool expression = false;
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "eh", kOptions, nullptr)) != -1) {
    if (c == 'e') {
      expression = true;
    } else if (c == 'h') {
      fputs(kItemsHelp, stdout);
      return kExitOk;
    } else {
      return UsageError("items get", std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind != argc)
    return UsageError("items get", std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetPowerControlItemFn>(Entry("GetPowerControlItem"));
  if (entry == nullptr) return kExitLibrary;
  uint8_t item[1 + kItemCount] = {kRecordVersion};
  // The expression form has a 5-byte field; the record is larger so that nothing beyond it
  // could be touched.
  uint8_t condition[1 + kConditionCount + 16] = {expression ? kFormExpression : kFormFlags};
  int result = entry(item, condition);
  uint32_t error = GetLastError();
  int status = Report("GetPowerControlItem", result, error);
  if (status != kExitOk) return status;
  printf("item bytes:      %s\n", HexBytes(item + 1, kItemCount).c_str());
  if (expression) {
    const char *text = reinterpret_cast<const char *>(condition + 1);
    printf("expression:      \"%s\"%s\n", text,
           strlen(text) == kReturnedExpressionLength ? " (the library returns at most four characters)" : "");
    return kExitOk;
  }
  printf("condition bytes: %s\n", HexBytes(condition + 1, kConditionCount).c_str());
  std::string words;
  for (const ConditionBit &bit : kConditionBits)
    if ((condition[1 + bit.byte] & bit.bit) != 0)
      words += (words.empty() ? "" : " ") + std::string(bit.token);
  printf("condition:       %s\n", words.empty() ? "(none)" : words.c_str());
  return kExitOk;
}

int ItemsSet(int argc, char **argv) {
  static const option kOptions[] = {{"flags", required_argument, nullptr, 'f'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  const char *flags = nullptr;
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":f:h", kOptions, nullptr)) != -1) {
    if (c == 'f') {
      flags = optarg;
    } else if (c == 'h') {
      fputs(kItemsHelp, stdout);
      return kExitOk;
    } else if (c == ':') {
      return UsageError("items set", "--flags needs the ten condition bytes as 20 hexadecimal digits");
    } else {
      return UsageError("items set", std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  int operands = argc - optind;
  if (operands != (flags != nullptr ? 1 : 2))
    return UsageError("items set", flags != nullptr ? "give ITEMBYTES and --flags HEX, nothing else"
                                                    : "give ITEMBYTES and a CONDITION (or --flags HEX)");
  uint8_t item[1 + kItemCount] = {kRecordVersion};
  if (!ParseHexBytes(argv[optind], kItemCount, item + 1))
    return UsageError(
        "items set",
        std::string("ITEMBYTES must be 18 hexadecimal digits (nine bytes), not '") + argv[optind] + "'");
  std::vector<uint8_t> condition;
  if (flags != nullptr) {
    condition.assign(1 + kConditionCount, 0);
    condition[0] = kFormFlags;
    if (!ParseHexBytes(flags, kConditionCount, condition.data() + 1))
      return UsageError(
          "items set", std::string("--flags must be 20 hexadecimal digits (ten bytes), not '") + flags + "'");
  } else {
    const char *text = argv[optind + 1];
    condition.push_back(kFormExpression);
    condition.insert(condition.end(), text, text + strlen(text) + 1);
  }
  auto entry = reinterpret_cast<SetPowerControlItemFn>(Entry("SetPowerControlItem"));
  if (entry == nullptr) return kExitLibrary;
  int result = entry(item, condition.data());
  uint32_t error = GetLastError();
  return Report("SetPowerControlItem", result, error);
}

int ItemsPrevious(int argc, char **argv) {
  int parsed = ParseHelpOnly(argc, argv, kItemsHelp);
  if (parsed != 0) return parsed > 0 ? kExitOk : -parsed;
  if (optind != argc)
    return UsageError("items previous", std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetPreviousOnItemFn>(Entry("GetPreviousOnItem"));
  if (entry == nullptr) return kExitLibrary;
  uint8_t record[1 + kItemCount] = {kRecordVersion};
  int result = entry(record);
  uint32_t error = GetLastError();
  int status = Report("GetPreviousOnItem", result, error);
  if (status == kExitOk)
    printf("previous power-on item bytes: %s\n", HexBytes(record + 1, kItemCount).c_str());
  return status;
}

int VerbItems(int argc, char **argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kItemsHelp, stdout);
    return kExitOk;
  }
  if (argc < 2) return UsageError("items", "give get, set or previous");
  // The sub-verb's name becomes argv[0] of its own option parse.
  if (strcmp(argv[1], "get") == 0) return ItemsGet(argc - 1, argv + 1);
  if (strcmp(argv[1], "set") == 0) return ItemsSet(argc - 1, argv + 1);
  if (strcmp(argv[1], "previous") == 0) return ItemsPrevious(argc - 1, argv + 1);
  return UsageError("items", std::string("unknown sub-verb '") + argv[1] + "': give get, set or previous");
}

// ---- cluster-status, slots, system-type, version ----

constexpr char kClusterStatusHelp[] =
    "usage: pwctl cluster-status\n"
    "\n"
    "Whether the cluster manager is installed and switched on, and whether the unit powers on\n"
    "by itself (GetKyTesseraStatus).\n";

int VerbClusterStatus(int argc, char **argv) {
  int parsed = ParseHelpOnly(argc, argv, kClusterStatusHelp);
  if (parsed != 0) return parsed > 0 ? kExitOk : -parsed;
  if (optind != argc) return UsageError(argv[0], std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetKyTesseraStatusFn>(Entry("GetKyTesseraStatus"));
  if (entry == nullptr) return kExitLibrary;
  int flags = 0;
  int result = entry(&flags);
  uint32_t error = GetLastError();
  int status = Report("GetKyTesseraStatus", result, error);
  if (status != kExitOk) return status;
  printf("cluster switch: %s\n", (flags & 0x01) != 0
                                     ? "on (the cluster manager is installed and switched on)"
                                     : "off (the cluster manager is not installed or not switched on)");
  printf("automatic local power-on: %s\n", (flags & 0x02) != 0 ? "on" : "off");
  printf("status word: 0x%08X\n", static_cast<unsigned>(flags));
  return kExitOk;
}

constexpr char kSlotsHelp[] =
    "usage: pwctl slots\n"
    "\n"
    "The unit's eight slot bytes (GetLumoSlotInfo, system type 2): byte n describes unit n;\n"
    "bit 0x04 admits the per-unit items and conditions, bit 0x01 item bit 0x80.\n";

int VerbSlots(int argc, char **argv) {
  int parsed = ParseHelpOnly(argc, argv, kSlotsHelp);
  if (parsed != 0) return parsed > 0 ? kExitOk : -parsed;
  if (optind != argc) return UsageError(argv[0], std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetLumoSlotInfoFn>(Entry("GetLumoSlotInfo"));
  if (entry == nullptr) return kExitLibrary;
  uint8_t record[1 + kSlotCount] = {kRecordVersion};
  int result = entry(record);
  uint32_t error = GetLastError();
  int status = Report("GetLumoSlotInfo", result, error);
  if (status != kExitOk) return status;
  printf("slot bytes: %s\n", HexBytes(record + 1, kSlotCount).c_str());
  for (int unit = 1; unit <= kSlotCount; ++unit) {
    uint8_t slot = record[unit];
    printf("unit %d: %02X  per-unit items and conditions %s, item bit 0x80 %s\n", unit, slot,
           (slot & 0x04) != 0 ? "yes" : "no", (slot & 0x01) != 0 ? "yes" : "no");
  }
  return kExitOk;
}

constexpr char kSystemTypeHelp[] =
    "usage: pwctl system-type\n"
    "\n"
    "The system type from \"LumoUnit\" (GetPCSystemType): 0, 1 or 2; -1 when undetermined.\n";

int VerbSystemType(int argc, char **argv) {
  int parsed = ParseHelpOnly(argc, argv, kSystemTypeHelp);
  if (parsed != 0) return parsed > 0 ? kExitOk : -parsed;
  if (optind != argc) return UsageError(argv[0], std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetPCSystemTypeFn>(Entry("GetPCSystemType"));
  if (entry == nullptr) return kExitLibrary;
  SetLastError(0);
  int type = entry();
  uint32_t error = GetLastError();
  if (type < 0 && error == PC_ERR_NOT_INSTALLED) return Report("GetPCSystemType", 0, error);
  if (type < 0) {
    fprintf(stderr, "GetPCSystemType: %d (undetermined)\n", type);
    fprintf(stderr, "pwctl: check \"LumoUnit\" in the registry: its first byte must be 0 to 3\n");
    return kExitFailed;
  }
  printf("GetPCSystemType: %d\n", type);
  return kExitOk;
}

constexpr char kVersionHelp[] =
    "usage: pwctl version\n"
    "\n"
    "The interface version of pwdown.dll (GetQuoKyVersion).\n";

int VerbVersion(int argc, char **argv) {
  int parsed = ParseHelpOnly(argc, argv, kVersionHelp);
  if (parsed != 0) return parsed > 0 ? kExitOk : -parsed;
  if (optind != argc) return UsageError(argv[0], std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetQuoKyVersionFn>(Entry("GetQuoKyVersion"));
  if (entry == nullptr) return kExitLibrary;
  printf("GetQuoKyVersion: %d\n", entry());
  return kExitOk;
}

// ---- share-disk ----

constexpr char kShareDiskHelp[] =
    "usage: pwctl share-disk\n"
    "\n"
    "Has the service write SHARE_DK.APC (\"K02\") and prints its storage UPS records as a table\n"
    "(GetKyShareDiskStatus): address, name and state (2 on line, 1 not on line, -1 unread).\n"
    "It may wait about a minute for the service and retry the service for about six minutes\n"
    "(both shortened by QUORIN_TIME_SCALE).\n";

const char *ShareDiskWords(int result) {
  for (const ShareDiskText &t : kShareDiskTexts)
    if (t.result == result) return t.text;
  return "unknown result";
}

const char *StateWords(int32_t state) {
  switch (state) {
    case 2:
      return "on line";
    case 1:
      return "not on line";
    case -1:
      return "unread";
    default:
      return "unknown";
  }
}

int VerbShareDisk(int argc, char **argv) {
  int parsed = ParseHelpOnly(argc, argv, kShareDiskHelp);
  if (parsed != 0) return parsed > 0 ? kExitOk : -parsed;
  if (optind != argc) return UsageError(argv[0], std::string("unexpected argument '") + argv[optind] + "'");
  auto entry = reinterpret_cast<GetKyShareDiskStatusFn>(Entry("GetKyShareDiskStatus"));
  if (entry == nullptr) return kExitLibrary;
  // A size query, then the copy; the file may grow in between (another "K02"), so a buffer
  // found too small is sized again.
  uint32_t size = 0;
  int result = entry(nullptr, &size);
  std::vector<uint8_t> bytes;
  for (int tries = 0; result == 0 && tries < kShareDiskTries; ++tries) {
    bytes.assign(size, 0);
    result = entry(bytes.data(), &size);
    if (result != 2) break;
  }
  if (result != 0) {
    fprintf(stderr, "GetKyShareDiskStatus: failed: %d (%s)\n", result, ShareDiskWords(result));
    return kExitFailed;
  }
  printf("GetKyShareDiskStatus: OK, %u bytes of SHARE_DK.APC, %zu storage UPS\n", size,
         bytes.size() / kShareDiskRecordSize);
  printf("%-16s %-24s %s\n", "address", "name", "state");
  for (size_t at = 0; at + kShareDiskRecordSize <= bytes.size(); at += kShareDiskRecordSize) {
    const char *address = reinterpret_cast<const char *>(bytes.data() + at);
    const char *name = address + kShareDiskTextField;
    const uint8_t *s = bytes.data() + at + 2 * kShareDiskTextField;
    int32_t state =
        static_cast<int32_t>(static_cast<uint32_t>(s[0]) | static_cast<uint32_t>(s[1]) << 8 |
                             static_cast<uint32_t>(s[2]) << 16 | static_cast<uint32_t>(s[3]) << 24);
    printf("%-16.*s %-24.*s %d (%s)\n", static_cast<int>(strnlen(address, kShareDiskTextField)), address,
           static_cast<int>(strnlen(name, kShareDiskTextField)), name, state, StateWords(state));
  }
  if (bytes.size() % kShareDiskRecordSize != 0)
    printf("(%zu bytes after the last whole record)\n", bytes.size() % kShareDiskRecordSize);
  return kExitOk;
}

// ---- watch-power ----

constexpr char kWatchPowerHelp[] =
    "usage: pwctl watch-power [--from N] [--count N]\n"
    "\n"
    "Prints the UPS power status of the section pwdownDllCmMemory (GetUpsPowerStatus), then\n"
    "every change of it, until Ctrl-C (or SIGTERM), which ends the wait through\n"
    "StopUpsPowerStatus.\n"
    "  --from N     the status taken as known at the start: only a value other than N is\n"
    "               printed first (default: the current value is printed at once)\n"
    "  --count N    end after N changes have been printed (N at least 1)\n"
    "  --help       this text\n";

std::atomic<bool> g_Interrupted{false};

extern "C" void OnInterrupt(int) {
  g_Interrupted = true;
}

int VerbWatchPower(int argc, char **argv) {
  static const option kOptions[] = {{"from", required_argument, nullptr, 'f'},
                                    {"count", required_argument, nullptr, 'c'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  // The start value: one that no producer is expected to write, so that the current value is
  // printed at once.
  int known = INT_MIN;
  int count = 0;
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":f:c:h", kOptions, nullptr)) != -1) {
    if (c == 'f') {
      if (!ParseInt32(optarg, &known))
        return UsageError(argv[0], std::string("--from must be a 32-bit integer, not '") + optarg + "'");
    } else if (c == 'c') {
      if (!ParseInt32(optarg, &count) || count < 1)
        return UsageError(argv[0], std::string("--count must be a whole number from 1 to 2147483647, not '") +
                                       optarg + "'");
    } else if (c == 'h') {
      fputs(kWatchPowerHelp, stdout);
      return kExitOk;
    } else if (c == ':') {
      return UsageError(argv[0], std::string(argv[optind - 1]) + " needs a value");
    } else {
      return UsageError(argv[0], std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind != argc) return UsageError(argv[0], std::string("unexpected argument '") + argv[optind] + "'");
  auto get = reinterpret_cast<GetUpsPowerStatusFn>(Entry("GetUpsPowerStatus"));
  auto stop = reinterpret_cast<StopUpsPowerStatusFn>(Entry("StopUpsPowerStatus"));
  if (get == nullptr || stop == nullptr) return kExitLibrary;

  // The signal only raises a flag; a thread of its own turns it into StopUpsPowerStatus, and
  // repeats the stop until the watch has ended, in case the signal came between two waits.
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done) {
      if (g_Interrupted) stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  int status = kExitOk;
  int printed = 0;
  while (!g_Interrupted && (count == 0 || printed < count)) {
    int value = known;
    int result = get(&value);
    uint32_t error = GetLastError();
    if (result == 1) {
      printf("GetUpsPowerStatus: power status %d\n", value);
      fflush(stdout);
      known = value;
      ++printed;
      continue;
    }
    if (error == PC_ERR_STOPPED) break;
    status = Report("GetUpsPowerStatus", result, error);
    if (error == ERROR_FILE_NOT_FOUND)
      fprintf(stderr, "pwctl: check that the producer of the section pwdownDllCmMemory runs\n");
    break;
  }
  done = true;
  stopper.join();
  if (status == kExitOk && g_Interrupted) printf("watch-power: stopped (StopUpsPowerStatus)\n");
  fflush(stdout);
  return status;
}

}  // namespace

const Verb kItemsStatusVerbs[] = {
    {"items", VerbItems, "items get [--expression] | set ITEMBYTES CONDITION|--flags HEX | previous"},
    {"cluster-status", VerbClusterStatus,
     "cluster-status               cluster manager and automatic power-on"},
    {"share-disk", VerbShareDisk, "share-disk                   the storage UPS records of SHARE_DK.APC"},
    {"slots", VerbSlots, "slots                        the unit's slot bytes"},
    {"system-type", VerbSystemType, "system-type                  the system type (0, 1, 2)"},
    {"version", VerbVersion, "version                      the interface version"},
    {"status", VerbStatus, "status [--json]              the service and every configured UPS at a glance"},
    {"watch-power", VerbWatchPower,
     "watch-power [--from N] [--count N] UPS power status changes until Ctrl-C"},
};
const size_t kItemsStatusVerbCount = sizeof kItemsStatusVerbs / sizeof kItemsStatusVerbs[0];

}  // namespace pwctl
