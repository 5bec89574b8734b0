// The system journal through libsystemd's sd_journal_send.
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>

#include "quorin/qp_journal.h"

namespace {

// -1 = not decided yet, 0 = off, 1 = on.
std::atomic<int> g_enabled{-1};

// The socket that libsystemd sends journal entries to. While it does not exist (no journal
// runs), sd_journal_send drops the entry silently, yet only after it has formatted the fields
// and tried to send them, which costs several times a log file's own write; a look for the
// socket first costs a fraction of that, and an entry is still sent whenever the socket is
// there.
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

bool set(const char *name) {
  const char *value = getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

int qp_journal_enabled(void) {
  int enabled = g_enabled.load();
  if (enabled >= 0) return enabled;
  const char *forced = getenv("QUORIN_JOURNAL");
  if (forced != nullptr && strcmp(forced, "1") == 0)
    enabled = 1;
  else if (forced != nullptr && strcmp(forced, "0") == 0)
    enabled = 0;
  else
    enabled = set("INVOCATION_ID") || set("NOTIFY_SOCKET") ? 1 : 0;
  g_enabled.store(enabled);
  return enabled;
}

void qp_journal_send(const char *identifier, int priority, uint32_t code, const char *text) {
  if (!qp_journal_enabled() || access(kJournalSocket, F_OK) != 0) return;
  sd_journal_send("MESSAGE=%s", text != nullptr ? text : "", "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                  identifier != nullptr ? identifier : "quorin", "QUORIN_CODE=%08x", code, nullptr);
}
