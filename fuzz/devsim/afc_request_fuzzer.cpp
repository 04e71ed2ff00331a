// AFC: a stream of packets run against a session on a scratch folder, which is emptied
// after every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "services/afc/afc_session.h"

namespace {

const std::filesystem::path& Scratch() {
  static const std::filesystem::path dir = [] {
    char tmpl[] = "/tmp/devsim-afc-fuzz-XXXXXX";
    return std::filesystem::path(mkdtemp(tmpl));
  }();
  return dir;
}

void Reset(const std::filesystem::path& root) {
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  std::filesystem::create_directories(root / "DCIM/100APPLE", ec);
  std::ofstream(root / "DCIM/100APPLE/IMG_0001.JPG") << "jpeg";
  std::filesystem::create_symlink("/DCIM", root / "link", ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace devsim;
  std::filesystem::path root = Scratch() / "media";
  Reset(root);
  {
    AfcSession session(root, [] { return KeyValues{{"Model", "iPhone14,5"}}; });
    AfcReply reply;
    while (size >= afc::kHeaderSize) {
      afc::Header h;
      if (afc::DecodeHeader(data, &h) != afc::HeaderError::kNone) break;
      size_t rest = size - afc::kHeaderSize;
      size_t hdr_data = h.this_length - afc::kHeaderSize;
      if (hdr_data > rest) break;
      size_t payload = h.entire_length - h.this_length;
      if (payload > rest - hdr_data) payload = rest - hdr_data;
      const char* p = reinterpret_cast<const char*>(data + afc::kHeaderSize);
      session.Handle(h, std::string_view(p, hdr_data), std::string_view(p + hdr_data, payload),
                     &reply);
      size_t used = afc::kHeaderSize + hdr_data + payload;
      data += used;
      size -= used;
    }
  }
  // Whatever the input did must have stayed inside the media folder.
  for (const auto& entry : std::filesystem::directory_iterator(Scratch())) {
    if (entry.path().filename() != "media") __builtin_trap();
  }
  return 0;
}
