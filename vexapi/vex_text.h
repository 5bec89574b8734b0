// The cluster-control library's fixed texts: log lines, tools and their arguments, file and key names.
#pragma once

#include <stdint.h>

namespace vex {

// Entry and exit marks: the code page 932 brackets of the entry and exit lines.
#define VEX_MARK_OPEN "\x81\x73"
#define VEX_MARK_CLOSE "\x81\x74"

// One run of a cluster manager tool: the program, its arguments and the base name of the
// output file under the DATA folder (nullptr = output not kept).
struct ToolRun {
  const char *tool;
  const char *arguments;
  const char *output_name;
};

inline constexpr ToolRun kRunInitialize = {"tsrstat", "--rc", nullptr};
inline constexpr ToolRun kRunClusterName = {"tsrcfget", "-g /root/cluster/name", "VexGetClusterName"};
inline constexpr ToolRun kRunEnumServer = {"tsrcfget", "-e /root/server", "VexEnumServer"};
inline constexpr ToolRun kRunServerStatus = {"tsrstat", "--local", "VexGetServerStatus"};
inline constexpr ToolRun kRunClusterShutdown = {"tsrstdn", "", nullptr};
inline constexpr ToolRun kRunServerShutdown = {"tsrdown", "", nullptr};

// Files, registry and settings.
inline constexpr char kRegistryKey[] = "SOFTWARE\\Tarvos\\QUORIN/MVL";
inline constexpr char kRegistryPathName[] = "PathName";
inline constexpr char kDataFileFormat[] = "%s\\DATA\\%s";
inline constexpr char kOutputFileFormat[] = "%s\\Data\\%s.txt";
inline constexpr char kLogFileName[] = "ky_vexapi4.log";
inline constexpr char kOldLogFormat[] = "%s.1";
inline constexpr char kSettingsFileName[] = "ky_vexapi4.apc";
inline constexpr char kSettingsSection[] = "LocalLog";
inline constexpr char kSettingsModeKey[] = "Mode";
inline constexpr char kProfileDefault[] = "<default>";
inline constexpr char kClusterMutexName[] = "quorinky_tsrx";
inline constexpr char kLogSettingsNotRegular[] = "Settings file refused: not a regular file";
inline constexpr char kLogSettingsTooLarge[] = "Settings file refused: larger than %u bytes";

// Status tool output: the line that names the cluster, and the state word of a started cluster.
inline constexpr char kStatusClusterPrefix[] = "Cluster : ";
inline constexpr char kStatusStarted[] = "Start";

// Log lines of the load and unload steps, the log mutex and the runner.
inline constexpr char kLogLoad[] = "===== load ky_vexapi4.dll =====";
inline constexpr char kLogUnload[] = "unload ky_vexapi4.dll";
inline constexpr char kLogMutexNotCreated[] = "error : not created mutex";
inline constexpr char kLogMutexCreated[] = "created mutex";
inline constexpr char kLogNotDeleted[] = "not delete[%d] : %s";
inline constexpr char kLogCreateFileError[] = "CreateFile Error!<RunCommand>";
inline constexpr char kLogCreateProcessError[] = "CreateProcess Error!<RunCommand>";
inline constexpr char kLogWaitError[] = "WaitForSingleObject Error!<RunCommand>";

// Log lines of the exports.
inline constexpr char kLogRunCommandError[] = "RunCommand Error(%d / %d)[%s %s]...";
inline constexpr char kLogNotFound[] = "Not Found %s...";
inline constexpr char kLogFopenError[] = "fopen Error...";
inline constexpr char kLogClusterMutexNotOpened[] = "error : not opend quorinky_tsrx_mutex";
inline constexpr char kLogTesseraNotFound[] = "not found TESSERA Service.";
inline constexpr char kLogNotInitialised[] = "VexApiInitialze Error!";
inline constexpr char kLogRefusedClusterName[] = "ErrorResponse(VexGetClusterName)";
inline constexpr char kLogRefusedEnumServer[] = "ErrorResponse(VexEnumServer)";
inline constexpr char kLogRefusedServerShutdown[] = "ErrorResponse(VexServerShutdownStart)";
inline constexpr char kLogRefusedClusterShutdown[] = "ErrorResponse(VexClusterShutdownStart)";
inline constexpr char kLogEnumStopped[] = "ServerEnumProct Error!";
inline constexpr char kLogEnumServer[] = "ServerEnumProc<%s>";
inline constexpr char kLogIllegalInitiator[] = "illegal argument dwInitiator";
inline constexpr char kLogIllegalOption[] = "illegal argument dwOption";
inline constexpr char kLogIllegalBuffer[] = "illegal argument lpszClusterName";
inline constexpr char kLogIllegalSize[] = "illegal argument lpdwSize";
inline constexpr char kLogIllegalCallback[] = "illegal argument lpfnEnumProc";
inline constexpr char kLogIllegalState[] = "illegal argument lpdwStatus";
inline constexpr char kLogRetryStart[] = "retry start";
inline constexpr char kLogThreadError[] = "beginthred Error!";

// Entry and exit lines of the exports.
inline constexpr char kEnterInitialize[] = VEX_MARK_OPEN " VexInitializeApi " VEX_MARK_CLOSE;
inline constexpr char kLeaveInitialize[] = VEX_MARK_CLOSE "VexInitializeApi" VEX_MARK_OPEN;
inline constexpr char kEnterTerminate[] = VEX_MARK_OPEN " VexTerminateApi " VEX_MARK_CLOSE;
inline constexpr char kLeaveTerminate[] = VEX_MARK_CLOSE "VexTerminateApi " VEX_MARK_OPEN;
inline constexpr char kEnterClusterName[] = VEX_MARK_OPEN " VexGetClusterName " VEX_MARK_CLOSE;
inline constexpr char kLeaveClusterName[] = VEX_MARK_CLOSE "VexGetClusterName " VEX_MARK_OPEN;
inline constexpr char kLeaveClusterNameRefused[] = VEX_MARK_CLOSE "VexGetClusterName" VEX_MARK_OPEN;
inline constexpr char kEnterEnumServer[] = VEX_MARK_OPEN " VexEnumServer " VEX_MARK_CLOSE;
inline constexpr char kLeaveEnumServer[] = VEX_MARK_CLOSE "VexEnumServer " VEX_MARK_OPEN;
inline constexpr char kLeaveEnumServerRefused[] = VEX_MARK_CLOSE "VexEnumServer" VEX_MARK_OPEN;
inline constexpr char kLeaveServerStatusRefused[] = VEX_MARK_CLOSE "VexGetServerStatus" VEX_MARK_OPEN;
inline constexpr char kEnterClusterShutdown[] = VEX_MARK_OPEN " VexClusterShutdown " VEX_MARK_CLOSE;
inline constexpr char kLeaveClusterShutdown[] = VEX_MARK_CLOSE " VexClusterShutdown " VEX_MARK_OPEN;
inline constexpr char kEnterClusterShutdownRuns[] = VEX_MARK_OPEN " VexClusterShutdown_impl " VEX_MARK_CLOSE;
inline constexpr char kLeaveClusterShutdownRuns[] = VEX_MARK_CLOSE " VexClusterShutdown_impl " VEX_MARK_OPEN;
inline constexpr char kFailClusterShutdownRuns[] =
    VEX_MARK_CLOSE " VexClusterShutdown_impl Error!!" VEX_MARK_OPEN;
inline constexpr char kEnterServerShutdown[] = VEX_MARK_OPEN " VexServerShutdown " VEX_MARK_CLOSE;
inline constexpr char kLeaveServerShutdown[] = VEX_MARK_CLOSE " VexServerShutdown " VEX_MARK_OPEN;
inline constexpr char kEnterResponseThread[] =
    VEX_MARK_OPEN " VexServerShutdownResponseThread " VEX_MARK_CLOSE;
inline constexpr char kLeaveResponseThread[] =
    VEX_MARK_CLOSE " VexServerShutdownResponseThread " VEX_MARK_OPEN;
inline constexpr char kFailResponseThread[] =
    VEX_MARK_CLOSE " VexServerShutdownResponseThread Error!!" VEX_MARK_OPEN;

}  // namespace vex
