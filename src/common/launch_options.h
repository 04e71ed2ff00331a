// The positional command-line arguments the front end starts the agent with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct LaunchOptions {
  int32_t gui_port = 0;       // 0: do not connect to a front end
  int32_t parent_pid = 0;     // watched; the agent quits when it is gone
  bool show_console = false;  // keep standard output and error
  bool test_mode = false;     // run the self-test at start and on each device arrival
  bool enable_log = false;    // write log files into the log folder
  std::string product_version;
  std::string app_folder;
  std::string product_name;
  int32_t run_mode = 0;       // 0 normal, 1 task mode, 2 elevated helper
  int64_t task_id = 0;        // index 10, read only in run mode 1
};

inline constexpr size_t kMinLaunchArguments = 9;
inline constexpr size_t kMinTaskModeArguments = 11;

// Reads the arguments after the program name. Returns nothing when there are fewer than
// nine (eleven in run mode 1), or when the application folder is not a plain folder name.
std::optional<LaunchOptions> ParseLaunchOptions(const std::vector<std::string>& args);

// The one-line usage text printed when the arguments are incomplete.
std::string LaunchUsage(const std::string& program);

// Process-wide options, set once at start-up and read-only afterwards.
const LaunchOptions& Launch();
void SetLaunchOptions(const LaunchOptions& options);
