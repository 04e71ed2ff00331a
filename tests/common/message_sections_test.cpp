#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "common/json_text.h"
#include "common/message_sections.h"
#include "common/zlib_codec.h"

namespace {

TEST(HeaderObject, KeysInFixedOrderWithoutInfo) {
  ReplyRecord record;
  record.stage = 3;
  record.code = -5;
  record.uuid = "abc";
  EXPECT_EQ(BuildHeaderObject(record), R"({"stage":3,"code":-5,"uuid":"abc","type":0})");
}

TEST(HeaderObject, NullInfoOmitsKeyEmptyInfoIsEmptyString) {
  ReplyRecord record;
  EXPECT_EQ(BuildHeaderObject(record).find("info"), std::string::npos);
  record.info = "";
  EXPECT_EQ(BuildHeaderObject(record), R"({"stage":0,"code":0,"uuid":"","type":0,"info":""})");
  record.info = R"({"PID":12})";
  EXPECT_EQ(BuildHeaderObject(record), R"({"stage":0,"code":0,"uuid":"","type":0,"info":{"PID":12}})");
}

TEST(HeaderObject, UuidIsEscapedSoHeaderStaysJson) {
  ReplyRecord record;
  record.uuid = "evil\"},\"x\":\"\\\n\x01";
  record.info = JsonQuote("text with \"quotes\"");
  std::string header = BuildHeaderObject(record);
  rapidjson::Document document;
  document.Parse(header.c_str());
  ASSERT_FALSE(document.HasParseError()) << header;
  EXPECT_EQ(std::string(document["uuid"].GetString()), *record.uuid);
  EXPECT_EQ(std::string(document["info"].GetString()), "text with \"quotes\"");
  EXPECT_FALSE(document.HasMember("x"));
}

TEST(JsonText, InvalidUtf8BecomesReplacementCharacter) {
  EXPECT_EQ(JsonQuote("a\xFF" "b"), "\"a\xEF\xBF\xBD" "b\"");
  EXPECT_EQ(JsonQuote("\xC3\xA9"), "\"\xC3\xA9\"");        // valid é kept
  EXPECT_EQ(JsonQuote("\xE2\x82"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");  // truncated
  EXPECT_EQ(JsonQuote("\xED\xA0\x80").find("\xED"), std::string::npos);  // surrogate
}

TEST(MessageText, CompressesBodyForTypeZeroAndSendsRawOtherwise) {
  std::string json = R"({"items":[1,2,3]})";
  ReplyRecord record;
  record.body = json;
  MessageParts parts = BuildMessageParts(record);
  EXPECT_EQ(parts.text, std::string("1\0", 2) + BuildHeaderObject(record) + std::string("\0", 1));
  auto inflated = ZlibDecompress(parts.body, 1 << 20);
  ASSERT_TRUE(inflated);
  EXPECT_EQ(*inflated, json);

  record.type = 1;
  EXPECT_EQ(BuildMessageParts(record).body, json);
  record.body = std::string_view();
  EXPECT_TRUE(BuildMessageParts(record).body.empty());
  EXPECT_EQ(BuildMessageText(record), BuildMessageParts(record).text);
}

TEST(MessageText, SplitFindsCountHeaderAndBody) {
  std::string payload = std::string("1\0{\"uuid\":\"u\"}\0", 15) + "BODY";
  MessageSections sections = SplitMessage(payload);
  ASSERT_TRUE(sections.valid);
  EXPECT_EQ(sections.count, 1);
  EXPECT_EQ(sections.header, "{\"uuid\":\"u\"}");
  EXPECT_EQ(sections.body, "BODY");
  EXPECT_FALSE(SplitMessage("1").valid);
  EXPECT_FALSE(SplitMessage(std::string("1\0{}", 4)).valid);
}

TEST(Zlib, RejectsDamagedTruncatedAndOversizedStreams) {
  std::string data(100000, 'a');
  std::string packed = ZlibCompress(data);
  EXPECT_TRUE(ZlibDecompress(packed, data.size()));
  EXPECT_FALSE(ZlibDecompress(packed, data.size() - 1));
  EXPECT_FALSE(ZlibDecompress(packed.substr(0, packed.size() / 2), 1 << 20));
  EXPECT_FALSE(ZlibDecompress("not zlib at all", 1 << 20));
  EXPECT_FALSE(ZlibDecompress("", 1 << 20));
}

}  // namespace
