// The power-control items and the power-on condition as data: allowed bits, the conversions
// between condition flags and expression, the expression check and the system-type rules.
//
// Sections: the condition tables, conversions, the expression check, record checks, payload
// and hex helpers.
#include "power_condition.h"

#include <stdio.h>
#include <string.h>

#include "quorin/qp_error.h"

namespace {

constexpr uint32_t kInvalid = ERROR_INVALID_PARAMETER;

// ---- Condition tables ----

// One condition bit and the token that stands for it, in the order the flags are written out.
struct ConditionToken {
  int byte;
  uint8_t bit;
  const char *token;
};
constexpr ConditionToken kConditionTokens[] = {
    {0, 0x01, "TIM"}, {0, 0x02, "LAN"}, {1, 0x80, "AUX1"}, {1, 0x40, "AUX2"}, {3, 0x08, "CD2"},
    {3, 0x04, "ER2"}, {4, 0x08, "CD3"}, {4, 0x04, "ER3"},  {5, 0x08, "CD4"},  {5, 0x04, "ER4"},
    {6, 0x08, "CD5"}, {6, 0x04, "ER5"}, {7, 0x08, "CD6"},  {7, 0x04, "ER6"},  {8, 0x08, "CD7"},
    {8, 0x04, "ER7"}, {9, 0x08, "CD8"}, {9, 0x04, "ER8"},
};

// The tokens an expression may hold, compared in this order at each letter.
constexpr const char *kExpressionTokens[] = {"TIM", "AUX1", "AUX2", "NET", "CD2", "CD3", "CD4", "CD5", "CD6",
                                             "CD7", "CD8",  "ER2",  "ER3", "ER4", "ER5", "ER6", "ER7", "ER8"};

// Allowed bits of the item bytes I[0..8] and the condition bytes C[0..9], whatever the type.
constexpr uint8_t kItemAllowed[kItemCount] = {0xC8, 0x00, 0x8C, 0x8C, 0x8C, 0x8C, 0x8C, 0x8C, 0x8C};
constexpr uint8_t kConditionAllowed[kConditionCount] = {0x03, 0xC0, 0x00, 0x0C, 0x0C,
                                                        0x0C, 0x0C, 0x0C, 0x0C, 0x0C};

// Item and condition bits that the type-2 rules tie to the slot bytes or to each other.
constexpr uint8_t kItemPowerBit = 0x80;  // I[n] 0x80 needs slot bit 0x01
constexpr uint8_t kUnitBits = 0x0C;      // I[n] and C[n+1] 0x08/0x04 need slot bit 0x04
constexpr uint8_t kSlotUnitBits = 0x04;
constexpr uint8_t kSlotPowerBit = 0x01;
constexpr uint8_t kItemType1Allowed = 0x08;  // the only bit of I[0] on type 1
constexpr uint8_t kItemAux1Bit = 0x80;       // I[0] 0x80 excludes condition AUX1 (C[1] 0x80)
constexpr uint8_t kItemAux2Bit = 0x40;       // I[0] 0x40 excludes condition AUX2 (C[1] 0x40)
constexpr uint8_t kConditionAux1 = 0x80;
constexpr uint8_t kConditionAux2 = 0x40;
constexpr int kFirstUnit = 2;
constexpr int kLastUnit = 8;

constexpr char kLanToken[] = "LAN";
constexpr char kLanPayload[] = "LAN*ARP";

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsOperator(char c) {
  return c == '+' || c == '*';
}

// Length of the expression token that starts at TEXT, or 0 when none does.
size_t TokenAt(const char *text) {
  for (const char *token : kExpressionTokens) {
    size_t n = strlen(token);
    if (strncmp(text, token, n) == 0) return n;
  }
  return 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

// ---- Conversions ----

void ConditionFlagsToExpression(const uint8_t *condition, char *out, size_t out_size) {
  if (out_size == 0) return;
  out[0] = '\0';
  size_t used = 0;
  for (const ConditionToken &t : kConditionTokens) {
    if ((condition[t.byte] & t.bit) == 0) continue;
    int n = snprintf(out + used, out_size - used, "%s%s", used == 0 ? "" : "+", t.token);
    if (n < 0 || static_cast<size_t>(n) >= out_size - used) {
      out[used] = '\0';  // a token that does not fit whole is left out
      return;
    }
    used += static_cast<size_t>(n);
  }
}

void ConditionExpressionToFlags(const char *expression, uint8_t *condition) {
  memset(condition, 0, kConditionCount);
  for (const ConditionToken &t : kConditionTokens)
    if (strstr(expression, t.token) != nullptr) condition[t.byte] |= t.bit;
}

// ---- Expression check ----

bool IsValidConditionExpression(const char *expression) {
  size_t length = strnlen(expression, kExpressionAreaSize);
  if (length >= kExpressionAreaSize) return false;

  // Tokens and operators only; no two operands side by side (an operand ends with a token or
  // a closing parenthesis, and one starts with a token or an opening parenthesis).
  bool after_operand = false;
  for (size_t i = 0; i < length;) {
    char c = expression[i];
    if (IsLetter(c)) {
      size_t n = TokenAt(expression + i);
      if (n == 0 || after_operand) return false;
      i += n;
      after_operand = true;
    } else if (IsOperator(c)) {
      after_operand = false;
      ++i;
    } else if (c == '(') {
      if (after_operand) return false;
      ++i;
    } else if (c == ')') {
      after_operand = true;
      ++i;
    } else {
      return false;
    }
  }

  // Parentheses balanced, and the text without them.
  char bare[kExpressionAreaSize];
  size_t bare_length = 0;
  int depth = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = expression[i];
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth < 0) return false;
    } else {
      bare[bare_length++] = c;
    }
  }
  if (depth != 0) return false;

  // Operators: none at either end, none next to another.
  if (bare_length > 0 && (IsOperator(bare[0]) || IsOperator(bare[bare_length - 1]))) return false;
  for (size_t i = 0; i + 1 < bare_length; ++i)
    if (IsOperator(bare[i]) && IsOperator(bare[i + 1])) return false;

  // Parentheses: no operator just inside one, no empty pair.
  for (size_t i = 0; i + 1 < length; ++i) {
    char a = expression[i], b = expression[i + 1];
    if ((a == '(' && (IsOperator(b) || b == ')')) || (IsOperator(a) && b == ')')) return false;
  }
  return true;
}

