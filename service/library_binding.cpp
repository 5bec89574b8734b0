// Loading "SNMPUPS.DLL" and "ky_vexapi4.dll" from the install directory and binding their
// entries by name.
#include "library_binding.h"

#include <stdio.h>

#include "quorin/platform.h"
#include "service_log.h"
#include "service_state.h"

std::atomic<GetUpsStatusFromSnmpFn> g_GetUpsStatusFromSnmp{nullptr};
std::atomic<SetUpsOffbySnmpFn> g_SetUpsOffbySnmp{nullptr};
std::atomic<SetUpsPowerFailOffbySnmpFn> g_SetUpsPowerFailOffbySnmp{nullptr};
std::atomic<VexInitializeApiFn> g_VexInitializeApi{nullptr};
std::atomic<VexTerminateApiFn> g_VexTerminateApi{nullptr};
std::atomic<VexClusterShutdownFn> g_VexClusterShutdown{nullptr};
std::atomic<VexServerShutdownFn> g_VexServerShutdown{nullptr};

namespace {

// One entry of a library: its export name and the slot it fills.
struct EntryBinding {
  const char *name;
  void (*store)(void *address);
};

template <typename Fn>
void store_into(std::atomic<Fn> &slot, void *address) {
  slot.store(reinterpret_cast<Fn>(address));
}

// What binding one library needs: file, required entry, optional entries, log texts.
struct LibraryBinding {
  const char *file;
  qp_library *module;
  EntryBinding required;
  EntryBinding optional[3];
  int optional_count;
  const char *already_loaded;
  const char *loading;
  const char *load_failed;
  const char *required_missing;
  const char *optional_missing[3];
  const char *loaded;
  const char *unloading;
  const char *unloaded;
};

LibraryBinding g_snmp_library = {
    "SNMPUPS.DLL",
    nullptr,
    {"GetUpsStatusFromSnmp", [](void *a) { store_into(g_GetUpsStatusFromSnmp, a); }},
    {{"SetUpsOffbySnmp", [](void *a) { store_into(g_SetUpsOffbySnmp, a); }},
     {"SetUpsPowerFailOffbySnmp", [](void *a) { store_into(g_SetUpsPowerFailOffbySnmp, a); }},
     {nullptr, nullptr}},
    2,
    "SNMPUPS.DLL already loaded",
    "Loading SNMPUPS.DLL...",
    "Failed to load SNMPUPS.DLL (error: %lu)",
    "Failed to get GetUpsStatusFromSnmp address",
    {"Warning: SetUpsOffbySnmp not found", "Warning: SetUpsPowerFailOffbySnmp not found", nullptr},
    "SNMPUPS.DLL loaded successfully",
    "Unloading SNMPUPS.DLL...",
    "SNMPUPS.DLL unloaded",
};

LibraryBinding g_cluster_library = {
    "ky_vexapi4.dll",
    nullptr,
    {"VexInitializeApi", [](void *a) { store_into(g_VexInitializeApi, a); }},
    {{"VexTerminateApi", [](void *a) { store_into(g_VexTerminateApi, a); }},
     {"VexClusterShutdown", [](void *a) { store_into(g_VexClusterShutdown, a); }},
     {"VexServerShutdown", [](void *a) { store_into(g_VexServerShutdown, a); }}},
    3,
    "ky_vexapi4.dll already loaded",
    "Loading ky_vexapi4.dll...",
    "Failed to load ky_vexapi4.dll (error: %lu)",
    "Failed to get VexInitializeApi address",
    {"Warning: VexTerminateApi not found", "Warning: VexClusterShutdown not found",
     "Warning: VexServerShutdown not found"},
    "ky_vexapi4.dll loaded successfully",
    "Unloading ky_vexapi4.dll...",
    "ky_vexapi4.dll unloaded",
};

constexpr const char kMsgDllPath[] = "DLL path: %s";

int bind(LibraryBinding &lib) {
  if (lib.module != nullptr) {
    ServiceLog(lib.already_loaded);
    return 1;
  }
  ServiceLog(lib.loading);
  char path[260];
  snprintf(path, sizeof path, "%s\\%s", InstallDir, lib.file);
  ServiceLogf(0, kMsgDllPath, path);
  qp_library *module = qp_library_load(path);
  if (module == nullptr) {
    ServiceLogf(0, lib.load_failed, static_cast<unsigned long>(GetLastError()));
    return 0;
  }
  void *required = qp_library_symbol(module, lib.required.name);
  if (required == nullptr) {
    ServiceLog(lib.required_missing, GetLastError());
    qp_library_free(module);
    return 0;
  }
  lib.module = module;
  lib.required.store(required);
  for (int i = 0; i < lib.optional_count; ++i) {
    void *address = qp_library_symbol(module, lib.optional[i].name);
    lib.optional[i].store(address);
    if (address == nullptr) ServiceLog(lib.optional_missing[i]);
  }
  ServiceLog(lib.loaded);
  return 1;
}

void unbind(LibraryBinding &lib) {
  if (lib.module == nullptr) return;
  ServiceLog(lib.unloading);
  lib.required.store(nullptr);
  for (int i = 0; i < lib.optional_count; ++i) lib.optional[i].store(nullptr);
  qp_library_free(lib.module);
  lib.module = nullptr;
  ServiceLog(lib.unloaded);
}

}  // namespace

int bindSnmpUpsLibrary() {
  return bind(g_snmp_library);
}

int bindClusterLibrary() {
  return bind(g_cluster_library);
}

void unbindLibraries() {
  unbind(g_cluster_library);
  unbind(g_snmp_library);
}
