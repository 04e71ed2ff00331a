// Minimal PNG encoder (8-bit RGBA, one IDAT chunk) and the generated icons the simulated
// device hands out: real PNG files any decoder accepts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace devsim {

// rgba holds width * height * 4 bytes, rows top to bottom. Empty on bad dimensions.
std::string EncodePng(uint32_t width, uint32_t height, std::string_view rgba);

// A square icon whose colours derive from `seed` (a bundle id), so each app looks its own
// and the same app always looks the same.
std::string MakeIconPng(std::string_view seed, uint32_t size = 120);

}  // namespace devsim
