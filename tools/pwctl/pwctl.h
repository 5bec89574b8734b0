// What the sources of pwctl share: exit statuses, the verb table row, the library's entries
// and the printing of an export's outcome.
#pragma once

#include <stddef.h>

#include <stdint.h>

#include <string>

namespace pwctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLibrary = 3;

// One verb: its name, its handler and its usage line. Handlers of the first table get the
// arguments after the verb; those of the items and status table get the verb's name as
// argv[0] as well, as getopt_long wants it.
struct Verb {
  const char *name;
  int (*run)(int argc, char **argv);
  const char *usage;
};

// The verbs of the items, status and power-status exports (items_status_verbs.cpp).
extern const Verb kItemsStatusVerbs[];
extern const size_t kItemsStatusVerbCount;

// The verbs of the schedule, control times and calendars (schedule_verbs.cpp). Their runners
// get the words after the verb, with ARGV[-1] the verb itself, so that a runner may hand
// ARGC + 1, ARGV - 1 to getopt_long.
extern const Verb kScheduleVerbs[];
extern const size_t kScheduleVerbCount;

// The verb status (status_verb.cpp): the service and every configured UPS at a glance.
int VerbStatus(int argc, char **argv);

// Room for a reply of the command pipe.
constexpr uint32_t kPipeReplyRoom = 4096;
// Sends FRAME (LENGTH bytes) over a new connection to the command pipe and reads the reply into
// REPLY (kPipeReplyRoom bytes; *DONE bytes came). False with *PROBLEM saying what failed and
// what to check ("is the service running?" when the pipe is absent).
bool PipeExchange(const char *frame, uint32_t length, char *reply, uint32_t *done, std::string *problem);

// "PC_ERR_UNSUPPORTED (0x20000100)", "ERROR_INVALID_PARAMETER (87)" or "unknown error (N)".
std::string ErrorText(uint32_t code);
// The export NAME of pwdown.dll, loaded on first use; NULL (with a message) when it cannot be.
void *Entry(const char *name);
// Prints "CALL: OK" on standard output, or "CALL: failed: ERROR" on standard error, and gives
// the exit status.
int Outcome(const std::string &call, int result, uint32_t error);

}  // namespace pwctl
