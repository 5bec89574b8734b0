// upssim: serves simulated UPS network cards (SNMPv1 agents of the PowerNet MIB) on loopback
// addresses, one process for many cards, controlled while running by "upssim ctl".
//
// Sections: options and the config file, sockets, the control socket, the main loop.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>

#include "quorin/qp_runtime.h"
#include "quorin_version.h"
#include "upssim.h"

namespace upssim {
namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
  g_stop = 1;
}

constexpr uint64_t kTickMs = 100;

const char kUsage[] =
    "usage: upssim [--config FILE] [--cards FIRST[-LAST]]... [--port N] [--community TEXT]\n"
    "              [--outlet-groups N] [--runtime SECONDS] [--trap-to ADDRESS[:PORT]]...\n"
    "       upssim ctl ADDRESS VERB [ARGS...]\n"
    "Simulates UPS network cards (SNMPv1 agents of the PowerNet MIB) on loopback addresses.\n"
    "\n"
    "  -c, --config FILE          cards and their settings from FILE\n"
    "  -a, --cards FIRST[-LAST]   a card on every address of the range (repeatable)\n"
    "  -p, --port N               UDP port of the agents, 1 to 65535\n"
    "      --community TEXT       community of the cards (default public)\n"
    "      --outlet-groups N      outlet groups of each card, 0 to 64 (default 0)\n"
    "      --runtime SECONDS      battery run time of a full battery, more than 0 (default 1800)\n"
    "      --trap-to ADDRESS[:PORT]  a trap receiver (repeatable)\n"
    "  -h, --help                 print this help and exit\n"
    "  -V, --version              print the version and exit\n"
    "\n"
    "Cards listen on ADDRESS:PORT (PORT from --port, the config file, QUORIN_SNMP_PORT, or 161).\n"
    "Traps go to every --trap-to receiver (default port QUORIN_SNMP_TRAP_PORT, or 162).\n"
    "The control socket lies under QUORIN_RUNTIME_DIR/upssim (default /run/quorin/upssim).\n"
    "Exit status: 0 stopped, 1 a card or the control socket could not be set up, 2 usage error.\n";

constexpr int kMaxOutletGroups = 64;

// A whole decimal number from LOW to HIGH; anything else is refused, never cut or wrapped.
bool parse_whole(const std::string &text, long low, long high, long *out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char *end = nullptr;
  long n = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < low || n > high) return false;
  *out = n;
  return true;
}

// A number of seconds greater than 0.
bool parse_seconds(const std::string &text, double *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  double n = strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !isfinite(n) || n <= 0) return false;
  *out = n;
  return true;
}

bool parse_port(const std::string &text, uint16_t *port, std::string *error) {
  long n = 0;
  if (!parse_whole(text, 1, 65535, &n)) {
    *error = "port must be a whole number from 1 to 65535, not '" + text + "'";
    return false;
  }
  *port = static_cast<uint16_t>(n);
  return true;
}

bool parse_outlet_groups(const std::string &text, int *groups, std::string *error) {
  long n = 0;
  if (!parse_whole(text, 0, kMaxOutletGroups, &n)) {
    *error = "outlet groups must be a whole number from 0 to " + std::to_string(kMaxOutletGroups) +
             ", not '" + text + "'";
    return false;
  }
  *groups = static_cast<int>(n);
  return true;
}

// ---- options and the config file ----

struct Options {
  uint16_t port = 0;
  std::vector<std::pair<std::string, CardConfig>> cards;  // address, description
};

// Port from the environment variable NAME, or FALLBACK when it is unset or not a whole port
// number: the same rule as the manager layer's, so that both ends agree on the port.
uint16_t env_port(const char *name, uint16_t fallback) {
  const char *text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char *end = nullptr;
  long n = strtol(text, &end, 10);
  return (*end == '\0' && n > 0 && n <= 65535) ? static_cast<uint16_t>(n) : fallback;
}

