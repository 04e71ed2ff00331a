#include "common/launch_options.h"

#include "common/number_parse.h"
#include "common/private_folder.h"

namespace {
LaunchOptions g_launch;
}

std::optional<LaunchOptions> ParseLaunchOptions(const std::vector<std::string>& args) {
  if (args.size() < kMinLaunchArguments) return std::nullopt;
  LaunchOptions options;
  options.gui_port = ParseLeadingInt(args[0]);
  options.parent_pid = ParseLeadingInt(args[1]);
  options.show_console = ParseLeadingInt(args[2]) != 0;
  options.test_mode = ParseLeadingInt(args[3]) != 0;
  options.enable_log = ParseLeadingInt(args[4]) != 0;
  options.product_version = args[5];
  options.app_folder = args[6];
  // The folder is placed under the temporary folder: a path there could put the logs
  // (and the work folder) anywhere. An empty name puts them in the temporary folder.
  if (!options.app_folder.empty() && !IsPlainFolderName(options.app_folder)) return std::nullopt;
  options.product_name = args[7];
  options.run_mode = ParseLeadingInt(args[8]);
  if (options.run_mode == 1) {
    if (args.size() < kMinTaskModeArguments) return std::nullopt;
    options.task_id = ParseLeadingInt64(args[10]);
  }
  return options;
}

std::string LaunchUsage(const std::string& program) {
  return "usage: " + program +
         " GUI_PORT PARENT_PID CONSOLE TEST LOG PRODUCT_VERSION APP_FOLDER PRODUCT_NAME RUN_MODE"
         " [UNUSED TASK_ID]   (TASK_ID is required when RUN_MODE is 1)";
}

const LaunchOptions& Launch() { return g_launch; }

void SetLaunchOptions(const LaunchOptions& options) { g_launch = options; }
