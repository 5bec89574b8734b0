// The variables a simulated card serves, written as one table, and the value helpers.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "upssim.h"

namespace upssim {

// The PowerNet UPS branch is .1.3.6.1.4.1.318.1.1.1; the system group and the SNMP packet
// counter come from MIB-II. Rows with an empty initial value are filled by the model.
// Writable rows accept numbers in [low, high] (low > high: any number).
#define UPS ".1.3.6.1.4.1.318.1.1.1"
const MibRow kMibRows[] = {
    {".1.3.6.1.2.1.1.1.0", "sysDescr", ASN_OCTET_STR, false, 1, 0, ""},
    {".1.3.6.1.2.1.1.2.0", "sysObjectID", ASN_OBJECT_ID, false, 1, 0, ".1.3.6.1.4.1.318.1.3.900"},
    {".1.3.6.1.2.1.1.3.0", "sysUpTime", ASN_TIMETICKS, false, 1, 0, ""},
    {".1.3.6.1.2.1.1.4.0", "sysContact", ASN_OCTET_STR, true, 1, 0, ""},
    {".1.3.6.1.2.1.1.5.0", "sysName", ASN_OCTET_STR, true, 1, 0, ""},
    {".1.3.6.1.2.1.1.6.0", "sysLocation", ASN_OCTET_STR, true, 1, 0, ""},
    {".1.3.6.1.2.1.11.1.0", "snmpInPkts", ASN_COUNTER, false, 1, 0, ""},
    {UPS ".1.1.1.0", "upsBasicIdentModel", ASN_OCTET_STR, false, 1, 0, ""},
    {UPS ".1.2.1.0", "upsAdvIdentFirmwareRevision", ASN_OCTET_STR, false, 1, 0, ""},
    {UPS ".1.2.3.0", "upsAdvIdentSerialNumber", ASN_OCTET_STR, false, 1, 0, ""},
    {UPS ".2.1.1.0", "upsBasicBatteryStatus", ASN_INTEGER, false, 1, 0, ""},
    {UPS ".2.1.2.0", "upsBasicBatteryTimeOnBattery", ASN_TIMETICKS, false, 1, 0, ""},
    {UPS ".2.2.1.0", "upsAdvBatteryCapacity", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".2.2.2.0", "upsAdvBatteryTemperature", ASN_GAUGE, false, 1, 0, "30"},
    {UPS ".2.2.3.0", "upsAdvBatteryRunTimeRemaining", ASN_TIMETICKS, false, 1, 0, ""},
    {UPS ".2.2.4.0", "upsAdvBatteryReplaceIndicator", ASN_INTEGER, false, 1, 0, "1"},
    {UPS ".2.2.5.0", "upsAdvBatteryNumOfBattPacks", ASN_INTEGER, false, 1, 0, "1"},
    {UPS ".2.2.6.0", "upsAdvBatteryNumOfBadBattPacks", ASN_INTEGER, false, 1, 0, "0"},
    {UPS ".3.1.1.0", "upsBasicInputPhase", ASN_INTEGER, false, 1, 0, "1"},
    {UPS ".3.2.1.0", "upsAdvInputLineVoltage", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".3.2.2.0", "upsAdvInputMaxLineVoltage", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".3.2.3.0", "upsAdvInputMinLineVoltage", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".3.2.4.0", "upsAdvInputFrequency", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".3.2.5.0", "upsAdvInputLineFailCause", ASN_INTEGER, false, 1, 0, "1"},
    {UPS ".4.1.1.0", "upsBasicOutputStatus", ASN_INTEGER, false, 1, 0, ""},
    {UPS ".4.1.2.0", "upsBasicOutputPhase", ASN_INTEGER, false, 1, 0, "1"},
    {UPS ".4.2.1.0", "upsAdvOutputVoltage", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".4.2.2.0", "upsAdvOutputFrequency", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".4.2.3.0", "upsAdvOutputLoad", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".4.2.4.0", "upsAdvOutputCurrent", ASN_GAUGE, false, 1, 0, ""},
    {UPS ".5.2.2.0", "upsAdvConfigHighTransferVolt", ASN_INTEGER, true, 0, 500, "108"},
    {UPS ".5.2.3.0", "upsAdvConfigLowTransferVolt", ASN_INTEGER, true, 0, 500, "92"},
    {UPS ".5.2.4.0", "upsAdvConfigAlarm", ASN_INTEGER, true, 1, 4, "1"},
    {UPS ".5.2.5.0", "upsAdvConfigAlarmTimer", ASN_TIMETICKS, true, 1, 0, "0"},
    {UPS ".5.2.6.0", "upsAdvConfigMinReturnCapacity", ASN_INTEGER, true, 0, 100, "0"},
    {UPS ".5.2.7.0", "upsAdvConfigSensitivity", ASN_INTEGER, true, 1, 4, "1"},
    {UPS ".5.2.8.0", "upsAdvConfigLowBatteryRunTime", ASN_TIMETICKS, true, 1, 0, "12000"},
    {UPS ".5.2.9.0", "upsAdvConfigReturnDelay", ASN_TIMETICKS, true, 1, 0, "0"},
    {UPS ".5.2.10.0", "upsAdvConfigShutoffDelay", ASN_TIMETICKS, true, 1, 0, "2000"},
    {UPS ".5.2.11.0", "upsAdvConfigUpsSleepTime", ASN_TIMETICKS, true, 1, 0, "360000"},
    {UPS ".5.2.14.0", "upsAdvConfigBattExhaustThresh", ASN_TIMETICKS, true, 1, 0, "0"},
    {UPS ".6.1.1.0", "upsBasicControlConserveBattery", ASN_INTEGER, true, 1, 2, "1"},
    {UPS ".6.2.1.0", "upsAdvControlUpsOff", ASN_INTEGER, true, 1, 3, "1"},
    {UPS ".6.2.3.0", "upsAdvControlUpsSleep", ASN_INTEGER, true, 1, 3, "1"},
    {UPS ".6.2.6.0", "upsAdvControlTurnOnUPS", ASN_INTEGER, true, 1, 2, "1"},
    {UPS ".7.2.1.0", "upsAdvTestDiagnosticSchedule", ASN_INTEGER, true, 1, 6, "2"},
    {UPS ".8.1.0", "upsCommStatus", ASN_INTEGER, false, 1, 0, ""},
    {UPS ".10.1.1.0", "scgMembershipGroupNumber", ASN_INTEGER, true, 0, 65535, "0"},
    {UPS ".10.1.2.0", "scgActiveMembership", ASN_INTEGER, true, 1, 2, "2"},
    {UPS ".10.1.3.0", "scgPowerSynchronizationDelayTime", ASN_INTEGER, true, 0, 3600, "120"},
    {UPS ".10.1.4.0", "scgReturnBatteryCapacityOffset", ASN_INTEGER, true, 0, 100, "10"},
    {UPS ".10.1.5.0", "scgMultiCastIP", ASN_IPADDRESS, true, 1, 0, "224.0.0.100"},
    {UPS ".10.2.1.0", "scgNumOfGroupMembers", ASN_INTEGER, false, 1, 0, "1"},
    {UPS ".11.1.1.0", "upsBasicStateOutputState", ASN_OCTET_STR, false, 1, 0, ""},
};
const size_t kMibRowCount = sizeof kMibRows / sizeof kMibRows[0];

namespace mib {
namespace {
Oid make(const char *text) {
  Oid ids;
  parse_oid(text, &ids);
  return ids;
}
}  // namespace
const Oid kSysDescr = make(".1.3.6.1.2.1.1.1.0");
const Oid kSysObjectId = make(".1.3.6.1.2.1.1.2.0");
const Oid kSysUpTime = make(".1.3.6.1.2.1.1.3.0");
const Oid kSnmpInPkts = make(".1.3.6.1.2.1.11.1.0");
const Oid kModel = make(UPS ".1.1.1.0");
const Oid kFirmware = make(UPS ".1.2.1.0");
const Oid kSerial = make(UPS ".1.2.3.0");
const Oid kBatteryStatus = make(UPS ".2.1.1.0");
const Oid kTimeOnBattery = make(UPS ".2.1.2.0");
const Oid kCapacity = make(UPS ".2.2.1.0");
const Oid kRunTimeRemaining = make(UPS ".2.2.3.0");
const Oid kInputVoltage = make(UPS ".3.2.1.0");
const Oid kInputMaxVoltage = make(UPS ".3.2.2.0");
const Oid kInputMinVoltage = make(UPS ".3.2.3.0");
const Oid kInputFrequency = make(UPS ".3.2.4.0");
const Oid kInputFailCause = make(UPS ".3.2.5.0");
const Oid kOutputStatus = make(UPS ".4.1.1.0");
const Oid kOutputVoltage = make(UPS ".4.2.1.0");
const Oid kOutputFrequency = make(UPS ".4.2.2.0");
const Oid kOutputLoad = make(UPS ".4.2.3.0");
const Oid kOutputCurrent = make(UPS ".4.2.4.0");
const Oid kLowBatteryRunTime = make(UPS ".5.2.8.0");
const Oid kReturnDelay = make(UPS ".5.2.9.0");
const Oid kShutoffDelay = make(UPS ".5.2.10.0");
const Oid kSleepTime = make(UPS ".5.2.11.0");
const Oid kConserveBattery = make(UPS ".6.1.1.0");
const Oid kTurnOff = make(UPS ".6.2.1.0");
const Oid kSleepControl = make(UPS ".6.2.3.0");
const Oid kTurnOn = make(UPS ".6.2.6.0");
const Oid kCommStatus = make(UPS ".8.1.0");
const Oid kOutputState = make(UPS ".11.1.1.0");
const Oid kOutletGroupState = make(UPS ".12.1.2.1.3");
const Oid kOutletTableSize = make(UPS ".12.2.1.0");
const Oid kOutletGroupCommand = make(UPS ".12.3.2.1.3");
const Oid kTrapArgument = make(".1.3.6.1.4.1.318.2.3.3.0");
const Oid kEnterprise = make(".1.3.6.1.4.1.318");
}  // namespace mib
#undef UPS

// ---- values ----

Value integer_value(uint8_t type, int64_t number) {
  Value v;
  v.type = type;
  v.number = number;
  return v;
}

Value string_value(const std::string &text) {
  Value v;
  v.type = ASN_OCTET_STR;
  v.bytes = text;
  return v;
}

bool parse_oid(const std::string &text, Oid *ids) {
  ids->clear();
  size_t i = (!text.empty() && text[0] == '.') ? 1 : 0;
  if (i >= text.size()) return false;
  while (i < text.size()) {
    if (text[i] < '0' || text[i] > '9') return false;
    uint64_t n = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      n = n * 10 + static_cast<uint64_t>(text[i] - '0');
      if (n > 0xFFFFFFFFull) return false;
      ++i;
    }
    ids->push_back(static_cast<oid>(n));
    if (i < text.size()) {
      if (text[i] != '.' || i + 1 == text.size()) return false;
      ++i;
    }
  }
  return ids->size() >= 2 && ids->size() <= MAX_OID_LEN;
}