// Adds a card for every address of RANGE ("127.0.0.2" or "127.0.0.2-127.0.0.131").
bool add_range(Options *options, const std::string &range, const CardConfig &config, std::string *error) {
  size_t dash = range.find('-');
  std::string first = range.substr(0, dash);
  std::string last = dash == std::string::npos ? first : range.substr(dash + 1);
  in_addr a, b;
  if (inet_pton(AF_INET, first.c_str(), &a) != 1 || inet_pton(AF_INET, last.c_str(), &b) != 1 ||
      ntohl(b.s_addr) < ntohl(a.s_addr) || ntohl(b.s_addr) - ntohl(a.s_addr) > 4096) {
    *error = "bad address range: " + range;
    return false;
  }
  for (uint32_t n = ntohl(a.s_addr); n <= ntohl(b.s_addr); ++n) {
    in_addr address;
    address.s_addr = htonl(n);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    options->cards.emplace_back(text, config);
  }
  return true;
}

std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Applies KEY = VALUE to CONFIG; false for an unknown key or a bad value.
bool apply_card_key(CardConfig *config, const std::string &key, const std::string &value,
                    std::string *error) {
  if (key == "community") {
    config->community = value;
  } else if (key == "model") {
    config->model = value;
  } else if (key == "firmware") {
    config->firmware = value;
  } else if (key == "serial") {
    config->serial = value;
  } else if (key == "description") {
    config->description = value;
  } else if (key == "outlet-groups") {
    if (!parse_outlet_groups(value, &config->outlet_groups, error)) return false;
  } else if (key == "runtime" || key == "recharge") {
    if (!parse_seconds(value, key == "runtime" ? &config->runtime_s : &config->recharge_s)) {
      *error = key + " must be a number of seconds greater than 0, not '" + value + "'";
      return false;
    }
  } else if (key == "trap-to") {
    sockaddr_in to;
    if (!parse_endpoint(value, env_port("QUORIN_SNMP_TRAP_PORT", 162), &to)) {
      *error = "bad trap receiver: " + value;
      return false;
    }
    config->receivers.push_back(to);
  } else if (key == "value") {
    size_t blank = value.find(' ');
    if (blank == std::string::npos) {
      *error = "value needs OID TYPE VALUE: " + value;
      return false;
    }
    config->values.emplace_back(value.substr(0, blank), trim(value.substr(blank + 1)));
  } else {
    *error = "unknown key: " + key;
    return false;
  }
  return true;
}

// Reads the config file: process-wide keys and card defaults first, then [card RANGE]
// sections; a section's description is complete when the next section or the end comes.
bool read_config(const std::string &path, const CardConfig &base, Options *options, std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  CardConfig defaults = base;
  CardConfig current;
  std::string range;
  std::string line;
  int number = 0;
  auto finish = [&]() { return range.empty() || add_range(options, range, current, error); };
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (!finish()) return false;
      if (line.back() != ']' || line.compare(0, 6, "[card ") != 0) {
        *error = path + ":" + std::to_string(number) + ": sections are [card ADDRESS] or [card FIRST-LAST]";
        return false;
      }
      range = trim(line.substr(6, line.size() - 7));
      current = defaults;
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": KEY = VALUE expected";
      return false;
    }
    std::string key = trim(line.substr(0, equals));
    std::string value = trim(line.substr(equals + 1));
    if (range.empty() && key == "port") {
      if (!parse_port(value, &options->port, error)) {
        *error = path + ":" + std::to_string(number) + ": " + *error;
        return false;
      }
    } else if (range.empty() && key == "trap-to") {
      sockaddr_in to;
      if (!parse_endpoint(value, env_port("QUORIN_SNMP_TRAP_PORT", 162), &to)) {
        *error = "bad trap receiver: " + value;
        return false;
      }
      g_trap_receivers.push_back(to);
    } else if (!apply_card_key(range.empty() ? &defaults : &current, key, value, error)) {
      *error = path + ":" + std::to_string(number) + ": " + *error;
      return false;
    }
  }
  return finish();
}

