// pwctl status: the service and every configured UPS at a glance, for an operator (a table) or
// a script (--json), read without changing anything.
//
// What is read, and how:
// - the service Mavr_tsr_monitor: its state, process and status text from the service host
//   (what svcctl query shows; the text says whether "ky_e_net.ini" loaded), and whether its
//   pipe answers "C02", the one command that only reports (no lock, no file, no UPS);
// - the UPS units: "ky_e_net.ini" of the install folder read with the rules the service reads
//   it by, then each UPS through SNMPUPS.DLL loaded from this program's folder: the output
//   status with GetUpsStatusFromSnmp (the read the service's own commands make), and the
//   input voltage and the card's time-on-battery counter with one GET each through the
//   platform's SNMP manager, with the library's community (QuoKyGetInfo) and time-outs. The
//   library's detail exports are not used: they write the low transfer voltage back to the
//   card as a write-access probe, and a status read writes nothing.
// Never sent: "PCS" (it may shut the cluster down), "K02" (it rewrites SHARE_DK.APC and makes
// a concurrent "K02" of pwdown.dll fail), "AD1" and "CSD".
//
// The monitoring marks (on battery, due to shut down, switched off) are not shown: they are
// words in the memory of the process that hosts the library's monitoring (upswatch), which
// publishes them nowhere; this process's own copy of the library has never run a check, so its
// words would read as "no mark" whatever the cards say.
#include <getopt.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "pwctl.h"
#include "pwdown_internal.h"
#include "quorin/platform.h"

