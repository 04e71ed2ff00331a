#include "utility/module/media/voice_memos.h"

#include <glog/logging.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "common/afc_file_ops.h"
#include "common/dh_task.h"
#include "common/json_text.h"
#include "common/plist_reader.h"
#include "utility/module/database/date_text.h"
#include "utility/module/database/sqlite_handles.h"
#include "utility/module/media/media_library.h"

namespace {

constexpr char kRecordingSql[] =
    "select ZDURATION,ZPATH,ZCUSTOMLABEL,ZDATE from ZRECORDING WHERE ZDURATION >= 0 and ZPATH"
    " is not null order by ZDATE asc";
constexpr char kMemoFolder[] = "/Recordings";
// Manifests larger than this are not property lists a device writes.
constexpr size_t kMaxManifestBytes = 16 << 20;

bool HasDotDotStep(const std::string& path) {
  if (path.find("/../") != std::string::npos) return true;
  return path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0;
}

// Local time "%Y-%m-%d %H:%M:%S" of Unix seconds; "" for no date (0) and when it cannot be
// converted.
std::string MemoLocalTime(int64_t unix_seconds) {
  if (unix_seconds == 0) return {};
  const time_t t = static_cast<time_t>(unix_seconds);
  struct tm parts {};
  if (!localtime_r(&t, &parts)) return {};
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) return {};
  return text;
}

std::string MemoNumberText(double value) {
  if (!std::isfinite(value)) return "0";
  std::ostringstream out;
  out.precision(17);
  out << value;
  return out.str();
}

// The size the device reports for a regular, non-empty file; 0 otherwise.
int64_t MemoFileSize(AFCConnectionRef afc, const std::string& path) {
  AfcFileInfo info;
  if (!GetFileInfo(afc, path, &info) || info.type != "S_IFREG") return 0;
  return info.size > 0 ? info.size : 0;
}

bool ReadLocalManifest(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size <= 0 || static_cast<uint64_t>(size) > kMaxManifestBytes) return false;
  bytes->assign(static_cast<size_t>(size), '\0');
  in.seekg(0);
  return static_cast<bool>(in.read(bytes->data(), size));
}

bool ReadDeviceManifestXml(AFCConnectionRef afc, const std::string& path, std::string* xml) {
  AfcFileInfo info;
  if (!GetFileInfo(afc, path, &info) || info.type != "S_IFREG" || info.size <= 0 ||
      static_cast<uint64_t>(info.size) > kMaxManifestBytes) {
    return false;
  }
  std::string bytes;
  if (!CopyFileFromDevice(afc, path, nullptr, &bytes) || bytes.size() > kMaxManifestBytes) {
    return false;
  }
  return PlistBytesToXml(bytes.data(), bytes.size(), xml);
}

}  // namespace

std::vector<RecordingRow> ReadRecordingRows(const std::string& path) {
  std::vector<RecordingRow> rows;
  SqliteDbPtr db = OpenDatabase(path);
  if (!db) return rows;
  SqliteStmtPtr statement = PrepareStatement(db, path, kRecordingSql);
  if (!statement) return rows;
  sqlite3_stmt* s = statement.get();
  while (sqlite3_step(s) == SQLITE_ROW) {
    const std::string full = ColumnText(s, 1);
    const size_t folder = full.find("/Recordings/");
    if (folder == std::string::npos) continue;
    RecordingRow row;
    row.path = full.substr(folder);
    if (HasDotDotStep(row.path)) continue;
    row.duration = sqlite3_column_double(s, 0);
    row.label = ColumnText(s, 2);
    row.date = sqlite3_column_double(s, 3);
    rows.push_back(std::move(row));
  }
  return rows;
}

bool CollectVoiceMemos(AFCConnectionRef afc, const std::string& recordings_db,
                       const std::string& asset_manifest, DhTask* task,
                       std::vector<VoiceMemo>* memos) {
  std::set<std::string> listed;
  auto cancelled = [task] { return task && task->status() == kTaskCancelled; };
  auto add = [&](const std::string& path, std::string json) {
    listed.insert(path);
    memos->push_back({path, std::move(json)});
  };
  if (!recordings_db.empty()) {
    for (const RecordingRow& row : ReadRecordingRows(recordings_db)) {
      if (cancelled()) return false;
      if (listed.count(row.path)) continue;
      const int64_t size = MemoFileSize(afc, row.path);
      if (size == 0) continue;
      const double whole_date = std::isfinite(row.date) ? std::floor(row.date) : 0;
      const int64_t date_seconds =
          whole_date > 0 && whole_date < 9e15 ? static_cast<int64_t>(whole_date) : 0;
      add(row.path, "{\"path\":" + JsonQuote(row.path) + ",\"size\":" + std::to_string(size) +
                        ",\"label\":" + JsonQuote(row.label) +
                        ",\"duration_int\":" + MemoNumberText(row.duration) +
                        ",\"duration\":" + JsonQuote(MediaDurationText(row.duration * 1000)) +
                        ",\"date_int\":" + MemoNumberText(row.date) +
                        ",\"date\":" + JsonQuote(DeviceDateText(date_seconds)) +
                        ",\"source\":0}");
    }
  }
  std::string bytes, xml;
  if (!asset_manifest.empty() && ReadLocalManifest(asset_manifest, &bytes) &&
      PlistBytesToXml(bytes.data(), bytes.size(), &xml)) {
    for (const MemoManifestEntry& entry : ParseAssetManifestXml(xml)) {
      if (cancelled()) return false;
      if (listed.count(entry.path)) continue;
      const int64_t size = MemoFileSize(afc, entry.path);
      if (size == 0) continue;
      add(entry.path, "{\"path\":" + JsonQuote(entry.path) + ",\"label\":" +
                          JsonQuote(entry.label) + ",\"size\":" + std::to_string(size) +
                          ",\"duration_int\":" + MemoNumberText(entry.duration) +
                          ",\"duration\":\"\",\"date_int\":" + std::to_string(entry.unix_date) +
                          ",\"date\":" + JsonQuote(MemoLocalTime(entry.unix_date)) +
                          ",\"source\":1}");
    }
  }
  std::vector<std::string> names;
  ListFolderNames(afc, kMemoFolder, &names);
  for (const std::string& name : names) {
    if (cancelled()) return false;
    constexpr std::string_view kSuffix = ".composition";
    if (name.size() <= kSuffix.size() ||
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0 ||
        name.find('/') != std::string::npos) {
      continue;
    }
    xml.clear();
    if (!ReadDeviceManifestXml(afc, std::string(kMemoFolder) + "/" + name + "/manifest.plist",
                               &xml)) {
      continue;
    }
    std::optional<MemoManifestEntry> entry = ParseCompositionManifestXml(xml);
    if (!entry || listed.count(entry->path)) continue;
    const int64_t size = MemoFileSize(afc, entry->path);
    if (size == 0) continue;
    add(entry->path, "{\"path\":" + JsonQuote(entry->path) +
                         ",\"date_int\":" + std::to_string(entry->unix_date) +
                         ",\"date\":" + JsonQuote(MemoLocalTime(entry->unix_date)) +
                         ",\"label\":" + JsonQuote(entry->label) + ",\"size\":" +
                         std::to_string(size) + ",\"duration_int\":0,\"duration\":\"\",\"source\":2}");
  }
  return true;
}
