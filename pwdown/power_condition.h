// The power-control items and the power-on condition as data: the allowed bits of the nine item
// bytes and the ten condition bytes, the conversions between condition flags and the condition
// expression, the expression check, and the rules of each system type.
//
// Pure functions over caller-owned areas, with no I/O, so that the exports, the tests and the
// fuzz target run the same code.
//
// Record layouts (caller's memory):
//   item record       byte 0 the version (1), bytes 1-9 the item bytes I[0..8]
//   condition record  byte 0 the form: 1 = flags, bytes 1-10 the condition bytes C[0..9];
//                     65 ('A') = expression, a NUL-terminated text from byte 1
// Condition bits: C[0] 0x01 "TIM", 0x02 "LAN" (read back as "NET"); C[1] 0x80 "AUX1",
// 0x40 "AUX2"; C[2] always 0; C[n+1] for units n = 2..8: 0x08 "CDn", 0x04 "ERn".
// Slot bytes S[0..7]: S[n-1] describes unit n; 0x04 admits the per-unit bits 0x08/0x04, 0x01
// admits item bit 0x80.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr int kItemCount = 9;
inline constexpr int kConditionCount = 10;
inline constexpr int kSlotCount = 8;
// Sizes of the work areas of one call.
inline constexpr size_t kItemAreaSize = 16;
inline constexpr size_t kConditionAreaSize = 16;
inline constexpr size_t kExpressionAreaSize = 256;
inline constexpr size_t kSlotAreaSize = 16;
// The expression form takes at most this many characters before blanks are dropped.
inline constexpr size_t kExpressionMaxLength = 254;
// GetPowerControlItem returns an expression through a field of this size (text and its NUL).
inline constexpr size_t kReturnedExpressionField = 5;

inline constexpr uint8_t kRecordVersion = 1;
inline constexpr uint8_t kFormFlags = 1;
inline constexpr uint8_t kFormExpression = 65;

inline constexpr int kSystemType0 = 0;
inline constexpr int kSystemType1 = 1;
inline constexpr int kSystemType2 = 2;

// The work areas of one items call, zeroed at its start.
struct PowerControlScratch {
  uint8_t items[kItemAreaSize];           // I[0..8]
  uint8_t condition[kConditionAreaSize];  // C[0..9]
  char expression[kExpressionAreaSize];   // the condition expression, NUL-terminated
  uint8_t slots[kSlotAreaSize];           // S[0..7]
};

// Flags C[0..9] -> expression: the tokens of the set bits in table order, joined by "+"
// ("LAN" for C[0] bit 0x02). Cut, never overrun, when OUT_SIZE is too small.
void ConditionFlagsToExpression(const uint8_t *condition, char *out, size_t out_size);

// The expression check, on a text without blanks: tokens "TIM", "AUX1", "AUX2", "NET", "CD2"
// to "CD8", "ER2" to "ER8" (case-sensitive), operators "+" and "*", parentheses balanced, no
// operator at either end, next to another operator or just inside a parenthesis, no "()", and
// no two operands side by side without an operator. The empty text is valid.
bool IsValidConditionExpression(const char *expression);

// Expression -> flags C[0..9] by plain substring tests ("LAN" for C[0] bit 0x02).
void ConditionExpressionToFlags(const char *expression, uint8_t *condition);

// Copies TEXT without blanks and tabs into OUT (OUT_SIZE bytes). False when TEXT holds more
// than kExpressionMaxLength characters (looked for within kExpressionMaxLength + 1 bytes) or
// the result does not fit.
bool CopyExpressionWithoutBlanks(const char *text, char *out, size_t out_size);

// Reads the item and condition records into SCRATCH (zeroed first) and checks them without
// regard to the system type: the version and form bytes, the allowed bits of each item and
// condition byte, the length and syntax of an expression. Fills I, C and the expression (built
// from the flags, or copied without blanks). 0 or ERROR_INVALID_PARAMETER.
uint32_t PreparePowerControl(const uint8_t *item, const uint8_t *condition, PowerControlScratch *scratch);

// The rules of system TYPE over the prepared I and C, with the slot bytes in SCRATCH for type
// 2. 0 or ERROR_INVALID_PARAMETER.
uint32_t CheckPowerControlForType(int type, const PowerControlScratch *scratch);

// The "S20" payload: EXPRESSION with every "LAN" written as "LAN*ARP". *N gets its length.
// False (nothing usable in OUT) when it does not fit OUT_SIZE bytes with a NUL.
bool FormatConditionPayload(const char *expression, char *out, size_t out_size, uint32_t *n);

// The stored expression into the 5-byte field of a condition record: at most its first four
// characters and a NUL.
void CopyReturnedExpression(const char *expression, char *field);

// COUNT bytes as 2 x COUNT upper-case hex digits and a NUL into OUT.
void EncodeHexBytes(const uint8_t *bytes, int count, char *out);
// 2 x COUNT hex digits (either case) -> COUNT bytes. False when any character is not one.
bool DecodeHexBytes(const char *text, int count, uint8_t *out);