// Parses the command line. Returns 1 to go on, 0 after --help or --version (printed), -1 with
// ERROR for a bad argument.
int parse_options(int argc, char **argv, Options *options, std::string *error) {
  enum { kCommunity = 256, kOutletGroups, kRuntime, kTrapTo };
  static const struct option kOptions[] = {{"config", required_argument, nullptr, 'c'},
                                           {"cards", required_argument, nullptr, 'a'},
                                           {"port", required_argument, nullptr, 'p'},
                                           {"community", required_argument, nullptr, kCommunity},
                                           {"outlet-groups", required_argument, nullptr, kOutletGroups},
                                           {"runtime", required_argument, nullptr, kRuntime},
                                           {"trap-to", required_argument, nullptr, kTrapTo},
                                           {"help", no_argument, nullptr, 'h'},
                                           {"version", no_argument, nullptr, 'V'},
                                           {nullptr, 0, nullptr, 0}};
  CardConfig base;
  std::vector<std::string> ranges;
  std::string config_path;
  uint16_t port = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "c:a:p:hV", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      case 'V':
        printf("upssim (quorin) %s\n", QUORIN_VERSION);
        return 0;
      case 'c':
        config_path = optarg;
        break;
      case 'a':
        ranges.push_back(optarg);
        break;
      case 'p':
        if (!parse_port(optarg, &port, error)) {
          *error = "--" + *error;
          return -1;
        }
        break;
      case kCommunity:
        base.community = optarg;
        break;
      case kOutletGroups:
        if (!parse_outlet_groups(optarg, &base.outlet_groups, error)) {
          *error = "--" + *error;
          return -1;
        }
        break;
      case kRuntime:
        if (!parse_seconds(optarg, &base.runtime_s)) {
          *error = std::string("--runtime must be a number of seconds greater than 0, not '") + optarg + "'";
          return -1;
        }
        break;
      case kTrapTo: {
        sockaddr_in to;
        if (!parse_endpoint(optarg, env_port("QUORIN_SNMP_TRAP_PORT", 162), &to)) {
          *error = std::string("bad trap receiver: ") + optarg;
          return -1;
        }
        g_trap_receivers.push_back(to);
        break;
      }
      default:
        if (optopt != 0 && optopt < 256)
          *error = std::string("option '-") + static_cast<char>(optopt) + "' needs a value or is unknown";
        else
          *error = std::string("unknown option or missing value: ") + argv[optind - 1];
        return -1;
    }
  }
  if (optind < argc) {
    *error = std::string("unexpected argument: ") + argv[optind];
    return -1;
  }
  if (!config_path.empty() && !read_config(config_path, base, options, error)) return -1;
  for (const std::string &range : ranges)
    if (!add_range(options, range, base, error)) return -1;
  if (options->cards.empty()) {
    *error = "no cards: give --cards or a config file with [card ...] sections";
    return -1;
  }
  if (port != 0) options->port = port;
  if (options->port == 0) options->port = env_port("QUORIN_SNMP_PORT", 161);
  return 1;
}

// ---- sockets ----

bool open_card_socket(Card *card, uint16_t port, std::string *error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = card->address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    *error = "cannot listen on " + card->address_text + ":" + std::to_string(port) + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  card->socket_fd = fd;
  return true;
}

// ---- the control socket ----

struct ControlSocket {
  int fd = -1;
  std::string path;
  std::vector<std::string> links;  // one per card address
};

bool open_control(const std::string &dir, const std::vector<Card> &cards, ControlSocket *control,
                  std::string *error) {
  control->path = dir + "/ctl-" + std::to_string(getpid());
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (control->path.size() >= sizeof address.sun_path) {
    *error = "runtime directory path too long for a socket: " + control->path;
    return false;
  }
  memcpy(address.sun_path, control->path.c_str(), control->path.size());
  unlink(control->path.c_str());
  control->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (control->fd < 0 || bind(control->fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(control->fd, 16) != 0) {
    *error = "cannot open the control socket " + control->path + ": " + strerror(errno);
    return false;
  }
  // "ctl ADDRESS" finds this process through a link named after each card.
  std::string target = "ctl-" + std::to_string(getpid());
  for (const Card &card : cards) {
    std::string link = dir + "/" + card.address_text;
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) {
      *error = "cannot create " + link + ": " + strerror(errno);
      return false;
    }
    control->links.push_back(link);
  }
  return true;
}

void close_control(ControlSocket *control) {
  for (const std::string &link : control->links) unlink(link.c_str());
  if (control->fd >= 0) close(control->fd);
  unlink(control->path.c_str());
}

