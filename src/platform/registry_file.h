// The registry as a file in `.reg` syntax.
//
// The file starts with "Windows Registry Editor Version 5.00" (or "REGEDIT4"), then
// `[HKEY_...\Path]` sections holding `"Name"=...` lines:
//   "text"                      REG_SZ (1), stored as UTF-16LE with its terminating NUL
//   dword:0000002a              REG_DWORD (4), little-endian
//   hex:01,02                   REG_BINARY (3)
//   hex(N):..                   type N with the bytes as written (hex(2) is REG_EXPAND_SZ)
//   -                           deletes the value; `[-Key]` deletes a key and its subkeys
// `@` names the default value, `;` starts a comment line and a trailing `\` continues a
// hex list. Key and value names compare without regard to ASCII case. Values enumerate
// in file order. The file may be UTF-8 (with or without BOM) or UTF-16LE with a BOM.
// Malformed lines are skipped so that one bad line does not hide the rest of the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum RegistryValueType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegistryValue {
  std::string name;  // UTF-8; empty for the default value
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
};

class RegistryKey {
 public:
  explicit RegistryKey(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // Case-insensitive lookup; null when absent.
  const RegistryValue* Find(std::string_view name) const;
  // The value at `index` in file order; null past the end.
  const RegistryValue* At(size_t index) const {
    return index < values_.size() ? &values_[index] : nullptr;
  }
  size_t size() const { return values_.size(); }

  // Replaces a value of the same name in place, or appends.
  void Set(RegistryValue value);
  void Remove(std::string_view name);

 private:
  std::string path_;
  std::vector<RegistryValue> values_;
};

class RegistryFile {
 public:
  // Largest file Load() accepts.
  static constexpr size_t kMaxFileBytes = 16u << 20;

  // Parses the text of a `.reg` file. False, with a reason, only when the header line is
  // missing; bad lines after it are skipped.
  bool Parse(std::string_view bytes, std::string* error);
  bool Load(const std::string& path, std::string* error);

  // `path` is the full key path ("HKEY_LOCAL_MACHINE\\SOFTWARE\\..."); null when absent.
  const RegistryKey* FindKey(std::string_view path) const;
  const std::vector<std::unique_ptr<RegistryKey>>& keys() const { return keys_; }

 private:
  RegistryKey* OpenOrCreate(std::string_view path);
  void DeleteTree(std::string_view path);
  void ParseValueLine(std::string_view line, RegistryKey* key);

  std::vector<std::unique_ptr<RegistryKey>> keys_;  // in order of first appearance
};

// The registry file of this process: $VADO_REGISTRY when set and not empty, otherwise
// "registry.reg" beside the executable.
std::string RegistryFilePath();

// Decodes a REG_SZ / REG_EXPAND_SZ value as Windows checks it on read: the byte length
// must be even and at most `buffer_bytes`, and the data must end in a UTF-16 NUL (an empty
// value gives an empty text). Other types are refused. The text comes back as UTF-8.
bool RegistryStringValue(const RegistryValue& value, size_t buffer_bytes, std::string* text);
