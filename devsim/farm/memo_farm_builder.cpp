#include "farm/memo_farm_builder.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "plist/plist_ptr.h"

namespace devsim {

namespace memo_farm {

constexpr char kRecordingTable[] =
    "CREATE TABLE ZRECORDING (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER,"
    " ZFLAGS INTEGER, ZDATE TIMESTAMP, ZDURATION FLOAT, ZCUSTOMLABEL VARCHAR, ZPATH VARCHAR,"
    " ZUNIQUEID VARCHAR);";

// 2016-03-15 in 2001-based seconds: the first memo's date.
constexpr int64_t kFirstMemoDate = 479'700'000;
constexpr int64_t kUnixOf2001 = 978'307'200;
constexpr char kDevicePrefix[] = "/var/mobile/Media/Recordings/";

struct Memo {
  std::string name;  // file name, "20160315 101112.m4a"
  int64_t date = 0;  // 2001-based seconds
  double duration = 0;
  std::string label;
};

std::string MemoName(int64_t date) {
  const time_t unix_time = static_cast<time_t>(date + kUnixOf2001);
  struct tm parts {};
  gmtime_r(&unix_time, &parts);
  char name[40];
  std::strftime(name, sizeof name, "%Y%m%d %H%M%S.m4a", &parts);
  return name;
}

std::string AudioBytes(std::mt19937_64& rng) {
  std::string bytes("\0\0\0\x1C" "ftypM4A ", 12);
  const size_t length = 300 + rng() % 1500;
  while (bytes.size() < length) bytes += static_cast<char>(rng() & 0xFF);
  return bytes;
}

bool WriteRecordingsDb(const fs::path& file, const std::vector<std::pair<Memo, std::string>>& rows,
                       std::string* error) {
  std::error_code ec;
  fs::remove(file, ec);
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, kRecordingTable, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(db,
                                "INSERT INTO ZRECORDING (Z_ENT, Z_OPT, ZFLAGS, ZDATE, ZDURATION,"
                                " ZCUSTOMLABEL, ZPATH, ZUNIQUEID) VALUES (1, 1, 0, ?, ?, ?, ?, ?)",
                                -1, &insert, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < rows.size(); ++i) {
    const Memo& memo = rows[i].first;
    const std::string& path = rows[i].second;
    sqlite3_bind_int64(insert, 1, memo.date);
    sqlite3_bind_double(insert, 2, memo.duration);
    if (memo.label.empty()) {
      sqlite3_bind_null(insert, 3);
    } else {
      sqlite3_bind_text(insert, 3, memo.label.c_str(), -1, SQLITE_TRANSIENT);
    }
    if (path.empty()) {
      sqlite3_bind_null(insert, 4);
    } else {
      sqlite3_bind_text(insert, 4, path.c_str(), -1, SQLITE_TRANSIENT);
    }
    const std::string unique = "memo-" + std::to_string(i);
    sqlite3_bind_text(insert, 5, unique.c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) *error = std::string("Recordings.db: ") + (db ? sqlite3_errmsg(db) : "cannot open");
  sqlite3_close(db);
  return ok;
}

// file:///var/mobile/Media/Recordings/20160315%20101112.m4a
std::string AudioUrl(const std::string& name) {
  std::string url = std::string("file://") + kDevicePrefix;
  for (char c : name) url += c == ' ' ? std::string("%20") : std::string(1, c);
  return url;
}

}  // namespace memo_farm

bool WriteVoiceMemos(const fs::path& fsroot, uint64_t count, uint64_t seed, std::string* error) {
  if (count == 0) return true;
  count = std::min(count, kMaxFarmMemos);
  std::mt19937_64 rng(seed * 0x2545F4914F6CDD1Dull + 0x6D656D6F);
  const fs::path folder = fsroot / "private/var/mobile/Media/Recordings";
  std::error_code ec;
  fs::create_directories(folder, ec);
  std::vector<std::pair<memo_farm::Memo, std::string>> rows;
  Plist manifest = NewDict();
  int64_t date = memo_farm::kFirstMemoDate;
  for (uint64_t i = 0; i < count; ++i) {
    memo_farm::Memo memo;
    date += 3600 + static_cast<int64_t>(rng() % 86400);
    memo.date = date;
    memo.name = memo_farm::MemoName(date);
    memo.duration = 2.5 + static_cast<double>(rng() % 500000) / 100.0;
    memo.label = i % 4 == 3 ? std::string() : "Memo " + std::to_string(i + 1);
    if (i % 5 == 4) memo.label = "R\xC3\xA9union " + std::to_string(i + 1);
    if (!WriteFileAtomic(folder / memo.name, memo_farm::AudioBytes(rng))) {
      *error = "cannot write " + memo.name;
      return false;
    }
    const uint64_t source = i % 3;
    if (source == 0) rows.emplace_back(memo, memo_farm::kDevicePrefix + memo.name);
    if (source == 1 || i == 0) {
      Plist entry = NewDict();
      plist_dict_set_item(entry.get(), "date", plist_new_date(static_cast<int32_t>(memo.date), 0));
      SetReal(entry.get(), "duration", memo.duration);
      SetString(entry.get(), "label", memo.label);
      SetNode(manifest.get(), memo.name.c_str(), std::move(entry));
    }
    if (source == 2) {
      const std::string stem = memo.name.substr(0, memo.name.size() - 4);
      const fs::path composition = folder / (stem + ".composition");
      fs::create_directories(composition / "fragments", ec);
      Plist m = NewDict();
      SetString(m.get(), "RCComposedAVURL", memo_farm::AudioUrl(memo.name));
      // Every other composition carries only the creation time.
      if (i % 2 == 0) {
        plist_dict_set_item(m.get(), "RCSavedRecordingCreationDate",
                            plist_new_date(static_cast<int32_t>(memo.date), 0));
      } else {
        SetReal(m.get(), "RCSavedRecordingCreationTime", static_cast<double>(memo.date));
      }
      SetString(m.get(), "RCSavedRecordingTitle", memo.label);
      SetString(m.get(), "RCSavedRecordingUUID", "uuid-" + std::to_string(i));
      SetNode(m.get(), "RCDecomposedFragments", NewArray());
      if (!WriteFileAtomic(composition / "manifest.plist", ToBinary(m.get()))) {
        *error = "cannot write a composition manifest";
        return false;
      }
    }
  }
  // Rows that name no listable recording.
  memo_farm::Memo stray;
  stray.date = date + 60;
  stray.duration = 12;
  stray.label = "Elsewhere";
  rows.emplace_back(stray, "/var/mobile/Library/Other/elsewhere.m4a");
  stray.label = "Gone";
  rows.emplace_back(stray, std::string(memo_farm::kDevicePrefix) + "gone.m4a");
  stray.label = "Empty";
  rows.emplace_back(stray, std::string(memo_farm::kDevicePrefix) + "empty.m4a");
  if (!WriteFileAtomic(folder / "empty.m4a", "")) {
    *error = "cannot write empty.m4a";
    return false;
  }
  stray.label = "No path";
  rows.emplace_back(stray, std::string());
  stray.label = "Negative";
  stray.duration = -1;
  rows.emplace_back(stray, memo_farm::kDevicePrefix + memo_farm::MemoName(date + 120));
  if (!WriteFileAtomic(folder / memo_farm::MemoName(date + 120), memo_farm::AudioBytes(rng))) {
    *error = "cannot write a memo";
    return false;
  }
  if (!memo_farm::WriteRecordingsDb(folder / "Recordings.db", rows, error)) return false;
  if (!WriteFileAtomic(folder / "AssetManifest.plist", ToXml(manifest.get()))) {
    *error = "cannot write AssetManifest.plist";
    return false;
  }
  return true;
}

}  // namespace devsim