// Serves one control connection; true when the verb asked the simulator to stop.
bool serve_control(int listen_fd, std::vector<Card> &cards) {
  int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return false;
  timeval timeout = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  std::string request;
  char buffer[4096];
  ssize_t n;
  while (request.size() < 65536 && (n = read(fd, buffer, sizeof buffer)) > 0)
    request.append(buffer, static_cast<size_t>(n));
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i < request.size(); ++i) {
    if (request[i] == '\0') {
      args.push_back(request.substr(start, i - start));
      start = i + 1;
    }
  }
  bool ok = false, quit = false;
  std::string answer = control_execute(cards, args, &ok, &quit);
  answer.insert(answer.begin(), ok ? '0' : '1');
  size_t sent = 0;
  while (sent < answer.size() && (n = write(fd, answer.data() + sent, answer.size() - sent)) > 0)
    sent += static_cast<size_t>(n);
  close(fd);
  return quit;
}

// ---- the main loop ----

void setup_snmp_library() {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE, 1);
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  netsnmp_session probe;
  snmp_sess_init(&probe);
}

int run(int argc, char **argv) {
  std::string error;
  Options options;
  int parsed = parse_options(argc, argv, &options, &error);
  if (parsed == 0) return 0;
  if (parsed < 0) {
    fprintf(stderr, "upssim: %s\nTry 'upssim --help'.\n", error.c_str());
    return 2;
  }
  char runtime[512];
  if (!qp_runtime_path("upssim", runtime, sizeof runtime)) {
    fprintf(stderr,
            "upssim: cannot create the runtime folder (QUORIN_RUNTIME_DIR, default /run/quorin): %s\n",
            strerror(errno));
    return 1;
  }
  setup_snmp_library();

  std::vector<Card> cards(options.cards.size());
  for (size_t i = 0; i < cards.size(); ++i) {
    Card &card = cards[i];
    card.address_text = options.cards[i].first;
    inet_pton(AF_INET, card.address_text.c_str(), &card.address);
    if (!card_init(&card, options.cards[i].second, &error) ||
        !open_card_socket(&card, options.port, &error)) {
      fprintf(stderr, "upssim: %s: %s\n", card.address_text.c_str(), error.c_str());
      return 1;
    }
  }
  ControlSocket control;
  if (!open_control(runtime, cards, &control, &error)) {
    fprintf(stderr, "upssim: %s\n", error.c_str());
    close_control(&control);
    return 1;
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGPIPE, SIG_IGN);
  printf("upssim: %zu cards on port %u, control %s\n", cards.size(), static_cast<unsigned>(options.port),
         runtime);
  fflush(stdout);

  std::vector<pollfd> fds(cards.size() + 1);
  fds[0] = {control.fd, POLLIN, 0};
  for (size_t i = 0; i < cards.size(); ++i) fds[i + 1] = {cards[i].socket_fd, POLLIN, 0};
  std::vector<uint8_t> datagram(65536);
  uint64_t next_tick = now_ms() + kTickMs;
  bool quit = false;
  while (!g_stop && !quit) {
    uint64_t now = now_ms();
    uint64_t wake = next_tick;
    uint64_t delayed = agent_next_delayed();
    if (delayed != 0 && delayed < wake) wake = delayed;
    int timeout = wake > now ? static_cast<int>(wake - now) : 0;
    int ready = poll(fds.data(), fds.size(), timeout);
    if (ready > 0) {
      for (size_t i = 0; i < cards.size(); ++i) {
        if (!(fds[i + 1].revents & POLLIN)) continue;
        for (int burst = 0; burst < 256; ++burst) {
          sockaddr_in from;
          socklen_t from_length = sizeof from;
          ssize_t n = recvfrom(cards[i].socket_fd, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<sockaddr *>(&from), &from_length);
          if (n < 0) break;
          agent_handle_datagram(&cards[i], datagram.data(), static_cast<size_t>(n), from);
        }
      }
      if (fds[0].revents & POLLIN) quit = serve_control(control.fd, cards);
    }
    now = now_ms();
    if (now >= next_tick) {
      for (Card &card : cards) card_tick(&card, now);
      next_tick = now + kTickMs;
    }
    agent_flush_delayed(now);
  }
  close_control(&control);
  for (Card &card : cards) close(card.socket_fd);
  return 0;
}

}  // namespace
}  // namespace upssim

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "ctl") == 0) {
    char runtime[512];
    if (!qp_runtime_path("upssim", runtime, sizeof runtime)) {
      fprintf(stderr, "upssim: cannot use the runtime folder (QUORIN_RUNTIME_DIR, default /run/quorin): %s\n",
              strerror(errno));
      return 2;
    }
    return upssim::control_client(runtime, argc - 2, argv + 2);
  }
  return upssim::run(argc, argv);
}
