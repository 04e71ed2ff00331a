// Parses arbitrary request payloads the way every module does.
#include <cstddef>
#include <cstdint>

#include "common/message_sections.h"
#include "common/zlib_codec.h"
#include "utility/module/vado_module.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bas::IPCPacket1 packet;
  packet.length = size;
  if (size > 0) {
    packet.payload.assign(data, data + size);
    packet.payload.push_back(0);
  }
  RequestHeader request = ParseRequestHeader(packet);
  if (request.valid && !request.body.empty()) ZlibDecompress(request.body, 1 << 20);
  return 0;
}
