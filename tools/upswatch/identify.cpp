// The identify verb of upswatch: UPSCheckSnmpRequest for one UPS of the UPS information file,
// then the record it keeps there and the status line it wrote.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "upswatch.h"

namespace upswatch {

namespace {

// The keys of a unit's section, in the order they are shown.
constexpr const char *kRecordKeys[] = {"IP",       "path",         "UPS_type",     "UPS_Sno.",
                                       "DATE",     "OLD_UPS_type", "OLD_UPS_Sno.", "OLD_DATE",
                                       "CardInfo", "CardMIBrev",   "DATE_card",    "OLD_CardInfo"};
constexpr int kStatusOnly = 1;

void PrintIdentifyHelp() {
  printf(
      "usage: %s identify CODE [--status-only]\n"
      "Runs UPSCheckSnmpRequest for the UPS registered under CODE (a section of\n"
      "DATA\\UPS\\UPSinfo.ini with its \"IP\"): identifies it over SNMP, records it, configures a new\n"
      "or replaced UPS from its section of DATA\\ky_e_net.apc, and writes its status line. Then\n"
      "prints the record and the status line.\n"
      "  --status-only  only the status line (mode 1: the all-dashes line, nothing read)\n"
      "exit status: 0 when the UPS is recorded (or, with --status-only, registered), 1 otherwise.\n",
      kProgram);
}

}  // namespace

int VerbIdentify(int argc, char **argv) {
  static const option kOptions[] = {{"status-only", no_argument, nullptr, 's'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  int mode = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    switch (c) {
      case 's':
        mode = kStatusOnly;
        break;
      case 'h':
        PrintIdentifyHelp();
        return kExitOk;
      default:
        return kExitUsage;
    }
  }
  if (argc - optind != 1) {
    fprintf(stderr, "%s: identify takes one CODE\n", kProgram);
    return kExitUsage;
  }
  char *end = nullptr;
  long code = strtol(argv[optind], &end, 10);
  if (end == argv[optind] || *end != '\0' || code < 0 || code > 99999) {
    fprintf(stderr, "%s: CODE is the number of a section of DATA\\UPS\\UPSinfo.ini, not \"%s\"\n", kProgram,
            argv[optind]);
    return kExitUsage;
  }
  auto check = ExportAs<UPSCheckSnmpRequestFn>("UPSCheckSnmpRequest");
  if (check == nullptr) return kExitLibrary;

  int unit = static_cast<int>(code);
  std::string date_before = InfoValue(unit, "DATE");
  size_t mark = LibraryLogMark();
  int result = check(unit, mode);
  if (result == 0) {
    fprintf(stderr,
            "%s: UPS %d is not registered: section [%d] of DATA\\UPS\\UPSinfo.ini under the install "
            "directory has no \"IP\"\n",
            kProgram, unit, unit);
    return kExitFailed;
  }
  printf("UPS %d\n", unit);
  for (const char *key : kRecordKeys) {
    std::string value = InfoValue(unit, key);
    printf("  %-13s %s\n", key, value.empty() ? "-" : value.c_str());
  }
  std::string status_line = LastUpsLogLine(unit);
  printf("  %-13s [%s]\n", "status line", status_line.c_str());

  if (mode == kStatusOnly) return kExitOk;

  // What the call did, from its lines in the library log.
  char unread_serial[64], unread_model[64];
  snprintf(unread_serial, sizeof unread_serial, "UPSCheckSnmpRequest error1:(%d)", unit);
  snprintf(unread_model, sizeof unread_model, "UPSCheckSnmpRequest error2:(%d)", unit);
  bool unread = false, postponed = false;
  for (const LogLine &line : LibraryLogSince(mark)) {
    unread = unread || line.text.rfind(unread_serial, 0) == 0 || line.text.rfind(unread_model, 0) == 0;
    postponed = postponed || line.text.find("now SyncProgress!") != std::string::npos;
  }
  if (unread) {
    printf("not identified: the UPS did not answer for its serial number or model\n");
    return kExitFailed;
  }
  if (postponed) {
    printf("postponed: an SCG synchronisation is running; the next call tries again\n");
    return kExitFailed;
  }
  if (InfoValue(unit, "UPS_type").empty()) {
    printf("not recorded: the UPS is new and its section has no \"path\" to configure it from\n");
    return kExitFailed;
  }
  printf(InfoValue(unit, "DATE") != date_before ? "configured now: a new or replaced UPS\n"
                                                : "identified: the recorded UPS\n");
  return kExitOk;
}

}  // namespace upswatch
