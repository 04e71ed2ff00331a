#include "farm/app_farm_builder.h"

#include <cstdio>

#include "mux/cert_util.h"
#include "services/apps/png_writer.h"

namespace devsim {
namespace {

const char* const kVendors[] = {
    "spotify",  "zhiliaoapp", "burbn",    "atebits",   "facebook",  "google",    "netflix",
    "ubercab",  "airbnb",     "duolingo", "headspace", "strava",    "dropbox",   "evernote",
    "slack",    "zoom",       "notion",   "linkedin",  "pinterest", "reddit",    "shazam",
    "wunderlist", "nytimes",  "bbc",      "deezer",    "tripadvisor", "booking", "lieferando",
    "komoot",   "babbel"};
const char* const kProducts[] = {
    "client",  "music",   "photos",   "news",     "maps",    "weather", "notes",   "fitness",
    "travel",  "reader",  "scanner",  "wallet",   "chat",    "calendar", "podcasts", "video",
    "recipes", "tasks",   "journal",  "radio",    "games",   "sketch",  "camera",  "translate",
    "budget",  "sleep",   "run",      "meditate", "learn",   "shop"};
const char* const kGenres[] = {"Music", "Social Networking", "Photo & Video", "News",
                               "Navigation", "Weather", "Productivity", "Health & Fitness",
                               "Travel", "Books", "Utilities", "Finance", "Education",
                               "Lifestyle", "Entertainment", "Games"};

struct SystemApp {
  const char* id;
  const char* name;
  const char* executable;
};
const SystemApp kSystemApps[] = {
    {"com.apple.mobilesafari", "Safari", "MobileSafari"},
    {"com.apple.mobilemail", "Mail", "MobileMail"},
    {"com.apple.mobileslideshow", "Photos", "MobileSlideShow"},
    {"com.apple.camera", "Camera", "Camera"},
    {"com.apple.Preferences", "Settings", "Preferences"},
    {"com.apple.MobileSMS", "Messages", "MobileSMS"},
    {"com.apple.mobilenotes", "Notes", "MobileNotes"},
    {"com.apple.Music", "Music", "Music"},
};

std::string Capitalised(const char* s) {
  std::string out = s;
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
  return out;
}

std::string RandomBytesFrom(std::mt19937_64& rng, size_t n) {
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(rng() & 0xFF);
  return s;
}

std::string Date(std::mt19937_64& rng, int first_year, int years) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                first_year + int(rng() % uint64_t(years)), 1 + int(rng() % 12),
                1 + int(rng() % 28), int(rng() % 24), int(rng() % 60), int(rng() % 60));
  return buf;
}

Plist BaseAttributes(const std::string& id, const std::string& name, const std::string& exe,
                     const std::string& type, const std::string& short_version,
                     const std::string& build) {
  Plist a = NewDict();
  plist_t d = a.get();
  SetString(d, "CFBundleIdentifier", id);
  SetString(d, "CFBundleDisplayName", name);
  SetString(d, "CFBundleName", name);
  SetString(d, "CFBundleExecutable", exe);
  SetString(d, "CFBundleShortVersionString", short_version);
  SetString(d, "CFBundleVersion", build);
  SetString(d, "CFBundlePackageType", "APPL");
  SetString(d, "DTPlatformName", "iphoneos");
  SetString(d, "MinimumOSVersion", "15.0");
  Plist family = NewArray();
  plist_array_append_item(family.get(), plist_new_uint(1));
  plist_array_append_item(family.get(), plist_new_uint(2));
  SetNode(d, "UIDeviceFamily", std::move(family));
  SetString(d, "ApplicationType", type);
  bool user = type == "User";
  std::string bundle_root = user ? "/private/var/containers/Bundle/Application/" + RandomUuid()
                                 : std::string("/Applications");
  SetString(d, "Path", bundle_root + "/" + exe + ".app");
  std::string container = "/private/var/mobile/Containers/Data/Application/" + RandomUuid();
  SetString(d, "Container", container);
  Plist env = NewDict();
  SetString(env.get(), "HOME", container);
  SetString(env.get(), "CFFIXED_USER_HOME", container);
  SetString(env.get(), "TMPDIR", container + "/tmp");
  SetNode(d, "EnvironmentVariables", std::move(env));
  SetBool(d, "IsUpgradeable", user);
  SetBool(d, "IsAppClip", false);
  SetUint(d, "SequenceNumber", 1);
  return a;
}

