// The voice-memo property lists the Recordings folder holds besides its database:
// AssetManifest.plist (a dictionary keyed by file name, each value with "date", "duration"
// and "label") and the manifest.plist of each edited recording's .composition folder. Both
// are read from their XML form, so reals are kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct MemoManifestEntry {
  std::string path;       // device path under "/Recordings/"
  std::string label;
  double duration = 0;    // seconds; 0 when unknown
  int64_t unix_date = 0;  // seconds since 1970; 0 when unknown
};

// Entries of AssetManifest.plist text. Names that are not plain file names (empty, "." or
// "..", holding "/" or "\") are skipped.
std::vector<MemoManifestEntry> ParseAssetManifestXml(std::string_view xml);

// The recording a composition manifest describes: "RCComposedAVURL" (with "%20" read as a
// space) gives the path from its "/Recordings/" on, "RCSavedRecordingCreationDate" (when it
// reads "YYYY-MM-DDTHH:MM:SSZ") or else "RCSavedRecordingCreationTime" (2001-based seconds)
// the date, "RCSavedRecordingTitle" the label. Nothing without a usable path, or for one
// with a ".." component.
std::optional<MemoManifestEntry> ParseCompositionManifestXml(std::string_view xml);

// Seconds since 1970 of "YYYY-MM-DDTHH:MM:SSZ"; nothing for any other text.
std::optional<int64_t> ParseIsoUtcDate(std::string_view text);
