// usbmux packets: header decoding, request parsing and the port decoding of Connect.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mux/usbmux_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace devsim::usbmux;
  while (size >= kHeaderSize) {
    Header h;
    if (DecodeHeader(data, &h) != HeaderError::kNone) return 0;
    size_t body = h.length - kHeaderSize;
    if (body > size - kHeaderSize) body = size - kHeaderSize;
    Request req;
    std::string why;
    if (ParseRequest(std::string_view(reinterpret_cast<const char*>(data + kHeaderSize), body),
                     &req, &why)) {
      if (req.port_number_raw) DecodePort(*req.port_number_raw);
      EncodeResultPacket(h.tag, req.device_id.value_or(0));
    }
    data += kHeaderSize + body;
    size -= kHeaderSize + body;
  }
  return 0;
}
