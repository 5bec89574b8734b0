// SetPowerControlItem, GetPowerControlItem and GetPreviousOnItem against the "QUORIN_MVL"
// stand-in: the expression check and the type rules as a table, the frames of every request
// byte for byte, the closing "081" after each kind of failure, and the argument checks.
#include <string.h>

#include <string>
#include <vector>

#include "pwdown_fixture.h"

namespace pwt {
namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

constexpr char kAllSlots[] = "0505050505050505";
constexpr uint32_t kInvalid = ERROR_INVALID_PARAMETER;

// A read-form frame of CODE, unit-bound ("LumoUa" 0x1F gives '1') or unit-less.
std::string Read(const std::string &code, bool unit = true) {
  return code + (unit ? "1" : " ") + "0000";
}
// A payload-form frame of CODE with PAYLOAD.
std::string Write(const std::string &code, const std::string &payload, bool unit = false) {
  char length[8];
  snprintf(length, sizeof length, "%02X", static_cast<unsigned>(payload.size()));
  return code + (unit ? "1" : " ") + "00" + length + payload;
}
// The code of every frame.
Strings Codes(const Strings &frames) {
  Strings codes;
  for (const std::string &f : frames) codes.push_back(f.substr(0, 3));
  return codes;
}

class PowerItemsTest : public PwdownTest {
 protected:
  void Type(int type) {
    const char *unit = type == 0 ? "hex:00" : type == 1 ? "hex:03" : type == 2 ? "hex:01" : "hex:04";
    Registry({"\"LumoUa\"=dword:0000001f", std::string("\"LumoUnit\"=") + unit});
  }
  // SetPowerControlItem with the item bytes ITEMS and a condition in flag form.
  int SetFlags(const Bytes &items, const Bytes &flags) {
    Bytes item = {1}, condition = {1};
    item.insert(item.end(), items.begin(), items.end());
    condition.insert(condition.end(), flags.begin(), flags.end());
    item.resize(10);
    condition.resize(11);
    return Export<SetPowerControlItemFn>("SetPowerControlItem")(item.data(), condition.data());
  }
  // SetPowerControlItem with the item bytes ITEMS and a condition expression.
  int SetExpression(const Bytes &items, const std::string &expression) {
    Bytes item = {1};
    item.insert(item.end(), items.begin(), items.end());
    item.resize(10);
    Bytes condition = {65};
    condition.insert(condition.end(), expression.begin(), expression.end());
    condition.push_back(0);
    return Export<SetPowerControlItemFn>("SetPowerControlItem")(item.data(), condition.data());
  }
  GetPowerControlItemFn Get() { return Export<GetPowerControlItemFn>("GetPowerControlItem"); }
  GetPreviousOnItemFn Previous() { return Export<GetPreviousOnItemFn>("GetPreviousOnItem"); }

