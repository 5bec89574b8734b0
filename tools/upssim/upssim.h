// Declarations shared by the parts of upssim, the UPS network-card simulator.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace upssim {

using Oid = std::vector<oid>;

// ---- values ----

struct Value {
  uint8_t type = ASN_NULL;  // ASN.1 tag
  int64_t number = 0;       // INTEGER, Counter, Gauge, TimeTicks
  std::string bytes;        // OCTET STRING, Opaque, IpAddress (4 bytes)
  Oid ids;                  // OBJECT IDENTIFIER
};

Value integer_value(uint8_t type, int64_t number);
Value string_value(const std::string &text);

// "1.3.6..." or ".1.3.6..." into IDS; false for anything else.
bool parse_oid(const std::string &text, Oid *ids);
std::string oid_text(const Oid &ids);
// Type from a name or a net-snmp letter (i, u, c, t, a, o, s, x, n, q / integer, gauge, ...).
bool parse_type(const std::string &name, uint8_t *type);
const char *type_name(uint8_t type);
// Value of TYPE from its text (decimal, dotted address or OID, text, hex for x and Opaque).
bool parse_value(uint8_t type, const std::string &text, Value *value, std::string *error);
// "INTEGER 3", "STRING \"abc\"", "IpAddress 224.0.0.100", "Opaque 0x0102", "NULL".
std::string value_text(const Value &value);
// SNMPv1 error status names: "noError", "tooBig", "noSuchName", "badValue", "readOnly", "genErr".
const char *status_name(long status);
bool parse_status(const std::string &name, long *status);

// ---- the variables a card serves ----

// One row of the card's variable table: where it lives, its type, whether a manager may
// write it, its value range for writes, and its initial value.
struct MibRow {
  const char *oid;
  const char *name;
  uint8_t type;
  bool writable;
  int64_t low, high;    // accepted range of written numbers (low > high: any)
  const char *initial;  // text as for parse_value; "" for values the model fills
};

extern const MibRow kMibRows[];
extern const size_t kMibRowCount;

// Identifiers of the variables the model reads or fills.
namespace mib {
extern const Oid kSysDescr, kSysObjectId, kSysUpTime, kSnmpInPkts;
extern const Oid kModel, kFirmware, kSerial;
extern const Oid kBatteryStatus, kTimeOnBattery, kCapacity, kRunTimeRemaining;
extern const Oid kInputVoltage, kInputMaxVoltage, kInputMinVoltage, kInputFrequency, kInputFailCause;
extern const Oid kOutputStatus, kOutputVoltage, kOutputFrequency, kOutputLoad, kOutputCurrent;
extern const Oid kLowBatteryRunTime, kReturnDelay, kShutoffDelay, kSleepTime;
extern const Oid kConserveBattery, kTurnOff, kSleepControl, kTurnOn;
extern const Oid kCommStatus, kOutputState;
extern const Oid kOutletGroupState, kOutletTableSize, kOutletGroupCommand;  // prefixes / scalar
extern const Oid kTrapArgument, kEnterprise;
}  // namespace mib

// ---- cards ----

struct Variable {
  Value value;
  bool writable = false;
  int64_t low = 1, high = 0;
  bool pinned = false;  // set from the control socket: the model leaves it alone
};

struct Faults {
  bool silent = false;
  long refuse_sets = 0;               // error status for every SET, 0 = none
  std::map<Oid, uint8_t> wrong_type;  // answered with this type instead
  std::map<Oid, long> error_status;   // any request naming it gets this status
  int delay_ms = 0;
  int drop_next = 0;  // requests left to ignore
};

enum class Output { On, Off, Sleeping };
enum class Pending { None, TurnOff, Sleep, Conserve };

struct Model {
  bool mains = true;
  bool comm_ok = true;
  Output output = Output::On;
  bool wake_on_power = false;  // sleeping or off until power returns
  double capacity = 100.0;     // percent
  double on_battery_ms = 0;    // time on battery of the current power failure
  bool low_battery = false;
  Pending pending = Pending::None;
  bool graceful = false;       // a graceful shut-down delay is running
  uint64_t pending_at_ms = 0;  // when the pending action happens
  uint64_t wake_at_ms = 0;     // timed sleep / return delay end (0 = none)
  int wake_trap = 0;           // trap sent on that wake-up
  uint64_t last_tick_ms = 0;
};

struct Card {
  std::string address_text;
  in_addr_t address = 0;  // network order
  int socket_fd = -1;
  std::string community = "public";
  int outlet_groups = 0;
  double runtime_s = 1800;             // run time of a full battery
  double recharge_s = 600;             // time to recharge an empty battery
  std::vector<sockaddr_in> receivers;  // traps go here (besides the process-wide ones)
  std::map<Oid, Variable> vars;
  Faults faults;
  Model model;
  std::vector<std::string> set_log;  // every SET binding received, in order
  uint64_t requests = 0, answered = 0, gets = 0, sets = 0, bad_community = 0;
  uint64_t started_ms = 0;
};

// Description of a card before it starts (from the config file or --cards).
struct CardConfig {
  std::string community = "public";
  std::string model = "QSIM UPS 1500";
  std::string firmware;     // default chosen by outlet-groups
  std::string serial;       // default from the address
  std::string description;  // default built from model and firmware
  int outlet_groups = 0;
  double runtime_s = 1800, recharge_s = 600;
  std::vector<sockaddr_in> receivers;
  std::vector<std::pair<std::string, std::string>> values;  // OID, "TYPE VALUE"
};

uint64_t now_ms();

// card.cpp
bool card_init(Card *card, const CardConfig &config, std::string *error);
void card_tick(Card *card, uint64_t now);
Variable *card_find(Card *card, const Oid &name);
// Checks and applies a SET of one binding; returns the error status (0 = done).
long card_check_set(Card *card, const Oid &name, const Value &value);
void card_apply_set(Card *card, const Oid &name, const Value &value);
void card_power_fail(Card *card);
void card_power_restore(Card *card);
void card_comm(Card *card, bool ok);
// Sets a variable from the control socket (capacity and time on battery move the model).
bool card_force(Card *card, const Oid &name, const Value &value, std::string *error);
bool card_unpin(Card *card, const Oid &name);
void card_unpin_all(Card *card);
std::string card_dump(Card *card);

// agent.cpp
void agent_handle_datagram(Card *card, const uint8_t *data, size_t length, const sockaddr_in &from);
void agent_flush_delayed(uint64_t now);
uint64_t agent_next_delayed();
// Number of answers of CARD held back by the delay fault and not sent yet.
size_t agent_held_answers(const Card *card);
// Datagrams of one trap: one per receiver attempted, those the system took, and the errno of
// the last that failed (0 when none did).
struct TrapSent {
  int attempted = 0;
  int sent = 0;
  int error = 0;
};
// Sends a PowerNet trap (enterprise 318, generic 6) from CARD to every receiver. BINDING
// empty = no variable binding; otherwise TEXT goes into that binding.
TrapSent agent_send_trap(Card *card, int generic, int specific, const Oid &binding, const std::string &text);
void agent_trap(Card *card, int specific);  // a transition trap with its own text

// Process-wide receivers of every card's traps.
extern std::vector<sockaddr_in> g_trap_receivers;
bool parse_endpoint(const std::string &text, uint16_t default_port, sockaddr_in *out);

// control.cpp
std::string control_execute(std::vector<Card> &cards, const std::vector<std::string> &args, bool *ok,
                            bool *quit);
int control_client(const std::string &runtime_dir, int argc, char **argv);

}  // namespace upssim
