#include "bplist_builder.h"

namespace {
void PutBigEndian(std::vector<uint8_t>* out, uint64_t v, size_t n) {
  for (size_t i = n; i-- > 0;) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

uint64_t BplistBuilder::Add(std::vector<uint8_t> object) {
  objects_.push_back(std::move(object));
  return objects_.size() - 1;
}

std::vector<uint8_t> BplistBuilder::Container(uint8_t kind, const std::vector<uint64_t>& refs,
                                              size_t ref_size) {
  std::vector<uint8_t> out;
  const size_t count = kind == 0xD ? refs.size() / 2 : refs.size();
  if (count < 15) {
    out.push_back(static_cast<uint8_t>(kind << 4 | count));
  } else {
    out.push_back(static_cast<uint8_t>(kind << 4 | 0x0F));
    out.push_back(0x13);
    PutBigEndian(&out, count, 8);
  }
  for (uint64_t r : refs) PutBigEndian(&out, r, ref_size);
  return out;
}

std::vector<uint8_t> BplistBuilder::AsciiString(const std::string& s) {
  std::vector<uint8_t> out;
  if (s.size() < 15) {
    out.push_back(static_cast<uint8_t>(0x50 | s.size()));
  } else {
    out.push_back(0x5F);
    out.push_back(0x13);
    PutBigEndian(&out, s.size(), 8);
  }
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

std::string BplistBuilder::Build(uint64_t top, size_t ref_size) const {
  std::vector<uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<uint64_t> offsets;
  for (const auto& o : objects_) {
    offsets.push_back(out.size());
    out.insert(out.end(), o.begin(), o.end());
  }
  const uint64_t table = out.size();
  for (uint64_t off : offsets) PutBigEndian(&out, off, 8);
  out.insert(out.end(), 6, 0);
  out.push_back(8);
  out.push_back(static_cast<uint8_t>(ref_size));
  PutBigEndian(&out, objects_.size(), 8);
  PutBigEndian(&out, top, 8);
  PutBigEndian(&out, table, 8);
  return std::string(out.begin(), out.end());
}
