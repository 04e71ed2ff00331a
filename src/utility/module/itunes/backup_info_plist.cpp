#include "utility/module/itunes/backup_info_plist.h"

#include <chrono>
#include <fstream>
#include <random>

#include "common/afc_file_ops.h"
#include "common/binary_plist.h"
#include "common/cf_plist_builder.h"
#include "common/cf_value_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_values.h"

namespace {


CFStringRef Key(const char* key) { return Fun().__CFStringMakeConstantString(key); }

// A device value as text; "" when the device does not report it.
CFStringRef DeviceText(CFPlistBuilder& plist, VadoDevice& device, const char* key) {
  CFTypeRef raw = CopyDeviceValue(device.device, key);
  std::string text;
  if (raw != nullptr && Fun().CFGetTypeID(raw) == kCFTypeIdString) {
    text = CFStringToUtf8(static_cast<CFStringRef>(raw));
  }
  if (raw != nullptr) Fun().CFRelease(raw);
  return plist.String(text);
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
  CFPlistBuilder plist;
  CFMutableDictionaryRef info = plist.Dictionary();

  CFMutableDictionaryRef applications = plist.Dictionary();
  CFMutableArrayRef installed = plist.Array();
  for (CFDictionaryRef app : apps) {
    CFTypeRef id = fun.CFDictionaryGetValue(app, Key("CFBundleIdentifier"));
    if (id == nullptr || fun.CFGetTypeID(id) != kCFTypeIdString) continue;
    CFMutableDictionaryRef entry = plist.Dictionary();
    for (const char* key : {"ApplicationSINF", "iTunesMetadata"}) {
      if (CFTypeRef value = fun.CFDictionaryGetValue(app, Key(key))) plist.Set(entry, key, value);
    }
    std::string png;
    if (fetch_icon && fetch_icon(CFStringToUtf8(static_cast<CFStringRef>(id)), &png)) {
      plist.Set(entry, "PlaceholderIcon", plist.Data(png));
    }
    plist.Set(applications, static_cast<CFStringRef>(id), entry);
    plist.Append(installed, id);
  }
  plist.Set(info, "Applications", applications);
  plist.Set(info, "Build Version", DeviceText(plist, device, "BuildVersion"));
  plist.Set(info, "Device Name", DeviceText(plist, device, "DeviceName"));
  plist.Set(info, "Display Name", DeviceText(plist, device, "DeviceName"));
  plist.Set(info, "GUID", plist.String(MakeBackupGuid()));
  plist.Set(info, "ICCID", DeviceText(plist, device, "IntegratedCircuitCardIdentity"));
  plist.Set(info, "IMEI", DeviceText(plist, device, "InternationalMobileEquipmentIdentity"));
  plist.Set(info, "Installed Applications", installed);
  plist.Set(info, "Last Backup Date",
            plist.Adopt(fun.CFDateCreate(kCFDefaultAllocator, fun.CFAbsoluteTimeGetCurrent())));
  plist.Set(info, "MEID", DeviceText(plist, device, "MobileEquipmentIdentifier"));
  plist.Set(info, "Phone Number", DeviceText(plist, device, "PhoneNumber"));
  plist.Set(info, "Product Type", DeviceText(plist, device, "ProductType"));
  plist.Set(info, "Product Version", DeviceText(plist, device, "ProductVersion"));
  plist.Set(info, "Serial Number", DeviceText(plist, device, "SerialNumber"));
  plist.Set(info, "Target Identifier", DeviceText(plist, device, "UniqueDeviceID"));
  plist.Set(info, "Target Type", plist.String("Device"));
  plist.Set(info, "Unique Identifier", DeviceText(plist, device, "UniqueDeviceID"));

  if (afc != nullptr) {
    std::string bytes;
    if (CopyFileFromDevice(afc, "/Books/iBooksData2.plist", nullptr, &bytes)) {
      plist.Set(info, "iBooks Data 2", plist.Data(bytes));
    }
    CFMutableDictionaryRef files = plist.Dictionary();
    for (const char* name : kItunesFiles) {
      bytes.clear();
      if (CopyFileFromDevice(afc, std::string("/iTunes_Control/iTunes/") + name, nullptr, &bytes)) {
        plist.Set(files, name, plist.Data(bytes));
      }
    }
    plist.Set(info, "iTunes Files", files);
  }
  plist.Set(info, "iTunes Settings", plist.Dictionary());
  plist.Set(info, "iTunes Version", plist.String("11.2.2.3"));

  BinaryPlistPtr binary = plist.ToBinary(info);
  if (!binary) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(binary->bytes), binary->length);
  return static_cast<bool>(out.flush());
}
