// UPS identification and configuration sync of SNMPUPS.DLL: a UPS registered in the UPS
// information file is identified over SNMP (card description, serial number, model) and its
// identity recorded there; a new or replaced UPS is configured from its section of
// "ky_e_net.apc" (SCG membership, then up to eleven UPS parameters); every call that gets that
// far ends with one status line in the UPS's log.
//
// Sections: the information file and its keys; the card; the SCG step; the parameters; the
// export UPSCheckSnmpRequest.
//
// Runs on its caller's thread and writes the information file through the profile calls,
// which replace the file whole, without a lock of its own; calls for different units touch
// different sections.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"
#include "status_line.h"

namespace {

using namespace powernet;

// ---- The information file and the configuration file --------------------------------------
constexpr char kConfigFile[] = "ky_e_net.apc";

constexpr char kKeyPath[] = "path";
constexpr char kKeyCardInfo[] = "CardInfo";
constexpr char kKeyOldCardInfo[] = "OLD_CardInfo";
constexpr char kKeyCardDate[] = "DATE_card";
constexpr char kKeyCardMibRevision[] = "CardMIBrev";
constexpr const char *kKeyModel = UPS_INFO_KEY_TYPE;
constexpr char kKeySerial[] = "UPS_Sno.";
constexpr char kKeyOldModel[] = "OLD_UPS_type";
constexpr char kKeyOldSerial[] = "OLD_UPS_Sno.";
constexpr char kKeyDate[] = "DATE";
constexpr char kKeyOldDate[] = "OLD_DATE";

// Keys of the SCG membership in the configuration section, and their defaults.
constexpr char kKeyScgOnOff[] = "SCGonoff";
constexpr char kKeyScgGroup[] = "SCG_MGN";
constexpr char kKeyScgDelay[] = "SCG_PSD";
constexpr char kKeyScgOffset[] = "SCG_RBCO";
constexpr char kKeyScgMulticast[] = "SCG_MIP";
constexpr int kScgActive = 1;    // "SCGonoff": an active member
constexpr int kScgInactive = 2;  // anything else is taken as this
constexpr int kScgNoGroup = 0;
constexpr int kScgDefaultDelay = 120;
constexpr int kScgDefaultOffset = 10;
constexpr char kScgDefaultMulticast[] = "224.0.0.100";
constexpr char kScgMulticastPrefix[] = "224";

constexpr size_t kCardTextLimit = 254;  // the card description is cut to this, then "]" follows
constexpr size_t kIdentityLimit = 128;  // model and serial number are cut to this
constexpr size_t kRecordSize = 300;     // a recorded text read back, with room to compare
constexpr char kRecordEnd[] = "]";
constexpr size_t kCardLogLimit = 45;  // characters of a new card's description in the log
constexpr char kCardMibMarks[][5] = {"MB:v", "MB:V"};
constexpr int kTicksPerSecond = 100;
constexpr int kOutletModel = 2;

constexpr char kLogCardError[] = "UPSCheckSnmpRequest error0:(%d)[%s]";
constexpr char kLogSerialError[] = "UPSCheckSnmpRequest error1:(%d)[%s]";
constexpr char kLogModelError[] = "UPSCheckSnmpRequest error2:(%d)[%s]";
constexpr char kLogNewCard[] = " * New card [%s]:%s";
constexpr char kLogSyncProgress[] =
    "UPSCheckSnmpRequest(OutputState)[%s] now SyncProgress! Sync init stop(next retry)";
constexpr char kLogSyncCancel[] = "UPSCheckSnmpRequest(OutputState)[%s] error!  Sync init cancel";
constexpr char kLogScgActive[] = " [UPS%d:%s] SCG(%d) act";
constexpr char kLogConfigured[] = " [UPS%d:%s] ConfigData Set:OK================";
constexpr char kLogParameterError[] = "UPSCheckSnmpRequest error%d:(%d)[%s]";

// One UPS: its unit code, section name and card address.
struct Unit {
  int code;
  char section[16];
  char address[ADDRESS_SIZE];
};

void ReadInfo(const Unit &unit, const char *key, char *out, uint32_t size) {
  ReadDataProfile(UPS_INFO_FILE, unit.section, key, out, size);
}

void WriteInfo(const Unit &unit, const char *key, const char *value) {
  WriteDataProfile(UPS_INFO_FILE, unit.section, key, value);
}

bool Missing(const char *value) {
  return strcmp(value, MISSING_KEY) == 0;
}

// The local time as "Www Mmm dd hh:mm:ss yyyy" (24 characters, the day right-aligned).
void NowText(char (&out)[32]) {
  static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  qp_systemtime now;
  qp_local_time(&now);
  snprintf(out, sizeof out, "%s %s%3d %02d:%02d:%02d %d", kDays[now.day_of_week % 7],
           kMonths[(now.month + 11) % 12], static_cast<int>(now.day), static_cast<int>(now.hour),
           static_cast<int>(now.minute), static_cast<int>(now.second), static_cast<int>(now.year));
}

// ---- The card --------------------------------------------------------------------------------

// The card MIB revision a x 10000 + b x 100 + c from "MB:va.b.c" (or "MB:V") in TEXT; 0 when
// the text has neither mark.
int CardMibRevision(const char *text) {
  for (const char *mark : kCardMibMarks) {
    const char *at = strstr(text, mark);
    if (at == nullptr) continue;
    int a = 0, b = 0, c = 0;
    sscanf(at + strlen(mark), "%d.%d.%d", &a, &b, &c);
    return a * 10000 + b * 100 + c;
  }
  return 0;
}

// Reads the card description and records it when it differs from the one recorded.
void IdentifyCard(const Unit &unit) {
  char description[SNMP_TEXT_BUFFER] = {0};
  uint32_t result = SnmpGetByAddress(unit.address, kSysDescr.oid, kSysDescr.type, description, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogCardError, unit.code, unit.address);
    return;
  }
  char card[kCardTextLimit + sizeof kRecordEnd];
  snprintf(card, sizeof card, "%.254s%s", description, kRecordEnd);
  int revision = CardMibRevision(card);
  char recorded[kRecordSize];
  ReadInfo(unit, kKeyCardInfo, recorded, sizeof recorded);
  if (strcmp(card, recorded) == 0) return;

