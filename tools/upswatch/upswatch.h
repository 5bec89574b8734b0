// Declarations shared by the parts of upswatch, the host program of SNMPUPS.DLL: its exit
// statuses, the library and its exports, the verb table and the time-stamped output.
#pragma once

#include <stdint.h>

#include <string>

#include "quorin/platform.h"

namespace upswatch {

// Exit statuses of every verb.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // the verb ran and did not succeed (no UPS answered, ...)
constexpr int kExitUsage = 2;    // bad command line
constexpr int kExitLibrary = 3;  // SNMPUPS.DLL cannot be loaded or lacks an export

constexpr char kProgram[] = "upswatch";
constexpr char kLibraryName[] = "SNMPUPS.DLL";

// ---- The library (host.cpp) ------------------------------------------------------------------

// Loads SNMPUPS.DLL on first use: from the path in UPSWATCH_LIBRARY when set, else from the
// folder of this program, through the platform loader as any host does. False, with a message
// on standard error saying what to check, when it cannot be loaded.
bool LoadLibrary();
// The export NAME of the loaded library, or NULL with a message on standard error.
void *Export(const char *name);
template <typename Fn>
Fn ExportAs(const char *name) {
  return reinterpret_cast<Fn>(Export(name));
}

// The exports this program calls, by their signatures.
using WaitDaskStartUpFn = int (*)(unsigned quiet);
using QuoKySnmpCheckFn = int (*)(void);
using TarvosLumoGetFn = int (*)(int reserved1, int reserved2, char *report);
using TarvosLumoStopFn = int (*)(void);
using GetDasklumoDllVersionFn = int (*)(char *version);
using QuoKyGetInfoFn = int (*)(void *out, unsigned type);
using QuoKyGetUnitStateFn = int (*)(int ups_index, char *address, uint32_t *words);
using GetUpsStatusFromSnmpFn = int (*)(const char *address, int *output_status);

// "Windows error NAME (N)" for the last-error value CODE.
std::string ErrorText(uint32_t code);

// ---- Output ------------------------------------------------------------------------------------

// The local time as "YYYY/MM/DD hh:mm:ss.mmm", the stamp of every line the verbs print about
// events.
std::string TimeStamp();
// Prints "STAMP TEXT" on standard output and flushes it, so that a reader of a pipe sees each
// line as it happens; safe from several threads at once.
void PrintEvent(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---- Verbs (verbs.cpp) ---------------------------------------------------------------------------

// One verb: its name, its entry (ARGV[0] is the verb's name, as getopt_long expects), its
// usage line and one line on what it does.
struct Verb {
  const char *name;
  int (*run)(int argc, char **argv);
  const char *usage;
  const char *summary;
};
extern const Verb kVerbs[];
extern const size_t kVerbCount;
// The verb run when the command line names none.
extern const char kDefaultVerb[];

// The verbs, each in a file of its own.
int VerbWatch(int argc, char **argv);  // watch.cpp

}  // namespace upswatch
