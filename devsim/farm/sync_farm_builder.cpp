#include "farm/sync_farm_builder.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

#include "plist/plist_ptr.h"
#include "services/sync/sync_classes.h"
#include "services/sync/sync_store.h"

namespace devsim {
namespace {

using Rng = std::mt19937_64;

constexpr int64_t kDay = 86400;
// Seconds from 2001-01-01 (the property-list epoch) to 2024-01-01 and to 1950-01-01.
constexpr int64_t k2024 = 725760000;
constexpr int64_t k1950 = -1609459200;

const char* kFirst[] = {"Anna", "Ben", "Clara", "David", "Emma", "Felix", "Greta", "Hugo", "Ida",
                        "Jonas", "Lea", "Max", "Nora", "Oskar", "Paula", "Quentin", "Rosa",
                        "Simon", "Tara", "Umut", "Vera", "Wim", "Yara", "Zoe", "Mia", "Luis",
                        "Sofia", "Elias", "Hannah", "Noah"};
const char* kLast[] = {"Müller", "Schmidt", "Schneider", "Fischer", "Weber", "Meyer", "Wagner",
                       "Becker", "Schulz", "Hoffmann", "Koch", "Richter", "Klein", "Wolf",
                       "Neumann", "Schwarz", "Zimmermann", "Braun", "Krüger", "Hofmann", "Lee",
                       "García", "Rossi", "Novak", "Dubois", "Jensen"};
const char* kCompanies[] = {"Acme GmbH", "Blue Harbor Ltd", "Nordlicht AG", "Vela Systems",
                            "Stadtwerke Mitte", "Kiwi Design", "Orbit Logistics", "Helix Labs"};
const char* kJobs[] = {"Engineer", "Sales Manager", "Designer", "Accountant", "Teacher",
                       "Project Lead", "Nurse", "Consultant"};
const char* kDepartments[] = {"Research", "Sales", "Finance", "Operations", "Marketing"};
const char* kCities[][4] = {{"Berlin", "BE", "10115", "de"}, {"Hamburg", "HH", "20095", "de"},
                            {"München", "BY", "80331", "de"}, {"Wien", "W", "1010", "at"},
                            {"Zürich", "ZH", "8001", "ch"}, {"Portland", "OR", "97205", "us"}};
const char* kCountries[] = {"Germany", "Germany", "Germany", "Austria", "Switzerland", "United States"};
const char* kStreets[] = {"Hauptstraße", "Lindenallee", "Gartenweg", "Bahnhofstraße", "Main Street"};
const char* kPhoneTypes[] = {"mobile", "home", "work", "main", "home fax", "work fax", "pager", "other"};
const char* kRelations[] = {"father", "mother", "parent", "child", "brother", "sister", "friend",
                            "spouse", "partner", "assistant", "manager", "other"};
const char* kImServices[] = {"yahoo", "jabber", "msn", "icq", "aim", "qq", "googletalk", "skype",
                             "facebook", "gadugadu"};
const char* kGroupNames[] = {"Family", "Work", "Friends", "Football club", "Neighbours", "School",
                             "Choir", "Book club"};
const char* kCalendarTitles[] = {"Home", "Work", "Family", "Birthdays", "Holidays", "Sport",
                                 "Travel", "School"};
const char* kSummaries[] = {"Team meeting", "Dentist", "Lunch with Clara", "Project review",
                            "Yoga", "Parents' evening", "Flight to Lisbon", "Car service",
                            "Birthday party", "Quarterly planning", "Piano lesson", "Call with Ben"};
const char* kLocations[] = {"Office, room 4.12", "Dr. Weber, Lindenallee 3", "Café Central",
                            "Gym", "Airport BER", "Town hall", "Online"};
const char* kSites[][2] = {{"Apple", "https://www.apple.com/"},
                           {"Wikipedia", "https://en.wikipedia.org/wiki/Main_Page"},
                           {"Tagesschau", "https://www.tagesschau.de/"},
                           {"OpenStreetMap", "https://www.openstreetmap.org/"},
                           {"Deutsche Bahn", "https://www.bahn.de/"},
                           {"Weather", "https://www.dwd.de/"},
                           {"Recipes", "https://www.chefkoch.de/"},
                           {"Mail", "https://mail.example.com/"},
                           {"News", "https://news.example.org/"},
                           {"Bank", "https://banking.example.net/login"}};
const char* kFolderNames[] = {"News", "Travel", "Work", "Shopping", "Recipes", "Reading list",
                              "Tools", "Kids"};
const char* kNoteSubjects[] = {"Shopping list", "Ideas for the garden", "Packing list",
                               "Meeting notes", "Book recommendations", "Wi-Fi password for guests",
                               "Recipe: lentil soup", "Things to fix"};

template <size_t N>
const char* Pick(Rng& rng, const char* (&items)[N]) {
  return items[rng() % N];
}

bool Chance(Rng& rng, int percent) { return static_cast<int>(rng() % 100) < percent; }

void SetDate(plist_t dict, const char* key, int64_t apple_seconds) {
  plist_dict_set_item(dict, key, plist_new_date(static_cast<int32_t>(apple_seconds), 0));
}

// Signed integers travel as two's-complement 64-bit values.
void SetInt(plist_t dict, const char* key, int64_t value) {
  plist_dict_set_item(dict, key, plist_new_uint(static_cast<uint64_t>(value)));
}

Plist OneId(const std::string& id) {
  Plist a = NewArray();
  plist_array_append_item(a.get(), plist_new_string(id.c_str()));
  return a;
}

Plist Record(const char* entity) {
  Plist r = NewDict();
  SetString(r.get(), kEntityKey, entity);
  return r;
}

void Add(plist_t records, const std::string& id, Plist record) {
  plist_dict_set_item(records, id.c_str(), record.release());
}

std::string Digits(Rng& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
  return s;
}

std::string Ascii(std::string s) {
  std::string out;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) out += static_cast<char>(std::tolower(u));
  }
  return out.empty() ? "x" : out;
}

