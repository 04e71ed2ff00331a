// Checks PNG bytes the way a decoder would: signature, chunk CRCs, IHDR, and that the
// IDAT stream inflates to exactly the scanlines the header promises.
#pragma once

#include <cstdint>
#include <string>

namespace devsim::testing {

struct PngInfo {
  bool valid = false;
  uint32_t width = 0, height = 0;
  std::string pixels;  // RGBA rows without filter bytes (filter type 0 only)
};

PngInfo CheckPng(const std::string& png);

}  // namespace devsim::testing