std::string StoreMetadata(std::mt19937_64& rng, const std::string& id, const std::string& name,
                          const std::string& vendor, const std::string& short_version,
                          const std::string& build, uint64_t item_id) {
  Plist m = NewDict();
  plist_t d = m.get();
  std::string apple_id = "owner" + std::to_string(rng() % 1000) + "@icloud.com";
  SetString(d, "appleId", apple_id);
  SetString(d, "artistName", vendor + " Inc.");
  SetString(d, "bundleDisplayName", name);
  SetString(d, "bundleShortVersionString", short_version);
  SetString(d, "bundleVersion", build);
  SetString(d, "copyright", "\xC2\xA9 2024 " + vendor + " Inc.");
  SetString(d, "genre", kGenres[rng() % (sizeof kGenres / sizeof *kGenres)]);
  SetUint(d, "genreId", 6000 + rng() % 30);
  SetUint(d, "itemId", item_id);
  SetString(d, "itemName", name);
  SetString(d, "kind", "software");
  SetString(d, "playlistName", vendor + " Inc.");
  SetString(d, "releaseDate", Date(rng, 2012, 10));
  SetString(d, "softwareIcon57x57URL",
            "https://is1-ssl.mzstatic.com/image/thumb/Purple/v4/" + std::to_string(item_id) +
                "/AppIcon-57x57.png");
  SetString(d, "softwareVersionBundleId", id);
  SetUint(d, "softwareVersionExternalIdentifier", 800000000 + rng() % 100000000);
  SetUint(d, "vendorId", 280000000 + rng() % 100000000);
  Plist account = NewDict();
  SetString(account.get(), "AppleID", apple_id);
  SetUint(account.get(), "DSPersonID", 10000000000ull + rng() % 1000000000ull);
  Plist download = NewDict();
  SetNode(download.get(), "accountInfo", std::move(account));
  std::string purchased = Date(rng, 2018, 6);
  SetString(download.get(), "purchaseDate", purchased);
  SetNode(d, "com.apple.iTunesStore.downloadInfo", std::move(download));
  SetString(d, "purchaseDate", purchased);
  return ToXml(d);
}

}  // namespace

bool AddFarmApps(AppStore& store, uint64_t user_apps, std::mt19937_64& rng, AppTotals* totals,
                 std::string* error) {
  for (const SystemApp& s : kSystemApps) {
    AppRecord app;
    app.bundle_id = s.id;
    app.attributes = BaseAttributes(s.id, s.name, s.executable, "System", "1.0", "1");
    SetString(app.attributes.get(), "SignerIdentity", "Apple iPhone OS Application Signing");
    app.icon_png = MakeIconPng(s.id);
    if (!store.Put(app, error)) return false;
  }
  const size_t nv = sizeof kVendors / sizeof *kVendors, np = sizeof kProducts / sizeof *kProducts;
  for (uint64_t i = 0; i < user_apps; ++i) {
    const char* vendor = kVendors[i % nv];
    const char* product = kProducts[(i / nv + i) % np];
    std::string id = std::string("com.") + vendor + "." + product;
    if (i >= nv * np) id += std::to_string(i / (nv * np));
    std::string name = Capitalised(vendor) + " " + Capitalised(product);
    std::string exe = Capitalised(vendor) + Capitalised(product);
    char version[32];
    std::snprintf(version, sizeof version, "%d.%d.%d", int(1 + rng() % 12), int(rng() % 30),
                  int(rng() % 10));
    std::string build = std::to_string(100 + rng() % 9000);
    AppRecord app;
    app.bundle_id = id;
    app.attributes = BaseAttributes(id, name, exe, "User", version, build);
    // Every eighth app was installed by a developer: no store metadata, no SINF.
    bool from_store = i % 8 != 7;
    SetString(app.attributes.get(), "SignerIdentity",
              from_store ? "Apple iPhone OS Application Signing" : "Apple Development");
    uint64_t static_bytes = 8000000 + rng() % 400000000;
    uint64_t dynamic_bytes = 24576 + rng() % 900000000;
    SetUint(app.attributes.get(), "StaticDiskUsage", static_bytes);
    SetUint(app.attributes.get(), "DynamicDiskUsage", dynamic_bytes);
    if (from_store) {
      app.itunes_metadata = StoreMetadata(rng, id, name, Capitalised(vendor), version, build,
                                          300000000 + rng() % 1300000000);
      app.sinf = std::string("\0\0\x04\x50sinf", 8) + RandomBytesFrom(rng, 1100);
    }
    app.icon_png = MakeIconPng(id);
    if (!store.Put(app, error)) return false;
    totals->user_apps++;
    totals->user_bytes += static_bytes + dynamic_bytes;
  }
  return true;
}

}  // namespace devsim