  template <typename Call>
  void ExpectFailure(uint32_t error, Call call, const std::string &what) {
    SetLastError(0);
    EXPECT_EQ(0, call()) << what;
    EXPECT_EQ(error, GetLastError()) << what;
  }
};

// The expression check and the type rules through the export: what is refused sends nothing
// (or only the slot read of type 2), what passes sends "S20" with the expression without
// blanks.
TEST_F(PowerItemsTest, ExpressionCheckAndTypeRulesAsATable) {
  struct Row {
    std::string expression;
    int type;
    const char *slots;
    bool ok;
    std::string sent;  // the "S20" payload when ok
    bool slots_read;   // a refused row got as far as the slot read
  };
  const std::string k254 = "TIM" + std::string(251, ' ');
  const std::string nested = std::string(125, '(') + "AUX1" + std::string(125, ')');
  const std::vector<Row> rows = {
      // Valid shapes.
      {"", 2, kAllSlots, true, "", false},
      {"TIM", 2, kAllSlots, true, "TIM", false},
      {"TIM + NET", 2, kAllSlots, true, "TIM+NET", false},
      {" \tTIM\t*NET ", 2, kAllSlots, true, "TIM*NET", false},
      {"T I M", 2, kAllSlots, true, "TIM", false},
      {"(TIM+NET)*AUX1", 2, kAllSlots, true, "(TIM+NET)*AUX1", false},
      {"((TIM))", 2, kAllSlots, true, "((TIM))", false},
      {"AUX1*AUX2+CD2*ER8", 2, kAllSlots, true, "AUX1*AUX2+CD2*ER8", false},
      {"(CD2+ER2)*(CD8+ER8)", 2, kAllSlots, true, "(CD2+ER2)*(CD8+ER8)", false},
      {"TIM+NET+AUX1+AUX2+CD2+CD3+CD4+CD5+CD6+CD7+CD8+ER2+ER3+ER4+ER5+ER6+ER7+ER8", 2, kAllSlots, true,
       "TIM+NET+AUX1+AUX2+CD2+CD3+CD4+CD5+CD6+CD7+CD8+ER2+ER3+ER4+ER5+ER6+ER7+ER8", false},
      {k254, 2, kAllSlots, true, "TIM", false},
      {nested, 2, kAllSlots, true, nested, false},
      // Invalid shapes: operators, parentheses, tokens, characters, length.
      {"TIM++NET", 2, kAllSlots, false, "", false},
      {"TIM**NET", 2, kAllSlots, false, "", false},
      {"TIM+*NET", 2, kAllSlots, false, "", false},
      {"TIM*+NET", 2, kAllSlots, false, "", false},
      {"+TIM", 2, kAllSlots, false, "", false},
      {"*TIM", 2, kAllSlots, false, "", false},
      {"TIM*", 2, kAllSlots, false, "", false},
      {"TIM+", 2, kAllSlots, false, "", false},
      {"(TIM", 2, kAllSlots, false, "", false},
      {"TIM)", 2, kAllSlots, false, "", false},
      {")TIM(", 2, kAllSlots, false, "", false},
      {"(TIM))+((NET)", 2, kAllSlots, false, "", false},
      {"(+TIM)", 2, kAllSlots, false, "", false},
      {"(*TIM)", 2, kAllSlots, false, "", false},
      {"(TIM+)", 2, kAllSlots, false, "", false},
      {"(TIM*)", 2, kAllSlots, false, "", false},
      {"()", 2, kAllSlots, false, "", false},
      {"TIM+()", 2, kAllSlots, false, "", false},
      {"LAN", 2, kAllSlots, false, "", false},
      {"TIM+LAN", 2, kAllSlots, false, "", false},
      {"CD1", 2, kAllSlots, false, "", false},
      {"CD9", 2, kAllSlots, false, "", false},
      {"ER1", 2, kAllSlots, false, "", false},
      {"ER9", 2, kAllSlots, false, "", false},
      {"CD22", 2, kAllSlots, false, "", false},
      {"AUX", 2, kAllSlots, false, "", false},
      {"AUX3", 2, kAllSlots, false, "", false},
      {"tim", 2, kAllSlots, false, "", false},
      {"Tim", 2, kAllSlots, false, "", false},
      {"TIM1", 2, kAllSlots, false, "", false},
      {"TIM-NET", 2, kAllSlots, false, "", false},
      {"TIM/NET", 2, kAllSlots, false, "", false},
      {"TIM,NET", 2, kAllSlots, false, "", false},
      {"TIM+\x80", 2, kAllSlots, false, "", false},
      {k254 + " ", 2, kAllSlots, false, "", false},
      // Two operands with no operator between them.
      {"TIMNET", 2, kAllSlots, false, "", false},
      {"TIM NET", 2, kAllSlots, false, "", false},
      {"TIM(NET)", 2, kAllSlots, false, "", false},
      {"(TIM)NET", 2, kAllSlots, false, "", false},
      {"(TIM)(NET)", 2, kAllSlots, false, "", false},
      // Type rules: unit 3's bits need bit 0x04 of its own slot byte, on type 2 only.
      {"CD3", 2, "0505000505050505", false, "", true},
      {"CD3", 2, "0505010505050505", false, "", true},
      {"CD3", 2, "0000040000000000", true, "CD3", false},
      {"ER8", 2, "0505050505050504", true, "ER8", false},
      {"ER8", 2, "05050505050505FB", false, "", true},
      {"CD3", 1, kAllSlots, false, "", false},
      {"AUX1", 1, kAllSlots, false, "", false},
      {"AUX2", 0, kAllSlots, false, "", false},
      {"TIM*NET", 1, kAllSlots, true, "TIM*NET", false},
      {"(TIM+NET)", 0, kAllSlots, true, "(TIM+NET)", false},
  };
  int type = -2;
  for (const Row &row : rows) {
    if (row.type != type) Type(type = row.type);
    Script(std::string("002 reply 00 ") + row.slots + "\n");
    ClearFrames();
    SetLastError(0);
    int result = SetExpression(Bytes(9, 0), row.expression);
    std::string what = "\"" + row.expression + "\" type " + std::to_string(row.type) + " slots " + row.slots;
    Strings frames = FrameBytes();
    if (!row.ok) {
      EXPECT_EQ(0, result) << what;
      EXPECT_EQ(kInvalid, GetLastError()) << what;
      EXPECT_EQ(row.slots_read ? Strings{Read("002")} : Strings{}, frames) << what;
      continue;
    }
    EXPECT_EQ(1, result) << what << " error " << GetLastError();
    Strings codes = row.type == 2   ? Strings{"002", "071", "021", "031", "S20", "081"}
                    : row.type == 1 ? Strings{"021", "S20"}
                                    : Strings{"S20"};
    EXPECT_EQ(codes, Codes(frames)) << what;
    size_t s20 = row.type == 2 ? 4 : row.type == 1 ? 1 : 0;
    if (frames.size() > s20) {
      EXPECT_EQ(Write("S20", row.sent), frames[s20]) << what;
    }
  }
}

TEST_F(PowerItemsTest, SetSendsEachTypesRequestsByteForByte) {
  // Type 2: the slot read on a connection of its own, then the settings change wrapped in
  // "071" ... "081" on the next; "LAN" goes out as "LAN*ARP".
  Script(std::string("002 reply 00 ") + kAllSlots + "\n");
  ASSERT_EQ(1, SetFlags({0x48, 0, 0x80, 0x0C, 0, 0, 0, 0, 0x84}, {0x03, 0x80, 0, 0x0C, 0, 0, 0, 0, 0, 0x08}))
      << GetLastError();
  std::vector<Frame> frames = Frames();
  EXPECT_EQ((Strings{Read("002"), "071 0000", Write("021", "4800800C0000000084", true),
                     Write("031", "80000C000000000008", true), Write("S20", "TIM+LAN*ARP+AUX1+CD2+ER2+CD8"),
                     "081 0000"}),
            FrameBytes());
  ASSERT_EQ(6u, frames.size());
  for (size_t i = 2; i < frames.size(); ++i) EXPECT_EQ(frames[1].connection, frames[i].connection);
  EXPECT_EQ(frames[0].connection + 1, frames[1].connection);

  // Type 1: the item bytes and the expression only.
  Type(1);
  ClearFrames();
  ASSERT_EQ(1, SetFlags({0x08, 0, 0, 0, 0, 0, 0, 0, 0}, {0x03}));
  EXPECT_EQ((Strings{Write("021", "080000000000000000", true), Write("S20", "TIM+LAN*ARP")}), FrameBytes());
  // Type 0: the expression only; an empty condition sends an empty one.
  Type(0);
  ClearFrames();
  ASSERT_EQ(1, SetFlags(Bytes(9, 0), {0x03}));
  ASSERT_EQ(1, SetFlags(Bytes(9, 0), Bytes(10, 0)));
  EXPECT_EQ((Strings{Write("S20", "TIM+LAN*ARP"), "S20 0000"}), FrameBytes());

  // The longest expression (254 characters) goes out with its length as "FE".
  Type(2);
  ClearFrames();
  std::string nested = std::string(125, '(') + "AUX1" + std::string(125, ')');
  ASSERT_EQ(1, SetExpression(Bytes(9, 0), nested));
  ASSERT_EQ(6u, FrameBytes().size());
  EXPECT_EQ("S20 00FE" + nested, FrameBytes()[4]);
}

TEST_F(PowerItemsTest, EveryFailureClosesWithItsRulesAndReturnsItsOwnError) {
  struct Row {
    int type;
    std::string script;
    uint32_t error;
    Strings codes;
  };
  const Row rows[] = {
      {2, "002 reply 13", PC_ERR_REJECTED, {"002"}},
      {2, "002 reply 00 05050505", PC_ERR_PIPE_IO, {"002"}},
      {2, "002 reply 00 0505050505050G05", PC_ERR_PIPE_IO, {"002"}},
      {2, "071 reply 13", PC_ERR_REJECTED, {"002", "071"}},
      {2, "021 reply 1F", PC_ERR_UNSUPPORTED, {"002", "071", "021", "081"}},
      {2, "031 reply B0", PC_ERR_REJECTED, {"002", "071", "021", "031", "081"}},
      // The closing "081" fails too: the export still returns the first failure's error.
      {2, "S20 reply 10\n081 reply 13", PC_ERR_UNSUPPORTED, {"002", "071", "021", "031", "S20", "081"}},
      {2, "031 reply 13\n081 reply 1F", PC_ERR_REJECTED, {"002", "071", "021", "031", "081"}},
      {2, "081 reply A1", PC_ERR_REJECTED, {"002", "071", "021", "031", "S20", "081"}},
      // The service drops the connection: the closing "081" cannot reach it.
      {2, "021 close", PC_ERR_PIPE_IO, {"002", "071", "021"}},
      // Type 1 closes a failed "021" with "081" although it never sent "071"; not "S20".
      {1, "021 reply 13", PC_ERR_REJECTED, {"021", "081"}},
      {1, "S20 reply 13", PC_ERR_REJECTED, {"021", "S20"}},
      {0, "S20 reply 1F", PC_ERR_UNSUPPORTED, {"S20"}},
  };
  for (const Row &row : rows) {
    Type(row.type);
    Script(row.script + "\n");
    ClearFrames();
    ExpectFailure(
        row.error, [&] { return SetExpression(Bytes(9, 0), "TIM"); }, row.script);
    EXPECT_EQ(row.codes, Codes(FrameBytes())) << row.script;
  }

  // "LumoUa" unreadable: "021" fails before anything is written, and "081" still follows.
  Registry({"\"LumoUnit\"=hex:03"});
  Script("");
  ClearFrames();
  ExpectFailure(
      PC_ERR_FAILED, [&] { return SetExpression(Bytes(9, 0), "TIM"); }, "no LumoUa");
  EXPECT_EQ((Strings{"081 0000"}), FrameBytes());
}

TEST_F(PowerItemsTest, ArgumentAndGateFailuresSendNothing) {
  uint8_t item[10] = {1}, condition[11] = {1};
  auto set = Export<SetPowerControlItemFn>("SetPowerControlItem");
  ExpectFailure(
      kInvalid, [&] { return set(nullptr, condition); }, "null item");
  ExpectFailure(
      kInvalid, [&] { return set(item, nullptr); }, "null condition");
  ExpectFailure(
      kInvalid, [&] { return Get()(nullptr, condition); }, "get null item");
  ExpectFailure(
      kInvalid, [&] { return Get()(item, nullptr); }, "get null condition");
  ExpectFailure(
      kInvalid, [&] { return Previous()(nullptr); }, "previous null");
  for (uint8_t version : {0, 2}) {
    item[0] = version;
    ExpectFailure(
        kInvalid, [&] { return set(item, condition); }, "item version");
    ExpectFailure(
        kInvalid, [&] { return Get()(item, condition); }, "get item version");
    ExpectFailure(
        kInvalid, [&] { return Previous()(item); }, "previous version");
  }
  item[0] = 1;
  for (uint8_t form : {0, 2, 64, 66}) {
    condition[0] = form;
    ExpectFailure(
        kInvalid, [&] { return set(item, condition); }, "form");
    ExpectFailure(
        kInvalid, [&] { return Get()(item, condition); }, "get form");
  }
  condition[0] = 1;
  // The argument checks come before the type probe, the type probe before any request.
  Type(4);
  item[0] = 0;
  ExpectFailure(
      kInvalid, [&] { return set(item, condition); }, "version before type");
  item[0] = 1;
  ExpectFailure(
      PC_ERR_FAILED, [&] { return set(item, condition); }, "type");
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Get()(item, condition); }, "get type");
  ExpectFailure(
      PC_ERR_FAILED, [&] { return Previous()(item); }, "previous type");
  EXPECT_TRUE(FrameBytes().empty());

  StopStandin();
  Type(2);
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return set(item, condition); }, "service");
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Get()(item, condition); }, "get service");
  ExpectFailure(
      PC_ERR_SERVICE, [&] { return Previous()(item); }, "previous service");
  ASSERT_EQ(0, remove(install_.registry().c_str()));
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return set(nullptr, nullptr); }, "installed");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Get()(item, condition); }, "get installed");
  ExpectFailure(
      PC_ERR_NOT_INSTALLED, [&] { return Previous()(item); }, "previous installed");
}

