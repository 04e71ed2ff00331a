// Voice memos (command 1002), gathered from the three places the device keeps them: the
// recordings database, the asset manifest, and the .composition folders of edited
// recordings. A device path is listed once, by the first source that names it; a memo
// whose file the device does not report, or reports empty, is left out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "iOSAPI/mobile_device_api.h"
#include "utility/module/media/memo_manifest.h"

class DhTask;

// One listed memo: its device path and its compact JSON object.
struct VoiceMemo {
  std::string path;
  std::string json;
};

// Rows of the local Recordings.db copy at `path` that name a file under "/Recordings/"
// (path from that folder on, without ".." components); `label` empty for NULL, `duration`
// and `date` as stored (seconds; 2001-based date). Nothing when it cannot be read.
struct RecordingRow {
  std::string path;
  std::string label;
  double duration = 0;
  double date = 0;
};
std::vector<RecordingRow> ReadRecordingRows(const std::string& path);

// Collects the memos: the database copy `recordings_db` and the manifest copy
// `asset_manifest` are read when not empty, then the device's "/Recordings" folder is
// listed for .composition folders. Sizes come from the device. False when `task` was
// cancelled.
bool CollectVoiceMemos(AFCConnectionRef afc, const std::string& recordings_db,
                       const std::string& asset_manifest, DhTask* task,
                       std::vector<VoiceMemo>* memos);
