#include "platform/registry_file.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "common/text_convert.h"

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// True when `path` is `parent` itself or lies below it.
bool IsSameOrBelow(std::string_view path, std::string_view parent) {
  if (path.size() < parent.size() || !EqualsNoCase(path.substr(0, parent.size()), parent)) {
    return false;
  }
  return path.size() == parent.size() || path[parent.size()] == '\\';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Reads a quoted text at the start of `s` (which begins with '"'), undoing the \\ and \"
// escapes. Leaves `s` after the closing quote. False when the quote is not closed.
bool ReadQuoted(std::string_view* s, std::string* out) {
  out->clear();
  size_t i = 1;
  while (i < s->size()) {
    const char c = (*s)[i];
    if (c == '\\' && i + 1 < s->size()) {
      out->push_back((*s)[i + 1]);
      i += 2;
    } else if (c == '"') {
      s->remove_prefix(i + 1);
      return true;
    } else {
      out->push_back(c);
      ++i;
    }
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "01,ab, 2f" -> bytes; false on anything but one or two hex digits per item.
bool ParseHexList(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  s = Trim(s);
  if (s.empty()) return true;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string_view::npos) comma = s.size();
    const std::string_view item = Trim(s.substr(start, comma - start));
    if (item.empty() || item.size() > 2) return false;
    int value = 0;
    for (char c : item) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      value = value * 16 + d;
    }
    out->push_back(static_cast<uint8_t>(value));
    start = comma + 1;
  }
  return true;
}

std::vector<uint8_t> Utf16LeWithNul(std::string_view utf8) {
  const std::u16string wide = AnsiToUtf16(utf8);
  std::vector<uint8_t> data;
  data.reserve(wide.size() * 2 + 2);
  for (char16_t c : wide) {
    data.push_back(static_cast<uint8_t>(c & 0xFF));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

// The file's text as UTF-8: UTF-16LE with a BOM is converted, a UTF-8 BOM is dropped.
std::string ToUtf8Text(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return Utf16ToUtf8(wide);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return std::string(bytes);
}

}  // namespace

const RegistryValue* RegistryKey::Find(std::string_view name) const {
  for (const auto& v : values_) {
    if (EqualsNoCase(v.name, name)) return &v;
  }
  return nullptr;
}

void RegistryKey::Set(RegistryValue value) {
  for (auto& v : values_) {
    if (EqualsNoCase(v.name, value.name)) {
      v = std::move(value);
      return;
    }
  }
  values_.push_back(std::move(value));
}

void RegistryKey::Remove(std::string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (EqualsNoCase(it->name, name)) {
      values_.erase(it);
      return;
    }
  }
}

const RegistryKey* RegistryFile::FindKey(std::string_view path) const {
  for (const auto& k : keys_) {
    if (EqualsNoCase(k->path(), path)) return k.get();
  }
  return nullptr;
}

RegistryKey* RegistryFile::OpenOrCreate(std::string_view path) {
  for (auto& k : keys_) {
    if (EqualsNoCase(k->path(), path)) return k.get();
  }
  keys_.push_back(std::make_unique<RegistryKey>(std::string(path)));
  return keys_.back().get();
}

void RegistryFile::DeleteTree(std::string_view path) {
  std::erase_if(keys_, [&](const auto& k) { return IsSameOrBelow(k->path(), path); });
}

