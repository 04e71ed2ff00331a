// Crash reports: when the process meets a fatal signal or an unhandled exception, it
// leaves one zip archive in the log folder holding a crash file (<start time>.dmp), a
// short description (Crash.json) and the day's log files, removes the loose files, and
// then ends with the signal it received.
#pragma once

#include <string>

struct CrashReportSettings {
  std::string log_folder;       // where the report is written and packed
  std::string product_name;     // "Product" of Crash.json
  std::string product_version;  // "Version" of Crash.json
  bool flush_logging = false;   // the log library is running and its files are packed
};

// Computes the dump and archive paths from the current local time, prepares everything
// the handler needs, and installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT
// and std::terminate. Call once during start-up, after logging has started.
void InstallCrashHandler(const CrashReportSettings& settings);

// The "<folder>/<YYYYmmddHHMMSS>.dmp" path chosen at installation (empty before).
const std::string& CrashDumpPath();

// Crash.json text: 4-space indentation, keys "Product", "Version", "System" in this order.
// `system` is the operating-system text (name, release, version and machine of uname).
std::string BuildCrashDescription(const std::string& product, const std::string& version,
                                  const std::string& system);

// Packs the regular files of `folder` into a zip archive at `archive_path`, leaving out
// names ending in .zip or .exe; false when the archive could not be written.
bool PackReportFolder(const std::string& folder, const std::string& archive_path);

// Deletes every regular file and link of `folder` whose name does not contain ".zip"
// (any case); folders are left in place.
void RemoveLooseFiles(const std::string& folder);
