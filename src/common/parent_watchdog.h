// Ends the agent when the front end's process is gone. The first call starts the
// watchdog thread; later calls only change the watched process.
#pragma once

#include <sys/types.h>

#include <functional>

// `on_gone` defaults to RequestQuit. A pid of 0 is never reported as gone: it names the
// system's idle process, which never ends.
void WatchParent(pid_t pid, std::function<void()> on_gone = {});
