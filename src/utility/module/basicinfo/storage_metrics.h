// The storage breakdown a device's AirTraffic service reports in its "AssetMetrics"
// message, reduced to the fixed categories the front end shows plus any others.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "common/plist_value.h"

struct StorageMetrics {
  struct Category {
    int64_t size = 0;
    int64_t count = 0;
  };
  Category application, photo, camera_roll, movie, book, music, ringtone;
  int64_t total_size = 0;
  int64_t free_size = 0;
  int64_t other_size = 0;  // total - free - the seven categories; may be negative
  // Categories beyond the seven, by name in byte order, with both figures non-zero.
  std::vector<std::pair<std::string, Category>> further;
};

// Reads the "Params" dictionary of an "AssetMetrics" message. Top-level numbers are
// volume figures ("_PhysicalSize" total, "_FreeSize" free); each dictionary is a
// category whose "_PhysicalSize"/"_Count" are summed, and a dictionary inside it is a
// subcategory counted both in its category and under its own name.
StorageMetrics ParseAssetMetrics(const CIOSDictionary& params);

// Adds the storage members in their fixed order, then two per further category.
void AppendStorageMembers(const StorageMetrics& metrics, rapidjson::Value* object,
                          rapidjson::Document::AllocatorType& allocator);
