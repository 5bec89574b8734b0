// The control verbs of upssim ("upssim ctl ADDRESS VERB ...") and the client that sends them
// over the control socket.
//
// A request is the card address, the verb and its arguments, each followed by a NUL byte; the
// answer is one status byte ('0' done, '1' refused) and the text to print.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "upssim.h"

namespace upssim {

namespace {

using Args = std::vector<std::string>;

struct Context {
  std::vector<Card> &cards;
  Card *card;
  const Args &args;  // verb arguments (after the verb)
  std::string out;
  bool quit = false;
};

bool fail(Context &c, const std::string &text) {
  c.out = text + "\n";
  return false;
}

bool need_oid(Context &c, size_t i, Oid *name) {
  if (i >= c.args.size() || !parse_oid(c.args[i], name))
    return fail(c, "an OID is needed: " + (i < c.args.size() ? c.args[i] : std::string("(none)")));
  return true;
}

bool verb_power_fail(Context &c) {
  card_power_fail(c.card);
  c.out = "on battery\n";
  return true;
}

bool verb_power_restore(Context &c) {
  card_power_restore(c.card);
  c.out = "on mains\n";
  return true;
}

bool verb_comm(Context &c) {
  if (c.args.size() != 1 || (c.args[0] != "lost" && c.args[0] != "ok")) return fail(c, "usage: comm lost|ok");
  card_comm(c.card, c.args[0] == "ok");
  c.out = "comm " + c.args[0] + "\n";
  return true;
}

// set OID TYPE VALUE...: the rest of the arguments, joined by blanks, is the value.
bool verb_set(Context &c) {
  Oid name;
  if (!need_oid(c, 0, &name)) return false;
  uint8_t type;
  if (c.args.size() < 2 || !parse_type(c.args[1], &type)) return fail(c, "usage: set OID TYPE VALUE");
  std::string text;
  for (size_t i = 2; i < c.args.size(); ++i) text += (i > 2 ? " " : "") + c.args[i];
  Value value;
  std::string error;
  if (!parse_value(type, text, &value, &error) || !card_force(c.card, name, value, &error))
    return fail(c, error);
  c.out = oid_text(name) + " " + value_text(card_find(c.card, name)->value) + "\n";
  return true;
}

bool verb_get(Context &c) {
  Oid name;
  if (!need_oid(c, 0, &name)) return false;
  Variable *v = card_find(c.card, name);
  if (v == nullptr) return fail(c, "no such variable: " + oid_text(name));
  c.out = oid_text(name) + " " + value_text(v->value) + "\n";
  return true;
}

bool verb_unpin(Context &c) {
  if (c.args.size() == 1 && c.args[0] == "all") {
    card_unpin_all(c.card);
  } else {
    Oid name;
    if (!need_oid(c, 0, &name)) return false;
    if (!card_unpin(c.card, name)) return fail(c, "no such variable: " + oid_text(name));
  }
  c.out = "unpinned\n";
  return true;
}

// fault silent on|off | refuse-sets [STATUS|off] | type OID TYPE|off | status OID STATUS|off |
// delay MS | drop N | clear
bool verb_fault(Context &c) {
  Faults &f = c.card->faults;
  const Args &a = c.args;
  if (a.empty()) return fail(c, "usage: fault silent|refuse-sets|type|status|delay|drop|clear ...");
  const std::string &kind = a[0];
  if (kind == "clear" && a.size() == 1) {
    f = Faults();
  } else if (kind == "silent" && a.size() == 2 && (a[1] == "on" || a[1] == "off")) {
    f.silent = a[1] == "on";
  } else if (kind == "refuse-sets" && a.size() <= 2) {
    long status = SNMP_ERR_NOSUCHNAME;  // what a v1 agent answers a read-only community
    if (a.size() == 2 && a[1] == "off")
      status = 0;
    else if (a.size() == 2 && !parse_status(a[1], &status))
      return fail(c, "unknown error status: " + a[1]);
    f.refuse_sets = status;
  } else if (kind == "type" && a.size() == 3) {
    Oid name;
    if (!need_oid(c, 1, &name)) return false;
    uint8_t type;
    if (a[2] == "off")
      f.wrong_type.erase(name);
    else if (parse_type(a[2], &type))
      f.wrong_type[name] = type;
    else
      return fail(c, "unknown type: " + a[2]);
  } else if (kind == "status" && a.size() == 3) {
    Oid name;
    if (!need_oid(c, 1, &name)) return false;
    long status;
    if (a[2] == "off")
      f.error_status.erase(name);
    else if (parse_status(a[2], &status))
      f.error_status[name] = status;
    else
      return fail(c, "unknown error status: " + a[2]);
  } else if ((kind == "delay" || kind == "drop") && a.size() == 2) {
    char *end = nullptr;
    long n = strtol(a[1].c_str(), &end, 10);
    if (a[1].empty() || *end != '\0' || n < 0 || n > 600000) return fail(c, "a count is needed: " + a[1]);
    (kind == "delay" ? f.delay_ms : f.drop_next) = static_cast<int>(n);
  } else {
    return fail(c,
                "usage: fault silent on|off | refuse-sets [STATUS|off] | type OID TYPE|off | "
                "status OID STATUS|off | delay MS | drop N | clear");
  }
  c.out = "fault " + kind + "\n";
  return true;
}

// trap SPECIFIC [--count N] [--text TEXT] [--generic N] [--varbind OID] [--no-varbinds]
bool verb_trap(Context &c) {
  const Args &a = c.args;
  char *end = nullptr;
  if (a.empty())
    return fail(
        c, "usage: trap SPECIFIC [--count N] [--text TEXT] [--generic N] [--varbind OID] [--no-varbinds]");
  long specific = strtol(a[0].c_str(), &end, 10);
  if (a[0].empty() || *end != '\0' || specific < 0) return fail(c, "a trap number is needed: " + a[0]);
  long count = 1, generic = SNMP_TRAP_ENTERPRISESPECIFIC;
  std::string text;
  bool own_text = false;
  Oid binding = mib::kTrapArgument;
  for (size_t i = 1; i < a.size(); ++i) {
    bool has_value = i + 1 < a.size();
    if (a[i] == "--no-varbinds") {
      binding.clear();
    } else if (a[i] == "--count" && has_value) {
      count = strtol(a[++i].c_str(), nullptr, 10);
    } else if (a[i] == "--generic" && has_value) {
      generic = strtol(a[++i].c_str(), nullptr, 10);
    } else if (a[i] == "--text" && has_value) {
      text = a[++i];
      own_text = true;
    } else if (a[i] == "--varbind" && has_value) {
      if (!parse_oid(a[++i], &binding)) return fail(c, "an OID is needed: " + a[i]);
    } else {
      return fail(c, "unknown option: " + a[i]);
    }
  }
  if (count < 1 || count > 1000000) return fail(c, "count out of range");
  // The reply counts the datagrams the system took (one per trap and receiver), so that a
  // test relying on a burst knows what was really sent.
  long attempted = 0, sent = 0;
  int error = 0;
  for (long n = 1; n <= count; ++n) {
    std::string body = own_text ? text : "upssim trap " + std::to_string(specific);
    if (count > 1) body += " #" + std::to_string(n);
    TrapSent one =
        agent_send_trap(c.card, static_cast<int>(generic), static_cast<int>(specific), binding, body);
    attempted += one.attempted;
    sent += one.sent;
    if (one.error != 0) error = one.error;
  }
  if (sent != attempted || error != 0)
    return fail(c, "sent " + std::to_string(sent) + " of " + std::to_string(attempted) +
                       " datagrams: " + strerror(error));
  c.out = "sent " + std::to_string(sent) + "\n";
  return true;
}

bool verb_dump(Context &c) {
  c.out = card_dump(c.card);
  return true;
}

bool verb_sets(Context &c) {
  if (c.args.size() == 1 && c.args[0] == "clear") {
    c.card->set_log.clear();
    c.out = "";
    return true;
  }
  if (!c.args.empty()) return fail(c, "usage: sets [clear]");
  c.out.clear();
  for (const std::string &line : c.card->set_log) c.out += line + "\n";
  return true;
}

bool verb_trap_to(Context &c) {
  sockaddr_in to;
  if (c.args.size() != 1 || !parse_endpoint(c.args[0], 162, &to))
    return fail(c, "usage: trap-to ADDRESS:PORT");
  g_trap_receivers.push_back(to);
  c.out = "traps also to " + c.args[0] + "\n";
  return true;
}

bool verb_list(Context &c) {
  c.out.clear();
  for (const Card &card : c.cards) c.out += card.address_text + "\n";
  return true;
}

bool verb_quit(Context &c) {
  c.quit = true;
  c.out = "stopping\n";
  return true;
}

struct Verb {
  const char *name;
  bool (*handler)(Context &);
  const char *usage;
};

const Verb kVerbs[] = {
    {"power-fail", verb_power_fail, "mains power fails: the card goes on battery"},
    {"power-restore", verb_power_restore, "mains power returns"},
    {"comm", verb_comm, "lost|ok: serial communication with the UPS"},
    {"set", verb_set, "OID TYPE VALUE: sets (or adds) a variable; the model leaves it alone after"},
    {"get", verb_get, "OID: shows one variable"},
    {"unpin", verb_unpin, "OID|all: hands a variable back to the model"},
    {"fault", verb_fault, "silent|refuse-sets|type|status|delay|drop|clear ...: fault injection"},
    {"trap", verb_trap, "SPECIFIC [--count N] [--text T] [--generic N] [--varbind OID] [--no-varbinds]"},
    {"dump", verb_dump, "the card's state, counters, faults and variables"},
    {"sets", verb_sets, "[clear]: the SETs received, in order"},
    {"trap-to", verb_trap_to, "ADDRESS:PORT: one more trap receiver for every card"},
    {"list", verb_list, "the cards of this process"},
    {"quit", verb_quit, "stops the simulator"},
};

}  // namespace

std::string control_execute(std::vector<Card> &cards, const std::vector<std::string> &args, bool *ok,
                            bool *quit) {
  *ok = false;
  *quit = false;
  if (args.size() < 2) return "usage: upssim ctl ADDRESS VERB [ARGS...]\n";
  Card *card = nullptr;
  for (Card &candidate : cards)
    if (candidate.address_text == args[0]) card = &candidate;
  if (card == nullptr) return "no card " + args[0] + " in this simulator\n";
  Args rest(args.begin() + 2, args.end());
  for (const Verb &verb : kVerbs) {
    if (args[1] != verb.name) continue;
    Context context{cards, card, rest, "", false};
    *ok = verb.handler(context);
    *quit = context.quit;
    return context.out;
  }
  std::string usage = "unknown verb " + args[1] + "; verbs:\n";
  for (const Verb &verb : kVerbs) usage += std::string("  ") + verb.name + " " + verb.usage + "\n";
  return usage;
}

int control_client(const std::string &runtime_dir, int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: upssim ctl ADDRESS VERB [ARGS...]\n");
    return 2;
  }
  std::string path = runtime_dir + "/" + argv[0];
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    fprintf(stderr, "upssim: control path too long: %s\n", path.c_str());
    return 2;
  }
  memcpy(address.sun_path, path.c_str(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    fprintf(stderr, "upssim: no simulator serves %s (%s)\n", argv[0], strerror(errno));
    if (fd >= 0) close(fd);
    return 2;
  }
  std::string request;
  for (int i = 0; i < argc; ++i) {
    request += argv[i];
    request.push_back('\0');
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = write(fd, request.data() + sent, request.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  if (answer.empty()) {
    fprintf(stderr, "upssim: no answer from the simulator\n");
    return 2;
  }
  bool ok = answer[0] == '0';
  fwrite(answer.data() + 1, 1, answer.size() - 1, ok ? stdout : stderr);
  return ok ? 0 : 1;
}

}  // namespace upssim
