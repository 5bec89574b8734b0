// Service main, control handler and stop sequence of the command-server service.
#pragma once

#include <stdint.h>

void ServiceMain(uint32_t argc, char **argv);

// The pipe server loop, run on the service main thread until the stop event is signalled.
void RunPipeServer();
// Waits until every client thread has ended, or until DEADLINE_MS (real clock); 1 when all
// have ended. For the stop sequence, once the pipe loop has returned (it closes the
// connections still waiting for their request itself).
int WaitForClientThreads(uint64_t deadline_ms);