void RegistryFile::ParseValueLine(std::string_view line, RegistryKey* key) {
  RegistryValue value;
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else if (!ReadQuoted(&line, &value.name)) {
    return;
  }
  line = Trim(line);
  if (line.empty() || line.front() != '=') return;
  line = Trim(line.substr(1));

  if (line == "-") {
    key->Remove(value.name);
    return;
  }
  if (!line.empty() && line.front() == '"') {
    std::string text;
    if (!ReadQuoted(&line, &text) || !Trim(line).empty()) return;
    value.type = kRegSz;
    value.data = Utf16LeWithNul(text);
  } else if (line.size() > 6 && EqualsNoCase(line.substr(0, 6), "dword:")) {
    const std::string_view digits = Trim(line.substr(6));
    if (digits.empty() || digits.size() > 8) return;
    uint32_t v = 0;
    for (char c : digits) {
      const int d = HexDigit(c);
      if (d < 0) return;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
  } else if (line.size() >= 4 && EqualsNoCase(line.substr(0, 4), "hex:")) {
    value.type = kRegBinary;
    if (!ParseHexList(line.substr(4), &value.data)) return;
  } else if (line.size() >= 4 && EqualsNoCase(line.substr(0, 4), "hex(")) {
    const size_t close = line.find("):");
    if (close == std::string_view::npos || close == 4 || close > 12) return;
    uint32_t type = 0;
    for (char c : line.substr(4, close - 4)) {
      const int d = HexDigit(c);
      if (d < 0) return;
      type = type * 16 + static_cast<uint32_t>(d);
    }
    value.type = type;
    if (!ParseHexList(line.substr(close + 2), &value.data)) return;
  } else {
    return;
  }
  key->Set(std::move(value));
}

bool RegistryFile::Parse(std::string_view bytes, std::string* error) {
  keys_.clear();
  const std::string text = ToUtf8Text(bytes);

  // Split into logical lines, joining hex continuations (a line ending in '\').
  std::vector<std::string> lines;
  std::string pending;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view raw = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    const bool continues = !raw.empty() && raw.back() == '\\' &&
                           (!pending.empty() || raw.find("=hex") != std::string_view::npos);
    if (continues) raw.remove_suffix(1);
    pending.append(raw);
    if (!continues) {
      lines.push_back(std::move(pending));
      pending.clear();
    }
  }
  if (!pending.empty()) lines.push_back(std::move(pending));

  size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size() ||
      (Trim(lines[i]) != "Windows Registry Editor Version 5.00" && Trim(lines[i]) != "REGEDIT4")) {
    if (error) *error = "missing registry file header";
    return false;
  }

  RegistryKey* current = nullptr;
  for (++i; i < lines.size(); ++i) {
    const std::string_view line = Trim(lines[i]);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3) continue;
      std::string_view path = line.substr(1, line.size() - 2);
      if (path.front() == '-') {
        DeleteTree(path.substr(1));
        continue;
      }
      current = OpenOrCreate(path);
      continue;
    }
    if (current && (line.front() == '"' || line.front() == '@')) ParseValueLine(line, current);
  }
  return true;
}

bool RegistryFile::Load(const std::string& path, std::string* error) {
  keys_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::string bytes;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.append(chunk, static_cast<size_t>(in.gcount()));
    if (bytes.size() > kMaxFileBytes) {
      if (error) *error = "registry file too large: " + path;
      return false;
    }
  }
  return Parse(bytes, error);
}

std::string RegistryFilePath() {
  if (const char* env = std::getenv("VADO_REGISTRY"); env && *env) return env;
  std::string exe(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0 || static_cast<size_t>(n) >= exe.size()) return "registry.reg";
  exe.resize(static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1) + "registry.reg";
}

bool RegistryStringValue(const RegistryValue& value, size_t buffer_bytes, std::string* text) {
  text->clear();
  if (value.type != kRegSz && value.type != kRegExpandSz) return false;
  const auto& d = value.data;
  if (d.size() > buffer_bytes || d.size() % 2 != 0) return false;
  if (d.empty()) return true;
  if (d[d.size() - 1] != 0 || d[d.size() - 2] != 0) return false;
  std::u16string wide;
  for (size_t i = 0; i + 1 < d.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(d[i] | (d[i + 1] << 8));
    if (c == 0) break;
    wide.push_back(c);
  }
  *text = Utf16ToUtf8(wide);
  return true;
}
