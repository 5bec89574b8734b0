// The shutdown verb of upswatch: the host shutdown sequence through the older command "V00" in
// one of its three modes, then what each UPS was told, read back from the SET lines that the
// library wrote to its log during the call, and the answer frame.
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "upswatch.h"

namespace upswatch {

namespace {

constexpr int kUnitSlots = 130;
constexpr int kAddressSize = 64;
constexpr int kStatusWords = 9;
constexpr char kFreeSlot[] = "127.0.0.1";

// The modes and the first data character of "V00" that selects each.
struct Mode {
  const char *name;
  const char *data;
  const char *meaning;
};
constexpr Mode kModes[] = {
    {"scheduled", "3", "scheduled power-off: every UPS goes to sleep"},
    {"off", "4", "power-off without schedule: every UPS turns off"},
    {"powerfail", "0", "after a power failure: by the power-fail marks, \"UPS_Off\" and the settings"},
};
constexpr const char *kPowerFailMode = "powerfail";
// Checks before a power-failure sequence: a unit is marked due only at a check after the one
// that first saw it on battery.
constexpr int kChecksBeforePowerFail = 2;
constexpr uint32_t kOnBattery = 0x10, kShutdownDue = 0x08;  // word 0
constexpr uint32_t kSwitchedOff = 0x80;                     // word 1

// The variables the sequence writes, by name.
struct Variable {
  const char *oid;
  const char *name;
};
constexpr Variable kVariables[] = {
    {".1.3.6.1.4.1.318.1.1.1.6.2.3.0", "sleep (putUpsToSleepGracefully)"},
    {".1.3.6.1.4.1.318.1.1.1.6.2.1.0", "turn off (upsAdvControlUpsOff)"},
    {".1.3.6.1.4.1.318.1.1.1.6.1.1.0", "conserve battery (upsBasicControlConserveBattery)"},
    {".1.3.6.1.4.1.318.1.1.1.5.2.11.0", "sleep time in ticks (0 = until power returns)"},
};

// One SET the library logged: the slot, the variable, the value and how the card answered.
struct SetRecord {
  std::string variable;
  std::string value;
  std::string outcome = "no answer line";
};

std::string VariableName(const char *oid) {
  for (const Variable &v : kVariables) {
    if (strcmp(v.oid, oid) == 0) return v.name;
  }
  return oid;
}

// The SETs by unit-table slot, from the lines of SnmpSetByIndex: the request line, the value
// line and the answer line that follow it.
std::map<int, std::vector<SetRecord>> SetsBySlot(const std::vector<LogLine> &lines) {
  std::map<int, std::vector<SetRecord>> sets;
  SetRecord *open = nullptr;
  for (const LogLine &line : lines) {
    const char *text = line.text.c_str();
    int slot = -1;
    char address[kAddressSize] = {0};
    char oid[128] = {0};
    int type = 0;
    char status[64] = {0};
    if (sscanf(text, "[UPS%d(%63[^)])]SET OID=%127s", &slot, address, oid) == 3) {
      sets[slot].push_back({VariableName(oid), "?"});
      open = &sets[slot].back();
    } else if (open != nullptr && sscanf(text, " SET  value type=%d value data=", &type) == 1) {
      const char *data = strstr(text, "value data=") + strlen("value data=");
      unsigned number = 0;
      if (strncmp(data, "0x", 2) == 0)
        sscanf(data + 2, "%x", &number);
      else
        sscanf(data, "%u", &number);
      open->value = std::to_string(number);
    } else if (open != nullptr && strncmp(text, " SNMP request(SET) success", 26) == 0) {
      open->outcome = "accepted";
      open = nullptr;
    } else if (open != nullptr &&
               sscanf(text, "SNMP Error[UPS%d]: SNMP_ERRORSTATUS_%63[A-Z]", &slot, status) == 2) {
      open->outcome = std::string("refused (") + status + ")";
      open = nullptr;
    } else if (open != nullptr && strncmp(text, "error on SnmpMgrRequest[UPS", 27) == 0) {
      open->outcome = "no answer";
      open = nullptr;
    } else if (open != nullptr && strncmp(text, "error on SnmpMgrOpen[UPS", 24) == 0) {
      open->outcome = "no session";
      open = nullptr;
    }
  }
  return sets;
}

void PrintShutdownHelp() {
  printf(
      "usage: %s shutdown --mode scheduled|off|powerfail\n"
      "Runs the host shutdown sequence of %s through the older command \"V00\" and prints\n"
      "what each configured UPS was told (from the SET lines of DATA\\SNMPUPS.LOG written during\n"
      "the call) and the answer frame.\n"
      "  --mode scheduled  scheduled power-off: every UPS goes to sleep (\"V00\" data \"3\")\n"
      "  --mode off        power-off without schedule: every UPS turns off (data \"4\")\n"
      "  --mode powerfail  after a power failure: by the power-fail marks, \"UPS_Off\" and the\n"
      "                    settings (data \"0\"); the marks are those of two checks of the\n"
      "                    check engine run first in this process, which time each UPS on\n"
      "                    battery by the card's own counter\n"
      "exit status: 0 when the answer's status is \"0\", 1 otherwise.\n",
      kProgram, kLibraryName);
}

}  // namespace

int VerbShutdown(int argc, char **argv) {
  static const option kOptions[] = {{"mode", required_argument, nullptr, 'm'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  const Mode *mode = nullptr;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'm':
        mode = nullptr;
        for (const Mode &m : kModes) {
          if (strcmp(m.name, optarg) == 0) mode = &m;
        }
        if (mode == nullptr) {
          fprintf(stderr, "%s: --mode is scheduled, off or powerfail, not \"%s\"\n", kProgram, optarg);
          return kExitUsage;
        }
        break;
      case 'h':
        PrintShutdownHelp();
        return kExitOk;
      default:
        return kExitUsage;
    }
  }
  if (mode == nullptr || optind != argc) {
    fprintf(stderr, "%s: shutdown takes --mode scheduled|off|powerfail and nothing else\n", kProgram);
    return kExitUsage;
  }
  auto unit_state = ExportAs<QuoKyGetUnitStateFn>("QuoKyGetUnitState");
  if (unit_state == nullptr) return kExitLibrary;
  bool power_fail = strcmp(mode->name, kPowerFailMode) == 0;
  if (power_fail) {
    auto check = ExportAs<QuoKySnmpCheckFn>("QuoKySnmpCheck");
    if (check == nullptr) return kExitLibrary;
    for (int i = 0; i < kChecksBeforePowerFail; ++i) check();
    for (int slot = 0; slot < kUnitSlots; ++slot) {
      char address[kAddressSize] = {0};
      uint32_t words[kStatusWords] = {0};
      if (unit_state(slot, address, words) != 1) continue;
      address[kAddressSize - 1] = '\0';
      if (strcmp(address, kFreeSlot) == 0) continue;
      printf("slot %d %s: %s%s%s\n", slot, address, (words[0] & kOnBattery) ? "on battery" : "on line",
             (words[0] & kShutdownDue) ? ", due to shut down" : "",
             (words[1] & kSwitchedOff) ? ", switched off" : "");
    }
  }

  char frame[kLegacyFrameRoom];
  std::string error;
  if (!BuildLegacyFrame(std::string("V000001") + mode->data, frame, &error)) {
    fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return kExitFailed;
  }
  size_t mark = LibraryLogMark();
  PrintEvent("V00 %s: %s", mode->name, mode->meaning);
  int result = 0;
  if (!SendLegacyFrame(frame, &result)) return kExitLibrary;
  PrintEvent("V00 done");

  std::vector<LogLine> lines = LibraryLogSince(mark);
  bool logged = false;
  for (const LogLine &line : lines) logged = logged || line.text == "QuoPcShutDown...";
  if (!logged)
    fprintf(stderr,
            "%s: the call's lines are not in DATA\\SNMPUPS.LOG under the install directory (\"PathName\" in "
            "QUORIN_REGISTRY): what each UPS was told is not known\n",
            kProgram);
  std::map<int, std::vector<SetRecord>> sets = SetsBySlot(lines);
  for (int slot = 0; slot < kUnitSlots; ++slot) {
    char address[kAddressSize] = {0};
    uint32_t words[kStatusWords] = {0};
    if (unit_state(slot, address, words) != 1) continue;
    address[kAddressSize - 1] = '\0';
    if (strcmp(address, kFreeSlot) == 0 && sets.count(slot) == 0) continue;
    auto found = sets.find(slot);
    if (found == sets.end()) {
      if (logged) printf("slot %d %s: told nothing\n", slot, address);
      continue;
    }
    for (const SetRecord &set : found->second)
      printf("slot %d %s: %s := %s, %s\n", slot, address, set.variable.c_str(), set.value.c_str(),
             set.outcome.c_str());
  }
  PrintLegacyAnswer(frame);
  return result == 0 ? kExitOk : kExitFailed;
}

}  // namespace upswatch
