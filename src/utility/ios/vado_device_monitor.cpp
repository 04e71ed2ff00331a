#include "utility/ios/vado_device_monitor.h"

#include <glog/logging.h>

#include <cstdio>
#include <cstdlib>

#include "common/json_text.h"
#include "common/launch_options.h"
#include "common/message_sections.h"
#include "common/number_parse.h"
#include "common/afc_file_ops.h"
#include "common/text_convert.h"
#include "common/thread_pool.h"
#include "iOSAPI/MobileExportFun.h"
#include "platform/process.h"
#include "utility/ios/device_errors.h"
#include "utility/ios/device_identity.h"
#include "utility/ios/usbmux_serial.h"
#include "utility/ios/device_values.h"
#include "utility/ios/vado_client.h"
#include "utility/ios/vado_device_connection.h"
#include "utility/ios/vado_device_service.h"

namespace {

constexpr int kInterfaceUsb = 1;
constexpr unsigned int kMessageAttached = 1;
constexpr unsigned int kMessageDetached = 2;
constexpr unsigned int kMessageUnknown = 3;
constexpr unsigned int kMessageTrusted = 4;
// Devices below this version number (major x 10 + minor) are not supported.
constexpr uint32_t kMinimumVersion = 42;

// The device service that must be running: the usb multiplexer or the simulator.
std::string DeviceServicePatterns() {
  const char* override_patterns = std::getenv("VADO_DEVICE_SERVICE");
  return override_patterns != nullptr ? override_patterns : "usbmuxd;vado-devsimd";
}

// A text value of the default domain; the field stays empty when it is not text.
void ReadText(AMDeviceRef device, const char* key, std::u16string* field) {
  PlistValue value;
  if (GetDeviceValue(device, "", key, &value) && value.tag() == kPlistText) *field = value.text();
}

// The identity texts as read, before they are published on the device.
struct Identity {
  std::u16string product_version;
  std::u16string name;
  std::u16string unique_device_id;
  std::u16string serial_number;
  std::u16string device_class;
  std::u16string chip_id;
};

// The reported identifier, or empty when it is not an acceptable one for this device.
std::u16string CheckedIdentifier(AMDeviceRef device, const std::u16string& reported) {
  if (reported.empty()) return reported;
  std::string mux_serial;
  UsbmuxSerial(CMobileExportFun::GetInstance().AMDeviceGetConnectionID(device), &mux_serial);
  if (AcceptDeviceIdentifier(Utf16ToUtf8(reported), mux_serial)) return reported;
  LOG(WARNING) << "device reported an unacceptable identifier; refused";
  return std::u16string();
}

}  // namespace

uint32_t VersionNumber(const std::u16string& product_version) {
  std::string text = Utf16ToUtf8(product_version);
  size_t dot = text.find('.');
  uint32_t major = static_cast<uint32_t>(ParseLeadingInt(text.substr(0, dot)));
  uint32_t minor = 0;
  if (dot != std::string::npos) {
    std::string rest = text.substr(dot + 1);
    minor = static_cast<uint32_t>(ParseLeadingInt(rest.substr(0, rest.find('.'))));
  }
  return major * 10 + minor;
}

VadoDeviceMonitor& VadoDeviceMonitor::GetInstance() {
  static VadoDeviceMonitor* monitor = new VadoDeviceMonitor();
  return *monitor;
}

VadoDevicePtr VadoDeviceMonitor::FindDeviceById(const std::u16string& unique_device_id) const {
  for (const VadoDevicePtr& device : devices_) {
    if (device->unique_device_id == unique_device_id) return device;
  }
  return nullptr;
}

VadoDevicePtr VadoDeviceMonitor::FindDeviceByHandle(DeviceRef handle) const {
  for (const VadoDevicePtr& device : devices_) {
    if (device->device == handle) return device;
  }
  return nullptr;
}

void VadoDeviceMonitor::AddDevice(const VadoDevicePtr& device) { devices_.push_back(device); }

VadoDevicePtr VadoDeviceMonitor::RemoveDevice(DeviceRef handle) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if ((*it)->device == handle) {
      VadoDevicePtr device = *it;
      devices_.erase(it);
      return device;
    }
  }
  return nullptr;
}

int32_t VadoDeviceMonitor::AddCallback(VadoDeviceCallback* callback) {
  int32_t number = ++callback_counter_;
  callbacks_[number] = callback;
  return number;
}

void VadoDeviceMonitor::RemoveCallback(int32_t number) { callbacks_.erase(number); }

void VadoDeviceMonitor::Notify(const VadoDevicePtr& device, int event) {
  for (auto& [number, callback] : callbacks_) callback->OnDeviceEvent(device, event);
}

VadoDevicePtr VadoDeviceMonitor::FindByRequestId(const std::string& uuid) {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindDeviceById(Utf8ToUtf16(uuid));
}

