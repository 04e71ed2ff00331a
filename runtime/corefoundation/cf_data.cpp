// CFData, CFDate and file-system CFURL.
#include <sys/time.h>

#include <cstring>

#include "cf_types.h"

namespace {
// Seconds from 1970-01-01 to 2001-01-01, both UTC.
constexpr double kUnixToAbsolute = 978307200.0;
const uint8_t kNoBytes[1] = {0};
}  // namespace

bool __CFData::Equals(const Object& other) const {
  return bytes == static_cast<const __CFData&>(other).bytes;
}
CFHashCode __CFData::Hash() const { return cf::HashBytes(bytes.data(), bytes.size()); }

bool __CFDate::Equals(const Object& other) const {
  return at == static_cast<const __CFDate&>(other).at;
}
CFHashCode __CFDate::Hash() const { return cf::HashBytes(&at, sizeof at); }

bool __CFURL::Equals(const Object& other) const {
  const auto& o = static_cast<const __CFURL&>(other);
  return path == o.path && is_directory == o.is_directory;
}
CFHashCode __CFURL::Hash() const { return cf::HashBytes(path.data(), path.size()); }

__CFData* cf::NewData(const uint8_t* bytes, size_t size, bool is_mutable) {
  auto* d = new __CFData(is_mutable);
  if (size > 0) d->bytes.assign(bytes, bytes + size);
  return d;
}

extern "C" {

CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t* bytes, CFIndex length) {
  if (length < 0 || (!bytes && length > 0)) return nullptr;
  return cf::NewData(bytes, static_cast<size_t>(length), false);
}

CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef data) {
  const auto* d = cf::As<__CFData>(data);
  if (!d) return nullptr;
  return cf::NewData(d->bytes.data(), d->bytes.size(), false);
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity) {
  if (capacity < 0) return nullptr;
  return cf::NewData(nullptr, 0, true);
}

void CFDataAppendBytes(CFMutableDataRef data, const uint8_t* bytes, CFIndex length) {
  auto* d = cf::As<__CFData>(data);
  if (!d || !d->mutable_ || !bytes || length <= 0) return;
  d->bytes.insert(d->bytes.end(), bytes, bytes + length);
}

CFIndex CFDataGetLength(CFDataRef data) {
  const auto* d = cf::As<__CFData>(data);
  return d ? static_cast<CFIndex>(d->bytes.size()) : 0;
}

const uint8_t* CFDataGetBytePtr(CFDataRef data) {
  const auto* d = cf::As<__CFData>(data);
  if (!d) return nullptr;
  return d->bytes.empty() ? kNoBytes : d->bytes.data();
}

void CFDataGetBytes(CFDataRef data, CFRange range, uint8_t* buffer) {
  const auto* d = cf::As<__CFData>(data);
  if (!d || !buffer || range.location < 0 || range.length <= 0) return;
  const auto loc = static_cast<size_t>(range.location);
  const auto len = static_cast<size_t>(range.length);
  if (loc > d->bytes.size() || len > d->bytes.size() - loc) return;
  std::memcpy(buffer, d->bytes.data() + loc, len);
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) - kUnixToAbsolute + tv.tv_usec / 1e6;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) { return new __CFDate(at); }

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date) {
  const auto* d = cf::As<__CFDate>(date);
  return d ? d->at : 0;
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory) {
  const auto* s = cf::As<__CFString>(filePath);
  if (!s) return nullptr;
  std::string path = s->utf8;
  if (pathStyle == kCFURLWindowsPathStyle) {
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
  }
  return new __CFURL(std::move(path), isDirectory);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, uint8_t* buffer,
                                         CFIndex maxBufLen) {
  const auto* u = cf::As<__CFURL>(url);
  if (!u || !buffer || maxBufLen <= 0 || u->path.size() >= static_cast<size_t>(maxBufLen)) {
    return false;
  }
  std::memcpy(buffer, u->path.c_str(), u->path.size() + 1);
  return true;
}

}  // extern "C"
