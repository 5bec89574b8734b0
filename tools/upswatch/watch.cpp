// The watch verb of upswatch: the start-up wait, then the check engine at a steady pace on one
// thread and the trap monitor on another, every report printed raw and in words, until SIGINT
// or SIGTERM; or, with --once, one table of every configured UPS.
//
// Threads: the checker calls QuoKySnmpCheck and waits on the stop event between calls; the
// monitor calls TarvosLumoGet again after every return; the main thread waits for the stop
// request, then stops the monitor with TarvosLumoStop (repeated until the monitor thread has
// left, since a stop that finds no call running does nothing) and joins both.
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "upswatch.h"

namespace upswatch {

namespace {

constexpr double kDefaultIntervalSeconds = 5.0;
constexpr double kLongestIntervalSeconds = 86400.0;
constexpr int kUnitSlots = 130;
constexpr int kListSlots = 16;
constexpr int kAddressSize = 64;
constexpr int kStatusWords = 9;
constexpr char kFreeSlot[] = "127.0.0.1";
// Room for a report: 48 characters and the terminator, with margin.
constexpr size_t kReportRoom = 64;
constexpr size_t kReportLength = 48;
// QuoKyGetInfo types of the further address lists and of the community.
constexpr unsigned kInfoListS = 2, kInfoListO = 3, kInfoCommunity = 4;

// Bits of the status words, as the library keeps them.
constexpr uint32_t kOnBattery = 0x10, kShutdownDue = 0x08;      // word 0
constexpr uint32_t kSwitchedOff = 0x80, kTurnedOffTrap = 0x01;  // word 1

// The time-on-battery counter, read by this program itself for the table (no export hands it
// out without also writing to the card).
constexpr char kTimeOnBatteryOid[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";
constexpr uint32_t kGetTimeOutMs = 200, kGetRetries = 2;

// Names of the output status values (upsBasicOutputStatus).
constexpr const char *kOutputStatusNames[] = {nullptr,
                                              "unknown",
                                              "onLine",
                                              "onBattery",
                                              "onSmartBoost",
                                              "timedSleeping",
                                              "softwareBypass",
                                              "off",
                                              "rebooting",
                                              "switchedBypass",
                                              "hardwareFailureBypass",
                                              "sleepingUntilPowerReturn",
                                              "onSmartTrim"};

struct Exports {
  WaitDaskStartUpFn wait_start_up;
  QuoKySnmpCheckFn check;
  TarvosLumoGetFn get;
  TarvosLumoStopFn stop;
  GetDasklumoDllVersionFn version;
  QuoKyGetInfoFn info;
  QuoKyGetUnitStateFn unit_state;
  GetUpsStatusFromSnmpFn output_status;
};

bool BindExports(Exports *e) {
  e->wait_start_up = ExportAs<WaitDaskStartUpFn>("WaitDaskStartUp");
  e->check = ExportAs<QuoKySnmpCheckFn>("QuoKySnmpCheck");
  e->get = ExportAs<TarvosLumoGetFn>("TarvosLumoGet");
  e->stop = ExportAs<TarvosLumoStopFn>("TarvosLumoStop");
  e->version = ExportAs<GetDasklumoDllVersionFn>("GetDasklumoDllVersion");
  e->info = ExportAs<QuoKyGetInfoFn>("QuoKyGetInfo");
  e->unit_state = ExportAs<QuoKyGetUnitStateFn>("QuoKyGetUnitState");
  e->output_status = ExportAs<GetUpsStatusFromSnmpFn>("GetUpsStatusFromSnmp");
  return e->wait_start_up != nullptr && e->check != nullptr && e->get != nullptr && e->stop != nullptr &&
         e->version != nullptr && e->info != nullptr && e->unit_state != nullptr &&
         e->output_status != nullptr;
}

// One UPS of the configuration: its place ("slot 3", "S0", "O15"), address and, for the unit
// table, its slot.
struct Unit {
  std::string place;
  std::string address;
  int slot = -1;
};

std::vector<Unit> ConfiguredUnits(const Exports &e) {
  std::vector<Unit> units;
  for (int slot = 0; slot < kUnitSlots; ++slot) {
    char address[kAddressSize] = {0};
    uint32_t words[kStatusWords] = {0};
    if (e.unit_state(slot, address, words) != 1 || strcmp(address, kFreeSlot) == 0) continue;
    units.push_back({"slot " + std::to_string(slot), address, slot});
  }
  const struct {
    unsigned type;
    const char *prefix;
  } lists[] = {{kInfoListS, "S"}, {kInfoListO, "O"}};
  for (const auto &list : lists) {
    char addresses[kListSlots][kAddressSize];
    memset(addresses, 0, sizeof addresses);
    e.info(addresses, list.type);
    for (int i = 0; i < kListSlots; ++i) {
      addresses[i][kAddressSize - 1] = '\0';
      if (addresses[i][0] != '\0') units.push_back({list.prefix + std::to_string(i), addresses[i], -1});
    }
  }
  return units;
}

std::string OutputStatusText(int status) {
  int count = static_cast<int>(sizeof kOutputStatusNames / sizeof kOutputStatusNames[0]);
  std::string text = std::to_string(status);
  if (status > 0 && status < count) text += std::string(" ") + kOutputStatusNames[status];
  return text;
}

// The marks of words 0 and 1 in words, or "-" when none is set.
std::string MarksText(uint32_t word0, uint32_t word1) {
  std::string text;
  auto add = [&](bool on, const char *name) {
    if (!on) return;
    if (!text.empty()) text += ", ";
    text += name;
  };
  add(word0 & kOnBattery, "on battery");
  add(word0 & kShutdownDue, "calls for shut-down");
  add(word1 & kSwitchedOff, "switched off");
  add(word1 & kTurnedOffTrap, "turned-off trap");
  return text.empty() ? "-" : text;
}

std::string OtherUpsText(uint32_t state) {
  if (state == 0) return "normal";
  std::string text;
  if (state & kOnBattery) text = "on battery";
  if (state & kShutdownDue) text += std::string(text.empty() ? "" : ", ") + "call for shut-down";
  return text.empty() ? "state " + std::to_string(state) : text;
}

// Seconds on battery by the card's own counter, or -1 when the card did not answer.
long SecondsOnBattery(const std::string &address, const char *community) {
  qp_snmp_session *session = qp_snmp_open(address.c_str(), community, kGetTimeOutMs, kGetRetries);
  if (session == nullptr) return -1;
  qp_snmp_varbind request{}, answer{};
  qp_snmp_oid_from_text(kTimeOnBatteryOid, &request.name);
  request.value.type = QP_ASN_NULL;
  uint32_t status = 0, index = 0;
  long seconds = -1;
  if (qp_snmp_request(session, QP_SNMP_PDU_GET, &request, &answer, &status, &index) == 1 && status == 0 &&
      answer.value.type == QP_ASN_TIMETICKS)
    seconds = static_cast<long>(answer.value.number / 100);
  qp_snmp_value_free(&answer.value);
  qp_snmp_close(session);
  return seconds;
}

// ---- --once ----

int PrintTable(const Exports &e, const std::vector<Unit> &units) {
  char community[kAddressSize] = {0};
  e.info(community, kInfoCommunity);
  community[kAddressSize - 1] = '\0';
  printf("%-9s %-16s %-28s %-11s %s\n", "UPS", "address", "output status", "on battery", "marks");
  for (const Unit &unit : units) {
    int status = 0;
    std::string status_text =
        e.output_status(unit.address.c_str(), &status) == 1 ? OutputStatusText(status) : "no answer";
    long seconds = SecondsOnBattery(unit.address, community);
    std::string battery = seconds < 0 ? "-" : std::to_string(seconds) + " s";
    std::string marks = "-";
    if (unit.slot >= 0) {
      char address[kAddressSize] = {0};
      uint32_t words[kStatusWords] = {0};
      if (e.unit_state(unit.slot, address, words) == 1) marks = MarksText(words[0], words[1]);
    }
    printf("%-9s %-16s %-28s %-11s %s\n", unit.place.c_str(), unit.address.c_str(), status_text.c_str(),
           battery.c_str(), marks.c_str());
  }
  fflush(stdout);
  return kExitOk;
}

// ---- Reports ----

uint32_t HexByte(const char *text) {
  char two[3] = {text[0], text[1], '\0'};
  return static_cast<uint32_t>(strtoul(two, nullptr, 16));
}

// The units of the unit table whose nine words are those of REPORT.
std::string ReportedUnit(const Exports &e, const std::vector<Unit> &units, const uint32_t *words) {
  std::string found;
  for (const Unit &unit : units) {
    if (unit.slot < 0) continue;
    char address[kAddressSize] = {0};
    uint32_t now[kStatusWords] = {0};
    if (e.unit_state(unit.slot, address, now) != 1 || memcmp(now, words, sizeof now) != 0) continue;
    found += (found.empty() ? "" : " or ") + unit.place + " (" + unit.address + ")";
  }
  return found.empty() ? "a unit not identified (its state changed since)" : found;
}

void PrintReport(const Exports &e, const std::vector<Unit> &units, int result, const char *report) {
  std::string raw(report, strnlen(report, kReportLength));
  bool well_formed = raw.size() == kReportLength;
  if (result != 0) {
    const char *why = !well_formed        ? "not understood"
                      : raw.back() == '8' ? "the monitor was stopped"
                      : raw.back() == '1' ? "the trap-argument OID could not be formed"
                                          : "unknown error code";
    PrintEvent("error report %s (%d): %s", raw.c_str(), result, why);
    return;
  }
  if (!well_formed || raw.compare(0, 7, "8010012") != 0) {
    PrintEvent("report %s: not understood", raw.c_str());
    return;
  }
  uint32_t words[kStatusWords];
  for (int i = 0; i < kStatusWords; ++i) words[i] = HexByte(report + 7 + 2 * i);
  uint32_t other = HexByte(report + 25);
  PrintEvent("report %s\n    UPS: %s; state: %s; other servers' UPS: %s", raw.c_str(),
             ReportedUnit(e, units, words).c_str(), MarksText(words[0], words[1]).c_str(),
             OtherUpsText(other).c_str());
}

// ---- Watching ----

struct Watch {
  const Exports *e;
  const std::vector<Unit> *units;
  qp_event *stop;
  uint32_t interval_ms;  // real milliseconds between checks
  std::atomic<bool> stopping{false};
  std::atomic<bool> monitor_done{false};
};

void RunChecker(Watch *w) {
  do {
    w->e->check();
  } while (qp_event_wait(w->stop, w->interval_ms) == QP_WAIT_TIMEOUT);
}

void RunMonitor(Watch *w) {
  while (!w->stopping.load()) {
    char report[kReportRoom] = {0};
    int result = w->e->get(0, 0, report);
    if (w->stopping.load() && result != 0) break;
    PrintReport(*w->e, *w->units, result, report);
    // An error report other than a stop would come back at once: wait one interval first.
    if (result != 0) qp_event_wait(w->stop, w->interval_ms);
  }
  w->monitor_done.store(true);
}

bool ParseInterval(const char *text, double *seconds) {
  char *end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0) || value > kLongestIntervalSeconds) return false;
  *seconds = value;
  return true;
}

void PrintWatchHelp() {
  printf(
      "usage: %s [watch] [--interval SECONDS] [--once]\n"
      "Waits for the UPS cards (WaitDaskStartUp), then runs the check engine every SECONDS\n"
      "(QuoKySnmpCheck, default 5) and the trap monitor (TarvosLumoGet) until SIGINT or SIGTERM,\n"
      "and prints every report with a time stamp, raw and in words. Reports readiness to systemd.\n"
      "  --interval SECONDS  pace of the check engine (a decimal number above 0)\n"
      "  --once              run the check engine twice and print one table of every UPS\n"
      "Waits follow QUORIN_TIME_SCALE.\n",
      kProgram);
}

}  // namespace