TEST_F(PowerItemsTest, GetReadsItemsExpressionAndConditionPerType) {
  Script("022 reply 00 4800800C0000000084\nS21 reply 00 (TIM+NET)*AUX1\n032 reply 00 80000C000000000008\n");
  // Type 2, flag form: "022", "S21" and "032" on one connection; C[0] from the expression.
  uint8_t item[10] = {1}, condition[11] = {1};
  ASSERT_EQ(1, Get()(item, condition)) << GetLastError();
  EXPECT_EQ((Bytes{1, 0x48, 0, 0x80, 0x0C, 0, 0, 0, 0, 0x84}), Bytes(item, item + 10));
  EXPECT_EQ((Bytes{1, 0x03, 0x80, 0, 0x0C, 0, 0, 0, 0, 0, 0x08}), Bytes(condition, condition + 11));
  std::vector<Frame> frames = Frames();
  EXPECT_EQ((Strings{Read("022"), Read("S21", false), Read("032")}), FrameBytes());
  ASSERT_EQ(3u, frames.size());
  EXPECT_EQ(frames[0].connection, frames[2].connection);

  // Expression form: the first four characters and a NUL in the 5-byte field, nothing beyond.
  ClearFrames();
  uint8_t field[12];
  memset(field, 0xEE, sizeof field);
  field[0] = 65;
  ASSERT_EQ(1, Get()(item, field));
  EXPECT_EQ((Bytes{65, '(', 'T', 'I', 'M', 0, 0xEE, 0xEE}), Bytes(field, field + 8));
  EXPECT_EQ((Strings{Read("022"), Read("S21", false)}), FrameBytes());
  Script("S21 reply 00 TIM\n");
  ASSERT_EQ(1, Get()(item, field));
  EXPECT_EQ((Bytes{65, 'T', 'I', 'M', 0, 0, 0xEE}), Bytes(field, field + 7));

  // Type 1: no "032"; C[1..9] zero. "LAN*ARP" as stored does not read back as "NET".
  Type(1);
  Script("022 reply 00 080000000000000000\nS21 reply 00 TIM+LAN*ARP\n");
  ClearFrames();
  memset(condition + 1, 0xEE, 10);
  ASSERT_EQ(1, Get()(item, condition));
  EXPECT_EQ((Bytes{1, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}), Bytes(item, item + 10));
  EXPECT_EQ((Bytes{1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}), Bytes(condition, condition + 11));
  EXPECT_EQ((Strings{Read("022"), Read("S21", false)}), FrameBytes());

  // Type 0: only "S21"; the items all zero, C[0] from the stored expression.
  Type(0);
  Script("S21 reply 00 NET*AUX2\n022 reply 00 FFFFFFFFFFFFFFFFFF\n");
  ClearFrames();
  memset(item + 1, 0xEE, 9);
  ASSERT_EQ(1, Get()(item, condition));
  EXPECT_EQ((Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), Bytes(item, item + 10));
  EXPECT_EQ((Bytes{1, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0}), Bytes(condition, condition + 11));
  EXPECT_EQ((Strings{Read("S21", false)}), FrameBytes());
}

