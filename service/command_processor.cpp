// The five commands of the pipe: C02 (fixed status), K02 (storage UPS power and
// "SHARE_DK.APC"), PCS (power check and cluster or server shutdown), AD1 and CSD (shutdown
// request from the cluster side: UPS units off, or a restart of this server).
#include "command_processor.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cluster_config.h"
#include "library_binding.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_state.h"

namespace {

constexpr int kKindServer = 1;
constexpr int kKindStorage = 2;
constexpr int32_t kOnLine = 2;
constexpr size_t kLogLine = 128;
constexpr const char kShareDiskFile[] = "SHARE_DK.APC";
// Arguments of the library calls.
constexpr int32_t kTurnOffValue = 3;
constexpr int32_t kTurnOffOutletMode = 2;
constexpr uint32_t kClusterInitiator = 5;
constexpr uint32_t kShutdownOption = 3;
// Shutdown mode bits of AD1 and CSD.
constexpr unsigned kModeCluster = 0x1;
constexpr unsigned kModeServer = 0x2;
constexpr unsigned kModeReboot = 0x4;
constexpr unsigned kModeEmergency = 0x8;

// Log texts.
constexpr const char kMsgCommandReceived[] = "Command received";
constexpr const char kMsgCmd[] = "CMD: %s";
constexpr const char kMsgUnknown[] = "Unknown command: %s";
constexpr const char kMsgUpsStatus[] = "UPS %s: outsts=%d";
constexpr const char kMsgUpsStatusFailed[] = "Failed to get UPS status: %s";
constexpr const char kMsgGetAllStart[] = "GetAllUpsStatus: START";
constexpr const char kMsgGetAllEnd[] = "GetAllUpsStatus: END (Total=%d)";
constexpr const char kMsgC02[] = "C02 response: %c";
constexpr const char kMsgK02[] = "K02 command: Checking storage UPS status";
constexpr const char kMsgK02NoStorage[] = "K02: No storage UPS configured";
constexpr const char kMsgK02CreateFailed[] = "K02: Failed to create SHARE_DK.APC";
constexpr const char kMsgK02WriteFailed[] = "K02: Failed to write SHARE_DK.APC";
constexpr const char kMsgK02Busy[] = "K02: Timed out waiting for SHARE_DK.APC";
constexpr const char kMsgK02Response[] = "K02 response: [%c][%c][%c][%c][%c]";
constexpr const char kMsgPcs[] = "PCS command: Checking UPS power status";
constexpr const char kMsgPcsRecords[] = "PCS: Retrieved %d UPS status records";
constexpr const char kMsgPcsRecord[] = "PCS: %s%d-UPS%d IP:%s outsts=%d";
constexpr const char kMsgPcsSummary[] = "PCS: ServerTotal:%d, AllFail:%s, AnyStorageFail:%s";
constexpr const char kMsgPcsUnread[] = "PCS: UPS status check failed";
constexpr const char kMsgPcsClusterFailed[] = "PCS: QuoVexClusterShutdown failed";
constexpr const char kMsgPcsServerFailed[] = "PCS: QuoVexServerShutdown failed";
constexpr const char kMsgPcsClusterMissing[] = "PCS: QuoVexClusterShutdown not available";
constexpr const char kMsgPcsServerMissing[] = "PCS: QuoVexServerShutdown not available";
constexpr const char kMsgPcsResponse[] = "PCS response: [%c][%c][%c][%c]";
constexpr const char kMsgMode[] = "AD1/CSD: iClusterDownMode = 0x%X";
constexpr const char kMsgStartRequest[] = "----> CSD/AD1: VexShutDown StartRequest Receive...";
constexpr const char kMsgPcsPending[] = "AD1/CSD: PCS shutdown request detected - returning success";
constexpr const char kMsgReboot[] = "Reboot mode - Initiating server reboot...";
constexpr const char kMsgOpenTokenFailed[] = "OpenProcessToken failed (error: %lu)";
constexpr const char kMsgLookupFailed[] = "LookupPrivilegeValue failed (error: %lu)";
constexpr const char kMsgAdjustFailed[] = "AdjustTokenPrivileges failed (error: %lu)";
constexpr const char kMsgNotAllAssigned[] = "SE_SHUTDOWN_NAME privilege not all assigned";
constexpr const char kMsgPrivilegeFailed[] = "Failed to enable shutdown privilege";
constexpr const char kMsgPrivilegeEnabled[] = "Shutdown privilege enabled successfully";
constexpr const char kMsgRebootStarted[] = "Server reboot initiated successfully";
constexpr const char kMsgRebootFailed[] = "Failed to initiate server reboot (error: %lu)";
constexpr const char kMsgClusterRequest[] = "----> CSD/AD1: VexClusterShutDown Request Receive";
constexpr const char kMsgRetrieved[] = "Retrieved %d UPS status records";
constexpr const char kMsgClusterAll[] = "Cluster shutdown - calling SetUpsOffbySnmp for all UPS";
constexpr const char kMsgCallingOff[] = "Calling SetUpsOffbySnmp for %s%d-UPS%d (%s)";
constexpr const char kMsgOffResult[] = "SetUpsOffbySnmp for %s result: %d";
constexpr const char kMsgAllOff[] = "All UPS shutdown commands completed";
constexpr const char kMsgSomeOffFailed[] = "Some UPS shutdown commands failed";
constexpr const char kMsgServerRequest[] = "----> AD1: Vex%sShutDown Request Receive";
constexpr const char kMsgServerSelf[] = "Server shutdown - calling SetUpsOffbySnmp for self-connected UPS";
constexpr const char kMsgCallingServerOff[] = "Calling SetUpsOffbySnmp for Server%d-UPS%d (%s)";
constexpr const char kMsgServerProcessed[] = "%s shutdown - Processed %d UPS";

// One configured UPS and what was read of it for one command.
struct UpsStatusRecord {
  char address[64];
  int32_t kind;
  int32_t unit_number;
  int32_t ups_number;
  int32_t output_status;
  int32_t read_state;  // -1 not read, 0 read
};

// Rebuilt by GetAllUpsStatus under StatusLock (PCS, AD1 and CSD).
std::vector<UpsStatusRecord> g_status_list;
// Set when PCS has started a cluster or server shutdown; cleared by the next AD1 or CSD
// with a nonzero mode.
std::atomic<int32_t> PcsShutdownPending{0};

void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogLine(const char *format, ...) {
  char line[kLogLine];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  ServiceLog(line);
}

// The three bytes of a command code as log text: printable ASCII as it is, a backslash
// doubled, any other byte as "\xHH", so a code with CR, LF or NUL in it shows all its bytes
// on its one line.
constexpr size_t kShownCodeSize = 3 * 4 + 1;
void ShowCode(const char *bytes, char shown[kShownCodeSize]) {
  size_t used = 0;
  for (int i = 0; i < 3; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      used += static_cast<size_t>(snprintf(shown + used, kShownCodeSize - used, "\\\\"));
    } else if (c >= 0x20 && c < 0x7f) {
      used += static_cast<size_t>(snprintf(shown + used, kShownCodeSize - used, "%c", c));
    } else {
      used += static_cast<size_t>(snprintf(shown + used, kShownCodeSize - used, "\\x%02X", c));
    }
  }
}

