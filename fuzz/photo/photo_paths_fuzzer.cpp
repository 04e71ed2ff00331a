// The photos module's text rules on arbitrary input: product versions, item paths and
// identifiers from a request body. Every thumbnail candidate must stay inside the media
// root and every thumbnail "info" must be a JSON object with the identifier and path.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "utility/module/photo/photo_paths.h"

namespace {

bool HasParentComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (path.substr(start, slash - start) == "..") return true;
    start = slash + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Three fields separated by NUL bytes: version, path, identifier.
  const size_t first = input.find('\0');
  const std::string_view version = input.substr(0, first);
  std::string_view rest = first == std::string_view::npos ? std::string_view() : input.substr(first + 1);
  const size_t second = rest.find('\0');
  const std::string_view path = rest.substr(0, second);
  const std::string_view id = second == std::string_view::npos ? std::string_view() : rest.substr(second + 1);

  if (ProductVersionParts(version).size() > 8) std::abort();
  PhotoAssetTable(version);
  const std::string rooted = MediaRootPath(path);
  if (!rooted.empty() && (rooted[0] != '/' || HasParentComponent(rooted))) std::abort();
  const int64_t mtime = static_cast<int64_t>(size) * 1'000'003;
  for (const std::string& candidate : ThumbnailCandidates(path, mtime)) {
    if (candidate.empty() || candidate[0] != '/' || HasParentComponent(candidate)) std::abort();
  }
  const std::string info = ThumbnailInfo(id, path);
  rapidjson::Document parsed;
  parsed.Parse(info.data(), info.size());
  // Invalid UTF-8 is replaced, so the text must always parse, whatever the bytes.
  if (parsed.HasParseError() || !parsed.IsObject() || !parsed.HasMember("id") ||
      !parsed["id"].IsString() || !parsed.HasMember("path") || !parsed["path"].IsString()) {
    std::abort();
  }
  return 0;
}