  char now[32];
  NowText(now);
  char revision_text[16];
  snprintf(revision_text, sizeof revision_text, "%d", revision);
  WriteInfo(unit, kKeyCardDate, now);
  WriteInfo(unit, kKeyOldCardInfo, recorded);
  WriteInfo(unit, kKeyCardInfo, card);
  WriteInfo(unit, kKeyCardMibRevision, revision_text);
  char card_start[kCardLogLimit + 1];
  snprintf(card_start, sizeof card_start, "%s", card);
  WriteSnmpLogF(static_cast<uint32_t>(revision), kLogNewCard, unit.address, card_start);
}

// Reads an identity text (OCTET STRING), cut to 128 characters, into OUT.
uint32_t ReadIdentity(const Unit &unit, const PowerNetVariable &variable, char (&out)[kIdentityLimit + 2]) {
  char text[SNMP_TEXT_BUFFER] = {0};
  uint32_t result = SnmpGetByAddress(unit.address, variable.oid, variable.type, text, 0);
  snprintf(out, sizeof out, "%.128s", text);
  return result;
}

// ---- The SCG step ------------------------------------------------------------------------------

// What the configuration does after the SCG step.
enum class ScgOutcome {
  kParameters,      // go on with the parameters
  kSkipParameters,  // record the UPS without writing parameters
  kStop,            // a synchronisation is running: end the call, try again next time
};

// An integer key of the configuration section, or DEFAULT_VALUE when it is missing.
int ConfigInt(const char *section, const char *key, int default_value) {
  char text[64];
  ReadDataProfile(kConfigFile, section, key, text, sizeof text);
  return Missing(text) ? default_value : atoi(text);
}

