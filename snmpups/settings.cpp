// The load sequence of SNMPUPS.DLL: install directory from the registry, the settings of
// "data\snmp.apc" (a table of rows with defaults, bounds, derivations and write-backs), the
// load-time log lines and the four mutexes; plus the profile accessors of the data files.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "snmpups_state.h"

char g_Install_Path[INSTALL_PATH_SIZE];
char g_Settings_Path[LIBRARY_PATH_SIZE];
std::atomic<int32_t> g_Snmp_Log_Size{0};
int g_Debug_Mode;
int g_No_Trap;
char g_Community[ADDRESS_SIZE];
char g_Ups_Off[16];
uint32_t g_Power_Fail_Wait;
uint32_t g_Power_Fail_Wait_Other;
int32_t g_Other_On_Wait;
uint32_t g_Trap_Interval;
char g_Dilay_Time_Cut[16];
int32_t g_Snmp_Get_Retry;
int32_t g_Snmp_Set_Retry;
char g_Name[16];
uint16_t g_Port;
uint16_t g_Vex_Port;
char g_Send_Ip[ADDRESS_SIZE];
char g_Send_Ip02[ADDRESS_SIZE];
char g_Send_Ip03[ADDRESS_SIZE];
int32_t g_Auto_Reboot_Org;
int32_t g_High_Transfer_Volt;
int32_t g_Low_Transfer_Volt;
int32_t g_Alarm;
int32_t g_Alarm_Timer;
int32_t g_Min_Return_Capacity;
int32_t g_Sensitivity;
int32_t g_Low_Battery_Run_Time;
int32_t g_Batt_Exhaust_Thresh;
int32_t g_Diagnostic_Schedule;
int32_t g_TimeOut;
int32_t g_Retry;
int32_t g_TimeOut_Outlet;
int32_t g_Retry_Outlet;

qp_mutex *g_Stop_Mutex;
qp_mutex *g_Log_Mutex;
qp_mutex *g_Trap_Log_Mutex;
qp_mutex *g_Ups_Log_Mutex;

std::atomic<int> g_Library_Ready{0};

