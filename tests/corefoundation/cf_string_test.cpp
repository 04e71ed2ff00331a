#include <gtest/gtest.h>

#include "cf_test_util.h"

namespace {

TEST(CFString, LengthCountsUtf16Units) {
  EXPECT_EQ(CFStringGetLength(Str("abc").get()), 3);
  EXPECT_EQ(CFStringGetLength(Str("\xC3\xA9").get()), 1);            // é
  EXPECT_EQ(CFStringGetLength(Str("\xF0\x9F\x98\x80").get()), 2);    // emoji: a surrogate pair
}

TEST(CFString, AsciiCopyFailsForNonAsciiText) {
  char buf[64];
  EXPECT_TRUE(CFStringGetCString(Str("plain").get(), buf, sizeof buf, kCFStringEncodingASCII));
  EXPECT_STREQ(buf, "plain");
  EXPECT_FALSE(CFStringGetCString(Str("caf\xC3\xA9").get(), buf, sizeof buf, kCFStringEncodingASCII));
}

TEST(CFString, CopyNeedsRoomForTheTerminator) {
  char buf[4];
  EXPECT_FALSE(CFStringGetCString(Str("abcd").get(), buf, 4, kCFStringEncodingASCII));
  EXPECT_TRUE(CFStringGetCString(Str("abc").get(), buf, 4, kCFStringEncodingASCII));
  EXPECT_STREQ(buf, "abc");
  // "é" is two bytes in UTF-8: three with the NUL.
  EXPECT_FALSE(CFStringGetCString(Str("\xC3\xA9").get(), buf, 2, kCFStringEncodingUTF8));
  EXPECT_TRUE(CFStringGetCString(Str("\xC3\xA9").get(), buf, 3, kCFStringEncodingUTF8));
  EXPECT_STREQ(buf, "\xC3\xA9");
}

TEST(CFString, CreationRefusesInvalidUtf8AndNonAsciiBytesForAscii) {
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xED\xA0\x80", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3\xA9", kCFStringEncodingASCII), nullptr);
  auto latin = CFPtr<CFStringRef>(CFStringCreateWithCString(nullptr, "\xE9", kCFStringEncodingISOLatin1));
  EXPECT_TRUE(CFEqual(latin.get(), Str("\xC3\xA9").get()));
}

TEST(CFString, ConstantStringsAreInternedAndOutliveRelease) {
  CFStringRef a = __CFStringMakeConstantString("ProductVersion");
  CFStringRef b = CFSTR("ProductVersion");
  EXPECT_EQ(a, b);
  CFRelease(a);
  CFRelease(a);
  char buf[32];
  EXPECT_TRUE(CFStringGetCString(b, buf, sizeof buf, kCFStringEncodingUTF8));
  EXPECT_STREQ(buf, "ProductVersion");
}

TEST(CFString, CopySharesTheImmutableString) {
  auto s = Str("x");
  auto copy = CFPtr<CFStringRef>(CFStringCreateCopy(nullptr, s.get()));
  EXPECT_TRUE(CFEqual(s.get(), copy.get()));
  EXPECT_EQ(CFGetRetainCount(s.get()), 2);
}

TEST(CFString, FunctionsRefuseObjectsOfAnotherType) {
  auto data = Bytes("abc");
  char buf[8];
  EXPECT_EQ(CFStringGetLength(reinterpret_cast<CFStringRef>(data.get())), 0);
  EXPECT_FALSE(CFStringGetCString(reinterpret_cast<CFStringRef>(data.get()), buf, 8,
                                  kCFStringEncodingUTF8));
  EXPECT_EQ(CFStringCreateCopy(nullptr, reinterpret_cast<CFStringRef>(data.get())), nullptr);
}

TEST(CFTypes, TypeNumbersAreFixed) {
  auto s = Str("x");
  auto d = Bytes("x");
  auto a = CFPtr<CFArrayRef>(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
  auto dict = CFPtr<CFDictionaryRef>(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, nullptr, nullptr));
  int32_t v = 1;
  auto n = CFPtr<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt32Type, &v));
  auto date = CFPtr<CFDateRef>(CFDateCreate(nullptr, 0));
  EXPECT_EQ(CFGetTypeID(s.get()), 7u);
  EXPECT_EQ(CFGetTypeID(dict.get()), 18u);
  EXPECT_EQ(CFGetTypeID(a.get()), 19u);
  EXPECT_EQ(CFGetTypeID(d.get()), 20u);
  EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), 21u);
  EXPECT_EQ(CFGetTypeID(n.get()), 22u);
  EXPECT_EQ(CFGetTypeID(date.get()), CFDateGetTypeID());
  EXPECT_TRUE(CFDateGetTypeID() < 7 || CFDateGetTypeID() > 22);
  EXPECT_EQ(CFGetTypeID(nullptr), 0u);
}

TEST(CFDate, AbsoluteTimeCountsFrom2001) {
  const CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
  const double unix_now = static_cast<double>(time(nullptr));
  EXPECT_NEAR(now, unix_now - 978307200.0, 5.0);
  auto date = CFPtr<CFDateRef>(CFDateCreate(nullptr, 12.5));
  EXPECT_EQ(CFDateGetAbsoluteTime(date.get()), 12.5);
}

TEST(CFData, CopyIsIndependentOfTheSource) {
  auto m = CFPtr<CFMutableDataRef>(CFDataCreateMutable(nullptr, 0));
  CFDataAppendBytes(m.get(), reinterpret_cast<const uint8_t*>("ab"), 2);
  auto copy = CFPtr<CFDataRef>(CFDataCreateCopy(nullptr, m.get()));
  CFDataAppendBytes(m.get(), reinterpret_cast<const uint8_t*>("c"), 1);
  EXPECT_EQ(ToString(copy.get()), "ab");
  EXPECT_EQ(ToString(m.get()), "abc");
  // Immutable data refuses to grow.
  CFDataAppendBytes(const_cast<CFMutableDataRef>(copy.get()), reinterpret_cast<const uint8_t*>("x"), 1);
  EXPECT_EQ(CFDataGetLength(copy.get()), 2);
}

TEST(CFData, EmptyDataHasAUsablePointer) {
  auto d = Bytes("");
  EXPECT_EQ(CFDataGetLength(d.get()), 0);
  EXPECT_NE(CFDataGetBytePtr(d.get()), nullptr);
  EXPECT_EQ(CFDataCreate(nullptr, nullptr, 5), nullptr);
  EXPECT_EQ(CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>("a"), -1), nullptr);
}

}  // namespace
