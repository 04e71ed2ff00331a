#include "utility/module/basicinfo/storage_metrics.h"

#include <map>

namespace {

using Category = StorageMetrics::Category;

bool NumberOf(const PlistValue& value, int64_t* out) {
  switch (value.tag()) {
    case kPlistInt64: *out = value.int64(); return true;
    case kPlistInt32: *out = value.int32(); return true;
    default: return false;
  }
}

// Wrapping addition: figures come from the device and must not overflow into UB.
int64_t Add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

int64_t Sub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

void AddFigure(const std::string& key, const PlistValue& value, Category* into) {
  int64_t number = 0;
  if (!NumberOf(value, &number)) return;
  if (key == "_PhysicalSize") into->size = Add(into->size, number);
  else if (key == "_Count") into->count = Add(into->count, number);
}

Category TakeOut(std::map<std::string, Category>& records, const char* name) {
  auto it = records.find(name);
  if (it == records.end()) return {};
  Category found = it->second;
  records.erase(it);
  return found;
}

void AddMember(rapidjson::Value* object, const std::string& name, int64_t value,
               rapidjson::Document::AllocatorType& allocator) {
  object->AddMember(rapidjson::Value(name.c_str(), static_cast<rapidjson::SizeType>(name.size()),
                                     allocator),
                    rapidjson::Value(value), allocator);
}

}  // namespace

StorageMetrics ParseAssetMetrics(const CIOSDictionary& params) {
  std::map<std::string, Category> records;
  for (const auto& [name, value] : params.items()) {
    int64_t number = 0;
    if (NumberOf(value, &number)) {
      records[name].size = number;
      continue;
    }
    if (value.tag() != kPlistDictionary || value.dictionary() == nullptr) continue;
    Category& category = records[name];
    for (const auto& [key, item] : value.dictionary()->items()) {
      if (item.tag() == kPlistDictionary && item.dictionary() != nullptr) {
        Category sub;
        for (const auto& [sub_key, sub_item] : item.dictionary()->items()) {
          AddFigure(sub_key, sub_item, &sub);
        }
        category.size = Add(category.size, sub.size);
        category.count = Add(category.count, sub.count);
        Category& own = records[key];
        own.size = Add(own.size, sub.size);
        own.count = Add(own.count, sub.count);
      } else {
        AddFigure(key, item, &category);
      }
    }
  }

  StorageMetrics metrics;
  metrics.total_size = TakeOut(records, "_PhysicalSize").size;
  metrics.free_size = TakeOut(records, "_FreeSize").size;
  metrics.application = TakeOut(records, "Application");
  metrics.photo = TakeOut(records, "Photo");
  metrics.camera_roll = TakeOut(records, "CameraRoll");
  metrics.movie = TakeOut(records, "Movie");
  metrics.book = TakeOut(records, "Book");
  metrics.music = TakeOut(records, "Music");
  metrics.ringtone = TakeOut(records, "Ringtone");
  for (const auto& [name, category] : records) {
    if (category.size != 0 && category.count != 0) metrics.further.emplace_back(name, category);
  }
  int64_t others = Sub(metrics.total_size, metrics.free_size);
  for (const Category* c : {&metrics.ringtone, &metrics.music, &metrics.book, &metrics.movie,
                            &metrics.camera_roll, &metrics.photo, &metrics.application}) {
    others = Sub(others, c->size);
  }
  metrics.other_size = others;
  return metrics;
}

void AppendStorageMembers(const StorageMetrics& metrics, rapidjson::Value* object,
                          rapidjson::Document::AllocatorType& allocator) {
  const std::pair<const char*, const Category*> fixed[] = {
      {"Application", &metrics.application}, {"Photo", &metrics.photo},
      {"CameraRoll", &metrics.camera_roll},  {"Movie", &metrics.movie},
      {"Book", &metrics.book},               {"Music", &metrics.music},
      {"Ringtone", &metrics.ringtone},
  };
  for (const auto& [name, category] : fixed) {
    AddMember(object, std::string(name) + "_PhysicalSize", category->size, allocator);
    AddMember(object, std::string(name) + "_Count", category->count, allocator);
  }
  AddMember(object, "Data_FreeSize", metrics.free_size, allocator);
  AddMember(object, "Data_PhysicalSize", metrics.total_size, allocator);
  AddMember(object, "Data_Others_PhysicalSize", metrics.other_size, allocator);
  for (const auto& [name, category] : metrics.further) {
    AddMember(object, name + "_Count", category.count, allocator);
    AddMember(object, name + "_PhysicalSize", category.size, allocator);
  }
}
