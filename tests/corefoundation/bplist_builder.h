// Builds binary property lists object by object, so tests can craft malformed ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class BplistBuilder {
 public:
  // Appends an object's encoded bytes; returns its reference number.
  uint64_t Add(std::vector<uint8_t> object);
  // An array or dictionary object whose references use `ref_size` bytes.
  static std::vector<uint8_t> Container(uint8_t kind, const std::vector<uint64_t>& refs,
                                        size_t ref_size);
  static std::vector<uint8_t> AsciiString(const std::string& s);
  // The whole file with `top` as the top object.
  std::string Build(uint64_t top, size_t ref_size) const;

 private:
  std::vector<std::vector<uint8_t>> objects_;
};
