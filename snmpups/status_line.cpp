// The status line of one UPS: the address a unit code names, then one GET by address per column,
// each appended as its fixed-width value or as its dashes.
//
// A column whose read fails, or whose answer carries another type than the column's (so that no
// value was delivered), gets its dashes: the line never shows a number the card did not send.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"
#include "status_line.h"

namespace {

using namespace powernet;

// One column of the line: the variable, the quiet level of its read, and its two texts. The
// value of a TimeTicks column is shown in whole seconds.
struct StatusColumn {
  const PowerNetVariable *variable;
  int quiet_level;
  const char *success;
  const char *failure;
};

constexpr StatusColumn kColumns[] = {
    {&kUpsBasicInputPhase, 0, " %d ", " - "},
    {&kUpsAdvInputLineFailCause, 0, "%02d ", "-- "},
    {&kUpsAdvInputLineVoltage, 2, "%03d ", "--- "},
    {&kUpsAdvInputMaxLineVoltage, 2, "%03d ", "--- "},
    {&kUpsAdvInputMinLineVoltage, 2, "%03d ", "--- "},
    {&kUpsAdvInputFrequency, 2, "%02d ", "-- "},
    {&kUpsBasicOutputStatus, 0, " %02d ", " -- "},
    {&kUpsBasicOutputPhase, 2, "%d ", "- "},
    {&kUpsAdvOutputVoltage, 2, "%03d ", "--- "},
    {&kUpsAdvOutputFrequency, 2, "%02d ", "-- "},
    {&kUpsAdvOutputLoad, 2, "%04d ", "---- "},
    {&kUpsAdvOutputCurrent, 2, "%03d ", "--- "},
    {&kUpsAdvBatteryCapacity, 2, " %03d ", " --- "},
    {&kUpsAdvBatteryTemperature, 2, "%03d ", "--- "},
    {&kUpsAdvBatteryRunTimeRemaining, 2, "%04d  ", "----  "},
    {&kUpsAdvBatteryReplaceIndicator, 2, "%d ", "- "},
};
// The two further columns of a Symmetra: its battery packs and its bad battery packs.
constexpr StatusColumn kSymmetraColumns[] = {
    {&kUpsAdvBatteryNumOfBattPacks, 2, "[%d ", "[- "},
    {&kUpsAdvBatteryNumOfBadBattPacks, 2, "%d] ", "-] "},
};
// Models whose UPS_type begins with this text get the Symmetra columns.
constexpr char kSymmetraModel[] = "Symmetra";
// An "IP" entry of the information file with this address names no UPS.
constexpr char kNoInfoAddress[] = "0.0.0.0";
constexpr int kTicksPerSecond = 100;

static_assert(sizeof STATUS_LINE_NO_ADDRESS - 1 == 52, "the no-address line is 52 dashes");
static_assert(sizeof STATUS_LINE_NO_ANSWER - 1 == 60, "the no-answer line is 60 characters");

// Appends a formatted text to LINE, cutting it at STATUS_LINE_SIZE.
void Append(char *line, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Append(char *line, const char *format, ...) {
  size_t used = strnlen(line, STATUS_LINE_SIZE - 1);
  va_list args;
  va_start(args, format);
  vsnprintf(line + used, STATUS_LINE_SIZE - used, format, args);
  va_end(args);
}

void AppendColumn(char *line, const char *address, const StatusColumn &column) {
  int value = 0;
  bool stored = false;
  uint32_t result = SnmpGetByAddressStored(address, column.variable->oid, column.variable->type, &value,
                                           column.quiet_level, &stored);
  if (result != SNMP_RESULT_OK || !stored) {
    Append(line, "%s", column.failure);
    return;
  }
  if (column.variable->type == QP_ASN_TIMETICKS)
    value = static_cast<int>(static_cast<uint32_t>(value) / kTicksPerSecond);
    // The column's format is one of the constant texts of the table above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  Append(line, column.success, value);
#pragma GCC diagnostic pop
}

// A usable address text: not empty and not the free-slot address.
bool Usable(const char *address) {
  return address[0] != '\0' && strcmp(address, FREE_SLOT_ADDRESS) != 0;
}

// The address of UNIT_CODE into ADDRESS (ADDRESS_SIZE bytes), and whether the line gets the
// Symmetra columns; false when the code names no address.
bool StatusLineAddress(int unit_code, char *address, bool *symmetra) {
  *symmetra = false;
  address[0] = '\0';
  if (unit_code >= UNIT_CODE_TABLE && unit_code <= UNIT_CODE_TABLE_STATUS_LAST) {
    snprintf(address, ADDRESS_SIZE, "%s", g_Ups_Ip[unit_code - UNIT_CODE_TABLE]);
    return strcmp(address, FREE_SLOT_ADDRESS) != 0;
  }
  if (unit_code >= 0 && unit_code < UPS_LIST_COUNT) {
    snprintf(address, ADDRESS_SIZE, "%s", g_Ups_Ip_S[unit_code]);
    return Usable(address);
  }
  if (unit_code >= UNIT_CODE_OTHER && unit_code < UNIT_CODE_OTHER + UPS_LIST_COUNT) {
    snprintf(address, ADDRESS_SIZE, "%s", g_Ups_Ip_O[unit_code - UNIT_CODE_OTHER]);
    return Usable(address);
  }
  if (unit_code >= UNIT_CODE_INFO_FIRST && unit_code <= UNIT_CODE_INFO_LAST) {
    char section[16];
    snprintf(section, sizeof section, "%d", unit_code);
    ReadDataProfile(UPS_INFO_FILE, section, UPS_INFO_KEY_IP, address, ADDRESS_SIZE);
    if (strcmp(address, MISSING_KEY) == 0 || strcmp(address, kNoInfoAddress) == 0 || address[0] == '\0') {
      address[0] = '\0';
      return false;
    }
    char model[ADDRESS_SIZE];
    ReadDataProfile(UPS_INFO_FILE, section, UPS_INFO_KEY_TYPE, model, sizeof model);
    *symmetra = strncmp(model, kSymmetraModel, sizeof kSymmetraModel - 1) == 0;
    return true;
  }
  return false;
}

}  // namespace

int BuildUpsStatusLine(int unit_code, char *line) {
  char address[ADDRESS_SIZE];
  bool symmetra = false;
  if (!StatusLineAddress(unit_code, address, &symmetra)) {
    snprintf(line, STATUS_LINE_SIZE, "%s", STATUS_LINE_NO_ADDRESS);
    return 0;
  }
  line[0] = '\0';
  for (const StatusColumn &column : kColumns) AppendColumn(line, address, column);
  if (symmetra) {
    for (const StatusColumn &column : kSymmetraColumns) AppendColumn(line, address, column);
  }
  return 1;
}
