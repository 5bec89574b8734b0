// The unit table of SNMPUPS.DLL (agent addresses and nine status words per slot), the further
// address lists and the shared status words, with the atomic bit operations on them.
#include <string.h>

#include "snmpups_state.h"

char g_Ups_Ip[UPS_UNIT_COUNT][ADDRESS_SIZE];
char g_Ups_Ip_S[UPS_LIST_COUNT][ADDRESS_SIZE];
char g_Server_Ip[UPS_LIST_COUNT][ADDRESS_SIZE];
char g_Ups_Ip_O[UPS_LIST_COUNT][ADDRESS_SIZE];

std::atomic<uint32_t> ups_X1[UPS_UNIT_COUNT][UPS_STATUS_WORDS];
std::atomic<uint32_t> g_Input_Fault_Main{0};
std::atomic<uint32_t> g_Input_Fault_S[STATUS_WORD_ROOM];
std::atomic<uint32_t> g_Input_Fault_O[STATUS_WORD_ROOM];
std::atomic<uint32_t> g_Battery_State_O[STATUS_WORD_ROOM];
std::atomic<int32_t> g_Scg_Error_Count{0};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "status words stay 32-bit words");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "status words are updated without a lock");

namespace {
bool ValidWord(int slot, int word) {
  return slot >= 0 && slot < UPS_UNIT_COUNT && word >= 0 && word < UPS_STATUS_WORDS;
}
}  // namespace

bool IsFreeSlot(int slot) {
  if (slot < 0 || slot >= UPS_UNIT_COUNT) return true;
  return strcmp(g_Ups_Ip[slot], FREE_SLOT_ADDRESS) == 0;
}

uint32_t UnitWord(int slot, int word) {
  return ValidWord(slot, word) ? ups_X1[slot][word].load() : 0;
}

void UnitWordSet(int slot, int word, uint32_t bits) {
  if (ValidWord(slot, word)) ups_X1[slot][word].fetch_or(bits);
}

void UnitWordClear(int slot, int word, uint32_t bits) {
  if (ValidWord(slot, word)) ups_X1[slot][word].fetch_and(~bits);
}

void ClearStatusWords() {
  for (auto &unit : ups_X1) {
    for (auto &word : unit) word.store(0);
  }
  for (int i = 0; i < STATUS_WORD_ROOM; ++i) {
    g_Battery_State_O[i].store(0);
    g_Input_Fault_S[i].store(0);
    g_Input_Fault_O[i].store(0);
  }
  g_Input_Fault_Main.store(0);
  g_Scg_Error_Count.store(0);
  g_Other_Ups_State.store(0);
  g_Trap_Poke_Count.store(0);
  g_Status_Log_Turn.store(0);
}
