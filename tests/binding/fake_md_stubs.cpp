// Every MobileDevice export of the table as a function that does nothing and returns 0.
// They are weak, so fake_md_service.cpp can give some of them a real body.
#include "iOSAPI/mobile_export_list.h"

#define VADO_FAKE_kMD(member) \
  extern "C" __attribute__((weak, visibility("default"))) int member() { return 0; }
#define VADO_FAKE_kCF(member)
#define VADO_FAKE_EXPORT(member, symbol, lib) VADO_FAKE_##lib(member)

VADO_MOBILE_EXPORTS(VADO_FAKE_EXPORT)
