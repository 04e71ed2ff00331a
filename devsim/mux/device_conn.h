// Serves a mux connection that a client has connected to a device port: lockdownd on 62078,
// or a service port that StartService opened.
#pragma once

#include <memory>

#include "lockdown/service_registry.h"
#include "lockdown/sim_device.h"

namespace devsim {

constexpr uint16_t kLockdownPort = 62078;

// Both run until the host closes the connection; the caller closes fd afterwards.
void ServeLockdown(int fd, SimDevice& device, const ServiceRegistry& services);
void ServeService(int fd, SimDevice& device, const ServiceSpec& spec, const PendingService& started);

}  // namespace devsim
