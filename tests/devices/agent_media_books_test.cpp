// Commands 1001, 1012 and 1013 through the agent against a simulated device with books and
// ringtones. Expected lists are read from the farm's own files: the property lists with
// libplist and the compressed iTunes database, inflated here, with libgpod.
#include <gpod/itdb.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "agent_fixture.h"
#include "common/json_text.h"
#include "farm/book_farm_builder.h"
#include "farm/file_util.h"
#include "plist/plist_ptr.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Entry {
  std::string title, artist, genre;
  int64_t size = 0;
  int64_t duration = 0;
};

struct Lists {
  int64_t code = -1;
  int64_t book_count = -1, ringtone_count = -1;
  std::vector<std::string> book_order, ringtone_order;  // paths as sent
  std::map<std::string, Entry> books, ringtones;
};

rapidjson::Document Json(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  return doc;
}

std::string JsonText(const rapidjson::Value& v) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  v.Accept(writer);
  return buffer.GetString();
}

std::string Text(const rapidjson::Value& v, const char* key) {
  return v.HasMember(key) && v[key].IsString() ? v[key].GetString() : "";
}

// The farm's tracks as libgpod reads them from the inflated database.
std::vector<std::tuple<std::string, std::string, std::string, std::string, int64_t>> FarmTracks(
    const fs::path& cdb) {
  std::vector<std::tuple<std::string, std::string, std::string, std::string, int64_t>> out;
  const std::optional<std::string> packed = devsim::ReadWholeFile(cdb);
  EXPECT_TRUE(packed.has_value());
  if (!packed || packed->size() < 244) return out;
  const uint32_t header = static_cast<uint8_t>((*packed)[4]) | static_cast<uint8_t>((*packed)[5])
                                                                   << 8;
  std::string plain = packed->substr(0, header);
  z_stream z{};
  inflateInit(&z);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed->data() + header));
  z.avail_in = static_cast<uInt>(packed->size() - header);
  char buffer[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof(buffer);
    rc = inflate(&z, Z_NO_FLUSH);
    plain.append(buffer, sizeof(buffer) - z.avail_out);
  }
  inflateEnd(&z);
  EXPECT_EQ(rc, Z_STREAM_END);
  plain[168] = 0;
  const fs::path plain_path = cdb.string() + ".test-plain";
  EXPECT_TRUE(devsim::WriteFileAtomic(plain_path, plain));
  GError* error = nullptr;
  Itdb_iTunesDB* db = itdb_parse_file(plain_path.c_str(), &error);
  fs::remove(plain_path);
  EXPECT_NE(db, nullptr) << (error ? error->message : "");
  if (error) g_error_free(error);
  if (db == nullptr) return out;
  for (GList* l = db->tracks; l != nullptr; l = l->next) {
    const Itdb_Track* t = static_cast<const Itdb_Track*>(l->data);
    std::string location = t->ipod_path ? t->ipod_path : "";
    std::replace(location.begin(), location.end(), ':', '/');
    out.emplace_back(location, t->title ? t->title : "", t->artist ? t->artist : "",
                     t->genre ? t->genre : "", t->tracklen);
  }
  itdb_free(db);
  return out;
}

