// Reading "ky_e_net.ini" into the cluster UPS configuration, with its validation messages.
#include "cluster_config.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "quorin/platform.h"
#include "service_log.h"

namespace {

constexpr const char kDefaultCommunity[] = "kelpie";

// Log texts of the configuration load.
constexpr const char kMsgLoading[] = "Loading config from: %s";
constexpr const char kMsgNotFound[] = "Config file not found";
constexpr const char kMsgNotRegular[] = "Config file refused: not a regular file";
constexpr const char kMsgTooLarge[] = "Config file refused: larger than %u bytes";
constexpr const char kMsgCommunityDefault[] = "[common] Community = kelpie (default)";
constexpr const char kMsgCommunity[] = "[common] Community = %s";
constexpr const char kMsgInterval[] = "[common] interval = %d";
constexpr const char kMsgBadServerNum[] = "Invalid TSR_SVR_NUM in [common]";
constexpr const char kMsgServerNum[] = "[common] TSR_SVR_NUM = %d";
constexpr const char kMsgBadStorageNum[] = "Invalid Storage_NUM in [common]";
constexpr const char kMsgStorageNum[] = "[common] Storage_NUM = %d";
constexpr const char kMsgBadUpsNum[] = "Invalid UPS_NUM in [%s]";
constexpr const char kMsgServerUpsNum[] = "[%s] UPS_NUM = %d, Used = %d";
constexpr const char kMsgStorageUpsNum[] = "[%s] UPS_NUM = %d";
constexpr const char kMsgMissingAddress[] = "Missing %s in [%s]";
constexpr const char kMsgAddress[] = "[%s] %s = %s";
constexpr const char kMsgServerFailed[] = "Failed to load [Server%d]";
constexpr const char kMsgStorageFailed[] = "Failed to load [Storage%d]";
constexpr const char kMsgLoaded[] = "Config loaded successfully";

// The published configuration; command threads read it without a lock, so it is replaced
// whole and never changed once published.
const ClusterUpsConfig kEmptyConfig;
std::atomic<const ClusterUpsConfig *> g_config{&kEmptyConfig};

// What stopped the last load, for the service's status text: written by the delayed
// initialisation thread while it loads, read by it afterwards.
char g_problem[256] = "";

// Logs a line that ends the load and keeps it as the reason the load failed.
void LogProblem(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));
void LogProblem(uint32_t code, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  ServiceLog(text, code);
  snprintf(g_problem, sizeof g_problem, "%s", text);
}

void publish(const ClusterUpsConfig *config) {
  const ClusterUpsConfig *old = g_config.exchange(config);
  if (old != &kEmptyConfig) delete old;
}

// Reads the UPS_NUM and UPS_IP%d keys of one section into COUNT and ADDRESSES.
// Returns 1 when the section is complete.
int read_ups_list(const char *section, const char *path, int32_t *count, int32_t *used,
                  std::vector<std::string> &addresses) {
  *count = qp_profile_get_int(section, "UPS_NUM", 0, path);
  if (*count <= 0) {
    LogProblem(0, kMsgBadUpsNum, section);
    return 0;
  }
  if (used != nullptr) {
    *used = qp_profile_get_int(section, "Used", 0, path);
    ServiceLogf(0, kMsgServerUpsNum, section, *count, *used);
  } else {
    ServiceLogf(0, kMsgStorageUpsNum, section, *count);
  }
  for (int32_t k = 1; k <= *count; ++k) {
    char key[64];
    snprintf(key, sizeof key, "UPS_IP%d", k);
    char value[256];
    uint32_t n = qp_profile_get_string(section, key, "", value, sizeof value, path);
    if (n == 0 || value[0] == '\0') {
      LogProblem(0, kMsgMissingAddress, key, section);
      return 0;
    }
    addresses.push_back(value);
    ServiceLogf(0, kMsgAddress, section, key, value);
  }
  return 1;
}

int load(const char *path, ClusterUpsConfig &config) {
  ServiceLogf(0, kMsgLoading, path);
  // Only a regular file of a profile's size is read: a device or a FIFO in its place would
  // hang or never end the reads, an oversized file would take memory without bound.
  uint32_t error = qp_file_check_regular(path, QP_PROFILE_MAX_SIZE);
  if (error == ERROR_BAD_FILE_TYPE) {
    ServiceLog(kMsgNotRegular, error);
    return 0;
  }
  if (error == ERROR_FILE_TOO_LARGE) {
    ServiceLogf(error, kMsgTooLarge, static_cast<unsigned>(QP_PROFILE_MAX_SIZE));
    return 0;
  }
  if (error != ERROR_SUCCESS) {
    LogProblem(error, "%s", kMsgNotFound);
    return 0;
  }
  char community[256];
  uint32_t n =
      qp_profile_get_string("common", "Community", kDefaultCommunity, community, sizeof community, path);
  if (n == 0 || strcmp(community, kDefaultCommunity) == 0) {
    config.community = kDefaultCommunity;
    ServiceLog(kMsgCommunityDefault);
  } else {
    config.community = community;
    ServiceLogf(0, kMsgCommunity, community);
  }
  config.interval = qp_profile_get_int("common", "interval", 8, path);
  ServiceLogf(0, kMsgInterval, config.interval);
  config.server_count = qp_profile_get_int("common", "TSR_SVR_NUM", 0, path);
  if (config.server_count <= 0) {
    LogProblem(0, "%s", kMsgBadServerNum);
    return 0;
  }
  ServiceLogf(0, kMsgServerNum, config.server_count);
  config.storage_count = qp_profile_get_int("common", "Storage_NUM", 0, path);
  if (config.storage_count < 0) {
    LogProblem(0, "%s", kMsgBadStorageNum);
    return 0;
  }
  ServiceLogf(0, kMsgStorageNum, config.storage_count);

  for (int32_t i = 1; i <= config.server_count; ++i) {
    char section[64];
    snprintf(section, sizeof section, "Server%d", i);
    ServerEntry server;
    if (!read_ups_list(section, path, &server.ups_count, &server.used, server.ups_addresses)) {
      ServiceLogf(0, kMsgServerFailed, i);
      return 0;
    }
    config.servers.push_back(std::move(server));
  }
  for (int32_t i = 1; i <= config.storage_count; ++i) {
    char section[64];
    snprintf(section, sizeof section, "Storage%d", i);
    StorageEntry storage;
    if (!read_ups_list(section, path, &storage.ups_count, nullptr, storage.ups_addresses)) {
      ServiceLogf(0, kMsgStorageFailed, i);
      return 0;
    }
    config.storage_units.push_back(std::move(storage));
  }
  ServiceLog(kMsgLoaded);
  return 1;
}

}  // namespace

int LoadClusterConfig(const char *path) {
  g_problem[0] = '\0';
  ClusterUpsConfig *config = new ClusterUpsConfig;
  int result = load(path, *config);
  publish(config);
  return result;
}

const char *ClusterConfigProblem() {
  return g_problem;
}

const ClusterUpsConfig &CurrentConfig() {
  return *g_config.load();
}

void ClearClusterConfig() {
  publish(&kEmptyConfig);
}
