// Process-wide state of the command-server service and the helpers its modules share.
#pragma once

#include <atomic>
#include <mutex>

#include "quorin/platform.h"

// Service name under the service host and the pipe the service serves.
inline constexpr const char kServiceName[] = "Mavr_tsr_monitor";
inline constexpr const char kPipeName[] = "\\\\.\\pipe\\npquomvl1";
inline constexpr const char kClusterMutexName[] = "quorinky_tsrx";

// Who touches what:
// - ServiceStatus, the check-point counter and the status handle: the service main thread and
//   the control handler (dispatcher thread); g_status_report_lock orders their reports.
// - InstallDir: written once by the service main thread before any other thread starts.
// - StopEvent, LogMutex, the named mutex: created by the service main thread at start-up and
//   closed by it in the stop sequence, after every other thread of the service has ended;
//   the control handler (dispatcher thread) also uses the first two, so the stop sequence
//   closes them while holding g_handler_lock, which the handler holds for its whole run.
// - StatusLock: taken by client threads for PCS, AD1 and CSD.
// - ApiHandle: written by the delayed initialisation thread, read by the stop sequence.
extern qp_service_status ServiceStatus;
extern uint32_t g_check_point;
extern qp_service_handle *g_status_handle;
extern std::mutex g_status_report_lock;
extern std::mutex g_handler_lock;
extern char InstallDir[260];
extern std::atomic<qp_event *> StopEvent;
extern std::atomic<qp_mutex *> LogMutex;
extern qp_named_mutex *g_cluster_mutex;
extern std::mutex StatusLock;
extern std::atomic<uint32_t> ApiHandle;

// Reports a state with the given exit code, wait hint and controls; START_PENDING and
// STOP_PENDING take the next check point, the other states check point 0.
void ReportServiceStatus(uint32_t state, uint32_t exit_code, uint32_t wait_hint, uint32_t controls);

// Sleeps MS milliseconds of scaled time, or less when the service is asked to stop.
// Returns 1 when the stop event ended the sleep.
int SleepUnlessStopping(uint32_t ms);

// Threads the stop sequence must see end before it releases what they use (the delayed
// initialisation thread; client threads are counted by the pipe server).
void RegisterWorker(qp_thread *thread);
// Waits for every registered worker until DEADLINE_MS (real clock); 1 when all have ended.
int WaitForWorkers(uint64_t deadline_ms);
