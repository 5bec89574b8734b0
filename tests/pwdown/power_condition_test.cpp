// The item and condition rules without the pipe: every allowed and refused bit on each system
// type, the slot bits each unit bit needs, the flags -> expression -> flags round trip over
// every combination of condition bits, and the bounded copies.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "power_condition.h"
#include "quorin/qp_error.h"

namespace {

constexpr uint32_t kInvalid = ERROR_INVALID_PARAMETER;

// Records of the flag form: the item bytes and the condition bytes given.
struct Records {
  uint8_t item[1 + kItemCount] = {kRecordVersion};
  uint8_t condition[1 + kConditionCount] = {kFormFlags};
};

// PreparePowerControl, then the rules of TYPE with every slot byte SLOT: 0 or the error.
uint32_t Check(const Records &r, int type, uint8_t slot = 0x05) {
  PowerControlScratch scratch;
  uint32_t error = PreparePowerControl(r.item, r.condition, &scratch);
  if (error != 0) return error;
  memset(scratch.slots, slot, kSlotCount);
  return CheckPowerControlForType(type, &scratch);
}

TEST(PowerConditionTest, EachItemBitOnEachSystemType) {
  // Allowed bits of I[0..8] whatever the type, and which of them each type admits (with
  // every slot admitting everything on type 2).
  const uint8_t allowed[kItemCount] = {0xC8, 0x00, 0x8C, 0x8C, 0x8C, 0x8C, 0x8C, 0x8C, 0x8C};
  for (int i = 0; i < kItemCount; ++i) {
    for (int b = 0; b < 8; ++b) {
      uint8_t bit = static_cast<uint8_t>(1u << b);
      Records r;
      r.item[1 + i] = bit;
      bool ok = (allowed[i] & bit) != 0;
      EXPECT_EQ(ok ? 0u : kInvalid, Check(r, kSystemType2)) << "I[" << i << "] bit " << int(bit);
      EXPECT_EQ(ok && i == 0 && bit == 0x08 ? 0u : kInvalid, Check(r, kSystemType1))
          << "I[" << i << "] bit " << int(bit);
      EXPECT_EQ(kInvalid, Check(r, kSystemType0)) << "I[" << i << "] bit " << int(bit);
    }
  }
  Records none;
  EXPECT_EQ(0u, Check(none, kSystemType0));
  EXPECT_EQ(0u, Check(none, kSystemType1));
  EXPECT_EQ(0u, Check(none, kSystemType2));
  EXPECT_EQ(kInvalid, Check(none, 3));
  EXPECT_EQ(kInvalid, Check(none, -1));
}

TEST(PowerConditionTest, EachConditionBitOnEachSystemType) {
  const uint8_t allowed[kConditionCount] = {0x03, 0xC0, 0x00, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C};
  for (int i = 0; i < kConditionCount; ++i) {
    for (int b = 0; b < 8; ++b) {
      uint8_t bit = static_cast<uint8_t>(1u << b);
      Records r;
      r.condition[1 + i] = bit;
      bool ok = (allowed[i] & bit) != 0;
      EXPECT_EQ(ok ? 0u : kInvalid, Check(r, kSystemType2)) << "C[" << i << "] bit " << int(bit);
      // Types 0 and 1 keep only "TIM" and "LAN" in C[0].
      EXPECT_EQ(ok && i == 0 ? 0u : kInvalid, Check(r, kSystemType1)) << "C[" << i << "] bit " << int(bit);
      EXPECT_EQ(ok && i == 0 ? 0u : kInvalid, Check(r, kSystemType0)) << "C[" << i << "] bit " << int(bit);
    }
  }
}

TEST(PowerConditionTest, UnitBitsNeedTheirSlotBitsAndItemBitsExcludeAux) {
  struct Case {
    bool item;  // the bit is in I[n], else in C[n+1]
    uint8_t bit;
    uint8_t needs;  // slot bit of unit n
  };
  const Case cases[] = {
      {true, 0x80, 0x01}, {true, 0x08, 0x04}, {true, 0x04, 0x04}, {false, 0x08, 0x04}, {false, 0x04, 0x04}};
  for (int n = 2; n <= 8; ++n) {
    for (const Case &c : cases) {
      for (uint8_t slot : {0x00, 0x01, 0x04, 0x05, 0xFA}) {
        Records r;
        (c.item ? r.item[1 + n] : r.condition[2 + n]) = c.bit;
        PowerControlScratch scratch;
        ASSERT_EQ(0u, PreparePowerControl(r.item, r.condition, &scratch));
        memset(scratch.slots, 0x05, kSlotCount);
        scratch.slots[n - 1] = slot;  // only unit n's own slot byte counts
        bool ok = (slot & c.needs) != 0;
        EXPECT_EQ(ok ? 0u : kInvalid, CheckPowerControlForType(kSystemType2, &scratch))
            << "unit " << n << (c.item ? " I" : " C") << " bit " << int(c.bit) << " slot " << int(slot);
        // Other units' slots do not stand in for it.
        memset(scratch.slots, 0x05, kSlotCount);
        scratch.slots[n - 1] = 0;
        EXPECT_EQ(kInvalid, CheckPowerControlForType(kSystemType2, &scratch)) << "unit " << n;
      }
    }
  }
  // I[0] 0x80 excludes AUX1 and 0x40 excludes AUX2, each only its own.
  const struct {
    uint8_t item0, c1;
    uint32_t expected;
  } aux[] = {{0x80, 0x80, kInvalid}, {0x80, 0x40, 0},        {0x40, 0x40, kInvalid},
             {0x40, 0x80, 0},        {0xC0, 0xC0, kInvalid}, {0x08, 0xC0, 0}};
  for (const auto &a : aux) {
    Records r;
    r.item[1] = a.item0;
    r.condition[2] = a.c1;
    EXPECT_EQ(a.expected, Check(r, kSystemType2)) << int(a.item0) << " " << int(a.c1);
  }
}

TEST(PowerConditionTest, RecordVersionAndForm) {
  for (uint8_t version : {0, 2, 255}) {
    Records r;
    r.item[0] = version;
    EXPECT_EQ(kInvalid, Check(r, kSystemType2)) << int(version);
  }
  for (uint8_t form : {0, 2, 64, 66, 97}) {
    Records r;
    r.condition[0] = form;
    EXPECT_EQ(kInvalid, Check(r, kSystemType2)) << int(form);
  }
}

// Every combination of the 18 condition bits: the expression written from the flags gives
// the same flags back, and it passes the check unless it holds "LAN", which the expression
// form does not take. Without "LAN" the expression form yields the same condition bytes.
TEST(PowerConditionTest, FlagsToExpressionToFlagsForEveryCombination) {
  struct Bit {
    int byte;
    uint8_t bit;
  };
  const Bit bits[] = {{0, 0x01}, {0, 0x02}, {1, 0x80}, {1, 0x40}, {3, 0x08}, {3, 0x04},
                      {4, 0x08}, {4, 0x04}, {5, 0x08}, {5, 0x04}, {6, 0x08}, {6, 0x04},
                      {7, 0x08}, {7, 0x04}, {8, 0x08}, {8, 0x04}, {9, 0x08}, {9, 0x04}};
  constexpr uint32_t kCombinations = 1u << 18;
  uint32_t mismatches = 0, valid = 0;
  size_t longest = 0;
  for (uint32_t mask = 0; mask < kCombinations; ++mask) {
    Records r;
    for (int b = 0; b < 18; ++b)
      if ((mask & (1u << b)) != 0) r.condition[1 + bits[b].byte] |= bits[b].bit;
    PowerControlScratch scratch;
    if (PreparePowerControl(r.item, r.condition, &scratch) != 0) {
      ++mismatches;
      continue;
    }
    longest = std::max(longest, strlen(scratch.expression));
    uint8_t back[kConditionAreaSize] = {};
    ConditionExpressionToFlags(scratch.expression, back);
    if (memcmp(back, r.condition + 1, kConditionCount) != 0) ++mismatches;
    bool lan = (r.condition[1] & 0x02) != 0;
    if (IsValidConditionExpression(scratch.expression) != !lan) ++mismatches;
    if (lan) continue;
    ++valid;
    uint8_t expression_form[1 + kExpressionAreaSize] = {kFormExpression};
    memcpy(expression_form + 1, scratch.expression, strlen(scratch.expression) + 1);
    PowerControlScratch again;
    if (PreparePowerControl(r.item, expression_form, &again) != 0 ||
        memcmp(again.condition, r.condition + 1, kConditionCount) != 0 ||
        strcmp(again.expression, scratch.expression) != 0)
      ++mismatches;
  }
  EXPECT_EQ(0u, mismatches);
  EXPECT_EQ(kCombinations / 2, valid);
  EXPECT_EQ(strlen("TIM+LAN+AUX1+AUX2+CD2+ER2+CD3+ER3+CD4+ER4+CD5+ER5+CD6+ER6+CD7+ER7+CD8+ER8"), longest);

  // The order of the tokens, and "LAN" for C[0] bit 0x02.
  Records r;
  r.condition[1] = 0x03;
  r.condition[2] = 0x80;
  r.condition[4] = 0x0C;
  PowerControlScratch scratch;
  ASSERT_EQ(0u, PreparePowerControl(r.item, r.condition, &scratch));
  EXPECT_STREQ("TIM+LAN+AUX1+CD2+ER2", scratch.expression);
}

TEST(PowerConditionTest, BoundedCopiesCutAndNeverOverrun) {
  // The flags written into areas too small for them: whole tokens only, always terminated.
  uint8_t all[kConditionAreaSize] = {0x03, 0xC0, 0x00, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C, 0x0C};
  const std::pair<size_t, const char *> cuts[] = {{1, ""}, {3, ""}, {4, "TIM"}, {7, "TIM"}, {8, "TIM+LAN"}};
  for (const auto &[size, expected] : cuts) {
    std::vector<char> out(size + 1, '#');
    ConditionFlagsToExpression(all, out.data(), size);
    EXPECT_STREQ(expected, out.data()) << size;
    EXPECT_EQ('#', out[size]) << size;
  }

  // "LAN" goes out as "LAN*ARP"; a payload that does not fit is refused whole.
  char payload[32];
  uint32_t n = 0;
  ASSERT_TRUE(FormatConditionPayload("TIM+LAN", payload, sizeof payload, &n));
  EXPECT_STREQ("TIM+LAN*ARP", payload);
  EXPECT_EQ(11u, n);
  ASSERT_TRUE(FormatConditionPayload("", payload, sizeof payload, &n));
  EXPECT_EQ(0u, n);
  EXPECT_TRUE(FormatConditionPayload("TIM+LAN", payload, 12, &n));
  EXPECT_FALSE(FormatConditionPayload("TIM+LAN", payload, 11, &n));
  EXPECT_FALSE(FormatConditionPayload("TIM", payload, 0, &n));

  // The returned expression: at most four characters and the NUL in the 5-byte field.
  const std::pair<const char *, const char *> returned[] = {
      {"", ""}, {"TIM", "TIM"}, {"AUX1", "AUX1"}, {"(TIM+NET)*AUX1", "(TIM"}};
  for (const auto &[stored, expected] : returned) {
    char field[kReturnedExpressionField + 3];
    memset(field, '#', sizeof field);
    CopyReturnedExpression(stored, field);
    EXPECT_STREQ(expected, field) << stored;
    EXPECT_EQ(std::string(3, '#'), std::string(field + kReturnedExpressionField, 3)) << stored;
  }

  // At most 254 characters before the blanks are dropped.
  char out[kExpressionAreaSize];
  std::string text = "TIM" + std::string(251, ' ');
  EXPECT_TRUE(CopyExpressionWithoutBlanks(text.c_str(), out, sizeof out));
  EXPECT_STREQ("TIM", out);
  EXPECT_FALSE(CopyExpressionWithoutBlanks((text + " ").c_str(), out, sizeof out));
  EXPECT_TRUE(CopyExpressionWithoutBlanks(" T\tI M ", out, sizeof out));
  EXPECT_STREQ("TIM", out);
  EXPECT_FALSE(CopyExpressionWithoutBlanks("TIM", out, 3));

  // Hex pairs both ways.
  uint8_t bytes[3] = {};
  EXPECT_TRUE(DecodeHexBytes("0aFf10", 3, bytes));
  EXPECT_EQ(0x0A, bytes[0]);
  EXPECT_EQ(0xFF, bytes[1]);
  EXPECT_EQ(0x10, bytes[2]);
  EXPECT_FALSE(DecodeHexBytes("0aFg10", 3, bytes));
  EXPECT_FALSE(DecodeHexBytes("0a", 3, bytes));
  EXPECT_FALSE(DecodeHexBytes(" a", 1, bytes));
  char hex[7];
  EncodeHexBytes(bytes, 3, hex);
  EXPECT_STREQ("0AFF10", hex);
}

}  // namespace
