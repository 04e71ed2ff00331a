// Low-level help for the lockdown conversation that libimobiledevice's API leaves out:
// a client created within a deadline, the socket under a client (so a deadline can be
// enforced on it), and recording the firmware version on a device handle without the extra
// TLS session libimobiledevice's own helper would make for it.
#pragma once

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <cstdint>
#include <memory>
#include <string>

#include "md_deadline.h"
#include "md_device.h"

namespace md {

// lockdownd_client_new within `limit`. The work runs on a helper thread that owns the link
// reference; past the limit the caller gets LOCKDOWN_E_RECEIVE_TIMEOUT at once and the
// helper frees whatever it still makes.
lockdownd_error_t NewLockdownClient(const std::shared_ptr<DeviceLink>& link, Millis limit,
                                    lockdownd_client_t* client);

// The socket of a lockdown client made on `device`, or -1 when it cannot be found safely.
int LockdownSocket(lockdownd_client_t client, idevice_t device);

// Reads ProductVersion on `client` (no session needed) and records it on `device`, which
// is what makes libimobiledevice offer the TLS versions that firmware speaks. False when
// the version could not be read or recorded; the caller then primes the old way.
bool RecordFirmwareVersion(lockdownd_client_t client, idevice_t device, const std::string& udid);

}  // namespace md
