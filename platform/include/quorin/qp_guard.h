/* Fault guards: a call into a library that crashes is reported as a Windows exception code
 * instead of taking the process down.
 *
 * qp_guard_call runs FN(CTX) with handlers for SIGSEGV, SIGBUS, SIGFPE and SIGILL in place on
 * the calling thread; a fault inside it returns to the guard, and C++ exceptions that escape
 * FN are caught too. Guards may nest and may run on several threads at once.
 */
#pragma once

#include "qp_base.h"

enum : uint32_t {
  QP_EXCEPTION_ACCESS_VIOLATION = 0xC0000005u,
  QP_EXCEPTION_IN_PAGE_ERROR = 0xC0000006u,
  QP_EXCEPTION_ILLEGAL_INSTRUCTION = 0xC000001Du,
  QP_EXCEPTION_FLT_DIVIDE_BY_ZERO = 0xC000008Eu,
  QP_EXCEPTION_FLT_INVALID_OPERATION = 0xC0000090u,
  QP_EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094u,
  QP_EXCEPTION_INT_OVERFLOW = 0xC0000095u,
  QP_EXCEPTION_STACK_OVERFLOW = 0xC00000FDu,
  QP_EXCEPTION_CPP = 0xE06D7363u,
};

typedef void (*qp_guarded_fn)(void *context);

/* Runs FN(CONTEXT). Returns 1 when it returned normally, 0 when a fault or an exception ended
 * it, with the exception code in *exception_code. */
QP_API int qp_guard_call(qp_guarded_fn fn, void *context, uint32_t *exception_code);