const char *KindWord(int32_t kind) {
  return kind == kKindServer ? "Server" : "Storage";
}

// A record for one configured UPS, not read yet.
UpsStatusRecord UnreadRecord(const std::string &address, int32_t kind, int32_t unit, int32_t ups) {
  UpsStatusRecord record;
  memset(&record, 0, sizeof record);
  snprintf(record.address, sizeof record.address, "%s", address.c_str());
  record.kind = kind;
  record.unit_number = unit;
  record.ups_number = ups;
  record.read_state = -1;
  return record;
}

// ---- Status reads ----
// The UPS reads of one command run at once on helper threads made for the pass, so that the
// silent cards of a cluster cost about one time-out window together rather than one each.
// What the service shows stays as it was with one read after another: each record's log line
// is written once every read is done, in list order, and the callers use the records in that
// order. (The SNMP library's own log may interleave the lines of reads that run at once, each
// record whole.)
//
// A pass starts with at most 32 helpers, which read a cluster of answering cards in about a
// millisecond. A silent card holds its reader for its whole window (200 ms and two retries),
// so while records are still waiting for a reader after kStatusGrowAfterMs the pass makes a
// helper for each of them: a full unit table of silent cards (the network in front of them
// down) then costs one window, not ceil(130 / 32).
//
// How many helpers read at once is bounded for the whole service, not per command: they come
// from one budget of StatusReadLimit() - 1 that all commands share, so that many clients at
// once cannot multiply the threads. A command that finds the budget spent reads on its own
// thread, and so does one whose helpers are all taken by waits while records remain.

