// Reads arbitrary bytes as the device's iTunes database, the way command 1001 reads the
// copy of iTunesCDB, and sorts its tracks.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utility/module/media/itunes_db_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ItunesDbReader reader;
  reader.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  reader.ExtractMedia();
  return 0;
}