int VerbWatch(int argc, char **argv) {
  static const option kOptions[] = {{"interval", required_argument, nullptr, 'i'},
                                    {"once", no_argument, nullptr, 'o'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  double interval_s = kDefaultIntervalSeconds;
  bool once = false;
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'i':
        if (!ParseInterval(optarg, &interval_s)) {
          fprintf(stderr, "%s: --interval needs a number of seconds above 0 and at most %.0f, not \"%s\"\n",
                  kProgram, kLongestIntervalSeconds, optarg);
          return kExitUsage;
        }
        break;
      case 'o':
        once = true;
        break;
      case 'h':
        PrintWatchHelp();
        return kExitOk;
      default:
        return kExitUsage;
    }
  }
  if (optind != argc) {
    fprintf(stderr, "%s: unexpected argument \"%s\"\n", kProgram, argv[optind]);
    return kExitUsage;
  }

  Exports e;
  if (!BindExports(&e)) return kExitLibrary;
  qp_event *stop = qp_console_stop_event();
  if (stop == nullptr) {
    fprintf(stderr, "%s: cannot take the stop signals: %s\n", kProgram, ErrorText(GetLastError()).c_str());
    return kExitFailed;
  }
  char version[16] = {0};
  e.version(version);
  version[sizeof version - 1] = '\0';
  std::vector<Unit> units = ConfiguredUnits(e);
  PrintEvent("%s %s, %zu UPS configured; waiting for the UPS cards", kLibraryName, version, units.size());
  if (e.wait_start_up(0) != 1) {
    fprintf(stderr,
            "%s: no UPS card answered: check the cards, the addresses (UPS_IP, UPS_IP1 ...) and the "
            "community (UPS_Com) in DATA\\snmp.apc, and QUORIN_SNMP_PORT\n",
            kProgram);
    return kExitFailed;
  }
  // A stop requested during the start-up wait, which cannot be interrupted, ends the program now.
  if (qp_event_wait(stop, 0) == QP_WAIT_OBJECT_0) {
    PrintEvent("stopped");
    return kExitOk;
  }
  if (once) {
    e.check();
    e.check();  // a unit is marked for shut-down only at a check after the one that saw it on battery
    return PrintTable(e, units);
  }

  double scaled_ms = interval_s * 1000.0 / qp_time_scale();
  Watch w;
  w.e = &e;
  w.units = &units;
  w.stop = stop;
  w.interval_ms = scaled_ms < 1.0 ? 1u : static_cast<uint32_t>(scaled_ms);
  std::thread checker(RunChecker, &w);
  std::thread monitor(RunMonitor, &w);
  qp_console_notify_ready("watching");
  PrintEvent("ready: check engine every %g s, trap monitor running", interval_s);

  qp_event_wait(stop, QP_INFINITE);
  qp_console_notify_stopping();
  PrintEvent("stopping");
  w.stopping.store(true);
  // A stop that finds no monitor call running (between two calls) does nothing: try again until
  // the monitor thread has seen the stop.
  while (!w.monitor_done.load()) {
    e.stop();
    if (!w.monitor_done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  monitor.join();
  checker.join();
  PrintEvent("stopped");
  return kExitOk;
}

}  // namespace upswatch
