// vadoctl's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent_process.h"

namespace vadoctl {

struct CliOptions {
  std::string command = "run";  // run | send | a device subcommand
  std::vector<std::string> args;  // a device subcommand's arguments
  std::string udid;               // device subcommands: the device (default: the first)
  std::string password;           // restore: the backup's password
  std::string out_dir;            // icons: where the PNG files go
  std::string device_dir;         // push: the device folder (--dir)
  bool book = false;              // push: into the books folder (--book)
  std::string backup_dir;         // wipe: the backup restored afterwards (--backup)
  int64_t level = -1;             // wipe-free: the number of passes (--level)
  std::string title, content, record_id;  // notes add: --title, --content, --id
  std::string via;                // messages: backup | snapshot | cached
  std::string chat;               // messages: one conversation's messages (its chat id)
  int64_t album_type = 0;         // photos album: the album's type (--type)
  bool refresh = false;           // photos: copy the device's library again (--refresh)
  bool compact = false;           // record lists: one line of JSON
  int device_wait_ms = 30000;     // how long to wait for the device
  int request_timeout_ms = 30 * 60 * 1000;  // how long a device command may run
  AgentLaunch launch;
  int seconds = 5;              // run: how long to watch; 0 until interrupted
  int timeout_ms = 30000;       // send: how long to wait for the result
  bool help = false;
  // send
  uint32_t command_id = 0;
  uint64_t task_id = 1;
  uint16_t kind = 0;
  std::string header = "{\"uuid\":\"\"}";
  std::string body;
  bool raw = false;
  bool all = false;  // send: also print messages of other tasks
  // run
  bool simulator = true;            // start vado-devsimd when no device service runs
  std::string farm;                 // its farm; empty: the bundled sample farm
  std::optional<bool> readable;     // plain text for device events; default: on a terminal
};

// Parses argv; on a usage error returns nothing and fills `error`.
std::optional<CliOptions> ParseCli(int argc, char** argv, std::string* error);
std::string CliHelp();

}  // namespace vadoctl
