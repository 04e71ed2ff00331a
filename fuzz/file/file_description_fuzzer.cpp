// Parses arbitrary upload descriptions, journals and block messages, and checks that
// whatever is accepted describes blocks inside the file and serialises again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "utility/module/file/copy_out.h"
#include "utility/module/file/file_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  FileHeader header;
  if (ParseUploadDescription(text, &header)) {
    if (!BlocksWithinFile(header.blocks, header.size)) std::abort();
    if (DescriptionJson(header).empty() || JournalJson(header).empty()) std::abort();
  }
  std::string version;
  int64_t journal_size = 0;
  BlockTable blocks;
  ParseJournal(text, &version, &journal_size, &blocks);
  FilePacket packet;
  ParseBlockMessage(text, &packet);
  std::string name(text);
  std::filesystem::path target = CopyOutTarget(name, name, "/pc");
  if (target.parent_path() != "/pc" || target.filename() == ".." || target.filename() == ".") {
    std::abort();
  }
  return 0;
}
