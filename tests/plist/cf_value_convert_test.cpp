#include "common/cf_value_convert.h"

#include <gtest/gtest.h>

#include <string>

#include "iOSAPI/MobileExportFun.h"

namespace {


// A mutable dictionary owned by the test, filled through the table.
struct TestDict {
  TestDict()
      : d(Fun().CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                          &kCFTypeDictionaryValueCallBacks)) {}
  ~TestDict() { Fun().CFRelease(d); }
  void Add(const char* key, CFTypeRef value, bool release = true) {
    Fun().CFDictionaryAddValue(d, Fun().__CFStringMakeConstantString(key), value);
    if (release) Fun().CFRelease(value);
  }
  CFMutableDictionaryRef d;
};

CFStringRef Utf8(const char* s) { return Fun().CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8); }

template <typename T>
CFNumberRef Number(CFNumberType type, T v) { return CFNumberCreate(nullptr, type, &v); }

PlistValue Convert(const TestDict& t) {
  PlistValue v;
  CFDictionaryToDictionary(t.d, &v);
  EXPECT_EQ(v.tag(), kPlistDictionary);
  return v;
}

TEST(CFDictionaryToDictionary, DropsStringsThatAreNotAscii) {
  TestDict t;
  t.Add("ascii", Utf8("plain"));
  t.Add("accented", Utf8("caf\xC3\xA9"));
  const PlistValue v = Convert(t);
  EXPECT_EQ(v.dictionary()->Find("ascii")->text(), u"plain");
  EXPECT_EQ(v.dictionary()->Find("accented"), nullptr);
}

TEST(CFDictionaryToDictionary, Keeps259CharactersAndDrops260) {
  TestDict t;
  t.Add("fits", Utf8(std::string(259, 'a').c_str()));
  t.Add("long", Utf8(std::string(260, 'a').c_str()));
  const PlistValue v = Convert(t);
  EXPECT_EQ(v.dictionary()->Find("fits")->text().size(), 259u);
  EXPECT_EQ(v.dictionary()->Find("long"), nullptr);
}

TEST(CFDictionaryToDictionary, NumbersMapByTheirType) {
  TestDict t;
  t.Add("s32", Number(kCFNumberSInt32Type, int32_t{-3}));
  t.Add("int", Number(kCFNumberIntType, 9));
  t.Add("s64", Number(kCFNumberSInt64Type, int64_t{1} << 40));
  t.Add("f64", Number(kCFNumberFloat64Type, 2.5));
  t.Add("f32", Number(kCFNumberFloat32Type, 1.5f));
  t.Add("s16", Number(kCFNumberSInt16Type, int16_t{1}));
  const PlistValue v = Convert(t);
  CIOSDictionary* d = v.dictionary();
  EXPECT_EQ(d->Find("s32")->tag(), kPlistInt32);
  EXPECT_EQ(d->Find("s32")->int32(), -3);
  EXPECT_EQ(d->Find("int")->tag(), kPlistInt32);
  EXPECT_EQ(d->Find("int")->int32(), 9);
  EXPECT_EQ(d->Find("s64")->tag(), kPlistInt64);
  EXPECT_EQ(d->Find("s64")->int64(), int64_t{1} << 40);
  EXPECT_EQ(d->Find("f64")->real(), 2.5);
  EXPECT_EQ(d->Find("f32"), nullptr);
  EXPECT_EQ(d->Find("s16"), nullptr);
}

TEST(CFDictionaryToDictionary, DataBecomesUppercaseHex) {
  TestDict t;
  const uint8_t bytes[] = {0x00, 0xAB, 0x7F, 0xFF};
  t.Add("data", Fun().CFDataCreate(nullptr, bytes, 4));
  t.Add("empty", Fun().CFDataCreate(nullptr, bytes, 0));
  const PlistValue v = Convert(t);
  EXPECT_EQ(v.dictionary()->Find("data")->text(), u"00AB7FFF");
  EXPECT_EQ(v.dictionary()->Find("empty")->tag(), kPlistText);
}

