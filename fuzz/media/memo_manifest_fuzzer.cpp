// The voice-memo manifest readers on arbitrary text: AssetManifest.plist and a
// composition's manifest.plist in their XML form, and the date text rule. They may find
// nothing, but never crash, hang or leak, and never give a path outside "/Recordings/".
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "utility/module/media/memo_manifest.h"

namespace {

bool InsideRecordings(const std::string& path) {
  return path.rfind("/Recordings/", 0) == 0 && path.find("/../") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const MemoManifestEntry& entry : ParseAssetManifestXml(text)) {
    if (!InsideRecordings(entry.path)) std::abort();
  }
  if (auto entry = ParseCompositionManifestXml(text)) {
    if (!InsideRecordings(entry->path)) std::abort();
  }
  ParseIsoUtcDate(text.substr(0, 32));
  return 0;
}
