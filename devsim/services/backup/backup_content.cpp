#include "services/backup/backup_content.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>

#include "farm/path_jail.h"
#include "plist/plist_ptr.h"
#include "lockdown/sim_device.h"

namespace devsim {
namespace {

constexpr const char* kMobileHome = "private/var/mobile";
constexpr const char* kPreferences = "private/var/preferences";

// Which domain a path under the mobile user's home belongs to.
const char* HomeDomainOf(const std::string& rel) {
  auto under = [&](const char* prefix) {
    size_t n = std::char_traits<char>::length(prefix);
    return rel.compare(0, n, prefix) == 0 && (rel.size() == n || rel[n] == '/');
  };
  if (under("Media/DCIM") || under("Media/PhotoData")) return "CameraRollDomain";
  if (under("Media")) return "MediaDomain";
  return "HomeDomain";
}

BackupEntry MakeEntry(const std::string& domain, const std::string& rel, uint32_t flags) {
  BackupEntry e;
  e.domain = domain;
  e.relative_path = rel;
  e.file_id = BackupFileId(domain, rel);
  e.flags = flags;
  e.mode = flags == kEntryDirectory ? 040755 : 0100644;
  return e;
}

// Walks one farm folder without following links; symbolic links are left out.
void Walk(const fs::path& root, const std::function<const char*(const std::string&)>& domain_of,
          std::vector<BackupEntry>* dirs, std::vector<BackupEntry>* files) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) continue;
    std::string rel = it->path().lexically_relative(root).generic_string();
    if (rel.empty() || rel == ".") continue;
    if (S_ISDIR(st.st_mode)) {
      BackupEntry e = MakeEntry(domain_of(rel), rel, kEntryDirectory);
      e.mtime = st.st_mtime;
      e.inode = st.st_ino;
      e.mode = 040000 | (st.st_mode & 07777);
      dirs->push_back(std::move(e));
    } else if (S_ISREG(st.st_mode)) {
      BackupEntry e = MakeEntry(domain_of(rel), rel, kEntryFile);
      e.size = static_cast<uint64_t>(st.st_size);
      e.mtime = st.st_mtime;
      e.inode = st.st_ino;
      e.mode = 0100000 | (st.st_mode & 07777);
      e.source = it->path();
      files->push_back(std::move(e));
    }
  }
}

std::string LockdownString(SimDevice& device, const char* domain, const char* key,
                           const char* fallback) {
  std::string error;
  std::optional<std::string> d = domain ? std::optional<std::string>(domain) : std::nullopt;
  Plist v = device.GetValue(d, std::string(key), true, &error);
  return StringValue(v.get()).value_or(fallback);
}

// The settings a restore with settings puts back: the device name and its language.
void AddSettings(SimDevice& device, int64_t now, std::vector<BackupEntry>* files) {
  Plist prefs = NewDict();
  Plist system = NewDict();
  Plist inner = NewDict();
  std::string name = LockdownString(device, nullptr, "DeviceName", "iPhone");
  SetString(inner.get(), "ComputerName", name);
  SetString(inner.get(), "HostName", name);
  SetNode(system.get(), "System", std::move(inner));
  SetNode(prefs.get(), "System", std::move(system));
  BackupEntry e = MakeEntry(kSettingsDomain, kSettingsPath, kEntryFile);
  e.inline_bytes = ToBinary(prefs.get());

  Plist global = NewDict();
  SetString(global.get(), "AppleLocale",
            LockdownString(device, "com.apple.international", "Locale", "en_US"));
  Plist langs = NewArray();
  plist_array_append_item(
      langs.get(),
      plist_new_string(LockdownString(device, "com.apple.international", "Language", "en").c_str()));
  SetNode(global.get(), "AppleLanguages", std::move(langs));
  BackupEntry g = MakeEntry("HomeDomain", kGlobalPrefsPath, kEntryFile);
  g.inline_bytes = ToBinary(global.get());
  for (BackupEntry* x : {&e, &g}) {
    x->size = x->inline_bytes.size();
    x->mtime = now;
    x->mode = 0100600;
    files->push_back(std::move(*x));
  }
}

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::string BulkPath(uint64_t index) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Media/Bulk/%03llu/file_%07llu.bin",
                static_cast<unsigned long long>(index / 1000), static_cast<unsigned long long>(index));
  return buf;
}

}  // namespace

