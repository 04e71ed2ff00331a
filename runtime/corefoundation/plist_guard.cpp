#include "plist_guard.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace cf {
namespace {

constexpr size_t kTrailerSize = 32;

uint64_t ReadBigEndian(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

struct BinaryLayout {
  const uint8_t* data;
  size_t size;
  size_t offset_size;
  size_t ref_size;
  uint64_t count;
  uint64_t table;  // offset table position
  size_t objects_end;  // objects lie in [8, objects_end)
};

// Offset of object `ref`, or false when out of range.
bool ObjectOffset(const BinaryLayout& l, uint64_t ref, size_t* offset) {
  if (ref >= l.count) return false;
  const uint64_t at = ReadBigEndian(l.data + l.table + ref * l.offset_size, l.offset_size);
  if (at < 8 || at >= l.objects_end) return false;
  *offset = static_cast<size_t>(at);
  return true;
}

// Reads the element count of the object at `offset` (low nibble, or a following integer
// object when the nibble is 0xF); `pos` is left at the first byte after the header.
bool ReadCount(const BinaryLayout& l, size_t offset, uint64_t* count, size_t* pos) {
  *count = l.data[offset] & 0x0F;
  *pos = offset + 1;
  if (*count != 0x0F) return true;
  if (*pos >= l.objects_end) return false;
  const uint8_t int_marker = l.data[*pos];
  if ((int_marker >> 4) != 0x1 || (int_marker & 0x0F) > 3) return false;
  const size_t n = size_t{1} << (int_marker & 0x0F);
  if (l.objects_end - *pos - 1 < n) return false;
  *count = ReadBigEndian(l.data + *pos + 1, n);
  *pos += 1 + n;
  return true;
}

// A dictionary key must be a string (ASCII or UTF-16) inside the object area without NUL
// characters, which the parser cannot hand out as a key.
bool KeyIsSafe(const BinaryLayout& l, uint64_t ref) {
  size_t offset;
  if (!ObjectOffset(l, ref, &offset)) return false;
  const uint8_t kind = l.data[offset] >> 4;
  if (kind != 0x5 && kind != 0x6) return false;
  uint64_t count;
  size_t pos;
  if (!ReadCount(l, offset, &count, &pos)) return false;
  const uint64_t unit = kind == 0x6 ? 2 : 1;
  if (count > (l.objects_end - pos) / unit) return false;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* c = l.data + pos + i * unit;
    if (c[0] == 0 && (unit == 1 || c[1] == 0)) return false;
  }
  return true;
}

// For a container object at `offset`: its references (into `refs`). Returns false on a
// malformed header or a bad dictionary key; non-containers yield no references.
bool ChildRefs(const BinaryLayout& l, size_t offset, std::vector<uint64_t>* refs) {
  refs->clear();
  const uint8_t kind = l.data[offset] >> 4;
  // 0xA array, 0xB ordset, 0xC set, 0xD dictionary (keys then values).
  if (kind < 0xA || kind > 0xD) return true;
  uint64_t count;
  size_t pos;
  if (!ReadCount(l, offset, &count, &pos)) return false;
  const uint64_t keys = kind == 0xD ? count : 0;
  if (kind == 0xD) {
    if (count > UINT64_MAX / 2) return false;
    count *= 2;
  }
  if (count > (l.objects_end - pos) / l.ref_size) return false;
  refs->reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    refs->push_back(ReadBigEndian(l.data + pos + i * l.ref_size, l.ref_size));
    if (i < keys && !KeyIsSafe(l, refs->back())) return false;
  }
  return true;
}

}  // namespace

