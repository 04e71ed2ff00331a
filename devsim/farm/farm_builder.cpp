#include "farm/farm_builder.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <system_error>
#include <vector>

#include "farm/app_farm_builder.h"
#include "farm/media_folders_builder.h"
#include "farm/memo_farm_builder.h"
#include "services/backup/backup_settings.h"
#include "lockdown/sim_device.h"

namespace devsim {
namespace {

struct Model {
  const char* product_type;
  const char* device_class;
  const char* hardware_model;
  const char* platform;
  uint64_t chip_id;
  const char* model_number;
  const char* marketing;
  uint64_t capacity;  // bytes, decimal units as devices report them
};

const Model kModels[] = {
    {"iPhone14,5", "iPhone", "D17AP", "t8110", 0x8110, "MLPF3", "iPhone", 128000000000},
    {"iPhone15,2", "iPhone", "D73AP", "t8120", 0x8120, "MQ0T3", "iPhone", 256000000000},
    {"iPhone12,1", "iPhone", "N104AP", "t8030", 0x8030, "MWLT2", "iPhone", 64000000000},
    {"iPhone3,1", "iPhone", "N90AP", "s5l8930x", 0x8930, "MC318", "iPhone", 16000000000},
    {"iPad13,18", "iPad", "J271AP", "t8101", 0x8101, "MPQ03", "iPad", 64000000000},
    {"iPod9,1", "iPod", "N112AP", "t8020", 0x8020, "MVHV2", "iPod", 32000000000},
};

const Model& PickModel(const DeviceSpec& wanted) {
  for (const auto& m : kModels) {
    if (!wanted.product_type.empty() && wanted.product_type == m.product_type) return m;
  }
  for (const auto& m : kModels) {
    if (!wanted.device_class.empty() && wanted.device_class == m.device_class) return m;
  }
  return kModels[0];
}

std::string Hex(std::mt19937_64& rng, int digits) {
  static const char* kHex = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < digits; ++i) s += kHex[rng() % 16];
  return s;
}

std::string Digits(std::mt19937_64& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
  return s;
}

std::string Mac(std::mt19937_64& rng) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", 0x3c, 0x22, 0xfb,
                int(rng() % 256), int(rng() % 256), int(rng() % 256));
  return buf;
}

std::string BuildFor(const std::string& version) {
  if (version.rfind("17.", 0) == 0) return "21F90";
  if (version.rfind("16.", 0) == 0) return "20G75";
  if (version.rfind("15.", 0) == 0) return "19H384";
  return "8C148";
}

Plist StringArray(std::initializer_list<const char*> items) {
  Plist a = NewArray();
  for (const char* s : items) plist_array_append_item(a.get(), plist_new_string(s));
  return a;
}

