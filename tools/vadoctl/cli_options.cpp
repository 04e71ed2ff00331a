#include "cli_options.h"

#include <fstream>
#include <sstream>

#include "app_commands.h"
#include "common/number_parse.h"

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
  return R"(usage: vadoctl [options] [run]
       vadoctl [options] send COMMAND_ID [--header JSON] [--body JSON | --body-file FILE]
                                         [--raw] [--task N] [--kind N] [--timeout-ms N]
       vadoctl [options] apps | icons --out DIR [ID...] | install FILE... |
                         uninstall ID... | archive ID...   [--udid UDID]

Starts VadoAgent as its front end (listening on 127.0.0.1), and prints every message the
agent sends as one JSON line: task, command, kind, the decoded header object, and the
decompressed body (JSON) or its size.

  run                 watch the agent's messages (device arrivals, status) for --seconds;
                      when no usbmuxd socket is there, the simulator is started with the
                      sample farm (or --farm DIR) on a private socket
  send COMMAND_ID     send one request and print its messages until its result
                      arrives (exit 0), or until --timeout-ms passes (exit 3)
  apps                the user applications: one JSON object a line, or a table
                      (--readable; the default on a terminal)
  icons --out DIR [ID...]   writes DIR/<bundle id>.png for the ids (all apps when none)
  install FILE...     installs application packages (.ipa) from this computer
  uninstall ID...     uninstalls applications by bundle id
  archive ID...       archives applications by bundle id (the device keeps the package)

Application commands use the device named by --udid, or the first device that arrives;
like run, they start the simulator when no usbmuxd socket is there. Exit status: 0 done,
1 a failure was reported, 3 no answer. install, uninstall and archive show a progress
bar on a terminal and one line per step otherwise.
  --udid UDID         the device to use
  --out DIR           icons: the output folder

Request options (send):
  --header JSON       the header object (default {"uuid":""})
  --body JSON         a body, zlib-compressed unless --raw
  --body-file FILE    the body read from FILE
  --raw               send the body as it is
  --all               also print messages of other tasks (device events, status)
  --task N            task id of the request (default 1)
  --kind N            kind field of the request (default 0)
  --timeout-ms N      how long to wait for the result (default 30000)

Agent options:
  --agent PATH        the agent executable (default: VadoAgent beside vadoctl)
  --console           let the agent keep its standard output and error
  --log               have the agent write log files
  --test-mode         start the agent in test mode
  --run-mode N        0 normal, 1 task mode, 2 elevated helper (default 0)
  --task-id N         task id for run mode 1
  --product-name S    --product-version S    --app-folder S
  --seconds N         run: how long to watch (default 5; 0 = until interrupted)
  --farm DIR          run and app commands: the simulator's device farm (default: the bundled sample farm)
  --no-simulator      run: never start the simulator
  --readable, --json  run: device events as plain text, or every message as JSON
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
    } else if ((arg == "run" || arg == "send" || IsAppCommand(arg)) && options.command == "run" &&
               options.args.empty()) {
      options.command = arg;
    } else if (arg == "--udid") {
      if (!value(&options.udid)) return std::nullopt;
    } else if (arg == "--out") {
      if (!value(&options.out_dir)) return std::nullopt;
    } else if (arg == "--agent") {
      if (!value(&options.launch.executable)) return std::nullopt;
    } else if (arg == "--console") {
      options.launch.console = true;
    } else if (arg == "--log") {
      options.launch.log = true;
    } else if (arg == "--test-mode") {
      options.launch.test_mode = true;
    } else if (arg == "--run-mode" || arg == "--task-id" || arg == "--seconds" ||
               arg == "--timeout-ms" || arg == "--task" || arg == "--kind") {
      if (!value(&v)) return std::nullopt;
      if (!IsNumber(v)) {
        *error = arg + " needs a non-negative number";
        return std::nullopt;
      }
      if (arg == "--run-mode") options.launch.run_mode = ParseLeadingInt(v);
      if (arg == "--task-id") options.launch.task_id = ParseLeadingInt64(v);
      if (arg == "--seconds") options.seconds = ParseLeadingInt(v);
      if (arg == "--timeout-ms") options.timeout_ms = options.app_timeout_ms = ParseLeadingInt(v);
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
    } else if (arg == "--no-simulator") {
      options.simulator = false;
    } else if (arg == "--farm") {
      if (!value(&options.farm)) return std::nullopt;
    } else if (arg == "--json") {
      options.readable = false;
    } else if (arg == "--readable") {
      options.readable = true;
    } else if (IsAppCommand(options.command) && (arg.empty() || arg[0] != '-')) {
      options.args.push_back(arg);
    } else if (options.command == "send" && !have_command_id && IsNumber(arg)) {
      options.command_id = static_cast<uint32_t>(ParseLeadingInt64(arg));
      have_command_id = true;
    } else {
      *error = "unknown argument: " + arg;
      return std::nullopt;
    }
  }
  if (!options.help && options.command == "send" && !have_command_id) {
    *error = "send needs a COMMAND_ID";
    return std::nullopt;
  }
  return options;
}

}  // namespace vadoctl