namespace {

constexpr char kProductKey[] = "SOFTWARE\\Tarvos\\QUORIN/MVL";
constexpr char kPathNameValue[] = "PathName";
constexpr char kDebugValue[] = "DEBUGDLL";
constexpr char kSettingsFile[] = "\\data\\snmp.apc";
constexpr char kSettingsSection[] = "SNMP";
constexpr char kDataPathFormat[] = "%s\\DATA\\%s";

// Bounds and derived values of the settings.
constexpr uint32_t kPowerFailWaitMin = 30;
constexpr uint32_t kPowerFailWaitOtherMargin = 45;
constexpr uint32_t kPowerFailWaitOtherShort = 15;
constexpr int32_t kTrapIntervalMinSeconds = 2;
// The interval is kept in milliseconds as a 32-bit signed number (the information export
// hands it out as such), so longer intervals are cut to what fits.
constexpr int32_t kTrapIntervalMaxSeconds = INT32_MAX / 1000;

// Log texts of the load sequence.
constexpr char kLogUpsIpFirst[] = "### [UPS_IP] = (%s) Community : (%s)";
constexpr char kLogUpsIpSlot[] = "### [UPS_IP%d] = (%s)";
constexpr char kLogOffMode[] = "### Off Mode[UPS_Off] = (%c) Sleep/Trun   [DilayTimeCut] = (%c) Y/N";
constexpr char kLogWatchTimer[] = "### SNMP watch timer[UPS_Power_fail_wait]= (%dsec)  [_other]= (%dsec)";
constexpr char kLogTrapInterval[] = "### SNMP Trap Interval timer[SNMP_Trap_interval] sec= (%d)";
constexpr char kLogOtherOnWait[] = "### SNMP watch timer[UPS_other_on_wait]= (%dsec)";
constexpr char kLogAutoReboot[] = "g_Auto_Reboot_Org (%d)";
constexpr char kLogAdvConfig[] = "*** [%s] = (%d)";
constexpr char kLogTimeOut[] = "TimeOut(%d) Retry(%d)";
constexpr char kLogOutletTimeOut[] = "5G UPS TimeOut(%d) Retry(%d)";
constexpr char kLogDebugMode[] = "DebugMode Run...";
constexpr char kLogScgSupport[] = "SCG API Support...";
constexpr char kLogSettingsNotRegular[] = "Settings file refused: not a regular file";
constexpr char kLogSettingsTooLarge[] = "Settings file refused: larger than %u bytes";

// How a row turns the text it read into its global.
enum class SettingKind {
  kLogSize,             // int into g_Snmp_Log_Size
  kNoTrap,              // 0 when the value starts with 'n' or 'N', else 1
  kYesFlag,             // 1 when the value starts with 'y' or 'Y', else 0
  kText,                // text of CAPACITY characters
  kTextList,            // COUNT texts, key formatted with FIRST, FIRST + 1, ...
  kInt,                 // leading decimal number
  kPort,                // leading decimal number as an unsigned 16-bit value
  kPowerFailWait,       // seconds, at least 30
  kPowerFailWaitOther,  // seconds, derived from g_Power_Fail_Wait
  kTrapInterval,        // seconds read, milliseconds kept, at least 2 s
  kTimeOut,             // milliseconds; a value that is not a positive number takes the default
};

struct SettingRow {
  const char *key;  // the key, or its format for a list
  SettingKind kind;
  void *target;
  uint32_t capacity;         // text rows: size of one text
  int first, count;          // list rows
  const char *default_text;  // text rows: the value when missing (nullptr: keep "<default>")
  int32_t default_number;    // number rows: the value when missing
  const char *write_back;    // written into the file when missing, or nullptr
  bool log_value;            // log "*** [key] = (%d)" after the row
  void (*after)();           // further log lines after the row, or nullptr
};

void LogUnitTable() {
  WriteSnmpLogF(0, kLogUpsIpFirst, g_Ups_Ip[0], g_Community);
  for (int slot = 1; slot < UPS_UNIT_COUNT; ++slot) {
    if (!IsFreeSlot(slot)) WriteSnmpLogF(0, kLogUpsIpSlot, slot, g_Ups_Ip[slot]);
  }
  WriteSnmpLogF(0, kLogOffMode, g_Ups_Off[0], g_Dilay_Time_Cut[0]);
  WriteSnmpLogF(0, kLogWatchTimer, static_cast<int>(g_Power_Fail_Wait),
                static_cast<int>(g_Power_Fail_Wait_Other));
  WriteSnmpLogF(0, kLogTrapInterval, static_cast<int>(g_Trap_Interval / 1000));
  WriteSnmpLogF(0, kLogOtherOnWait, g_Other_On_Wait);
}

void LogAutoReboot() {
  WriteSnmpLogF(0, kLogAutoReboot, g_Auto_Reboot_Org);
}
void LogTimeOut() {
  WriteSnmpLogF(0, kLogTimeOut, g_TimeOut, g_Retry);
}
void LogOutletTimeOut() {
  WriteSnmpLogF(0, kLogOutletTimeOut, g_TimeOut_Outlet, g_Retry_Outlet);
}

// The settings in the order they are read.
const SettingRow kSettingRows[] = {
    {"SnmpLogSize", SettingKind::kLogSize, nullptr, 0, 0, 0, nullptr, 0, "0", false, nullptr},
    {"NO_TRAP", SettingKind::kNoTrap, &g_No_Trap, 0, 0, 0, nullptr, 1, nullptr, false, nullptr},
    {"UPS_IP", SettingKind::kText, g_Ups_Ip[0], ADDRESS_SIZE, 0, 0, FREE_SLOT_ADDRESS, 0, nullptr, false,
     nullptr},
    {"UPS_IP%d", SettingKind::kTextList, g_Ups_Ip[1], ADDRESS_SIZE, 1, UPS_UNIT_COUNT - 1, FREE_SLOT_ADDRESS,
     0, nullptr, false, nullptr},
    {"UPS_IP_S%d", SettingKind::kTextList, g_Ups_Ip_S, ADDRESS_SIZE, 0, UPS_LIST_COUNT, "", 0, nullptr, false,
     nullptr},
    {"SERVER_IP_%d", SettingKind::kTextList, g_Server_Ip, ADDRESS_SIZE, 0, UPS_LIST_COUNT, "", 0, nullptr,
     false, nullptr},
    {"UPS_IP_O%d", SettingKind::kTextList, g_Ups_Ip_O, ADDRESS_SIZE, 0, UPS_LIST_COUNT, "", 0, nullptr, false,
     nullptr},
    {"UPS_Com", SettingKind::kText, g_Community, ADDRESS_SIZE, 0, 0, "kelpie", 0, nullptr, false, nullptr},
    {"UPS_Off", SettingKind::kText, g_Ups_Off, sizeof g_Ups_Off, 0, 0, "S", 0, nullptr, false, nullptr},
    {"UPS_Power_fail_wait", SettingKind::kPowerFailWait, &g_Power_Fail_Wait, 0, 0, 0, nullptr, 60, nullptr,
     false, nullptr},
    {"UPS_Power_fail_wait_other", SettingKind::kPowerFailWaitOther, &g_Power_Fail_Wait_Other, 0, 0, 0,
     nullptr, 0, nullptr, false, nullptr},
    {"UPS_other_on_wait", SettingKind::kInt, &g_Other_On_Wait, 0, 0, 0, nullptr, 0, nullptr, false, nullptr},
    {"SNMP_Trap_interval", SettingKind::kTrapInterval, &g_Trap_Interval, 0, 0, 0, nullptr, 5, nullptr, false,
     nullptr},
    {"DilayTimeCut", SettingKind::kText, g_Dilay_Time_Cut, sizeof g_Dilay_Time_Cut, 0, 0, "Y", 0, nullptr,
     false, nullptr},
    {"SNMP_GET_RETRY", SettingKind::kInt, &g_Snmp_Get_Retry, 0, 0, 0, nullptr, 5, nullptr, false, nullptr},
    {"SNMP_SET_RETRY", SettingKind::kInt, &g_Snmp_Set_Retry, 0, 0, 0, nullptr, 5, nullptr, false, nullptr},
    {"NAME", SettingKind::kText, g_Name, sizeof g_Name, 0, 0, nullptr, 0, nullptr, false, nullptr},
    {"PORT", SettingKind::kPort, &g_Port, 0, 0, 0, nullptr, 0, nullptr, false, nullptr},
    {"VEX_PORT", SettingKind::kPort, &g_Vex_Port, 0, 0, 0, nullptr, 0, nullptr, false, nullptr},
    {"SEND_IP", SettingKind::kText, g_Send_Ip, ADDRESS_SIZE, 0, 0, "255.255.255.255", 0, nullptr, false,
     nullptr},
    {"SEND_IP02", SettingKind::kText, g_Send_Ip02, ADDRESS_SIZE, 0, 0, "", 0, nullptr, false, nullptr},
    {"SEND_IP03", SettingKind::kText, g_Send_Ip03, ADDRESS_SIZE, 0, 0, "", 0, nullptr, false, LogUnitTable},
    {"AUTO_REBOOT_ORG", SettingKind::kYesFlag, &g_Auto_Reboot_Org, 0, 0, 0, nullptr, 0, nullptr, false,
     LogAutoReboot},
    {"upsAdvConfigHighTransferVolt", SettingKind::kInt, &g_High_Transfer_Volt, 0, 0, 0, nullptr, 108, nullptr,
     true, nullptr},
    {"upsAdvConfigLowTransferVolt", SettingKind::kInt, &g_Low_Transfer_Volt, 0, 0, 0, nullptr, 92, nullptr,
     true, nullptr},
    {"upsAdvConfigAlarm", SettingKind::kInt, &g_Alarm, 0, 0, 0, nullptr, 1, nullptr, true, nullptr},
    {"upsAdvConfigAlarmTimer", SettingKind::kInt, &g_Alarm_Timer, 0, 0, 0, nullptr, 0, nullptr, true,
     nullptr},
    {"upsAdvConfigMinReturnCapacity", SettingKind::kInt, &g_Min_Return_Capacity, 0, 0, 0, nullptr, 0, nullptr,
     true, nullptr},
    {"upsAdvConfigSensitivity", SettingKind::kInt, &g_Sensitivity, 0, 0, 0, nullptr, 4, nullptr, true,
     nullptr},
    {"upsAdvConfigLowBatteryRunTime", SettingKind::kInt, &g_Low_Battery_Run_Time, 0, 0, 0, nullptr, 120,
     nullptr, true, nullptr},
    {"upsAdvConfigBattExhaustThresh", SettingKind::kInt, &g_Batt_Exhaust_Thresh, 0, 0, 0, nullptr, 0, nullptr,
     true, nullptr},
    {"upsAdvTestDiagnosticSchedule", SettingKind::kInt, &g_Diagnostic_Schedule, 0, 0, 0, nullptr, 2, nullptr,
     true, nullptr},
    {"TimeOut", SettingKind::kTimeOut, &g_TimeOut, 0, 0, 0, nullptr, 1000, "1000", false, nullptr},
    {"Retry", SettingKind::kInt, &g_Retry, 0, 0, 0, nullptr, 2, "2", false, LogTimeOut},
    {"TimeOut_Outlet", SettingKind::kTimeOut, &g_TimeOut_Outlet, 0, 0, 0, nullptr, 5000, "5000", false,
     nullptr},
    {"Retry_Outlet", SettingKind::kInt, &g_Retry_Outlet, 0, 0, 0, nullptr, 1, "1", false, LogOutletTimeOut},
};

bool IsMissing(const char *value) {
  return strcmp(value, MISSING_KEY) == 0;
}

// The leading decimal number of TEXT as "%d" reads it: optional blanks and sign, then digits;
// anything else is 0. Numbers beyond the 32-bit range are cut to the nearest bound.
int32_t LeadingInt(const char *text) {
  char *end = nullptr;
  long long number = strtoll(text, &end, 10);
  if (end == text) return 0;
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

// The leading decimal number of TEXT as "%hu" reads it: taken modulo 65536.
uint16_t LeadingPort(const char *text) {
  char *end = nullptr;
  unsigned long number = strtoul(text, &end, 10);
  if (end == text) return 0;
  return static_cast<uint16_t>(number);
}

void ApplyTextRow(const SettingRow &row, const char *key, char *target) {
  ReadSnmpSetting(key, target, row.capacity);
  if (IsMissing(target) && row.default_text != nullptr) {
    snprintf(target, row.capacity, "%s", row.default_text);
  }
}

// Reads one row of the settings table into its global.
void ApplyRow(const SettingRow &row) {
  if (row.kind == SettingKind::kText) {
    ApplyTextRow(row, row.key, static_cast<char *>(row.target));
    return;
  }
  if (row.kind == SettingKind::kTextList) {
    char *base = static_cast<char *>(row.target);
    for (int i = 0; i < row.count; ++i) {
      char key[64];
      snprintf(key, sizeof key, row.key, row.first + i);
      ApplyTextRow(row, key, base + static_cast<size_t>(i) * row.capacity);
    }
    return;
  }

  char value[ADDRESS_SIZE];
  ReadSnmpSetting(row.key, value, sizeof value);
  bool missing = IsMissing(value);
  if (missing && row.write_back != nullptr) WriteSnmpSetting(row.key, row.write_back);
  int32_t number = missing ? row.default_number : LeadingInt(value);

  switch (row.kind) {
    case SettingKind::kLogSize:
      g_Snmp_Log_Size.store(number);
      break;
    case SettingKind::kNoTrap:
      *static_cast<int *>(row.target) = (!missing && (value[0] == 'n' || value[0] == 'N')) ? 0 : 1;
      break;
    case SettingKind::kYesFlag:
      *static_cast<int32_t *>(row.target) = (!missing && (value[0] == 'y' || value[0] == 'Y')) ? 1 : 0;
      break;
    case SettingKind::kInt:
      *static_cast<int32_t *>(row.target) = number;
      break;
    case SettingKind::kPort:
      *static_cast<uint16_t *>(row.target) =
          missing ? static_cast<uint16_t>(row.default_number) : LeadingPort(value);
      break;
    case SettingKind::kPowerFailWait:
      // A negative wait would never run out: it counts as below the minimum.
      *static_cast<uint32_t *>(row.target) = number < static_cast<int32_t>(kPowerFailWaitMin)
                                                 ? kPowerFailWaitMin
                                                 : static_cast<uint32_t>(number);
      break;
    case SettingKind::kPowerFailWaitOther: {
      uint32_t derived =
          g_Power_Fail_Wait >= 60 ? g_Power_Fail_Wait - kPowerFailWaitOtherMargin : kPowerFailWaitOtherShort;
      // Read as an unsigned number: a negative text is far above the upper bound.
      uint32_t read = static_cast<uint32_t>(number);
      *static_cast<uint32_t *>(row.target) =
          (missing || read > g_Power_Fail_Wait + kPowerFailWaitOtherMargin) ? derived : read;
      break;
    }
    case SettingKind::kTrapInterval: {
      int32_t seconds = number < kTrapIntervalMinSeconds ? kTrapIntervalMinSeconds : number;
      if (seconds > kTrapIntervalMaxSeconds) seconds = kTrapIntervalMaxSeconds;
      *static_cast<uint32_t *>(row.target) = static_cast<uint32_t>(seconds) * 1000u;
      break;
    }
    case SettingKind::kTimeOut:
      // Junk reads as 0, and a time-out of 0 or less would leave a request no time at all
      // (the request is then repeated at once and reported failed although the card may
      // carry it out): such a value takes the default.
      *static_cast<int32_t *>(row.target) = number > 0 ? number : row.default_number;
      break;
    case SettingKind::kText:
    case SettingKind::kTextList:
      break;
  }
  if (row.log_value) WriteSnmpLogF(0, kLogAdvConfig, row.key, *static_cast<int32_t *>(row.target));
}

// Reads "PathName" of the product key into g_Install_Path; false when the key or the value
// cannot be read. Any value type is accepted; the read is limited to the buffer.
bool ReadInstallPath() {
  qp_regkey *key = nullptr;
  if (qp_reg_open_key(kProductKey, &key) != ERROR_SUCCESS) return false;
  uint32_t size = sizeof g_Install_Path;
  uint32_t rc = qp_reg_query_value(key, kPathNameValue, nullptr, g_Install_Path, &size);
  qp_reg_close_key(key);
  if (rc != ERROR_SUCCESS) {
    g_Install_Path[0] = '\0';
    return false;
  }
  g_Install_Path[size < sizeof g_Install_Path ? size : sizeof g_Install_Path - 1] = '\0';
  return true;
}

// 1 when "DEBUGDLL" exists and its data fits into one byte.
int ReadDebugSwitch() {
  qp_regkey *key = nullptr;
  if (qp_reg_open_key(kProductKey, &key) != ERROR_SUCCESS) return 0;
  uint8_t data = 0;
  uint32_t size = sizeof data;
  uint32_t rc = qp_reg_query_value(key, kDebugValue, nullptr, &data, &size);
  qp_reg_close_key(key);
  return rc == ERROR_SUCCESS ? 1 : 0;
}

void ClearSettings() {
  memset(g_Ups_Ip, 0, sizeof g_Ups_Ip);
  memset(g_Ups_Ip_S, 0, sizeof g_Ups_Ip_S);
  memset(g_Server_Ip, 0, sizeof g_Server_Ip);
  memset(g_Ups_Ip_O, 0, sizeof g_Ups_Ip_O);
  g_Snmp_Log_Size.store(0);
  g_Debug_Mode = 0;
}

}  // namespace

void ReadSnmpSetting(const char *key, char *out, uint32_t capacity) {
  qp_profile_get_string(kSettingsSection, key, MISSING_KEY, out, capacity, g_Settings_Path);
}

void WriteSnmpSetting(const char *key, const char *value) {
  qp_profile_write_string(kSettingsSection, key, value, g_Settings_Path);
}

void ReadDataProfile(const char *file, const char *section, const char *key, char *out, uint32_t capacity) {
  char path[LIBRARY_PATH_SIZE];
  int n = snprintf(path, sizeof path, kDataPathFormat, g_Install_Path, file);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
    if (capacity > 0) snprintf(out, capacity, "%s", MISSING_KEY);
    return;
  }
  qp_profile_get_string(section, key, MISSING_KEY, out, capacity, path);
}

