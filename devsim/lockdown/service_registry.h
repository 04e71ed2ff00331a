// The device services lockdownd can start, by name. Each service lives in its own file and
// registers itself in builtin_services.cpp; lockdownd and the mux front end look them up here.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "mux/byte_stream.h"
#include "lockdown/sim_device.h"

namespace devsim {

// What a running service sees: its device, the stream to the host (TLS already set up when
// the service asked for it), and how it was started.
struct ServiceContext {
  SimDevice& device;
  ByteStream& stream;
  const PendingService& started;
  int fd = -1;  // the connection's socket, to notice a host that leaves during a stall
};

struct ServiceSpec {
  std::string name;
  // A passcode-locked device refuses the service with "PasswordProtected".
  bool needs_unlock = true;
  // Whether StartService asks for TLS on a USB link (network links always do).
  bool ssl_over_usb = false;
  // Whether this device offers the service at all; null means every device does.
  std::function<bool(const SimDevice&)> available;
  // Serves one connection until the host closes it.
  std::function<void(ServiceContext&)> run;
};

class ServiceRegistry {
 public:
  void Add(ServiceSpec service);
  // The service if it exists and this device offers it.
  const ServiceSpec* Find(const std::string& name, const SimDevice& device) const;

 private:
  std::map<std::string, ServiceSpec> services_;
};

// The registry with every service the simulator implements.
const ServiceRegistry& BuiltinServices();

}  // namespace devsim
