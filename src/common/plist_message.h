// Property-list messages on a started service connection.
//
// Wire format, both directions, repeated per message:
//   uint32 length, big-endian   1 .. kMaxPlistMessageBytes
//   length bytes                one property list (binary when sent by us)
// A received length of 0 or above the limit ends the receive loop, as does a connection
// that fails or closes before a whole message has arrived. One buffer of the announced
// size is allocated per message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/binary_plist.h"
#include "iOSAPI/mobile_device_api.h"

constexpr uint32_t kMaxPlistMessageBytes = 0xA00000;  // 10 MiB

// Called once per received message. `read_another` is 0 on entry; set it nonzero to keep
// reading. `result` keeps its value across calls (0 before the first); the receive loop
// returns its final value.
using PlistReplyHandler = void (*)(void* context, const char* bytes, uint32_t length,
                                   int* read_another, uint32_t* result);

// Sends all `size` bytes; false when the connection fails first.
bool SendServiceBytes(AMDServiceConnectionRef connection, const uint8_t* data, size_t size);
// Reads exactly `size` bytes; false when the connection fails or closes first.
bool ReceiveServiceBytes(AMDServiceConnectionRef connection, uint8_t* data, size_t size);

// Sends the length and the bytes; true when every byte went out.
bool SendPlistMessage(AMDServiceConnectionRef connection, const BinaryPlist* message);

// Reads messages and hands each to `handler` until it stops asking for more or the
// connection ends; returns the handler's result (0 if it never set one).
uint32_t ReceivePlistMessages(AMDServiceConnectionRef connection, PlistReplyHandler handler,
                              void* context);

// SendPlistMessage followed by ReceivePlistMessages; the send result is not consulted, as
// a failed send shows up as a connection that yields no reply.
uint32_t ExchangePlistMessages(AMDServiceConnectionRef connection, const BinaryPlist* message,
                               PlistReplyHandler handler, void* context);
