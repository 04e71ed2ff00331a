// The three framings: usbmux packets, lockdown/plist-service frames, AFC headers.
#include <gtest/gtest.h>

#include <cstring>

#include "services/afc/afc_wire.h"
#include "plist/plist_frame.h"
#include "mux/usbmux_wire.h"

namespace devsim {
namespace {

// A stream over a fixed string, for reading frames.
class StringStream : public ByteStream {
 public:
  explicit StringStream(std::string in) : in_(std::move(in)) {}
  ssize_t ReadSome(void* buf, size_t len) override {
    size_t n = std::min(len, in_.size() - pos_);
    std::memcpy(buf, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  using ByteStream::WriteAll;
  bool WriteAll(const void* buf, size_t len) override {
    out.append(static_cast<const char*>(buf), len);
    return true;
  }
  std::string out;

 private:
  std::string in_;
  size_t pos_ = 0;
};

std::string UsbmuxHeader(uint32_t length, uint32_t version = 1, uint32_t message = 8) {
  uint8_t raw[16];
  usbmux::EncodeHeader({length, version, message, 7}, raw);
  return std::string(reinterpret_cast<char*>(raw), 16);
}

TEST(UsbmuxWire, HeaderRoundTripsAndRejectsImpossibleLengths) {
  usbmux::Header h;
  std::string ok = UsbmuxHeader(100);
  ASSERT_EQ(usbmux::DecodeHeader(reinterpret_cast<const uint8_t*>(ok.data()), &h),
            usbmux::HeaderError::kNone);
  EXPECT_EQ(h.length, 100u);
  EXPECT_EQ(h.tag, 7u);
  std::string small = UsbmuxHeader(15);
  EXPECT_EQ(usbmux::DecodeHeader(reinterpret_cast<const uint8_t*>(small.data()), &h),
            usbmux::HeaderError::kTooShort);
  std::string big = UsbmuxHeader(usbmux::kMaxPacket + 1);
  EXPECT_EQ(usbmux::DecodeHeader(reinterpret_cast<const uint8_t*>(big.data()), &h),
            usbmux::HeaderError::kTooLong);
  std::string max = UsbmuxHeader(usbmux::kMaxPacket);
  EXPECT_EQ(usbmux::DecodeHeader(reinterpret_cast<const uint8_t*>(max.data()), &h),
            usbmux::HeaderError::kNone);
}

TEST(UsbmuxWire, PortNumberIsByteSwapped) {
  EXPECT_EQ(usbmux::DecodePort(32498), 62078);
  EXPECT_EQ(usbmux::DecodePort(0x0100), 1);
  EXPECT_FALSE(usbmux::DecodePort(0x10000).has_value());
}

TEST(UsbmuxWire, ReplyIsOnePlistPacketWithTheTagEchoed) {
  std::string p = usbmux::EncodeResultPacket(42, 3);
  usbmux::Header h;
  ASSERT_EQ(usbmux::DecodeHeader(reinterpret_cast<const uint8_t*>(p.data()), &h),
            usbmux::HeaderError::kNone);
  EXPECT_EQ(h.length, p.size());
  EXPECT_EQ(h.version, 1u);
  EXPECT_EQ(h.message, 8u);
  EXPECT_EQ(h.tag, 42u);
  Plist body = ParsePlist(p.substr(16));
  EXPECT_EQ(DictUint(body.get(), "Number"), 3u);
  EXPECT_EQ(p.find("<?xml"), 16u) << "clients parse replies as XML only";
}

TEST(UsbmuxWire, RequestNeedsADictionaryWithAMessageType) {
  usbmux::Request req;
  std::string why;
  EXPECT_FALSE(usbmux::ParseRequest("not a plist", &req, &why));
  EXPECT_FALSE(usbmux::ParseRequest("<plist><array/></plist>", &req, &why));
  EXPECT_FALSE(usbmux::ParseRequest(
      "<plist><dict><key>MessageType</key><integer>1</integer></dict></plist>", &req, &why));
  ASSERT_TRUE(usbmux::ParseRequest(
      "<plist><dict><key>MessageType</key><string>Connect</string><key>DeviceID</key>"
      "<integer>3</integer><key>PortNumber</key><integer>32498</integer></dict></plist>",
      &req, &why));
  EXPECT_EQ(req.message_type, "Connect");
  EXPECT_EQ(req.device_id, 3u);
  EXPECT_EQ(req.port_number_raw, 32498u);
}

TEST(PlistFrame, ReadsAFrameAndTellsEmptyOversizedAndTruncatedApart) {
  std::string body;
  StringStream ok(EncodeFrame("<plist/>"));
  EXPECT_EQ(ReadFrame(ok, 100, &body), FrameStatus::kOk);
  EXPECT_EQ(body, "<plist/>");
  StringStream closed("");
  EXPECT_EQ(ReadFrame(closed, 100, &body), FrameStatus::kClosed);
  StringStream empty(std::string(4, '\0'));
  EXPECT_EQ(ReadFrame(empty, 100, &body), FrameStatus::kEmpty);
  StringStream huge(std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(ReadFrame(huge, kMaxLockdownMessage, &body), FrameStatus::kTooLong);
  StringStream shortbody(EncodeFrame("abcdef").substr(0, 7));
  EXPECT_EQ(ReadFrame(shortbody, 100, &body), FrameStatus::kTruncated);
  StringStream shorthdr(std::string("\0\0", 2));
  EXPECT_EQ(ReadFrame(shorthdr, 100, &body), FrameStatus::kTruncated);
}

TEST(PlistFrame, LengthIsBigEndian) {
  std::string f = EncodeFrame(std::string(0x0102, 'x'));
  EXPECT_EQ(f.substr(0, 4), std::string("\0\0\x01\x02", 4));
}

TEST(AfcWire, HeaderLimitsAreEnforced) {
  auto make = [](uint64_t entire, uint64_t self, const char* magic = afc::kMagic) {
    std::string s(magic, 8);
    afc::AppendLe64(&s, entire);
    afc::AppendLe64(&s, self);
    afc::AppendLe64(&s, 1);
    afc::AppendLe64(&s, afc::kOpGetDeviceInfo);
    return s;
  };
  afc::Header h;
  auto decode = [&](const std::string& s) {
    return afc::DecodeHeader(reinterpret_cast<const uint8_t*>(s.data()), &h);
  };
  EXPECT_EQ(decode(make(40, 40)), afc::HeaderError::kNone);
  EXPECT_EQ(decode(make(40, 40, "CFA6LPAB")), afc::HeaderError::kBadMagic);
  EXPECT_EQ(decode(make(40, 39)), afc::HeaderError::kBadLengths);
  EXPECT_EQ(decode(make(40, 48)), afc::HeaderError::kBadLengths);
  EXPECT_EQ(decode(make(UINT64_MAX, 40)), afc::HeaderError::kPayloadTooLong);
  EXPECT_EQ(decode(make(40 + afc::kMaxHeaderData + 1, 40 + afc::kMaxHeaderData + 1)),
            afc::HeaderError::kHeaderDataTooLong);
  EXPECT_EQ(decode(make(48 + afc::kMaxPayload, 48)), afc::HeaderError::kNone);
}

TEST(AfcWire, CStringsMayLackTheirFinalNul) {
  std::string s;
  size_t next = 0;
  std::string data("a\0bc", 4);
  ASSERT_TRUE(afc::ReadCString(data, 0, &s, &next));
  EXPECT_EQ(s, "a");
  ASSERT_TRUE(afc::ReadCString(data, next, &s, &next));
  EXPECT_EQ(s, "bc");
  EXPECT_FALSE(afc::ReadCString(data, next, &s, &next));
}

}  // namespace
}  // namespace devsim
