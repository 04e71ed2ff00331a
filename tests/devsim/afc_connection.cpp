#include "afc_connection.h"

#include <algorithm>

namespace devsim::testing {
namespace {

std::map<std::string, std::string> ToMap(char** list) {
  std::map<std::string, std::string> out;
  for (int i = 0; list && list[i] && list[i + 1]; i += 2) out[list[i]] = list[i + 1];
  if (list) afc_dictionary_free(list);
  return out;
}

}  // namespace

AfcConnection::AfcConnection(const std::string& udid, const char* service) {
  if (idevice_new_with_options(&device_, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    device_ = nullptr;
    return;
  }
  lockdownd_client_t lockdown = nullptr;
  if (lockdownd_client_new_with_handshake(device_, &lockdown, "devsim-test") != LOCKDOWN_E_SUCCESS) {
    return;
  }
  lockdownd_service_descriptor_t svc = nullptr;
  start_error_ = lockdownd_start_service(lockdown, service, &svc);
  lockdownd_client_free(lockdown);
  if (start_error_ != LOCKDOWN_E_SUCCESS) return;
  if (afc_client_new(device_, svc, &afc_) != AFC_E_SUCCESS) afc_ = nullptr;
  lockdownd_service_descriptor_free(svc);
}

AfcConnection::~AfcConnection() {
  if (afc_) afc_client_free(afc_);
  if (device_) idevice_free(device_);
}

std::map<std::string, std::string> AfcConnection::FileInfo(const std::string& path,
                                                           afc_error_t* err) const {
  char** info = nullptr;
  *err = afc_get_file_info(afc_, path.c_str(), &info);
  return ToMap(*err == AFC_E_SUCCESS ? info : nullptr);
}

std::map<std::string, std::string> AfcConnection::DeviceInfo() const {
  char** info = nullptr;
  if (afc_get_device_info(afc_, &info) != AFC_E_SUCCESS) return {};
  return ToMap(info);
}

bool AfcConnection::WriteFile(const std::string& path, const std::string& bytes) const {
  uint64_t h = 0;
  if (afc_file_open(afc_, path.c_str(), AFC_FOPEN_WRONLY, &h) != AFC_E_SUCCESS) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(bytes.size() - done, 4u << 20));
    uint32_t written = 0;
    ok = afc_file_write(afc_, h, bytes.data() + done, chunk, &written) == AFC_E_SUCCESS &&
         written == chunk;
    done += chunk;
  }
  return afc_file_close(afc_, h) == AFC_E_SUCCESS && ok;
}

bool AfcConnection::ReadFile(const std::string& path, std::string* bytes) const {
  uint64_t h = 0;
  if (afc_file_open(afc_, path.c_str(), AFC_FOPEN_RDONLY, &h) != AFC_E_SUCCESS) return false;
  bytes->clear();
  std::string buf(4u << 20, '\0');
  bool ok = true;
  for (;;) {
    uint32_t got = 0;
    if (afc_file_read(afc_, h, buf.data(), static_cast<uint32_t>(buf.size()), &got) != AFC_E_SUCCESS) {
      ok = false;
      break;
    }
    if (got == 0) break;
    bytes->append(buf.data(), got);
  }
  afc_file_close(afc_, h);
  return ok;
}

}  // namespace devsim::testing
