#include "common/plist_value.h"

#include <gtest/gtest.h>

namespace {

TEST(PlistValue, TagsAreTheVariantCodes) {
  EXPECT_EQ(PlistValue().tag(), 0);
  EXPECT_EQ(PlistValue::Int32(1).tag(), 3);
  EXPECT_EQ(PlistValue::Real(1).tag(), 5);
  EXPECT_EQ(PlistValue::Text(u"x").tag(), 8);
  EXPECT_EQ(PlistValue::Boolean(true).tag(), 11);
  EXPECT_EQ(PlistValue::Dictionary(CIOSDictionary::Create()).tag(), 13);
  EXPECT_EQ(PlistValue::Int64(1).tag(), 20);
  EXPECT_EQ(PlistValue::MakeArray().tag(), 0x200C);
}

TEST(PlistValue, BooleansAreMinusOneAndZero) {
  EXPECT_EQ(PlistValue::Boolean(true).boolean(), -1);
  EXPECT_EQ(PlistValue::Boolean(false).boolean(), 0);
}

TEST(PlistValue, AccessorsOfAnotherTagAreNeutral) {
  const PlistValue v = PlistValue::Int64(5);
  EXPECT_EQ(v.text(), u"");
  EXPECT_EQ(v.int32(), 0);
  EXPECT_EQ(v.dictionary(), nullptr);
  EXPECT_TRUE(v.array().empty());
}

TEST(PlistValue, CopyingIsDeepForArraysAndSharedForDictionaries) {
  IOSDictionaryPtr d = CIOSDictionary::Create();
  PlistValue original = PlistValue::MakeArray({PlistValue::Text(u"a"), PlistValue::Dictionary(d)});
  PlistValue copy = original;
  copy.mutable_array()->push_back(PlistValue::Int32(1));
  EXPECT_EQ(original.array().size(), 2u);
  EXPECT_EQ(copy.array()[1].dictionary(), d.get());
  d->Set("k", PlistValue::Int32(7));
  EXPECT_EQ(original.array()[1].dictionary()->Find("k")->int32(), 7);
}

TEST(CIOSDictionary, ReferenceCountKeepsItAliveAcrossHolders) {
  IOSDictionaryPtr d = CIOSDictionary::Create();
  CIOSDictionary* raw = d.get();
  EXPECT_EQ(raw->AddRef(), 2u);
  d = IOSDictionaryPtr();
  EXPECT_EQ(raw->Release(), 0u);  // the last reference destroys it
}

TEST(CIOSDictionary, SettingAPresentKeyReplacesItsValue) {
  IOSDictionaryPtr d = CIOSDictionary::Create();
  d->Set("k", PlistValue::Int32(1));
  d->Set("k", PlistValue::Text(u"second"));
  EXPECT_EQ(d->size(), 1u);
  EXPECT_EQ(d->Find("k")->text(), u"second");
}

TEST(CIOSDictionary, LookupDoesNotCreateEntries) {
  IOSDictionaryPtr d = CIOSDictionary::Create();
  EXPECT_EQ(d->Find("missing"), nullptr);
  EXPECT_EQ(d->size(), 0u);
}

TEST(CIOSDictionary, IteratesInByteOrderOfKeys) {
  IOSDictionaryPtr d = CIOSDictionary::Create();
  for (const char* k : {"a", "Z", "\xC3\xA9", "B", "_"}) d->Set(k, PlistValue::Int32(0));
  std::vector<std::string> order;
  for (const auto& [k, v] : d->items()) order.push_back(k);
  EXPECT_EQ(order, (std::vector<std::string>{"B", "Z", "_", "a", "\xC3\xA9"}));
}

}  // namespace
