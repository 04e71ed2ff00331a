#include "utility/ios/app_service_requests.h"

#include <gtest/gtest.h>

#include "common/plist_reader.h"
#include "common/text_convert.h"

namespace {

// The request's top value after a trip through the reader.
PlistValue Read(const BinaryPlistPtr& request) {
  PlistValue value;
  if (!request || !PlistBytesToValue(request->bytes, request->length, &value)) return {};
  if (value.array().empty()) return {};
  return value.array()[0];
}

std::string TextOf(const CIOSDictionary* d, const char* key) {
  const PlistValue* v = d ? d->Find(key) : nullptr;
  return v && v->tag() == kPlistText ? Utf16ToUtf8(v->text()) : "<absent>";
}

std::string TextOf(const PlistValue& top, const char* key) {
  return TextOf(top.dictionary(), key);
}

}  // namespace

TEST(AppRequests, BundleIdsTravelWholeWithMarkupCharacters) {
  for (const std::string& id :
       {std::string("com.example.app"), std::string("a<b>&amp;\"c'd]]>"),
        std::string("com.example.") + std::string(5000, 'y'), std::string("caf\xC3\xA9.\xE2\x9C\x93")}) {
    PlistValue icon = Read(BuildIconRequest(id));
    EXPECT_EQ(TextOf(icon, "bundleId"), id);
    EXPECT_EQ(TextOf(icon, "command"), "getIconPNGData");
    PlistValue uninstall = Read(BuildApplicationCommand("Uninstall", id));
    EXPECT_EQ(TextOf(uninstall, "ApplicationIdentifier"), id);
    EXPECT_EQ(TextOf(uninstall, "Command"), "Uninstall");
  }
  EXPECT_EQ(TextOf(Read(BuildInstallRequest("general_storage/a&b.ipa")), "PackagePath"),
            "general_storage/a&b.ipa");
}

TEST(AppRequests, TextsTheDeviceCannotBeSentAreRefused) {
  EXPECT_EQ(BuildIconRequest(std::string("cut\0here", 8)), nullptr);
  EXPECT_EQ(BuildApplicationCommand("Archive", "bad\xFF utf8"), nullptr);
}

TEST(AppRequests, BrowseAsksForUserAppsWithTheWantedAttributes) {
  PlistValue full = Read(BuildBrowseRequest(true));
  ASSERT_EQ(full.tag(), kPlistDictionary);
  EXPECT_EQ(TextOf(full, "Command"), "Browse");
  const PlistValue* options = full.dictionary()->Find("ClientOptions");
  ASSERT_TRUE(options && options->tag() == kPlistDictionary);
  const CIOSDictionary* opts = options->dictionary();
  EXPECT_EQ(TextOf(opts, "ApplicationType"), "User");
  const PlistValue* attributes = opts->Find("ReturnAttributes");
  ASSERT_TRUE(attributes && attributes->tag() == kPlistArray);
  std::vector<std::string> names;
  for (const PlistValue& v : attributes->array()) names.push_back(Utf16ToUtf8(v.text()));
  EXPECT_EQ(names, (std::vector<std::string>{"CFBundleIdentifier", "ApplicationType",
                                             "iTunesMetadata", "ApplicationSINF",
                                             "CFBundleVersion", "CFBundleShortVersionString",
                                             "Path", "CFBundleDisplayName", "CFBundleName"}));
  PlistValue sizes = Read(BuildBrowseRequest(false));
  ASSERT_EQ(sizes.tag(), kPlistDictionary);
  const CIOSDictionary* size_opts = sizes.dictionary()->Find("ClientOptions")->dictionary();
  names.clear();
  for (const PlistValue& v : size_opts->Find("ReturnAttributes")->array()) {
    names.push_back(Utf16ToUtf8(v.text()));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"CFBundleIdentifier", "DynamicDiskUsage",
                                             "StaticDiskUsage"}));
}