std::string LowerExtension(const std::string& path) {
  std::string ext = path.substr(path.rfind('.') + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

class MediaBooksTest : public AgentFixture {
 protected:
  std::string AddReader(uint64_t seed, uint64_t books, uint64_t ringtones) {
    devsim::DeviceSpec device;
    device.seed = seed;
    device.media_files = 2;
    device.books.books = books;
    device.books.ringtones = ringtones;
    return Add(device);
  }

  fs::path Media(const std::string& udid) {
    return sim_.farm_dir() / "devices" / udid / "fs/private/var/mobile/Media";
  }

  std::string Header(const std::string& udid) { return "{\"uuid\":" + JsonQuote(udid) + "}"; }

  // The books and ringtones the farm's files describe, merged the way 1001 promises.
  Lists Expected(const std::string& udid, size_t* only_in_database) {
    const fs::path media = Media(udid);
    Lists e;
    *only_in_database = 0;
    for (const auto& [list, folder] :
         {std::pair<std::string, std::string>{"Books/Books.plist", "/Books/"},
          {"Books/Purchases/Purchases.plist", "/Books/Purchases/"}}) {
      devsim::Plist root = devsim::ReadPlistFile(media / list);
      plist_t books = root ? devsim::DictItem(root.get(), "Books") : nullptr;
      for (uint32_t i = 0; books && i < plist_array_get_size(books); ++i) {
        plist_t item = plist_array_get_item(books, i);
        const std::string path = folder + devsim::DictString(item, "Path").value_or("");
        std::error_code ec;
        const auto size = fs::file_size(media / path.substr(1), ec);
        if (ec) continue;
        e.books[path] = {devsim::DictString(item, "Name").value_or(""),
                         devsim::DictString(item, "Artist").value_or(""),
                         devsim::DictString(item, "Genre").value_or(""),
                         static_cast<int64_t>(size)};
      }
    }
    devsim::Plist tones = devsim::ReadPlistFile(media / "iTunes_Control/iTunes/Ringtones.plist");
    plist_t map = tones ? devsim::DictItem(tones.get(), "Ringtones") : nullptr;
    for (const std::string& name : map ? devsim::DictKeys(map) : std::vector<std::string>{}) {
      plist_t item = devsim::DictItem(map, name.c_str());
      const std::string path = "/iTunes_Control/Ringtones/" + name;
      std::error_code ec;
      const auto size = fs::file_size(media / path.substr(1), ec);
      e.ringtones[path] = {devsim::DictString(item, "Name").value_or(""), "", "",
                           ec ? 0 : static_cast<int64_t>(size),
                           static_cast<int64_t>(devsim::DictUint(item, "Total Time").value_or(0))};
    }
    for (const auto& [location, title, artist, genre, length] :
         FarmTracks(media / "iTunes_Control/iTunes/iTunesCDB")) {
      const std::string ext = LowerExtension(location);
      const bool book = ext == "epub" || ext == "pdf";
      const bool tone = ext == "m4r" && location.find("Music") == std::string::npos;
      std::error_code ec;
      const auto size = fs::file_size(media / location.substr(1), ec);
      if ((!book && !tone) || ec) continue;
      auto& target = book ? e.books : e.ringtones;
      if (target.count(location) != 0) continue;
      target[location] = {title, book ? artist : "", book ? genre : "", static_cast<int64_t>(size),
                          book ? 0 : length};
      if (book) ++*only_in_database;
    }
    return e;
  }

  Lists List(const std::string& udid) {
    Lists lists;
    const uint64_t task = next_task_++;
    for (const vadoctl::AgentMessage& m : Request(1001, task, Header(udid))) {
      rapidjson::Document h = Json(m.header);
      if (!h.IsObject()) continue;
      const int type = h.HasMember("type") && h["type"].IsInt() ? h["type"].GetInt() : 0;
      if (m.kind != 2) {
        lists.code = h["code"].GetInt64();
        continue;
      }
      const bool book = type == 1008;
      if (!book && type != 1003) continue;
      if (h["stage"].GetInt() == 0) {
        rapidjson::Document info =
            Json(h["info"].IsString() ? h["info"].GetString() : JsonText(h["info"]));
        (book ? lists.book_count : lists.ringtone_count) = info["Count"].GetInt64();
        continue;
      }
      rapidjson::Document items = Json(m.body);
      EXPECT_TRUE(items.IsArray()) << m.body;
      if (!items.IsArray()) continue;
      EXPECT_LE(items.Size(), 100u);
      for (const rapidjson::Value& item : items.GetArray()) {
        const std::string path = Text(item, "path");
        (book ? lists.book_order : lists.ringtone_order).push_back(path);
        Entry entry{Text(item, "title"), book ? Text(item, "artist") : "",
                    book ? Text(item, "gene") : "", item["size"].GetInt64(),
                    book ? 0 : item["duration"].GetInt64()};
        (book ? lists.books : lists.ringtones)[path] = entry;
      }
    }
    return lists;
  }

  // Sends a book command and returns its result's code and info.
  std::pair<int64_t, std::string> Book(uint32_t command, const std::string& udid,
                                       const std::string& body) {
    std::vector<vadoctl::AgentMessage> messages =
        Request(command, next_task_++, Header(udid), body);
    if (messages.empty()) return {-1, ""};
    rapidjson::Document h = Json(messages.back().header);
    std::string info;
    if (h.HasMember("info"))
      info = h["info"].IsString() ? h["info"].GetString() : JsonText(h["info"]);
    return {h["code"].GetInt64(), info};
  }

  static bool SameEntries(const std::map<std::string, Entry>& a,
                          const std::map<std::string, Entry>& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [path, e] : a) {
      const auto it = b.find(path);
      if (it == b.end() || it->second.title != e.title || it->second.artist != e.artist ||
          it->second.genre != e.genre || it->second.size != e.size ||
          it->second.duration != e.duration) {
        ADD_FAILURE() << "differs: " << path;
        return false;
      }
    }
    return true;
  }

  uint64_t next_task_ = 20;
};

TEST_F(MediaBooksTest, ListsBooksFromBothListsAndTheDatabaseOnceAndRingtonesWithDurations) {
  const std::string udid = AddReader(71, 12, 7);
  const std::string empty = AddReader(72, 0, 0);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  ASSERT_NE(WaitArrival(empty), 0);

  size_t only_in_database = 0;
  const Lists expected = Expected(udid, &only_in_database);
  ASSERT_GT(only_in_database, 0u) << "the farm has books that only the database lists";
  ASSERT_FALSE(fs::exists(Media(udid) / "Books" / devsim::kMissingBookPath));

  const Lists got = List(udid);
  EXPECT_EQ(got.code, 0);
  EXPECT_EQ(got.book_count, static_cast<int64_t>(expected.books.size()));
  EXPECT_EQ(got.book_order.size(), expected.books.size()) << "each book once";
  EXPECT_TRUE(SameEntries(got.books, expected.books));
  EXPECT_EQ(got.books.count(std::string("/Books/") + devsim::kMissingBookPath), 0u);
  EXPECT_EQ(got.ringtone_count, static_cast<int64_t>(expected.ringtones.size()));
  EXPECT_EQ(got.ringtone_order.size(), expected.ringtones.size()) << "each ringtone once";
  EXPECT_TRUE(SameEntries(got.ringtones, expected.ringtones));
  for (const auto& [path, tone] : got.ringtones) EXPECT_GT(tone.duration, 0) << path;
  // The ringtone file kept with the music is not a ringtone.
  for (const std::string& path : got.ringtone_order)
    EXPECT_EQ(path.find("Music"), std::string::npos);

  const Lists none = List(empty);
  EXPECT_EQ(none.code, 0);
  EXPECT_EQ(none.book_count, 0);
  EXPECT_EQ(none.ringtone_count, 0);
  EXPECT_TRUE(none.book_order.empty());
}

TEST_F(MediaBooksTest, AddsAndRemovesBooksAndRefusesWhatItMustNotTouch) {
  const std::string udid = AddReader(73, 4, 1);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const fs::path media = Media(udid);
  const fs::path epub = sim_.dir() / "Quiet Harbour.epub";
  const fs::path pdf = sim_.dir() / "Field Notes.PDF";
  ASSERT_TRUE(devsim::WriteFileAtomic(epub, devsim::MakeEpubPackage("Quiet Harbour", "A. Writer")));
  ASSERT_TRUE(devsim::WriteFileAtomic(pdf, devsim::MakePdfDocument("Field Notes")));
  ASSERT_TRUE(devsim::WriteFileAtomic(sim_.dir() / "notes.txt", "plain text"));
  const auto body = [](const fs::path& p, bool remote = false) {
    return "{\"path\":" + JsonQuote(p.string()) + ",\"remote\":" + (remote ? "true" : "false") +
           "}";
  };

  std::map<std::string, std::string> added;  // device path -> title
  for (const fs::path& local : {epub, pdf}) {
    const auto [code, info] = Book(1012, udid, body(local));
    ASSERT_EQ(code, 0) << info;
    const std::string path = Text(Json(info), "path");
    ASSERT_EQ(path.rfind("/Books/", 0), 0u) << info;
    EXPECT_EQ(path.size(), std::string("/Books/ABCD").size() + local.extension().string().size());
    EXPECT_EQ(devsim::ReadWholeFile(media / path.substr(1)), devsim::ReadWholeFile(local));
    added[path] = local.stem().string();
  }
  // The list on the device names both, each with a persistent identifier.
  devsim::Plist list = devsim::ReadPlistFile(media / "Books/Books.plist");
  plist_t books = devsim::DictItem(list.get(), "Books");
  ASSERT_NE(books, nullptr);
  const uint32_t listed = plist_array_get_size(books);
  size_t found = 0;
  for (uint32_t i = 0; i < listed; ++i) {
    plist_t item = plist_array_get_item(books, i);
    if (added.count("/Books/" + devsim::DictString(item, "Path").value_or("")) == 0) continue;
    ++found;
    const std::string id = devsim::DictString(item, "Persistent ID").value_or("");
    EXPECT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
  }
  EXPECT_EQ(found, 2u);
  Lists lists = List(udid);
  for (const auto& [path, title] : added) {
    ASSERT_EQ(lists.books.count(path), 1u) << path;
    EXPECT_EQ(lists.books[path].title, title);
  }

  // Refused: another extension, an unreadable local file, a device path with "..", a body
  // that is not JSON. Nothing is added.
  EXPECT_EQ(Book(1012, udid, body(sim_.dir() / "notes.txt")).first, 8);
  EXPECT_EQ(Book(1012, udid, body(sim_.dir() / "absent.epub")).first, 8);
  EXPECT_EQ(Book(1012, udid, body("/Books/../Downloads/x.epub", true)).first, 8);
  EXPECT_EQ(Book(1012, udid, "[1,2").first, 8);
  EXPECT_EQ(plist_array_get_size(devsim::DictItem(
                devsim::ReadPlistFile(media / "Books/Books.plist").get(), "Books")),
            listed);

  // Removing one added book takes it out of the list and off the device.
  const std::string removed = added.begin()->first;
  EXPECT_EQ(Book(1013, udid, "{\"path\":" + JsonQuote(removed) + "}").first, 0);
  EXPECT_FALSE(fs::exists(media / removed.substr(1)));
  lists = List(udid);
  EXPECT_EQ(lists.books.count(removed), 0u);
  EXPECT_EQ(lists.books.count(std::next(added.begin())->first), 1u);
  EXPECT_EQ(plist_array_get_size(devsim::DictItem(
                devsim::ReadPlistFile(media / "Books/Books.plist").get(), "Books")),
            listed - 1);

  // A book no list names, a path outside /Books/, a path with "..": 8, nothing deleted.
  for (const std::string& path :
       {std::string("/Books/Sample.epub"), std::string("/Downloads/readme.txt"),
        std::string("/Books/../Downloads/readme.txt"), removed}) {
    EXPECT_EQ(Book(1013, udid, "{\"path\":" + JsonQuote(path) + "}").first, 8) << path;
  }
  EXPECT_TRUE(fs::exists(media / "Books/Sample.epub"));
  EXPECT_TRUE(fs::exists(media / "Downloads/readme.txt"));
  EXPECT_EQ(Book(1013, udid, "not json").first, 8);

  // A book already on the device is added under a new name of its own.
  const auto [code, info] = Book(1012, udid, body("/Books/Sample.epub", true));
  ASSERT_EQ(code, 0) << info;
  const std::string copy = Text(Json(info), "path");
  ASSERT_NE(copy, "/Books/Sample.epub");
  EXPECT_EQ(devsim::ReadWholeFile(media / copy.substr(1)),
            devsim::ReadWholeFile(media / "Books/Sample.epub"));
  EXPECT_EQ(List(udid).books.count(copy), 1u);
}

TEST_F(MediaBooksTest, FailedUploadsAndAMissingFileServiceLeaveTheListAlone) {
  const std::string udid = AddReader(74, 2, 1);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const fs::path media = Media(udid);
  SendWithHeader(1001, 90, "{\"uuid\":");
  EXPECT_EQ(WaitForResult(90, nullptr, 2s), nullptr);

  // A book whose upload breaks off is not listed and not left behind.
  const fs::path epub = sim_.dir() / "Broken Off.epub";
  std::string bytes = devsim::MakeEpubPackage("Broken Off", "A. Writer");
  bytes.resize(256 * 1024, 'x');
  ASSERT_TRUE(devsim::WriteFileAtomic(epub, bytes));
  const std::optional<std::string> list_before = devsim::ReadWholeFile(media / "Books/Books.plist");
  std::set<std::string> books_before;
  for (const auto& entry : fs::directory_iterator(media / "Books"))
    books_before.insert(entry.path().string());
  ASSERT_EQ(sim_.Control({"fault", udid, "afc-fail-write", "65536"}).status, 0);
  EXPECT_EQ(Book(1012, udid, "{\"path\":" + JsonQuote(epub.string()) + "}").first, 37);
  ASSERT_EQ(sim_.Control({"fault", udid, "clear"}).status, 0);
  EXPECT_EQ(devsim::ReadWholeFile(media / "Books/Books.plist"), list_before);
  std::set<std::string> books_after;
  for (const auto& entry : fs::directory_iterator(media / "Books"))
    books_after.insert(entry.path().string());
  EXPECT_EQ(books_after, books_before);

  ASSERT_EQ(sim_.Control({"fault", udid, "refuse-service", "1", "com.apple.afc"}).status, 0);
  EXPECT_EQ(List(udid).code, 12);
  EXPECT_EQ(Book(1013, udid, "{\"path\":\"/Books/Sample.epub\"}").first, 12);
  ASSERT_EQ(sim_.Control({"fault", udid, "refuse-service", "0", "com.apple.afc"}).status, 0);
  EXPECT_EQ(List(udid).code, 0);
}

}  // namespace

