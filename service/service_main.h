// Service main, control handler and stop sequence of the command-server service.
#pragma once

#include <stdint.h>

void ServiceMain(uint32_t argc, char **argv);

// The pipe server loop, run on the service main thread until the stop event is signalled.
void RunPipeServer();
// Interrupts client connections still waiting for their request (stop sequence).
void CancelWaitingClients();
