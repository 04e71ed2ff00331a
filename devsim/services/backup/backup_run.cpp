#include "services/backup/backup_run.h"

#include <chrono>
#include <thread>

#include <unistd.h>

#include <ctime>
#include <set>

#include "services/backup/backup_content.h"
#include "services/backup/backup_manifest.h"
#include "mux/cert_util.h"
#include "lockdown/sim_device.h"

namespace devsim {
namespace {

constexpr uint64_t kBatchBytes = 8u << 20;
constexpr size_t kBatchFiles = 500;
constexpr size_t kMovesPerMessage = 1000;
// Progress marks of the stages; the uploads fill the span between the first two.
constexpr double kUploadStart = 1.0;
constexpr double kUploadEnd = 90.0;
constexpr double kMovesEnd = 98.0;
constexpr double kSnapshotRemoved = 99.0;

// One file record of an upload: from an entry, from a local file, or from bytes in memory.
struct Upload {
  std::string source;  // the device-side name (informational for the host)
  std::string target;
  const BackupEntry* entry = nullptr;
  fs::path file;
  std::string bytes;
};

const char* DeviceFolderOf(const std::string& domain) {
  return domain == kSettingsDomain ? "/var/preferences/" : "/var/mobile/";
}

class BackupJob {
 public:
  BackupJob(BackupLink& link, SimDevice& device, const std::string& target,
            const BackupFaults& faults)
      : link_(link), device_(device), r_(target), faults_(faults) {}

  void Run();

 private:
  bool SendUploads(const std::vector<Upload>& items, double progress);
  bool UploadData(const std::vector<BackupEntry>& entries);
  bool UploadManifest(const std::vector<BackupEntry>& entries);
  bool MoveOut(const std::vector<BackupEntry>& entries);
  bool HostileMoveAndRemove();
  bool StatusFile(const std::string& state, double progress);
  bool HasHostileUpload() const {
    return hostile_.op == HostileOp::kUpload || hostile_.op == HostileOp::kMove;
  }
  // A hostile upload goes straight to the hostile path; a hostile move first uploads its source.
  Upload HostileUpload() const {
    Upload h;
    h.source = "/var/mobile/Library/hostile";
    h.target = hostile_.op == HostileOp::kUpload ? hostile_.path : stage_ + "hostile";
    h.bytes = "hostile\n";
    return h;
  }
  // Ends the run with an error result when the host refused the last request.
  bool HostAccepted(const char* what);

