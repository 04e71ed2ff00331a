#include "common/plist_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include <unistd.h>

#include "common/binary_plist.h"

namespace {

std::string Doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC "
         "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"
         "<plist version=\"1.0\">" + body + "</plist>";
}

// The top value of a document.
PlistValue Top(const std::string& bytes) {
  PlistValue v;
  EXPECT_TRUE(PlistBytesToValue(bytes.data(), bytes.size(), &v));
  EXPECT_EQ(v.tag(), kPlistArray);
  return v.array().empty() ? PlistValue() : v.array()[0];
}

CIOSDictionary* Dict(const PlistValue& v) {
  EXPECT_EQ(v.tag(), kPlistDictionary);
  return v.dictionary();
}

TEST(PlistReader, TopValueIsElementZeroOfAnArray) {
  PlistValue v;
  const std::string doc = Doc("<dict><key>Status</key><string>Complete</string></dict>");
  ASSERT_TRUE(PlistBytesToValue(doc.data(), doc.size(), &v));
  ASSERT_EQ(v.tag(), kPlistArray);
  ASSERT_EQ(v.array().size(), 1u);
  EXPECT_EQ(Dict(v.array()[0])->Find("Status")->text(), u"Complete");
}

TEST(PlistReader, DuplicateKeysKeepTheLastValue) {
  const PlistValue top = Top(Doc("<dict><key>k</key><string>first</string><key>k</key><string>second</string></dict>"));
  EXPECT_EQ(Dict(top)->Find("k")->text(), u"second");
}

TEST(PlistReader, EmptyStringAndRealAreDroppedFromDictionaries) {
  const PlistValue top = Top(Doc("<dict><key>empty</key><string></string><key>r</key><real>1.5</real>"
                                 "<key>kept</key><integer>1</integer></dict>"));
  CIOSDictionary* d = Dict(top);
  EXPECT_EQ(d->Find("empty"), nullptr);
  EXPECT_EQ(d->Find("r"), nullptr);
  EXPECT_EQ(d->size(), 1u);
}

TEST(PlistReader, RealIsKeptInArrays) {
  const PlistValue top = Top(Doc("<array><real>1.5</real><string></string></array>"));
  ASSERT_EQ(top.array().size(), 1u);
  EXPECT_EQ(top.array()[0].tag(), kPlistReal);
  EXPECT_EQ(top.array()[0].real(), 1.5);
}

TEST(PlistReader, DateAndDataAreTextInDictionariesAndDroppedInArrays) {
  const PlistValue top = Top(Doc(
      "<dict><key>when</key><date>2020-05-06T07:08:09Z</date><key>blob</key><data>AAEC</data>"
      "<key>list</key><array><date>2020-05-06T07:08:09Z</date><data>AAEC</data><true/></array></dict>"));
  CIOSDictionary* d = Dict(top);
  EXPECT_EQ(d->Find("when")->text(), u"2020-05-06T07:08:09Z");
  EXPECT_NE(d->Find("blob")->text().find(u"AAEC"), std::u16string::npos);
  const PlistValue* list = d->Find("list");
  ASSERT_EQ(list->array().size(), 1u);
  EXPECT_EQ(list->array()[0].boolean(), -1);
}

TEST(PlistReader, IntegersAreSigned64Bit) {
  const PlistValue top = Top(Doc("<array><integer>-9223372036854775808</integer>"
                                 "<integer>9223372036854775807</integer></array>"));
  ASSERT_EQ(top.array().size(), 2u);
  EXPECT_EQ(top.array()[0].tag(), kPlistInt64);
  EXPECT_EQ(top.array()[0].int64(), INT64_MIN);
  EXPECT_EQ(top.array()[1].int64(), INT64_MAX);
}

TEST(PlistReader, BinaryAndXmlGiveTheSameTree) {
  const std::string xml = Doc(
      "<dict><key>Name</key><string>caf\xC3\xA9</string><key>Size</key><integer>123456789012</integer>"
      "<key>On</key><false/><key>Nested</key><dict><key>Z</key><array><string>x</string>"
      "<real>2.25</real></array></dict><key>When</key><date>2011-01-01T00:00:00Z</date></dict>");
  BinaryPlistPtr binary = XmlToBinaryPlist(xml.data(), xml.size());
  ASSERT_NE(binary, nullptr);
  const std::string bytes(reinterpret_cast<const char*>(binary->bytes), binary->length);
  ASSERT_EQ(bytes.substr(0, 8), "bplist00");
  const PlistValue from_xml = Top(xml);
  const PlistValue from_binary = Top(bytes);
  EXPECT_EQ(from_xml, from_binary);
  EXPECT_EQ(Dict(from_binary)->Find("Size")->int64(), 123456789012);
  EXPECT_EQ(Dict(from_binary)->Find("Name")->text(), u"caf\u00e9");
}

