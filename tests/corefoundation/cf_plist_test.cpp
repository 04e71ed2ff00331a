#include <gtest/gtest.h>

#include <cstring>

#include "cf_test_util.h"

namespace {

const char kXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist version=\"1.0\"><dict>"
    "<key>Name</key><string>caf\xC3\xA9</string><key>Count</key><integer>-42</integer>"
    "<key>Ratio</key><real>1.5</real><key>On</key><true/><key>Blob</key><data>AAEC</data>"
    "<key>When</key><date>2001-01-02T00:00:00Z</date>"
    "<key>List</key><array><string>a</string><integer>1</integer></array></dict></plist>";

CFPtr<CFPropertyListRef> Parse(const std::string& bytes, CFPropertyListFormat* format = nullptr) {
  return CFPtr<CFPropertyListRef>(
      CFPropertyListCreateWithData(nullptr, Bytes(bytes).get(), 0, format, nullptr));
}

TEST(CFPropertyList, ReadsXmlIntoTypedObjects) {
  CFPropertyListFormat format{};
  auto list = Parse(kXml, &format);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
  auto dict = static_cast<CFDictionaryRef>(list.get());
  ASSERT_EQ(CFGetTypeID(dict), CFDictionaryGetTypeID());
  auto count = static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("Count")));
  EXPECT_EQ(CFNumberGetType(count), kCFNumberSInt64Type);
  int64_t v = 0;
  CFNumberGetValue(count, kCFNumberSInt64Type, &v);
  EXPECT_EQ(v, -42);
  EXPECT_EQ(CFNumberGetType(static_cast<CFNumberRef>(CFDictionaryGetValue(dict, CFSTR("Ratio")))),
            kCFNumberFloat64Type);
  EXPECT_EQ(CFDictionaryGetValue(dict, CFSTR("On")), kCFBooleanTrue);
  EXPECT_EQ(ToString(static_cast<CFDataRef>(CFDictionaryGetValue(dict, CFSTR("Blob")))),
            std::string("\x00\x01\x02", 3));
  EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(CFDictionaryGetValue(dict, CFSTR("When")))),
            86400.0);
  EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(CFDictionaryGetValue(dict, CFSTR("Name")))), 4);
}

TEST(CFPropertyList, BinaryRoundTripKeepsEveryValue) {
  auto list = Parse(kXml);
  ASSERT_NE(list, nullptr);
  auto binary = CFPtr<CFDataRef>(CFPropertyListCreateData(nullptr, list.get(),
                                                          kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
  ASSERT_NE(binary, nullptr);
  EXPECT_EQ(ToString(binary.get()).substr(0, 8), "bplist00");
  CFPropertyListFormat format{};
  auto again = Parse(ToString(binary.get()), &format);
  EXPECT_EQ(format, kCFPropertyListBinaryFormat_v1_0);
  EXPECT_TRUE(CFEqual(list.get(), again.get()));
}

TEST(CFPropertyList, XmlDataIsXmlText) {
  auto list = Parse(kXml);
  auto xml = CFPtr<CFDataRef>(CFPropertyListCreateXMLData(nullptr, list.get()));
  ASSERT_NE(xml, nullptr);
  const std::string text = ToString(xml.get());
  EXPECT_EQ(text.rfind("<?xml", 0), 0u);
  EXPECT_NE(text.find("<key>Count</key>"), std::string::npos);
}

TEST(CFPropertyList, WritesToAnOpenStreamOnly) {
  auto list = Parse(kXml);
  auto stream = CFPtr<CFWriteStreamRef>(CFWriteStreamCreateWithAllocatedBuffers(nullptr, nullptr));
  EXPECT_EQ(CFPropertyListWriteToStream(list.get(), stream.get(), kCFPropertyListBinaryFormat_v1_0, nullptr), 0);
  EXPECT_EQ(CFWriteStreamCopyProperty(stream.get(), kCFStreamPropertyDataWritten), nullptr);
  ASSERT_TRUE(CFWriteStreamOpen(stream.get()));
  const CFIndex written =
      CFPropertyListWriteToStream(list.get(), stream.get(), kCFPropertyListBinaryFormat_v1_0, nullptr);
  EXPECT_GT(written, 0);
  auto data = CFPtr<CFDataRef>(static_cast<CFDataRef>(
      CFWriteStreamCopyProperty(stream.get(), kCFStreamPropertyDataWritten)));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(CFDataGetLength(data.get()), written);
  EXPECT_EQ(CFWriteStreamCopyProperty(stream.get(), CFSTR("otherProperty")), nullptr);
  CFWriteStreamClose(stream.get());
  uint8_t byte = 0;
  EXPECT_EQ(CFWriteStreamWrite(stream.get(), &byte, 1), -1);
}

TEST(CFPropertyList, UnsupportedFormatWritesNothing) {
  auto list = Parse(kXml);
  EXPECT_EQ(CFPropertyListCreateData(nullptr, list.get(), kCFPropertyListOpenStepFormat, 0, nullptr), nullptr);
}

TEST(CFPropertyList, ObjectsAPropertyListCannotHoldAreRefused) {
  auto url = CFPtr<CFURLRef>(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp"), kCFURLPOSIXPathStyle, true));
  auto d = CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(d.get(), CFSTR("u"), url.get());
  EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, d.get()), nullptr);
  EXPECT_FALSE(CFPropertyListIsValid(d.get(), kCFPropertyListXMLFormat_v1_0));
  int32_t one = 1;
  auto number_key = CFPtr<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt32Type, &one));
  auto d2 = CFPtr<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(d2.get(), number_key.get(), CFSTR("v"));
  EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, d2.get()), nullptr);
}

