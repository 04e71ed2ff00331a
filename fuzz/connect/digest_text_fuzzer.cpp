// Digest files come from a web server: any text either yields 32 lower-case hexadecimal
// digits or nothing.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "utility/module/connect/driver_fetch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> digest = driver_fetch::ParseDigest(text);
  if (digest) {
    if (digest->size() != 32) std::abort();
    for (char c : *digest) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c))) std::abort();
    }
  }
  return 0;
}
