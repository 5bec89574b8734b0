// quomvlsv: program entry of the command-server service.
#include <stdio.h>
#include <string.h>

#include "quorin/platform.h"
#include "quorin_version.h"
#include "service_main.h"
#include "service_state.h"

namespace {

constexpr const char kUsage[] =
    "usage: quomvlsv [--help | --version]\n"
    "The command-server service Mavr_tsr_monitor. It runs under systemd (systemctl start quomvlsv)\n"
    "or under svcctl (svcctl start Mavr_tsr_monitor /usr/lib/quorin/quomvlsv), never from a\n"
    "console, and takes no options there. It reads its configuration from the DATA folder beside\n"
    "the program (DATA/ky_e_net.ini) and the registry file QUORIN_REGISTRY\n"
    "(default /etc/quorin/registry.reg), and serves the pipe npquomvl1 under QUORIN_RUNTIME_DIR\n"
    "(default /run/quorin). See quomvlsv(8).\n";

constexpr const char kConsoleLine[] =
    "quomvlsv: this is the service Mavr_tsr_monitor; it runs under systemd (systemctl start quomvlsv) "
    "or svcctl (svcctl start Mavr_tsr_monitor PROGRAM), not from a console (error 1063)\n";

}  // namespace

// Runs the service under the service host. A start from a plain console ends at once with
// the dispatcher's error (1063; an exit status holds its low byte, 39) after one line that
// says how the service is run. The two informational options are checked here by hand: the
// entry is core code and stays free of the platform's option parser.
int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0)) {
    printf("quomvlsv (quorin) %s\n", QUORIN_VERSION);
    return 0;
  }
  if (argc > 1) {
    fprintf(stderr, "quomvlsv: unknown argument '%s': the service takes no options\nTry 'quomvlsv --help'.\n",
            argv[1]);
    return 2;
  }
  if (!qp_service_dispatch(kServiceName, ServiceMain)) {
    uint32_t error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) fputs(kConsoleLine, stderr);
    return static_cast<int>(error);
  }
  return 0;
}
