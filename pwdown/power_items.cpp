// Power-control items: SetPowerControlItem, GetPowerControlItem and GetPreviousOnItem, and the
// slot read that the item checks share with GetLumoSlotInfo.
//
// Every argument and type-rule failure is found before the main connection is opened, so
// nothing reaches the service then. For system type 2 a settings change is wrapped in "071"
// ... "081"; once a step after "071" has been sent, the service always sees the closing "081".
#include <string.h>

#include "power_condition.h"
#include "pwdown_internal.h"

namespace {

// Request codes of this module.
constexpr char kCodeOpenSettings[] = "071";
constexpr char kCodeCloseSettings[] = "081";
constexpr char kCodeSetItems[] = "021";
constexpr char kCodeSetCondition[] = "031";
constexpr char kCodeSetExpression[] = "S20";
constexpr char kCodeGetItems[] = "022";
constexpr char kCodeGetCondition[] = "032";
constexpr char kCodeGetExpression[] = "S21";
constexpr char kCodePreviousOn[] = "0D2";
constexpr char kCodeSlots[] = "002";

// The condition bytes that go out with "031" and come back with "032": C[1..9].
constexpr int kUnitConditionCount = kConditionCount - 1;

// Condition bits that GetPowerControlItem derives from the stored expression.
constexpr uint8_t kConditionTim = 0x01;
constexpr uint8_t kConditionNet = 0x02;
constexpr char kTokenTim[] = "TIM";
constexpr char kTokenNet[] = "NET";

// Sends a read-form, unit-bound request whose answer is COUNT bytes as hex pairs, into OUT:
// 0, the request's error, or PC_ERR_PIPE_IO when the answer holds something else.
uint32_t ReadHexRecord(PcConnection *connection, const char *code, int count, uint8_t *out) {
  const char *data = nullptr;
  uint32_t length = static_cast<uint32_t>(2 * count);
  uint32_t error = 0;
  if (!SendCmdWithResponseData(connection, code, &data, &length, false, &error)) return error;
  if (!DecodeHexBytes(data, count, out)) return PC_ERR_PIPE_IO;
  return 0;
}

// Sends COUNT bytes as hex pairs with CODE (payload form, unit-bound).
bool WriteHexRecord(PcConnection *connection, const char *code, const uint8_t *bytes, int count,
                    uint32_t *error) {
  EncodeHexBytes(bytes, count, connection->scratch);
  return SendCmdWithData(connection, code, connection->scratch, static_cast<uint32_t>(2 * count), false,
                         error);
}

// Ends a settings change with "081"; its own outcome does not change the export's error.
void CloseSettings(PcConnection *connection) {
  uint32_t ignored = 0;
  SendCmdWithData(connection, kCodeCloseSettings, nullptr, 0, true, &ignored);
}

// The exchange of SetPowerControlItem for system TYPE once everything is checked: "071" (type
// 2), "021" (types 1 and 2), "031" (type 2), "S20" with PAYLOAD, "081" (type 2). 0 or the
// error of the first request that failed.
uint32_t SendPowerControl(int type, const PowerControlScratch *scratch, const char *payload, uint32_t n) {
  PcConnection connection;
  uint32_t error = OpenCommandPipe(&connection);
  if (error != 0) return error;
  bool wrapped = type == kSystemType2;
  if (wrapped && !SendCmdWithData(&connection, kCodeOpenSettings, nullptr, 0, true, &error)) {
    CloseCommandPipe(&connection);
    return error;
  }
  // A failed "021" or "031" is followed by "081" whatever the type; a failed "S20" only where
  // the change was opened with "071".
  bool ok =
      type == kSystemType0 || WriteHexRecord(&connection, kCodeSetItems, scratch->items, kItemCount, &error);
  if (ok && wrapped)
    ok = WriteHexRecord(&connection, kCodeSetCondition, scratch->condition + 1, kUnitConditionCount, &error);
  if (!ok) {
    CloseSettings(&connection);
    CloseCommandPipe(&connection);
    return error;
  }
  if (!SendCmdWithData(&connection, kCodeSetExpression, payload, n, true, &error)) {
    if (wrapped) CloseSettings(&connection);
    CloseCommandPipe(&connection);
    return error;
  }
  if (wrapped && !SendCmdWithData(&connection, kCodeCloseSettings, nullptr, 0, true, &error)) {
    CloseCommandPipe(&connection);
    return error;
  }
  CloseCommandPipe(&connection);
  return 0;
}

// Reads the stored items, expression and (flag form) condition for GetPowerControlItem into
// SCRATCH: 0 or the error of the first request that failed.
uint32_t ReadPowerControl(PcConnection *connection, int type, bool flag_form, PowerControlScratch *scratch) {
  uint32_t error = 0;
  if (type != kSystemType0) {
    error = ReadHexRecord(connection, kCodeGetItems, kItemCount, scratch->items);
    if (error != 0) return error;
  }
  const char *data = nullptr;
  uint32_t length = 0;
  if (!SendCmdWithResponseData(connection, kCodeGetExpression, &data, &length, true, &error)) return error;
  size_t copied = length < kExpressionAreaSize - 1 ? length : kExpressionAreaSize - 1;
  memcpy(scratch->expression, data, copied);
  scratch->expression[copied] = '\0';
  if (!flag_form) return 0;
  if (type == kSystemType2) {
    error = ReadHexRecord(connection, kCodeGetCondition, kUnitConditionCount, scratch->condition + 1);
    if (error != 0) return error;
  }
  if (strstr(scratch->expression, kTokenTim) != nullptr) scratch->condition[0] |= kConditionTim;
  if (strstr(scratch->expression, kTokenNet) != nullptr) scratch->condition[0] |= kConditionNet;
  return 0;
}

bool IsConditionForm(uint8_t form) {
  return form == kFormFlags || form == kFormExpression;
}

}  // namespace

