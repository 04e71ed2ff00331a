// Callback helpers shared by arrays and dictionaries.
#pragma once

#include "cf_types.h"

namespace cf {

const void* RetainValue(CFRetainCallBack retain, const void* v);
void ReleaseValue(CFReleaseCallBack release, const void* v);
bool ValuesEqual(CFEqualCallBack equal, const void* a, const void* b);

}  // namespace cf