namespace pwctl {
namespace {

// ---- Tables ----

constexpr char kServiceName[] = "Mavr_tsr_monitor";
constexpr char kSnmpLibraryName[] = "SNMPUPS.DLL";
constexpr char kConfigName[] = "ky_e_net.ini";
constexpr size_t kInstallPathSize = 260;
constexpr size_t kValueSize = 256;
constexpr size_t kAddressCut = 63;  // as the service cuts an address into its status record
constexpr unsigned kInfoCommunity = 4;
constexpr size_t kCommunitySize = 64;
constexpr int kOutputOnLine = 2;

// Status texts of the service (service_main.cpp) that say whether the configuration loaded.
constexpr char kTextLoaded[] = "configuration loaded:";
constexpr char kTextNotLoaded[] = "CONFIGURATION NOT LOADED";

// Exit statuses of this verb beyond the common ones; the worst finding gives the status.
constexpr int kExitUpsNotOnLine = 4;
constexpr int kExitUpsSilent = 5;
constexpr int kExitConfiguration = 6;
constexpr int kExitServiceDown = 7;

// The variables read besides the output status (PowerNet MIB), and the time-outs of the
// library's status reads.
constexpr char kInputVoltageOid[] = ".1.3.6.1.4.1.318.1.1.1.3.2.1.0";   // Gauge
constexpr char kTimeOnBatteryOid[] = ".1.3.6.1.4.1.318.1.1.1.2.1.2.0";  // TimeTicks
constexpr uint32_t kGetTimeOutMs = 200, kGetRetries = 2;

// The output status values (upsBasicOutputStatus) in words.
constexpr const char *kOutputStatusWords[] = {nullptr,
                                              "unknown",
                                              "on line",
                                              "on battery",
                                              "on smart boost",
                                              "timed sleeping",
                                              "software bypass",
                                              "off",
                                              "rebooting",
                                              "switched bypass",
                                              "hardware failure bypass",
                                              "sleeping until power return",
                                              "on smart trim"};

constexpr char kStatusHelp[] =
    "usage: pwctl status [--json]\n"
    "\n"
    "The service Mavr_tsr_monitor (state, process, whether its configuration loaded, whether its\n"
    "pipe answers) and every UPS of DATA/ky_e_net.ini: role, section, key, address, output\n"
    "status, input voltage and time on battery, read through SNMPUPS.DLL. Sends no command\n"
    "but \"C02\" and writes nothing to the cards.\n"
    "  --json    one JSON object instead of the table\n"
    "  --help    this text\n"
    "\n"
    "exit status: 0 the service runs with its configuration and every UPS is on line;\n"
    "4 a UPS is not on line; 5 a UPS did not answer; 6 the configuration is not loaded or\n"
    "cannot be read; 7 the service is not running or its pipe does not answer (the worst\n"
    "finding counts); 2 usage error; 3 SNMPUPS.DLL not loadable.\n";

// ---- What is found ----

struct ServiceFound {
  bool known = false;  // the service host has a status of it
  uint32_t state = 0;
  uint32_t process_id = 0;
  std::string text;
  bool pipe_answers = false;
  std::string pipe_problem;
};

struct UpsFound {
  const char *role;  // "server" or "storage"
  std::string section, key, address;
  bool answered = false;
  int output_status = 0;
  long input_voltage = -1;       // -1: not read
  long seconds_on_battery = -1;  // -1: not read
};

struct ConfigFound {
  std::string path;
  bool complete = false;
  std::string problem;  // the first fault, in the service's own words
  int servers = 0, storage_units = 0;
  std::vector<UpsFound> ups;
};

// ---- The service ----

ServiceFound ReadService() {
  ServiceFound found;
  qp_service_status status{};
  found.known = qp_service_query_process(kServiceName, &status, &found.process_id) == ERROR_SUCCESS;
  if (!found.known) return found;
  found.state = status.current_state;
  char text[300] = "";
  if (qp_service_query_text(kServiceName, text, sizeof text) == ERROR_SUCCESS) found.text = text;
  if (found.state != QP_SERVICE_RUNNING) return found;
  char reply[kPipeReplyRoom];
  uint32_t done = 0;
  std::string problem;
  if (!PipeExchange("C02 0000", 8, reply, &done, &problem)) {
    found.pipe_problem = problem;
  } else if (done < 8 || memcmp(reply, "C02", 3) != 0 || reply[4] != '0' || reply[5] != '0') {
    found.pipe_problem = "the reply to \"C02\" is not a success";
  } else {
    found.pipe_answers = true;
  }
  return found;
}

// True when the service's status text says its configuration loaded, false when it says it did
// not; UNKNOWN is set when the text says neither.
bool ConfigurationLoaded(const ServiceFound &service, bool *unknown) {
  *unknown = false;
  if (service.text.rfind(kTextLoaded, 0) == 0) return true;
  if (service.text.rfind(kTextNotLoaded, 0) == 0) return false;
  *unknown = true;
  return false;
}

// ---- The configuration ----

// Reads the UPS list of one section as the service does: UPS_NUM above 0, then UPS_IP1 ...
// each present and not empty. False with the service's own words for the fault.
bool ReadSection(const char *role, const std::string &section, const char *path, std::vector<UpsFound> *out,
                 std::string *problem) {
  int32_t count = qp_profile_get_int(section.c_str(), "UPS_NUM", 0, path);
  if (count <= 0) {
    *problem = "Invalid UPS_NUM in [" + section + "]";
    return false;
  }
  std::vector<UpsFound> read;
  for (int32_t k = 1; k <= count; ++k) {
    char key[64], value[kValueSize];
    snprintf(key, sizeof key, "UPS_IP%d", k);
    if (qp_profile_get_string(section.c_str(), key, "", value, sizeof value, path) == 0 || value[0] == '\0') {
      *problem = "Missing " + std::string(key) + " in [" + section + "]";
      return false;
    }
    UpsFound ups;
    ups.role = role;
    ups.section = section;
    ups.key = key;
    ups.address = std::string(value).substr(0, kAddressCut);
    read.push_back(ups);
  }
  out->insert(out->end(), read.begin(), read.end());
  return true;
}

ConfigFound ReadConfiguration() {
  ConfigFound found;
  char install[kInstallPathSize];
  if (!GetReg_LumoPathName(install, sizeof install)) {
    found.problem =
        "no install folder: the registry (QUORIN_REGISTRY) has no \"PathName\" under "
        "SOFTWARE\\Tarvos\\QUORIN/MVL";
    return found;
  }
  char path[kInstallPathSize + 32];
  snprintf(path, sizeof path, "%s\\DATA\\%s", install, kConfigName);
  char shown[kInstallPathSize + 32];
  found.path = qp_path_resolve(path, shown, sizeof shown) ? shown : path;
  uint32_t check = qp_file_check_regular(path, QP_PROFILE_MAX_SIZE);
  if (check != ERROR_SUCCESS) {
    const char *name = qp_error_name(check);
    found.problem = check == ERROR_FILE_NOT_FOUND || check == ERROR_PATH_NOT_FOUND
                        ? std::string("Config file not found")
                        : std::string("Config file refused: ") + (name != nullptr ? name : "unreadable");
    return found;
  }
  found.servers = qp_profile_get_int("common", "TSR_SVR_NUM", 0, path);
  if (found.servers <= 0) {
    found.problem = "Invalid TSR_SVR_NUM in [common]";
    return found;
  }
  found.storage_units = qp_profile_get_int("common", "Storage_NUM", 0, path);
  if (found.storage_units < 0) {
    found.problem = "Invalid Storage_NUM in [common]";
    return found;
  }
  for (int n = 1; n <= found.servers; ++n)
    if (!ReadSection("server", "Server" + std::to_string(n), path, &found.ups, &found.problem)) return found;
  for (int n = 1; n <= found.storage_units; ++n)
    if (!ReadSection("storage", "Storage" + std::to_string(n), path, &found.ups, &found.problem))
      return found;
  found.complete = true;
  return found;
}

// ---- The UPS units ----

// One GET of OID from ADDRESS: the number of an answer of TYPE, or -1.
long GetNumber(const std::string &address, const char *community, const char *oid, uint8_t type) {
  qp_snmp_session *session = qp_snmp_open(address.c_str(), community, kGetTimeOutMs, kGetRetries);
  if (session == nullptr) return -1;
  qp_snmp_varbind request{}, answer{};
  qp_snmp_oid_from_text(oid, &request.name);
  request.value.type = QP_ASN_NULL;
  uint32_t status = 0, index = 0;
  long number = -1;
  if (qp_snmp_request(session, QP_SNMP_PDU_GET, &request, &answer, &status, &index) == 1 &&
      status == QP_SNMP_ERRORSTATUS_NOERROR && answer.value.type == type)
    number = static_cast<long>(answer.value.number);
  qp_snmp_value_free(&answer.value);
  qp_snmp_close(session);
  return number;
}

using GetUpsStatusFromSnmpFn = int (*)(const char *address, int *output_status);
using QuoKyGetInfoFn = int (*)(void *out, unsigned type);

// Reads every UPS through SNMPUPS.DLL beside this program. False (with a message) when the
// library cannot be loaded or lacks an export.
bool ReadUpsUnits(std::vector<UpsFound> *units) {
  if (units->empty()) return true;
  char program[1024];
  if (qp_module_file_name(program, sizeof program) == 0) {
    fprintf(stderr, "pwctl: cannot find its own folder: %s\n", ErrorText(GetLastError()).c_str());
    return false;
  }
  std::string path = program;
  size_t slash = path.find_last_of('/');
  path = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + kSnmpLibraryName;
  // Kept loaded until the process ends, as the library's locks live as long as the process.
  static qp_library *library = nullptr;
  library = qp_library_load(path.c_str());
  if (library == nullptr) {
    fprintf(stderr, "pwctl: cannot load %s: %s; check that it lies beside pwctl\n", path.c_str(),
            ErrorText(GetLastError()).c_str());
    return false;
  }
  auto output_status =
      reinterpret_cast<GetUpsStatusFromSnmpFn>(qp_library_symbol(library, "GetUpsStatusFromSnmp"));
  auto info = reinterpret_cast<QuoKyGetInfoFn>(qp_library_symbol(library, "QuoKyGetInfo"));
  if (output_status == nullptr || info == nullptr) {
    fprintf(stderr, "pwctl: %s lacks GetUpsStatusFromSnmp or QuoKyGetInfo\n", path.c_str());
    return false;
  }
  char community[kCommunitySize] = {0};
  info(community, kInfoCommunity);
  community[kCommunitySize - 1] = '\0';
  for (UpsFound &ups : *units) {
    int status = 0;
    ups.answered = output_status(ups.address.c_str(), &status) == 1;
    if (!ups.answered) continue;  // a silent card would only cost two more time-outs
    ups.output_status = status;
    ups.input_voltage = GetNumber(ups.address, community, kInputVoltageOid, QP_ASN_GAUGE);
    long ticks = GetNumber(ups.address, community, kTimeOnBatteryOid, QP_ASN_TIMETICKS);
    ups.seconds_on_battery = ticks < 0 ? -1 : ticks / 100;
  }
  return true;
}

// ---- Output ----

std::string OutputStatusWords(const UpsFound &ups) {
  if (!ups.answered) return "no answer";
  int count = static_cast<int>(sizeof kOutputStatusWords / sizeof kOutputStatusWords[0]);
  std::string text = std::to_string(ups.output_status);
  if (ups.output_status > 0 && ups.output_status < count)
    text += std::string(" ") + kOutputStatusWords[ups.output_status];
  return text;
}

std::string Json(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonNumber(long value) {
  return value < 0 ? "null" : std::to_string(value);
}

int Verdict(const ServiceFound &service, const ConfigFound &config, bool loaded, bool loaded_unknown) {
  if (!service.known || service.state != QP_SERVICE_RUNNING || !service.pipe_answers) return kExitServiceDown;
  if (!config.complete || (!loaded && !loaded_unknown)) return kExitConfiguration;
  int status = kExitOk;
  for (const UpsFound &ups : config.ups) {
    if (!ups.answered) return kExitUpsSilent;
    if (ups.output_status != kOutputOnLine) status = kExitUpsNotOnLine;
  }
  return status;
}

void PrintJson(const ServiceFound &service, const ConfigFound &config, bool loaded, bool loaded_unknown,
               int verdict) {
  printf(
      "{\"service\":{\"name\":%s,\"state\":%s,\"state_code\":%s,\"pid\":%s,\"status_text\":%s,"
      "\"configuration_loaded\":%s,\"pipe_answers\":%s},\n",
      Json(kServiceName).c_str(), service.known ? Json(qp_service_state_name(service.state)).c_str() : "null",
      service.known ? std::to_string(service.state).c_str() : "null",
      service.process_id != 0 ? std::to_string(service.process_id).c_str() : "null",
      service.known ? Json(service.text).c_str() : "null",
      loaded_unknown ? "null" : (loaded ? "true" : "false"), service.pipe_answers ? "true" : "false");
  printf(
      " \"configuration\":{\"path\":%s,\"complete\":%s,\"problem\":%s,\"servers\":%d,\"storage_units\":%d},"
      "\n",
      config.path.empty() ? "null" : Json(config.path).c_str(), config.complete ? "true" : "false",
      config.problem.empty() ? "null" : Json(config.problem).c_str(), config.servers, config.storage_units);
  printf(" \"ups\":[");
  for (size_t i = 0; i < config.ups.size(); ++i) {
    const UpsFound &u = config.ups[i];
    printf(
        "%s\n  {\"role\":%s,\"section\":%s,\"key\":%s,\"address\":%s,\"answered\":%s,\"output_status\":%s,"
        "\"output_status_text\":%s,\"on_line\":%s,\"input_voltage\":%s,\"seconds_on_battery\":%s}",
        i == 0 ? "" : ",", Json(u.role).c_str(), Json(u.section).c_str(), Json(u.key).c_str(),
        Json(u.address).c_str(), u.answered ? "true" : "false",
        u.answered ? std::to_string(u.output_status).c_str() : "null", Json(OutputStatusWords(u)).c_str(),
        u.answered && u.output_status == kOutputOnLine ? "true" : "false",
        JsonNumber(u.input_voltage).c_str(), JsonNumber(u.seconds_on_battery).c_str());
  }
  printf("],\n \"exit_status\":%d}\n", verdict);
}

void PrintTable(const ServiceFound &service, const ConfigFound &config, int verdict) {
  if (!service.known) {
    printf("service        %s: no status\n", kServiceName);
  } else {
    printf("service        %s: %s", kServiceName, qp_service_state_name(service.state));
    if (service.process_id != 0) printf(", pid %u", service.process_id);
    if (service.state == QP_SERVICE_RUNNING)
      fputs(service.pipe_answers ? ", pipe answers" : ", pipe does not answer", stdout);
    printf("\n");
    if (!service.text.empty()) printf("status text    %s\n", service.text.c_str());
  }
  if (config.path.empty())
    printf("configuration  %s\n", config.problem.c_str());
  else if (config.complete)
    printf("configuration  %s: %d servers, %d storage units, %zu UPS\n", config.path.c_str(), config.servers,
           config.storage_units, config.ups.size());
  else
    printf("configuration  %s: %s\n", config.path.c_str(), config.problem.c_str());
  if (!config.ups.empty()) {
    printf("%-8s %-10s %-8s %-16s %-28s %-8s %s\n", "role", "section", "key", "address", "output status",
           "input", "on battery");
    for (const UpsFound &u : config.ups) {
      std::string voltage = u.input_voltage < 0 ? "-" : std::to_string(u.input_voltage) + " V";
      std::string battery = u.seconds_on_battery < 0 ? "-" : std::to_string(u.seconds_on_battery) + " s";
      printf("%-8s %-10s %-8s %-16s %-28s %-8s %s\n", u.role, u.section.c_str(), u.key.c_str(),
             u.address.c_str(), OutputStatusWords(u).c_str(), voltage.c_str(), battery.c_str());
    }
  }
  const char *words = "the service runs with its configuration and every UPS is on line";
  if (verdict == kExitServiceDown)
    words = "the service is not running or its pipe does not answer";
  else if (verdict == kExitConfiguration)
    words = "the configuration is not loaded or cannot be read";
  else if (verdict == kExitUpsSilent)
    words = "a UPS did not answer";
  else if (verdict == kExitUpsNotOnLine)
    words = "a UPS is not on line";
  printf("verdict        %s (exit %d)\n", words, verdict);
}

// What to check, on standard error, for each finding that is not well.
void PrintHints(const ServiceFound &service, const ConfigFound &config) {
  char runtime[512];
  if (!qp_runtime_path("services", runtime, sizeof runtime)) snprintf(runtime, sizeof runtime, "?");
  if (!service.known)
    fprintf(stderr,
            "pwctl: is the service running? No status of %s in %s (QUORIN_RUNTIME_DIR); start it with "
            "'systemctl start quomvlsv' or 'svcctl start %s PROGRAM'\n",
            kServiceName, runtime, kServiceName);
  else if (service.state != QP_SERVICE_RUNNING)
    fprintf(stderr, "pwctl: is the service running? %s is %s (svcctl query %s)\n", kServiceName,
            qp_service_state_name(service.state), kServiceName);
  else if (!service.pipe_answers)
    fprintf(stderr, "pwctl: the service runs but its pipe does not answer: %s\n",
            service.pipe_problem.c_str());
  if (!config.complete) {
    if (config.path.empty())
      fprintf(stderr, "pwctl: check QUORIN_REGISTRY and its \"PathName\"\n");
    else
      fprintf(stderr, "pwctl: check %s (ky_e_net.ini(5)): %s\n", config.path.c_str(), config.problem.c_str());
  }
}

}  // namespace

int VerbStatus(int argc, char **argv) {
  static const option kOptions[] = {
      {"json", no_argument, nullptr, 'j'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  bool json = false;
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "jh", kOptions, nullptr)) != -1) {
    if (c == 'j') {
      json = true;
    } else if (c == 'h') {
      fputs(kStatusHelp, stdout);
      return kExitOk;
    } else {
      fprintf(stderr, "pwctl status: unknown option '%s'\nTry 'pwctl status --help'.\n", argv[optind - 1]);
      return kExitUsage;
    }
  }
  if (optind != argc) {
    fprintf(stderr, "pwctl status: unexpected argument '%s'\nTry 'pwctl status --help'.\n", argv[optind]);
    return kExitUsage;
  }
  ServiceFound service = ReadService();
  ConfigFound config = ReadConfiguration();
  if (!ReadUpsUnits(&config.ups)) return kExitLibrary;
  bool loaded_unknown = false;
  bool loaded = ConfigurationLoaded(service, &loaded_unknown);
  int verdict = Verdict(service, config, loaded, loaded_unknown);
  if (json)
    PrintJson(service, config, loaded, loaded_unknown, verdict);
  else
    PrintTable(service, config, verdict);
  fflush(stdout);
  PrintHints(service, config);
  return verdict;
}

}  // namespace pwctl
