// Process-wide state of the command-server service, status reports and worker threads.
#include "service_state.h"

#include <vector>

qp_service_status ServiceStatus;
uint32_t g_check_point = 1;
qp_service_handle *g_status_handle = nullptr;
std::mutex g_status_report_lock;
char InstallDir[260];
std::atomic<qp_event *> StopEvent{nullptr};
std::atomic<qp_mutex *> LogMutex{nullptr};
std::mutex g_handler_lock;
qp_named_mutex *g_cluster_mutex = nullptr;
std::mutex StatusLock;
std::atomic<uint32_t> ApiHandle{0};

namespace {
std::mutex g_workers_lock;
std::vector<qp_thread *> g_workers;  // the delayed initialisation thread
}  // namespace

void ReportServiceStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint, uint32_t controls) {
  std::lock_guard<std::mutex> guard(g_status_report_lock);
  ServiceStatus.current_state = state;
  ServiceStatus.win32_exit_code = exit_code;
  ServiceStatus.wait_hint = wait_hint;
  ServiceStatus.controls_accepted = controls;
  if (state == QP_SERVICE_START_PENDING || state == QP_SERVICE_STOP_PENDING)
    ServiceStatus.check_point = g_check_point++;
  else
    ServiceStatus.check_point = 0;
  qp_service_set_status(g_status_handle, &ServiceStatus);
}

int SleepUnlessStopping(uint32_t ms) {
  uint32_t real_ms = ms / qp_time_scale();
  qp_event *stop = StopEvent.load();
  if (stop == nullptr) {
    qp_sleep_ms(ms);
    return 0;
  }
  return qp_event_wait(stop, real_ms) == QP_WAIT_OBJECT_0 ? 1 : 0;
}

void RegisterWorker(qp_thread *thread) {
  std::lock_guard<std::mutex> guard(g_workers_lock);
  g_workers.push_back(thread);
}

int WaitForWorkers(uint64_t deadline_ms) {
  std::vector<qp_thread *> workers;
  {
    std::lock_guard<std::mutex> guard(g_workers_lock);
    workers.swap(g_workers);
  }
  int all_ended = 1;
  std::vector<qp_thread *> still_running;
  for (qp_thread *t : workers) {
    uint64_t now = qp_real_tick_ms();
    uint32_t left = now >= deadline_ms ? 0 : static_cast<uint32_t>(deadline_ms - now);
    if (qp_thread_wait(t, left, nullptr) == QP_WAIT_OBJECT_0) {
      qp_thread_close(t);
    } else {
      all_ended = 0;
      still_running.push_back(t);
    }
  }
  std::lock_guard<std::mutex> guard(g_workers_lock);
  g_workers.insert(g_workers.end(), still_running.begin(), still_running.end());
  return all_ended;
}
