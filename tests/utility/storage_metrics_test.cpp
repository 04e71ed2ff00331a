// The AirTraffic storage breakdown: categories, subcategories, further categories and
// the computed remainder.
#include <gtest/gtest.h>

#include <string>

#include "utility/module/basicinfo/storage_metrics.h"

namespace {

PlistValue Category(int64_t size, int64_t count) {
  IOSDictionaryPtr dict = CIOSDictionary::Create();
  dict->Set("_PhysicalSize", PlistValue::Int64(size));
  dict->Set("_Count", PlistValue::Int32(static_cast<int32_t>(count)));
  dict->Set("_PurgeableSize", PlistValue::Int64(999999));
  return PlistValue::Dictionary(dict);
}

TEST(StorageMetricsTest, SumsCategoriesAndSubcategoriesAndComputesOthers) {
  IOSDictionaryPtr params = CIOSDictionary::Create();
  params->Set("_PhysicalSize", PlistValue::Int64(1000000));
  params->Set("_FreeSize", PlistValue::Int64(400000));
  params->Set("_PurgeableSize", PlistValue::Int64(5));
  params->Set("Application", Category(100000, 12));
  params->Set("Photo", Category(50000, 300));
  params->Set("Music", Category(20000, 40));
  PlistValue user_data = Category(7000, 3);
  user_data.dictionary()->Set("VoiceMemo", Category(3000, 2));
  params->Set("UserData", user_data);
  params->Set("Empty", Category(0, 5));  // no size: not a further category
  params->Set("Name", PlistValue::Text(u"not a figure"));

  StorageMetrics metrics = ParseAssetMetrics(*params);
  EXPECT_EQ(metrics.total_size, 1000000);
  EXPECT_EQ(metrics.free_size, 400000);
  EXPECT_EQ(metrics.application.size, 100000);
  EXPECT_EQ(metrics.application.count, 12);
  EXPECT_EQ(metrics.photo.count, 300);
  EXPECT_EQ(metrics.book.size, 0);  // absent categories are zero
  EXPECT_EQ(metrics.other_size, 1000000 - 400000 - 100000 - 50000 - 20000);

  ASSERT_EQ(metrics.further.size(), 2u);
  EXPECT_EQ(metrics.further[0].first, "UserData");
  EXPECT_EQ(metrics.further[0].second.size, 10000);  // its own 7000 plus the memo's 3000
  EXPECT_EQ(metrics.further[0].second.count, 5);
  EXPECT_EQ(metrics.further[1].first, "VoiceMemo");
  EXPECT_EQ(metrics.further[1].second.size, 3000);
}

TEST(StorageMetricsTest, WritesFixedMembersInOrderThenFurtherOnes) {
  IOSDictionaryPtr params = CIOSDictionary::Create();
  params->Set("_PhysicalSize", PlistValue::Int64(100));
  params->Set("_FreeSize", PlistValue::Int64(300));  // devices may report more free than total
  params->Set("Ringtone", Category(1, 1));
  params->Set("Zeta", Category(9, 9));
  params->Set("Alpha", Category(8, 8));
  StorageMetrics metrics = ParseAssetMetrics(*params);

  rapidjson::Document object(rapidjson::kObjectType);
  AppendStorageMembers(metrics, &object, object.GetAllocator());
  std::string names;
  for (auto& member : object.GetObject()) names += std::string(member.name.GetString()) + ",";
  EXPECT_EQ(names,
            "Application_PhysicalSize,Application_Count,Photo_PhysicalSize,Photo_Count,"
            "CameraRoll_PhysicalSize,CameraRoll_Count,Movie_PhysicalSize,Movie_Count,"
            "Book_PhysicalSize,Book_Count,Music_PhysicalSize,Music_Count,"
            "Ringtone_PhysicalSize,Ringtone_Count,Data_FreeSize,Data_PhysicalSize,"
            "Data_Others_PhysicalSize,Alpha_Count,Alpha_PhysicalSize,Zeta_Count,"
            "Zeta_PhysicalSize,");
  EXPECT_EQ(object["Data_Others_PhysicalSize"].GetInt64(), 100 - 300 - 1);
}

TEST(StorageMetricsTest, HostileFiguresWrapInsteadOfOverflowing) {
  IOSDictionaryPtr params = CIOSDictionary::Create();
  params->Set("_PhysicalSize", PlistValue::Int64(INT64_MIN));
  params->Set("_FreeSize", PlistValue::Int64(INT64_MAX));
  PlistValue photo = Category(INT64_MAX, 1);
  photo.dictionary()->Set("Burst", Category(INT64_MAX, 1));
  params->Set("Photo", photo);
  StorageMetrics metrics = ParseAssetMetrics(*params);  // must not trap under UBSan
  EXPECT_EQ(metrics.photo.count, 2);
}

}  // namespace
