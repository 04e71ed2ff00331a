// Checks property-list bytes before they reach the parser, which recurses once per
// nesting level and expands shared references of the binary format into copies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cf {

// Deepest container nesting accepted, in either format.
constexpr unsigned kMaxPlistDepth = 256;

// Binary layout ("bplist00"): objects, an offset table and a 32-byte trailer holding
// offset size, reference size, object count, top object and offset table position.
// True when every container of the graph reachable from the top object is in range,
// free of cycles, at most kMaxPlistDepth deep, has string keys without NUL characters,
// and expanding shared references yields at most `max_nodes` nodes.
bool BinaryPlistIsSafe(const uint8_t* data, size_t size, uint64_t max_nodes);

// XML: true when the text has no NUL byte and `<array>`/`<dict>` elements nest at most
// kMaxPlistDepth deep. The scan is lexical and errs towards refusing.
bool XmlPlistIsSafe(const char* data, size_t size);

}  // namespace cf
