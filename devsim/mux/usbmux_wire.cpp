#include "mux/usbmux_wire.h"

#include <cstring>

namespace devsim::usbmux {
namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

HeaderError DecodeHeader(const uint8_t* bytes, Header* out) {
  out->length = Le32(bytes);
  out->version = Le32(bytes + 4);
  out->message = Le32(bytes + 8);
  out->tag = Le32(bytes + 12);
  if (out->length < kHeaderSize) return HeaderError::kTooShort;
  if (out->length > kMaxPacket) return HeaderError::kTooLong;
  return HeaderError::kNone;
}

void EncodeHeader(const Header& h, uint8_t* out) {
  PutLe32(out, h.length);
  PutLe32(out + 4, h.version);
  PutLe32(out + 8, h.message);
  PutLe32(out + 12, h.tag);
}

std::string EncodePlistPacket(uint32_t tag, plist_t body) {
  std::string xml = ToXml(body);
  Header h{static_cast<uint32_t>(kHeaderSize + xml.size()), kVersionPlist, kMessagePlist, tag};
  std::string out(kHeaderSize, '\0');
  EncodeHeader(h, reinterpret_cast<uint8_t*>(out.data()));
  out += xml;
  return out;
}

std::string EncodeResultPacket(uint32_t tag, uint64_t number) {
  Plist body = NewDict();
  SetString(body.get(), "MessageType", "Result");
  SetUint(body.get(), "Number", number);
  return EncodePlistPacket(tag, body.get());
}

bool ParseRequest(std::string_view payload, Request* out, std::string* error) {
  Plist body = ParsePlist(payload);
  if (!IsDict(body.get())) {
    *error = "payload is not a property-list dictionary";
    return false;
  }
  auto type = DictString(body.get(), "MessageType");
  if (!type) {
    *error = "MessageType missing";
    return false;
  }
  out->message_type = *type;
  out->device_id = DictUint(body.get(), "DeviceID");
  out->port_number_raw = DictUint(body.get(), "PortNumber");
  out->pair_record_id = DictString(body.get(), "PairRecordID");
  out->pair_record_data = DictData(body.get(), "PairRecordData");
  out->prog_name = DictString(body.get(), "ProgName").value_or("");
  out->body = std::move(body);
  return true;
}

std::optional<uint16_t> DecodePort(uint64_t raw) {
  if (raw > 0xFFFF) return std::nullopt;
  return static_cast<uint16_t>(((raw & 0xFF) << 8) | ((raw >> 8) & 0xFF));
}

}  // namespace devsim::usbmux