int32_t VadoDeviceMonitor::StartMonitoring() {
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    if (running_) return kMonitorStarted;
    start_done_ = false;
  }
  BASThreadPool::GetInstance().Submit([this] { RunMonitorTask(); });
  std::unique_lock<std::mutex> lock(start_mutex_);
  start_cv_.wait(lock, [&] { return start_done_; });
  return start_result_;
}

void VadoDeviceMonitor::RunMonitorTask() {
  int32_t result = kMonitorStarted;
  bool run_loop = false;
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    if (!running_) {
      result = InitMonitoring();
      running_ = result == kMonitorStarted;
      run_loop = running_;
    }
    start_result_ = result;
    start_done_ = true;
  }
  start_cv_.notify_all();
  if (!run_loop) return;
  LOG(INFO) << "RunLoop Before";
  CMobileExportFun::GetInstance().CFRunLoopRun();
  LOG(INFO) << "RunLoop After";
}

int32_t VadoDeviceMonitor::InitMonitoring() {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  LOG(INFO) << "CMobileExportFun::GetInstance().Init() Before";
  if (!fun.Init()) return kMonitorNoLibrary;
  LOG(INFO) << "CMobileExportFun::GetInstance().Init() Finish";
  if (!platform::IsProcessRunning(DeviceServicePatterns())) return kMonitorNoDeviceService;
  LOG(INFO) << "device service running";
  if (fun.AMDeviceNotificationSubscribe(&VadoDeviceMonitor::OnNotification, 0, 0, this,
                                        &subscription_) != 0) {
    return kMonitorSubscribeFailed;
  }
  return kMonitorStarted;
}

void VadoDeviceMonitor::OnNotification(AMDeviceNotificationCallbackInfo* info, void* context) {
  if (info == nullptr || context == nullptr) return;
  static_cast<VadoDeviceMonitor*>(context)->HandleNotification(info->device, info->message);
}

void VadoDeviceMonitor::HandleNotification(AMDeviceRef handle, unsigned int message) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  // Only devices on a cable are served.
  if (fun.AMDeviceGetInterfaceType(handle) != kInterfaceUsb) return;
  bool normal_mode = Launch().run_mode == 0;

  if (message == kMessageAttached) {
    auto device = std::make_shared<VadoDevice>(handle);
    if (normal_mode) SendStatus(kStatusDeviceAttached, device.get());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      AddDevice(device);
    }
    QueuePrepare(device, false);
  } else if (message == kMessageDetached) {
    std::printf("Disconnected: %p\n", static_cast<void*>(handle));
    std::fflush(stdout);
    ForgetDeviceLinks(handle);
    ForgetDeviceServices(handle);
    std::unique_lock<std::mutex> lock(mutex_);
    VadoDevicePtr device = RemoveDevice(handle);
    if (!device) return;
    device->state = kDeviceGone;
    if (!device->unique_device_id.empty()) {
      Notify(device, kDeviceEventGone);
    } else {
      lock.unlock();
      if (normal_mode) SendStatus(kStatusDeviceGoneBeforeReady, device.get());
    }
  } else if (message == kMessageUnknown) {
    std::printf("kUnknown: %p\n", static_cast<void*>(handle));
    std::fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    if (VadoDevicePtr device = FindDeviceByHandle(handle)) Notify(device, kDeviceEventUnknown);
  } else if (message == kMessageTrusted) {
    std::printf("kTrustAuthorization: %p\n", static_cast<void*>(handle));
    std::fflush(stdout);
    VadoDevicePtr device;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      device = FindDeviceByHandle(handle);
    }
    if (!device) return;
    QueuePrepare(device, true);
  }
}

void VadoDeviceMonitor::QueuePrepare(const VadoDevicePtr& device, bool trusted) {
  VadoDevicePtr target = device;
  BASThreadPool::GetInstance().Submit([this, target, trusted] { PrepareDevice(target, trusted); });
}

void VadoDeviceMonitor::PrepareDevice(const VadoDevicePtr& device, bool trusted) {
  std::lock_guard<std::mutex> ready(device->ready_mutex);
  if (device->state == kDeviceGone) return;
  if (trusted) device->state = kDeviceTrustReceived;
  int32_t error = kDeviceErrorNone;
  // Held until the device is ready, so reading its values reuses this session.
  SessionPtr session = RenewSession(device->device, &error);
  if (error != kDeviceErrorNone || !session) {
    if (Launch().run_mode == 0) ReportError(*device, error != 0 ? error : kDeviceErrorNoSession);
    return;
  }
  if (device->state != kDeviceReady) DeviceReadyLocked(device);
}

int32_t VadoDeviceMonitor::DeviceReady(const VadoDevicePtr& device) {
  std::lock_guard<std::mutex> ready(device->ready_mutex);
  if (device->state == kDeviceReady) return kDeviceErrorNone;
  return DeviceReadyLocked(device);
}

