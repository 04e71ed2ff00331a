// CMobileExportFun: the table of the 99 MobileDevice and CoreFoundation exports that every
// device call goes through, and the loader that fills it.
//
// Init() finds the libraries through the registry file (key "SOFTWARE\Apple Inc.\Apple
// Mobile Device Support\Shared" under HKEY_LOCAL_MACHINE): "AirTrafficHostDLL" is loaded
// first, then the first value named "iTunesMobileDeviceDLL" or "MobileDeviceDLL" in
// enumeration order, then libCoreFoundation.so from the search list (the folder of the
// MobileDevice library, then the "InstallDir" folders of "Apple Mobile Device Support" and
// "Apple Application Support"). Each slot is the export itself: callers use the argument
// lists of the library, e.g. `CMobileExportFun::GetInstance().CFRelease(obj)`.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "iOSAPI/mobile_device_api.h"
#include "iOSAPI/mobile_export_list.h"

class RegistryFile;

class CMobileExportFun {
 public:
  static constexpr int kSlotCount = 99;
  static constexpr const char* kSharedKey =
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";

  // The process-wide table. It is never destroyed, so the MobileDevice library stays
  // mapped while the device thread may still be inside it at exit.
  static CMobileExportFun& GetInstance();

  // Separate tables serve tests; their destructor unloads their MobileDevice library.
  CMobileExportFun() = default;
  ~CMobileExportFun();
  CMobileExportFun(const CMobileExportFun&) = delete;
  CMobileExportFun& operator=(const CMobileExportFun&) = delete;

  // Loads the libraries and fills every slot; true once all 99 are filled. After success
  // further calls return true at once. A failed call may be repeated.
  bool Init();
  bool IsLoaded() const { return loaded_.load(std::memory_order_acquire) == 1; }

  // Where libCoreFoundation.so was looked for by the last Init(), in order.
  const std::vector<std::string>& search_list() const { return search_list_; }

#define VADO_DECLARE_SLOT(member, symbol, lib) decltype(&::symbol) member = nullptr;
  VADO_MOBILE_EXPORTS(VADO_DECLARE_SLOT)
#undef VADO_DECLARE_SLOT

 private:
  void ReadSearchFolders(const RegistryFile& registry);
  bool ResolveSlots(void* core_foundation);

  std::atomic<uint32_t> loaded_{0};
  void* mobile_device_ = nullptr;  // handle of the MobileDevice library, or null
  std::vector<std::string> search_list_;
};

// The process-wide table, the way the agent's code reaches it.
inline CMobileExportFun& Fun() { return CMobileExportFun::GetInstance(); }
