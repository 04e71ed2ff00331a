#include "cli_options.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/number_parse.h"
#include "device_commands.h"

namespace vadoctl {
namespace {

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *out = content.str();
  return true;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::string CliHelp() {
  std::string device_lines;
  for (const DeviceCommand& command : DeviceCommands()) {
    device_lines += "  " + std::string(command.usage) + "\n";
  }
  return R"(usage: vadoctl [options] [run]
       vadoctl [options] send COMMAND_ID [--header JSON] [--body JSON | --body-file FILE]
                                         [--raw] [--task N] [--kind N] [--timeout-ms N]
       vadoctl [options] [--udid UDID] DEVICE-COMMAND [ARGS...]

Starts VadoAgent as its front end (listening on 127.0.0.1), and prints every message the
agent sends as one JSON line: task, command, kind, the decoded header object, and the
decompressed body (JSON) or its size.

  run                 watch the agent's messages (device arrivals, status) for --seconds;
                      when no usbmuxd socket is there, the simulator is started with the
                      sample farm (or --farm DIR) on a private socket
  send COMMAND_ID     send one request and print its messages until its result
                      arrives (exit 0), or until --timeout-ms passes (exit 3)

Device commands (on the device named by --udid, or the first one that arrives):
)" + device_lines + R"(
Request options (send):
  --header JSON       the header object (default {"uuid":""})
  --body JSON         a body, zlib-compressed unless --raw
  --body-file FILE    the body read from FILE
  --raw               send the body as it is
  --all               also print messages of other tasks (device events, status)
  --task N            task id of the request (default 1)
  --kind N            kind field of the request (default 0)
  --timeout-ms N      how long to wait for the result (default 30000 for send, 30
                      minutes for device commands)

Agent options:
  --agent PATH        the agent executable (default: VadoAgent beside vadoctl)
  --console           let the agent keep its standard output and error
  --log               have the agent write log files
  --test-mode         start the agent in test mode
  --run-mode N        0 normal, 1 task mode, 2 elevated helper (default 0)
  --task-id N         task id for run mode 1
  --product-name S    --product-version S    --app-folder S
  --seconds N         run: how long to watch (default 5; 0 = until interrupted)
  --udid UDID         device commands: the device to address
  --device-wait N     device commands: seconds to wait for the device (default 30)
  --password TEXT     restore, wipe: the password of an encrypted backup
  --backup DIR        wipe: the backup folder restored after the wipe
  --level N           wipe-free: passes over the free space (at most two run)
  --out DIR           icons: the output folder
  --via WAY           messages: backup (default), snapshot or cached (the copy read last)
  --chat ID           messages: the messages of one conversation (its chat id)
  --type T            photos album: the album type (0 user, 1 kind 1000, 2-8 computed)
  --refresh           photos: copy the device's photo library again
  --farm DIR          the simulator's device farm (default: the bundled sample farm)
  --no-simulator      never start the simulator
  --readable, --json  device events and results as plain text, or as JSON
                      (default: plain text on a terminal, JSON otherwise)
  -h, --help          this text
)";
}

std::optional<CliOptions> ParseCli(int argc, char** argv, std::string* error) {
  CliOptions options;
  options.launch.executable = DefaultAgentPath();
  options.launch.console = false;
  bool have_command_id = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (options.command == "run" && (arg == "run" || arg == "send")) {
      options.command = arg;
    } else if (options.command == "run" && FindDeviceCommand(arg) != nullptr) {
      options.command = arg;
    } else if (arg == "--udid") {
      if (!value(&options.udid)) return std::nullopt;
    } else if (arg == "--password") {
      if (!value(&options.password)) return std::nullopt;
    } else if (arg == "--backup") {
      if (!value(&options.backup_dir)) return std::nullopt;
    } else if (arg == "--level") {
      if (!value(&v)) return std::nullopt;
      if (!IsNumber(v) || v.size() > 9) {
        *error = arg + " needs a non-negative number";
        return std::nullopt;
      }
      options.level = ParseLeadingInt64(v);
    } else if (arg == "--out") {
      if (!value(&options.out_dir)) return std::nullopt;
    } else if (arg == "--title") {
      if (!value(&options.title)) return std::nullopt;
    } else if (arg == "--content") {
      if (!value(&options.content)) return std::nullopt;
    } else if (arg == "--id") {
      if (!value(&options.record_id)) return std::nullopt;
    } else if (arg == "--via" || arg == "--chat") {
      if (!value(arg == "--via" ? &options.via : &options.chat)) return std::nullopt;
    } else if (arg == "--type") {
      if (!value(&v)) return std::nullopt;
      if (!IsNumber(v) || v.size() > 9) {
        *error = "--type needs a small non-negative number";
        return std::nullopt;
      }
      options.album_type = ParseLeadingInt64(v);
    } else if (arg == "--refresh") {
      options.refresh = true;
    } else if (arg == "--compact") {
      options.compact = true;
    } else if (arg == "--agent") {
      if (!value(&options.launch.executable)) return std::nullopt;
    } else if (arg == "--console") {
      options.launch.console = true;
    } else if (arg == "--log") {
      options.launch.log = true;
    } else if (arg == "--test-mode") {
      options.launch.test_mode = true;
    } else if (arg == "--run-mode" || arg == "--task-id" || arg == "--seconds" ||
               arg == "--timeout-ms" || arg == "--task" || arg == "--kind" ||
               arg == "--device-wait") {
      if (!value(&v)) return std::nullopt;
      if (!IsNumber(v)) {
        *error = arg + " needs a non-negative number";
        return std::nullopt;
      }
      if (arg == "--run-mode") options.launch.run_mode = ParseLeadingInt(v);
      if (arg == "--task-id") options.launch.task_id = ParseLeadingInt64(v);
      if (arg == "--seconds") options.seconds = ParseLeadingInt(v);
      if (arg == "--device-wait") {
        options.device_wait_ms = std::min(ParseLeadingInt(v), 86400) * 1000;
      }
      if (arg == "--timeout-ms") options.timeout_ms = options.request_timeout_ms = ParseLeadingInt(v);
      if (arg == "--task") options.task_id = static_cast<uint64_t>(ParseLeadingInt64(v));
      if (arg == "--kind") options.kind = static_cast<uint16_t>(ParseLeadingInt(v));
    } else if (arg == "--product-name") {
      if (!value(&options.launch.product_name)) return std::nullopt;
    } else if (arg == "--product-version") {
      if (!value(&options.launch.product_version)) return std::nullopt;
    } else if (arg == "--app-folder") {
      if (!value(&options.launch.app_folder)) return std::nullopt;
    } else if (arg == "--header") {
      if (!value(&options.header)) return std::nullopt;
    } else if (arg == "--body") {
      if (!value(&options.body)) return std::nullopt;
    } else if (arg == "--body-file") {
      if (!value(&v)) return std::nullopt;
      if (!ReadFile(v, &options.body)) {
        *error = "cannot read " + v;
        return std::nullopt;
      }
    } else if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "--dir") {
      if (!value(&options.device_dir)) return std::nullopt;
    } else if (arg == "--book") {
      options.book = true;
    } else if (arg == "--no-simulator") {
      options.simulator = false;
    } else if (arg == "--farm") {
      if (!value(&options.farm)) return std::nullopt;
    } else if (arg == "--json") {
      options.readable = false;
    } else if (arg == "--readable") {
      options.readable = true;
    } else if (options.command == "send" && !have_command_id && IsNumber(arg)) {
      options.command_id = static_cast<uint32_t>(ParseLeadingInt64(arg));
      have_command_id = true;
    } else if (FindDeviceCommand(options.command) != nullptr &&
               (arg.empty() || arg[0] != '-' || arg == "-")) {
      options.args.push_back(arg);
    } else {
      *error = "unknown argument: " + arg;
      return std::nullopt;
    }
  }
  if (!options.help && options.command == "send" && !have_command_id) {
    *error = "send needs a COMMAND_ID";
    return std::nullopt;
  }
  if (const DeviceCommand* command = FindDeviceCommand(options.command); command && !options.help) {
    const int count = static_cast<int>(options.args.size());
    if (count < command->min_args || (command->max_args >= 0 && count > command->max_args)) {
      *error = "usage: vadoctl " + std::string(command->usage).substr(0, std::string(command->usage).find("  "));
      return std::nullopt;
    }
    // Options a command cannot do without are checked before any agent is started.
    if ((options.command == "wipe-free" && options.level < 0) ||
        (options.command == "wipe" && options.backup_dir.empty())) {
      *error = "usage: vadoctl " + std::string(command->usage).substr(0, std::string(command->usage).find("  "));
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace vadoctl
