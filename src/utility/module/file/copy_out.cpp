#include "utility/module/file/copy_out.h"

#include <minizip/zip.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

#include "common/afc_file_ops.h"
#include "common/text_convert.h"

namespace fs = std::filesystem;

namespace {

bool IsReplaced(unsigned char byte) {
  if (byte < 0x20 || byte == 0x7F) return true;
  switch (byte) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '|':
      return true;
    default:
      return false;
  }
}

bool EndsWithEpub(const std::string& path) {
  std::string tail = path;
  while (!tail.empty() && tail.back() == '/') tail.pop_back();
  if (tail.size() < 5) return false;
  std::string end = tail.substr(tail.size() - 5);
  for (char& c : end) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return end == ".EPUB";
}

}  // namespace

std::string SanitizeLocalName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (IsReplaced(static_cast<unsigned char>(c))) c = '_';
  }
  return out;
}

std::string DeviceExtension(const std::string& device_path) {
  size_t slash = device_path.rfind('/');
  std::string last = slash == std::string::npos ? device_path : device_path.substr(slash + 1);
  size_t dot = last.rfind('.');
  return dot == std::string::npos ? std::string() : SanitizeLocalName(last.substr(dot));
}

fs::path CopyOutTarget(const std::string& name, const std::string& device_path,
                       const fs::path& local_folder) {
  std::string local = SanitizeLocalName(name) + DeviceExtension(device_path);
  if (local.empty() || local == "." || local == "..") local = "_" + local;
  return local_folder / local;
}

bool ZipFolder(const fs::path& folder, const fs::path& zip_path) {
  zipFile zip = zipOpen64(zip_path.c_str(), APPEND_STATUS_CREATE);
  if (zip == nullptr) return false;
  bool ok = true;
  std::error_code error;
  std::vector<char> buffer(1 << 20);
  for (auto it = fs::recursive_directory_iterator(folder, error);
       ok && !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
    std::string entry = fs::relative(it->path(), folder, error).generic_string();
    if (error) break;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(it->path().c_str(), "rb"), &std::fclose);
    if (!in) {
      ok = false;
      break;
    }
    zip_fileinfo info{};
    ok = zipOpenNewFileInZip64(zip, entry.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                               Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1) == ZIP_OK;
    while (ok) {
      size_t got = std::fread(buffer.data(), 1, buffer.size(), in.get());
      if (got == 0) {
        ok = !std::ferror(in.get());
        break;
      }
      ok = zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(got)) == ZIP_OK;
    }
    ok = zipCloseFileInZip(zip) == ZIP_OK && ok;
  }
  if (error) ok = false;
  ok = zipClose(zip, nullptr) == ZIP_OK && ok;
  if (!ok) fs::remove(zip_path, error);
  return ok;
}

bool CopyOutItem(AFCConnectionRef afc, const std::string& name, const std::string& device_path,
                 const fs::path& local_folder, DhTask* task, fs::path* copied) {
  if (device_path.empty()) return false;
  AfcFileInfo info;
  if (!GetFileInfo(afc, device_path, &info)) return false;
  fs::path target = CopyOutTarget(name, device_path, local_folder);
  std::u16string wide_target = Utf8ToUtf16(target.string());
  if (info.type == "S_IFREG") {
    if (!CopyFileFromDevice(afc, device_path, &wide_target, nullptr, task)) return false;
  } else if (info.type == "S_IFDIR" && EndsWithEpub(device_path)) {
    // The package is copied beside the archive, packed, and the copy removed.
    fs::path staging = target;
    staging += ".folder";
    std::error_code error;
    fs::remove_all(staging, error);
    fs::create_directories(staging, error);
    CopyTreeToPc(afc, device_path, Utf8ToUtf16(staging.string()));
    bool zipped = ZipFolder(staging, target);
    fs::remove_all(staging, error);
    if (!zipped) return false;
  } else if (info.type == "S_IFDIR") {
    CopyTreeToPc(afc, device_path, wide_target);
  } else {
    return false;
  }
  *copied = target;
  return true;
}
