// The attach and detach steps of pwdown.dll: the library log context is set up when a process
// loads the library.
#include <stdio.h>

#include "pwdown_internal.h"

namespace {

// Process attach, run on the loading thread before any export can be called. A missing
// install directory, a log path that would not fit or a mutex that cannot be created leave
// the log disabled for the life of the process; the attach itself always succeeds.
__attribute__((constructor)) void PwdownProcessAttach() {
  g_LibraryLog.enabled = 1;
  if (!GetReg_LumoPathName(g_InstallPath, sizeof g_InstallPath)) g_LibraryLog.enabled = 0;
  int n = snprintf(g_LibraryLog.path, sizeof g_LibraryLog.path, "%s\\DATA\\%s", g_InstallPath, kLogFileName);
  if (n < 0 || static_cast<size_t>(n) >= sizeof g_LibraryLog.path) g_LibraryLog.enabled = 0;
  g_LibraryLog.line_limit = kLogLineLimit;
  g_LibraryLog.width = kLogWidth;
  g_LibraryLog.mutex = qp_mutex_create();
  if (g_LibraryLog.mutex == nullptr) g_LibraryLog.enabled = 0;
  qp_library_report_attach(1);
}

// Process detach: the log falls silent. The log mutex is left for the life of the process:
// detach also runs while a host exits, when its other threads may still be waiting on it or
// holding it inside a log write.
__attribute__((destructor)) void PwdownProcessDetach() {
  g_LibraryLog.enabled = 0;
}

}  // namespace
