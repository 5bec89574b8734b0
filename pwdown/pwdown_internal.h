// What the modules of pwdown.dll share: the library log, the registry and service probes, the
// command pipe client with its two request forms, and the export gate.
//
// Process-wide state of the library (one instance each):
//   g_LibraryLog, g_InstallPath  written by the attach step on the loading thread, before any
//                                export can run, and by the detach step after the last one;
//                                only read in between. Log writers are serialised by
//                                g_LibraryLog.mutex.
//   g_LumoUa                     the unit address last read from "LumoUa"; written by every
//                                unit-bound request on the caller's thread, hence atomic.
// Everything else an export needs (the connection, its request frame and response buffer, the
// payload scratch) lives in a PcConnection on the caller's stack, so calls from several
// threads do not share buffers.
#pragma once

#include <stdint.h>

#include <atomic>

#include "pwdown.h"
#include "quorin/platform.h"

// ---- Library log ("pwdown.log": a ring of fixed-width lines behind an offset header) ----

struct LibraryLog {
  int enabled;      // 0 when the install directory or the mutex could not be had
  qp_mutex *mutex;  // serialises writers of this process
  int line_limit;   // sets the ring size: line_limit x (width + 31) bytes of offsets
  int width;        // width of the message field, at most kLogMaxWidth
  char path[260];   // "%s\DATA\%s" of the install directory and kLogFileName
};

inline constexpr char kLogFileName[] = "pwdown.log";
inline constexpr int kLogLineLimit = 5000;
inline constexpr int kLogWidth = 80;
inline constexpr int kLogMaxWidth = 1024;

extern LibraryLog g_LibraryLog;
extern char g_InstallPath[260];

// The attach step's log context: reads the install directory into INSTALL (SIZE bytes) and
// sets LOG up for "%s\DATA\pwdown.log" below it. A missing install directory, a log path that
// would not fit or a mutex that cannot be created leave the log disabled for the life of the
// process.
void SetUpLibraryLog(LibraryLog *log, char *install, uint32_t size);

// Writes MESSAGE (cut or blank-padded to the context's width) with CODE as eight hex digits
// at the ring position held in the file's header. Silent on every failure.
void WriteLibraryLog(const char *message, uint32_t code, LibraryLog *log);

// Log texts of the pipe client and the export entries.
inline constexpr char kLogWriteFail[] = "WriteFile FAIL ";
inline constexpr char kLogPipeWrite[] = "Pipe Write";
inline constexpr char kLogWriteLengthFail[] = "WriteFile Length FAIL ";
inline constexpr char kLogReadFail[] = "READFILE FAIL ";
inline constexpr char kLogPipeRead[] = "Pipe Read";

// ---- Registry and service probes ----

// Registry key of the product, and the main service whose state gates every export.
inline constexpr char kProductKey[] = "SOFTWARE\\Tarvos\\QUORIN/MVL";
inline constexpr char kMainServiceName[] = "QUORIN_MVL";
inline constexpr char kValuePathName[] = "PathName";
inline constexpr char kValueLumoUnit[] = "LumoUnit";
inline constexpr char kValueLumoUa[] = "LumoUa";
inline constexpr char kValueLumoCom[] = "LumoCom";
inline constexpr char kValueApiDebug[] = "APIDEBUG";

// System type from "LumoUnit"; kSystemTypeUnknown when it cannot be determined.
inline constexpr int kSystemTypeUnknown = -1;

// The product key exists.
bool IsQuoPcInstall();
// "APIDEBUG" can be read into one byte.
bool IsApiDebug();
// The debug switch is set, or the service "QUORIN_MVL" reports RUNNING.
bool IsQuoPcServiceRunning();
// 0, 1 or 2 from the first byte of "LumoUnit", or kSystemTypeUnknown.
int GetSystemTypeFromRegistry();
// Reads "PathName" into BUFFER (SIZE bytes, NUL-terminated): false when missing or too long.
bool GetReg_LumoPathName(char *buffer, uint32_t size);
extern std::atomic<uint32_t> g_LumoUa;

// Reads "LumoUa" (at most four bytes of data) into g_LumoUa: false when missing or larger. A
// value without data reads successfully and leaves g_LumoUa as it was.
bool GetReg_LumoUa();
// Reads the first byte of "LumoCom" into *COM: false when missing or empty.
bool GetReg_LumoCom(uint8_t *com);

// Head of every gated export: 0 when the product is installed and the service runs,
// otherwise PC_ERR_NOT_INSTALLED or PC_ERR_SERVICE.
uint32_t CheckQuoPcGate();

// ---- Command pipe client ----

inline constexpr char kCommandPipeName[] = "\\\\.\\pipe\\npquomvl1";
inline constexpr uint32_t kPipeBusyWaitMs = 10000;
inline constexpr uint32_t kFrameHeaderSize = 8;
inline constexpr uint32_t kFramePayloadSize = 272;
inline constexpr uint32_t kResponseSize = 264;
inline constexpr uint32_t kPayloadScratchSize = 256;

// One open connection to the command pipe with the buffers of its requests. The data that a
// read-form request returns points into `response` and stays valid until the next request.
struct PcConnection {
  qp_pipe *pipe;
  char frame[kFrameHeaderSize + kFramePayloadSize];
  char response[kResponseSize + 1];  // one more byte keeps the data NUL-terminated
  char scratch[kPayloadScratchSize];
};

// Opens the command pipe, waiting while it is busy, and sets message read mode: 0, or
// PC_ERR_SERVICE (no pipe or another open failure) or PC_ERR_FAILED (a busy wait or the
// mode change failed). On failure nothing stays open.
uint32_t OpenCommandPipe(PcConnection *connection);
// Value of one hexadecimal digit, or -1 for any other character.
int HexDigit(char c);
// Closes the connection (nothing when it is not open).
void CloseCommandPipe(PcConnection *connection);

// Read form: sends CODE with no data and reads the answer. *LENGTH in is the smallest data
// length the caller accepts (0: any); out the data length. On success *DATA points at the
// answer's data. On failure *ERROR is PC_ERR_FAILED ("LumoUa" unreadable, nothing written),
// PC_ERR_PIPE_IO, PC_ERR_REJECTED or PC_ERR_UNSUPPORTED.
bool SendCmdWithResponseData(PcConnection *connection, const char *code, const char **data, uint32_t *length,
                             bool unitless, uint32_t *error);
// Payload form: sends CODE with the N bytes of PAYLOAD (at most kFramePayloadSize) and checks
// the answer's status. *ERROR as for the read form.
bool SendCmdWithData(PcConnection *connection, const char *code, const char *payload, uint32_t n,
                     bool unitless, uint32_t *error);

// Sets CODE as the thread's last-error value and returns 0, the failure result of an export.
inline int PcFail(uint32_t code) {
  SetLastError(code);
  return 0;
}

// ---- Items and status ----

// Reads the unit's eight slot bytes with "002" over a connection of its own (opened with
// OpenCommandPipe and closed again) into SLOTS: 0, the open's or the request's error, or
// PC_ERR_PIPE_IO when the answer is not sixteen hex digits.
uint32_t ReadSlotInfo(uint8_t *slots);