// Reads the output state: false when it cannot be read; *SYNCING tells a running
// synchronisation (the 32nd character "1").
bool ReadSyncState(const Unit &unit, uint32_t *result, bool *syncing) {
  char state[SNMP_TEXT_BUFFER] = {0};
  *result =
      SnmpGetByAddress(unit.address, kUpsBasicStateOutputState.oid, kUpsBasicStateOutputState.type, state, 2);
  *syncing = *result == SNMP_RESULT_OK && state[OUTPUT_STATE_SYNC_IN_PROGRESS] == '1';
  if (*syncing) WriteSnmpLogF(0, kLogSyncProgress, unit.address);
  return *result == SNMP_RESULT_OK;
}

// Reads an INTEGER and writes WANTED when the card holds another value; false when either fails.
bool SyncInteger(const Unit &unit, const PowerNetVariable &variable, int wanted) {
  int value = UNKNOWN_VALUE;
  if (SnmpGetByAddress(unit.address, variable.oid, variable.type, &value, 0) != SNMP_RESULT_OK) return false;
  if (value == wanted) return true;
  return SnmpSetByAddress(unit.address, variable.oid, variable.type, &wanted) == SNMP_RESULT_OK;
}

// Dotted text of a four-byte address, and back; the text must be four numbers of 0 to 255.
bool AddressBytes(const char *text, uint8_t (&bytes)[4]) {
  unsigned part[4];
  char rest;
  if (sscanf(text, "%u.%u.%u.%u%c", &part[0], &part[1], &part[2], &part[3], &rest) != 4) return false;
  for (int i = 0; i < 4; ++i) {
    if (part[i] > 255) return false;
    bytes[i] = static_cast<uint8_t>(part[i]);
  }
  return true;
}

bool SyncMulticast(const Unit &unit, const char *wanted) {
  uint8_t held[4] = {0, 0, 0, 0};
  if (SnmpGetByAddress(unit.address, kScgMulticastAddress.oid, kScgMulticastAddress.type, held, 0) !=
      SNMP_RESULT_OK)
    return false;
  char held_text[20];
  snprintf(held_text, sizeof held_text, "%u.%u.%u.%u", held[0], held[1], held[2], held[3]);
  if (strcmp(held_text, wanted) == 0) return true;
  uint8_t bytes[4];
  if (!AddressBytes(wanted, bytes)) return false;
  return SnmpSetByAddress(unit.address, kScgMulticastAddress.oid, kScgMulticastAddress.type, bytes) ==
         SNMP_RESULT_OK;
}

// Joins the UPS to its SCG group with the configured delay, offset and multicast address; any
// failure ends the membership silently, the parameters still follow.
ScgOutcome JoinScg(const Unit &unit, const char *section, int group) {
  int delay = ConfigInt(section, kKeyScgDelay, kScgDefaultDelay);
  int offset = ConfigInt(section, kKeyScgOffset, kScgDefaultOffset);
  char multicast[ADDRESS_SIZE];
  ReadDataProfile(kConfigFile, section, kKeyScgMulticast, multicast, sizeof multicast);
  if (strncmp(multicast, kScgMulticastPrefix, strlen(kScgMulticastPrefix)) != 0)
    snprintf(multicast, sizeof multicast, "%s", kScgDefaultMulticast);

  uint32_t result = SNMP_RESULT_OK;
  bool syncing = false;
  if (!ReadSyncState(unit, &result, &syncing)) {
    WriteSnmpLogF(result, kLogSyncCancel, unit.address);
    return ScgOutcome::kParameters;
  }
  if (syncing) return ScgOutcome::kStop;

  if (!SyncInteger(unit, kScgPowerSynchronizationDelay, delay)) return ScgOutcome::kParameters;
  if (!SyncInteger(unit, kScgReturnBatteryCapacityOffset, offset)) return ScgOutcome::kParameters;
  if (!SyncMulticast(unit, multicast)) return ScgOutcome::kParameters;
  if (!SyncInteger(unit, kScgMembershipGroupNumber, group)) return ScgOutcome::kParameters;
  int active = UNKNOWN_VALUE;
  if (SnmpGetByAddress(unit.address, kScgActiveMembership.oid, kScgActiveMembership.type, &active, 0) !=
      SNMP_RESULT_OK)
    return ScgOutcome::kParameters;
  if (active != kScgActive && SetUpsSyncActivebySnmp(unit.address, kScgActive) != 1)
    return ScgOutcome::kParameters;
  WriteSnmpLogF(0, kLogScgActive, unit.code, unit.address, group);
  return ScgOutcome::kParameters;
}

