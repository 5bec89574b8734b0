/* The system journal: log lines of a service, as structured entries.
 *
 * Lines go to the journal when the process runs under systemd (INVOCATION_ID or NOTIFY_SOCKET
 * set), or when QUORIN_JOURNAL=1; QUORIN_JOURNAL=0 keeps them out in any case. Each entry has
 * MESSAGE, PRIORITY, SYSLOG_IDENTIFIER and QUORIN_CODE (the line's code as 8 hex digits).
 */
#pragma once

#include "qp_base.h"

enum {
  QP_JOURNAL_ERR = 3,
  QP_JOURNAL_WARNING = 4,
  QP_JOURNAL_NOTICE = 5,
  QP_JOURNAL_INFO = 6,
};

/* 1 when journal_send reaches the journal in this process (decided once). */
QP_API int qp_journal_enabled(void);

/* Sends TEXT with PRIORITY and CODE under IDENTIFIER; nothing when the journal is off or
 * unreachable. Never fails visibly. */
QP_API void qp_journal_send(const char *identifier, int priority, uint32_t code, const char *text);
