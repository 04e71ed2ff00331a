#include "utility/module/app/app_exchange.h"

#include <gtest/gtest.h>

#include "utility/ios/app_services.h"
#include "utility/module/app/app_object.h"

namespace {

std::string Reply(const std::string& dict_body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + dict_body +
         "</dict></plist>";
}

std::string Entry(const std::string& id) {
  return "<dict><key>CFBundleIdentifier</key><string>" + id +
         "</string><key>ApplicationType</key><string>User</string></dict>";
}

std::string Sizes(const std::string& id, int dynamic, int stat) {
  return "<dict><key>CFBundleIdentifier</key><string>" + id +
         "</string><key>DynamicDiskUsage</key><integer>" + std::to_string(dynamic) +
         "</integer><key>StaticDiskUsage</key><integer>" + std::to_string(stat) +
         "</integer></dict>";
}

// Feeds one reply to the handler; returns its read-another flag.
int Feed(AppExchangeContext& ctx, const std::string& reply) {
  int read_another = 0;
  uint32_t result = 77;
  AppReplyHandler(&ctx, reply.data(), static_cast<uint32_t>(reply.size()), &read_another, &result);
  EXPECT_EQ(result, 0u);
  return read_another;
}

}  // namespace

TEST(AppReplyHandler, ListingCollectsPagesUntilComplete) {
  AppList list;
  list.holder.SetObject();
  AppExchangeContext ctx;
  ctx.mode = kAppListFull;
  ctx.apps = &list;
  EXPECT_EQ(Feed(ctx, Reply("<key>Status</key><string>BrowsingApplications</string>"
                            "<key>CurrentList</key><array>" + Entry("a") + Entry("b") +
                            "<dict><key>CFBundleName</key><string>no id</string></dict>"
                            "</array>")), 1);
  EXPECT_EQ(Feed(ctx, "garbage that is not a property list"), 1);  // ignored
  EXPECT_EQ(Feed(ctx, Reply("<key>CurrentList</key><array>" + Entry("c") + "</array>")), 1);
  EXPECT_EQ(Feed(ctx, Reply("<key>Status</key><string>Complete</string>")), 0);
  EXPECT_TRUE(ctx.finished && ctx.complete);
  ASSERT_EQ(list.apps.size(), 3u);
  EXPECT_EQ(JsonMemberText(list.apps[2], "CFBundleIdentifier"), "c");
  EXPECT_EQ(list.index.at("b"), 1u);
}

TEST(AppReplyHandler, ListingStopsAtAnErrorReply) {
  // The device sends nothing after an error; waiting for "Complete" would hang.
  AppList list;
  list.holder.SetObject();
  AppExchangeContext ctx;
  ctx.mode = kAppListFull;
  ctx.apps = &list;
  EXPECT_EQ(Feed(ctx, Reply("<key>Error</key><string>InstallProhibited</string>"
                            "<key>ErrorDescription</key><string>not allowed</string>")), 0);
  EXPECT_TRUE(ctx.finished);
  EXPECT_FALSE(ctx.complete);
  EXPECT_EQ(ctx.error, "InstallProhibited: not allowed");
}

TEST(AppReplyHandler, SizesGoToTheAppWithTheSameBundleId) {
  AppList list;
  list.holder.SetObject();
  AppExchangeContext ctx;
  ctx.mode = kAppListFull;
  ctx.apps = &list;
  Feed(ctx, Reply("<key>CurrentList</key><array>" + Entry("a") + Entry("b") + "</array>"
                  "<key>Status</key><string>Complete</string>"));
  ctx.mode = kAppListSizes;
  EXPECT_EQ(Feed(ctx, Reply("<key>CurrentList</key><array>" + Sizes("b", 20, 200) +
                            Sizes("unknown", 1, 1) + Sizes("a", 10, 100) + "</array>")), 1);
  EXPECT_EQ(Feed(ctx, Reply("<key>Status</key><string>Complete</string>")), 0);
  ASSERT_EQ(list.apps.size(), 2u);
  EXPECT_EQ(list.apps[0]["data-size"].GetInt64(), 10);
  EXPECT_EQ(list.apps[0]["app-size"].GetInt64(), 100);
  EXPECT_EQ(list.apps[1]["data-size"].GetInt64(), 20);
  EXPECT_EQ(list.apps[1]["app-size"].GetInt64(), 200);
}

TEST(AppReplyHandler, FinalStepRecordsCompletionOrTheError) {
  AppExchangeContext done;
  done.mode = kAppUninstall;
  EXPECT_EQ(Feed(done, Reply("<key>Status</key><string>Complete</string>")), 0);
  EXPECT_TRUE(done.finished && done.complete);

  AppExchangeContext failed;
  failed.mode = kAppInstall;
  EXPECT_EQ(Feed(failed, Reply("<key>Error</key><string>PackageExtractionFailed</string>")), 0);
  EXPECT_TRUE(failed.finished);
  EXPECT_FALSE(failed.complete);
  EXPECT_EQ(failed.error, "PackageExtractionFailed");
}

// Feeds one reply to the raw handler of the installation-proxy and icon clients.
int FeedRaw(RawReplies& raw, const std::string& reply) {
  int read_another = 0;
  uint32_t result = 77;
  RawReplyHandler(&raw, reply.data(), static_cast<uint32_t>(reply.size()), &read_another, &result);
  EXPECT_EQ(result, 0u);
  return read_another;
}

TEST(RawReplyHandler, CollectionKeepsPagesUntilCompleteOrError) {
  std::vector<CFRef<CFDictionaryRef>> pages;
  RawReplies raw;
  raw.replies = &pages;
  EXPECT_EQ(FeedRaw(raw, Reply("<key>CurrentList</key><array>" + Entry("a") + "</array>")), 1);
  EXPECT_EQ(FeedRaw(raw, "\x01\x02 not a plist"), 1);
  EXPECT_EQ(FeedRaw(raw, Reply("<key>CurrentList</key><array>" + Entry("b") + "</array>")), 1);
  EXPECT_EQ(FeedRaw(raw, Reply("<key>Status</key><string>Complete</string>")), 0);
  EXPECT_EQ(pages.size(), 2u);
  EXPECT_TRUE(raw.complete);

  std::vector<CFRef<CFDictionaryRef>> none;
  RawReplies failed;
  failed.replies = &none;
  EXPECT_EQ(FeedRaw(failed, Reply("<key>Error</key><string>Busy</string>")), 0);
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(failed.complete);
}

TEST(RawReplyHandler, SingleKeepsTheOneReply) {
  std::vector<CFRef<CFDictionaryRef>> replies;
  RawReplies raw;
  raw.single = true;
  raw.replies = &replies;
  EXPECT_EQ(FeedRaw(raw, Reply("<key>pngData</key><data>iVBORw0KGgo=</data>")), 0);
  EXPECT_EQ(replies.size(), 1u);
}