Plist MakeRoot(const DeviceSpec& wanted, const Model& m, const std::string& udid,
               const std::string& name, std::mt19937_64& rng, uint64_t ecid) {
  Plist r = NewDict();
  plist_t root = r.get();
  bool phone = std::string(m.device_class) == "iPhone";
  SetString(root, "ActivationState", "Activated");
  SetBool(root, "ActivationStateAcknowledged", true);
  SetString(root, "BasebandActivationTicketVersion", "V2");
  SetString(root, "BasebandBootloaderVersion", "8.10.01");
  SetUint(root, "BasebandCertId", 524245983);
  SetUint(root, "BasebandChipID", 8757473);
  SetUint(root, "BasebandChipId", 8757473);
  SetUint(root, "BasebandGoldCertId", 524245983);
  SetString(root, "BasebandStatus", "BBInfoAvailable");
  SetString(root, "BasebandVersion", "3.60.02");
  SetString(root, "BluetoothAddress", Mac(rng));
  SetUint(root, "BoardId", 14);
  SetBool(root, "BrickState", false);
  SetString(root, "BuildVersion", BuildFor(wanted.product_version));
  SetString(root, "CPUArchitecture", "arm64e");
  SetUint(root, "CertID", 3840149528);
  SetUint(root, "ChipID", m.chip_id);
  SetString(root, "DeviceClass", wanted.device_class.empty() ? m.device_class : wanted.device_class);
  SetString(root, "DeviceColor", "1");
  SetString(root, "DeviceEnclosureColor", "1");
  SetString(root, "DeviceName", name);
  SetUint(root, "DieID", rng() >> 12);
  SetString(root, "EthernetAddress", Mac(rng));
  SetString(root, "FirmwareVersion", "iBoot-10151.122.1");
  SetUint(root, "FusingStatus", 3);
  SetString(root, "HardwareModel", m.hardware_model);
  SetString(root, "HardwarePlatform", m.platform);
  SetBool(root, "HasSiDP", true);
  SetString(root, "MLBSerialNumber", "F" + Hex(rng, 16));
  SetString(root, "ModelNumber", m.model_number);
  SetString(root, "PartitionType", "GUID_partition_scheme");
  SetString(root, "ProductName", "iPhone OS");
  // A product type the model table lacks is still honoured; the rest comes from the
  // closest model of its class.
  SetString(root, "ProductType", wanted.product_type.empty() ? m.product_type : wanted.product_type);
  SetString(root, "ProductVersion", wanted.product_version);
  SetBool(root, "ProductionSOC", true);
  SetString(root, "ProtocolVersion", "2");
  SetString(root, "RegionInfo", "LL/A");
  SetString(root, "SerialNumber", "F" + Hex(rng, 2) + "X" + Hex(rng, 8));
  SetString(root, "SoftwareBundleVersion", "");
  Plist families = NewArray();
  plist_array_append_item(families.get(), plist_new_uint(1));
  if (std::string(m.device_class) == "iPad") plist_array_append_item(families.get(), plist_new_uint(2));
  SetNode(root, "SupportedDeviceFamilies", std::move(families));
  SetBool(root, "TelephonyCapability", phone);
  SetString(root, "TimeZone", "Europe/Berlin");
  SetReal(root, "TimeZoneOffsetFromUTC", 3600.0);
  SetUint(root, "UniqueChipID", ecid);
  SetString(root, "UniqueDeviceID", udid);
  SetBool(root, "UseRaptorCerts", true);
  SetBool(root, "Uses24HourClock", true);
  SetString(root, "WiFiAddress", Mac(rng));
  SetString(root, "WirelessBoardSerialNumber", Hex(rng, 12));
  if (phone) {
    SetString(root, "InternationalMobileEquipmentIdentity", "35" + Digits(rng, 13));
    SetString(root, "IntegratedCircuitCardIdentity", "8949" + Digits(rng, 15));
    SetString(root, "InternationalMobileSubscriberIdentity", "26201" + Digits(rng, 10));
    SetString(root, "MobileEquipmentIdentifier", Hex(rng, 14));
    SetString(root, "MobileSubscriberCountryCode", "262");
    SetString(root, "MobileSubscriberNetworkCode", "01");
    SetString(root, "PhoneNumber", "+49 151 " + Digits(rng, 8));
    SetString(root, "SIMStatus", "kCTSIMSupportSIMStatusReady");
    SetString(root, "SIMTrayStatus", "kCTSIMSupportSIMTrayInsertedSIM");
  }
  return r;
}

