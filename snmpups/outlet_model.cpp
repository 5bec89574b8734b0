// Tells a UPS model with outlet groups from an older model by its firmware revision text and
// the size of its outlet-group table.
#include <string.h>

#include "powernet_oids.h"
#include "snmpups_state.h"

namespace {

constexpr int kOutletModel = 2;
constexpr int kOlderModel = 1;
constexpr int kFirmwareUnknown = 0;
// Firmware texts shorter than this say nothing about the model: the table size decides.
constexpr size_t kShortFirmware = 4;
// Firmware families of the models with outlet groups.
constexpr const char *kOutletFirmwareMarks[] = {"UPS", "UBL"};

constexpr char kLogFirmwareError[] = "[%s]CheckOutletUps FWRev Get Error";
constexpr char kLogOutletByTable[] = "[%s]OutUPS[TableSize:%d] ";
constexpr char kLogOutletByFirmware[] = "[%s]OutUPS[Fw:%s] ";
constexpr char kLogOlderModel[] = "[%s]CheckOutletUps 5G before";

}  // namespace

int CheckOutletUps(const char *address) {
  char firmware[SNMP_TEXT_BUFFER] = {0};
  uint32_t result = SnmpGetByAddress(address, powernet::kUpsAdvIdentFirmwareRevision.oid,
                                     powernet::kUpsAdvIdentFirmwareRevision.type, firmware, 0);
  if (result != SNMP_RESULT_OK) {
    WriteSnmpLogF(result, kLogFirmwareError, address);
    return kFirmwareUnknown;
  }
  int table_size = 1;
  if (SnmpGetByAddress(address, powernet::kOutletGroupTableSize.oid, powernet::kOutletGroupTableSize.type,
                       &table_size, 0) != SNMP_RESULT_OK) {
    table_size = 1;
  }

  bool outlet = false;
  if (strlen(firmware) < kShortFirmware) {
    outlet = table_size > 1;
    if (outlet) WriteSnmpLogF(0, kLogOutletByTable, address, table_size);
  } else {
    for (const char *mark : kOutletFirmwareMarks) outlet = outlet || strstr(firmware, mark) != nullptr;
    if (outlet) WriteSnmpLogF(0, kLogOutletByFirmware, address, firmware);
  }
  if (!outlet) WriteSnmpLogF(0, kLogOlderModel, address);
  return outlet ? kOutletModel : kOlderModel;
}
