// libFuzzer target over the power-control item and condition rules: the record checks, the
// expression check, the conversions between condition flags and expression, the "S20" payload
// and the 5-byte returned expression.
//
// Input: byte 0 the system type (its value mod 5, less 1: -1 to 3), bytes 1-8 the slot bytes,
// bytes 9-17 the item bytes, byte 18 the form (even: flags, odd: expression), the rest the ten
// condition bytes or the expression text. Every area is a heap block of exactly its size, so
// that a read or write past the 16-, 256- or 5-byte areas is caught; the round trips must hold.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "power_condition.h"

namespace {

constexpr size_t kHeader = 19;

// A heap block of exactly SIZE bytes holding DATA (N bytes), the rest zero.
std::unique_ptr<uint8_t[]> Block(size_t size, const uint8_t *data = nullptr, size_t n = 0) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[size]());
  if (n > 0) memcpy(block.get(), data, n < size ? n : size);
  return block;
}

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// The checks on the prepared areas of a record pair that passed.
void CheckPrepared(const PowerControlScratch &scratch, bool flag_form, const uint8_t *flags, int type,
                   const uint8_t *slots) {
  // The areas as blocks of their own sizes.
  auto expression =
      Block(kExpressionAreaSize, reinterpret_cast<const uint8_t *>(scratch.expression), kExpressionAreaSize);
  auto condition = Block(kConditionAreaSize, scratch.condition, kConditionAreaSize);
  const char *text = reinterpret_cast<const char *>(expression.get());
  Require(strnlen(text, kExpressionAreaSize) < kExpressionAreaSize);

  // Expression -> flags gives the condition bytes; flags -> expression -> flags is stable.
  auto back = Block(kConditionAreaSize);
  ConditionExpressionToFlags(text, back.get());
  Require(memcmp(back.get(), condition.get(), kConditionCount) == 0);
  if (flag_form) Require(memcmp(condition.get(), flags, kConditionCount) == 0);
  auto written = Block(kExpressionAreaSize);
  ConditionFlagsToExpression(condition.get(), reinterpret_cast<char *>(written.get()), kExpressionAreaSize);
  const char *rewritten = reinterpret_cast<const char *>(written.get());
  if (flag_form) Require(strcmp(rewritten, text) == 0);
  auto again = Block(kConditionAreaSize);
  ConditionExpressionToFlags(rewritten, again.get());
  Require(memcmp(again.get(), condition.get(), kConditionCount) == 0);
  Require(IsValidConditionExpression(rewritten) == ((condition[0] & 0x02) == 0));
  if (!flag_form) Require(IsValidConditionExpression(text));

  // The payload fits the 256-byte scratch and expands every "LAN".
  auto payload = Block(kExpressionAreaSize);
  uint32_t n = 0;
  Require(FormatConditionPayload(text, reinterpret_cast<char *>(payload.get()), kExpressionAreaSize, &n));
  Require(n < kExpressionAreaSize && n >= strlen(text));

  // The returned expression stays within its five bytes.
  auto field = Block(kReturnedExpressionField);
  CopyReturnedExpression(text, reinterpret_cast<char *>(field.get()));
  Require(strnlen(reinterpret_cast<const char *>(field.get()), kReturnedExpressionField) <
          kReturnedExpressionField);

  PowerControlScratch typed = scratch;
  memcpy(typed.slots, slots, kSlotCount);
  uint32_t result = CheckPowerControlForType(type, &typed);
  Require(result == 0 || result == 87);
  if (type < 0 || type > 2) Require(result == 87);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kHeader) return 0;
  int type = static_cast<int>(data[0] % 5) - 1;
  auto slots = Block(kSlotAreaSize, data + 1, kSlotCount);
  auto item = Block(1 + kItemCount);
  item[0] = kRecordVersion;
  memcpy(item.get() + 1, data + 9, kItemCount);
  bool flag_form = (data[18] & 1) == 0;
  const uint8_t *rest = data + kHeader;
  size_t rest_size = size - kHeader;

  // The condition record: 11 bytes of flags, or the text with its NUL, each exactly sized.
  std::unique_ptr<uint8_t[]> condition;
  auto flags = Block(kConditionAreaSize, rest, rest_size < kConditionCount ? rest_size : kConditionCount);
  if (flag_form) {
    condition = Block(1 + kConditionCount);
    condition[0] = kFormFlags;
    memcpy(condition.get() + 1, flags.get(), kConditionCount);
  } else {
    condition = Block(1 + rest_size + 1, nullptr, 0);
    condition[0] = kFormExpression;
    memcpy(condition.get() + 1, rest, rest_size);
  }

  // The check and the copy on the raw text too, whatever its length and contents.
  if (!flag_form) {
    const char *text = reinterpret_cast<const char *>(condition.get() + 1);
    auto copy = Block(kExpressionAreaSize);
    if (CopyExpressionWithoutBlanks(text, reinterpret_cast<char *>(copy.get()), kExpressionAreaSize)) {
      Require(strlen(text) <= kExpressionMaxLength);
      IsValidConditionExpression(reinterpret_cast<const char *>(copy.get()));
    }
    IsValidConditionExpression(text);
    auto decoded = Block(kItemAreaSize);
    DecodeHexBytes(text, kItemCount, decoded.get());
  }

  std::unique_ptr<PowerControlScratch> scratch(new PowerControlScratch);
  uint32_t prepared = PreparePowerControl(item.get(), condition.get(), scratch.get());
  Require(prepared == 0 || prepared == 87);
  if (prepared == 0) CheckPrepared(*scratch, flag_form, flags.get(), type, slots.get());
  return 0;
}
