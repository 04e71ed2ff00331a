#include "common/binary_plist.h"

#include <gtest/gtest.h>

#include "iOSAPI/MobileExportFun.h"

namespace {

const std::string kXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist version=\"1.0\"><array>"
    "<string>DLMessageVersionExchange</string><string>DLVersionsOk</string><integer>100</integer>"
    "</array></plist>";

TEST(XmlToBinaryPlist, ProducesBinaryBytesOwnedByCFData) {
  BinaryPlistPtr p = XmlToBinaryPlist(kXml.data(), kXml.size());
  ASSERT_NE(p, nullptr);
  ASSERT_GT(p->length, 8u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p->bytes), 8), "bplist00");
  auto& fun = CMobileExportFun::GetInstance();
  EXPECT_EQ(fun.CFDataGetBytePtr(p->data), p->bytes);
  EXPECT_EQ(static_cast<uint32_t>(fun.CFDataGetLength(p->data)), p->length);
}

TEST(XmlToBinaryPlist, NullForTextThatDoesNotParse) {
  const std::string bad = "<plist><array><string>unclosed</array>";
  EXPECT_EQ(XmlToBinaryPlist(bad.data(), bad.size()), nullptr);
  EXPECT_EQ(XmlToBinaryPlist(nullptr, 0), nullptr);
}

TEST(CFPropertyListToBytes, WritesXmlOrBinaryOnRequest) {
  auto& fun = CMobileExportFun::GetInstance();
  CFPropertyListRef list = XmlToCFPropertyList(kXml.data(), kXml.size());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(fun.CFGetTypeID(list), kCFTypeIdArray);
  BinaryPlistPtr xml = CFPropertyListToBytes(list, kCFPropertyListXMLFormat_v1_0);
  ASSERT_NE(xml, nullptr);
  const std::string text(reinterpret_cast<const char*>(xml->bytes), xml->length);
  EXPECT_EQ(text.rfind("<?xml", 0), 0u);
  EXPECT_NE(text.find("DLVersionsOk"), std::string::npos);
  BinaryPlistPtr bin = CFPropertyListToBytes(list, kCFPropertyListBinaryFormat_v1_0);
  ASSERT_NE(bin, nullptr);
  EXPECT_EQ(bin->bytes[0], 'b');
  EXPECT_EQ(CFPropertyListToBytes(list, static_cast<CFPropertyListFormat>(7)), nullptr);
  fun.CFRelease(list);
}

TEST(CFPropertyListToBytes, NullForNoList) {
  EXPECT_EQ(CFPropertyListToBytes(nullptr, kCFPropertyListBinaryFormat_v1_0), nullptr);
}

}  // namespace
