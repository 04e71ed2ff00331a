#include "common/binary_plist.h"

#include <limits>

#include "iOSAPI/MobileExportFun.h"

BinaryPlist::~BinaryPlist() {
  if (data) CMobileExportFun::GetInstance().CFRelease(data);
}

namespace {

// Releases a CF object through the table when it leaves scope.
struct CFReleaser {
  void operator()(const void* cf) const {
    if (cf) CMobileExportFun::GetInstance().CFRelease(cf);
  }
};
template <typename T>
using CFHolder = std::unique_ptr<std::remove_pointer_t<T>, CFReleaser>;

}  // namespace

CFPropertyListRef XmlToCFPropertyList(const char* text, size_t length) {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded() || !text || length == 0 ||
      length > static_cast<size_t>(std::numeric_limits<CFIndex>::max())) {
    return nullptr;
  }
  CFHolder<CFDataRef> data(fun.CFDataCreate(kCFDefaultAllocator,
                                            reinterpret_cast<const uint8_t*>(text),
                                            static_cast<CFIndex>(length)));
  if (!data) return nullptr;
  return fun.CFPropertyListCreateFromXMLData(kCFDefaultAllocator, data.get(),
                                             kCFPropertyListImmutable, nullptr);
}

BinaryPlistPtr CFPropertyListToBytes(CFPropertyListRef list, CFPropertyListFormat format) {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded() || !list) return nullptr;
  CFHolder<CFWriteStreamRef> stream(
      fun.CFWriteStreamCreateWithAllocatedBuffers(kCFDefaultAllocator, kCFDefaultAllocator));
  if (!stream || !fun.CFWriteStreamOpen(stream.get())) return nullptr;
  BinaryPlistPtr result;
  if (fun.CFPropertyListWriteToStream(list, stream.get(), format, nullptr) > 0) {
    auto data = static_cast<CFDataRef>(
        fun.CFWriteStreamCopyProperty(stream.get(), *fun.kCFStreamPropertyDataWritten));
    const CFIndex length = data ? fun.CFDataGetLength(data) : 0;
    if (length > 0 && static_cast<uint64_t>(length) <= std::numeric_limits<uint32_t>::max()) {
      result = std::make_unique<BinaryPlist>(fun.CFDataGetBytePtr(data),
                                             static_cast<uint32_t>(length), data);
    } else if (data) {
      fun.CFRelease(data);
    }
  }
  fun.CFWriteStreamClose(stream.get());
  return result;
}

BinaryPlistPtr XmlToBinaryPlist(const char* text, size_t length) {
  CFHolder<CFPropertyListRef> list(XmlToCFPropertyList(text, length));
  if (!list) return nullptr;
  return CFPropertyListToBytes(list.get(), kCFPropertyListBinaryFormat_v1_0);
}