std::string oid_text(const Oid &ids) {
  std::string out;
  char part[24];
  for (oid id : ids) {
    snprintf(part, sizeof part, ".%lu", static_cast<unsigned long>(id));
    out += part;
  }
  return out;
}

namespace {
struct TypeName {
  const char *name;
  const char *letter;
  uint8_t type;
};
const TypeName kTypeNames[] = {
    {"INTEGER", "i", ASN_INTEGER}, {"STRING", "s", ASN_OCTET_STR}, {"HEX", "x", ASN_OCTET_STR},
    {"NULL", "n", ASN_NULL},       {"OID", "o", ASN_OBJECT_ID},    {"IpAddress", "a", ASN_IPADDRESS},
    {"Counter", "c", ASN_COUNTER}, {"Gauge", "u", ASN_GAUGE},      {"TimeTicks", "t", ASN_TIMETICKS},
    {"Opaque", "q", ASN_OPAQUE},
};

bool parse_hex(const std::string &text, std::string *out) {
  std::string digits;
  size_t start = (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 2 : 0;
  for (size_t i = start; i < text.size(); ++i)
    if (text[i] != ' ' && text[i] != ':') digits += text[i];
  if (digits.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    char pair[3] = {digits[i], digits[i + 1], '\0'};
    char *end = nullptr;
    long byte = strtol(pair, &end, 16);
    if (*end != '\0') return false;
    out->push_back(static_cast<char>(byte));
  }
  return true;
}
}  // namespace

bool parse_type(const std::string &name, uint8_t *type) {
  for (const TypeName &t : kTypeNames) {
    if (strcasecmp(name.c_str(), t.name) == 0 || name == t.letter) {
      *type = t.type;
      return true;
    }
  }
  if (strcasecmp(name.c_str(), "gauge32") == 0 || strcasecmp(name.c_str(), "unsigned") == 0) {
    *type = ASN_GAUGE;
    return true;
  }
  if (strcasecmp(name.c_str(), "counter32") == 0) {
    *type = ASN_COUNTER;
    return true;
  }
  return false;
}

const char *type_name(uint8_t type) {
  if (type == ASN_OCTET_STR) return "STRING";
  for (const TypeName &t : kTypeNames)
    if (t.type == type) return t.name;
  return "UNKNOWN";
}

bool parse_value(uint8_t type, const std::string &text, Value *value, std::string *error) {
  Value v;
  v.type = type;
  char *end = nullptr;
  switch (type) {
    case ASN_INTEGER: {
      long long n = strtoll(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || n < INT32_MIN || n > INT32_MAX) {
        *error = "not an INTEGER: " + text;
        return false;
      }
      v.number = n;
      break;
    }
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS: {
      unsigned long long n = strtoull(text.c_str(), &end, 10);
      if (text.empty() || text[0] == '-' || *end != '\0' || n > 0xFFFFFFFFull) {
        *error = std::string("not a ") + type_name(type) + ": " + text;
        return false;
      }
      v.number = static_cast<int64_t>(n);
      break;
    }
    case ASN_IPADDRESS: {
      in_addr address;
      if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        *error = "not an IpAddress: " + text;
        return false;
      }
      v.bytes.assign(reinterpret_cast<const char *>(&address), 4);
      break;
    }
    case ASN_OBJECT_ID:
      if (!parse_oid(text, &v.ids)) {
        *error = "not an OID: " + text;
        return false;
      }
      break;
    case ASN_OPAQUE:
      if (!parse_hex(text, &v.bytes)) {
        *error = "not hex bytes: " + text;
        return false;
      }
      break;
    case ASN_OCTET_STR:
      v.bytes = text;
      break;
    case ASN_NULL:
      break;
    default:
      *error = "unknown type";
      return false;
  }
  *value = v;
  return true;
}

