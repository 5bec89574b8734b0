// Helpers shared by the files of the POSIX backend only.
#pragma once

#include "quorin/qp_sync.h"

// Makes EVENT also count as signalled while FD is readable (-1 removes the link). Used for
// the overlapped connect of a pipe server instance.
void qp_event_link_fd(qp_event *event, int fd);

struct qp_file;
// The descriptor behind a file handle (-1 for NULL), for the process runner's redirection.
int qp_file_native_fd(qp_file *file);

#include <sys/types.h>

// The operators' group (QUORIN_OPERATOR_GROUP, a name or a number; default "quorin"): false
// when the machine has no such group. Runtime folders and the pipe belong to it.
bool qp_operator_group(gid_t *group);
