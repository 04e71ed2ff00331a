#include "utility/module/app/app_object.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/text_convert.h"

namespace {

std::string Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Plist(const std::string& dict_body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + dict_body +
         "</dict></plist>";
}

const char* const kMetadata =
    "<key>softwareVersionBundleId</key><string>com.store.id</string>"
    "<key>bundleShortVersionString</key><string>9.9</string>"
    "<key>bundleVersion</key><string>999</string>"
    "<key>bundleDisplayName</key><string>Store Name</string>"
    "<key>releaseDate</key><date>2019-03-04T05:06:07Z</date>"
    "<key>artistName</key><string>Maker &amp; Sons</string>"
    "<key>itemName</key><string>Item</string>"
    "<key>softwareIcon57x57URL</key><string>https://example.com/i.png</string>"
    "<key>appleId</key><string>buyer@example.com</string>"
    "<key>itemId</key><integer>42</integer>"
    "<key>com.apple.iTunesStore.downloadInfo</key><dict>"
    "<key>purchaseDate</key><string>2020-01-02T03:04:05Z</string>"
    "<key>accountInfo</key><dict><key>AppleID</key><string>account@example.com</string></dict>"
    "</dict>";

void SetText(CIOSDictionary& d, const char* key, const std::string& text) {
  d.Set(key, PlistValue::Text(Utf8ToUtf16(text)));
}

std::string Json(const rapidjson::Value& v) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  v.Accept(writer);
  return buffer.GetString();
}

}  // namespace

TEST(AppObject, EntryMembersComeFirstThenStoreMetadataInOrder) {
  IOSDictionaryPtr entry = CIOSDictionary::Create();
  SetText(*entry, "CFBundleIdentifier", "com.device.id");
  SetText(*entry, "ApplicationType", "User");
  SetText(*entry, "CFBundleName", "Name");
  SetText(*entry, "Path", "/var/containers/Bundle/X.app");
  SetText(*entry, "iTunesMetadata", Encode(Plist(kMetadata)));
  rapidjson::Document holder;
  auto app = BuildAppObject(*entry, holder.GetAllocator());
  ASSERT_TRUE(app);
  // The device's own fields win over the store's; missing ones are filled from it.
  EXPECT_EQ(Json(*app),
            "{\"ApplicationType\":\"User\",\"CFBundleIdentifier\":\"com.device.id\","
            "\"CFBundleName\":\"Name\",\"Path\":\"/var/containers/Bundle/X.app\","
            "\"CFBundleShortVersionString\":\"9.9\",\"CFBundleVersion\":\"999\","
            "\"CFBundleDisplayName\":\"Store Name\",\"releaseDate\":\"2019-03-04T05:06:07Z\","
            "\"artistName\":\"Maker & Sons\",\"itemName\":\"Item\","
            "\"softwareIcon57x57URL\":\"https://example.com/i.png\","
            "\"AppleID\":\"buyer@example.com\",\"purchaseDate\":\"2020-01-02T03:04:05Z\","
            "\"AppleID\":\"account@example.com\"}");
}

TEST(AppObject, EntryWithoutTextBundleIdIsDropped) {
  IOSDictionaryPtr entry = CIOSDictionary::Create();
  SetText(*entry, "CFBundleName", "Nameless");
  rapidjson::Document holder;
  EXPECT_FALSE(BuildAppObject(*entry, holder.GetAllocator()));
  entry->Set("CFBundleIdentifier", PlistValue::Int64(5));
  EXPECT_FALSE(BuildAppObject(*entry, holder.GetAllocator()));
}

TEST(AppObject, AppWithoutOrWithDamagedMetadataKeepsItsOwnFields) {
  IOSDictionaryPtr entry = CIOSDictionary::Create();
  SetText(*entry, "CFBundleIdentifier", "com.sideloaded");
  SetText(*entry, "CFBundleVersion", "3");
  rapidjson::Document holder;
  auto plain = BuildAppObject(*entry, holder.GetAllocator());
  ASSERT_TRUE(plain);
  EXPECT_EQ(Json(*plain), "{\"CFBundleIdentifier\":\"com.sideloaded\",\"CFBundleVersion\":\"3\"}");

  SetText(*entry, "iTunesMetadata", "%%% not base64 %%%");
  auto damaged = BuildAppObject(*entry, holder.GetAllocator());
  ASSERT_TRUE(damaged);
  EXPECT_EQ(Json(*damaged), Json(*plain));

  SetText(*entry, "iTunesMetadata", Encode("not a property list"));
  auto garbage = BuildAppObject(*entry, holder.GetAllocator());
  ASSERT_TRUE(garbage);
  EXPECT_EQ(Json(*garbage), Json(*plain));
}

TEST(AppObject, MetadataValuesThatAreNotTextsAreLeftOut) {
  rapidjson::Document app(rapidjson::kObjectType);
  ASSERT_TRUE(AppendStoreMetadataBytes(
      Plist("<key>itemName</key><integer>7</integer><key>artistName</key><string>A</string>"
            "<key>com.apple.iTunesStore.downloadInfo</key><string>flat</string>"),
      &app, app.GetAllocator()));
  EXPECT_EQ(Json(app), "{\"artistName\":\"A\"}");
}

TEST(AppObject, PackageMetadataAloneNamesTheBundle) {
  rapidjson::Document app(rapidjson::kObjectType);
  ASSERT_TRUE(AppendStoreMetadataBytes(Plist(kMetadata), &app, app.GetAllocator()));
  EXPECT_EQ(JsonMemberText(app, "CFBundleIdentifier"), "com.store.id");
  EXPECT_FALSE(AppendStoreMetadataBytes("", &app, app.GetAllocator()));
  EXPECT_FALSE(AppendStoreMetadataBytes(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>", &app, app.GetAllocator()));
}