namespace {

TEST_F(MediaBooksTest, BooksAddedAtTheSameTimeAreBothListed) {
  const std::string udid = AddReader(75, 3, 0);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const fs::path media = Media(udid);
  std::vector<fs::path> locals;
  for (const char* title : {"First Together", "Second Together", "Third Together"}) {
    locals.push_back(sim_.dir() / (std::string(title) + ".epub"));
    ASSERT_TRUE(devsim::WriteFileAtomic(locals.back(), devsim::MakeEpubPackage(title, "Both")));
  }
  for (size_t i = 0; i < locals.size(); ++i) {
    SendWithHeader(1012, 60 + i, Header(udid), "{\"path\":" + JsonQuote(locals[i].string()) + "}");
  }
  std::set<std::string> added;
  for (size_t i = 0; i < locals.size(); ++i) {
    const Seen* result = WaitForResult(60 + i);
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(Code(*result), 0);
    added.insert(JsonText(result->header["info"]["path"]));
  }
  EXPECT_EQ(added.size(), locals.size());
  devsim::Plist list = devsim::ReadPlistFile(media / "Books/Books.plist");
  plist_t books = devsim::DictItem(list.get(), "Books");
  std::set<std::string> listed;
  for (uint32_t i = 0; books && i < plist_array_get_size(books); ++i) {
    listed.insert("\"/Books/" + devsim::DictString(plist_array_get_item(books, i), "Path").value_or("") +
                  "\"");
  }
  for (const std::string& path : added) EXPECT_EQ(listed.count(path), 1u) << path;
}

}  // namespace
