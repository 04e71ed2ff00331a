// Connections to a device and paired lockdown sessions on them. Both are shared: the
// process-wide registries hold weak references, so the last holder's release
// disconnects or stops the session, and concurrent requests reuse live ones.
#pragma once

#include <cstdint>
#include <memory>

#include "iOSAPI/mobile_device_api.h"

class VadoDeviceConnection {
 public:
  explicit VadoDeviceConnection(AMDeviceRef device) : device_(device) {}
  ~VadoDeviceConnection();
  VadoDeviceConnection(const VadoDeviceConnection&) = delete;
  VadoDeviceConnection& operator=(const VadoDeviceConnection&) = delete;

  // Connects, retrying once after a disconnect; stores the connection id.
  bool Connect();
  uint32_t connection_id() const { return connection_id_; }
  AMDeviceRef device() const { return device_; }

 private:
  uint32_t connection_id_ = 0;
  AMDeviceRef device_;
};

class VadoDeviceSession {
 public:
  VadoDeviceSession(AMDeviceRef device, std::shared_ptr<VadoDeviceConnection> connection)
      : device_(device), connection_(std::move(connection)) {}
  ~VadoDeviceSession();
  VadoDeviceSession(const VadoDeviceSession&) = delete;
  VadoDeviceSession& operator=(const VadoDeviceSession&) = delete;

  AMDeviceRef device() const { return device_; }

 private:
  AMDeviceRef device_;
  std::shared_ptr<VadoDeviceConnection> connection_;  // kept alive by the session
};

using ConnectionPtr = std::shared_ptr<VadoDeviceConnection>;
using SessionPtr = std::shared_ptr<VadoDeviceSession>;

// The live connection of the device, or a new one that connected.
ConnectionPtr GetConnection(AMDeviceRef device);
// The live session of the device, or a new one (`error` gets the reason on failure).
SessionPtr GetSession(AMDeviceRef device, int32_t* error);
// Always a new session, replacing the registry's reference (arrival, trust).
SessionPtr RenewSession(AMDeviceRef device, int32_t* error);
// Pairs, validates and starts a session: 24 no connection, 25 not paired (pairing was
// requested), 26 validation failed, 27 session refused.
SessionPtr CreateSession(AMDeviceRef device, int32_t* error);
// Forgets the registries' entries of a departed device.
void ForgetDeviceLinks(AMDeviceRef device);
