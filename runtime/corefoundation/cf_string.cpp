// CFString: immutable UTF-16 text, with interned constant strings.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "cf_types.h"
#include "common/text_convert.h"

bool __CFString::Equals(const Object& other) const {
  return text == static_cast<const __CFString&>(other).text;
}

CFHashCode __CFString::Hash() const {
  return cf::HashBytes(text.data(), text.size() * sizeof(char16_t));
}

namespace cf {

__CFString* NewString(std::u16string text) {
  std::string utf8 = Utf16ToUtf8(text);
  return new __CFString(std::move(text), std::move(utf8));
}

__CFString* NewStringFromUtf8Lossy(std::string_view utf8) {
  std::u16string text;
  if (DecodeUtf8(utf8, &text)) return new __CFString(std::move(text), std::string(utf8));
  return NewString(DecodeUtf8Lossy(utf8));
}

}  // namespace cf

namespace {

// Decodes bytes in `encoding`; false when they are not valid in it.
bool Decode(const char* bytes, size_t size, CFStringEncoding encoding, std::u16string* out) {
  const std::string_view in(bytes, size);
  switch (encoding) {
    case kCFStringEncodingUTF8:
      return DecodeUtf8(in, out);
    case kCFStringEncodingASCII:
    case kCFStringEncodingMacRoman:  // only its ASCII half is supported
      for (char c : in) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
      }
      out->assign(in.begin(), in.end());
      return true;
    case kCFStringEncodingISOLatin1:
      out->clear();
      for (char c : in) out->push_back(static_cast<unsigned char>(c));
      return true;
    default:
      return false;
  }
}

// Encodes `s` into `encoding`; false when a character has no representation.
bool Encode(const __CFString& s, CFStringEncoding encoding, std::string* out) {
  switch (encoding) {
    case kCFStringEncodingUTF8:
      *out = s.utf8;
      return true;
    case kCFStringEncodingASCII:
    case kCFStringEncodingMacRoman:
    case kCFStringEncodingISOLatin1: {
      const char16_t limit = encoding == kCFStringEncodingISOLatin1 ? 0x100 : 0x80;
      out->clear();
      for (char16_t c : s.text) {
        if (c >= limit) return false;
        out->push_back(static_cast<char>(c));
      }
      return true;
    }
    default:
      return false;
  }
}

std::mutex g_interned_mutex;
// Constant strings by their C text; entries are never removed. Guarded by g_interned_mutex.
std::map<std::string, __CFString*, std::less<>>* g_interned = nullptr;

}  // namespace

extern "C" {

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  if (!cStr) return nullptr;
  std::lock_guard<std::mutex> lock(g_interned_mutex);
  if (!g_interned) g_interned = new std::map<std::string, __CFString*, std::less<>>();
  auto it = g_interned->find(std::string_view(cStr));
  if (it != g_interned->end()) return it->second;
  __CFString* s = cf::NewStringFromUtf8Lossy(cStr);
  s->MakeImmortal();
  g_interned->emplace(cStr, s);
  return s;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const uint8_t* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
  if (numBytes < 0 || (!bytes && numBytes > 0)) return nullptr;
  std::u16string text;
  if (!Decode(reinterpret_cast<const char*>(bytes), static_cast<size_t>(numBytes), encoding,
              &text)) {
    return nullptr;
  }
  return cf::NewString(std::move(text));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
  if (!cStr) return nullptr;
  return CFStringCreateWithBytes(alloc, reinterpret_cast<const uint8_t*>(cStr),
                                 static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const uint16_t* chars,
                                         CFIndex numChars) {
  if (numChars < 0 || (!chars && numChars > 0)) return nullptr;
  std::u16string text(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(numChars));
  return cf::NewString(std::move(text));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef str) {
  // Strings are immutable, so a copy is the same object with one more reference.
  if (!cf::As<__CFString>(str)) return nullptr;
  return static_cast<CFStringRef>(CFRetain(str));
}

CFIndex CFStringGetLength(CFStringRef str) {
  const auto* s = cf::As<__CFString>(str);
  return s ? static_cast<CFIndex>(s->text.size()) : 0;
}

uint16_t CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx) {
  const auto* s = cf::As<__CFString>(str);
  if (!s || idx < 0 || static_cast<size_t>(idx) >= s->text.size()) return 0;
  return s->text[static_cast<size_t>(idx)];
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const auto* s = cf::As<__CFString>(str);
  if (!s || !buffer || bufferSize <= 0) return false;
  std::string encoded;
  // The text and its terminating NUL must both fit.
  if (!Encode(*s, encoding, &encoded) || encoded.size() >= static_cast<size_t>(bufferSize)) {
    return false;
  }
  std::memcpy(buffer, encoded.data(), encoded.size());
  buffer[encoded.size()] = '\0';
  return true;
}

const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding) {
  const auto* s = cf::As<__CFString>(str);
  if (!s) return nullptr;
  if (encoding == kCFStringEncodingUTF8) return s->utf8.c_str();
  if (encoding == kCFStringEncodingASCII && s->utf8.size() == s->text.size()) {
    return s->utf8.c_str();
  }
  return nullptr;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (length < 0) return kCFNotFound;
  return encoding == kCFStringEncodingUTF8 ? length * 3 : length;
}

}  // extern "C"