// A small baseline JPEG-looking blob: start and end markers around seed-derived bytes.
std::string FakeJpeg(Rng& rng) {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  size_t len = 1500 + rng() % 3000;
  while (bytes.size() < len) bytes += static_cast<char>(rng() & 0xFF);
  return bytes + "\xFF\xD9";
}

// One child value of a contact: "<property>/<person>/<index>" with contact, type, label.
class ContactValues {
 public:
  ContactValues(plist_t records, const std::string& person) : records_(records), person_(person) {}
  plist_t Add(const char* entity, const char* type, const char* label = nullptr) {
    std::string prop = ContactPropertyNumber(entity);
    std::string id = prop + "/" + person_ + "/" + std::to_string(next_[prop]++);
    Plist r = Record(entity);
    SetNode(r.get(), "contact", OneId(person_));
    SetString(r.get(), "type", type);
    if (label) SetString(r.get(), "label", label);
    plist_t raw = r.get();
    devsim::Add(records_, id, std::move(r));
    return raw;
  }

 private:
  plist_t records_;
  std::string person_;
  std::map<std::string, int> next_;
};

void AddContact(plist_t records, const std::string& id, Rng& rng) {
  std::string first = Pick(rng, kFirst), last = Pick(rng, kLast);
  Plist c = Record(entity::kContact);
  plist_t r = c.get();
  bool company_only = Chance(rng, 5);
  std::string company;
  if (company_only || Chance(rng, 35)) company = Pick(rng, kCompanies);
  if (!company_only) {
    SetString(r, "first name", first);
    SetString(r, "last name", last);
    if (Chance(rng, 10)) SetString(r, "middle name", Pick(rng, kFirst));
    if (Chance(rng, 5)) SetString(r, "title", "Dr.");
    if (Chance(rng, 3)) SetString(r, "suffix", "Jr.");
    if (Chance(rng, 8)) SetString(r, "nickname", first.substr(0, 3));
    if (Chance(rng, 4)) SetString(r, "last name yomi", Ascii(last));
    if (Chance(rng, 40)) SetDate(r, "birthday", k1950 + static_cast<int64_t>(rng() % 20000) * kDay);
  }
  if (!company.empty()) {
    SetString(r, "company name", company);
    if (Chance(rng, 70)) SetString(r, "job title", Pick(rng, kJobs));
    if (Chance(rng, 40)) SetString(r, "department", Pick(rng, kDepartments));
  }
  SetString(r, "display as company", company_only ? "company" : "person");
  if (Chance(rng, 10)) SetString(r, "notes", "Met at " + std::string(Pick(rng, kLocations)) + ".");
  if (Chance(rng, 5)) SetData(r, "image", FakeJpeg(rng));
  Add(records, id, std::move(c));

  ContactValues values(records, id);
  std::string mail_user = Ascii(first) + "." + Ascii(last);
  for (uint64_t i = 0, n = 1 + rng() % 3; i < n; ++i) {
    plist_t p = Chance(rng, 8) ? values.Add(entity::kPhone, "other", "iPhone")
                               : values.Add(entity::kPhone, Pick(rng, kPhoneTypes));
    SetString(p, "value", (Chance(rng, 60) ? "+49 15" : "+49 30 ") + Digits(rng, 8));
  }
  for (uint64_t i = 0, n = rng() % 3; i < n; ++i) {
    static const char* types[] = {"home", "work", "other"};
    plist_t e = values.Add(entity::kEmail, Pick(rng, types));
    SetString(e, "value", mail_user + (i ? std::to_string(i) : "") + "@example.com");
  }
  if (Chance(rng, 30)) {
    static const char* types[] = {"home", "work", "other"};
    size_t city = rng() % 6;
    plist_t a = values.Add(entity::kStreet, Pick(rng, types));
    SetString(a, "street", std::string(Pick(rng, kStreets)) + " " + std::to_string(1 + rng() % 120));
    SetString(a, "city", kCities[city][0]);
    SetString(a, "state", kCities[city][1]);
    SetString(a, "postal code", kCities[city][2]);
    SetString(a, "country", kCountries[city]);
    SetString(a, "country code", kCities[city][3]);
  }
  if (Chance(rng, 15)) {
    static const char* types[] = {"home page", "home", "work", "other"};
    plist_t u = values.Add(entity::kUrl, Pick(rng, types));
    SetString(u, "value", "https://" + Ascii(last) + ".example.net/");
  }
  if (Chance(rng, 10)) {
    plist_t n = values.Add(entity::kRelated, Pick(rng, kRelations));
    SetString(n, "value", std::string(Pick(rng, kFirst)) + " " + last);
  }
  if (Chance(rng, 10)) {
    static const char* types[] = {"home", "work", "other"};
    plist_t m = values.Add(entity::kIm, Pick(rng, types));
    SetString(m, "user", mail_user);
    SetString(m, "service", Pick(rng, kImServices));
  }
  if (Chance(rng, 10)) {
    plist_t d = Chance(rng, 80) ? values.Add(entity::kDate, "anniversary")
                                : values.Add(entity::kDate, "other", "Name day");
    SetDate(d, "value", k2024 - static_cast<int64_t>(rng() % 9000) * kDay);
  }
}