constexpr const char kStatusReadsVariable[] = "QUORIN_STATUS_READS";
constexpr size_t kStatusReadsDefault = 130;
constexpr size_t kStatusReadsMax = 256;
constexpr size_t kStatusFirstHelpers = 32;
constexpr int kStatusGrowAfterMs = 20;

// How many reads run at once: QUORIN_STATUS_READS (1 to 256) or 130.
size_t StatusReadLimit() {
  const char *text = getenv(kStatusReadsVariable);
  if (text == nullptr || *text < '0' || *text > '9') return kStatusReadsDefault;
  char *end = nullptr;
  unsigned long value = strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > kStatusReadsMax) return kStatusReadsDefault;
  return static_cast<size_t>(value);
}

// Helper threads reading now, across all commands.
std::atomic<size_t> g_status_helpers{0};

// Takes one helper from the shared budget; false when it is spent.
bool TakeStatusHelper(size_t budget) {
  size_t running = g_status_helpers.load();
  while (running < budget)
    if (g_status_helpers.compare_exchange_weak(running, running + 1)) return true;
  return false;
}

// The reads of one pass: the next record to take, and the news that every record is taken.
struct StatusPass {
  StatusPass(std::vector<UpsStatusRecord> &list, GetUpsStatusFromSnmpFn reader)
      : records(list), results(list.size(), 0), get_status(reader) {}

  std::vector<UpsStatusRecord> &records;
  std::vector<int> results;
  GetUpsStatusFromSnmpFn get_status;
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::condition_variable all_taken;

  // Reads records until none is left to take.
  void ReadSome() {
    for (size_t i = next.fetch_add(1); i < records.size(); i = next.fetch_add(1))
      results[i] = get_status(records[i].address, &records[i].output_status);
    std::lock_guard<std::mutex> guard(lock);
    all_taken.notify_all();
  }
  size_t Waiting() const {
    size_t taken = next.load();
    return taken < records.size() ? records.size() - taken : 0;
  }
};

// Reads the output status of every record through GetUpsStatusFromSnmp, then logs
// "UPS %s: outsts=%d" or "Failed to get UPS status: %s" for each in order. Nothing is read
// or logged while the entry is not bound. A helper thread that cannot be made, or is not in
// the budget, leaves its share to the others.
void ReadStatuses(std::vector<UpsStatusRecord> &records) {
  GetUpsStatusFromSnmpFn get_status = g_GetUpsStatusFromSnmp.load();
  if (get_status == nullptr || records.empty()) return;
  StatusPass pass(records, get_status);
  size_t budget = StatusReadLimit() - 1;
  std::vector<std::thread> helpers;
  auto add_helpers = [&pass, &helpers, budget](size_t count) {
    size_t added = 0;
    for (; added < count && TakeStatusHelper(budget); ++added) {
      try {
        helpers.emplace_back([&pass] {
          pass.ReadSome();
          g_status_helpers.fetch_sub(1);
        });
      } catch (const std::system_error &) {
        g_status_helpers.fetch_sub(1);
        break;
      }
    }
    return added;
  };
  if (records.size() > 1 && add_helpers(std::min(kStatusFirstHelpers, records.size())) > 0) {
    // Records still waiting for a reader after a while wait behind silent cards: a helper each.
    std::unique_lock<std::mutex> guard(pass.lock);
    while (pass.Waiting() > 0) {
      if (pass.all_taken.wait_for(guard, std::chrono::milliseconds(kStatusGrowAfterMs),
                                  [&pass] { return pass.Waiting() == 0; }))
        break;
      guard.unlock();
      size_t added = add_helpers(pass.Waiting());
      guard.lock();
      if (added == 0) break;
    }
  }
  pass.ReadSome();  // what no helper took
  for (std::thread &helper : helpers) helper.join();
  // Reads at once leave their receive buffers' pages spread through the heap; give them
  // back, so that the service stays at its resting size between requests.
  if (!helpers.empty()) qp_heap_trim();
  const std::vector<int> &results = pass.results;
  for (size_t i = 0; i < records.size(); ++i) {
    UpsStatusRecord &record = records[i];
    if (results[i] == 1) {
      record.read_state = 0;
      LogLine(kMsgUpsStatus, record.address, record.output_status);
    } else {
      LogLine(kMsgUpsStatusFailed, record.address);
    }
  }
}

