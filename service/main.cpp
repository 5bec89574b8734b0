// quomvlsv: program entry of the command-server service.
#include "quorin/platform.h"
#include "service_main.h"
#include "service_state.h"

// Runs the service under the service host. A start from a plain console ends at once with
// the dispatcher's error (1063; an exit status holds its low byte, 39).
int main() {
  if (!qp_service_dispatch(kServiceName, ServiceMain)) return static_cast<int>(GetLastError());
  return 0;
}