bool WriteContacts(const fs::path& dir, const SyncContentSpec& spec, Rng& rng, std::string* error) {
  Plist records = NewDict();
  uint64_t number = 1;
  std::vector<std::string> contacts, groups;
  for (uint64_t i = 0; i < spec.contacts; ++i) {
    std::string id = std::to_string(number++);
    AddContact(records.get(), id, rng);
    contacts.push_back(id);
  }
  for (uint64_t i = 0; i < spec.groups; ++i) {
    std::string id = "Group/" + std::to_string(number++);
    Plist g = Record(entity::kGroup);
    std::string name = kGroupNames[i % 8];
    if (i >= 8) name += " " + std::to_string(i / 8 + 1);
    SetString(g.get(), "name", name);
    Plist members = NewArray();
    for (const std::string& c : contacts) {
      if (Chance(rng, 15)) plist_array_append_item(members.get(), plist_new_string(c.c_str()));
    }
    if (!groups.empty() && Chance(rng, 10)) {
      plist_array_append_item(members.get(), plist_new_string(groups[rng() % groups.size()].c_str()));
    }
    // An empty group has no member list at all.
    if (plist_array_get_size(members.get()) > 0) SetNode(g.get(), "members", std::move(members));
    Add(records.get(), id, std::move(g));
    groups.push_back(id);
  }
  const SyncClassInfo& cls = *FindSyncClass("com.apple.Contacts");
  return SyncStore::Write(SyncStoreFile(dir, cls), records.get(), number, error);
}

