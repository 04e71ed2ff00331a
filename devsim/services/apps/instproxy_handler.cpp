#include "services/apps/instproxy_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "services/apps/app_archive.h"
#include "mux/cert_util.h"
#include "services/apps/ipa_reader.h"
#include "services/apps/png_writer.h"

namespace devsim {
namespace {

constexpr const char* kArchiveDir = "ApplicationArchives";
// A fresh app's data container: the folders iOS creates, in bytes.
constexpr uint64_t kFreshContainerBytes = 24576;

Plist Progress(const char* status, uint64_t percent) {
  Plist m = NewDict();
  SetUint(m.get(), "PercentComplete", percent);
  SetString(m.get(), "Status", status);
  return m;
}

Plist Status(const char* status) {
  Plist m = NewDict();
  SetString(m.get(), "Status", status);
  return m;
}

// Errors carry no Status: clients take a Status other than Complete for "still running".
Plist Error(const char* error, const std::string& description) {
  Plist m = NewDict();
  SetString(m.get(), "Error", error);
  SetString(m.get(), "ErrorDescription", description);
  return m;
}

bool SendSteps(const InstproxySink& send,
               std::initializer_list<std::pair<const char*, uint64_t>> steps) {
  for (const auto& [status, percent] : steps) {
    if (!send(Progress(status, percent))) return false;
  }
  return true;
}

bool IsExpensive(const std::string& key) {
  return key == "StaticDiskUsage" || key == "DynamicDiskUsage" || key == "SharedDirSize" ||
         key == "ApplicationSINF" || key == "iTunesMetadata" || key == "iTunesArtwork" ||
         key == "GeoJSON";
}

std::vector<std::string> StringItems(plist_t array) {
  std::vector<std::string> out;
  if (!array || plist_get_node_type(array) != PLIST_ARRAY) return out;
  for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
    if (auto s = StringValue(plist_array_get_item(array, i))) out.push_back(*s);
  }
  return out;
}

// Which installed apps a Browse or Lookup covers, in order.
std::vector<std::string> SelectApps(const AppStore& apps, plist_t options) {
  std::string type = DictString(options, "ApplicationType").value_or("Any");
  plist_t ids_node = DictItem(options, "BundleIDs");
  std::vector<std::string> wanted = StringItems(ids_node);
  auto attribute = DictString(options, "Attribute");
  std::vector<std::string> candidates = ids_node ? wanted : apps.BundleIds();
  std::vector<std::string> out;
  for (const std::string& id : candidates) {
    Plist attrs = apps.Attributes(id);
    if (!attrs) continue;
    std::string app_type = DictString(attrs.get(), "ApplicationType").value_or("User");
    if (type != "Any" && type != app_type) continue;
    if (attribute && !DictItem(attrs.get(), attribute->c_str())) continue;
    out.push_back(id);
  }
  return out;
}

bool Browse(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  plist_t options = DictItem(req, "ClientOptions");
  plist_t attrs = DictItem(options, "ReturnAttributes");
  std::vector<std::string> ids = SelectApps(env.apps, options);
  std::vector<Plist> entries;
  for (const std::string& id : ids) {
    if (Plist e = AppEntry(env.apps, id, attrs)) entries.push_back(std::move(e));
  }
  for (size_t first = 0; first < entries.size(); first += kBrowsePageSize) {
    size_t count = std::min(kBrowsePageSize, entries.size() - first);
    Plist page = NewDict();
    Plist list = NewArray();
    for (size_t i = first; i < first + count; ++i) {
      plist_array_append_item(list.get(), entries[i].release());
    }
    SetUint(page.get(), "CurrentIndex", first);
    SetUint(page.get(), "CurrentAmount", count);
    SetNode(page.get(), "CurrentList", std::move(list));
    SetString(page.get(), "Status", "BrowsingApplications");
    if (!send(std::move(page))) return false;
  }
  return send(Status("Complete"));
}

bool Lookup(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  plist_t options = DictItem(req, "ClientOptions");
  plist_t attrs = DictItem(options, "ReturnAttributes");
  Plist result = NewDict();
  for (const std::string& id : SelectApps(env.apps, options)) {
    if (Plist e = AppEntry(env.apps, id, attrs)) SetNode(result.get(), id.c_str(), std::move(e));
  }
  Plist reply = NewDict();
  SetNode(reply.get(), "LookupResult", std::move(result));
  SetString(reply.get(), "Status", "Complete");
  return send(std::move(reply));
}

// The attributes an installed app gets: its Info.plist plus what the installer computes.
Plist InstalledAttributes(const IpaContents& ipa, const AppStore& apps, const std::string& id) {
  Plist attrs = Copy(ipa.info.get());
  Plist old = apps.Attributes(id);
  std::string bundle_name = ipa.app_dir.substr(8, ipa.app_dir.size() - 9);  // "Payload/" .. "/"
  std::string container = old ? DictString(old.get(), "Container").value_or("") : "";
  if (container.empty()) {
    container = "/private/var/mobile/Containers/Data/Application/" + RandomUuid();
  }
  SetString(attrs.get(), "ApplicationType", "User");
  SetString(attrs.get(), "Path",
            "/private/var/containers/Bundle/Application/" + RandomUuid() + "/" + bundle_name);
  SetString(attrs.get(), "Container", container);
  Plist env = NewDict();
  SetString(env.get(), "HOME", container);
  SetString(env.get(), "CFFIXED_USER_HOME", container);
  SetString(env.get(), "TMPDIR", container + "/tmp");
  SetNode(attrs.get(), "EnvironmentVariables", std::move(env));
  SetBool(attrs.get(), "IsUpgradeable", true);
  SetBool(attrs.get(), "IsAppClip", false);
  SetString(attrs.get(), "SignerIdentity", ipa.sinf ? "Apple iPhone OS Application Signing"
                                                    : "Apple Development");
  uint64_t sequence = old ? DictUint(old.get(), "SequenceNumber").value_or(0) + 1 : 1;
  SetUint(attrs.get(), "SequenceNumber", sequence);
  SetUint(attrs.get(), "StaticDiskUsage", ipa.payload_bytes);
  SetUint(attrs.get(), "DynamicDiskUsage",
          old ? DictUint(old.get(), "DynamicDiskUsage").value_or(kFreshContainerBytes)
              : kFreshContainerBytes);
  return attrs;
}

const char* ErrorFor(IpaError e) {
  switch (e) {
    case IpaError::kNoBundle:
    case IpaError::kBadInfoPlist:
      return "PackageInspectionFailed";
    default:
      return "PackageExtractionFailed";
  }
}

// Installs the package at `path` (in the media folder), sending the progress or the error.
// `installed` tells whether the app is in place; the caller sends Complete.
bool InstallPackage(const std::string& path, plist_t options, InstproxyEnv& env,
                    const InstproxySink& send, bool* installed) {
  *installed = false;
  if (!send(Progress("CreatingStagingDirectory", 5))) return false;
  UniqueFd fd;
  if (int err = env.media.Open(path, O_RDONLY, 0, &fd); err != 0) {
    return send(Error("PackageExtractionFailed",
                      "cannot open the package " + path + ": " + std::strerror(err)));
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return send(Error("PackageExtractionFailed", "the package is not a file: " + path));
  }
  if (!send(Progress("ExtractingPackage", 15))) return false;
  IpaContents ipa;
  if (IpaError e = ReadIpa(fd.get(), &ipa); e != IpaError::kNone) {
    return send(Error(ErrorFor(e), IpaErrorText(e)));
  }
  if (!send(Progress("InspectingPackage", 20))) return false;
  auto id = DictString(ipa.info.get(), "CFBundleIdentifier");
  if (!id || !AppStore::IsValidBundleId(*id)) {
    return send(Error("MissingBundleIdentifier", "the bundle has no valid CFBundleIdentifier"));
  }
  if (!ipa.has_executable) {
    return send(Error("MissingBundleExecutable",
                      "the bundle's CFBundleExecutable is missing from the package"));
  }
  auto min_os = DictString(ipa.info.get(), "MinimumOSVersion");
  if (min_os && !env.product_version.empty() &&
      CompareVersions(env.product_version, *min_os) < 0) {
    return send(Error("DeviceOSVersionTooLow",
                      "the app needs iOS " + *min_os + ", the device runs " + env.product_version));
  }
  if (!SendSteps(send, {{"TakingInstallLock", 20},
                        {"PreflightingApplication", 30},
                        {"InstallingEmbeddedProfile", 30},
                        {"VerifyingApplication", 40},
                        {"CreatingContainer", 50},
                        {"InstallingApplication", 60}})) {
    return false;
  }
  AppRecord app;
  app.bundle_id = *id;
  app.attributes = InstalledAttributes(ipa, env.apps, *id);
  // Metadata and SINF handed over by the host win over the package's own.
  app.itunes_metadata = DictData(options, "iTunesMetadata");
  if (!app.itunes_metadata) app.itunes_metadata = ipa.itunes_metadata;
  app.sinf = DictData(options, "ApplicationSINF");
  if (!app.sinf) app.sinf = ipa.sinf;
  app.icon_png = MakeIconPng(*id);
  std::string error;
  if (!env.apps.Put(app, &error)) return send(Error("ApplicationMoveFailed", error));
  *installed = true;
  return SendSteps(send, {{"PostflightingApplication", 70},
                          {"SandboxingApplication", 80},
                          {"GeneratingApplicationMap", 90}});
}

bool Install(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  auto path = DictString(req, "PackagePath");
  if (!path || path->empty()) return send(Error("MissingPackagePath", "no PackagePath given"));
  bool installed = false;
  if (!InstallPackage(*path, DictItem(req, "ClientOptions"), env, send, &installed)) return false;
  return !installed || send(Status("Complete"));
}

bool Uninstall(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  auto id = DictString(req, "ApplicationIdentifier");
  if (!id || id->empty()) {
    return send(Error("MissingApplicationIdentifier", "no ApplicationIdentifier given"));
  }
  Plist attrs = env.apps.Attributes(*id);
  if (attrs && DictString(attrs.get(), "ApplicationType").value_or("User") == "System") {
    return send(Error("UninstallProhibited", "system application " + *id));
  }
  if (!send(Progress("RemovingApplication", 50))) return false;
  // Removing an app that is not installed is no error: the end state is the same.
  env.apps.Remove(*id);
  if (!send(Progress("GeneratingApplicationMap", 90))) return false;
  return send(Status("Complete"));
}

std::string ArchivePath(const std::string& id) {
  return std::string(kArchiveDir) + "/" + id + ".zip";
}

bool Archive(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  auto id = DictString(req, "ApplicationIdentifier");
  if (!id || id->empty()) {
    return send(Error("MissingApplicationIdentifier", "no ApplicationIdentifier given"));
  }
  if (!env.apps.Installed(*id)) return send(Error("LookupFailed", "not installed: " + *id));
  plist_t options = DictItem(req, "ClientOptions");
  bool skip_uninstall = DictBool(options, "SkipUninstall").value_or(false);
  if (!send(Progress("TakingInstallLock", 10))) return false;
  UniqueFd dir;
  std::string name;
  if (env.media.Parent(kArchiveDir, &dir, &name) != 0 ||
      (mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST)) {
    return send(Error("APIInternalError", "cannot create ApplicationArchives"));
  }
  UniqueFd out;
  int err = env.media.Open(ArchivePath(*id), O_WRONLY | O_CREAT | O_EXCL, 0644, &out);
  if (err == EEXIST) return send(Error("AlreadyArchived", "an archive of " + *id + " exists"));
  if (err != 0) return send(Error("APIInternalError", "cannot create the archive"));
  if (!send(Progress("ArchivingApplication", 50))) return false;
  if (!WriteAppArchive(out.get(), env.apps, *id)) {
    UniqueFd parent;
    if (env.media.Parent(ArchivePath(*id), &parent, &name) == 0) unlinkat(parent.get(), name.c_str(), 0);
    return send(Error("APIInternalError", "cannot write the archive of " + *id));
  }
  if (!skip_uninstall) {
    if (!send(Progress("RemovingApplication", 70))) return false;
    env.apps.Remove(*id);
  }
  if (!send(Progress("GeneratingApplicationMap", 90))) return false;
  return send(Status("Complete"));
}

bool RemoveArchive(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  auto id = DictString(req, "ApplicationIdentifier");
  if (!id || !AppStore::IsValidBundleId(*id)) {
    return send(Error("MissingApplicationIdentifier", "no valid ApplicationIdentifier given"));
  }
  if (!send(Progress("RemovingArchive", 50))) return false;
  UniqueFd dir;
  std::string name;
  if (env.media.Parent(ArchivePath(*id), &dir, &name) == 0) unlinkat(dir.get(), name.c_str(), 0);
  return send(Status("Complete"));
}

// Installs the app again from its archive, which is then removed.
bool Restore(plist_t req, InstproxyEnv& env, const InstproxySink& send) {
  auto id = DictString(req, "ApplicationIdentifier");
  if (!id || !AppStore::IsValidBundleId(*id)) {
    return send(Error("MissingApplicationIdentifier", "no valid ApplicationIdentifier given"));
  }
  UniqueFd probe;
  if (env.media.Open(ArchivePath(*id), O_RDONLY, 0, &probe) != 0) {
    return send(Error("LookupFailed", "no archive of " + *id));
  }
  bool installed = false;
  if (!InstallPackage(ArchivePath(*id), nullptr, env, send, &installed)) return false;
  if (!installed) return true;
  UniqueFd dir;
  std::string name;
  if (env.media.Parent(ArchivePath(*id), &dir, &name) == 0) unlinkat(dir.get(), name.c_str(), 0);
  return send(Status("Complete"));
}

// Every archive in ApplicationArchives/, keyed by bundle id, with its size.
bool LookupArchives(InstproxyEnv& env, const InstproxySink& send) {
  Plist result = NewDict();
  UniqueFd dir;
  if (env.media.Open(kArchiveDir, O_RDONLY | O_DIRECTORY, 0, &dir) == 0) {
    std::error_code ec;
    fs::path listing = "/proc/self/fd/" + std::to_string(dir.get());
    for (fs::directory_iterator it(listing, ec), end; !ec && it != end; it.increment(ec)) {
      std::string file = it->path().filename().string();
      if (file.size() <= 4 || file.compare(file.size() - 4, 4, ".zip") != 0) continue;
      std::string id = file.substr(0, file.size() - 4);
      struct stat st;
      if (!AppStore::IsValidBundleId(id) || fstatat(dir.get(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode)) {
        continue;
      }
      Plist entry = NewDict();
      SetString(entry.get(), "CFBundleIdentifier", id);
      SetUint(entry.get(), "ArchiveSize", static_cast<uint64_t>(st.st_size));
      SetNode(result.get(), id.c_str(), std::move(entry));
    }
  }
  Plist reply = NewDict();
  SetNode(reply.get(), "LookupResult", std::move(result));
  SetString(reply.get(), "Status", "Complete");
  return send(std::move(reply));
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    uint64_t x = 0, y = 0;
    for (; i < a.size() && a[i] != '.'; ++i) {
      if (a[i] >= '0' && a[i] <= '9' && x < 1000000000) x = x * 10 + uint64_t(a[i] - '0');
    }
    for (; j < b.size() && b[j] != '.'; ++j) {
      if (b[j] >= '0' && b[j] <= '9' && y < 1000000000) y = y * 10 + uint64_t(b[j] - '0');
    }
    if (x != y) return x < y ? -1 : 1;
    if (i < a.size()) ++i;
    if (j < b.size()) ++j;
  }
  return 0;
}

Plist AppEntry(const AppStore& apps, const std::string& id, plist_t return_attributes) {
  Plist attrs = apps.Attributes(id);
  if (!attrs) return nullptr;
  if (!return_attributes || plist_get_node_type(return_attributes) != PLIST_ARRAY) {
    for (const std::string& key : DictKeys(attrs.get())) {
      if (IsExpensive(key)) plist_dict_remove_item(attrs.get(), key.c_str());
    }
    return attrs;
  }
  Plist entry = NewDict();
  for (const std::string& key : StringItems(return_attributes)) {
    if (key == "iTunesMetadata") {
      if (auto m = apps.ITunesMetadata(id)) SetData(entry.get(), "iTunesMetadata", *m);
    } else if (key == "ApplicationSINF") {
      if (auto s = apps.Sinf(id)) SetData(entry.get(), "ApplicationSINF", *s);
    } else if (plist_t v = DictItem(attrs.get(), key.c_str())) {
      SetNode(entry.get(), key.c_str(), Copy(v));
    }
  }
  return entry;
}

bool HandleInstproxyRequest(plist_t request, InstproxyEnv& env, const InstproxySink& send) {
  auto command = DictString(request, "Command");
  if (!command) return send(Error("MissingCommand", "the request has no Command"));
  if (*command == "Browse") return Browse(request, env, send);
  if (*command == "Lookup") return Lookup(request, env, send);
  if (*command == "Install" || *command == "Upgrade") return Install(request, env, send);
  if (*command == "Uninstall") return Uninstall(request, env, send);
  if (*command == "Archive") return Archive(request, env, send);
  if (*command == "RemoveArchive") return RemoveArchive(request, env, send);
  if (*command == "Restore") return Restore(request, env, send);
  if (*command == "LookupArchives") return LookupArchives(env, send);
  return send(Error("UnknownCommand", "unknown command " + command->substr(0, 64)));
}

}  // namespace devsim
