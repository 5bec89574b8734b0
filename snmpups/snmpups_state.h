// Process-wide state of SNMPUPS.DLL and the functions its modules share: settings, unit
// table, status words, mutexes, logs, SNMP access and the profile accessors.
//
// Who touches what:
//  - Settings, address lists and g_Install_Path are written only by the load sequence
//    (SnmpUpsLoad, on the loading thread, before any export can run) and read without a lock
//    afterwards.
//  - The status words (ups_X1, the input-fault words, g_Battery_State_O, g_Scg_Error_Count)
//    are shared by the trap monitor's thread, the check engine and the exports called on any
//    thread of the host. They are atomics: bits are set and cleared with fetch_or / fetch_and,
//    so no concurrent bit update is lost.
//  - g_Snmp_Log_Size is clamped in place by every writer of the SNMP library log (atomic).
//  - The trap monitor's words (g_Get_Running, TarvosLumoStopFlag, g_Trap_Event,
//    g_Trap_Poke_Count, g_Other_Ups_State) and the check engine's g_Status_Log_Turn are shared
//    between the monitor's thread, the check engine's caller and the stop request; each is one
//    atomic word, read and written whole.
//  - The four mutexes are created at the end of the load and live as long as the process;
//    only a failed load closes them.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

#include "quorin/platform.h"

// ---- Result codes of every SNMP operation ------------------------------------------------
constexpr uint32_t SNMP_RESULT_OK = 0;
constexpr uint32_t SNMP_RESULT_FAILED = 0x80100001u;       // no answer, bad index or OID, no session
constexpr uint32_t SNMP_RESULT_AGENT_ERROR = 0x80100002u;  // the agent answered with an error status
constexpr uint32_t SNMP_RESULT_BAD_VALUE = 0x80000009u;    // a SET answered with badValue

// Preset of a numeric output that was not read.
constexpr int UNKNOWN_VALUE = 99999;

// ---- Unit table and address lists --------------------------------------------------------
constexpr int UPS_UNIT_COUNT = 130;   // slots of g_Ups_Ip / ups_X1 (ups_index 0 .. 129)
constexpr int UPS_STATUS_WORDS = 9;   // status words per slot
constexpr int UPS_LIST_COUNT = 16;    // entries of g_Ups_Ip_S, g_Ups_Ip_O, g_Server_Ip
constexpr int STATUS_WORD_ROOM = 64;  // room of the per-list status word arrays
constexpr int ADDRESS_SIZE = 64;      // one agent address text
constexpr int INSTALL_PATH_SIZE = 260;
// Paths under the install directory are formed in buffers that hold the longest install
// path and any suffix this library uses, so a path is never cut into another file's name.
constexpr int LIBRARY_PATH_SIZE = 512;

// The address text that marks a free unit-table slot.
inline constexpr char FREE_SLOT_ADDRESS[] = "127.0.0.1";

// Bits of ups_X1[slot][0].
constexpr uint32_t UPS_ON_BATTERY = 0x10;    // the unit runs on battery
constexpr uint32_t UPS_SHUTDOWN_DUE = 0x08;  // the unit's shut-down condition is reached
// Bits of ups_X1[slot][1].
constexpr uint32_t OFF_UPS = 0x80;              // unit turned off, unreachable or slot free
constexpr uint32_t UPS_TURNED_OFF_TRAP = 0x01;  // set with OFF_UPS by a turned-off trap

// Bits of the input-fault words.
constexpr uint32_t INPUT_FAULT_BAD_VOLTAGE = 0x01;
constexpr uint32_t INPUT_FAULT_CHARGER = 0x02;
constexpr uint32_t INPUT_FAULT_BATTERY_TEMPERATURE = 0x04;
constexpr uint32_t INPUT_FAULT_RELAY = 0x08;

// ---- Settings (read once at load; see settings.cpp for keys, defaults and bounds) --------
extern char g_Install_Path[INSTALL_PATH_SIZE];
extern char g_Settings_Path[LIBRARY_PATH_SIZE];  // g_Install_Path + "\data\snmp.apc"
extern std::atomic<int32_t> g_Snmp_Log_Size;
extern int g_Debug_Mode;
extern int g_No_Trap;
extern char g_Ups_Ip[UPS_UNIT_COUNT][ADDRESS_SIZE];
extern char g_Ups_Ip_S[UPS_LIST_COUNT][ADDRESS_SIZE];
extern char g_Server_Ip[UPS_LIST_COUNT][ADDRESS_SIZE];
extern char g_Ups_Ip_O[UPS_LIST_COUNT][ADDRESS_SIZE];
extern char g_Community[ADDRESS_SIZE];
extern char g_Ups_Off[16];
extern uint32_t g_Power_Fail_Wait;        // seconds
extern uint32_t g_Power_Fail_Wait_Other;  // seconds
extern int32_t g_Other_On_Wait;           // seconds
extern uint32_t g_Trap_Interval;          // milliseconds
extern char g_Dilay_Time_Cut[16];
extern int32_t g_Snmp_Get_Retry;
extern int32_t g_Snmp_Set_Retry;
extern char g_Name[16];
extern uint16_t g_Port;
extern uint16_t g_Vex_Port;
extern char g_Send_Ip[ADDRESS_SIZE];
extern char g_Send_Ip02[ADDRESS_SIZE];
extern char g_Send_Ip03[ADDRESS_SIZE];
extern int32_t g_Auto_Reboot_Org;
extern int32_t g_High_Transfer_Volt;
extern int32_t g_Low_Transfer_Volt;
extern int32_t g_Alarm;
extern int32_t g_Alarm_Timer;
extern int32_t g_Min_Return_Capacity;
extern int32_t g_Sensitivity;
extern int32_t g_Low_Battery_Run_Time;
extern int32_t g_Batt_Exhaust_Thresh;
extern int32_t g_Diagnostic_Schedule;
extern int32_t g_TimeOut;         // ms, address SETs
extern int32_t g_Retry;           // retries, address SETs
extern int32_t g_TimeOut_Outlet;  // ms, outlet SETs
extern int32_t g_Retry_Outlet;    // retries, outlet SETs