TEST(CFDictionaryToDictionary, BooleansNestingAndUnknownKinds) {
  TestDict inner;
  inner.Add("yes", *Fun().kCFBooleanTrue, false);
  TestDict t;
  t.Add("inner", inner.d, false);
  t.Add("no", kCFBooleanFalse, false);
  t.Add("date", Fun().CFDateCreate(nullptr, 1.0));
  CFMutableArrayRef array = Fun().CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  CFStringRef s = Utf8("x");
  Fun().CFArrayAppendValue(array, s);
  Fun().CFRelease(s);
  t.Add("list", array);
  const PlistValue v = Convert(t);
  CIOSDictionary* d = v.dictionary();
  EXPECT_EQ(d->Find("inner")->dictionary()->Find("yes")->boolean(), -1);
  EXPECT_EQ(d->Find("no")->boolean(), 0);
  EXPECT_EQ(d->Find("date"), nullptr);
  ASSERT_EQ(d->Find("list")->array().size(), 1u);
  EXPECT_EQ(d->Find("list")->array()[0].text(), u"x");
}

TEST(CFDictionaryToDictionary, EntriesWithKeysThatAreNotAsciiStringsAreDropped) {
  TestDict t;
  CFNumberRef number_key = Number(kCFNumberSInt32Type, int32_t{1});
  Fun().CFDictionaryAddValue(t.d, number_key, kCFBooleanTrue);
  Fun().CFRelease(number_key);
  CFStringRef accented = Utf8("cl\xC3\xA9");
  Fun().CFDictionaryAddValue(t.d, accented, kCFBooleanTrue);
  Fun().CFRelease(accented);
  t.Add("ok", kCFBooleanTrue, false);
  const PlistValue v = Convert(t);
  EXPECT_EQ(v.dictionary()->size(), 1u);
  EXPECT_NE(v.dictionary()->Find("ok"), nullptr);
}

TEST(CFArrayToArray, KeepsOrderAndSkipsWhatDoesNotConvert) {
  CFMutableArrayRef array = Fun().CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  for (const char* s : {"one", "t\xC3\xA9", "three"}) {
    CFStringRef str = Utf8(s);
    Fun().CFArrayAppendValue(array, str);
    Fun().CFRelease(str);
  }
  PlistValue v;
  CFArrayToArray(array, &v);
  Fun().CFRelease(array);
  ASSERT_EQ(v.tag(), kPlistArray);
  ASSERT_EQ(v.array().size(), 2u);
  EXPECT_EQ(v.array()[1].text(), u"three");
}

TEST(CFArrayToArray, ArrayHoldingItselfStopsAtTheDepthLimit) {
  CFMutableArrayRef array = Fun().CFArrayCreateMutable(nullptr, 0, nullptr);
  Fun().CFArrayAppendValue(array, array);
  PlistValue v;
  CFArrayToArray(array, &v);
  Fun().CFRelease(array);
  EXPECT_EQ(v.tag(), kPlistArray);
}

TEST(CFConverters, WrongKindGivesEmptyValue) {
  CFStringRef s = Utf8("x");
  PlistValue v = PlistValue::Int32(1);
  CFDictionaryToDictionary(reinterpret_cast<CFDictionaryRef>(s), &v);
  EXPECT_TRUE(v.empty());
  CFArrayToArray(reinterpret_cast<CFArrayRef>(s), &v);
  EXPECT_TRUE(v.empty());
  Fun().CFRelease(s);
}

TEST(CFStringToUtf8, ConvertsAnyTextIncludingSurrogatePairs) {
  CFStringRef s = Utf8("a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(CFStringToUtf8(s), "a\xC3\xA9\xF0\x9F\x98\x80");
  Fun().CFRelease(s);
  EXPECT_EQ(CFStringToUtf8(nullptr), "");
}

}  // namespace
