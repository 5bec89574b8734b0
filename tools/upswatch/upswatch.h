// Declarations shared by the parts of upswatch, the host program of SNMPUPS.DLL: its exit
// statuses, the library and its exports, the verb table and the time-stamped output.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

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
using TarvosLumoSendFn = int (*)(int reserved1, int reserved2, char *frame);
using UPSCheckSnmpRequestFn = int (*)(int unit_code, int mode);

// "Windows error NAME (N)" for the last-error value CODE.
std::string ErrorText(uint32_t code);

// ---- Output ------------------------------------------------------------------------------------

// The local time as "YYYY/MM/DD hh:mm:ss.mmm", the stamp of every line the verbs print about
// events.
std::string TimeStamp();
// Prints "STAMP TEXT" on standard output and flushes it, so that a reader of a pipe sees each
// line as it happens; safe from several threads at once.
void PrintEvent(const char *format, ...) __attribute__((format(printf, 1, 2)));

// ---- The library's files (library_files.cpp) ----------------------------------------------------

// The install directory from "PathName" of the registry (QUORIN_REGISTRY); false when missing.
bool InstallPath(std::string *path);
// The path of NAME ("SNMPUPS.LOG", "UPS\\UPSinfo.ini") under the install directory's DATA
// folder, or "" without an install directory.
std::string DataPath(const std::string &name);
// One record of the SNMP library log: its code and message.
struct LogLine {
  uint32_t code = 0;
  std::string text;
};
// Where the next record of the SNMP library log goes (0 without a log), and the records written
// from MARK up to now.
size_t LibraryLogMark();
std::vector<LogLine> LibraryLogSince(size_t mark);
// The UPS log of a unit code ("UPS\\UPS1001.LOG", "UPS\\MYUPS.LOG", ...) and its newest message.
std::string UpsLogName(int unit_code);
std::string LastUpsLogLine(int unit_code);
// KEY of the unit's section in the UPS information file, "" when missing.
std::string InfoValue(int unit_code, const char *key);

// ---- Frames of the older UPS controller (send.cpp) ------------------------------------------------

constexpr size_t kLegacyFrameSize = 48;
constexpr size_t kLegacyFrameRoom = kLegacyFrameSize + 1;
// Builds a frame from TEXT (at most 48 characters, at least code, unit and length): filled
// with blanks to the end of the data area and given status "0" when shorter.
bool BuildLegacyFrame(const std::string &text, char (&frame)[kLegacyFrameRoom], std::string *error);
// Calls TarvosLumoSend with FRAME; false (with a message) when the export is missing.
bool SendLegacyFrame(char *frame, int *result);
// Prints an answer frame raw and decoded: code, length, data, status.
void PrintLegacyAnswer(const char *frame);

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
int VerbWatch(int argc, char **argv);     // watch.cpp
int VerbSend(int argc, char **argv);      // send.cpp
int VerbShutdown(int argc, char **argv);  // shutdown.cpp
int VerbIdentify(int argc, char **argv);  // identify.cpp

}  // namespace upswatch