// ---- Shared status words (atomic; all 0 after load) --------------------------------------
extern std::atomic<uint32_t> ups_X1[UPS_UNIT_COUNT][UPS_STATUS_WORDS];
extern std::atomic<uint32_t> g_Input_Fault_Main;
extern std::atomic<uint32_t> g_Input_Fault_S[STATUS_WORD_ROOM];
extern std::atomic<uint32_t> g_Input_Fault_O[STATUS_WORD_ROOM];
extern std::atomic<uint32_t> g_Battery_State_O[STATUS_WORD_ROOM];
extern std::atomic<int32_t> g_Scg_Error_Count;

// ---- Mutexes (created at the end of the load, in this order) -----------------------------
extern qp_mutex *g_Stop_Mutex;
extern qp_mutex *g_Log_Mutex;
extern qp_mutex *g_Trap_Log_Mutex;
extern qp_mutex *g_Ups_Log_Mutex;

// 1 once the load sequence has succeeded; every export does nothing and returns 0 while it is
// 0 (a host that loaded the library with dlopen after a failed attach).
extern std::atomic<int> g_Library_Ready;
inline bool LibraryReady() {
  return g_Library_Ready.load() == 1;
}

// ---- Load and unload (settings.cpp) ------------------------------------------------------
// Runs the load sequence: install path, settings, load-time log lines, mutexes. Returns
// false when the install path cannot be read or a mutex cannot be created.
bool SnmpUpsLoad();
// Closes what a failed load had created (no other thread can use it yet).
void SnmpUpsUnload();

// ---- Profile accessors (settings.cpp) -----------------------------------------------------
// Reads KEY of section "SNMP" of the settings file with the default "<default>".
void ReadSnmpSetting(const char *key, char *out, uint32_t capacity);
// Writes KEY of section "SNMP" of the settings file (file and section created when needed).
void WriteSnmpSetting(const char *key, const char *value);
// Reads a key of "%s\DATA\%s" (install path, FILE) with the default "<default>"; a path that
// does not fit gives the default.
void ReadDataProfile(const char *file, const char *section, const char *key, char *out, uint32_t capacity);
// Writes a key of "%s\DATA\%s"; nothing is written when the path does not fit.
void WriteDataProfile(const char *file, const char *section, const char *key, const char *value);
// The marker of a missing key.
inline constexpr char MISSING_KEY[] = "<default>";

// ---- Unit table (unit_table.cpp) ----------------------------------------------------------
// 1 when slot I (0 .. 129) of the unit table holds no unit.
bool IsFreeSlot(int slot);
uint32_t UnitWord(int slot, int word);
void UnitWordSet(int slot, int word, uint32_t bits);
void UnitWordClear(int slot, int word, uint32_t bits);
// Zeroes every shared status word (step 1 of the load).
void ClearStatusWords();

