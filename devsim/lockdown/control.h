// The simulator's own control messages (plug, unplug, trust, deny, lock, unlock, fault, list).
// They travel on the mux socket as property-list packets with their own MessageType, which
// real clients never send.
#pragma once

#include <string>
#include <vector>

#include "plist/plist_ptr.h"

namespace devsim {

constexpr const char* kControlMessageType = "DevsimControl";

class Daemon;
// Daemon side: acts on {MessageType, Command, UDID, Name, Arg} and answers
// {MessageType: Result, Number, Message, [Devices]}; Number 0 is success.
Plist HandleControl(Daemon& daemon, plist_t request);

// Client side: sends one command to the daemon at socket_path, prints the outcome, returns
// the process exit status.
int RunControlCommand(const std::string& socket_path, const std::vector<std::string>& args);

}  // namespace devsim