std::string BackupFileId(const std::string& domain, const std::string& relative_path) {
  std::string key = domain + "-" + relative_path;
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(key.data()), key.size(), md);
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : md) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::optional<std::string> DomainFolder(const std::string& domain) {
  if (domain == "HomeDomain" || domain == "MediaDomain" || domain == "CameraRollDomain") {
    return std::string(kMobileHome);
  }
  if (domain == kSettingsDomain) return std::string(kPreferences);
  return std::nullopt;
}

uint64_t BulkFileSize(const BulkSpec& bulk, uint64_t index) {
  if (bulk.files == 0) return 0;
  return bulk.bytes / bulk.files + (index < bulk.bytes % bulk.files ? 1 : 0);
}

void FillBulk(uint64_t seed, uint64_t index, uint64_t offset, char* buf, size_t len) {
  uint64_t base = Mix(seed ^ Mix(index));
  // Word w of the file is Mix(base + w); a piece that starts mid-word takes its tail.
  uint64_t word = offset / 8;
  size_t skip = offset % 8;
  size_t done = 0;
  while (done < len) {
    uint64_t v = Mix(base + word++);
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    size_t n = std::min(len - done, 8 - skip);
    std::copy(bytes + skip, bytes + skip + n, buf + done);
    done += n;
    skip = 0;
  }
}

std::vector<BackupEntry> CollectBackupEntries(SimDevice& device, const BulkSpec& bulk) {
  std::vector<BackupEntry> dirs, files;
  fs::path fsroot = device.FsRoot();
  Walk(fsroot / kMobileHome, HomeDomainOf, &dirs, &files);
  Walk(fsroot / kPreferences, [](const std::string&) { return kSettingsDomain; }, &dirs, &files);
  std::set<std::string> ids;
  for (const auto& e : files) ids.insert(e.file_id);
  std::vector<BackupEntry> made;
  AddSettings(device, bulk.time > 0 ? bulk.time : 1700000000, &made);
  for (auto& e : made) {
    if (ids.insert(e.file_id).second) files.push_back(std::move(e));
  }
  if (bulk.files > 0) {
    std::set<std::string> dir_ids;
    for (const auto& d : dirs) dir_ids.insert(d.file_id);
    auto add_dir = [&](const std::string& rel) {
      BackupEntry d = MakeEntry("MediaDomain", rel, kEntryDirectory);
      d.mtime = bulk.time;
      if (dir_ids.insert(d.file_id).second) dirs.push_back(std::move(d));
    };
    add_dir("Media/Bulk");
    for (uint64_t i = 0; i < bulk.files; ++i) {
      std::string rel = BulkPath(i);
      if (i % 1000 == 0) add_dir(rel.substr(0, rel.rfind('/')));
      BackupEntry e = MakeEntry("MediaDomain", rel, kEntryFile);
      // A file the farm really has (a restored one) wins over the generated one.
      if (!ids.insert(e.file_id).second) continue;
      e.size = BulkFileSize(bulk, i);
      e.mtime = bulk.time;
      e.inode = 1000000 + i;
      e.generated = static_cast<int64_t>(i);
      files.push_back(std::move(e));
    }
  }
  auto by_path = [](const BackupEntry& a, const BackupEntry& b) {
    return std::tie(a.domain, a.relative_path) < std::tie(b.domain, b.relative_path);
  };
  std::sort(dirs.begin(), dirs.end(), by_path);
  std::sort(files.begin(), files.end(), by_path);
  dirs.insert(dirs.end(), std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
  return dirs;
}

bool ReadEntry(const BackupEntry& entry, const BulkSpec& bulk,
               const std::function<bool(const char*, size_t)>& out) {
  if (entry.generated >= 0) {
    std::vector<char> buf(256 * 1024);
    uint64_t total = entry.size, off = 0;
    while (off < total) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - off));
      FillBulk(bulk.seed, static_cast<uint64_t>(entry.generated), off, buf.data(), n);
      if (!out(buf.data(), n)) return false;
      off += n;
    }
    return true;
  }
  if (entry.source.empty()) return out(entry.inline_bytes.data(), entry.inline_bytes.size());
  UniqueFd fd(open(entry.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  std::vector<char> buf(256 * 1024);
  for (;;) {
    ssize_t n = read(fd.get(), buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (!out(buf.data(), static_cast<size_t>(n))) return false;
  }
}

}  // namespace devsim
