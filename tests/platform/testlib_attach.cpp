// A test library whose attach step succeeds or fails as built, with one export.
#include "quorin/qp_base.h"
#include "quorin/qp_library.h"

namespace {
int g_attached = 0;
__attribute__((constructor)) void attach() {
  g_attached = ATTACH_RESULT;
  qp_library_report_attach(ATTACH_RESULT);
}
}  // namespace

QP_DLL_EXPORT int TestAttached(void) {
  return g_attached;
}
