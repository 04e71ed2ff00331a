#include "services/backup/backup_settings.h"

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "plist/plist_ptr.h"

namespace devsim {
namespace {

std::mutex& SettingsMutex() {
  static std::mutex mu;  // guards every read-modify-write of a backup.plist
  return mu;
}

Plist LoadDict(const fs::path& file) {
  Plist p = ReadPlistFile(file);
  return IsDict(p.get()) ? std::move(p) : NewDict();
}

}  // namespace

bool ParseHostile(std::string_view text, HostilePath* out) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon + 1 >= text.size()) return false;
  std::string_view op = text.substr(0, colon);
  if (op == "upload") {
    out->op = HostileOp::kUpload;
  } else if (op == "move") {
    out->op = HostileOp::kMove;
  } else if (op == "remove") {
    out->op = HostileOp::kRemove;
  } else {
    return false;
  }
  out->path = std::string(text.substr(colon + 1));
  return true;
}

bool SetBackupFault(BackupFaults* f, const std::string& name, int64_t arg, const std::string& text) {
  using Action = BackupFaults::Action;
  if (name == "backup-hostile") {
    if (text.empty()) {
      f->hostile = HostilePath{};
      return true;
    }
    HostilePath h;
    if (!ParseHostile(text, &h)) return false;
    f->hostile = h;
    return true;
  }
  if (name == "backup-variants") {
    if (arg != 0 && arg != 1) return false;
    f->variants = arg == 1;
    return true;
  }
  if (arg < 0 || arg > 100) return false;
  Action action;
  if (name == "backup-disconnect") {
    action = Action::kDisconnect;
  } else if (name == "backup-drop") {
    action = Action::kDrop;
  } else if (name == "backup-stall") {
    action = Action::kStall;
  } else if (name == "backup-error") {
    action = Action::kError;
    // "CODE TEXT"; the code defaults to the one devices use for failed uploads.
    char* end = nullptr;
    long long code = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) {
      f->error_code = 104;
      f->error_text = text.empty() ? "Multiple errors uploading files" : text;
    } else {
      if (code <= 0 || code > 0x7FFFFFFF) return false;
      f->error_code = code;
      while (*end == ' ') ++end;
      f->error_text = end;
    }
  } else {
    return false;
  }
  f->action = action;
  f->at_progress = static_cast<double>(arg);
  return true;
}

fs::path BackupSettingsFile(const fs::path& device_dir) { return device_dir / "backup.plist"; }

BackupSettings LoadBackupSettings(const fs::path& device_dir) {
  BackupSettings s;
  if (device_dir.empty()) return s;
  std::lock_guard<std::mutex> lock(SettingsMutex());
  Plist p = LoadDict(BackupSettingsFile(device_dir));
  s.bulk_files = std::min(DictUint(p.get(), "BulkFiles").value_or(0), kMaxBulkFiles);
  s.bulk_bytes = DictUint(p.get(), "BulkBytes").value_or(0);
  s.bulk_seed = DictUint(p.get(), "BulkSeed").value_or(1);
  s.bulk_time = static_cast<int64_t>(DictUint(p.get(), "BulkTime").value_or(1700000000));
  if (auto h = DictString(p.get(), "Hostile")) ParseHostile(*h, &s.hostile);
  s.direct = DictBool(p.get(), "Direct").value_or(false);
  s.keybag = DictData(p.get(), "KeyBag").value_or("");
  s.file_delay_ms = std::min(DictUint(p.get(), "FileDelayMs").value_or(0), kMaxFileDelayMs);
  return s;
}

bool SaveBulkSettings(const fs::path& device_dir, uint64_t files, uint64_t bytes, uint64_t seed,
                      int64_t time) {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  fs::path file = BackupSettingsFile(device_dir);
  Plist p = LoadDict(file);
  SetUint(p.get(), "BulkFiles", files);
  SetUint(p.get(), "BulkBytes", bytes);
  SetUint(p.get(), "BulkSeed", seed);
  SetUint(p.get(), "BulkTime", static_cast<uint64_t>(time));
  return WritePlistFile(file, p.get());
}

bool SaveFileDelay(const fs::path& device_dir, uint64_t delay_ms) {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  fs::path file = BackupSettingsFile(device_dir);
  Plist p = LoadDict(file);
  SetUint(p.get(), "FileDelayMs", std::min(delay_ms, kMaxFileDelayMs));
  return WritePlistFile(file, p.get());
}

bool SaveKeybag(const fs::path& device_dir, const std::string& keybag) {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  fs::path file = BackupSettingsFile(device_dir);
  Plist p = LoadDict(file);
  if (keybag.empty()) {
    plist_dict_remove_item(p.get(), "KeyBag");
  } else {
    SetData(p.get(), "KeyBag", keybag);
  }
  return WritePlistFile(file, p.get());
}

}  // namespace devsim