void GetAllUpsStatus() {
  ServiceLog(kMsgGetAllStart);
  g_status_list.clear();
  const ClusterUpsConfig &config = CurrentConfig();
  for (size_t s = 0; s < config.servers.size(); ++s) {
    const std::vector<std::string> &addresses = config.servers[s].ups_addresses;
    for (size_t u = 0; u < addresses.size(); ++u)
      g_status_list.push_back(
          UnreadRecord(addresses[u], kKindServer, static_cast<int32_t>(s + 1), static_cast<int32_t>(u + 1)));
  }
  for (size_t s = 0; s < config.storage_units.size(); ++s) {
    const std::vector<std::string> &addresses = config.storage_units[s].ups_addresses;
    for (size_t u = 0; u < addresses.size(); ++u)
      g_status_list.push_back(
          UnreadRecord(addresses[u], kKindStorage, static_cast<int32_t>(s + 1), static_cast<int32_t>(u + 1)));
  }
  ReadStatuses(g_status_list);
  LogLine(kMsgGetAllEnd, static_cast<int>(g_status_list.size()));
}

void C02(char *buffer, uint32_t *reply_size) {
  memcpy(buffer + 4, "0001", 4);
  buffer[8] = '4';
  *reply_size = 9;
  LogLine(kMsgC02, buffer[8]);
}

// "SHARE_DK.APC" is written whole by one K02 at a time: its records go to a new file that
// replaces the old one once complete, so a reader (or a K02 killed half-way) never leaves or
// sees a partial file, and a client holding the old file open does not stop the next K02.
// A K02 waits its turn for the file at most kShareDiskWaitMs. The UPS reads are made before
// the turn is taken, each K02 with its own sequence number; a K02 whose reads are older than
// those already in the file leaves the file as it is (its reply still tells its own reads).
constexpr uint32_t kShareDiskWaitMs = 5000;
std::atomic<uint64_t> g_k02_sequence{0};
uint64_t g_share_disk_sequence = 0;  // of the reads in the file; guarded by the turn

// The turn for the file: a platform mutex, made at first use (a timed std::timed_mutex is
// locked through a call the thread sanitizer does not follow, which then reports its unlock).
class ShareDiskTurn {
 public:
  ShareDiskTurn() {
    static qp_mutex *const lock = qp_mutex_create();
    lock_ = lock;
    uint32_t wait = lock_ != nullptr ? qp_mutex_wait(lock_, kShareDiskWaitMs) : QP_WAIT_FAILED;
    held_ = wait == QP_WAIT_OBJECT_0 || wait == QP_WAIT_ABANDONED;
  }
  ~ShareDiskTurn() {
    if (held_) qp_mutex_release(lock_);
  }
  ShareDiskTurn(const ShareDiskTurn &) = delete;
  ShareDiskTurn &operator=(const ShareDiskTurn &) = delete;
  bool held() const { return held_; }

 private:
  qp_mutex *lock_ = nullptr;
  bool held_ = false;
};