Plist MakeDomains(const DeviceSpec& wanted, const Model& m, std::mt19937_64& rng) {
  Plist d = NewDict();
  {
    Plist b = NewDict();
    SetUint(b.get(), "BatteryCurrentCapacity", 40 + rng() % 60);
    SetBool(b.get(), "BatteryIsCharging", true);
    SetBool(b.get(), "ExternalChargeCapable", true);
    SetBool(b.get(), "ExternalConnected", true);
    SetBool(b.get(), "FullyCharged", false);
    SetBool(b.get(), "GasGaugeCapability", true);
    SetBool(b.get(), "HasBattery", true);
    SetNode(d.get(), "com.apple.mobile.battery", std::move(b));
  }
  {
    uint64_t total = m.capacity;
    uint64_t system = 12000000000ull;
    uint64_t data = total - system;
    uint64_t avail = data / 2 + (rng() % 1000) * 1000000ull;
    if (wanted.data_free) avail = std::min(*wanted.data_free, data);
    Plist u = NewDict();
    SetUint(u.get(), "TotalDiskCapacity", total);
    SetUint(u.get(), "TotalSystemCapacity", system);
    SetUint(u.get(), "TotalSystemAvailable", 1800000000ull);
    SetUint(u.get(), "TotalDataCapacity", data);
    SetUint(u.get(), "TotalDataAvailable", avail);
    SetUint(u.get(), "AmountDataAvailable", avail);
    SetUint(u.get(), "AmountDataReserved", 209715200);
    SetUint(u.get(), "AmountRestoreAvailable", 11000000000ull);
    Plist factory = Copy(u.get());
    SetNode(d.get(), "com.apple.disk_usage", std::move(u));
    SetNode(d.get(), "com.apple.disk_usage.factory", std::move(factory));
  }
  {
    Plist i = NewDict();
    SetString(i.get(), "Language", "en");
    SetString(i.get(), "Locale", "en_US");
    SetString(i.get(), "Keyboard", "en_US");
    SetNode(i.get(), "SupportedLanguages", StringArray({"en", "de", "fr", "es", "ja", "zh-Hans"}));
    SetNode(i.get(), "SupportedLocales", StringArray({"en_US", "de_DE", "fr_FR", "es_ES", "ja_JP"}));
    SetNode(d.get(), "com.apple.international", std::move(i));
  }
  {
    Plist s = NewDict();
    // Classes kept on the device list no over-the-air account; iCloud ones do.
    for (const char* cls : {"Contacts", "Calendars", "Bookmarks", "Notes"}) {
      bool cloud = wanted.icloud_classes.count(cls) > 0;
      Plist c = NewDict();
      SetNode(c.get(), "AccountNames", cloud ? StringArray({"iCloud"}) : NewArray());
      SetNode(c.get(), "Sources", cloud ? StringArray({"iCloud"}) : NewArray());
      SetNode(s.get(), cls, std::move(c));
    }
    SetNode(d.get(), "com.apple.mobile.data_sync", std::move(s));
  }
  {
    Plist s = NewDict();
    for (const char* cls : {"Contacts", "Calendars", "Bookmarks", "Notes"}) {
      Plist c = NewDict();
      SetBool(c.get(), "DisableTethered", false);
      SetString(c.get(), "SyncingOS", "");
      SetNode(s.get(), cls, std::move(c));
    }
    SetNode(d.get(), "com.apple.mobile.tethered_sync", std::move(s));
  }
  {
    Plist b = NewDict();
    SetBool(b.get(), "WillEncrypt", false);
    SetBool(b.get(), "CloudBackupEnabled", false);
    SetNode(d.get(), "com.apple.mobile.backup", std::move(b));
  }
  {
    Plist f = NewDict();
    SetBool(f.get(), "IsAssociated", false);
    SetNode(d.get(), "com.apple.fmip", std::move(f));
  }
  {
    Plist t = NewDict();
    SetString(t.get(), "MinITunesVersion", "12.8.0");
    SetString(t.get(), "MinMacOSVersion", "10.13");
    SetUint(t.get(), "FamilyID", 0xFFFFFFFFull);
    SetBool(t.get(), "iTunesSetupComplete", true);
    SetNode(t.get(), "SyncDataClasses",
            StringArray({"Contacts", "Calendars", "Bookmarks", "Mail Accounts", "Notes"}));
    SetNode(d.get(), "com.apple.mobile.iTunes", std::move(t));
  }
  {
    Plist w = NewDict();
    SetBool(w.get(), "EnableWifiConnections", false);
    SetNode(d.get(), "com.apple.mobile.wireless_lockdown", std::move(w));
  }
  return d;
}

bool WriteBytes(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return WriteFileAtomic(path, bytes);
}

// A small media partition: the folders a phone has and a few files with seed-derived bytes.
bool MakeFileTree(const fs::path& dev, const DeviceSpec& wanted, std::mt19937_64& rng) {
  std::error_code ec;
  fs::path fsroot = dev / "fs";
  fs::path media = fsroot / "private/var/mobile/Media";
  for (const char* d : {"DCIM/100APPLE", "Books", "Downloads", "iTunes_Control/Music",
                        "iTunes_Control/iTunes", "PhotoData", "Recordings", "Purchases"}) {
    fs::create_directories(media / d, ec);
    if (ec) return false;
  }
  fs::create_directories(fsroot / "private/var/mobile/Library", ec);
  fs::create_directories(fsroot / "System/Library/CoreServices", ec);
  fs::create_directories(fsroot / "Applications", ec);
  fs::create_symlink("private/var", fsroot / "var", ec);
  ec.clear();
  for (uint64_t i = 0; i < wanted.media_files; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "DCIM/100APPLE/IMG_%04llu.JPG",
                  static_cast<unsigned long long>(i + 1));
    std::string bytes = "\xFF\xD8\xFF\xE0";
    size_t len = 2048 + rng() % 8192;
    while (bytes.size() < len) bytes += static_cast<char>(rng() & 0xFF);
    bytes += "\xFF\xD9";
    if (!WriteBytes(media / name, bytes)) return false;
  }
  if (!WriteBytes(media / "Books/Sample.epub", std::string("PK\x03\x04sample", 10))) return false;
  if (!WriteBytes(media / "Downloads/readme.txt", "downloaded on the simulated device\n")) return false;
  Plist sysver = NewDict();
  SetString(sysver.get(), "ProductName", "iPhone OS");
  SetString(sysver.get(), "ProductVersion", wanted.product_version);
  if (!WriteBytes(fsroot / "System/Library/CoreServices/SystemVersion.plist", ToXml(sysver.get())))
    return false;
  if (wanted.jailbroken) {
    fs::create_directories(fsroot / "private/var/root/Media/Cydia/AutoInstall", ec);
    fs::create_directories(fsroot / "Applications/Cydia.app", ec);
    if (ec) return false;
  }
  return true;
}

