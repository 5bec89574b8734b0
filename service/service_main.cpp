// Start-up, control handler, delayed initialisation (configuration, library binding, cluster
// API initialisation with its retry window) and the stop sequence of the service.
#include "service_main.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cluster_config.h"
#include "library_binding.h"
#include "quorin/platform.h"
#include "service_log.h"
#include "service_state.h"

namespace {

// Status report values.
constexpr uint32_t kControlsStopShutdown = QP_SERVICE_ACCEPT_STOP | QP_SERVICE_ACCEPT_SHUTDOWN;  // 5
constexpr uint32_t kStartWaitHint = 3000;
constexpr uint32_t kStopWaitHint = 5000;
// Cluster API initialisation: retry window, pause between attempts, pause before the first.
constexpr int64_t kVexInitWindowSeconds = 120;
constexpr uint32_t kVexRetryPauseMs = 5000;
constexpr uint32_t kVexFirstPauseMs = 1000;
constexpr uint32_t kVexInitWaitSeconds = 120;

// Log texts.
constexpr const char kMsgStopRequested[] = "Service stop requested";
constexpr const char kMsgShutdownRequested[] = "System shutdown requested";
constexpr const char kMsgMutexCreated[] = "quorinky_tsrx mutex created successfully";
constexpr const char kMsgMutexExists[] = "quorinky_tsrx mutex already exists";
constexpr const char kMsgMutexFailed[] = "Failed to create quorinky_tsrx mutex (error: %lu)";
constexpr const char kMsgInitializing[] = "Service initializing...";
constexpr const char kMsgStarted[] = "Service started";
constexpr const char kMsgInitThreadStarted[] = "Delayed initialization thread started";
constexpr const char kMsgInitThreadFailed[] = "Warning: Failed to create delayed initialization thread";
constexpr const char kMsgInitStarting[] = "Delayed initialization starting...";
constexpr const char kMsgConfigLoaded[] = "Configuration file loaded successfully";
constexpr const char kMsgConfigFailed[] = "Failed to load configuration file";
constexpr const char kMsgVexInitWarning[] = "Warning: VEX API initialization failed";
constexpr const char kMsgVexInitException[] = "Exception during VEX API initialization: 0x%08x";
constexpr const char kMsgInitCompleted[] = "Delayed initialization completed";
constexpr const char kMsgVexInitializing[] = "Initializing VEX API...";
constexpr const char kMsgVexCancelled[] = "VEX API initialization cancelled - service stopping";
constexpr const char kMsgVexReturned[] = "VexInitializeApi returned: %d, handle: %lu";
constexpr const char kMsgVexInitialized[] = "VEX API initialized successfully (handle: %lu)";
constexpr const char kMsgVexRetrying[] = "QuoVexInitializeApi2 failed (error: 0x%08x), retrying...";
constexpr const char kMsgVexCallException[] = "QuoVexInitializeApi2 caused exception: 0x%08x";
constexpr const char kMsgVexFailedException[] = "VEX API initialization failed due to exception";
constexpr const char kMsgVexTimedOut[] = "VEX API initialization failed after %lld seconds (error: 0x%08x)";
constexpr const char kMsgStopping[] = "Service stopping...";
constexpr const char kMsgVexTerminating[] = "Terminating VEX API...";
constexpr const char kMsgVexTerminated[] = "VEX API terminated";
constexpr const char kMsgVexTerminateException[] = "Exception during VEX API termination: 0x%08x";
constexpr const char kMsgMutexClosed[] = "quorinky_tsrx mutex closed";
// Status texts of the configuration load.
constexpr const char kStatusConfigLoaded[] = "configuration loaded: %zu servers, %zu storage units (%s)";
constexpr const char kStatusConfigFailed[] =
    "CONFIGURATION NOT LOADED: %s (%s); running with %zu servers, %zu storage units";
constexpr const char kMsgWorkersLeft[] =
    "Warning: threads still running at stop, libraries and locks left in place";

// Whether the stop sequence may release what the worker threads use.
bool g_workers_ended = true;

// Set under g_handler_lock just before STOPPED is reported: a control that got past the
// host's own check while the stop sequence held the lock must not report again after it.
bool g_stopped = false;

uint32_t ControlHandler(uint32_t control, uint32_t, void *, void *) {
  std::lock_guard<std::mutex> guard(g_handler_lock);
  if (g_stopped) return ERROR_SERVICE_NOT_ACTIVE;
  switch (control) {
    case QP_SERVICE_CONTROL_STOP:
    case QP_SERVICE_CONTROL_SHUTDOWN: {
      ServiceLog(control == QP_SERVICE_CONTROL_STOP ? kMsgStopRequested : kMsgShutdownRequested);
      ReportServiceStatus(QP_SERVICE_STOP_PENDING, 0, kStopWaitHint, kControlsStopShutdown);
      qp_event *stop = StopEvent.load();
      if (stop != nullptr) qp_event_set(stop);
      return 0;
    }
    case QP_SERVICE_CONTROL_INTERROGATE:
      return 0;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// A call into the cluster-control library, run under a fault guard.
struct VexInitCall {
  uint32_t handle;
  int result;
};

void call_vex_initialize(void *context) {
  VexInitCall *call = static_cast<VexInitCall *>(context);
  VexInitializeApiFn fn = g_VexInitializeApi.load();
  call->result = fn != nullptr ? fn(&call->handle, 0, kVexInitWaitSeconds) : 0;
}

void call_vex_terminate(void *context) {
  VexTerminateApiFn fn = g_VexTerminateApi.load();
  if (fn != nullptr) fn(*static_cast<uint32_t *>(context));
}

// Initialises the cluster API, retrying for 120 s. Result 1 = initialised, 0 = not.
int InitializeVexApi() {
  ServiceLog(kMsgVexInitializing);
  const int64_t start = qp_time_seconds();
  const int64_t deadline = start + kVexInitWindowSeconds;
  int64_t now = start;
  uint32_t last_error = 0;
  while (now <= deadline) {
    if (qp_event_wait(StopEvent.load(), 0) == QP_WAIT_OBJECT_0) {
      ServiceLog(kMsgVexCancelled);
      return 0;
    }
    now = qp_time_seconds();
    VexInitCall call = {0, 0};
    uint32_t exception = 0;
    if (!qp_guard_call(call_vex_initialize, &call, &exception)) {
      ServiceLogf(0, kMsgVexCallException, exception);
      ServiceLog(kMsgVexFailedException);
      return 0;
    }
    // The library's own last error, read right after the call on this thread.
    uint32_t error = GetLastError();
    ServiceLogf(0, kMsgVexReturned, call.result, static_cast<unsigned long>(call.handle));
    if (call.result == 1) {
      ServiceLogf(0, kMsgVexInitialized, static_cast<unsigned long>(call.handle));
      ApiHandle.store(call.handle);
      return 1;
    }
    last_error = error;
    ServiceLogf(0, kMsgVexRetrying, error);
    // The pause ends early when the service is asked to stop; the next pass then cancels.
    // An attempt made in the window's last second ends the loop: repeating it without a
    // pause until the clock moves on would hammer the library for up to a second.
    if (now >= deadline) break;
    SleepUnlessStopping(kVexRetryPauseMs);
  }
  ServiceLogf(0, kMsgVexTimedOut, static_cast<long long>(now - start), last_error);
  return 0;
}

// Tells the operator whether the configuration loaded, beyond the service log: the status
// text (svcctl query, systemd's STATUS=) and, for a failure, an error in the journal. A
// service that runs without its configuration still answers on the pipe as it always has.
void ReportConfiguration(const char *path, int loaded) {
  const ClusterUpsConfig &config = CurrentConfig();
  // The file as an operator finds it on this machine.
  char shown[260];
  if (!qp_path_resolve(path, shown, sizeof shown)) snprintf(shown, sizeof shown, "%s", path);
  char text[256];
  if (loaded) {
    snprintf(text, sizeof text, kStatusConfigLoaded, config.servers.size(), config.storage_units.size(),
             shown);
  } else {
    snprintf(text, sizeof text, kStatusConfigFailed, ClusterConfigProblem(), shown, config.servers.size(),
             config.storage_units.size());
    qp_journal_send(kServiceLogIdentifier, QP_JOURNAL_ERR, 0, text);
  }
  qp_service_set_status_text(g_status_handle, text);
}

uint32_t DelayedInitialization(void *) {
  ServiceLog(kMsgInitStarting);
  char path[260];
  snprintf(path, sizeof path, "%s\\DATA\\%s", InstallDir, kClusterConfigName);
  int loaded = LoadClusterConfig(path);
  ServiceLog(loaded ? kMsgConfigLoaded : kMsgConfigFailed);
  ReportConfiguration(path, loaded);
  bindSnmpUpsLibrary();
  bindClusterLibrary();
  if (g_VexInitializeApi.load() != nullptr) {
    SleepUnlessStopping(kVexFirstPauseMs);
    uint32_t exception = 0;
    int initialised = 0;
    auto run = [](void *result) { *static_cast<int *>(result) = InitializeVexApi(); };
    if (!qp_guard_call(run, &initialised, &exception)) {
      ServiceLogf(0, kMsgVexInitException, exception);
    } else if (!initialised) {
      ServiceLog(kMsgVexInitWarning);
    }
  }
  ServiceLog(kMsgInitCompleted);
  return 0;
}

void SetInstallDir() {
  if (InstallDir[0] != '\0') return;
  char module[260];
  if (qp_module_file_name(module, sizeof module) == 0) return;
  char *cut = strrchr(module, '\\');
  char *slash = strrchr(module, '/');
  if (slash != nullptr && (cut == nullptr || slash > cut)) cut = slash;
  if (cut != nullptr) *cut = '\0';
  snprintf(InstallDir, sizeof InstallDir, "%s", module);
}

// Start-up steps up to the creation of the stop event. Returns 1 on success; on failure the
// service has reported STOPPED with the error.
int StartUp() {
  memset(&ServiceStatus, 0, sizeof ServiceStatus);
  ServiceStatus.service_type = QP_SERVICE_WIN32_OWN_PROCESS;
  SetInstallDir();
  if (LogMutex.load() == nullptr) LogMutex.store(qp_mutex_create());
  if (LogMutex.load() != nullptr) {
    int exists = 0;
    g_cluster_mutex = qp_named_mutex_create(kClusterMutexName, &exists);
    if (g_cluster_mutex == nullptr)
      ServiceLogf(0, kMsgMutexFailed, static_cast<unsigned long>(GetLastError()));
    else
      ServiceLog(exists ? kMsgMutexExists : kMsgMutexCreated);
    ReportServiceStatus(QP_SERVICE_START_PENDING, 0, kStartWaitHint, 0);
    StopEvent.store(qp_event_create(1, 0));
    if (StopEvent.load() != nullptr) {
      ServiceLog(kMsgInitializing);
      return 1;
    }
    uint32_t error = GetLastError();
    qp_named_mutex_close(g_cluster_mutex);
    g_cluster_mutex = nullptr;
    qp_mutex_close(LogMutex.exchange(nullptr));
    SetLastError(error);
  }
  uint32_t error = GetLastError();
  ReportServiceStatus(QP_SERVICE_STOPPED, error, 0, kControlsStopShutdown);
  return 0;
}

void StopSequence() {
  ServiceLog(kMsgStopping);
  // Every thread that may use the libraries, the log or StatusLock ends first (connections
  // still waiting for a request were closed by the pipe loop); the wait is bounded by the
  // STOP_PENDING wait hint.
  uint64_t deadline = qp_real_tick_ms() + kStopWaitHint;
  g_workers_ended = (WaitForClientThreads(deadline) & WaitForWorkers(deadline)) != 0;
  if (!g_workers_ended) ServiceLog(kMsgWorkersLeft);

  if (g_VexTerminateApi.load() != nullptr && g_workers_ended) {
    ServiceLog(kMsgVexTerminating);
    uint32_t handle = ApiHandle.load();
    uint32_t exception = 0;
    if (!qp_guard_call(call_vex_terminate, &handle, &exception))
      ServiceLogf(0, kMsgVexTerminateException, exception);
    ServiceLog(kMsgVexTerminated);
    ApiHandle.store(0);
  }
  if (g_workers_ended) {
    ClearClusterConfig();
    unbindLibraries();
  }
  // What the control handler uses is closed while it cannot run; with threads left running,
  // everything they may use (the named mutex included) stays open.
  std::lock_guard<std::mutex> guard(g_handler_lock);
  if (g_workers_ended) qp_event_close(StopEvent.exchange(nullptr));
  if (g_workers_ended && g_cluster_mutex != nullptr) {
    qp_named_mutex_close(g_cluster_mutex);
    g_cluster_mutex = nullptr;
    ServiceLog(kMsgMutexClosed);
  }
  if (g_workers_ended) {
    qp_mutex_close(LogMutex.exchange(nullptr));
    ServiceLogClose();
  }
  g_stopped = true;
  ReportServiceStatus(QP_SERVICE_STOPPED, 0, 0, kControlsStopShutdown);
}

}  // namespace

void ServiceMain(uint32_t, char **) {
  g_status_handle = qp_service_register_handler(kServiceName, ControlHandler, nullptr);
  if (g_status_handle == nullptr) return;
  if (!StartUp()) return;
  ServiceLog(kMsgStarted);
  ReportServiceStatus(QP_SERVICE_RUNNING, 0, 0, kControlsStopShutdown);
  qp_thread *init = qp_thread_create(DelayedInitialization, nullptr, 0);
  if (init != nullptr) {
    RegisterWorker(init);
    ServiceLog(kMsgInitThreadStarted);
  } else {
    ServiceLog(kMsgInitThreadFailed, GetLastError());
  }
  RunPipeServer();
  StopSequence();
  // Threads left running must not see the process's static objects destroyed under them:
  // the service ends here, after its STOPPED report, without the exit-time teardown.
  if (!g_workers_ended) _Exit(0);
}
