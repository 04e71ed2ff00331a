// Process-wide state of the agent: the quit request, the log folder and the work folder.
#pragma once

#include <string>

// Creates the quit event; called once by main() before threads and signal handlers.
void InitQuitEvent();
// Sets the quitting flag and wakes the main thread. Safe from any thread and from a
// signal handler.
void RequestQuit();
bool IsQuitting();
// Blocks the calling (main) thread until RequestQuit.
void WaitForQuit();

// temp folder + app folder + "/" + local date "%Y%m%d", no trailing separator.
std::string BuildLogFolder(const std::string& app_folder);
const std::string& LogFolder();
void SetLogFolder(const std::string& folder);

// log folder + "/" + executable name + "-" + pid + "/"; created private to the user
// (mode 0700) when `create` is set. When that path exists as a link or as another
// user's folder, a fresh private folder beside it is used from then on (reason logged).
std::string WorkFolder(bool create);

// Strips one trailing '/' or '\\', deletes the folder with everything in it, and clears
// `path` on success.
bool RemoveFolder(std::string& path);
