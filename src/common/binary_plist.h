// Property lists to bytes and back through the CoreFoundation table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "iOSAPI/core_foundation_api.h"

// Serialised property-list bytes and the CF data object that owns them; the data is
// released (through the table) when the BinaryPlist goes away, i.e. after sending.
struct BinaryPlist {
  BinaryPlist(const uint8_t* b, uint32_t n, CFDataRef d) : bytes(b), length(n), data(d) {}
  ~BinaryPlist();
  BinaryPlist(const BinaryPlist&) = delete;
  BinaryPlist& operator=(const BinaryPlist&) = delete;

  const uint8_t* bytes;
  uint32_t length;
  CFDataRef data;
};
using BinaryPlistPtr = std::unique_ptr<BinaryPlist>;

// Serialises a CF property list in `format` (100 XML, 200 binary) through a write stream.
// Null on failure, when nothing was written or when the result exceeds 4 GiB.
BinaryPlistPtr CFPropertyListToBytes(CFPropertyListRef list, CFPropertyListFormat format);

// XML property-list text to the binary format (200). Null when the text does not parse.
BinaryPlistPtr XmlToBinaryPlist(const char* text, size_t length);

// XML property-list text to an immutable CF property list that the caller releases.
CFPropertyListRef XmlToCFPropertyList(const char* text, size_t length);
