// The schedule file "DATA\SCHEDULE.APC" and its backup "DATA\QUOMVLAPI.BAK": names, the lock
// that orders changes, the backup kept while a change is pending, the atomic replacement, the
// recovery of a change whose process died, and telling the service.
//
// A change goes: lock -> backup written whole beside the schedule (the schedule stays in place)
// -> new schedule written whole under a name of its own, flushed, renamed over the schedule ->
// service told -> backup deleted; on any failure the backup is renamed back over the schedule.
// Every replacement is a rename of a flushed file followed by a flush of the folder, so a
// process killed at any instant, or a power loss, leaves the old or the new schedule whole, and
// the backup marks a change that was not confirmed: the next call puts it back and tells the
// service. The lock file "DATA\SCHEDULE.LCK" is held
// from before the recovery to after the backup is gone; the kernel releases it when its holder
// dies.
#include <stdio.h>
#include <string.h>

#include "schedule_internal.h"

namespace {

constexpr char kDataFolder[] = "\\DATA";
constexpr char kScheduleName[] = "\\SCHEDULE.APC";
constexpr char kBackupName[] = "\\QUOMVLAPI.BAK";
constexpr char kScheduleNewName[] = "\\SCHEDULE.NEW";
constexpr char kBackupNewName[] = "\\QUOMVLAPI.NEW";
constexpr char kLockName[] = "\\SCHEDULE.LCK";

// Request codes of a schedule change.
constexpr char kCodeSettingsBegin[] = "071";
constexpr char kCodeScheduleRewritten[] = "S10";
constexpr char kCodeSettingsEnd[] = "081";

bool FormatName(char *out, const char *install, const char *folder, const char *name) {
  int n = snprintf(out, kScheduleNameSize, "%s%s%s", install, folder, name);
  return n > 0 && static_cast<uint32_t>(n) < kScheduleNameSize;
}

bool IsMissing(uint32_t error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Deletes PATH; a file that is not there counts as deleted.
bool DeleteIfPresent(const char *path) {
  uint32_t rc = qp_file_delete(path);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// Writes the bytes of FROM (nothing when FROM is NULL) into a new file TO, flushed: 0 or a
// Windows error.
uint32_t WriteFlushedCopy(qp_file *from, const char *to) {
  qp_file *out = qp_file_open(to, QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_NONE, QP_CREATE_ALWAYS);
  if (out == nullptr) return GetLastError();
  uint32_t rc = ERROR_SUCCESS;
  char buffer[4096];
  while (from != nullptr) {
    uint32_t got = 0;
    rc = qp_file_read(from, buffer, sizeof buffer, &got);
    if (rc != ERROR_SUCCESS || got == 0) break;
    uint32_t put = 0;
    rc = qp_file_write(out, buffer, got, &put);
    if (rc != ERROR_SUCCESS) break;
  }
  if (rc == ERROR_SUCCESS) rc = qp_file_flush(out);
  qp_file_close(out);
  return rc;
}

// A killed change may have told the service of its schedule before it died: the service is told
// again once the old schedule is back, when it runs (a failure is logged, not reported).
void TellServiceOfPutBack() {
  uint32_t error = CheckQuoPcGate();
  int type = error == 0 ? GetSystemTypeFromRegistry() : kSystemTypeUnknown;
  if (error == 0 && type == kSystemTypeUnknown) error = PC_ERR_FAILED;
  if (error == 0) error = TellServiceScheduleChanged(type);
  WriteLibraryLog(error == 0 ? kLogPutBackTold : kLogPutBackNotTold, error, &g_LibraryLog);
}

}  // namespace

bool BuildScheduleFileNames(ScheduleFiles *files) {
  files->named = false;
  char install[kScheduleInstallRoom];
  if (!GetReg_LumoPathName(install, sizeof install)) return false;
  files->named = FormatName(files->data, install, kDataFolder, "") &&
                 FormatName(files->schedule, install, kDataFolder, kScheduleName) &&
                 FormatName(files->backup, install, kDataFolder, kBackupName) &&
                 FormatName(files->schedule_new, install, kDataFolder, kScheduleNewName) &&
                 FormatName(files->backup_new, install, kDataFolder, kBackupNewName) &&
                 FormatName(files->lock_name, install, kDataFolder, kLockName);
  return files->named;
}

void OpenScheduleSession(ScheduleFiles *files) {
  memset(files, 0, sizeof *files);
  if (!BuildScheduleFileNames(files)) return;
  qp_file *lock = qp_file_open(files->lock_name, QP_ACCESS_READ | QP_ACCESS_WRITE,
                               QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_ALWAYS);
  if (lock == nullptr) {
    files->lock_error = GetLastError();
    return;
  }
  uint32_t rc = qp_file_lock(lock, QP_INFINITE);
  if (rc != ERROR_SUCCESS) {
    files->lock_error = rc;
    qp_file_close(lock);
    return;
  }
  files->lock = lock;

  // What a killed change left: its half-written new files are dropped, and its backup, which
  // marks a change the service may not have taken, is put back.
  DeleteIfPresent(files->schedule_new);
  DeleteIfPresent(files->backup_new);
  if (!qp_path_exists(files->backup)) return;
  if (RestoreScheduleFile(files)) {
    WriteLibraryLog(kLogBackupPutBack, 0, &g_LibraryLog);
    TellServiceOfPutBack();
  } else {
    // The backup must not be overwritten by a new one: this session changes nothing.
    files->lock_error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
    WriteLibraryLog(kLogPutBackFailed, files->lock_error, &g_LibraryLog);
    qp_file_close(files->lock);
    files->lock = nullptr;
  }
}

void CloseScheduleSession(ScheduleFiles *files) {
  if (files->lock == nullptr) return;
  qp_file_unlock(files->lock);
  qp_file_close(files->lock);
  files->lock = nullptr;
}

uint32_t ScheduleReady(const ScheduleFiles *files) {
  if (!files->named) {
    WriteLibraryLog(kLogNamesFailed, 0, &g_LibraryLog);
    return PC_ERR_FAILED;
  }
  if (files->lock != nullptr) return 0;
  WriteLibraryLog(kLogLockFailed, files->lock_error, &g_LibraryLog);
  // Without its folder no schedule file can be created, which is reported as such.
  if (IsMissing(files->lock_error) && !qp_path_exists(files->data)) return ERROR_FILE_NOT_FOUND;
  return PC_ERR_FAILED;
}

bool BackupScheduleFile(ScheduleFiles *files) {
  qp_file *schedule =
      qp_file_open(files->schedule, QP_ACCESS_READ, QP_SHARE_READ | QP_SHARE_WRITE, QP_OPEN_EXISTING);
  if (schedule == nullptr && !IsMissing(GetLastError())) return false;
  // No schedule yet: the backup is empty, and putting it back removes the new schedule.
  uint32_t rc = WriteFlushedCopy(schedule, files->backup_new);
  if (schedule != nullptr) qp_file_close(schedule);
  if (rc == ERROR_SUCCESS) rc = qp_file_rename(files->backup_new, files->backup, 1);
  if (rc == ERROR_SUCCESS) rc = qp_folder_flush(files->data);
  if (rc != ERROR_SUCCESS) {
    DeleteIfPresent(files->backup_new);
    SetLastError(rc);
    return false;
  }
  return true;
}

bool RestoreScheduleFile(ScheduleFiles *files) {
  uint64_t size = 0;
  uint32_t rc = qp_file_size_of(files->backup, &size);
  if (IsMissing(rc)) return true;  // nothing was backed up: nothing to put back
  if (rc == ERROR_SUCCESS) {
    if (size == 0) {
      rc = DeleteIfPresent(files->schedule) ? ERROR_SUCCESS : GetLastError();
      if (rc == ERROR_SUCCESS) rc = qp_file_delete(files->backup);
    } else {
      rc = qp_file_rename(files->backup, files->schedule, 1);
    }
  }
  if (rc == ERROR_SUCCESS) rc = qp_folder_flush(files->data);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  return true;
}

qp_file *CreateNewScheduleFile(const ScheduleFiles *files) {
  return qp_file_open(files->schedule_new, QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_NONE, QP_CREATE_ALWAYS);
}

uint32_t ReplaceScheduleFile(ScheduleFiles *files, qp_file *new_file) {
  uint32_t rc = qp_file_flush(new_file);
  qp_file_close(new_file);
  if (rc == ERROR_SUCCESS) rc = qp_file_rename(files->schedule_new, files->schedule, 1);
  if (rc == ERROR_SUCCESS) rc = qp_folder_flush(files->data);
  if (rc != ERROR_SUCCESS) DeleteIfPresent(files->schedule_new);
  return rc;
}

void DiscardNewScheduleFile(ScheduleFiles *files, qp_file *new_file) {
  if (new_file != nullptr) qp_file_close(new_file);
  DeleteIfPresent(files->schedule_new);
}

bool CommitScheduleChange(ScheduleFiles *files) {
  return qp_file_delete(files->backup) == ERROR_SUCCESS && qp_folder_flush(files->data) == ERROR_SUCCESS;
}

uint32_t TellServiceScheduleChanged(int system_type) {
  PcConnection connection;
  uint32_t error = OpenCommandPipe(&connection);
  if (error != 0) return error;
  bool wrapped = system_type == kSystemTypeWrapped;
  if (wrapped && !SendCmdWithData(&connection, kCodeSettingsBegin, nullptr, 0, true, &error)) {
    CloseCommandPipe(&connection);
    return error;
  }
  if (!SendCmdWithData(&connection, kCodeScheduleRewritten, nullptr, 0, true, &error)) {
    // The settings bracket opened by "071" is closed whatever became of "S10".
    uint32_t ignored = 0;
    if (wrapped) SendCmdWithData(&connection, kCodeSettingsEnd, nullptr, 0, true, &ignored);
    CloseCommandPipe(&connection);
    return error;
  }
  if (wrapped && !SendCmdWithData(&connection, kCodeSettingsEnd, nullptr, 0, true, &error)) {
    CloseCommandPipe(&connection);
    return error;
  }
  CloseCommandPipe(&connection);
  return 0;
}
