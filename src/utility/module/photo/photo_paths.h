// Pure text rules of the photos module: product-version parts, the asset table of a
// firmware, device paths that stay inside the media root, and the places a thumbnail of a
// library item may be found.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The dot-separated parts of a product version as integers ("16.6.1" gives 16, 6, 1). A
// part that is not a number reads as -1; at most 8 parts are read.
std::vector<int64_t> ProductVersionParts(std::string_view version);

// "ZGENERICASSET" for versions that compare lower than 14 (part by part), else "ZASSET".
const char* PhotoAssetTable(std::string_view version);

// The device path of an item relative to the media root as an absolute AFC path ("/" put
// in front when missing); empty when the path is empty, holds a NUL byte or a ".."
// component, so that it can never name a file outside the media root.
std::string MediaRootPath(std::string_view path);

// The thumbnail cache key of an item path: what follows "DCIM/", else "PhotoData/Sync/",
// "PhotoData/CPLAssets/" or "PhotoData/CMMAssets/" (else empty), each "/" made "___".
std::string ThumbnailKey(std::string_view path);

// The device paths to try, in order, for the thumbnail of `path` whose modification time
// is `mtime_seconds`: the desktop cache first, then (for photo and video extensions) the
// metadata previews and the per-asset thumbnail of later releases. Paths that would leave
// the media root are left out.
std::vector<std::string> ThumbnailCandidates(std::string_view path, int64_t mtime_seconds);

// {"id":<id>,"path":<path>} with both as escaped JSON strings.
std::string ThumbnailInfo(std::string_view id, std::string_view path);
