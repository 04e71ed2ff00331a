#include "services/backup/restore_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>

#include "services/backup/backup_content.h"
#include "services/backup/backup_keybag.h"
#include "services/backup/backup_manifest.h"
#include "farm/path_jail.h"
#include "lockdown/sim_device.h"

namespace devsim {
namespace {

constexpr size_t kMaxManifestPlist = 10u << 20;
constexpr uint64_t kMaxManifestDb = 1ull << 30;
constexpr size_t kMaxRows = 2'000'000;
constexpr size_t kMaxSettingsFile = 1u << 20;
constexpr size_t kPathsPerRequest = 200;

// Codes of the final result; hosts only tell zero from non-zero.
constexpr int64_t kErrBadRequest = 2;
constexpr int64_t kErrFilesMissing = 104;
constexpr int64_t kErrManifest = 205;
constexpr int64_t kErrPassword = 207;

// Collects a small download in memory; refuses to grow past its limit.
StreamReader::Sink MemorySink(std::string* out, size_t limit) {
  return [out, limit](const char* p, size_t n) {
    if (out->size() + n > limit) return false;
    out->append(p, n);
    return true;
  };
}

// Creates the parent folders of `rel` inside the jail, then the file itself.
int CreateInJail(const PathJail& jail, const std::string& rel, UniqueFd* out) {
  std::vector<std::string> parts;
  if (!PathJail::Split(rel, &parts) || parts.empty()) return EPERM;
  std::string prefix;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    prefix += (i ? "/" : "") + parts[i];
    UniqueFd dir;
    std::string name;
    if (int err = jail.Parent(prefix, &dir, &name)) return err;
    if (mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  UniqueFd dir;
  std::string name;
  if (int err = jail.Parent(rel, &dir, &name)) return err;
  int fd = openat(dir.get(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  *out = UniqueFd(fd);
  return 0;
}

int MakeDirInJail(const PathJail& jail, const std::string& rel) {
  std::vector<std::string> parts;
  if (!PathJail::Split(rel, &parts) || parts.empty()) return EPERM;
  std::string prefix;
  for (size_t i = 0; i < parts.size(); ++i) {
    prefix += (i ? "/" : "") + parts[i];
    UniqueFd dir;
    std::string name;
    if (int err = jail.Parent(prefix, &dir, &name)) return err;
    if (mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

struct Pending {
  std::string path;  // as requested: S/xx/<id>
  ManifestRow row;
};

class RestoreJob {
 public:
  RestoreJob(BackupLink& link, SimDevice& device, plist_t request)
      : link_(link), device_(device), request_(request) {}
  void Run();

 private:
  bool CheckManifestPlist();
  bool LoadManifestDb(std::vector<ManifestRow>* rows);
  const PathJail* JailFor(const std::string& domain);
  bool IsSettingsFile(const ManifestRow& row) const;
  StreamReader::Sink SinkFor(const std::string& path);
  void FileDone(const std::string& path, FileRead result);
  bool Transfer(std::deque<Pending> queue);
  // Keeps what a "Multi status" answer says about the files the host could not send.
  void NoteHostFailures();
  void ApplySettings();

  BackupLink& link_;
  SimDevice& device_;
  plist_t request_;
  std::string s_;
  bool preserve_settings_ = true;
  std::map<std::string, std::unique_ptr<PathJail>> jails_;  // by farm folder
  // Files of the current request by requested path, and their open targets.
  std::map<std::string, ManifestRow> in_flight_;
  std::map<std::string, UniqueFd> open_;
  std::map<std::string, std::string> settings_;  // relative path -> bytes
  size_t failed_ = 0;
  std::vector<std::string> host_reported_;  // "path: text" from the host's multi status
  size_t finished_ = 0;
  size_t total_ = 0;
};

const PathJail* RestoreJob::JailFor(const std::string& domain) {
  auto folder = DomainFolder(domain);
  if (!folder) return nullptr;
  auto& jail = jails_[*folder];
  if (!jail) {
    std::error_code ec;
    fs::create_directories(device_.FsRoot() / *folder, ec);
    jail = std::make_unique<PathJail>(device_.FsRoot() / *folder);
  }
  return jail->valid() ? jail.get() : nullptr;
}

bool RestoreJob::IsSettingsFile(const ManifestRow& r) const {
  return (r.domain == kSettingsDomain && r.relative_path == kSettingsPath) ||
         (r.domain == "HomeDomain" && r.relative_path == kGlobalPrefsPath);
}

bool RestoreJob::CheckManifestPlist() {
  std::string bytes;
  bool got = false;
  if (!link_.Download({s_ + "/Manifest.plist"}, 0.0,
                      [&](const std::string&) { return MemorySink(&bytes, kMaxManifestPlist); },
                      [&](const std::string&, FileRead r, const std::string&) { got = r == FileRead::kOk; })) {
    return false;
  }
  Plist manifest = got ? ParsePlist(bytes) : nullptr;
  if (!IsDict(manifest.get())) {
    link_.Finish(kErrManifest, "Could not read the backup's Manifest.plist");
    return false;
  }
  if (DictBool(manifest.get(), "IsEncrypted").value_or(false)) {
    auto password = DictString(DictItem(request_, "Options"), "Password");
    if (!password) password = DictString(request_, "Password");
    std::string bag = DictData(manifest.get(), "BackupKeyBag").value_or("");
    if (!password || !KeybagAcceptsPassword(bag, *password)) {
      link_.Finish(kErrPassword, "The backup password is not correct");
      return false;
    }
  }
  return true;
}

bool RestoreJob::LoadManifestDb(std::vector<ManifestRow>* rows) {
  const char* tmpdir = getenv("TMPDIR");
  std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/vado-devsim-restore-XXXXXX";
  int raw = mkstemp(tmpl.data());
  if (raw < 0) {
    link_.Finish(kErrManifest, "Error reading backup database");
    return false;
  }
  UniqueFd fd(raw);
  uint64_t written = 0;
  bool got = false;
  auto sink = [&](const char* p, size_t n) {
    if (written + n > kMaxManifestDb) return false;
    written += n;
    return write(fd.get(), p, n) == static_cast<ssize_t>(n);
  };
  bool ok = link_.Download({s_ + "/Manifest.db"}, 0.0, [&](const std::string&) { return sink; },
                           [&](const std::string&, FileRead r, const std::string&) { got = r == FileRead::kOk; });
  fd.Reset();
  std::string error;
  if (ok && !got) {
    link_.Finish(kErrManifest, "Error reading backup database");
    ok = false;
  } else if (ok && !ReadManifestDb(tmpl, kMaxRows, rows, &error)) {
    link_.Finish(kErrManifest, "Error reading backup database: " + error);
    ok = false;
  }
  unlink(tmpl.c_str());
  return ok;
}

StreamReader::Sink RestoreJob::SinkFor(const std::string& path) {
  auto it = in_flight_.find(path);
  if (it == in_flight_.end()) return nullptr;  // not asked for: drained and dropped
  const ManifestRow& row = it->second;
  if (IsSettingsFile(row)) return MemorySink(&settings_[row.relative_path], kMaxSettingsFile);
  const PathJail* jail = JailFor(row.domain);
  UniqueFd fd;
  if (!jail || CreateInJail(*jail, row.relative_path, &fd) != 0) {
    std::fprintf(stderr, "vado-devsimd: restore refused %s/%s\n", row.domain.c_str(),
                 row.relative_path.c_str());
    return [](const char*, size_t) { return false; };
  }
  int raw = fd.get();
  open_[path] = std::move(fd);
  return [raw](const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = write(raw, p, n);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  };
}

void RestoreJob::FileDone(const std::string& path, FileRead result) {
  auto it = in_flight_.find(path);
  if (it == in_flight_.end()) return;
  bool opened = open_.count(path) > 0 || IsSettingsFile(it->second);
  open_.erase(path);
  if (result != FileRead::kOk || !opened) {
    ++failed_;
    if (IsSettingsFile(it->second)) settings_.erase(it->second.relative_path);
  }
  ++finished_;
  in_flight_.erase(it);
}

void RestoreJob::NoteHostFailures() {
  constexpr int64_t kMultiStatus = -13;
  constexpr size_t kMaxReported = 16;
  plist_t value = link_.last_value();
  if (link_.last_code() != kMultiStatus || !IsDict(value)) return;
  for (const std::string& path : DictKeys(value)) {
    if (host_reported_.size() >= kMaxReported) break;
    std::string text = DictString(DictItem(value, path.c_str()), "DLFileErrorString").value_or("");
    host_reported_.push_back(path + ": " + text);
  }
}

// Asks for the queued files a batch at a time. After a file it cannot send the host sends
// none of the rest of that request, so whatever did not arrive is asked for again.
bool RestoreJob::Transfer(std::deque<Pending> queue) {
  while (!queue.empty()) {
    std::vector<std::string> paths;
    in_flight_.clear();
    for (size_t i = 0; i < queue.size() && i < kPathsPerRequest; ++i) {
      paths.push_back(queue[i].path);
      in_flight_.emplace(queue[i].path, queue[i].row);
    }
    size_t before = finished_;
    double progress = 100.0 * double(finished_ + paths.size()) / double(total_);
    bool ok = link_.Download(paths, progress, [&](const std::string& p) { return SinkFor(p); },
                             [&](const std::string& p, FileRead r, const std::string&) { FileDone(p, r); });
    open_.clear();
    if (!ok) return false;
    NoteHostFailures();
    std::deque<Pending> rest;
    for (size_t i = 0; i < queue.size(); ++i) {
      if (i >= paths.size() || in_flight_.count(queue[i].path)) rest.push_back(std::move(queue[i]));
    }
    // A host that sent nothing at all would be asked forever: count its first file as lost.
    if (finished_ == before && !rest.empty()) {
      ++failed_;
      ++finished_;
      rest.pop_front();
    }
    queue = std::move(rest);
  }
  return true;
}

void RestoreJob::ApplySettings() {
  if (auto it = settings_.find(kSettingsPath); it != settings_.end()) {
    Plist p = ParsePlist(it->second);
    auto name = DictString(DictItem(DictItem(p.get(), "System"), "System"), "ComputerName");
    if (name) {
      Plist v(plist_new_string(name->c_str()));
      device_.SetValue(std::nullopt, "DeviceName", v.get());
    }
  }
  if (auto it = settings_.find(kGlobalPrefsPath); it != settings_.end()) {
    Plist p = ParsePlist(it->second);
    if (auto locale = DictString(p.get(), "AppleLocale")) {
      Plist v(plist_new_string(locale->c_str()));
      device_.SetValue(std::string("com.apple.international"), "Locale", v.get());
    }
    plist_t langs = DictItem(p.get(), "AppleLanguages");
    if (langs && plist_get_node_type(langs) == PLIST_ARRAY && plist_array_get_size(langs) > 0) {
      if (auto lang = StringValue(plist_array_get_item(langs, 0))) {
        Plist v(plist_new_string(lang->c_str()));
        device_.SetValue(std::string("com.apple.international"), "Language", v.get());
      }
    }
  }
}

void RestoreJob::Run() {
  s_ = DictString(request_, "SourceIdentifier").value_or("");
  std::string target = DictString(request_, "TargetIdentifier").value_or(device_.udid());
  if (!IsSafeIdentifier(s_) || target != device_.udid() || device_.dir().empty()) {
    link_.Finish(kErrBadRequest, "Invalid source or target identifier");
    return;
  }
  preserve_settings_ =
      DictBool(DictItem(request_, "Options"), "RestorePreserveSettings").value_or(true);
  if (!CheckManifestPlist()) return;
  std::vector<ManifestRow> rows;
  if (!LoadManifestDb(&rows)) return;
  std::deque<Pending> queue;
  for (auto& row : rows) {
    if (IsSettingsFile(row)) {
      if (!preserve_settings_ && row.flags == kEntryFile) {
        queue.push_back({s_ + "/" + row.file_id.substr(0, 2) + "/" + row.file_id, row});
      }
      continue;
    }
    const PathJail* jail = JailFor(row.domain);
    if (!jail) continue;  // a domain this device does not keep
    if (row.flags == kEntryDirectory) {
      // The domain's own row has an empty path: its folder is the jail's root.
      if (!row.relative_path.empty() && MakeDirInJail(*jail, row.relative_path) != 0) ++failed_;
      continue;
    }
    std::vector<std::string> parts;
    if (!PathJail::Split(row.relative_path, &parts) || parts.empty()) {
      ++failed_;
      continue;
    }
    queue.push_back({s_ + "/" + row.file_id.substr(0, 2) + "/" + row.file_id, row});
  }
  total_ = queue.size();
  if (!Transfer(std::move(queue))) return;
  ApplySettings();
  if (failed_ > 0) {
    std::string text = "Could not restore " + std::to_string(failed_) + " items";
    for (size_t i = 0; i < host_reported_.size(); ++i) {
      text += (i == 0 ? "; the computer reported " : ", ") + host_reported_[i];
    }
    link_.Finish(kErrFilesMissing, text);
    return;
  }
  link_.Finish(0, "");
}

}  // namespace

void RunRestore(BackupLink& link, SimDevice& device, plist_t request) {
  RestoreJob job(link, device, request);
  job.Run();
}

}  // namespace devsim
