#include "utility/ios/vado_device_connection.h"

#include <map>
#include <mutex>

#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_errors.h"

namespace {

struct ConnectionRegistry {
  std::mutex mutex;
  std::map<AMDeviceRef, std::weak_ptr<VadoDeviceConnection>> entries;  // guarded by mutex
};
struct SessionRegistry {
  std::mutex mutex;
  std::map<AMDeviceRef, std::weak_ptr<VadoDeviceSession>> entries;  // guarded by mutex
};

ConnectionRegistry& Connections() {
  static ConnectionRegistry* registry = new ConnectionRegistry();
  return *registry;
}

SessionRegistry& Sessions() {
  static SessionRegistry* registry = new SessionRegistry();
  return *registry;
}

CMobileExportFun& Fun() { return CMobileExportFun::GetInstance(); }

}  // namespace

VadoDeviceConnection::~VadoDeviceConnection() { Fun().AMDeviceDisconnect(device_); }

bool VadoDeviceConnection::Connect() {
  CMobileExportFun& fun = Fun();
  if (fun.AMDeviceConnect(device_) != 0) {
    fun.AMDeviceDisconnect(device_);
    if (fun.AMDeviceConnect(device_) != 0) return false;
  }
  connection_id_ = fun.AMDeviceGetConnectionID(device_);
  return true;
}

VadoDeviceSession::~VadoDeviceSession() { Fun().AMDeviceStopSession(device_); }

ConnectionPtr GetConnection(AMDeviceRef device) {
  ConnectionRegistry& registry = Connections();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (ConnectionPtr live = registry.entries[device].lock()) return live;
  auto connection = std::make_shared<VadoDeviceConnection>(device);
  if (!connection->Connect()) return nullptr;
  registry.entries[device] = connection;
  return connection;
}

SessionPtr CreateSession(AMDeviceRef device, int32_t* error) {
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
  return std::make_shared<VadoDeviceSession>(device, std::move(connection));
}

SessionPtr GetSession(AMDeviceRef device, int32_t* error) {
  SessionRegistry& registry = Sessions();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (SessionPtr live = registry.entries[device].lock()) return live;
  SessionPtr session = CreateSession(device, error);
  if (session) registry.entries[device] = session;
  return session;
}

SessionPtr RenewSession(AMDeviceRef device, int32_t* error) {
  SessionRegistry& registry = Sessions();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.entries.erase(device);
  SessionPtr session = CreateSession(device, error);
  if (session) registry.entries[device] = session;
  return session;
}

void ForgetDeviceLinks(AMDeviceRef device) {
  {
    SessionRegistry& registry = Sessions();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.entries.erase(device);
  }
  ConnectionRegistry& registry = Connections();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.entries.erase(device);
}