std::string value_text(const Value &value) {
  char buffer[64];
  std::string out = type_name(value.type);
  switch (value.type) {
    case ASN_INTEGER:
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      snprintf(buffer, sizeof buffer, " %lld", static_cast<long long>(value.number));
      return out + buffer;
    case ASN_IPADDRESS: {
      if (value.bytes.size() != 4) return out + " ?";
      const auto *b = reinterpret_cast<const unsigned char *>(value.bytes.data());
      snprintf(buffer, sizeof buffer, " %u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      return out + buffer;
    }
    case ASN_OBJECT_ID:
      return out + " " + oid_text(value.ids);
    case ASN_OPAQUE: {
      out += " 0x";
      for (unsigned char c : value.bytes) {
        snprintf(buffer, sizeof buffer, "%02x", c);
        out += buffer;
      }
      return out;
    }
    case ASN_OCTET_STR: {
      out += " \"";
      for (unsigned char c : value.bytes) {
        if (c == '"' || c == '\\') {
          out += '\\';
          out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
          snprintf(buffer, sizeof buffer, "\\x%02x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
      }
      return out + "\"";
    }
    default:
      return out;
  }
}

namespace {
const char *const kStatusNames[] = {"noError", "tooBig", "noSuchName", "badValue", "readOnly", "genErr"};
}

const char *status_name(long status) {
  if (status >= 0 && status <= 5) return kStatusNames[status];
  return "unknown";
}

bool parse_status(const std::string &name, long *status) {
  for (long i = 1; i <= 5; ++i) {
    if (strcasecmp(name.c_str(), kStatusNames[i]) == 0) {
      *status = i;
      return true;
    }
  }
  char *end = nullptr;
  long n = strtol(name.c_str(), &end, 10);
  if (!name.empty() && *end == '\0' && n >= 1 && n <= 5) {
    *status = n;
    return true;
  }
  return false;
}

uint64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

}  // namespace upssim
