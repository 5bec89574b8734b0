// The attach and detach steps of pwdown.dll: the library log context is set up when a process
// loads the library.
#include "pwdown_internal.h"

namespace {

// Process attach, run on the loading thread before any export can be called; the attach
// itself always succeeds, whatever becomes of the log.
__attribute__((constructor)) void PwdownProcessAttach() {
  SetUpLibraryLog(&g_LibraryLog, g_InstallPath, sizeof g_InstallPath);
  qp_library_report_attach(1);
}

// Process detach: the log falls silent. The log mutex is left for the life of the process:
// detach also runs while a host exits, when its other threads may still be waiting on it or
// holding it inside a log write.
__attribute__((destructor)) void PwdownProcessDetach() {
  g_LibraryLog.enabled = 0;
}

}  // namespace