uint32_t ReadSlotInfo(uint8_t *slots) {
  PcConnection connection;
  uint32_t error = OpenCommandPipe(&connection);
  if (error != 0) return error;
  error = ReadHexRecord(&connection, kCodeSlots, kSlotCount, slots);
  CloseCommandPipe(&connection);
  return error;
}

QP_DLL_EXPORT int SetPowerControlItem(const uint8_t *item, const uint8_t *condition) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (item == nullptr || condition == nullptr) return PcFail(ERROR_INVALID_PARAMETER);
  PowerControlScratch scratch;
  error = PreparePowerControl(item, condition, &scratch);
  if (error != 0) return PcFail(error);
  // The payload is formed before the connection opens, so that nothing is sent for a
  // condition that cannot be.
  char payload[kPayloadScratchSize];
  uint32_t n = 0;
  if (!FormatConditionPayload(scratch.expression, payload, sizeof payload, &n))
    return PcFail(ERROR_INVALID_PARAMETER);

  int type = GetSystemTypeFromRegistry();
  if (type == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  if (type == kSystemType2) {
    error = ReadSlotInfo(scratch.slots);
    if (error != 0) return PcFail(error);
  }
  error = CheckPowerControlForType(type, &scratch);
  if (error != 0) return PcFail(error);
  error = SendPowerControl(type, &scratch, payload, n);
  return error == 0 ? 1 : PcFail(error);
}

// The expression form returns at most the first four characters of the stored expression
// (and its NUL) through the record's 5-byte field; the flag form returns the whole condition.
QP_DLL_EXPORT int GetPowerControlItem(uint8_t *item, uint8_t *condition) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (item == nullptr || condition == nullptr || item[0] != kRecordVersion || !IsConditionForm(condition[0]))
    return PcFail(ERROR_INVALID_PARAMETER);
  int type = GetSystemTypeFromRegistry();
  if (type == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);

  PcConnection connection;
  error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  PowerControlScratch scratch;
  memset(&scratch, 0, sizeof scratch);
  bool flag_form = condition[0] == kFormFlags;
  error = ReadPowerControl(&connection, type, flag_form, &scratch);
  CloseCommandPipe(&connection);
  if (error != 0) return PcFail(error);

  memcpy(item + 1, scratch.items, kItemCount);
  if (flag_form)
    memcpy(condition + 1, scratch.condition, kConditionCount);
  else
    CopyReturnedExpression(scratch.expression, reinterpret_cast<char *>(condition + 1));
  return 1;
}

QP_DLL_EXPORT int GetPreviousOnItem(uint8_t *record) {
  uint32_t error = CheckQuoPcGate();
  if (error != 0) return PcFail(error);
  if (record == nullptr || record[0] != kRecordVersion) return PcFail(ERROR_INVALID_PARAMETER);
  int type = GetSystemTypeFromRegistry();
  if (type == kSystemTypeUnknown) return PcFail(PC_ERR_FAILED);
  if (type != kSystemType2) return PcFail(PC_ERR_UNSUPPORTED);

  PcConnection connection;
  error = OpenCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  uint8_t items[kItemAreaSize] = {};
  error = ReadHexRecord(&connection, kCodePreviousOn, kItemCount, items);
  CloseCommandPipe(&connection);
  if (error != 0) return PcFail(error);
  memcpy(record + 1, items, kItemCount);
  return 1;
}