TEST(PlistReader, KeysIterateInByteOrder) {
  const PlistValue top = Top(Doc("<dict><key>a</key><true/><key>Z</key><true/><key>M</key><true/></dict>"));
  std::string order;
  for (const auto& [k, v] : Dict(top)->items()) order += k;
  EXPECT_EQ(order, "MZa");
}

TEST(PlistReader, TextKeepsWhiteSpaceAndEntities) {
  const PlistValue top = Top(Doc("<array><string>  two  spaces\nand &amp; &lt;tag&gt;  </string></array>"));
  ASSERT_EQ(top.array().size(), 1u);
  EXPECT_EQ(top.array()[0].text(), u"  two  spaces\nand & <tag>  ");
}

TEST(PlistReader, NonAsciiKeysAreUtf8Bytes) {
  const PlistValue top = Top(Doc("<dict><key>\xC3\xA9t\xC3\xA9</key><string>summer</string></dict>"));
  EXPECT_NE(Dict(top)->Find("\xC3\xA9t\xC3\xA9"), nullptr);
}

TEST(PlistReader, PairWithEmptyKeyIsDropped) {
  // A key element with no text: its pair is dropped, the next pair still reads.
  const PlistValue top = Top(Doc("<dict><key></key><string>lost</string><key>k</key><string>v</string></dict>"));
  EXPECT_EQ(Dict(top)->size(), 1u);
  EXPECT_EQ(Dict(top)->Find("k")->text(), u"v");
}

TEST(PlistReader, RefusesBytesThatAreNoPropertyList) {
  PlistValue v;
  EXPECT_FALSE(PlistBytesToValue("", 0, &v));
  EXPECT_FALSE(PlistBytesToValue(nullptr, 10, &v));
  const std::string junk = "hello world";
  EXPECT_FALSE(PlistBytesToValue(junk.data(), junk.size(), &v));
}

TEST(PlistReader, HostileBytesNeverCrash) {
  const std::string xml = Doc("<dict><key>a</key><array><integer>1</integer><string>s</string>"
                              "<dict><key>b</key><data>AAEC</data></dict></array></dict>");
  BinaryPlistPtr binary = XmlToBinaryPlist(xml.data(), xml.size());
  ASSERT_NE(binary, nullptr);
  const std::string bytes(reinterpret_cast<const char*>(binary->bytes), binary->length);
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string mutated = bytes;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) mutated[rng() % mutated.size()] = static_cast<char>(rng());
    mutated.resize(rng() % (mutated.size() + 1));
    PlistValue v;
    PlistBytesToValue(mutated.data(), mutated.size(), &v);
  }
  SUCCEED();
}

TEST(PlistReader, DeeplyNestedInputIsRefused) {
  std::string deep;
  for (int i = 0; i < 50000; ++i) deep += "<array>";
  PlistValue v;
  const std::string doc = Doc(deep);
  EXPECT_FALSE(PlistBytesToValue(doc.data(), doc.size(), &v));
}

TEST(PlistFileToValue, ReadsAFileAndFailsForAMissingOne) {
  char path[] = "/tmp/vado-plist-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path, std::ios::binary) << Doc("<dict><key>k</key><integer>5</integer></dict>");
  PlistValue v;
  ASSERT_TRUE(PlistFileToValue(path, &v));
  EXPECT_EQ(Dict(v.array()[0])->Find("k")->int64(), 5);
  std::remove(path);
  EXPECT_FALSE(PlistFileToValue(path, &v));
}

TEST(PlistFirstValueText, ReturnsTheValueAfterTheFirstKey) {
  const std::string doc = Doc("<dict><key>Error</key><string>Busy</string><key>Z</key><string>z</string></dict>");
  EXPECT_EQ(PlistFirstValueText(doc.data(), doc.size()), "Busy");
}

TEST(PlistFirstValueText, HasNoFixedSizeLimit) {
  const std::string big(200000, 'x');
  const std::string doc = Doc("<dict><key>A</key><string>" + big + "</string></dict>");
  EXPECT_EQ(PlistFirstValueText(doc.data(), doc.size()), big);
}

TEST(PlistFirstValueText, EmptyForNonDictionariesAndGarbage) {
  EXPECT_EQ(PlistFirstValueText("junk", 4), "");
  const std::string doc = Doc("<string>alone</string>");
  EXPECT_EQ(PlistFirstValueText(doc.data(), doc.size()), "");
}

}  // namespace
