#include "services/sync/sync_settings.h"

#include <algorithm>
#include <cstdlib>

namespace devsim {

size_t SyncSettings::BatchSize(const SyncClassInfo& cls) const {
  auto it = batch_size.find(cls.key);
  return it != batch_size.end() ? it->second : cls.default_batch_size;
}

SyncSettings MakeSyncSettings(plist_t settings, const std::string& product_version) {
  SyncSettings s;
  if (std::atoi(product_version.c_str()) >= 14) s.version_major = 400;
  plist_t version = DictItem(settings, "DeviceLinkVersion");
  if (version && plist_get_node_type(version) == PLIST_ARRAY && plist_array_get_size(version) == 2) {
    plist_t major = plist_array_get_item(version, 0);
    plist_t minor = plist_array_get_item(version, 1);
    if (plist_get_node_type(major) == PLIST_UINT && plist_get_node_type(minor) == PLIST_UINT) {
      plist_get_uint_val(major, &s.version_major);
      plist_get_uint_val(minor, &s.version_minor);
    }
  }
  plist_t batch = DictItem(settings, "BatchSize");
  auto clamp = [](uint64_t v) { return static_cast<size_t>(std::min<uint64_t>(v, kMaxSyncBatchSize)); };
  if (batch && plist_get_node_type(batch) == PLIST_UINT) {
    uint64_t v = 0;
    plist_get_uint_val(batch, &v);
    for (const SyncClassInfo& c : SyncClasses()) s.batch_size[c.key] = clamp(v);
  } else {
    for (const SyncClassInfo& c : SyncClasses()) {
      if (auto v = DictUint(batch, c.key)) s.batch_size[c.key] = clamp(*v);
    }
  }
  s.echo_modified_remaps = DictBool(settings, "EchoModifiedRemaps").value_or(false);
  return s;
}

}  // namespace devsim