// Writes RECORDS as the new content of "SHARE_DK.APC". Result true when the file holds
// these records (or newer ones); false, logged, when it could not be written.
bool WriteShareDisk(const std::vector<ShareDiskRecord> &records, uint64_t sequence) {
  ShareDiskTurn turn;
  if (!turn.held()) {
    ServiceLog(kMsgK02Busy);
    return false;
  }
  if (g_share_disk_sequence > sequence) return true;  // newer reads are in the file
  char path[260];
  snprintf(path, sizeof path, "%s\\DATA\\%s", InstallDir, kShareDiskFile);
  qp_file *file = qp_file_create_replacement(path);
  if (file == nullptr) {
    ServiceLog(kMsgK02CreateFailed, GetLastError());
    return false;
  }
  for (const ShareDiskRecord &record : records) {
    uint32_t written = 0;
    uint32_t error = qp_file_write(file, &record, sizeof record, &written);
    if (error != ERROR_SUCCESS || written != sizeof record) {
      ServiceLog(kMsgK02WriteFailed, error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
      qp_file_close(file);  // the new file is removed; the old one stays
      return false;
    }
  }
  uint32_t error = qp_file_commit_replacement(file);
  if (error != ERROR_SUCCESS) {
    ServiceLog(kMsgK02WriteFailed, error);
    return false;
  }
  g_share_disk_sequence = sequence;
  return true;
}

void K02(char *buffer, uint32_t *reply_size) {
  ServiceLog(kMsgK02);
  memcpy(buffer + 4, "0001", 4);
  buffer[8] = '4';
  *reply_size = 9;
  const ClusterUpsConfig &config = CurrentConfig();
  if (config.storage_units.empty()) {
    ServiceLog(kMsgK02NoStorage);
    memcpy(buffer + 4, "13", 2);
    return;
  }
  uint64_t sequence = ++g_k02_sequence;
  bool all_on_line = true, any_unread = false;
  std::vector<UpsStatusRecord> reads;
  for (size_t s = 0; s < config.storage_units.size(); ++s) {
    const std::vector<std::string> &addresses = config.storage_units[s].ups_addresses;
    for (size_t u = 0; u < addresses.size(); ++u)
      reads.push_back(
          UnreadRecord(addresses[u], kKindStorage, static_cast<int32_t>(s + 1), static_cast<int32_t>(u + 1)));
  }
  ReadStatuses(reads);
  std::vector<ShareDiskRecord> records;
  for (const UpsStatusRecord &record : reads) {
    ShareDiskRecord out;
    memset(&out, 0, sizeof out);
    snprintf(out.address, sizeof out.address, "%s", record.address);
    snprintf(out.name, sizeof out.name, "Storage%d-UPS%d", static_cast<int>(record.unit_number),
             static_cast<int>(record.ups_number));
    int32_t state;
    if (record.read_state != 0) {
      state = -1;
      any_unread = true;
    } else if (record.output_status == kOnLine) {
      state = 2;
    } else {
      state = 1;
      all_on_line = false;
    }
    uint32_t bits = static_cast<uint32_t>(state);
    for (int i = 0; i < 4; ++i) out.state[i] = static_cast<unsigned char>(bits >> (8 * i));
    records.push_back(out);
  }
  // A file that could not be written leaves the client without the records: "13".
  bool written = WriteShareDisk(records, sequence);
  memcpy(buffer + 4, (!any_unread && all_on_line && written) ? "00" : "13", 2);
  LogLine(kMsgK02Response, buffer[4], buffer[5], buffer[6], buffer[7], buffer[8]);
}

void PCS(char *buffer, uint32_t *reply_size) {
  ServiceLog(kMsgPcs);
  bool all_fail = true, any_server_down = false, any_storage_down = false, any_unread = false;
  int server_total = 0;
  {
    std::lock_guard<std::mutex> guard(StatusLock);
    GetAllUpsStatus();
    LogLine(kMsgPcsRecords, static_cast<int>(g_status_list.size()));
    for (const UpsStatusRecord &r : g_status_list) {
      if (r.read_state != 0) {
        any_unread = true;
        continue;
      }
      LogLine(kMsgPcsRecord, KindWord(r.kind), r.unit_number, r.ups_number, r.address, r.output_status);
      if (r.kind == kKindServer) {
        ++server_total;
        if (r.output_status == kOnLine)
          all_fail = false;
        else
          any_server_down = true;
      } else if (r.output_status != kOnLine) {
        any_storage_down = true;
      }
    }
    LogLine(kMsgPcsSummary, server_total, all_fail ? "Y" : "N", any_storage_down ? "Y" : "N");
  }

  // The decision table: the first row that applies.
  struct Decision {
    const char *before;
    bool cluster;  // VexClusterShutdown(5, 3), else VexServerShutdown(3)
    const char *started;
  };
  static const Decision kStorageFailure = {"PCS: Storage UPS failure - calling QuoVexClusterShutdown", true,
                                           "PCS: Cluster shutdown initiated (Storage failure)"};
  static const Decision kAllServersFailed = {"PCS: All server UPS failure - calling QuoVexClusterShutdown",
                                             true, "PCS: Cluster shutdown initiated (All server failure)"};
  static const Decision kPartialServerFailure = {
      "PCS: Partial server UPS failure - calling QuoVexServerShutdown", false,
      "PCS: Server shutdown initiated"};
  static const Decision kScheduled = {"PCS: No UPS failure (scheduled) - calling QuoVexClusterShutdown", true,
                                      "PCS: Cluster shutdown initiated (Scheduled)"};
  char result = '1';
  if (any_unread) {
    ServiceLog(kMsgPcsUnread);
  } else {
    const Decision &d = any_storage_down                 ? kStorageFailure
                        : (all_fail && server_total > 0) ? kAllServersFailed
                        : any_server_down                ? kPartialServerFailure
                                                         : kScheduled;
    ServiceLog(d.before);
    int called = 0;
    if (d.cluster) {
      VexClusterShutdownFn fn = g_VexClusterShutdown.load();
      if (fn == nullptr)
        ServiceLog(kMsgPcsClusterMissing);
      else
        called = fn(kClusterInitiator, kShutdownOption) == 1 ? 1 : -1;
      if (called < 0) ServiceLog(kMsgPcsClusterFailed);
    } else {
      VexServerShutdownFn fn = g_VexServerShutdown.load();
      if (fn == nullptr)
        ServiceLog(kMsgPcsServerMissing);
      else
        called = fn(kShutdownOption) == 1 ? 1 : -1;
      if (called < 0) ServiceLog(kMsgPcsServerFailed);
    }
    if (called == 1) {
      ServiceLog(d.started);
      PcsShutdownPending.store(1);
      result = '0';
    }
  }
  buffer[4] = result;
  buffer[5] = '0';
  memcpy(buffer + 6, "00", 2);
  *reply_size = 8;
  LogLine(kMsgPcsResponse, buffer[4], buffer[5], buffer[6], buffer[7]);
}

// Restart of this server: the shutdown privilege, then the restart. Result "00" or "10".
const char *Reboot() {
  ServiceLog(kMsgReboot);
  int step = 0;
  uint32_t error = qp_shutdown_privilege_enable(&step);
  if (error != ERROR_SUCCESS) {
    switch (step) {
      case QP_PRIV_STEP_OPEN_TOKEN:
        LogLine(kMsgOpenTokenFailed, static_cast<unsigned long>(error));
        break;
      case QP_PRIV_STEP_LOOKUP:
        LogLine(kMsgLookupFailed, static_cast<unsigned long>(error));
        break;
      case QP_PRIV_STEP_ADJUST:
        LogLine(kMsgAdjustFailed, static_cast<unsigned long>(error));
        break;
      default:
        ServiceLog(kMsgNotAllAssigned);
        break;
    }
    ServiceLog(kMsgPrivilegeFailed);
    return "10";
  }
  ServiceLog(kMsgPrivilegeEnabled);
  error = qp_machine_restart();
  if (error != ERROR_SUCCESS) {
    LogLine(kMsgRebootFailed, static_cast<unsigned long>(error));
    return "10";
  }
  ServiceLog(kMsgRebootStarted);
  return "00";
}

const char *ClusterShutdown() {
  ServiceLog(kMsgClusterRequest);
  GetAllUpsStatus();
  LogLine(kMsgRetrieved, static_cast<int>(g_status_list.size()));
  ServiceLog(kMsgClusterAll);
  bool failed = false;
  for (const UpsStatusRecord &r : g_status_list) {
    SetUpsOffbySnmpFn set_off = g_SetUpsOffbySnmp.load();
    if (r.read_state != 0 || set_off == nullptr) continue;
    LogLine(kMsgCallingOff, KindWord(r.kind), r.unit_number, r.ups_number, r.address);
    int result = set_off(r.address, kTurnOffValue, kTurnOffOutletMode);
    LogLine(kMsgOffResult, r.address, result);
    if (result == 0) failed = true;
  }
  ServiceLog(failed ? kMsgSomeOffFailed : kMsgAllOff);
  return failed ? "10" : "00";
}

const char *ServerShutdown(unsigned mode) {
  const char *word = (mode & kModeEmergency) ? "Emergency" : "Server";
  LogLine(kMsgServerRequest, word);
  GetAllUpsStatus();
  LogLine(kMsgRetrieved, static_cast<int>(g_status_list.size()));
  ServiceLog(kMsgServerSelf);
  const ClusterUpsConfig &config = CurrentConfig();
  int processed = 0;
  bool failed = false;
  for (const UpsStatusRecord &r : g_status_list) {
    SetUpsOffbySnmpFn set_off = g_SetUpsOffbySnmp.load();
    if (r.kind != kKindServer || r.read_state != 0 || set_off == nullptr) continue;
    if (r.unit_number < 1 || static_cast<size_t>(r.unit_number) > config.servers.size()) continue;
    if (config.servers[static_cast<size_t>(r.unit_number - 1)].used != 1) continue;
    LogLine(kMsgCallingServerOff, r.unit_number, r.ups_number, r.address);
    int result = set_off(r.address, kTurnOffValue, kTurnOffOutletMode);
    LogLine(kMsgOffResult, r.address, result);
    ++processed;
    if (result == 0) failed = true;
  }
  LogLine(kMsgServerProcessed, word, processed);
  return (processed > 0 && !failed) ? "00" : "10";
}

void AD1orCSD(char *buffer, uint32_t *reply_size) {
  std::lock_guard<std::mutex> guard(StatusLock);
  char digit[4];
  snprintf(digit, sizeof digit, "%c", buffer[8]);
  unsigned mode = 0;
  if (sscanf(digit, "%x", &mode) != 1) mode = 0;
  LogLine(kMsgMode, mode);
  const char *result;
  if (mode == 0) {
    ServiceLog(kMsgStartRequest);
    result = "00";
  } else if (PcsShutdownPending.load() != 0) {
    ServiceLog(kMsgPcsPending);
    PcsShutdownPending.store(0);
    result = "00";
  } else if (mode & kModeReboot) {
    result = Reboot();
  } else if (mode & kModeCluster) {
    result = ClusterShutdown();
  } else {
    result = ServerShutdown(mode);  // bit 2 or 8
  }
  memcpy(buffer + 4, result, 2);
  *reply_size = 8;
}

void UnknownCommand(char *buffer, uint32_t *reply_size, const char *code) {
  memcpy(buffer + 4, "1F00", 4);
  *reply_size = 8;
  LogLine(kMsgUnknown, code);
}

// Commands in the order they are matched.
struct CommandEntry {
  const char *code;
  void (*run)(char *buffer, uint32_t *reply_size);
};
constexpr CommandEntry kCommands[] = {
    {"AD1", AD1orCSD}, {"CSD", AD1orCSD}, {"C02", C02}, {"K02", K02}, {"PCS", PCS},
};

}  // namespace

int ProcessCommand(char *buffer, uint32_t length, uint32_t *reply_size) {
  if (length < 8) return 0;
  // The code as it is shown in the log: the client's three bytes, whatever they are.
  char shown[kShownCodeSize];
  ShowCode(buffer, shown);
  ServiceLog(kMsgCommandReceived);
  LogLine(kMsgCmd, shown);
  for (const CommandEntry &command : kCommands) {
    if (memcmp(buffer, command.code, 3) == 0) {
      command.run(buffer, reply_size);
      return 1;
    }
  }
  UnknownCommand(buffer, reply_size, shown);
  return 1;
}