uint64_t DomainUint(plist_t values, const char* domain, const char* key) {
  return DictUint(DictItem(DictItem(values, "Domains"), domain), key).value_or(0);
}

// The battery's IORegistry entry (what diagnostics_relay reports), matching the lockdown
// battery domain's charge level.
Plist MakeBattery(plist_t values, const Model& m, std::mt19937_64& rng) {
  uint64_t percent = DomainUint(values, "com.apple.mobile.battery", "BatteryCurrentCapacity");
  uint64_t design = 2800 + (m.chip_id % 7) * 150;
  uint64_t cycles = 40 + rng() % 900;
  uint64_t raw_max = design * (100 - std::min<uint64_t>(cycles / 30, 25)) / 100;
  Plist b = NewDict();
  plist_t d = b.get();
  SetUint(d, "CycleCount", cycles);
  SetUint(d, "DesignCapacity", design);
  SetUint(d, "NominalChargeCapacity", raw_max);
  SetUint(d, "AppleRawMaxCapacity", raw_max);
  SetUint(d, "AppleRawCurrentCapacity", raw_max * percent / 100);
  SetUint(d, "AbsoluteCapacity", raw_max * percent / 100);
  SetUint(d, "CurrentCapacity", percent);
  SetUint(d, "MaxCapacity", 100);
  SetUint(d, "Temperature", 2800 + rng() % 700);
  SetUint(d, "Voltage", 3800 + rng() % 450);
  SetUint(d, "InstantAmperage", 300 + rng() % 900);
  SetBool(d, "IsCharging", DictBool(DictItem(DictItem(values, "Domains"), "com.apple.mobile.battery"),
                                    "BatteryIsCharging").value_or(false));
  SetBool(d, "ExternalConnected", true);
  SetBool(d, "FullyCharged", percent >= 100);
  SetBool(d, "AtCriticalLevel", percent < 5);
  SetBool(d, "AtWarnLevel", percent < 20);
  SetString(d, "Serial", "F5D" + Hex(rng, 14));
  Plist data = NewDict();
  SetUint(data.get(), "CycleCount", cycles);
  SetUint(data.get(), "DesignCapacity", design);
  SetUint(data.get(), "StateOfCharge", percent);
  SetNode(d, "BatteryData", std::move(data));
  return b;
}

Plist Category(uint64_t count, uint64_t bytes, uint64_t purgeable) {
  Plist c = NewDict();
  SetUint(c.get(), "_Count", count);
  SetUint(c.get(), "_PhysicalSize", bytes);
  SetUint(c.get(), "_PurgeableSize", purgeable);
  return c;
}

// atc.plist: how AirTraffic answers and the storage figures it reports. The application
// figures are those of the generated apps; the volume figures those of the disk_usage domain.
Plist MakeAirTraffic(plist_t values, const std::string& answer, const AppTotals& apps,
                     std::mt19937_64& rng) {
  uint64_t total = DomainUint(values, "com.apple.disk_usage", "TotalDataCapacity");
  uint64_t free_bytes = DomainUint(values, "com.apple.disk_usage", "TotalDataAvailable");
  Plist m = NewDict();
  plist_t d = m.get();
  SetUint(d, "_PhysicalSize", total);
  SetUint(d, "_FreeSize", free_bytes);
  uint64_t photos = 200 + rng() % 3000, camera = 50 + rng() % 800;
  uint64_t movies = rng() % 40, books = rng() % 60, songs = rng() % 2000, tones = rng() % 12;
  SetNode(d, "Application", Category(apps.user_apps, apps.user_bytes, 0));
  SetNode(d, "Photo", Category(photos, photos * 2400000, photos * 300000));
  SetNode(d, "CameraRoll", Category(camera, camera * 3100000, 0));
  SetNode(d, "Movie", Category(movies, movies * 900000000, 0));
  SetNode(d, "Book", Category(books, books * 4000000, 0));
  SetNode(d, "Music", Category(songs, songs * 8000000, songs * 1000000));
  SetNode(d, "Ringtone", Category(tones, tones * 600000, 0));
  // A category beyond the seven, with a subcategory of its own.
  uint64_t memos = 1 + rng() % 40;
  Plist user_data = Category(3 + rng() % 20, 50000000 + rng() % 900000000, 0);
  SetNode(user_data.get(), "VoiceMemo", Category(memos, memos * 1500000, 0));
  SetNode(d, "UserData", std::move(user_data));
  SetUint(d, "_PurgeableSize", photos * 300000 + songs * 1000000 + 120000000);
  Plist file = NewDict();
  SetString(file.get(), "Answer", answer);
  SetNode(file.get(), "AssetMetrics", std::move(m));
  return file;
}

