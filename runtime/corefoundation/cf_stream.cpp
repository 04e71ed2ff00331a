// Write streams into a growing memory buffer.
#include <limits>

#include "cf_types.h"

extern "C" {

const CFStringRef kCFStreamPropertyDataWritten =
    __CFStringMakeConstantString("kCFStreamPropertyDataWritten");

CFWriteStreamRef CFWriteStreamCreateWithAllocatedBuffers(CFAllocatorRef, CFAllocatorRef) {
  return new __CFWriteStream();
}

Boolean CFWriteStreamOpen(CFWriteStreamRef stream) {
  auto* s = cf::As<__CFWriteStream>(stream);
  if (!s || s->state != __CFWriteStream::State::kNotOpen) return false;
  s->state = __CFWriteStream::State::kOpen;
  return true;
}

CFIndex CFWriteStreamWrite(CFWriteStreamRef stream, const uint8_t* buffer, CFIndex bufferLength) {
  auto* s = cf::As<__CFWriteStream>(stream);
  if (!s || s->state != __CFWriteStream::State::kOpen || bufferLength < 0 ||
      (!buffer && bufferLength > 0)) {
    return -1;
  }
  if (static_cast<size_t>(bufferLength) >
      static_cast<size_t>(std::numeric_limits<CFIndex>::max()) - s->buffer.size()) {
    return -1;
  }
  s->buffer.insert(s->buffer.end(), buffer, buffer + bufferLength);
  return bufferLength;
}

CFTypeRef CFWriteStreamCopyProperty(CFWriteStreamRef stream, CFStringRef propertyName) {
  auto* s = cf::As<__CFWriteStream>(stream);
  if (!s || s->state == __CFWriteStream::State::kNotOpen ||
      !CFEqual(propertyName, kCFStreamPropertyDataWritten)) {
    return nullptr;
  }
  return cf::NewData(s->buffer.data(), s->buffer.size(), false);
}

void CFWriteStreamClose(CFWriteStreamRef stream) {
  auto* s = cf::As<__CFWriteStream>(stream);
  if (s && s->state == __CFWriteStream::State::kOpen) s->state = __CFWriteStream::State::kClosed;
}

}  // extern "C"