TEST_F(PowerItemsTest, GetFailuresLeaveTheRecordsAsTheyWere) {
  struct Row {
    std::string script;
    uint32_t error;
    Strings codes;
  };
  const Row rows[] = {
      {"022 reply 13", PC_ERR_REJECTED, {"022"}},
      {"022 reply 00 08000000000000", PC_ERR_PIPE_IO, {"022"}},
      {"022 reply 00 08000000000000000X", PC_ERR_PIPE_IO, {"022"}},
      {"S21 reply 1F", PC_ERR_UNSUPPORTED, {"022", "S21"}},
      {"S21 raw S21 0005TIM", PC_ERR_PIPE_IO, {"022", "S21"}},
      {"032 reply B4", PC_ERR_REJECTED, {"022", "S21", "032"}},
      {"032 close", PC_ERR_PIPE_IO, {"022", "S21", "032"}},
  };
  for (const Row &row : rows) {
    Script(row.script + "\n");
    ClearFrames();
    uint8_t item[10], condition[11];
    memset(item, 0xEE, sizeof item);
    memset(condition, 0xEE, sizeof condition);
    item[0] = 1;
    condition[0] = 1;
    ExpectFailure(
        row.error, [&] { return Get()(item, condition); }, row.script);
    EXPECT_EQ(row.codes, Codes(FrameBytes())) << row.script;
    EXPECT_EQ(Bytes(9, 0xEE), Bytes(item + 1, item + 10)) << row.script;
    EXPECT_EQ(Bytes(10, 0xEE), Bytes(condition + 1, condition + 11)) << row.script;
  }
}