std::string NetworkAddress(std::mt19937_64& rng) {
  // struct sockaddr_in as BSD lays it out: length, family, port, address, zero padding.
  std::string a(16, '\0');
  a[0] = 16;
  a[1] = 2;
  a[4] = static_cast<char>(192);
  a[5] = static_cast<char>(168);
  a[6] = 1;
  a[7] = static_cast<char>(2 + rng() % 250);
  return a;
}

}  // namespace

std::string AddDevice(Farm& farm, const DeviceSpec& wanted, std::string* error) {
  std::mt19937_64 rng(wanted.seed * 0x9E3779B97F4A7C15ull + 12345);
  const Model& m = PickModel(wanted);
  uint64_t ecid = (rng() >> 12) | 0x1000000000000ull;
  std::string udid = wanted.udid;
  if (udid.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%08llX-%016llX", static_cast<unsigned long long>(m.chip_id),
                  static_cast<unsigned long long>(ecid));
    udid = buf;
  }
  if (!IsSafeIdentifier(udid)) {
    *error = "UDID must be 1-64 letters, digits or '-': " + udid;
    return {};
  }
  fs::path dev = farm.DeviceDir(udid);
  std::error_code ec;
  if (fs::exists(dev, ec)) {
    *error = "device already in the farm: " + udid;
    return {};
  }
  fs::create_directories(dev, ec);
  if (ec) {
    *error = "cannot create " + dev.string() + ": " + ec.message();
    return {};
  }
  static const char* kOwners[] = {"Anna", "Ben", "Clara", "David", "Eva", "Felix", "Greta", "Hugo"};
  std::string name = wanted.name;
  if (name.empty()) {
    const char* cls = wanted.device_class.empty() ? m.device_class : wanted.device_class.c_str();
    name = std::string(kOwners[wanted.seed % 8]) + "\xE2\x80\x99s " + cls;
  }

  Plist values = NewDict();
  SetNode(values.get(), "Root", MakeRoot(wanted, m, udid, name, rng, ecid));
  SetNode(values.get(), "Domains", MakeDomains(wanted, m, rng));
  if (!WritePlistFile(dev / "values.plist", values.get())) {
    *error = "cannot write values.plist";
    return {};
  }

  PkeyPtr key = GenerateRsaKey(2048);
  if (!key || !WriteFileAtomic(dev / "device_key.pem", PrivateKeyPem(key.get()))) {
    *error = "cannot create the device key";
    return {};
  }
  std::string escrow = RandomBytes(64);

  Plist state = NewDict();
  SetString(state.get(), "ConnectionType", wanted.wifi ? "Network" : "USB");
  if (wanted.wifi) SetData(state.get(), "NetworkAddress", NetworkAddress(rng));
  SetBool(state.get(), "Jailbroken", wanted.jailbroken);
  SetBool(state.get(), "Locked", wanted.locked);
  SetUint(state.get(), "ProductID", std::string(m.device_class) == "iPad" ? 0x12AB : 0x12A8);
  SetUint(state.get(), "LocationID", 0x00010000 + (rng() % 0xFFFF));
  SetData(state.get(), "EscrowBag", escrow);

  if (!wanted.untrusted) {
    HostIdentity host;
    if (!farm.HostIdentityFor(&host, error)) return {};
    PkeyPtr root_key = LoadPrivateKeyPem(host.root_private_key);
    X509Ptr device_cert = root_key ? IssueCertificate(key.get(), root_key.get(), false) : nullptr;
    if (!device_cert) {
      *error = "cannot issue the device certificate";
      return {};
    }
    std::string device_cert_pem = CertificatePem(device_cert.get());
    std::string host_id = RandomUuid();

    Plist record = NewDict();
    SetData(record.get(), "DeviceCertificate", device_cert_pem);
    SetData(record.get(), "HostCertificate", host.host_certificate);
    SetData(record.get(), "HostPrivateKey", host.host_private_key);
    SetData(record.get(), "RootCertificate", host.root_certificate);
    SetData(record.get(), "RootPrivateKey", host.root_private_key);
    SetString(record.get(), "HostID", host_id);
    SetString(record.get(), "SystemBUID", farm.system_buid());
    SetData(record.get(), "EscrowBag", escrow);
    SetString(record.get(), "WiFiMACAddress",
              DictString(DictItem(values.get(), "Root"), "WiFiAddress").value_or(""));
    if (!farm.SavePairRecord(udid, ToBinary(record.get()))) {
      *error = "cannot write the pair record";
      return {};
    }
    Plist hosts = NewDict();
    Plist h = NewDict();
    SetString(h.get(), "SystemBUID", farm.system_buid());
    SetData(h.get(), "HostCertificate", host.host_certificate);
    SetData(h.get(), "RootCertificate", host.root_certificate);
    SetData(h.get(), "DeviceCertificate", device_cert_pem);
    SetNode(hosts.get(), host_id.c_str(), std::move(h));
    SetNode(state.get(), "PairedHosts", std::move(hosts));
    Plist trusted = NewArray();
    plist_array_append_item(trusted.get(), plist_new_string(farm.system_buid().c_str()));
    SetNode(state.get(), "TrustedHosts", std::move(trusted));
  }
  if (!WritePlistFile(dev / "state.plist", state.get())) {
    *error = "cannot write state.plist";
    return {};
  }
  if (!MakeFileTree(dev, wanted, rng) ||
      !AddPrivateDataFolders(dev / "fs/private/var/mobile/Media", wanted.seed)) {
    *error = "cannot create the device file tree";
    return {};
  }
  if (!WriteSmsDatabase(dev / "fs", wanted.product_version, wanted.sms, wanted.seed, error)) {
    return {};
  }
  if (!WriteMediaLibrary(dev / "fs", wanted.product_version, wanted.media, wanted.seed, error) ||
      !WriteVoiceMemos(dev / "fs", wanted.memos, wanted.seed, error) ||
      !WritePhotoLibrary(dev / "fs", wanted.product_version, wanted.photos, wanted.seed, error) ||
      !WriteBookFarm(dev / "fs/private/var/mobile/Media", wanted.books, wanted.seed, error)) {
    return {};
  }
  if (wanted.backup_file_delay_ms > 0 && !SaveFileDelay(dev, wanted.backup_file_delay_ms)) {
    *error = "cannot write backup.plist";
    return {};
  }
  AppStore apps(dev / "apps");
  AppTotals totals;
  if (!AddFarmApps(apps, std::min(wanted.apps, kMaxFarmApps), rng, &totals, error)) return {};
  if (!WritePlistFile(dev / "battery.plist", MakeBattery(values.get(), m, rng).get())) {
    *error = "cannot write battery.plist";
    return {};
  }
  if (wanted.backup_files > 0 &&
      !SaveBulkSettings(dev, std::min(wanted.backup_files, kMaxBulkFiles), wanted.backup_bytes,
                        wanted.seed, 1700000000 + static_cast<int64_t>(wanted.seed % 100000))) {
    *error = "cannot write backup.plist";
    return {};
  }
  Plist atc = MakeAirTraffic(values.get(), wanted.atc_answer, totals, rng);
  if (!WritePlistFile(dev / "atc.plist", atc.get())) {
    *error = "cannot write atc.plist";
    return {};
  }
  // Seeded on its own so the sync content does not shift the other generated values.
  std::mt19937_64 sync_rng(wanted.seed * 0x2545F4914F6CDD1Dull + 777);
  if (!AddFarmSyncContent(dev / "sync", wanted.sync, sync_rng, error)) return {};
  if (wanted.sync_batch > 0) {
    Plist settings = NewDict();
    SetUint(settings.get(), "BatchSize", wanted.sync_batch);
    if (!WritePlistFile(dev / "sync" / "settings.plist", settings.get())) {
      *error = "cannot write sync/settings.plist";
      return {};
    }
  }
  return udid;
}

}  // namespace devsim
