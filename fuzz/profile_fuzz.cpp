// Fuzzes the profile (INI) reader and writer of the platform layer, and the service's reader of
// "ky_e_net.ini" on top of it: every input is the content of that file.
//
// Properties: the configuration load keeps what it read consistent with its counts; every read
// is cut to its buffer and terminated, a shorter buffer giving a prefix of a longer one; a
// written key reads back as written, without changing any other value, and a deleted key reads
// as missing.
#include <string.h>

#include <string>

#include "cluster_config.h"
#include "fuzz_support.h"
#include "quorin/platform.h"

namespace {

std::string g_path;
// Values are read without their leading blanks, so no value of the file can read as this.
const char kMissing[] = " <missing>";

std::string Get(const char *section, const char *key, uint32_t size = 512) {
  std::string out(size, '\x7f');
  uint32_t n = qp_profile_get_string(section, key, kMissing, out.data(), size, g_path.c_str());
  QF_CHECK(n < size, "[%s] %s: %u characters returned into %u bytes", section, key, n, size);
  QF_CHECK(out[n] == '\0', "[%s] %s: the value is not terminated", section, key);
  out.resize(n);
  return out;
}

void CheckConfiguration(int loaded) {
  const ClusterUpsConfig &config = CurrentConfig();
  QF_CHECK(config.servers.size() <= static_cast<size_t>(config.server_count > 0 ? config.server_count : 0),
           "more servers loaded than counted");
  QF_CHECK(
      config.storage_units.size() <= static_cast<size_t>(config.storage_count > 0 ? config.storage_count : 0),
      "more storage units loaded than counted");
  if (loaded == 1) {
    QF_CHECK(config.servers.size() == static_cast<size_t>(config.server_count), "a server is missing");
    QF_CHECK(config.storage_units.size() == static_cast<size_t>(config.storage_count),
             "a storage unit is missing");
  }
  for (const ServerEntry &server : config.servers) {
    QF_CHECK(server.ups_count > 0 && server.ups_addresses.size() == static_cast<size_t>(server.ups_count),
             "a server holds %zu addresses for UPS_NUM %d", server.ups_addresses.size(), server.ups_count);
    for (const std::string &address : server.ups_addresses)
      QF_CHECK(!address.empty() && address.size() < 256, "a server address of %zu characters",
               address.size());
  }
  for (const StorageEntry &storage : config.storage_units) {
    QF_CHECK(storage.ups_count > 0 && storage.ups_addresses.size() == static_cast<size_t>(storage.ups_count),
             "a storage unit holds %zu addresses for UPS_NUM %d", storage.ups_addresses.size(),
             storage.ups_count);
    for (const std::string &address : storage.ups_addresses)
      QF_CHECK(!address.empty() && address.size() < 256, "a storage address of %zu characters",
               address.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_path = qf::scratch_path("install/DATA") + "/" + kClusterConfigName;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qf::write_file(g_path, data, size);
  CheckConfiguration(LoadClusterConfig(g_path.c_str()));

  // Cut reads: each shorter buffer gives a prefix of the whole value.
  std::string community = Get("common", "Community");
  for (uint32_t room : {1u, 2u, 7u, 64u}) {
    std::string cut = Get("common", "Community", room);
    QF_CHECK(community.compare(0, cut.size(), cut) == 0 &&
                 cut.size() == std::min<size_t>(community.size(), room - 1),
             "a read into %u bytes is not the value's prefix", room);
  }
  int32_t servers = qp_profile_get_int("common", "TSR_SVR_NUM", -7, g_path.c_str());
  if (Get("common", "TSR_SVR_NUM") == kMissing)
    QF_CHECK(servers == -7, "a missing number is not its default");

  // A write changes only the key it names.
  std::string before = Get("Server1", "UPS_IP1");
  bool probe_absent = Get("FuzzProbe", "Written") == kMissing;
  QF_CHECK(qp_profile_write_string("FuzzProbe", "Written", "v1", g_path.c_str()) == 1,
           "the write failed (%u)", GetLastError());
  QF_CHECK(Get("FuzzProbe", "Written") == "v1", "a written key does not read back");
  QF_CHECK(Get("Server1", "UPS_IP1") == before, "a write changed another section's value");
  QF_CHECK(Get("common", "Community") == community, "a write changed another section's value");
  QF_CHECK(qp_profile_write_string("FuzzProbe", "Written", "second", g_path.c_str()) == 1,
           "the rewrite failed");
  QF_CHECK(Get("FuzzProbe", "Written") == "second", "a rewritten key does not read back");
  QF_CHECK(qp_profile_write_string("FuzzProbe", "Written", nullptr, g_path.c_str()) == 1,
           "the delete failed");
  if (probe_absent) QF_CHECK(Get("FuzzProbe", "Written") == kMissing, "a deleted key still reads");
  QF_CHECK(Get("Server1", "UPS_IP1") == before, "a delete changed another section's value");
  return 0;
}
