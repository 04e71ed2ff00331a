#include "utility/module/itunes/backup_info_plist.h"

#include <chrono>
#include <fstream>
#include <random>

#include "common/afc_file_ops.h"
#include "common/binary_plist.h"
#include "common/cf_value_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_values.h"

namespace {

CMobileExportFun& Fun() { return CMobileExportFun::GetInstance(); }

// Containers are made without callbacks (values are stored as they are), so this owns
// every object it creates and releases them after the property list is written.
class CFPool {
 public:
  ~CFPool() {
    for (auto it = owned_.rbegin(); it != owned_.rend(); ++it) Fun().CFRelease(*it);
  }
  template <typename T>
  T Own(T object) {
    if (object != nullptr) owned_.push_back(object);
    return object;
  }
  CFMutableDictionaryRef Dictionary() {
    return Own(Fun().CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr));
  }
  CFMutableArrayRef Array() { return Own(Fun().CFArrayCreateMutable(nullptr, 0, nullptr)); }
  CFStringRef String(const std::string& text) {
    return Own(Fun().CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
  }
  CFDataRef Data(const std::string& bytes) {
    return Own(Fun().CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes.data()),
                                  static_cast<CFIndex>(bytes.size())));
  }

 private:
  std::vector<CFTypeRef> owned_;
};

CFStringRef Key(const char* key) { return Fun().__CFStringMakeConstantString(key); }

void Set(CFMutableDictionaryRef dict, const char* key, CFTypeRef value) {
  if (dict != nullptr && value != nullptr) Fun().CFDictionaryAddValue(dict, Key(key), value);
}

// A device value as text; "" when the device does not report it.
CFStringRef DeviceText(CFPool& pool, VadoDevice& device, const char* key) {
  CFTypeRef raw = CopyDeviceValue(device.device, key);
  std::string text;
  if (raw != nullptr && Fun().CFGetTypeID(raw) == kCFTypeIdString) {
    text = CFStringToUtf8(static_cast<CFStringRef>(raw));
  }
  if (raw != nullptr) Fun().CFRelease(raw);
  return pool.String(text);
}

constexpr const char* kItunesFiles[] = {
    "ApertureAlbumPrefs", "IC-Info.sidb",     "IC-Info.sidv",         "PhotosFolderAlbums",
    "PhotosFolderName",   "PhotosFolderPrefs", "VoiceMemos.plist",    "iPhotoAlbumPrefs",
    "iTunesApplicationIDs", "iTunesPrefs",     "iTunesPrefs.plist",   "Ringtones.plist",
};

}  // namespace

std::string MakeBackupGuid() {
  static constexpr char kDigits[] = "ABCDEF0123456789";
  std::mt19937 random(static_cast<uint32_t>(
      std::chrono::system_clock::now().time_since_epoch().count()));
  std::string guid;
  for (int i = 0; i < 32; ++i) guid += kDigits[random() % 16];
  return guid;
}

bool WriteInfoPlist(VadoDevice& device, AFCConnectionRef afc,
                    const std::vector<CFDictionaryRef>& apps, const IconFetcher& fetch_icon,
                    const std::string& path) {
  CMobileExportFun& fun = Fun();
  CFPool pool;
  CFMutableDictionaryRef info = pool.Dictionary();
  if (info == nullptr) return false;

  CFMutableDictionaryRef applications = pool.Dictionary();
  CFMutableArrayRef installed = pool.Array();
  for (CFDictionaryRef app : apps) {
    CFTypeRef id = fun.CFDictionaryGetValue(app, Key("CFBundleIdentifier"));
    if (id == nullptr || fun.CFGetTypeID(id) != kCFTypeIdString) continue;
    CFMutableDictionaryRef entry = pool.Dictionary();
    Set(entry, "ApplicationSINF", fun.CFDictionaryGetValue(app, Key("ApplicationSINF")));
    Set(entry, "iTunesMetadata", fun.CFDictionaryGetValue(app, Key("iTunesMetadata")));
    std::string png;
    if (fetch_icon && fetch_icon(CFStringToUtf8(static_cast<CFStringRef>(id)), &png)) {
      Set(entry, "PlaceholderIcon", pool.Data(png));
    }
    fun.CFDictionaryAddValue(applications, id, entry);
    fun.CFArrayAppendValue(installed, id);
  }
  Set(info, "Applications", applications);
  Set(info, "Build Version", DeviceText(pool, device, "BuildVersion"));
  Set(info, "Device Name", DeviceText(pool, device, "DeviceName"));
  Set(info, "Display Name", DeviceText(pool, device, "DeviceName"));
  Set(info, "GUID", pool.String(MakeBackupGuid()));
  Set(info, "ICCID", DeviceText(pool, device, "IntegratedCircuitCardIdentity"));
  Set(info, "IMEI", DeviceText(pool, device, "InternationalMobileEquipmentIdentity"));
  Set(info, "Installed Applications", installed);
  Set(info, "Last Backup Date", pool.Own(fun.CFDateCreate(nullptr, fun.CFAbsoluteTimeGetCurrent())));
  Set(info, "MEID", DeviceText(pool, device, "MobileEquipmentIdentifier"));
  Set(info, "Phone Number", DeviceText(pool, device, "PhoneNumber"));
  Set(info, "Product Type", DeviceText(pool, device, "ProductType"));
  Set(info, "Product Version", DeviceText(pool, device, "ProductVersion"));
  Set(info, "Serial Number", DeviceText(pool, device, "SerialNumber"));
  Set(info, "Target Identifier", DeviceText(pool, device, "UniqueDeviceID"));
  Set(info, "Target Type", pool.String("Device"));
  Set(info, "Unique Identifier", DeviceText(pool, device, "UniqueDeviceID"));

  if (afc != nullptr) {
    std::string bytes;
    if (CopyFileFromDevice(afc, "/Books/iBooksData2.plist", nullptr, &bytes)) {
      Set(info, "iBooks Data 2", pool.Data(bytes));
    }
    CFMutableDictionaryRef files = pool.Dictionary();
    for (const char* name : kItunesFiles) {
      bytes.clear();
      if (CopyFileFromDevice(afc, std::string("/iTunes_Control/iTunes/") + name, nullptr, &bytes)) {
        Set(files, name, pool.Data(bytes));
      }
    }
    Set(info, "iTunes Files", files);
  }
  Set(info, "iTunes Settings", pool.Dictionary());
  Set(info, "iTunes Version", pool.String("11.2.2.3"));

  BinaryPlistPtr binary = CFPropertyListToBytes(info, kCFPropertyListBinaryFormat_v1_0);
  if (!binary) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(binary->bytes), binary->length);
  return static_cast<bool>(out.flush());
}
