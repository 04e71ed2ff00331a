// Builds property-list requests as CoreFoundation values and serialises them, so texts
// from the front end (bundle ids, paths) travel exactly as given: no template, no
// escaping, no length limit.
#pragma once

#include <string_view>
#include <vector>

#include "common/binary_plist.h"
#include "common/cf_ref.h"

class CFPlistBuilder {
 public:
  CFPlistBuilder() = default;
  CFPlistBuilder(const CFPlistBuilder&) = delete;
  CFPlistBuilder& operator=(const CFPlistBuilder&) = delete;

  // Containers and strings owned by the builder until it goes. Containers are made
  // without retaining callbacks, so everything put into them must outlive the
  // serialisation; the builder's ownership guarantees that.
  CFMutableDictionaryRef Dictionary();
  CFMutableArrayRef Array();
  // A UTF-8 text; a text that is not UTF-8 or holds a NUL byte fails the build.
  CFStringRef String(std::string_view text);

  // Bytes as a data value.
  CFDataRef Data(std::string_view bytes);
  // Takes ownership of an object made elsewhere (a date, a copied value).
  CFTypeRef Adopt(CFTypeRef object) { return Own(object); }

  // `key` is a constant. A null value (a failed String) fails the build.
  void Set(CFMutableDictionaryRef dict, const char* key, CFTypeRef value);
  // The same with a key object that outlives the serialisation.
  void Set(CFMutableDictionaryRef dict, CFStringRef key, CFTypeRef value);
  void Append(CFMutableArrayRef array, CFTypeRef value);

  // The binary form of `root`; null when any step failed.
  BinaryPlistPtr ToBinary(CFPropertyListRef root);

 private:
  CFTypeRef Own(CFTypeRef object);

  std::vector<CFRef<CFTypeRef>> owned_;
  bool failed_ = false;
};