TEST(CFPropertyList, ContainerHoldingItselfIsRefusedNotRecursedForever) {
  auto a = CFPtr<CFMutableArrayRef>(CFArrayCreateMutable(nullptr, 0, nullptr));  // no retain: no cycle leak
  CFArrayAppendValue(a.get(), a.get());
  EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, a.get()), nullptr);
}

TEST(CFPropertyList, MutableContainersOptionAllowsChanges) {
  auto list = CFPtr<CFPropertyListRef>(CFPropertyListCreateFromXMLData(
      nullptr, Bytes(kXml).get(), kCFPropertyListMutableContainers, nullptr));
  auto d = const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(list.get()));
  CFDictionarySetValue(d, CFSTR("New"), kCFBooleanFalse);
  EXPECT_EQ(CFDictionaryGetCount(d), 8);
  auto fixed = Parse(kXml);
  CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(fixed.get())),
                       CFSTR("New"), kCFBooleanFalse);
  EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(fixed.get())), 7);
}

TEST(CFPropertyList, DatesKeepSubSecondsAndNegativeTimes) {
  auto date = CFPtr<CFDateRef>(CFDateCreate(nullptr, -1.25));
  const void* values[] = {date.get()};
  auto a = CFPtr<CFArrayRef>(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
  auto bin = CFPtr<CFDataRef>(CFPropertyListCreateData(nullptr, a.get(), kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
  auto back = Parse(ToString(bin.get()));
  ASSERT_NE(back, nullptr);
  auto d = static_cast<CFDateRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(back.get()), 0));
  EXPECT_NEAR(CFDateGetAbsoluteTime(d), -1.25, 1e-6);
}

TEST(CFPropertyList, InvalidUtf8TextBecomesReplacementCharacters) {
  auto list = Parse("<plist><string>a\xFF" "b</string></plist>");
  ASSERT_NE(list, nullptr);
  auto s = static_cast<CFStringRef>(list.get());
  EXPECT_EQ(CFStringGetLength(s), 3);
  EXPECT_EQ(CFStringGetCharacterAtIndex(s, 1), 0xFFFD);
}

TEST(CFPropertyList, RefusesGarbageEmptyAndWrongTypes) {
  EXPECT_EQ(Parse(""), nullptr);
  EXPECT_EQ(Parse("not a property list"), nullptr);
  EXPECT_EQ(Parse("bplist00"), nullptr);
  EXPECT_EQ(CFPropertyListCreateWithData(nullptr, reinterpret_cast<CFDataRef>(Str("x").get()), 0,
                                         nullptr, nullptr),
            nullptr);
}

}  // namespace
