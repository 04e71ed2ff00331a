// Application packages: any bytes as a zip archive; reading must fail cleanly or yield a
// dictionary Info.plist and bounded members.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "services/apps/ipa_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("ipa", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
  if (pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  devsim::IpaContents ipa;
  if (devsim::ReadIpa(fd, &ipa) == devsim::IpaError::kNone) {
    if (!devsim::IsDict(ipa.info.get())) __builtin_trap();
    if (ipa.sinf && ipa.sinf->size() > devsim::kMaxIpaMember) __builtin_trap();
    if (ipa.itunes_metadata && ipa.itunes_metadata->size() > devsim::kMaxIpaMember) __builtin_trap();
  }
  return 0;
}
