#include "services/apps/ipa_reader.h"

#include <minizip/unzip.h>
#include <cstring>
#include <vector>

#include "services/apps/zip_fd_io.h"

namespace devsim {
namespace {

struct Entry {
  std::string name;
  uint64_t size;
};

bool StartsWith(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }

// Reads the member the archive cursor is on, at most kMaxIpaMember bytes.
IpaError ReadCurrent(unzFile zip, uint64_t declared, std::string* out) {
  if (declared > kMaxIpaMember) return IpaError::kMemberTooLarge;
  if (unzOpenCurrentFile(zip) != UNZ_OK) return IpaError::kDamagedMember;
  out->clear();
  char buf[16384];
  for (;;) {
    int n = unzReadCurrentFile(zip, buf, sizeof buf);
    if (n < 0) {
      unzCloseCurrentFile(zip);
      return IpaError::kDamagedMember;
    }
    if (n == 0) break;
    if (out->size() + static_cast<size_t>(n) > kMaxIpaMember) {
      unzCloseCurrentFile(zip);
      return IpaError::kMemberTooLarge;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  // Only a member read to its end has its checksum compared here.
  return unzCloseCurrentFile(zip) == UNZ_OK ? IpaError::kNone : IpaError::kDamagedMember;
}

IpaError ReadMember(unzFile zip, const std::string& name, uint64_t size, std::string* out) {
  if (unzLocateFile(zip, name.c_str(), 1) != UNZ_OK) return IpaError::kDamagedMember;
  return ReadCurrent(zip, size, out);
}

class ZipCloser {
 public:
  explicit ZipCloser(unzFile z) : z_(z) {}
  ~ZipCloser() {
    if (z_) unzClose(z_);
  }

 private:
  unzFile z_;
};

}  // namespace

IpaError ReadIpa(int fd, IpaContents* out) {
  FdZipFile file;
  file.fd = fd;
  zlib_filefunc64_def funcs;
  FillFdZipFuncs(&funcs);
  unzFile zip = unzOpen2_64(&file, &funcs);
  if (!zip) return IpaError::kNotZip;
  ZipCloser closer(zip);
  unz_global_info64 global;
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK || global.number_entry > kMaxIpaEntries) {
    return IpaError::kNotZip;
  }

  std::vector<Entry> entries;
  size_t name_bytes = 0;
  int rc = unzGoToFirstFile(zip);
  while (rc == UNZ_OK) {
    unz_file_info64 info;
    char name[1024];
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
      return IpaError::kNotZip;
    }
    // Names longer than the buffer arrive cut off; they name nothing the installer reads.
    if (info.size_filename < sizeof name) {
      entries.push_back({name, info.uncompressed_size});
      name_bytes += entries.back().name.size();
    }
    if (entries.size() > kMaxIpaEntries || name_bytes > kMaxIpaNameBytes) return IpaError::kNotZip;
    rc = unzGoToNextFile(zip);
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE) return IpaError::kNotZip;

  const Entry* info_plist = nullptr;
  for (const Entry& e : entries) {
    if (StartsWith(e.name, "Payload/")) out->payload_bytes += e.size;
    if (info_plist || !StartsWith(e.name, "Payload/")) continue;
    std::string_view rest(e.name);
    rest.remove_prefix(8);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos || rest.substr(slash) != "/Info.plist") continue;
    std::string_view dir = rest.substr(0, slash);
    if (dir.size() > 4 && dir.substr(dir.size() - 4) == ".app") info_plist = &e;
  }
  if (!info_plist) return IpaError::kNoBundle;
  out->app_dir = info_plist->name.substr(0, info_plist->name.size() - std::strlen("Info.plist"));

  std::string bytes;
  if (IpaError e = ReadMember(zip, info_plist->name, info_plist->size, &bytes);
      e != IpaError::kNone) {
    return e;
  }
  out->info = ParsePlist(bytes);
  if (!IsDict(out->info.get())) return IpaError::kBadInfoPlist;

  auto executable = DictString(out->info.get(), "CFBundleExecutable");
  for (const Entry& e : entries) {
    if (e.name == "iTunesMetadata.plist") {
      if (IpaError err = ReadMember(zip, e.name, e.size, &bytes); err != IpaError::kNone) {
        return err;
      }
      out->itunes_metadata = bytes;
    } else if (executable && !executable->empty()) {
      if (e.name == out->app_dir + *executable) out->has_executable = true;
      if (e.name == out->app_dir + "SC_Info/" + *executable + ".sinf") {
        if (IpaError err = ReadMember(zip, e.name, e.size, &bytes); err != IpaError::kNone) {
          return err;
        }
        out->sinf = bytes;
      }
    }
  }
  return IpaError::kNone;
}

const char* IpaErrorText(IpaError e) {
  switch (e) {
    case IpaError::kNone: return "no error";
    case IpaError::kNotZip: return "the package is not a readable zip archive";
    case IpaError::kNoBundle: return "the package holds no Payload/*.app/Info.plist";
    case IpaError::kBadInfoPlist: return "the bundle's Info.plist is not a property list dictionary";
    case IpaError::kDamagedMember: return "a member of the package is damaged";
    case IpaError::kMemberTooLarge: return "a member of the package is too large";
  }
  return "unknown";
}

}  // namespace devsim