// Takes the UPS out of active SCG membership; without the output state, or when that fails,
// no parameters are written.
ScgOutcome LeaveScg(const Unit &unit) {
  uint32_t result = SNMP_RESULT_OK;
  bool syncing = false;
  if (!ReadSyncState(unit, &result, &syncing)) return ScgOutcome::kSkipParameters;
  if (syncing) return ScgOutcome::kStop;
  int active = UNKNOWN_VALUE;
  if (SnmpGetByAddress(unit.address, kScgActiveMembership.oid, kScgActiveMembership.type, &active, 0) !=
      SNMP_RESULT_OK)
    return ScgOutcome::kParameters;
  if (active != kScgInactive && SetUpsSyncActivebySnmp(unit.address, kScgInactive) != 1)
    return ScgOutcome::kSkipParameters;
  return ScgOutcome::kParameters;
}

ScgOutcome SyncScg(const Unit &unit, const char *section) {
  int on_off = ConfigInt(section, kKeyScgOnOff, kScgInactive);
  int group = ConfigInt(section, kKeyScgGroup, kScgNoGroup);
  if (on_off == kScgActive && group != kScgNoGroup) return JoinScg(unit, section, group);
  return LeaveScg(unit);
}

// ---- The parameters ----------------------------------------------------------------------------

// One UPS parameter of the configuration section: its key, the variable it is written to, and
// the numbers of the lines that tell a missing key and a failed write.
struct Parameter {
  const char *key;
  const PowerNetVariable *variable;
  int missing_error;
  int write_error;
};

const Parameter kParameters[] = {
    {"HighTransferVolt", &kUpsAdvConfigHighTransferVolt, 4, 5},
    {"LowTransferVolt", &kUpsAdvConfigLowTransferVolt, 6, 7},
    {"ConfigAlarm", &kUpsAdvConfigAlarm, 8, 9},
    {"Sensitivity", &kUpsAdvConfigSensitivity, 10, 11},
    {"LowBatteryRunTime", &kUpsAdvConfigLowBatteryRunTime, 12, 13},
    {"TestDiagnosticSchedule", &kUpsAdvTestDiagnosticSchedule, 14, 15},
    // Not for UPS models with outlet groups:
    {"ShutoffDelay", &kUpsAdvConfigShutoffDelay, 21, 22},
    {"ReturnDelay", &kUpsAdvConfigReturnDelay, 23, 24},
    {"ConfigAlarmTimer", &kUpsAdvConfigAlarmTimer, 25, 26},
    {"MinReturnCapacity", &kUpsAdvConfigMinReturnCapacity, 27, 28},
    {"BattExhaustThresh", &kUpsAdvConfigBattExhaustThresh, 29, 30},
};
constexpr size_t kOutletModelParameters = 6;  // the rows an outlet-group model takes

// Writes the parameters in table order until one is missing or its write fails (the keys of
// TimeTicks rows are seconds). The step never fails the call.
void WriteParameters(const Unit &unit, const char *section) {
  for (size_t row = 0; row < sizeof kParameters / sizeof kParameters[0]; ++row) {
    if (row == kOutletModelParameters && CheckOutletUps(unit.address) == kOutletModel) return;
    const Parameter &p = kParameters[row];
    char text[64];
    ReadDataProfile(kConfigFile, section, p.key, text, sizeof text);
    if (Missing(text)) {
      WriteSnmpLogF(0, kLogParameterError, p.missing_error, unit.code, unit.address);
      return;
    }
    int value = atoi(text);
    uint32_t ticks = static_cast<uint32_t>(value) * kTicksPerSecond;
    const void *data = p.variable->type == QP_ASN_TIMETICKS ? static_cast<const void *>(&ticks) : &value;
    if (SnmpSetByAddress(unit.address, p.variable->oid, p.variable->type, data) != SNMP_RESULT_OK) {
      WriteSnmpLogF(0, kLogParameterError, p.write_error, unit.code, unit.address);
      return;
    }
  }
}

