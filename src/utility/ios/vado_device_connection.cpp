#include "utility/ios/vado_device_connection.h"

#include <map>
#include <mutex>

#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_errors.h"

namespace {

// One device's entry. The entry lives as long as the process: device handles are never
// freed by the library and are reused when the same device comes back.
struct DeviceLinks {
  // Serialises this device's connect, pairing, session start and stop, and releases.
  // Recursive: a failed set-up may drop the last reference of a link it just made,
  // whose release takes this mutex again on the same thread.
  std::recursive_mutex setup;
  // The fields below are guarded by LinkRegistry::mutex.
  std::weak_ptr<VadoDeviceConnection> connection;
  std::weak_ptr<VadoDeviceSession> session;
  uint64_t connection_generation = 0;  // of the newest connection made
  uint64_t session_generation = 0;     // of the newest session made
  uint64_t departures = 0;             // counts ForgetDeviceLinks calls
};

struct LinkRegistry {
  std::mutex mutex;  // guards entries and every entry's weak references and generations
  std::map<AMDeviceRef, std::shared_ptr<DeviceLinks>> entries;
};

LinkRegistry& Registry() {
  static LinkRegistry* registry = new LinkRegistry();
  return *registry;
}

std::shared_ptr<DeviceLinks> LinksOf(AMDeviceRef device) {
  LinkRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::shared_ptr<DeviceLinks>& links = registry.entries[device];
  if (!links) links = std::make_shared<DeviceLinks>();
  return links;
}


// Runs `release` when `generation` is still the current one of `field`, with the device's
// set-up mutex held so that no newer link can be made in between.
template <typename Release>
void ReleaseIfCurrent(AMDeviceRef device, uint64_t DeviceLinks::*field, uint64_t generation,
                      Release release) {
  std::shared_ptr<DeviceLinks> links = LinksOf(device);
  std::lock_guard<std::recursive_mutex> setup(links->setup);
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    if ((*links).*field != generation) return;
  }
  release();
}

ConnectionPtr LockLive(const std::weak_ptr<VadoDeviceConnection>& weak) { return weak.lock(); }

}  // namespace

VadoDeviceConnection::~VadoDeviceConnection() {
  AMDeviceRef device = device_;
  ReleaseIfCurrent(device_, &DeviceLinks::connection_generation, generation_,
                   [device] { Fun().AMDeviceDisconnect(device); });
}

bool VadoDeviceConnection::Connect() {
  CMobileExportFun& fun = Fun();
  if (fun.AMDeviceConnect(device_) != 0) {
    fun.AMDeviceDisconnect(device_);
    if (fun.AMDeviceConnect(device_) != 0) return false;
  }
  connection_id_ = fun.AMDeviceGetConnectionID(device_);
  return true;
}

VadoDeviceSession::~VadoDeviceSession() {
  AMDeviceRef device = device_;
  ReleaseIfCurrent(device_, &DeviceLinks::session_generation, generation_,
                   [device] { Fun().AMDeviceStopSession(device); });
  // The connection reference drops after the session is stopped.
}

ConnectionPtr GetConnection(AMDeviceRef device) {
  std::shared_ptr<DeviceLinks> links = LinksOf(device);
  std::lock_guard<std::recursive_mutex> setup(links->setup);
  uint64_t generation = 0;
  uint64_t departures = 0;
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    if (ConnectionPtr live = LockLive(links->connection)) return live;
    generation = ++links->connection_generation;
    departures = links->departures;
  }
  auto connection = std::make_shared<VadoDeviceConnection>(device, generation);
  if (!connection->Connect()) return nullptr;
  std::lock_guard<std::mutex> lock(Registry().mutex);
  // A connection made while the device left is not offered to later requests.
  if (links->departures == departures) links->connection = connection;
  return connection;
}

namespace {

// CreateSession's steps; the caller holds the device's set-up mutex. `generation` is the
// session's own.
SessionPtr CreateSessionLocked(AMDeviceRef device, int32_t* error, uint64_t generation) {
  CMobileExportFun& fun = Fun();
  ConnectionPtr connection = GetConnection(device);
  if (!connection) {
    *error = kDeviceErrorNoConnection;
    return nullptr;
  }
  if (fun.AMDeviceIsPaired(device) == 0) {
    // The user answers the trust prompt on the device; trust authorisation then
    // renews the session.
    fun.AMDevicePair(device);
    *error = kDeviceErrorNotPaired;
    return nullptr;
  }
  if (fun.AMDeviceValidatePairing(device) != 0) {
    *error = kDeviceErrorPairingInvalid;
    return nullptr;
  }
  // A session left open by an earlier holder is restarted cleanly.
  fun.AMDeviceStartSession(device);
  fun.AMDeviceStopSession(device);
  if (fun.AMDeviceStartSession(device) != 0) {
    *error = kDeviceErrorSessionStart;
    return nullptr;
  }
  *error = kDeviceErrorNone;
  return std::make_shared<VadoDeviceSession>(device, std::move(connection), generation);
}

// Makes a session under the device's set-up mutex and registers it; with `reuse`, a live
// registered session is returned instead.
SessionPtr MakeSession(AMDeviceRef device, int32_t* error, bool reuse) {
  std::shared_ptr<DeviceLinks> links = LinksOf(device);
  std::lock_guard<std::recursive_mutex> setup(links->setup);
  uint64_t generation = 0;
  uint64_t departures = 0;
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    departures = links->departures;
    if (reuse) {
      if (SessionPtr live = links->session.lock()) return live;
    }
    links->session.reset();
    // From here on an older session's release must not stop the one being made: the
    // start below replaces the device's session in any case.
    generation = ++links->session_generation;
  }
  SessionPtr session = CreateSessionLocked(device, error, generation);
  if (session) {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    // A session made while the device left is not offered to later requests.
    if (links->departures == departures) links->session = session;
  }
  return session;
}

}  // namespace

SessionPtr CreateSession(AMDeviceRef device, int32_t* error) {
  std::shared_ptr<DeviceLinks> links = LinksOf(device);
  std::lock_guard<std::recursive_mutex> setup(links->setup);
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    generation = ++links->session_generation;
  }
  return CreateSessionLocked(device, error, generation);
}

SessionPtr GetSession(AMDeviceRef device, int32_t* error) {
  // A live session is found without waiting for another request's set-up.
  {
    std::shared_ptr<DeviceLinks> links = LinksOf(device);
    std::lock_guard<std::mutex> lock(Registry().mutex);
    if (SessionPtr live = links->session.lock()) return live;
  }
  return MakeSession(device, error, true);
}

SessionPtr RenewSession(AMDeviceRef device, int32_t* error) {
  return MakeSession(device, error, false);
}

void ForgetDeviceLinks(AMDeviceRef device) {
  std::shared_ptr<DeviceLinks> links = LinksOf(device);
  std::lock_guard<std::mutex> lock(Registry().mutex);
  links->session.reset();
  links->connection.reset();
  // Links still held belong to the departed attachment; their release must not reach
  // the links of the device's next attachment.
  ++links->session_generation;
  ++links->connection_generation;
  ++links->departures;
}
