#include "md_lockdown.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "sigpipe_guard.h"

namespace md {
namespace {

// Layouts of libimobiledevice 1.3's private structures, as far as they are read here. Each
// use checks what it reads against values known from elsewhere before trusting it.
struct ConnectionHead {  // idevice_connection_private: starts with its device
  idevice_t device;
};
struct ServiceClientHead {  // service_client_private
  idevice_connection_t connection;
};
struct PropertyListClientHead {  // property_list_service_client_private
  ServiceClientHead* parent;
};
struct LockdownClientHead {  // lockdownd_client_private
  PropertyListClientHead* parent;
};
struct DeviceHead {  // idevice_private
  char* udid;
  uint32_t mux_id;
  int conn_type;
  void* conn_data;
  int version;
};

constexpr int kConnectionUsbmuxd = 1;
constexpr int kConnectionNetwork = 2;

int PackedVersion(int major, int minor, int patch) {
  return ((major & 0xFF) << 16) | ((minor & 0xFF) << 8) | (patch & 0xFF);
}

struct PendingClient {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;       // guarded by mutex
  bool abandoned = false;  // guarded by mutex
  lockdownd_client_t client = nullptr;
  lockdownd_error_t error = LOCKDOWN_E_UNKNOWN_ERROR;
};

}  // namespace

lockdownd_error_t NewLockdownClient(const std::shared_ptr<DeviceLink>& link, Millis limit,
                                    lockdownd_client_t* client) {
  *client = nullptr;
  auto pending = std::make_shared<PendingClient>();
  std::thread([pending, link] {
    SigpipeGuard guard;
    lockdownd_client_t made = nullptr;
    const lockdownd_error_t error = lockdownd_client_new(link->get(), &made, LockdownLabel());
    std::lock_guard<std::mutex> lock(pending->mutex);
    if (pending->abandoned) {
      if (made) lockdownd_client_free(made);
      return;
    }
    pending->client = made;
    pending->error = error;
    pending->done = true;
    pending->done_cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->done_cv.wait_for(lock, limit, [&] { return pending->done; })) {
    pending->abandoned = true;
    return LOCKDOWN_E_RECEIVE_TIMEOUT;
  }
  if (pending->error != LOCKDOWN_E_SUCCESS) {
    if (pending->client) lockdownd_client_free(pending->client);
    return pending->error;
  }
  *client = pending->client;
  return LOCKDOWN_E_SUCCESS;
}

int LockdownSocket(lockdownd_client_t client, idevice_t device) {
  if (!client || !device) return -1;
  auto* head = reinterpret_cast<LockdownClientHead*>(client);
  if (!head->parent || !head->parent->parent || !head->parent->parent->connection) return -1;
  idevice_connection_t connection = head->parent->parent->connection;
  // The connection names the device it was made on: anything else means the layout is not
  // the one expected.
  if (reinterpret_cast<ConnectionHead*>(connection)->device != device) return -1;
  int fd = -1;
  if (idevice_connection_get_fd(connection, &fd) != IDEVICE_E_SUCCESS || fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return -1;
  return fd;
}

bool RecordFirmwareVersion(lockdownd_client_t client, idevice_t device, const std::string& udid) {
  auto* head = reinterpret_cast<DeviceHead*>(device);
  uint32_t handle = 0;
  if (!head->udid || udid != head->udid ||
      idevice_get_handle(device, &handle) != IDEVICE_E_SUCCESS || handle != head->mux_id ||
      (head->conn_type != kConnectionUsbmuxd && head->conn_type != kConnectionNetwork)) {
    return false;
  }
  if (head->version != 0) return true;
  plist_t value = nullptr;
  if (lockdownd_get_value(client, nullptr, "ProductVersion", &value) != LOCKDOWN_E_SUCCESS ||
      !value || plist_get_node_type(value) != PLIST_STRING) {
    plist_free(value);
    return false;
  }
  char* text = nullptr;
  plist_get_string_val(value, &text);
  plist_free(value);
  int v[3] = {0, 0, 0};
  const bool parsed = text && std::sscanf(text, "%d.%d.%d", &v[0], &v[1], &v[2]) >= 2;
  free(text);
  if (!parsed || v[0] <= 0) return false;
  head->version = PackedVersion(v[0], v[1], v[2]);
  return true;
}

}  // namespace md
