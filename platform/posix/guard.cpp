// Fault guards: faults and C++ exceptions inside a guarded call become Windows exception codes.
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "quorin/qp_guard.h"

namespace {

struct GuardFrame {
  sigjmp_buf jump;
  GuardFrame *outer;
  volatile uint32_t code;
};

thread_local GuardFrame *t_guard = nullptr;

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];
std::once_flag g_install_once;

uint32_t code_of(int sig, const siginfo_t *info) {
  switch (sig) {
    case SIGSEGV:
      return QP_EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
      return info->si_code == BUS_ADRERR ? QP_EXCEPTION_IN_PAGE_ERROR : QP_EXCEPTION_ACCESS_VIOLATION;
    case SIGILL:
      return QP_EXCEPTION_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      switch (info->si_code) {
        case FPE_INTDIV:
          return QP_EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
          return QP_EXCEPTION_INT_OVERFLOW;
        case FPE_FLTDIV:
          return QP_EXCEPTION_FLT_DIVIDE_BY_ZERO;
        default:
          return QP_EXCEPTION_FLT_INVALID_OPERATION;
      }
    default:
      return QP_EXCEPTION_ACCESS_VIOLATION;
  }
}

void on_fault(int sig, siginfo_t *info, void *uc) {
  GuardFrame *frame = t_guard;
  if (frame != nullptr) {
    frame->code = code_of(sig, info);
    siglongjmp(frame->jump, 1);
  }
  // Not inside a guard: hand the fault to whoever handled it before, or crash as usual.
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    if (kSignals[i] != sig) continue;
    const struct sigaction &prev = g_previous[i];
    if ((prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction != nullptr) {
      prev.sa_sigaction(sig, info, uc);
      return;
    }
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler != nullptr) {
      prev.sa_handler(sig);
      return;
    }
  }
  signal(sig, SIG_DFL);  // returning re-runs the faulting instruction, which now ends the process
}

void install_handlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_fault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
    sigaction(kSignals[i], &action, &g_previous[i]);
}

// Each guarding thread has an alternate signal stack, so that a fault caused by running out
// of stack can still be reported. A stack someone else installed (a sanitizer runtime, the
// host program) is kept; one installed here is removed again when the thread ends.
struct AltStack {
  void *memory = nullptr;
  bool checked = false;
  ~AltStack() {
    if (memory == nullptr) return;
    stack_t off;
    memset(&off, 0, sizeof off);
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    free(memory);
  }
};
thread_local AltStack t_alt_stack;

void ensure_alt_stack() {
  if (t_alt_stack.checked) return;
  t_alt_stack.checked = true;
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
  const size_t size = 64 * 1024;
  void *memory = malloc(size);
  if (memory == nullptr) return;
  stack_t ss;
  ss.ss_sp = memory;
  ss.ss_size = size;
  ss.ss_flags = 0;
  if (sigaltstack(&ss, nullptr) != 0) {
    free(memory);
    return;
  }
  t_alt_stack.memory = memory;
}

}  // namespace

int qp_guard_call(qp_guarded_fn fn, void *context, uint32_t *exception_code) {
  std::call_once(g_install_once, install_handlers);
  ensure_alt_stack();
  GuardFrame frame;
  frame.outer = t_guard;
  frame.code = 0;
  if (sigsetjmp(frame.jump, 1) != 0) {
    t_guard = frame.outer;
    if (exception_code != nullptr) *exception_code = frame.code;
    return 0;
  }
  t_guard = &frame;
  try {
    fn(context);
  } catch (...) {
    t_guard = frame.outer;
    if (exception_code != nullptr) *exception_code = QP_EXCEPTION_CPP;
    return 0;
  }
  t_guard = frame.outer;
  if (exception_code != nullptr) *exception_code = 0;
  return 1;
}
