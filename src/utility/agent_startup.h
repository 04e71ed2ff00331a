// The agent's life from parsed arguments to exit: folders, logging, watchdog, the
// long-lived objects, the wait for the quit request, and shutdown.
#pragma once

#include "common/launch_options.h"

// Returns the process exit code (0 after a normal shutdown).
int RunAgent(const LaunchOptions& options);
