// Load and unload steps of the cluster-control library: install path, settings file, log mutex.
//
// The load step runs from the library's constructor when a host loads it (the process attach
// of the Windows library) and reports its outcome to the platform loader; the unload step runs
// from its destructor.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "vex_log.h"
#include "vex_runner.h"
#include "vex_state.h"
#include "vex_text.h"

namespace vex {

namespace {

constexpr int kRegistryAttempts = 11;
constexpr uint32_t kRegistryPauseMs = 100;
// How long the unload step waits for calls still running inside the library (real time:
// a host's stop must not hang on a library that is going away).
constexpr int kUnloadWaitMs = 5000;
constexpr int kUnloadPollMs = 5;

// Reads "PathName" into the install path; it stays empty when the key or value cannot be read.
void readInstallPath() {
  g_state.install_path[0] = '\0';
  qp_regkey *key = nullptr;
  for (int attempt = 1; attempt <= kRegistryAttempts; ++attempt) {
    if (qp_reg_open_key(kRegistryKey, &key) == ERROR_SUCCESS) break;
    key = nullptr;
    if (attempt < kRegistryAttempts) qp_sleep_ms(kRegistryPauseMs);
  }
  if (key == nullptr) return;
  for (int attempt = 1; attempt <= kRegistryAttempts; ++attempt) {
    uint32_t size = sizeof g_state.install_path;
    uint32_t type = 0;
    if (qp_reg_query_value(key, kRegistryPathName, &type, g_state.install_path, &size) == ERROR_SUCCESS) {
      g_state.install_path[size < sizeof g_state.install_path ? size : sizeof g_state.install_path - 1] =
          '\0';
      break;
    }
    g_state.install_path[0] = '\0';
    if (attempt < kRegistryAttempts) qp_sleep_ms(kRegistryPauseMs);
  }
  qp_reg_close_key(key);
}

// The log mode from "LocalLog"/"Mode": a missing key is written back as 2; a value outside
// 0 to 2 counts as 2.
int32_t readLogMode() {
  qp_file *settings = qp_file_open(g_state.settings_path, QP_ACCESS_READ | QP_ACCESS_WRITE,
                                   QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_ALWAYS);
  qp_file_close(settings);
  char value[64];
  qp_profile_get_string(kSettingsSection, kSettingsModeKey, kProfileDefault, value, sizeof value,
                        g_state.settings_path);
  if (strcmp(value, kProfileDefault) == 0) {
    char text[16];
    snprintf(text, sizeof text, "%d", kMaxLogMode);
    qp_profile_write_string(kSettingsSection, kSettingsModeKey, text, g_state.settings_path);
    return kMaxLogMode;
  }
  long mode = strtol(value, nullptr, 10);
  return (mode < 0 || mode > kMaxLogMode) ? kMaxLogMode : static_cast<int32_t>(mode);
}

__attribute__((constructor)) void libraryLoad() {
  readInstallPath();
  snprintf(g_state.log_path, sizeof g_state.log_path, kDataFileFormat, g_state.install_path, kLogFileName);
  snprintf(g_state.settings_path, sizeof g_state.settings_path, kDataFileFormat, g_state.install_path,
           kSettingsFileName);
  g_state.log_mode = readLogMode();
  g_state.unloading = qp_event_create(1, 0);
  g_state.log_mutex.store(createUnnamedMutex());
  libraryLog(kLogLoad, static_cast<uint32_t>(g_state.log_mode));
  // A settings file that is not a regular file, or is oversized, was not read (the mode is
  // then the default): the log says why.
  uint32_t refused = qp_file_check_regular(g_state.settings_path, QP_PROFILE_MAX_SIZE);
  if (refused == ERROR_BAD_FILE_TYPE) libraryLog(kLogSettingsNotRegular, refused);
  if (refused == ERROR_FILE_TOO_LARGE) libraryLogf(refused, kLogSettingsTooLarge, QP_PROFILE_MAX_SIZE);
  qp_library_report_attach(1);
}

__attribute__((destructor)) void libraryUnload() {
  if (g_state.unloading != nullptr) qp_event_set(g_state.unloading);
  for (int waited = 0; g_state.active_calls.load() > 0 && waited < kUnloadWaitMs; waited += kUnloadPollMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(kUnloadPollMs));
  bool idle = g_state.active_calls.load() == 0;
  libraryLog(kLogUnload, 0);
  if (!idle) return;  // a thread still runs here: leave what it may use
  // The last caller has left its CallScope but may still be returning through this library.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  qp_mutex_close(g_state.log_mutex.exchange(nullptr));
  closeAllHandles();
  qp_event_close(g_state.unloading);
  g_state.unloading = nullptr;
}

}  // namespace

}  // namespace vex
