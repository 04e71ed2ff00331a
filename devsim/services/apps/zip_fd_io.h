// minizip file callbacks over an already open file descriptor, so archives are read and
// written wherever the caller opened them (inside a path jail) rather than by name.
#pragma once

#include <minizip/ioapi.h>

#include <cstdint>

namespace devsim {

// Pass a pointer to this as the "file name" to unzOpen2_64 / zipOpen2_64. It must outlive
// the archive handle; the descriptor stays the caller's.
struct FdZipFile {
  int fd = -1;
  uint64_t pos = 0;
  bool failed = false;
};

void FillFdZipFuncs(zlib_filefunc64_def* funcs);

}  // namespace devsim
