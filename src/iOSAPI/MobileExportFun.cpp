#include "iOSAPI/MobileExportFun.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>

#include <glog/logging.h>

#include "platform/registry_file.h"

namespace {

// Buffer sizes the registry reads allow, in bytes.
constexpr size_t kHostPathBytes = 512;
constexpr size_t kMobileDevicePathBytes = 520;
// Longest value name the enumeration can return (260 characters with the NUL).
constexpr size_t kMaxValueNameChars = 259;

constexpr const char* kDeviceSupportKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support";
constexpr const char* kApplicationSupportKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support";

enum LibraryId { kMD, kCF };

bool PathExists(const std::string& path) { return !path.empty() && access(path.c_str(), F_OK) == 0; }

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool LoadRegistry(RegistryFile* registry) { return registry->Load(RegistryFilePath(), nullptr); }

// A string value of the Shared key with the read checks of the registry; false if the key,
// the value or its checks fail, or if the path does not exist.
bool ReadLibraryPath(const RegistryValue* value, size_t buffer_bytes, std::string* path) {
  return value && RegistryStringValue(*value, buffer_bytes, path) && PathExists(*path);
}

// Looks a symbol up in the library behind `handle` only, not in the libraries it depends
// on: a MobileDevice library lacking an export must not borrow one from elsewhere.
void* OwnSymbol(void* handle, const char* name) {
  void* address = dlsym(handle, name);
  if (!address) return nullptr;
  link_map* map = nullptr;
  Dl_info info{};
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !dladdr(address, &info) ||
      !info.dli_fname || std::strcmp(info.dli_fname, map->l_name) != 0) {
    return nullptr;
  }
  return address;
}

// The address of a data export as the library itself sees it. When the executable links
// the library too, the variable lives in the executable (a copy relocation) and the
// library's own symbol is a stale original, so the process-wide definition wins.
void* DataAddress(void* own) {
  Dl_info info{};
  ElfW(Sym)* symbol = nullptr;
  if (!dladdr1(own, &info, reinterpret_cast<void**>(&symbol), RTLD_DL_SYMENT) || !symbol ||
      ELF64_ST_TYPE(symbol->st_info) != STT_OBJECT || !info.dli_sname) {
    return own;
  }
  void* global = dlsym(RTLD_DEFAULT, info.dli_sname);
  return global ? global : own;
}

}  // namespace

CMobileExportFun& CMobileExportFun::GetInstance() {
  static CMobileExportFun* instance = new CMobileExportFun();
  return *instance;
}

CMobileExportFun::~CMobileExportFun() {
  if (mobile_device_) {
    dlclose(mobile_device_);
    mobile_device_ = nullptr;
  }
}

void CMobileExportFun::ReadSearchFolders(const RegistryFile& registry) {
  search_list_.clear();
  for (const char* key_path : {kDeviceSupportKey, kApplicationSupportKey}) {
    const RegistryKey* key = registry.FindKey(key_path);
    const RegistryValue* dir = key ? key->Find("InstallDir") : nullptr;
    std::string folder;
    if (dir && RegistryStringValue(*dir, kMobileDevicePathBytes, &folder) && !folder.empty()) {
      search_list_.push_back(folder);
    }
  }
  std::string joined;
  for (const auto& f : search_list_) joined += f + ";";
  LOG(INFO) << joined;
}

bool CMobileExportFun::ResolveSlots(void* core_foundation) {
  void* address = nullptr;
#define VADO_RESOLVE_SLOT(member, symbol, lib)                                             \
  address = OwnSymbol(lib == kCF ? core_foundation : mobile_device_, #symbol);              \
  if (!address) return false;                                                               \
  address = DataAddress(address);                                                           \
  member = reinterpret_cast<decltype(member)>(address);
  VADO_MOBILE_EXPORTS(VADO_RESOLVE_SLOT)
#undef VADO_RESOLVE_SLOT
  return true;
}

bool CMobileExportFun::Init() {
  if (IsLoaded()) return true;

  RegistryFile registry;
  const bool have_registry = LoadRegistry(&registry);
  // The search folders only matter once CoreFoundation is loaded; reading them decides
  // nothing here.
  ReadSearchFolders(registry);
  if (!have_registry) return false;
  const RegistryKey* shared = registry.FindKey(kSharedKey);
  if (!shared) return false;

  std::string host_path;
  if (!ReadLibraryPath(shared->Find("AirTrafficHostDLL"), kHostPathBytes, &host_path)) {
    return false;
  }
  LOG(INFO) << "strPathHost: " << host_path;
  // The host library and CoreFoundation stay loaded for the life of the process.
  if (!dlopen(host_path.c_str(), RTLD_NOW)) {
    LOG(ERROR) << "Host Error Code: " << dlerror();
    return false;
  }

  const RegistryValue* device_value = nullptr;
  for (size_t i = 0; const RegistryValue* v = shared->At(i); ++i) {
    if (v->name.size() > kMaxValueNameChars) continue;
    if (v->name == "iTunesMobileDeviceDLL" || v->name == "MobileDeviceDLL") {
      device_value = v;
      break;
    }
  }
  std::string device_path;
  if (!ReadLibraryPath(device_value, kMobileDevicePathBytes, &device_path)) return false;
  LOG(INFO) << "strPathiTunes: " << device_path;

  void* device = dlopen(device_path.c_str(), RTLD_NOW);
  if (!device) return false;
  if (mobile_device_) dlclose(mobile_device_);  // from an earlier, failed Init()
  mobile_device_ = device;

  search_list_.insert(search_list_.begin(), FolderOf(device_path));
  void* core_foundation = nullptr;
  for (const auto& folder : search_list_) {
    const std::string candidate = folder + (folder.empty() || folder.back() == '/' ? "" : "/") +
                                  "libCoreFoundation.so";
    if (PathExists(candidate) && (core_foundation = dlopen(candidate.c_str(), RTLD_NOW))) break;
  }
  if (!core_foundation) return false;

  if (!ResolveSlots(core_foundation)) return false;
  loaded_.store(1, std::memory_order_release);
  return true;
}
