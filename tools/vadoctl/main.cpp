// vadoctl: a command-line front end for VadoAgent.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "agent_process.h"
#include "cli_options.h"
#include "device_commands.h"
#include "device_session.h"
#include "device_service.h"
#include "frontend_link.h"
#include "readable_message.h"
#include "sync_commands.h"
#include "request_runner.h"

namespace {

void OnInterrupt(int) { vadoctl::SetInterrupted(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace vadoctl;
  using std::chrono::milliseconds;
  std::string error;
  std::optional<CliOptions> options = ParseCli(argc, argv, &error);
  if (!options) {
    std::fprintf(stderr, "vadoctl: %s (see vadoctl --help)\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(CliHelp().c_str(), stdout);
    std::fputs(SyncCommandsHelp().c_str(), stdout);
    return 0;
  }
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  bool readable = options->readable.value_or(::isatty(STDOUT_FILENO) == 1);
  if (const DeviceCommand* command = FindDeviceCommand(options->command)) {
    options->readable = readable;
    DeviceSession session;
    if (!session.Open(*options, &error, command->needs_device)) {
      std::fprintf(stderr, "vadoctl: %s\n", error.c_str());
      return 1;
    }
    return command->run(session, *options);
  }

  DeviceService devices;
  if (options->command == "run" && options->simulator) {
    if (!devices.Ensure(options->farm, &error)) {
      std::fprintf(stderr, "vadoctl: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "vadoctl: %s\n", devices.found().c_str());
  }

  FrontEndLink link;
  if (link.Listen() < 0) {
    std::fprintf(stderr, "vadoctl: cannot listen on 127.0.0.1\n");
    return 1;
  }
  options->launch.gui_port = link.port();
  AgentProcess agent;
  if (!agent.Start(options->launch, &error)) {
    std::fprintf(stderr, "vadoctl: %s\n", error.c_str());
    return 1;
  }
  if (!link.Accept(milliseconds(15000))) {
    int status = 0;
    if (agent.Exited(&status)) {
      std::fprintf(stderr, "vadoctl: the agent ended before connecting (status %d)\n", status);
    } else {
      std::fprintf(stderr, "vadoctl: the agent did not connect to port %d\n", link.port());
    }
    return 1;
  }
  std::fprintf(stderr, "vadoctl: agent %d connected on port %d\n", agent.pid(), link.port());

  int exit_code = 0;
  if (options->command == "send") {
    std::string payload = BuildRequestPayload(options->header, options->body, options->raw);
    if (!link.Send(options->command_id, options->task_id, options->kind, payload)) {
      std::fprintf(stderr, "vadoctl: sending the request failed\n");
      return 1;
    }
    auto deadline = std::chrono::steady_clock::now() + milliseconds(options->timeout_ms);
    exit_code = 3;
    while (!Interrupted() && !link.closed() && std::chrono::steady_clock::now() < deadline) {
      auto message = link.Receive(milliseconds(100));
      if (!message) continue;
      // The request's own messages; device events and status notifications only on
      // request.
      if (message->task_id != options->task_id && !options->all) continue;
      std::cout << message->ToJsonLine() << std::endl;
      rapidjson::Document header;
      header.Parse(message->header.c_str());
      if (IsRequestResult(*message, header) && message->task_id == options->task_id &&
          message->command_id == options->command_id) {
        exit_code = 0;
        break;
      }
    }
    if (exit_code == 3) std::fprintf(stderr, "vadoctl: no result for command %u\n", options->command_id);
  } else {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options->seconds);
    while (!Interrupted() && !link.closed() &&
           (options->seconds == 0 || std::chrono::steady_clock::now() < deadline)) {
      auto message = link.Receive(milliseconds(100));
      if (!message) continue;
      if (readable) {
        if (auto text = DescribeMessage(*message)) {
          std::cout << *text << std::endl;
          continue;
        }
      }
      std::cout << message->ToJsonLine() << std::endl;
    }
  }
  if (link.closed()) std::fprintf(stderr, "vadoctl: the agent closed the link\n");
  int status = agent.Stop();
  std::fprintf(stderr, "vadoctl: agent stopped (status %d)\n", status);
  return exit_code;
}
