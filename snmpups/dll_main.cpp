// The attach and detach steps of SNMPUPS.DLL: the load sequence runs when a process loads the
// library and reports its outcome to the platform loader.
#include "snmpups_state.h"

namespace {

// Process attach, on the loading thread before any export can be called. A failed load makes
// a load through the platform loader fail (1114); a host that called dlopen itself keeps the
// library with every export inert, since g_Library_Ready stays 0.
__attribute__((constructor)) void SnmpUpsProcessAttach() {
  bool ok = SnmpUpsLoad();
  g_Library_Ready.store(ok ? 1 : 0);
  qp_library_report_attach(ok ? 1 : 0);
}

// Process detach: every export becomes inert. The mutexes live as long as the process: the
// detach also runs while a host program exits, when its other threads may still be inside a
// log writer holding or waiting for one of them. The log files the writers keep open are
// closed unless a writer is at work, so that a host that unloads the library keeps no file.
__attribute__((destructor)) void SnmpUpsProcessDetach() {
  g_Library_Ready.store(0);
  CloseKeptLogs(0);
}

}  // namespace
