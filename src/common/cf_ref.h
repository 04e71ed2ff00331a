// Ownership of CoreFoundation objects created through the function table: released
// through the table when the holder goes.
#pragma once

#include <memory>
#include <type_traits>

#include "iOSAPI/MobileExportFun.h"

struct CFReleaser {
  void operator()(const void* cf) const {
    if (cf) CMobileExportFun::GetInstance().CFRelease(cf);
  }
};

template <typename T>
using CFRef = std::unique_ptr<std::remove_pointer_t<T>, CFReleaser>;
