// The registry file reader on arbitrary bytes, followed by every lookup Init() makes.
#include <cstdint>
#include <string_view>

#include "platform/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RegistryFile file;
  if (!file.Parse(std::string_view(reinterpret_cast<const char*>(data), size), nullptr)) return 0;
  for (const auto& key : file.keys()) {
    for (size_t i = 0; const RegistryValue* v = key->At(i); ++i) {
      std::string text;
      RegistryStringValue(*v, 520, &text);
      key->Find(v->name);
    }
  }
  file.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared");
  return 0;
}