void WriteDataProfile(const char *file, const char *section, const char *key, const char *value) {
  char path[LIBRARY_PATH_SIZE];
  int n = snprintf(path, sizeof path, kDataPathFormat, g_Install_Path, file);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return;
  qp_profile_write_string(section, key, value, path);
}

bool SnmpUpsLoad() {
  ClearStatusWords();
  ClearSettings();
  // Without the install path there is no settings file and no log: fail without a line.
  if (!ReadInstallPath()) return false;
  snprintf(g_Settings_Path, sizeof g_Settings_Path, "%s%s", g_Install_Path, kSettingsFile);
  // A settings file that is not a regular file, or is oversized, is not read (nor written
  // back into): every key takes its default, and the log says why.
  uint32_t refused = qp_file_check_regular(g_Settings_Path, QP_PROFILE_MAX_SIZE);
  if (refused == ERROR_BAD_FILE_TYPE) WriteSnmpLog(kLogSettingsNotRegular, refused);
  if (refused == ERROR_FILE_TOO_LARGE) WriteSnmpLogF(refused, kLogSettingsTooLarge, QP_PROFILE_MAX_SIZE);

  for (const SettingRow &row : kSettingRows) {
    ApplyRow(row);
    if (row.kind == SettingKind::kLogSize) g_Debug_Mode = ReadDebugSwitch();
    if (row.after != nullptr) row.after();
  }

  qp_mutex **mutexes[] = {&g_Stop_Mutex, &g_Log_Mutex, &g_Trap_Log_Mutex, &g_Ups_Log_Mutex};
  for (qp_mutex **mutex : mutexes) {
    *mutex = qp_mutex_create();
    if (*mutex == nullptr) {
      SnmpUpsUnload();
      return false;
    }
  }

  if (g_Debug_Mode) WriteSnmpLog(kLogDebugMode, 0);
  WriteSnmpLog(kLogScgSupport, 0);
  return true;
}

void SnmpUpsUnload() {
  g_Library_Ready.store(0);
  CloseKeptLogs(1000);
  qp_mutex **mutexes[] = {&g_Ups_Log_Mutex, &g_Trap_Log_Mutex, &g_Log_Mutex, &g_Stop_Mutex};
  for (qp_mutex **mutex : mutexes) {
    if (*mutex != nullptr) qp_mutex_close(*mutex);
    *mutex = nullptr;
  }
}
