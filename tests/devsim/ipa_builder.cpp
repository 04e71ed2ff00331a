#include "ipa_builder.h"

#include <minizip/zip.h>

#include "plist/plist_ptr.h"

namespace devsim::testing {

bool WriteZip(const std::filesystem::path& path, const ZipMembers& members) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  if (!zip) return false;
  bool ok = true;
  for (const auto& [name, bytes] : members) {
    zip_fileinfo info{};
    ok = ok && zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                     Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0) == ZIP_OK;
    ok = ok && zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK;
    ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
  }
  return zipClose(zip, nullptr) == ZIP_OK && ok;
}

ZipMembers PackageMembers(const std::string& bundle_id, const std::string& exe,
                          const std::string& version, const std::string& min_os) {
  Plist info = NewDict();
  SetString(info.get(), "CFBundleIdentifier", bundle_id);
  SetString(info.get(), "CFBundleExecutable", exe);
  SetString(info.get(), "CFBundleVersion", version);
  SetString(info.get(), "CFBundleShortVersionString", version + ".0");
  SetString(info.get(), "CFBundleDisplayName", exe + " App");
  SetString(info.get(), "MinimumOSVersion", min_os);
  Plist meta = NewDict();
  SetString(meta.get(), "itemName", exe + " App");
  SetString(meta.get(), "softwareVersionBundleId", bundle_id);
  SetString(meta.get(), "artistName", "Example Ltd.");
  std::string dir = "Payload/" + exe + ".app/";
  return {
      {dir + "Info.plist", ToXml(info.get())},
      {dir + exe, std::string("\xCF\xFA\xED\xFE", 4) + std::string(5000, 'x')},
      {dir + "SC_Info/" + exe + ".sinf", std::string("\0\0\0\x10sinf-of-", 12) + bundle_id},
      {"iTunesMetadata.plist", ToXml(meta.get())},
  };
}

}  // namespace devsim::testing