int32_t VadoDeviceMonitor::DeviceReadyLocked(const VadoDevicePtr& device) {
  int32_t error = LoadDeviceInfo(*device);
  if (error != kDeviceErrorNone) {
    if (Launch().run_mode == 0) ReportError(*device, error);
    return error;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // A device unplugged while it was read has had its departure reported already.
  if (device->state == kDeviceGone) return kDeviceErrorNone;
  device->state = kDeviceReady;
  Notify(device, kDeviceEventReady);
  return kDeviceErrorNone;
}

int32_t VadoDeviceMonitor::LoadDeviceInfo(VadoDevice& device) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  int32_t error = kDeviceErrorNone;
  SessionPtr session = GetSession(device.device, &error);
  if (!session) return error != kDeviceErrorNone ? error : kDeviceErrorNoSession;

  Identity read;
  ReadText(device.device, "ProductVersion", &read.product_version);
  ReadText(device.device, "DeviceName", &read.name);
  ReadText(device.device, "UniqueDeviceID", &read.unique_device_id);
  ReadText(device.device, "SerialNumber", &read.serial_number);
  ReadText(device.device, "DeviceClass", &read.device_class);
  PlistValue chip;
  if (GetDeviceValue(device.device, "", "UniqueChipID", &chip) && chip.tag() == kPlistInt64) {
    read.chip_id = Utf8ToUtf16(std::to_string(chip.int64()));
  }
  // The identifier names local folders and matches requests: a device that reports
  // anything else than its own plain identifier is not served.
  if (!read.unique_device_id.empty() &&
      CheckedIdentifier(device.device, read.unique_device_id).empty()) {
    return kDeviceErrorBadIdentifier;
  }
  {
    // Published together under the monitor mutex, which lookups by identifier hold.
    std::lock_guard<std::mutex> lock(mutex_);
    if (device.unique_device_id.empty()) {
      device.product_version = read.product_version;
      device.name = read.name;
      device.unique_device_id = read.unique_device_id;
      device.serial_number = read.serial_number;
      device.device_class = read.device_class;
      device.chip_id = read.chip_id;
    }
  }
  device.version_number = VersionNumber(read.product_version);
  if ((read.device_class == u"iPhone" || read.device_class == u"iPod") &&
      device.version_number < kMinimumVersion) {
    return kDeviceErrorUnsupportedFirmware;
  }

  ServicePtr afc = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!afc) return error != kDeviceErrorNone ? error : kDeviceErrorAfcService;
  AFCDictionaryRef info = nullptr;
  if (fun.AFCDeviceInfoOpen(afc->afc(), &info) != 0 || info == nullptr) return kDeviceErrorAfcInfo;
  char* key = nullptr;
  char* value = nullptr;
  std::u16string model;
  while (fun.AFCKeyValueRead(info, &key, &value) == 0 && key != nullptr && value != nullptr) {
    std::string name = key;
    if (name == "FSTotalBytes") device.total_bytes = ParseLeadingInt64(value);
    else if (name == "FSFreeBytes") device.free_bytes = ParseLeadingInt64(value);
    else if (name == "Model") model = Utf8ToUtf16(value);
  }
  fun.AFCKeyValueClose(info);
  std::lock_guard<std::mutex> lock(mutex_);
  if (device.model.empty()) device.model = std::move(model);
  return kDeviceErrorNone;
}

void VadoDeviceMonitor::ReportError(const VadoDevice& device, int32_t error) {
  LOG(INFO) << "error code: " << error;
  if (status_client_ == nullptr) return;
  std::u16string name;
  std::u16string id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    name = device.name;
    id = device.unique_device_id;
  }
  if (id.empty()) {
    // Not loaded (not trusted yet, or locked): the device tells its name and identifier
    // without a session, so the front end can say which device needs the user.
    ReadText(device.device, "DeviceName", &name);
    std::u16string reported;
    ReadText(device.device, "UniqueDeviceID", &reported);
    id = CheckedIdentifier(device.device, reported);
  }
  std::string body = "{\"DeviceName\":" + JsonQuote(Utf16ToUtf8(name)) + "}";
  ReplyRecord record;
  record.code = device.HandleValue();
  record.uuid = Utf16ToUtf8(id);
  record.info = "\"" + std::to_string(error) + "\"";
  record.body = body;
  bas::PacketHeader header;
  header.command_id = kStatusDeviceError;
  header.kind = 1;
  status_client_->SendReply(record, header);
}

void VadoDeviceMonitor::SendStatus(int32_t status, const VadoDevice* device) {
  if (status_client_ != nullptr) {
    status_client_->NotifyStatus(status, device != nullptr ? device->HandleValue() : 0);
  }
}
