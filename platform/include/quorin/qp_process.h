/* Starting tools with redirected output, the shutdown privilege and the machine restart.
 *
 * Tools are found through PATH (posix_spawnp). The command line is split as Windows splits
 * one: blanks separate arguments, double quotes group them.
 *
 * The shutdown privilege is the effective capability CAP_SYS_BOOT. The restart runs the
 * command in QUORIN_REBOOT_COMMAND (default "systemctl reboot --force") through /bin/sh;
 * tests point it at a recorder.
 */
#pragma once

#include "qp_base.h"
#include "qp_file.h"

typedef struct qp_process qp_process;

/* Starts COMMAND_LINE with standard input, output and error on STDIO (NULL: all three on
 * /dev/null): 0 and *PROCESS, ERROR_FILE_NOT_FOUND when the tool is not found, or another
 * error. */
QP_API uint32_t qp_process_start(const char *command_line, qp_file *stdio, qp_process **process);
/* Waits for the end: QP_WAIT_OBJECT_0 with *exit_code set, QP_WAIT_TIMEOUT or QP_WAIT_FAILED.
 * A tool ended by a signal reports exit code 0xC000013A. */
QP_API uint32_t qp_process_wait(qp_process *process, uint32_t timeout_ms, uint32_t *exit_code);
QP_API void qp_process_close(qp_process *process);

/* Steps of enabling the shutdown privilege, as the Windows sequence names them. */
enum {
  QP_PRIV_STEP_OPEN_TOKEN = 1,
  QP_PRIV_STEP_LOOKUP = 2,
  QP_PRIV_STEP_ADJUST = 3,
  QP_PRIV_STEP_NOT_ALL_ASSIGNED = 4,
};

/* Enables the shutdown privilege for this process: 0, or the Windows error of the failed step
 * with *failed_step set (ERROR_NOT_ALL_ASSIGNED and step 4 when the process lacks it). */
QP_API uint32_t qp_shutdown_privilege_enable(int *failed_step);

/* Restarts the machine at once: 0 when the restart command was started and accepted,
 * otherwise a Windows error. */
QP_API uint32_t qp_machine_restart(void);

/* Gives the heap's free pages back to the system, after a burst of work on many threads has
 * left them spread between blocks still in use (the C library returns only the top of the
 * heap by itself). */
QP_API void qp_heap_trim(void);
