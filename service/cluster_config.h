// The cluster UPS configuration: which UPS units power which servers and storage units.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ServerEntry {
  int32_t ups_count = 0;
  int32_t used = 0;
  std::vector<std::string> ups_addresses;
};

struct StorageEntry {
  int32_t ups_count = 0;
  std::vector<std::string> ups_addresses;
};

struct ClusterUpsConfig {
  std::string community;
  int32_t interval = 0;
  int32_t server_count = 0;
  int32_t storage_count = 0;
  std::vector<ServerEntry> servers;
  std::vector<StorageEntry> storage_units;
};

// Reads the configuration file at PATH. Result 1 when the whole file was read, 0 otherwise;
// the sections read before a failure are kept. The configuration becomes visible to the
// command threads (CurrentConfig) when the load ends, whole.
int LoadClusterConfig(const char *path);

// The log line that ended the last failed load ("Config file not found", "Invalid
// TSR_SVR_NUM in [common]", ...), "" after a load that succeeded.
const char *ClusterConfigProblem();

// The configuration in force: empty until the delayed initialisation has loaded it.
const ClusterUpsConfig &CurrentConfig();

// Empties the configuration (community, servers, storage units). Only for the stop sequence,
// once no command thread runs any more.
void ClearClusterConfig();

inline constexpr const char kClusterConfigName[] = "ky_e_net.ini";
