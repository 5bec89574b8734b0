// What the sources of pwctl share: exit statuses, the verb table entry, error names, the
// library's entries and the outcome line.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "quorin/platform.h"

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitLibrary = 3;
inline constexpr char kLibraryName[] = "pwdown.dll";

// One verb: its name, its runner (ARGV holds the words after the verb; ARGV[-1] is the verb
// itself, so a runner may hand ARGC + 1, ARGV - 1 to getopt_long), and its usage line.
struct Verb {
  const char *name;
  int (*run)(int argc, char **argv);
  const char *usage;
};

// The verbs of the schedule, control times and calendars (schedule_verbs.cpp).
extern const Verb kScheduleVerbs[];
extern const size_t kScheduleVerbCount;

// "PC_ERR_UNSUPPORTED (0x20000100)", "ERROR_INVALID_PARAMETER (87)" or "unknown error (N)".
std::string ErrorText(uint32_t code);
// The export NAME of the library, loaded on first use so that usage errors need no library;
// NULL (with a message) when the library cannot be loaded or lacks the export.
void *Entry(const char *name);
// Prints the outcome of an export called as CALL and gives the exit status.
int Outcome(const std::string &call, int result, uint32_t error);

// The library once loaded, freed by main.
extern qp_library *g_Library;