bool BinaryPlistIsSafe(const uint8_t* data, size_t size, uint64_t max_nodes) {
  if (size < 8 + kTrailerSize || std::memcmp(data, "bplist", 6) != 0) return false;
  const uint8_t* trailer = data + size - kTrailerSize;
  BinaryLayout l{data, size, trailer[6], trailer[7], ReadBigEndian(trailer + 8, 8), 0, 0};
  const uint64_t top = ReadBigEndian(trailer + 16, 8);
  l.table = ReadBigEndian(trailer + 24, 8);
  if (l.offset_size < 1 || l.offset_size > 8 || l.ref_size < 1 || l.ref_size > 8) return false;
  if (l.count == 0 || top >= l.count || l.table < 8 || l.table > size - kTrailerSize) {
    return false;
  }
  if (l.count > (size - kTrailerSize - l.table) / l.offset_size) return false;
  l.objects_end = static_cast<size_t>(l.table);

  // Depth-first walk with an explicit stack. Each container's expanded node count and
  // height are memoised, so a shared sub-graph costs one visit.
  enum : uint8_t { kUnseen, kOnPath, kDone };
  const auto count = static_cast<size_t>(l.count);
  std::vector<uint8_t> state(count, kUnseen);
  std::vector<uint64_t> nodes(count, 1);
  std::vector<uint32_t> height(count, 0);

  struct Frame {
    uint64_t ref;
    std::vector<uint64_t> children;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  std::vector<uint64_t> children;
  // Visits `ref`: leaves are finished at once, containers get a frame.
  auto enter = [&](uint64_t ref) {
    size_t offset;
    if (!ObjectOffset(l, ref, &offset) || !ChildRefs(l, offset, &children)) return false;
    if ((l.data[offset] >> 4) < 0xA) {
      state[ref] = kDone;
      return true;
    }
    if (stack.size() >= kMaxPlistDepth) return false;
    state[ref] = kOnPath;
    stack.push_back({ref, std::move(children), 0});
    children = {};
    return true;
  };
  if (!enter(top)) return false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.children.size()) {
      const uint64_t child = f.children[f.next++];
      if (child >= l.count || state[child] == kOnPath) return false;  // bad ref or cycle
      if (state[child] == kUnseen && !enter(child)) return false;
      continue;
    }
    uint64_t total = 1;
    uint32_t h = 0;
    for (uint64_t c : f.children) {
      total += nodes[c];
      if (total > max_nodes) return false;
      if (height[c] > h) h = height[c];
    }
    nodes[f.ref] = total;
    height[f.ref] = h + 1;
    state[f.ref] = kDone;
    stack.pop_back();
  }
  return true;
}

bool XmlPlistIsSafe(const char* data, size_t size) {
  const std::string_view text(data, size);
  // XML has no NUL characters; a raw one would reach the parser's keys unchecked.
  if (text.find('\0') != std::string_view::npos) return false;
  unsigned depth = 0;
  size_t pos = 0;
  while ((pos = text.find('<', pos)) != std::string_view::npos) {
    const std::string_view rest = text.substr(pos + 1);
    if (rest.substr(0, 3) == "!--") {
      const size_t end = text.find("-->", pos + 4);
      if (end == std::string_view::npos) return true;  // unterminated: the parser refuses it
      pos = end + 3;
      continue;
    }
    if (rest.substr(0, 8) == "![CDATA[") {
      const size_t end = text.find("]]>", pos + 9);
      if (end == std::string_view::npos) return true;
      pos = end + 3;
      continue;
    }
    const size_t close = text.find('>', pos + 1);
    if (close == std::string_view::npos) return true;
    std::string_view tag = text.substr(pos + 1, close - pos - 1);
    pos = close + 1;
    if (tag.empty() || tag.front() == '?' || tag.front() == '!') continue;
    const bool closing = tag.front() == '/';
    if (closing) tag.remove_prefix(1);
    const bool self_closing = !closing && tag.back() == '/';
    const size_t name_end = tag.find_first_of(" \t\r\n/");
    const std::string_view name = tag.substr(0, name_end);
    if (name != "array" && name != "dict") continue;
    if (closing) {
      if (depth > 0) --depth;
    } else if (!self_closing && ++depth > kMaxPlistDepth) {
      return false;
    }
  }
  return true;
}

}  // namespace cf
