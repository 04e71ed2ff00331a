// Connections to a device and paired lockdown sessions on them. Both are shared: the
// process-wide registry holds weak references, so the last holder's release
// disconnects or stops the session, and concurrent requests reuse live ones.
//
// Locking: the registry mutex guards only the map and is never held across a call into
// the device library. Each device has its own set-up mutex that serialises that device's
// connect, pairing, session start and stop, so a slow or stalled device delays only
// requests for itself.
//
// Every connection and session carries the generation it was created under. A release
// disconnects or stops only when its generation is still the device's current one: after
// a re-attach (device handles are reused) or a renewed session, an old holder's release
// leaves the newer link alone.
#pragma once

#include <cstdint>
#include <memory>

#include "iOSAPI/mobile_device_api.h"

class VadoDeviceConnection {
 public:
  VadoDeviceConnection(AMDeviceRef device, uint64_t generation)
      : device_(device), generation_(generation) {}
  ~VadoDeviceConnection();
  VadoDeviceConnection(const VadoDeviceConnection&) = delete;
  VadoDeviceConnection& operator=(const VadoDeviceConnection&) = delete;

  // Connects, retrying once after a disconnect; stores the connection id.
  bool Connect();
  uint32_t connection_id() const { return connection_id_; }
  AMDeviceRef device() const { return device_; }
  uint64_t generation() const { return generation_; }

 private:
  uint32_t connection_id_ = 0;
  AMDeviceRef device_;
  const uint64_t generation_;
};

class VadoDeviceSession {
 public:
  VadoDeviceSession(AMDeviceRef device, std::shared_ptr<VadoDeviceConnection> connection,
                    uint64_t generation)
      : device_(device), connection_(std::move(connection)), generation_(generation) {}
  ~VadoDeviceSession();
  VadoDeviceSession(const VadoDeviceSession&) = delete;
  VadoDeviceSession& operator=(const VadoDeviceSession&) = delete;

  AMDeviceRef device() const { return device_; }
  uint64_t generation() const { return generation_; }

 private:
  AMDeviceRef device_;
  std::shared_ptr<VadoDeviceConnection> connection_;  // kept alive by the session
  const uint64_t generation_;
};

using ConnectionPtr = std::shared_ptr<VadoDeviceConnection>;
using SessionPtr = std::shared_ptr<VadoDeviceSession>;

// The live connection of the device, or a new one that connected.
ConnectionPtr GetConnection(AMDeviceRef device);
// The live session of the device, or a new one (`error` gets the reason on failure).
// Concurrent callers for one device get the same session.
SessionPtr GetSession(AMDeviceRef device, int32_t* error);
// Always a new session, replacing the registry's reference (arrival, trust).
SessionPtr RenewSession(AMDeviceRef device, int32_t* error);
// Pairs, validates and starts a session: 24 no connection, 25 not paired (pairing was
// requested), 26 validation failed, 27 session refused. Not registered: callers use
// GetSession or RenewSession.
SessionPtr CreateSession(AMDeviceRef device, int32_t* error);
// Forgets the registry's entries of a departed device; links still held by requests
// become stale and their release no longer touches the device handle.
void ForgetDeviceLinks(AMDeviceRef device);