  BackupLink& link_;
  SimDevice& device_;
  const std::string r_;
  const BackupFaults& faults_;
  BackupSettings settings_;
  BulkSpec bulk_;
  HostilePath hostile_;
  std::string keybag_;
  std::string uuid_;
  int64_t started_ = 0;
  std::set<std::string> prefixes_;
  std::string stage_;  // where uploads go: R/Snapshot/, or R/ in the direct layout
};

bool BackupJob::HostAccepted(const char* what) {
  if (link_.last_code() == 0) return true;
  std::string text = std::string("The computer could not ") + what;
  if (!link_.last_text().empty()) text += ": " + link_.last_text();
  link_.Finish(104, text);
  return false;
}

bool BackupJob::SendUploads(const std::vector<Upload>& items, double progress) {
  uint64_t bytes = 0;
  for (const auto& u : items) bytes += u.entry ? u.entry->size : u.bytes.size();
  Plist m = DlMessage("DLMessageUploadFiles");
  DlAppend(m.get(), NewDict());
  DlAppendReal(m.get(), progress);
  DlAppendUint(m.get(), bytes);
  if (!link_.Send(m.get(), progress)) return false;
  StreamWriter w(link_.stream());
  bool wire_ok = true;
  auto out = [&](const char* p, size_t n) { return wire_ok = w.Data(p, n); };
  for (const auto& u : items) {
    if (!w.Name(u.source) || !w.Name(u.target)) return false;
    bool read_ok;
    if (u.entry) {
      read_ok = ReadEntry(*u.entry, bulk_, out);
    } else if (!u.file.empty()) {
      BackupEntry e;
      e.source = u.file;
      read_ok = ReadEntry(e, bulk_, out);
    } else {
      read_ok = out(u.bytes.data(), u.bytes.size());
    }
    if (!wire_ok) return false;
    // A file that vanished or cannot be read ends with the device's error chunk.
    if (!(read_ok ? w.End(kChunkSuccess) : w.End(kChunkDeviceError, "Could not read the file")))
      return false;
    if (u.entry && settings_.file_delay_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(settings_.file_delay_ms));
    }
  }
  if (!w.EndList()) return false;
  DlStatus st;
  if (!link_.Status(&st)) return false;
  if (st.code != 0) {
    link_.Finish(104, "Multiple errors uploading files");
    return false;
  }
  return true;
}

bool BackupJob::StatusFile(const std::string& state, double progress) {
  Upload u;
  u.source = "/var/mobile/Library/Backup/Status.plist";
  u.target = r_ + "/Status.plist";
  u.bytes = ToBinary(MakeStatusPlist(state, uuid_, started_).get());
  return SendUploads({u}, progress);
}

bool BackupJob::UploadData(const std::vector<BackupEntry>& entries) {
  uint64_t total = 0;
  size_t files = 0;
  for (const auto& e : entries) {
    if (e.flags != kEntryFile) continue;
    total += e.size;
    ++files;
  }
  std::vector<Upload> batch;
  uint64_t batch_bytes = 0, done_bytes = 0;
  size_t done_files = 0;
  bool first = true;
  auto flush = [&]() {
    if (batch.empty()) return true;
    if (first && HasHostileUpload()) batch.push_back(HostileUpload());
    first = false;
    double span = kUploadEnd - kUploadStart;
    double frac = total > 0 ? double(done_bytes) / double(total) : double(done_files) / double(files);
    if (!SendUploads(batch, kUploadStart + span * frac)) return false;
    batch.clear();
    batch_bytes = 0;
    return true;
  };
  for (const auto& e : entries) {
    if (e.flags != kEntryFile) continue;
    Upload u;
    u.source = DeviceFolderOf(e.domain) + e.relative_path;
    u.target = stage_ + e.file_id.substr(0, 2) + "/" + e.file_id;
    u.entry = &e;
    batch.push_back(std::move(u));
    batch_bytes += e.size;
    done_bytes += e.size;
    ++done_files;
    if (batch_bytes >= kBatchBytes || batch.size() >= kBatchFiles) {
      if (!flush()) return false;
    }
  }
  if (!flush()) return false;
  // A device with nothing to upload still sends the hostile record it was told to.
  if (first && HasHostileUpload()) return SendUploads({HostileUpload()}, kUploadEnd);
  return true;
}

bool BackupJob::UploadManifest(const std::vector<BackupEntry>& entries) {
  const char* tmpdir = getenv("TMPDIR");
  std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/vado-devsim-manifest-XXXXXX";
  int fd = mkstemp(tmpl.data());
  if (fd < 0) {
    link_.Finish(205, "Error writing backup database");
    return false;
  }
  close(fd);
  fs::path db = tmpl;
  std::string error;
  bool ok = WriteManifestDb(db, entries, &error);
  if (!ok) {
    std::error_code ec;
    fs::remove(db, ec);
    link_.Finish(205, "Error writing backup database: " + error);
    return false;
  }
  Upload plist;
  plist.source = "/var/mobile/Library/Backup/Manifest.plist";
  plist.target = stage_ + "Manifest.plist";
  plist.bytes = ToBinary(MakeManifestPlist(device_, keybag_, started_).get());
  Upload dbu;
  dbu.source = "/var/mobile/Library/Backup/Manifest.db";
  dbu.target = stage_ + "Manifest.db";
  dbu.file = db;
  // The size announced for the batch is informational; the database goes in as it is.
  ok = SendUploads({plist, dbu}, kUploadEnd);
  std::error_code ec;
  fs::remove(db, ec);
  return ok;
}

bool BackupJob::MoveOut(const std::vector<BackupEntry>& entries) {
  if (settings_.direct) return HostileMoveAndRemove();
  for (const auto& p : prefixes_) {
    if (!link_.CreateDirectory(r_ + "/" + p, kUploadEnd) || !HostAccepted("create a folder"))
      return false;
  }
  std::vector<std::pair<std::string, std::string>> moves;
  for (const auto& e : entries) {
    if (e.flags != kEntryFile) continue;
    std::string rel = e.file_id.substr(0, 2) + "/" + e.file_id;
    moves.emplace_back(r_ + "/Snapshot/" + rel, r_ + "/" + rel);
  }
  moves.emplace_back(r_ + "/Snapshot/Manifest.plist", r_ + "/Manifest.plist");
  moves.emplace_back(r_ + "/Snapshot/Manifest.db", r_ + "/Manifest.db");
  size_t sent = 0;
  while (sent < moves.size()) {
    size_t n = std::min(kMovesPerMessage, moves.size() - sent);
    std::vector<std::pair<std::string, std::string>> part(moves.begin() + sent,
                                                          moves.begin() + sent + n);
    sent += n;
    double progress = kUploadEnd + (kMovesEnd - kUploadEnd) * double(sent) / double(moves.size());
    const char* name = faults_.variants ? "DLMessageMoveFiles" : "DLMessageMoveItems";
    if (!link_.Move(part, progress, name) || !HostAccepted("move the backup files")) return false;
  }
  // A copy into the snapshot, which goes with it: the backup ends up the same.
  if (faults_.variants && (!link_.CopyItem(r_ + "/Manifest.plist", r_ + "/Snapshot/Manifest.copy",
                                           kMovesEnd) ||
                           !HostAccepted("copy a file"))) {
    return false;
  }
  return HostileMoveAndRemove();
}

bool BackupJob::HostileMoveAndRemove() {
  // The host's answer does not matter: a careful host refuses.
  if (hostile_.op == HostileOp::kMove) return link_.Move({{stage_ + "hostile", hostile_.path}}, kMovesEnd);
  if (hostile_.op == HostileOp::kRemove) return link_.Remove({hostile_.path}, kMovesEnd);
  return true;
}

void BackupJob::Run() {
  started_ = static_cast<int64_t>(std::time(nullptr));
  uuid_ = RandomUuid();
  for (auto& c : uuid_) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  settings_ = LoadBackupSettings(device_.dir());
  bulk_ = BulkSpec{settings_.bulk_files, settings_.bulk_bytes, settings_.bulk_seed,
                   settings_.bulk_time};
  hostile_ = faults_.hostile.op != HostileOp::kNone ? faults_.hostile : settings_.hostile;
  std::string error;
  Plist will = device_.GetValue(std::string("com.apple.mobile.backup"), std::string("WillEncrypt"),
                                true, &error);
  uint8_t encrypt = 0;
  if (will && plist_get_node_type(will.get()) == PLIST_BOOLEAN) plist_get_bool_val(will.get(), &encrypt);
  if (encrypt) keybag_ = settings_.keybag;

  // A previous backup's state is read but every backup is a full one.
  if (!link_.Download({r_ + "/Status.plist"}, 0.0, [](const std::string&) { return nullptr; },
                      [](const std::string&, FileRead, const std::string&) {})) {
    return;
  }
  std::vector<BackupEntry> entries = CollectBackupEntries(device_, bulk_);
  uint64_t planned = 0;
  for (const auto& e : entries) {
    planned += e.size;
    if (e.flags == kEntryFile) prefixes_.insert(e.file_id.substr(0, 2));
  }
  if (faults_.variants && !link_.PurgeDiskSpace(0.0)) return;
  int64_t free_bytes = -1;
  if (!link_.FreeSpace(0.0, &free_bytes)) return;
  if (free_bytes >= 0 && static_cast<uint64_t>(free_bytes) < planned) {
    link_.Finish(105, "Insufficient free disk space on drive to backup");
    return;
  }
  if (!link_.ContentsOfDirectory(r_, 0.0)) return;
  stage_ = settings_.direct ? r_ + "/" : r_ + "/Snapshot/";
  if (!settings_.direct &&
      (!link_.CreateDirectory(r_ + "/Snapshot", 0.0) || !HostAccepted("create a folder"))) {
    return;
  }
  for (const auto& p : prefixes_) {
    if (!link_.CreateDirectory(stage_ + p, 0.0) || !HostAccepted("create a folder")) return;
  }
  if (!StatusFile("uploading", kUploadStart)) return;
  if (!UploadData(entries)) return;
  if (!UploadManifest(entries)) return;
  if (!MoveOut(entries)) return;
  if (!settings_.direct &&
      (!link_.Remove({r_ + "/Snapshot"}, kSnapshotRemoved,
                     faults_.variants ? "DLMessageRemoveFiles" : "DLMessageRemoveItems") ||
       !HostAccepted("remove the snapshot"))) {
    return;
  }
  if (!StatusFile("finished", 100.0)) return;
  link_.Finish(0, "");
}

}  // namespace

void RunBackup(BackupLink& link, SimDevice& device, const std::string& target) {
  BackupJob job(link, device, target, link.faults());
  job.Run();
}

}  // namespace devsim