TEST_F(PowerItemsTest, PreviousOnItemsOnTypeTwoOnly) {
  Script("0D2 reply 00 C80084000000000000\n");
  uint8_t record[10] = {1};
  ASSERT_EQ(1, Previous()(record));
  EXPECT_EQ((Bytes{1, 0xC8, 0, 0x84, 0, 0, 0, 0, 0, 0}), Bytes(record, record + 10));
  EXPECT_EQ((Strings{Read("0D2")}), FrameBytes());

  Script("0D2 reply 13\n");
  ClearFrames();
  memset(record + 1, 0xEE, 9);
  ExpectFailure(
      PC_ERR_REJECTED, [&] { return Previous()(record); }, "rejected");
  EXPECT_EQ(Bytes(9, 0xEE), Bytes(record + 1, record + 10));
  for (int type : {0, 1}) {
    Type(type);
    ExpectFailure(
        PC_ERR_UNSUPPORTED, [&] { return Previous()(record); }, "type");
  }
  EXPECT_EQ((Strings{Read("0D2")}), FrameBytes());
}

// The stand-in keeps what was set, as the main service does: the items and condition bytes
// come back whole; the expression comes back as stored, so "LAN" (sent as "LAN*ARP") does not
// read back as "NET".
TEST_F(PowerItemsTest, WhatWasSetReadsBackFromTheStandin) {
  Script(std::string("002 reply 00 ") + kAllSlots + "\n");
  ASSERT_EQ(1, SetFlags({0x48, 0, 0x80, 0x0C, 0, 0, 0, 0, 0}, {0x03, 0x80, 0, 0x0C}));
  uint8_t item[10] = {1}, condition[11] = {1};
  ASSERT_EQ(1, Get()(item, condition));
  EXPECT_EQ((Bytes{1, 0x48, 0, 0x80, 0x0C, 0, 0, 0, 0, 0}), Bytes(item, item + 10));
  EXPECT_EQ((Bytes{1, 0x01, 0x80, 0, 0x0C, 0, 0, 0, 0, 0, 0}), Bytes(condition, condition + 11));

  ASSERT_EQ(1, SetExpression({0x08}, "(TIM + NET) * AUX2"));
  ASSERT_EQ(1, Get()(item, condition));
  EXPECT_EQ((Bytes{1, 0x03, 0x40, 0, 0, 0, 0, 0, 0, 0, 0}), Bytes(condition, condition + 11));
  uint8_t field[6] = {65};
  ASSERT_EQ(1, Get()(item, field));
  EXPECT_STREQ("(TIM", reinterpret_cast<char *>(field + 1));
}

}  // namespace
}  // namespace pwt
