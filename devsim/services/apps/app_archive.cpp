#include "services/apps/app_archive.h"

#include <minizip/zip.h>

#include "services/apps/zip_fd_io.h"

namespace devsim {
namespace {

bool AddMember(zipFile zip, const std::string& name, const std::string& bytes) {
  zip_fileinfo info{};
  if (zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION, bytes.size() >= 0xFFFFFFFFu) != ZIP_OK) {
    return false;
  }
  bool ok = zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK;
  return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

}  // namespace

bool WriteAppArchive(int fd, const AppStore& store, const std::string& bundle_id) {
  Plist attrs = store.Attributes(bundle_id);
  if (!attrs) return false;
  std::string executable = DictString(attrs.get(), "CFBundleExecutable").value_or("");
  if (executable.empty() || executable.find('/') != std::string::npos) return false;
  // The bundle's Info.plist: the attributes without what the device computed at install.
  Plist info = Copy(attrs.get());
  for (const char* key : {"Path", "Container", "EnvironmentVariables", "StaticDiskUsage",
                          "DynamicDiskUsage", "SequenceNumber", "ApplicationType",
                          "IsUpgradeable", "SignerIdentity"}) {
    plist_dict_remove_item(info.get(), key);
  }
  std::string dir = "Payload/" + executable + ".app/";

  FdZipFile file;
  file.fd = fd;
  zlib_filefunc64_def funcs;
  FillFdZipFuncs(&funcs);
  zipFile zip = zipOpen2_64(&file, APPEND_STATUS_CREATE, nullptr, &funcs);
  if (!zip) return false;
  bool ok = AddMember(zip, dir + "Info.plist", ToXml(info.get())) &&
            AddMember(zip, dir + executable, std::string("\xCF\xFA\xED\xFE", 4));
  if (ok) {
    if (auto sinf = store.Sinf(bundle_id)) {
      ok = AddMember(zip, dir + "SC_Info/" + executable + ".sinf", *sinf);
    }
  }
  if (ok) {
    if (auto meta = store.ITunesMetadata(bundle_id)) {
      ok = AddMember(zip, "iTunesMetadata.plist", *meta);
    }
  }
  return zipClose(zip, nullptr) == ZIP_OK && ok && !file.failed;
}

}  // namespace devsim
