// Hostile binary and XML property lists: the layer refuses them instead of recursing,
// looping or expanding without bound.
#include <gtest/gtest.h>

#include "bplist_builder.h"
#include "cf_test_util.h"

namespace {

CFPtr<CFPropertyListRef> Parse(const std::string& bytes) {
  return CFPtr<CFPropertyListRef>(
      CFPropertyListCreateWithData(nullptr, Bytes(bytes).get(), 0, nullptr, nullptr));
}

// Arrays nested `depth` deep around one string, top object last.
std::string NestedArrays(int depth) {
  BplistBuilder b;
  uint64_t inner = b.Add(BplistBuilder::AsciiString("x"));
  for (int i = 0; i < depth; ++i) inner = b.Add(BplistBuilder::Container(0xA, {inner}, 4));
  return b.Build(inner, 4);
}

TEST(PlistGuard, AcceptsNestingUpToTheLimit) {
  EXPECT_NE(Parse(NestedArrays(256)), nullptr);
}

TEST(PlistGuard, RefusesBinaryNestingPastTheLimit) {
  EXPECT_EQ(Parse(NestedArrays(257)), nullptr);
  EXPECT_EQ(Parse(NestedArrays(100000)), nullptr);
}

TEST(PlistGuard, RefusesXmlNestingPastTheLimit) {
  std::string deep = "<plist>";
  for (int i = 0; i < 100000; ++i) deep += "<array>";
  EXPECT_EQ(Parse(deep), nullptr);
  std::string ok = "<plist>";
  for (int i = 0; i < 200; ++i) ok += "<array>";
  for (int i = 0; i < 200; ++i) ok += "</array>";
  ok += "</plist>";
  EXPECT_NE(Parse(ok), nullptr);
}

TEST(PlistGuard, SelfClosingAndCommentedContainersDoNotCountAsNesting) {
  std::string xml = "<plist><array>";
  for (int i = 0; i < 1000; ++i) xml += "<array/><dict/><!-- <array> -->";
  xml += "</array></plist>";
  EXPECT_NE(Parse(xml), nullptr);
}

TEST(PlistGuard, RefusesCycles) {
  BplistBuilder b;
  // Object 0 is an array holding object 1, which holds object 0.
  b.Add(BplistBuilder::Container(0xA, {1}, 1));
  b.Add(BplistBuilder::Container(0xA, {0}, 1));
  EXPECT_EQ(Parse(b.Build(0, 1)), nullptr);
  BplistBuilder self;
  self.Add(BplistBuilder::Container(0xA, {0}, 1));
  EXPECT_EQ(Parse(self.Build(0, 1)), nullptr);
}

TEST(PlistGuard, RefusesSharedReferencesThatExpandExponentially) {
  // Each level holds the level below twice: 2^40 nodes from a few hundred bytes.
  BplistBuilder b;
  uint64_t inner = b.Add(BplistBuilder::AsciiString("x"));
  for (int i = 0; i < 40; ++i) inner = b.Add(BplistBuilder::Container(0xA, {inner, inner}, 1));
  EXPECT_EQ(Parse(b.Build(inner, 1)), nullptr);
}

TEST(PlistGuard, AcceptsModestSharing) {
  BplistBuilder b;
  const uint64_t key = b.Add(BplistBuilder::AsciiString("k"));
  const uint64_t value = b.Add(BplistBuilder::AsciiString("v"));
  const uint64_t dict = b.Add(BplistBuilder::Container(0xD, {key, value}, 1));
  const uint64_t top = b.Add(BplistBuilder::Container(0xA, {dict, dict, dict}, 1));
  auto list = Parse(b.Build(top, 1));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(list.get())), 3);
}

TEST(PlistGuard, RefusesReferencesAndCountsOutOfRange) {
  BplistBuilder bad_ref;
  bad_ref.Add(BplistBuilder::Container(0xA, {7}, 1));
  EXPECT_EQ(Parse(bad_ref.Build(0, 1)), nullptr);

  // An array announcing 2^60 elements.
  BplistBuilder huge;
  std::vector<uint8_t> array = {0xAF, 0x13, 0x10, 0, 0, 0, 0, 0, 0, 0};
  huge.Add(array);
  EXPECT_EQ(Parse(huge.Build(0, 1)), nullptr);

  // A string announcing more bytes than the file has.
  BplistBuilder long_string;
  long_string.Add({0x5F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
  EXPECT_EQ(Parse(long_string.Build(0, 1)), nullptr);
}

TEST(PlistGuard, RefusesEveryTruncationOfAValidFile) {
  const std::string whole = NestedArrays(3);
  ASSERT_NE(Parse(whole), nullptr);
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_EQ(Parse(whole.substr(0, n)), nullptr) << n;
  }
}

TEST(PlistGuard, SurvivesEverySingleByteFlip) {
  const std::string whole = NestedArrays(3);
  for (size_t i = 0; i < whole.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string flipped = whole;
      flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
      Parse(flipped);  // any outcome but a crash
    }
  }
}

TEST(PlistGuard, RefusesDictionaryKeysWithNulOrOfAnotherKind) {
  for (const std::vector<uint8_t>& key : {std::vector<uint8_t>{0x53, 'a', 0, 'b'},
                                           std::vector<uint8_t>{0x61, 0, 0},
                                           std::vector<uint8_t>{0x10, 0x05}}) {
    BplistBuilder b;
    const uint64_t k = b.Add(key);
    const uint64_t v = b.Add(BplistBuilder::AsciiString("v"));
    const uint64_t d = b.Add(BplistBuilder::Container(0xD, {k, v}, 1));
    EXPECT_EQ(Parse(b.Build(d, 1)), nullptr);
  }
  BplistBuilder utf16;
  const uint64_t k = utf16.Add({0x61, 0, 'k'});
  const uint64_t v = utf16.Add(BplistBuilder::AsciiString("v"));
  const uint64_t d = utf16.Add(BplistBuilder::Container(0xD, {k, v}, 1));
  EXPECT_NE(Parse(utf16.Build(d, 1)), nullptr);
}

TEST(PlistGuard, RefusesXmlWithNulBytes) {
  const std::string xml("<plist><dict><key>a\0b</key><string>v</string></dict></plist>", 60);
  EXPECT_EQ(Parse(xml), nullptr);
}

TEST(PlistGuard, TrailerWithBadSizesIsRefused) {
  std::string bytes = NestedArrays(1);
  bytes[bytes.size() - 26] = 0;   // offset size 0
  EXPECT_EQ(Parse(bytes), nullptr);
  bytes = NestedArrays(1);
  bytes[bytes.size() - 25] = 9;   // reference size 9
  EXPECT_EQ(Parse(bytes), nullptr);
}

}  // namespace