// ---- Record checks ----

bool CopyExpressionWithoutBlanks(const char *text, char *out, size_t out_size) {
  size_t length = strnlen(text, kExpressionMaxLength + 1);
  if (length > kExpressionMaxLength || out_size == 0) return false;
  size_t used = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == ' ' || text[i] == '\t') continue;
    if (used + 1 >= out_size) return false;
    out[used++] = text[i];
  }
  out[used] = '\0';
  return true;
}

uint32_t PreparePowerControl(const uint8_t *item, const uint8_t *condition, PowerControlScratch *scratch) {
  memset(scratch, 0, sizeof *scratch);
  if (item[0] != kRecordVersion || (condition[0] != kFormFlags && condition[0] != kFormExpression))
    return ERROR_INVALID_PARAMETER;
  memcpy(scratch->items, item + 1, kItemCount);
  for (int i = 0; i < kItemCount; ++i)
    if ((scratch->items[i] & ~kItemAllowed[i]) != 0) return ERROR_INVALID_PARAMETER;

  if (condition[0] == kFormFlags) {
    memcpy(scratch->condition, condition + 1, kConditionCount);
    for (int i = 0; i < kConditionCount; ++i)
      if ((scratch->condition[i] & ~kConditionAllowed[i]) != 0) return ERROR_INVALID_PARAMETER;
    ConditionFlagsToExpression(scratch->condition, scratch->expression, sizeof scratch->expression);
    return 0;
  }
  const char *text = reinterpret_cast<const char *>(condition + 1);
  if (!CopyExpressionWithoutBlanks(text, scratch->expression, sizeof scratch->expression) ||
      !IsValidConditionExpression(scratch->expression))
    return ERROR_INVALID_PARAMETER;
  ConditionExpressionToFlags(scratch->expression, scratch->condition);
  return 0;
}

uint32_t CheckPowerControlForType(int type, const PowerControlScratch *scratch) {
  const uint8_t *items = scratch->items;
  const uint8_t *condition = scratch->condition;
  bool units_clear = true;  // C[1..9] all 0
  for (int i = 1; i < kConditionCount; ++i)
    if (condition[i] != 0) units_clear = false;
  bool items_clear = true;  // I[1..8] all 0
  for (int i = 1; i < kItemCount; ++i)
    if (items[i] != 0) items_clear = false;

  switch (type) {
    case kSystemType0:
      return items[0] == 0 && items_clear && units_clear ? 0 : kInvalid;
    case kSystemType1:
      return (items[0] & ~kItemType1Allowed) == 0 && items_clear && units_clear ? 0 : kInvalid;
    case kSystemType2:
      for (int n = kFirstUnit; n <= kLastUnit; ++n) {
        uint8_t slot = scratch->slots[n - 1];
        if (((items[n] | condition[n + 1]) & kUnitBits) != 0 && (slot & kSlotUnitBits) == 0)
          return ERROR_INVALID_PARAMETER;
        if ((items[n] & kItemPowerBit) != 0 && (slot & kSlotPowerBit) == 0) return ERROR_INVALID_PARAMETER;
      }
      if ((items[0] & kItemAux1Bit) != 0 && (condition[1] & kConditionAux1) != 0)
        return ERROR_INVALID_PARAMETER;
      if ((items[0] & kItemAux2Bit) != 0 && (condition[1] & kConditionAux2) != 0)
        return ERROR_INVALID_PARAMETER;
      return 0;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

// ---- Payload and hex ----

bool FormatConditionPayload(const char *expression, char *out, size_t out_size, uint32_t *n) {
  if (out_size == 0) return false;
  size_t used = 0;
  for (const char *p = expression; *p != '\0';) {
    bool lan = strncmp(p, kLanToken, sizeof kLanToken - 1) == 0;
    const char *piece = lan ? kLanPayload : p;
    size_t piece_length = lan ? sizeof kLanPayload - 1 : 1;
    if (used + piece_length >= out_size) return false;
    memcpy(out + used, piece, piece_length);
    used += piece_length;
    p += lan ? sizeof kLanToken - 1 : 1;
  }
  out[used] = '\0';
  *n = static_cast<uint32_t>(used);
  return true;
}

void CopyReturnedExpression(const char *expression, char *field) {
  snprintf(field, kReturnedExpressionField, "%s", expression);
}

void EncodeHexBytes(const uint8_t *bytes, int count, char *out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  out[2 * count] = '\0';
}

bool DecodeHexBytes(const char *text, int count, uint8_t *out) {
  for (int i = 0; i < count; ++i) {
    int high = HexValue(text[2 * i]);
    if (high < 0) return false;
    int low = HexValue(text[2 * i + 1]);
    if (low < 0) return false;
    out[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}
