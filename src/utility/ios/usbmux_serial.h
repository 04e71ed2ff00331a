// Asks the usb multiplexer daemon which serial it attached under a device id. The serial
// is the identifier the multiplexer itself vouches for, so a device's own claim about its
// identifier can be checked against it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The daemon's socket: $USBMUXD_SOCKET_ADDRESS ("UNIX:/path" or a path), else the
// system's default.
std::string UsbmuxSocketPath();

// `serial` gets the SerialNumber of the device the daemon lists under `device_id`. False
// when the daemon cannot be asked within `deadline`, its answer is malformed, or it lists
// no such device.
bool UsbmuxSerial(uint32_t device_id, std::string* serial,
                  std::chrono::milliseconds deadline = std::chrono::seconds(2));