// ---- Library logs (library_log.cpp); writers never fail towards the caller ----------------
void WriteSnmpLog(const char *text, uint32_t code);
void WriteTrapLog(int unit_code, const char *text, uint32_t code);
void WriteUpsLog(int unit_code, const char *text);
// WriteSnmpLog of a text formatted into a 256-character buffer.
void WriteSnmpLogF(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Holding the SNMP library log lines of one thread: while a hold is set, WriteSnmpLog(F) on
// that thread keeps each line (its first 80 characters, its code and the time it was made) in
// the hold instead of writing it, until the hold is full; WriteHeldSnmpLog writes them later,
// in their order and with their times. The check engine reads its units on several threads
// at once this way and still writes their lines in slot order.
struct HeldLogLine {
  char text[81];
  uint32_t code;
  qp_systemtime time;
};
struct SnmpLogHold {
  HeldLogLine *lines;
  int capacity;
  int count;
};
// Sets HOLD (emptied) as the calling thread's hold; NULL writes the thread's lines at once again.
void HoldSnmpLog(SnmpLogHold *hold);
// Writes the lines of HOLD to the SNMP library log, in the order they were made.
void WriteHeldSnmpLog(const SnmpLogHold &hold);
// Closes the log files the writers keep open between records, each once its writer's mutex
// is had within WAIT_MS (a writer still at work keeps its files).
void CloseKeptLogs(uint32_t wait_ms);

// ---- SNMP access layer (snmp_access.cpp) ----------------------------------------------------
// Converts an OID text; the platform conversion first, then the fallback parser that accepts
// only identifiers ending in sub-identifier 0.
bool StringToOid(const char *text, qp_snmp_oid *oid);
// The fallback parser alone, into the next slot of the OID slot ring; *CLAIMED_SLOT, when
// given, receives the slot it used (left alone when the text is refused).
bool ParseOidFallback(const char *text, qp_snmp_oid *oid, uint32_t *claimed_slot = nullptr);
// GET / SET of one variable. OUT of a GET: int for INTEGER, Gauge and TimeTicks, a zeroed
// 130-byte buffer for OCTET STRING (at most 129 bytes copied, no terminator added), 4 bytes
// for IpAddress. VALUE of a SET: int (INTEGER), uint32_t (TimeTicks), 4 bytes (IpAddress),
// NUL-terminated text (OCTET STRING).
uint32_t SnmpGetByIndex(const char *oid, uint8_t type, void *out, int quiet, int ups_index);
// SnmpGetByIndex that also tells whether a value was stored (false when the agent answered with
// another type than TYPE, or on failure).
uint32_t SnmpGetByIndexStored(const char *oid, uint8_t type, void *out, int quiet, int ups_index,
                              bool *stored);
uint32_t SnmpSetByIndex(const char *oid, uint8_t type, const void *value, int ups_index);
uint32_t SnmpGetByAddress(const char *address, const char *oid, uint8_t type, void *out, int quiet_level);
uint32_t SnmpSetByAddress(const char *address, const char *oid, uint8_t type, const void *value);
uint32_t SnmpSetOutletByAddress(const char *address, const char *oid, uint8_t type, const void *value);
// SnmpGetByAddress that also tells whether a value was stored (false when the agent answered
// with another type than TYPE, or on failure).
uint32_t SnmpGetByAddressStored(const char *address, const char *oid, uint8_t type, void *out,
                                int quiet_level, bool *stored);

// Size of the buffer a GET of an OCTET STRING needs.
constexpr int SNMP_TEXT_BUFFER = 130;

// ---- Host shutdown sequence (shutdown_sequence.cpp) ----------------------------------------
// Folds CODE, the result of one write, into ACCUMULATED, the result of a sequence of writes,
// and returns the new result: 0x80000000 and 0x80100000 count only while nothing else is
// there; SNMP_RESULT_FAILED and SNMP_RESULT_AGENT_ERROR replace only a result whose lowest
// four bits are 0 or 1; every other code, success included, replaces it. So a later success
// clears an earlier failure, and an agent error or a badValue is not hidden by a later
// transport failure.
uint32_t MergeSnmpResult(uint32_t accumulated, uint32_t code);
// Puts every configured UPS of the unit table to sleep or turns it off as the host shuts
// down; the first character of DATA selects the mode ('3' scheduled power-off: sleep, '4'
// power-off without schedule: turn off, anything else: after a power failure, by the marks of
// the unit table, "UPS_Off" and the settings). Returns the merged result of every write.
uint32_t QuoPcShutDown(const char *data);

// ---- Exports that other modules of the library call ----------------------------------------
// Sets the SCG active membership of the UPS at ADDRESS (control_exports.cpp); 1 = success.
QP_DLL_EXPORT int SetUpsSyncActivebySnmp(const char *address, int value);
// One check of the check engine (check_engine.cpp); always 1.
QP_DLL_EXPORT int QuoKySnmpCheck(void);

// ---- Outlet-group model check (outlet_model.cpp) -------------------------------------------
// 2 = UPS with outlet groups, 1 = older model, 0 = firmware revision not readable.
int CheckOutletUps(const char *address);

// ---- Trap monitor and check engine (trap_monitor.cpp, check_engine.cpp) --------------------
// 1 while a TarvosLumoGet call is inside its loop.
extern std::atomic<int32_t> g_Get_Running;
// Set to 1 by TarvosLumoStop; the monitor sets it back to 0 when it leaves because of it.
extern std::atomic<int32_t> TarvosLumoStopFlag;
// The trap listener's event (NULL: no listener); set by the start-up wait, signalled by the
// listener when a trap is queued and by the check engine to wake the monitor.
extern std::atomic<qp_event *> g_Trap_Event;
// Checks since the monitor last began a pass.
extern std::atomic<int32_t> g_Trap_Poke_Count;
// Bit 0x08: a fault trap came from another server's UPS; recomputed by every check as the OR
// of g_Battery_State_O.
extern std::atomic<uint32_t> g_Other_Ups_State;
// Position 0 .. 10 of the check engine's status-line rotation.
extern std::atomic<int32_t> g_Status_Log_Turn;

// Reads sixteen values of the UPS of UNIT_CODE (9000 + slot, 0 .. 15 for g_Ups_Ip_S, 100 .. 115
// for g_Ups_Ip_O) and writes them as eight lines to its trap log. 1 when it ran, 0 when the
// unit has no address.
int LogTrapStatusSnapshot(int unit_code);
