// One simulated UPS card: its variables, the behaviour model that drives them, and the SETs
// that a manager may send.
//
// The model runs on real time: on battery the time on battery counts and the battery drains
// over the card's run time; on mains it recharges. Turn-off, sleep and conserve-battery act
// after the shut-down delay, timed sleep ends after the sleep time, and a card that went down
// until power returns comes back after the return delay. Every transition sends its trap.
#include <arpa/inet.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>

#include "upssim.h"

namespace upssim {

namespace {

// Output status values (upsBasicOutputStatus).
constexpr int kStatusOnLine = 2, kStatusOnBattery = 3, kStatusTimedSleeping = 5, kStatusOff = 7,
              kStatusSleepingUntilPower = 11;
// Battery status values (upsBasicBatteryStatus).
constexpr int kBatteryNormal = 2, kBatteryLow = 3;
// Input line fail cause on a power failure: blackout.
constexpr int kFailCauseBlackout = 4;

// Positions in the output state text (64 characters of '0' and '1').
constexpr size_t kFlagAbnormal = 0, kFlagOnBattery = 1, kFlagLowBattery = 2, kFlagOnLine = 3,
                 kFlagSerialComm = 5, kFlagSleepingTimer = 16, kFlagSleepingUntilPower = 17,
                 kFlagGracefulShutdown = 21;
constexpr size_t kOutputStateLength = 64;

// PowerNet trap numbers sent on the model's transitions.
constexpr int kTrapCommLost = 1, kTrapOnBattery = 5, kTrapLowBattery = 7, kTrapCommEstablished = 8,
              kTrapPowerRestored = 9, kTrapReturnFromLowBattery = 11, kTrapTurnedOff = 12, kTrapSleeping = 13,
              kTrapWokeUp = 14, kTrapTurnedOn = 30, kTrapGracefulShutdown = 39;

// Outlet group commands and the group state each leaves (1 = on, 2 = off, 0 = unchanged).
constexpr int kOutletCommandCount = 10;
const int kOutletStateAfter[kOutletCommandCount + 1] = {0, 1, 2, 1, 1, 2, 1, 0, 2, 1, 0};

Oid child(const Oid &prefix, oid index) {
  Oid ids = prefix;
  ids.push_back(index);
  return ids;
}

bool is_number_type(uint8_t type) {
  return type == ASN_INTEGER || type == ASN_COUNTER || type == ASN_GAUGE || type == ASN_TIMETICKS;
}

int64_t number_of(Card *card, const Oid &name, int64_t fallback) {
  Variable *v = card_find(card, name);
  return (v != nullptr && is_number_type(v->value.type)) ? v->value.number : fallback;
}

// Writes a model-computed value unless the variable was pinned from the control socket.
void put(Card *card, const Oid &name, const Value &value) {
  Variable &v = card->vars[name];
  if (!v.pinned) v.value = value;
}

void put_number(Card *card, const Oid &name, uint8_t type, int64_t number) {
  put(card, name, integer_value(type, number));
}

int output_status(const Card &card) {
  switch (card.model.output) {
    case Output::On:
      return card.model.mains ? kStatusOnLine : kStatusOnBattery;
    case Output::Off:
      return kStatusOff;
    case Output::Sleeping:
      return card.model.wake_on_power ? kStatusSleepingUntilPower : kStatusTimedSleeping;
  }
  return kStatusOff;
}

double remaining_s(const Card &card) {
  return card.model.capacity / 100.0 * card.runtime_s;
}

// Fills every model-computed variable from the model.
void refresh(Card *card, uint64_t now) {
  const Model &m = card->model;
  bool on = m.output == Output::On;
  put_number(card, mib::kSysUpTime, ASN_TIMETICKS, static_cast<int64_t>((now - card->started_ms) / 10));
  put_number(card, mib::kSnmpInPkts, ASN_COUNTER, static_cast<int64_t>(card->requests & 0xFFFFFFFFu));
  put_number(card, mib::kBatteryStatus, ASN_INTEGER, m.low_battery ? kBatteryLow : kBatteryNormal);
  put_number(card, mib::kTimeOnBattery, ASN_TIMETICKS, static_cast<int64_t>(m.on_battery_ms / 10));
  put_number(card, mib::kCapacity, ASN_GAUGE, static_cast<int64_t>(std::lround(m.capacity)));
  put_number(card, mib::kRunTimeRemaining, ASN_TIMETICKS, static_cast<int64_t>(remaining_s(*card) * 100));
  put_number(card, mib::kInputVoltage, ASN_GAUGE, m.mains ? 100 : 0);
  put_number(card, mib::kInputMaxVoltage, ASN_GAUGE, m.mains ? 103 : 0);
  put_number(card, mib::kInputMinVoltage, ASN_GAUGE, m.mains ? 97 : 0);
  put_number(card, mib::kInputFrequency, ASN_GAUGE, m.mains ? 50 : 0);
  put_number(card, mib::kOutputStatus, ASN_INTEGER, output_status(*card));
  put_number(card, mib::kOutputVoltage, ASN_GAUGE, on ? 100 : 0);
  put_number(card, mib::kOutputFrequency, ASN_GAUGE, on ? 50 : 0);
  put_number(card, mib::kOutputLoad, ASN_GAUGE, on ? 25 : 0);
  put_number(card, mib::kOutputCurrent, ASN_GAUGE, on ? 3 : 0);
  put_number(card, mib::kCommStatus, ASN_INTEGER, m.comm_ok ? 1 : 2);

  std::string state(kOutputStateLength, '0');
  state[kFlagAbnormal] = (m.low_battery || !m.comm_ok) ? '1' : '0';
  state[kFlagOnBattery] = (on && !m.mains) ? '1' : '0';
  state[kFlagLowBattery] = m.low_battery ? '1' : '0';
  state[kFlagOnLine] = (on && m.mains) ? '1' : '0';
  state[kFlagSerialComm] = m.comm_ok ? '1' : '0';
  state[kFlagSleepingTimer] = (m.output == Output::Sleeping && !m.wake_on_power) ? '1' : '0';
  state[kFlagSleepingUntilPower] = (m.output == Output::Sleeping && m.wake_on_power) ? '1' : '0';
  state[kFlagGracefulShutdown] = m.graceful ? '1' : '0';
  put(card, mib::kOutputState, string_value(state));
}

// Switches the output to OUTPUT, ending whatever was pending, and sends TRAP.
void switch_output(Card *card, Output output, int trap) {
  Model &m = card->model;
  m.output = output;
  m.pending = Pending::None;
  m.graceful = false;
  m.wake_at_ms = 0;
  m.wake_on_power = false;
  m.on_battery_ms = 0;
  agent_trap(card, trap);
}

void turn_on(Card *card, int trap) {
  switch_output(card, Output::On, trap);
}

void turn_off(Card *card) {
  switch_output(card, Output::Off, kTrapTurnedOff);
}

// Milliseconds a card waits before its output comes back once mains power is there.
uint64_t return_delay_ms(Card *card) {
  return static_cast<uint64_t>(number_of(card, mib::kReturnDelay, 0)) * 10 + 1;
}

// Puts the card to sleep: for the sleep time when one is set and UNTIL_POWER is false,
// otherwise until mains power returns. A card told to sleep until power returns while mains
// is present (power came back during the shut-down delay, or the power-fail turn-off was
// sent on mains) counts the power as returned at once: it comes back after the return
// delay, so that the servers it feeds are power-cycled rather than left off for good.
void go_to_sleep(Card *card, bool until_power, uint64_t now) {
  Model &m = card->model;
  int64_t sleep_ticks = number_of(card, mib::kSleepTime, 0);
  m.output = Output::Sleeping;
  m.pending = Pending::None;
  m.graceful = false;
  m.on_battery_ms = 0;
  if (!until_power && sleep_ticks > 0) {
    m.wake_on_power = false;
    m.wake_at_ms = now + static_cast<uint64_t>(sleep_ticks) * 10;
    m.wake_trap = kTrapWokeUp;
  } else if (m.mains) {
    m.wake_on_power = false;
    m.wake_at_ms = now + return_delay_ms(card);
    m.wake_trap = kTrapWokeUp;
  } else {
    m.wake_on_power = true;
    m.wake_at_ms = 0;
  }
  agent_trap(card, kTrapSleeping);
}

// Starts ACTION now, or after the shut-down delay when GRACEFUL.
void schedule(Card *card, Pending action, bool graceful, uint64_t now) {
  Model &m = card->model;
  if (m.output != Output::On) return;
  m.pending = action;
  m.graceful = graceful;
  m.pending_at_ms = now + (graceful ? static_cast<uint64_t>(number_of(card, mib::kShutoffDelay, 0)) * 10 : 0);
  if (graceful) agent_trap(card, kTrapGracefulShutdown);
}

void run_pending(Card *card, uint64_t now) {
  Model &m = card->model;
  if (m.pending == Pending::None || now < m.pending_at_ms) return;
  Pending action = m.pending;
  m.pending = Pending::None;
  m.graceful = false;
  if (action == Pending::TurnOff) turn_off(card);
  if (action == Pending::Sleep) go_to_sleep(card, false, now);
  if (action == Pending::Conserve) go_to_sleep(card, true, now);
}

}  // namespace

Variable *card_find(Card *card, const Oid &name) {
  auto it = card->vars.find(name);
  return it == card->vars.end() ? nullptr : &it->second;
}

bool card_init(Card *card, const CardConfig &config, std::string *error) {
  card->community = config.community;
  card->outlet_groups = config.outlet_groups;
  card->runtime_s = config.runtime_s > 0 ? config.runtime_s : 1800;
  card->recharge_s = config.recharge_s > 0 ? config.recharge_s : 600;
  card->receivers = config.receivers;
  card->started_ms = now_ms();

  for (size_t i = 0; i < kMibRowCount; ++i) {
    const MibRow &row = kMibRows[i];
    Oid name;
    parse_oid(row.oid, &name);
    Variable v;
    v.writable = row.writable;
    v.low = row.low;
    v.high = row.high;
    v.value.type = row.type;
    if (row.initial[0] != '\0' && !parse_value(row.type, row.initial, &v.value, error)) return false;
    card->vars[name] = v;
  }

  char serial[32];
  snprintf(serial, sizeof serial, "QS%010u", static_cast<unsigned>(ntohl(card->address) & 0xFFFFFFu));
  std::string firmware =
      !config.firmware.empty() ? config.firmware : (config.outlet_groups > 0 ? "UPS 09.3" : "QS 6.4.I");
  std::string serial_text = !config.serial.empty() ? config.serial : serial;
  std::string description =
      !config.description.empty()
          ? config.description
          : "QSIM Network Management Card MB:v3.9.2 PF:v3.9.2 PN:upssim AN1:" + card->address_text +
                " MN:" + config.model + " SN:" + serial_text;
  card->vars[mib::kModel].value = string_value(config.model);
  card->vars[mib::kFirmware].value = string_value(firmware);
  card->vars[mib::kSerial].value = string_value(serial_text);
  card->vars[mib::kSysDescr].value = string_value(description);
  Oid sys_name;
  parse_oid(".1.3.6.1.2.1.1.5.0", &sys_name);
  card->vars[sys_name].value = string_value("ups-" + card->address_text);

  if (card->outlet_groups > 0) {
    Variable size;
    size.value = integer_value(ASN_INTEGER, card->outlet_groups);
    card->vars[mib::kOutletTableSize] = size;
    for (int g = 1; g <= card->outlet_groups; ++g) {
      Variable state;
      state.value = integer_value(ASN_INTEGER, 1);
      card->vars[child(mib::kOutletGroupState, static_cast<oid>(g))] = state;
      Variable command;
      command.writable = true;
      command.low = 1;
      command.high = kOutletCommandCount;
      command.value = integer_value(ASN_INTEGER, 1);
      card->vars[child(mib::kOutletGroupCommand, static_cast<oid>(g))] = command;
    }
  }

  card->model.last_tick_ms = card->started_ms;
  refresh(card, card->started_ms);
  for (const auto &[oid_text_value, type_and_value] : config.values) {
    Oid name;
    if (!parse_oid(oid_text_value, &name)) {
      *error = "bad OID in value: " + oid_text_value;
      return false;
    }
    size_t blank = type_and_value.find(' ');
    std::string type_text = type_and_value.substr(0, blank);
    std::string value_part = blank == std::string::npos ? "" : type_and_value.substr(blank + 1);
    uint8_t type;
    Value value;
    if (!parse_type(type_text, &type)) {
      *error = "bad type in value: " + type_text;
      return false;
    }
    if (!parse_value(type, value_part, &value, error)) return false;
    if (!card_force(card, name, value, error)) return false;
  }
  return true;
}

void card_tick(Card *card, uint64_t now) {
  Model &m = card->model;
  double dt_s = now > m.last_tick_ms ? static_cast<double>(now - m.last_tick_ms) / 1000.0 : 0.0;
  m.last_tick_ms = now;

  if (m.output == Output::On && !m.mains) {
    m.on_battery_ms += dt_s * 1000.0;
    m.capacity -= dt_s * 100.0 / card->runtime_s;
    if (m.capacity <= 0) {
      // The battery is exhausted: the output drops and comes back with the mains.
      m.capacity = 0;
      turn_off(card);
      m.wake_on_power = true;
    }
  } else if (m.mains && m.capacity < 100.0) {
    m.capacity += dt_s * 100.0 / card->recharge_s;
    if (m.capacity > 100.0) m.capacity = 100.0;
  }

  run_pending(card, now);

  if (m.wake_at_ms != 0 && now >= m.wake_at_ms) {
    m.wake_at_ms = 0;
    if (m.mains)
      turn_on(card, m.wake_trap);
    else
      m.wake_on_power = true;
  }

  bool low = remaining_s(*card) * 100.0 < static_cast<double>(number_of(card, mib::kLowBatteryRunTime, 0));
  if (low != m.low_battery) {
    m.low_battery = low;
    agent_trap(card, low ? kTrapLowBattery : kTrapReturnFromLowBattery);
  }
  refresh(card, now);
}

void card_power_fail(Card *card) {
  Model &m = card->model;
  if (!m.mains) return;
  m.mains = false;
  put_number(card, mib::kInputFailCause, ASN_INTEGER, kFailCauseBlackout);
  if (m.output == Output::On) {
    m.on_battery_ms = 0;
    agent_trap(card, kTrapOnBattery);
  }
  refresh(card, now_ms());
}

void card_power_restore(Card *card) {
  Model &m = card->model;
  if (m.mains) return;
  uint64_t now = now_ms();
  m.mains = true;
  m.on_battery_ms = 0;
  agent_trap(card, kTrapPowerRestored);
  if (m.output != Output::On && m.wake_on_power) {
    m.wake_on_power = false;
    m.wake_trap = m.output == Output::Sleeping ? kTrapWokeUp : kTrapTurnedOn;
    m.wake_at_ms = now + return_delay_ms(card);
  }
  refresh(card, now);
}

void card_comm(Card *card, bool ok) {
  if (card->model.comm_ok == ok) return;
  card->model.comm_ok = ok;
  agent_trap(card, ok ? kTrapCommEstablished : kTrapCommLost);
  refresh(card, now_ms());
}

long card_check_set(Card *card, const Oid &name, const Value &value) {
  auto fault = card->faults.error_status.find(name);
  if (fault != card->faults.error_status.end()) return fault->second;
  if (card->faults.refuse_sets != 0) return card->faults.refuse_sets;
  Variable *v = card_find(card, name);
  // SNMPv1 answers a variable that is missing or cannot be written with noSuchName.
  if (v == nullptr || !v->writable) return SNMP_ERR_NOSUCHNAME;
  if (value.type != v->value.type) return SNMP_ERR_BADVALUE;
  if (is_number_type(value.type) && v->low <= v->high && (value.number < v->low || value.number > v->high))
    return SNMP_ERR_BADVALUE;
  if (value.type == ASN_IPADDRESS && value.bytes.size() != 4) return SNMP_ERR_BADVALUE;
  // Conserving the battery only makes sense on battery; a card on mains refuses it.
  if (name == mib::kConserveBattery && value.number == 2 &&
      !(card->model.output == Output::On && !card->model.mains))
    return SNMP_ERR_BADVALUE;
  return SNMP_ERR_NOERROR;
}

void card_apply_set(Card *card, const Oid &name, const Value &value) {
  uint64_t now = now_ms();
  card->vars[name].value = value;
  Model &m = card->model;
  if (name == mib::kTurnOff) {
    if (value.number == 2 && m.output != Output::Off) turn_off(card);
    if (value.number == 3) schedule(card, Pending::TurnOff, true, now);
  } else if (name == mib::kSleepControl) {
    if (value.number == 2 && m.output == Output::On) go_to_sleep(card, false, now);
    if (value.number == 3) schedule(card, Pending::Sleep, true, now);
  } else if (name == mib::kConserveBattery) {
    if (value.number == 2) schedule(card, Pending::Conserve, true, now);
  } else if (name == mib::kTurnOn) {
    if (value.number == 2 && m.output != Output::On)
      turn_on(card, m.output == Output::Sleeping ? kTrapWokeUp : kTrapTurnedOn);
  } else if (name.size() == mib::kOutletGroupCommand.size() + 1 &&
             std::equal(mib::kOutletGroupCommand.begin(), mib::kOutletGroupCommand.end(), name.begin())) {
    int after =
        (value.number >= 1 && value.number <= kOutletCommandCount) ? kOutletStateAfter[value.number] : 0;
    Variable *state = card_find(card, child(mib::kOutletGroupState, name.back()));
    if (after != 0 && state != nullptr && !state->pinned) state->value.number = after;
  }
  refresh(card, now);
}

bool card_force(Card *card, const Oid &name, const Value &value, std::string *error) {
  Model &m = card->model;
  bool on_battery = m.output == Output::On && !m.mains;
  if (name == mib::kCapacity || (name == mib::kTimeOnBattery && on_battery)) {
    // Inputs of the model: the model goes on from the value given.
    if (!is_number_type(value.type)) {
      *error = "a number is needed for this variable";
      return false;
    }
    if (name == mib::kCapacity) m.capacity = value.number > 100 ? 100.0 : static_cast<double>(value.number);
    if (name == mib::kTimeOnBattery) m.on_battery_ms = static_cast<double>(value.number) * 10.0;
    card_tick(card, now_ms());
    return true;
  }
  Variable &v = card->vars[name];
  bool existed = v.value.type != ASN_NULL || v.writable || v.pinned;
  if (!existed) {
    // A variable the card did not have: managers may read and write it with its type.
    v.writable = true;
    v.low = 1;
    v.high = 0;
  }
  v.value = value;
  v.pinned = true;
  return true;
}

bool card_unpin(Card *card, const Oid &name) {
  Variable *v = card_find(card, name);
  if (v == nullptr) return false;
  v->pinned = false;
  refresh(card, now_ms());
  return true;
}

void card_unpin_all(Card *card) {
  for (auto &[name, v] : card->vars) v.pinned = false;
  refresh(card, now_ms());
}

std::string card_dump(Card *card) {
  const Model &m = card->model;
  static const char *const kOutputNames[] = {"on", "off", "sleeping"};
  static const char *const kPendingNames[] = {"none", "turn-off", "sleep", "conserve"};
  char line[256];
  std::string out;
  snprintf(line, sizeof line, "address %s\ncommunity %s\noutlet-groups %d\n", card->address_text.c_str(),
           card->community.c_str(), card->outlet_groups);
  out += line;
  snprintf(line, sizeof line,
           "mains %s\noutput %s\nstatus %d\ncapacity %.1f\nseconds-on-battery %.1f\nlow-battery %d\n"
           "pending %s\ngraceful %d\ncomm %s\n",
           m.mains ? "on" : "off", kOutputNames[static_cast<int>(m.output)], output_status(*card), m.capacity,
           m.on_battery_ms / 1000.0, m.low_battery ? 1 : 0, kPendingNames[static_cast<int>(m.pending)],
           m.graceful ? 1 : 0, m.comm_ok ? "ok" : "lost");
  out += line;
  snprintf(line, sizeof line,
           "requests %llu\nanswered %llu\ngets %llu\nsets %llu\nbad-community %llu\nheld %zu\n",
           static_cast<unsigned long long>(card->requests), static_cast<unsigned long long>(card->answered),
           static_cast<unsigned long long>(card->gets), static_cast<unsigned long long>(card->sets),
           static_cast<unsigned long long>(card->bad_community), agent_held_answers(card));
  out += line;
  const Faults &f = card->faults;
  snprintf(line, sizeof line, "fault silent %d\nfault refuse-sets %s\nfault delay %d\nfault drop %d\n",
           f.silent ? 1 : 0, f.refuse_sets != 0 ? status_name(f.refuse_sets) : "off", f.delay_ms,
           f.drop_next);
  out += line;
  for (const auto &[name, type] : f.wrong_type)
    out += "fault type " + oid_text(name) + " " + type_name(type) + "\n";
  for (const auto &[name, status] : f.error_status)
    out += "fault status " + oid_text(name) + " " + status_name(status) + "\n";
  for (const auto &[name, v] : card->vars)
    out += "var " + oid_text(name) + " " + value_text(v.value) + (v.pinned ? " (pinned)" : "") + "\n";
  return out;
}

}  // namespace upssim