void AddEvent(plist_t records, const std::string& id, const std::string& calendar,
              uint64_t* number, Rng& rng) {
  Plist e = Record(entity::kEvent);
  plist_t r = e.get();
  bool all_day = Chance(rng, 15);
  int64_t day = k2024 + static_cast<int64_t>(rng() % (3 * 365)) * kDay;
  int64_t start = all_day ? day : day + (7 + static_cast<int64_t>(rng() % 12)) * 3600 +
                                      static_cast<int64_t>(rng() % 4) * 900;
  int64_t end = all_day ? start + kDay : start + (2 + static_cast<int64_t>(rng() % 6)) * 1800;
  SetString(r, "summary", Pick(rng, kSummaries));
  SetDate(r, "start date", start);
  SetDate(r, "end date", end);
  SetInt(r, "all day", all_day ? 1 : 0);
  if (!all_day) SetString(r, "start date.timezone", "Europe/Berlin");
  if (Chance(rng, 50)) SetString(r, "location", Pick(rng, kLocations));
  if (Chance(rng, 30)) SetString(r, "description", "Bring the documents from last time.");
  if (Chance(rng, 10)) SetString(r, "url", "https://meet.example.com/" + Digits(rng, 6));
  SetString(r, "status", "confirmed");
  SetNode(r, "calendar", OneId(calendar));
  Add(records, id, std::move(e));

  if (Chance(rng, 20)) {
    static const char* freqs[] = {"daily", "weekly", "weekly", "monthly", "yearly"};
    Plist rec = Record(entity::kRecurrence);
    SetString(rec.get(), "frequency", Pick(rng, freqs));
    SetInt(rec.get(), "interval", 1 + static_cast<int64_t>(rng() % 2));
    if (Chance(rng, 50)) {
      SetDate(rec.get(), "until", start + (30 + static_cast<int64_t>(rng() % 300)) * kDay);
    } else if (Chance(rng, 50)) {
      SetInt(rec.get(), "count", 2 + static_cast<int64_t>(rng() % 20));
    }
    SetNode(rec.get(), "owner", OneId(id));
    Add(records, std::to_string((*number)++), std::move(rec));
  }
  if (Chance(rng, 50)) {
    static const int64_t triggers[] = {-300, -900, -1800, -3600, -86400};
    Plist a = Record(entity::kDisplayAlarm);
    SetInt(a.get(), "triggerduration", triggers[rng() % 5]);
    SetString(a.get(), "description", "Event reminder");
    SetNode(a.get(), "owner", OneId(id));
    Add(records, std::to_string((*number)++), std::move(a));
  }
  if (Chance(rng, 10)) {
    Plist a = Record(entity::kAudioAlarm);
    SetInt(a.get(), "triggerduration", -600);
    SetString(a.get(), "sound", "Basso");
    SetNode(a.get(), "owner", OneId(id));
    Add(records, std::to_string((*number)++), std::move(a));
  }
}

bool WriteCalendars(const fs::path& dir, const SyncContentSpec& spec, Rng& rng, std::string* error) {
  Plist records = NewDict();
  uint64_t number = 1;
  uint64_t count = spec.events > 0 ? std::max<uint64_t>(spec.calendars, 1) : spec.calendars;
  std::vector<std::string> writable;
  for (uint64_t i = 0; i < count; ++i) {
    std::string id = std::to_string(number++);
    std::string title = kCalendarTitles[i % 8];
    if (i >= 8) title += " " + std::to_string(i / 8 + 1);
    bool read_only = title.rfind("Birthdays", 0) == 0 || title.rfind("Holidays", 0) == 0;
    Plist c = Record(entity::kCalendar);
    SetString(c.get(), "title", title);
    Plist color = NewArray();
    for (int k = 0; k < 3; ++k) plist_array_append_item(color.get(), plist_new_uint(rng() % 256));
    plist_array_append_item(color.get(), plist_new_uint(255));
    SetNode(c.get(), "colorComponents", std::move(color));
    SetInt(c.get(), "read only", read_only ? 1 : 0);
    Add(records.get(), id, std::move(c));
    if (!read_only) writable.push_back(id);
  }
  if (writable.empty() && count > 0) writable.push_back("1");
  for (uint64_t i = 0; i < spec.events; ++i) {
    std::string id = std::to_string(number++);
    AddEvent(records.get(), id, writable[rng() % writable.size()], &number, rng);
  }
  const SyncClassInfo& cls = *FindSyncClass("com.apple.Calendars");
  return SyncStore::Write(SyncStoreFile(dir, cls), records.get(), number, error);
}

