// PlistBytesToValue on arbitrary bytes: it may fail, but never crash, hang or leak.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/plist_reader.h"
#include "test_table.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!LoadTestTable(VADO_FAKE_MD_PATH)) {
    std::fprintf(stderr, "cannot load the function table\n");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PlistValue value;
  PlistBytesToValue(data, size, &value);
  PlistFirstValueText(data, size);
  return 0;
}