// Records the new identity, moving the old one (and the last configuration date) aside.
void RecordIdentity(const Unit &unit, const char *model, const char *serial, const char *old_model,
                    const char *old_serial) {
  WriteInfo(unit, kKeyOldModel, old_model);
  WriteInfo(unit, kKeyOldSerial, old_serial);
  WriteInfo(unit, kKeyModel, model);
  WriteInfo(unit, kKeySerial, serial);
  char date[kRecordSize];
  ReadInfo(unit, kKeyDate, date, sizeof date);
  if (!Missing(date)) WriteInfo(unit, kKeyOldDate, date);
  char now[32];
  NowText(now);
  WriteInfo(unit, kKeyDate, now);
  WriteSnmpLogF(0, kLogConfigured, unit.code, unit.address);
}

// What a call ends with.
enum class Identified {
  kUnread,     // model or serial unreadable: the dashed status line
  kKnown,      // identity read (and, when new, configured and recorded)
  kPostponed,  // a synchronisation runs, or the configuration section is unnamed: no status line
};

Identified IdentifyAndConfigure(const Unit &unit) {
  IdentifyCard(unit);

  char serial[kIdentityLimit + 2];
  uint32_t result = ReadIdentity(unit, kUpsAdvIdentSerialNumber, serial);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogSerialError, unit.code, unit.address);
    return Identified::kUnread;
  }
  char model[kIdentityLimit + 2];
  result = ReadIdentity(unit, kUpsBasicIdentModel, model);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogModelError, unit.code, unit.address);
    return Identified::kUnread;
  }
  char model_record[kIdentityLimit + sizeof kRecordEnd + 1];
  char serial_record[kIdentityLimit + sizeof kRecordEnd + 1];
  snprintf(model_record, sizeof model_record, "%s%s", model, kRecordEnd);
  snprintf(serial_record, sizeof serial_record, "%s%s", serial, kRecordEnd);

  char recorded_model[kRecordSize];
  char recorded_serial[kRecordSize];
  ReadInfo(unit, kKeyModel, recorded_model, sizeof recorded_model);
  ReadInfo(unit, kKeySerial, recorded_serial, sizeof recorded_serial);
  if (strcmp(recorded_model, model_record) == 0 && strcmp(recorded_serial, serial_record) == 0)
    return Identified::kKnown;

  // A new or replaced UPS: configure it from its section of the configuration file.
  char section[kRecordSize];
  ReadInfo(unit, kKeyPath, section, sizeof section);
  if (Missing(section)) return Identified::kPostponed;
  ScgOutcome scg = SyncScg(unit, section);
  if (scg == ScgOutcome::kStop) return Identified::kPostponed;
  if (scg == ScgOutcome::kParameters) WriteParameters(unit, section);
  RecordIdentity(unit, model_record, serial_record, recorded_model, recorded_serial);
  return Identified::kKnown;
}

}  // namespace

QP_DLL_EXPORT int UPSCheckSnmpRequest(int unit_code, int mode) {
  if (!LibraryReady()) return 0;
  Unit unit;
  unit.code = unit_code;
  snprintf(unit.section, sizeof unit.section, "%d", unit_code);
  ReadInfo(unit, UPS_INFO_KEY_IP, unit.address, sizeof unit.address);
  if (Missing(unit.address)) return 0;

  Identified identified = mode == 1 ? Identified::kUnread : IdentifyAndConfigure(unit);
  if (identified == Identified::kPostponed) return 1;

  // A UPS whose identity could not be read, or whose line cannot be built, gets the line of
  // a UPS that did not answer.
  char line[STATUS_LINE_SIZE];
  if (identified != Identified::kKnown || BuildUpsStatusLine(unit_code, line) != 1)
    snprintf(line, sizeof line, "%s", STATUS_LINE_NO_ANSWER);
  WriteUpsLog(unit_code, line);
  return 1;
}