std::string Uuid(Rng& rng) {
  static const char* kHex = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) s += '-';
    s += kHex[rng() % 16];
  }
  return s;
}

bool WriteBookmarks(const fs::path& dir, const SyncContentSpec& spec, Rng& rng, std::string* error) {
  Plist records = NewDict();
  std::map<std::string, int64_t> children;  // folder id -> next position
  std::vector<std::pair<std::string, int>> folders;  // id, depth
  for (const char* top : {"BookmarksBar", "BookmarksMenu"}) {
    std::string id = Uuid(rng);
    Plist f = Record(entity::kFolder);
    SetString(f.get(), "name", top);
    SetInt(f.get(), "position", -2);
    Add(records.get(), id, std::move(f));
    folders.push_back({id, 0});
  }
  auto place = [&](plist_t r, const std::string& parent) {
    SetNode(r, "parent", OneId(parent));
    SetInt(r, "position", children[parent]++);
  };
  // A folder for every six bookmarks, nested at most three deep.
  for (uint64_t i = 0; i < spec.bookmarks / 6; ++i) {
    std::pair<std::string, int> parent = folders[rng() % folders.size()];
    if (parent.second >= 3) parent = folders[rng() % 2];
    std::string id = Uuid(rng);
    Plist f = Record(entity::kFolder);
    SetString(f.get(), "name", kFolderNames[i % 8]);
    place(f.get(), parent.first);
    Add(records.get(), id, std::move(f));
    folders.push_back({id, parent.second + 1});
  }
  for (uint64_t i = 0; i < spec.bookmarks; ++i) {
    size_t site = rng() % 10;
    Plist b = Record(entity::kBookmark);
    SetString(b.get(), "name", kSites[site][0]);
    SetString(b.get(), "url", kSites[site][1]);
    place(b.get(), folders[rng() % folders.size()].first);
    Add(records.get(), Uuid(rng), std::move(b));
  }
  const SyncClassInfo& cls = *FindSyncClass("com.apple.Bookmarks");
  return SyncStore::Write(SyncStoreFile(dir, cls), records.get(), 1, error);
}

bool WriteNotes(const fs::path& dir, const SyncContentSpec& spec, Rng& rng, std::string* error) {
  Plist records = NewDict();
  uint64_t number = 1;
  for (uint64_t i = 0; i < spec.notes; ++i) {
    std::string subject = Pick(rng, kNoteSubjects);
    std::string body = "Milk, eggs, bread and " + std::string(Pick(rng, kSummaries)) + ".";
    bool html = Chance(rng, 20);
    Plist n = Record(entity::kNote);
    SetString(n.get(), "subject", subject);
    SetString(n.get(), "content", html ? "<div>" + subject + "</div><div>" + body + "</div>"
                                       : subject + "\n" + body);
    SetString(n.get(), "contentType", html ? "text/html" : "text/plain");
    if (Chance(rng, 50)) SetString(n.get(), "author", "owner@icloud.com");
    int64_t created = k2024 - static_cast<int64_t>(rng() % 1500) * kDay + static_cast<int64_t>(rng() % kDay);
    SetDate(n.get(), "dateCreated", created);
    SetDate(n.get(), "dateModified", created + static_cast<int64_t>(rng() % (30 * kDay)));
    Add(records.get(), std::to_string(number++), std::move(n));
  }
  const SyncClassInfo& cls = *FindSyncClass("com.apple.Notes");
  return SyncStore::Write(SyncStoreFile(dir, cls), records.get(), number, error);
}

}  // namespace

bool AddFarmSyncContent(const fs::path& sync_dir, const SyncContentSpec& wanted, Rng& rng,
                        std::string* error) {
  SyncContentSpec spec = wanted;
  for (uint64_t* n : {&spec.contacts, &spec.groups, &spec.calendars, &spec.events, &spec.bookmarks,
                      &spec.notes}) {
    *n = std::min(*n, kMaxFarmSyncRecords);
  }
  return WriteContacts(sync_dir, spec, rng, error) && WriteCalendars(sync_dir, spec, rng, error) &&
         WriteBookmarks(sync_dir, spec, rng, error) && WriteNotes(sync_dir, spec, rng, error);
}

}  // namespace devsim
