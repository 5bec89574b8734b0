// Run-time binding of the SNMP UPS library and the cluster-control library.
#pragma once

#include <stdint.h>

#include <atomic>

// Entries bound by name. Slots are written by the delayed initialisation thread and read by
// command threads without a lock; a null slot means "not available".
using GetUpsStatusFromSnmpFn = int (*)(const char *address, int32_t *output_status);
using SetUpsOffbySnmpFn = int (*)(const char *address, int32_t value, int32_t mode);
using SetUpsPowerFailOffbySnmpFn = int (*)(const char *address);
using VexInitializeApiFn = int (*)(uint32_t *handle, uint32_t reserved, uint32_t wait_seconds);
using VexTerminateApiFn = int (*)(uint32_t handle);
using VexClusterShutdownFn = int (*)(uint32_t initiator, uint32_t option);
using VexServerShutdownFn = int (*)(uint32_t option);

extern std::atomic<GetUpsStatusFromSnmpFn> g_GetUpsStatusFromSnmp;
extern std::atomic<SetUpsOffbySnmpFn> g_SetUpsOffbySnmp;
extern std::atomic<SetUpsPowerFailOffbySnmpFn> g_SetUpsPowerFailOffbySnmp;
extern std::atomic<VexInitializeApiFn> g_VexInitializeApi;
extern std::atomic<VexTerminateApiFn> g_VexTerminateApi;
extern std::atomic<VexClusterShutdownFn> g_VexClusterShutdown;
extern std::atomic<VexServerShutdownFn> g_VexServerShutdown;

// Load the library from the install directory and bind its entries. 1 when the library is
// loaded (now or before) with its required entry, 0 otherwise.
int bindSnmpUpsLibrary();
int bindClusterLibrary();
// Release both libraries (cluster-control library first) and clear their slots.
void unbindLibraries();
