#include "farm/book_farm_builder.h"

#include <minizip/zip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "farm/itunes_cdb_builder.h"
#include "plist/plist_ptr.h"

namespace devsim {

namespace {

const char* const kBookWords[] = {"River", "Winter",   "Garden",  "Silent",  "Harbour", "Letters",
                                  "Glass", "Northern", "Orchard", "Lantern", "Distant", "Iron"};
const char* const kBookAuthors[] = {"Ada Lind", "Tomas Berg", "Mira Okafor", "Jon Haas", "Lena Roy"};
const char* const kBookGenres[] = {"Fiction", "History", "Poetry", "Science", "Travel"};

// A name of four capital letters not drawn before.
std::string FreshBookName(std::mt19937_64& rng, std::set<std::string>* used) {
  for (;;) {
    std::string name;
    for (int i = 0; i < 4; ++i) name += static_cast<char>('A' + rng() % 26);
    if (name != "ZZZZ" && used->insert(name).second) return name;
  }
}

struct ZipSink {
  std::string bytes;
  size_t pos = 0;
};

// minizip output into memory (the package is small).
voidpf ZipMemOpen(voidpf opaque, const void*, int) { return opaque; }
uLong ZipMemWrite(voidpf, voidpf stream, const void* buf, uLong size) {
  ZipSink* sink = static_cast<ZipSink*>(stream);
  if (sink->pos + size > sink->bytes.size()) sink->bytes.resize(sink->pos + size);
  std::memcpy(sink->bytes.data() + sink->pos, buf, size);
  sink->pos += size;
  return size;
}
uLong ZipMemRead(voidpf, voidpf stream, void* buf, uLong size) {
  ZipSink* sink = static_cast<ZipSink*>(stream);
  const uLong n =
      sink->pos >= sink->bytes.size() ? 0 : std::min<uLong>(size, sink->bytes.size() - sink->pos);
  std::memcpy(buf, sink->bytes.data() + sink->pos, n);
  sink->pos += n;
  return n;
}
ZPOS64_T ZipMemTell(voidpf, voidpf stream) { return static_cast<ZipSink*>(stream)->pos; }
long ZipMemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  ZipSink* sink = static_cast<ZipSink*>(stream);
  size_t base = origin == ZLIB_FILEFUNC_SEEK_CUR   ? sink->pos
                : origin == ZLIB_FILEFUNC_SEEK_END ? sink->bytes.size()
                                                   : 0;
  sink->pos = base + offset;
  return 0;
}
voidpf ZipMemOpen64(voidpf opaque, const void* name, int mode) {
  return ZipMemOpen(opaque, name, mode);
}
int ZipMemClose(voidpf, voidpf) { return 0; }
int ZipMemError(voidpf, voidpf) { return 0; }

bool AddZipMember(zipFile zip, const std::string& name, const std::string& bytes, bool stored) {
  zip_fileinfo info{};
  bool ok = zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  stored ? 0 : Z_DEFLATED, stored ? 0 : Z_DEFAULT_COMPRESSION,
                                  0) == ZIP_OK;
  ok = ok && zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK;
  return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

struct FarmBook {
  std::string file;    // name in its folder
  std::string folder;  // "Books" or "Books/Purchases"
  std::string title, artist, genre;
  bool pdf = false;
};

Plist BookEntry(const FarmBook& book, uint64_t persistent_id) {
  Plist entry = NewDict();
  SetString(entry.get(), "Path", book.file);
  SetString(entry.get(), "Name", book.title);
  SetString(entry.get(), "Artist", book.artist);
  SetString(entry.get(), "Genre", book.genre);
  SetString(entry.get(), "Kind", book.pdf ? "pdf" : "epub");
  char id[17];
  std::snprintf(id, sizeof(id), "%016llX", static_cast<unsigned long long>(persistent_id));
  SetString(entry.get(), "Persistent ID", id);
  return entry;
}

bool WriteBookList(const fs::path& path, Plist books) {
  Plist root = NewDict();
  SetNode(root.get(), "Books", std::move(books));
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return WriteFileAtomic(path, ToXml(root.get()));
}

}  // namespace

std::string MakeEpubPackage(const std::string& title, const std::string& author) {
  ZipSink sink;
  zlib_filefunc64_def funcs{};
  funcs.zopen64_file = ZipMemOpen64;
  funcs.zread_file = ZipMemRead;
  funcs.zwrite_file = ZipMemWrite;
  funcs.ztell64_file = ZipMemTell;
  funcs.zseek64_file = ZipMemSeek;
  funcs.zclose_file = ZipMemClose;
  funcs.zerror_file = ZipMemError;
  funcs.opaque = &sink;
  zipFile zip = zipOpen2_64("epub", APPEND_STATUS_CREATE, nullptr, &funcs);
  if (zip == nullptr) return {};
  const std::string container =
      "<?xml version=\"1.0\"?>\n<container version=\"1.0\" "
      "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\">\n<rootfiles>\n"
      "<rootfile full-path=\"OEBPS/content.opf\" media-type=\"application/oebps-package+xml\"/>\n"
      "</rootfiles>\n</container>\n";
  const std::string opf =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<package xmlns=\"http://www.idpf.org/2007/opf\" "
      "version=\"3.0\" unique-identifier=\"id\">\n<metadata "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n<dc:identifier id=\"id\">urn:uuid:" +
      title + "</dc:identifier>\n<dc:title>" + title + "</dc:title>\n<dc:creator>" + author +
      "</dc:creator>\n<dc:language>en</dc:language>\n</metadata>\n<manifest>\n"
      "<item id=\"c1\" href=\"chapter1.xhtml\" media-type=\"application/xhtml+xml\"/>\n"
      "</manifest>\n<spine><itemref idref=\"c1\"/></spine>\n</package>\n";
  const std::string chapter =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\">"
      "<head><title>" +
      title + "</title></head><body><h1>" + title + "</h1><p>by " + author + "</p></body></html>\n";
  bool ok = AddZipMember(zip, "mimetype", "application/epub+zip", true);
  ok = ok && AddZipMember(zip, "META-INF/container.xml", container, false);
  ok = ok && AddZipMember(zip, "OEBPS/content.opf", opf, false);
  ok = ok && AddZipMember(zip, "OEBPS/chapter1.xhtml", chapter, false);
  ok = zipClose(zip, nullptr) == ZIP_OK && ok;
  return ok ? sink.bytes : std::string();
}

std::string MakePdfDocument(const std::string& title) {
  const std::string text = "BT /F1 24 Tf 72 720 Td (" + title + ") Tj ET";
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[24];
    std::snprintf(line, sizeof(line), "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

bool WriteBookFarm(const fs::path& media, const BookContentSpec& content, uint64_t seed,
                   std::string* error) {
  if (content.books == 0 && content.ringtones == 0) return true;
  std::mt19937_64 rng(seed * 7919 + 17);
  std::set<std::string> used;
  std::vector<CdbTrack> cdb;
  Plist books = NewArray();
  Plist purchases = NewArray();
  for (uint64_t i = 0; i < std::min(content.books, kMaxFarmBooks); ++i) {
    FarmBook book;
    book.pdf = i % 3 == 2;
    book.folder = i % 4 == 3 ? "Books/Purchases" : "Books";
    book.file = FreshBookName(rng, &used) + (book.pdf ? ".pdf" : i == 1 ? ".EPUB" : ".epub");
    book.title = std::string(kBookWords[rng() % 12]) + " " + kBookWords[rng() % 12] + " " +
                 std::to_string(i + 1);
    book.artist = kBookAuthors[rng() % 5];
    book.genre = kBookGenres[rng() % 5];
    const std::string bytes =
        book.pdf ? MakePdfDocument(book.title) : MakeEpubPackage(book.title, book.artist);
    std::error_code ec;
    fs::create_directories(media / book.folder, ec);
    if (bytes.empty() || !WriteFileAtomic(media / book.folder / book.file, bytes)) {
      *error = "cannot write the book " + book.file;
      return false;
    }
    if (book.folder == "Books/Purchases") {
      plist_array_append_item(purchases.get(), BookEntry(book, rng()).release());
    } else if (i % 5 != 4) {
      plist_array_append_item(books.get(), BookEntry(book, rng()).release());
    }
    if (i % 2 == 0 || i % 5 == 4) {
      std::string location = ":" + book.folder + ":" + book.file;
      std::replace(location.begin(), location.end(), '/', ':');
      cdb.push_back({book.title, book.artist, "", book.genre, location,
                     book.pdf ? "PDF document" : "EPUB book", book.pdf ? 0x800000u : 0x400000u, 0});
    }
  }
  if (content.books > 0) {
    FarmBook missing;
    missing.file = kMissingBookPath;
    missing.title = "Not On This Device";
    missing.artist = kBookAuthors[0];
    missing.genre = kBookGenres[0];
    plist_array_append_item(books.get(), BookEntry(missing, rng()).release());
    if (!WriteBookList(media / "Books/Books.plist", std::move(books)) ||
        !WriteBookList(media / "Books/Purchases/Purchases.plist", std::move(purchases))) {
      *error = "cannot write the book lists";
      return false;
    }
  }

  Plist tones = NewDict();
  std::error_code dir_error;
  fs::create_directories(media / "iTunes_Control/Ringtones", dir_error);
  fs::create_directories(media / "iTunes_Control/iTunes", dir_error);
  for (uint64_t j = 0; j < std::min(content.ringtones, kMaxFarmRingtones); ++j) {
    const std::string file = FreshBookName(rng, &used) + ".m4r";
    const std::string title =
        std::string(kBookWords[rng() % 12]) + " Tone " + std::to_string(j + 1);
    const uint64_t total_time = 5000 + rng() % 25000;
    std::string bytes = std::string(
                            "\0\0\0\x20"
                            "ftypM4A ",
                            12) +
                        title;
    bytes.resize(2048 + j, '\x11');
    if (!WriteFileAtomic(media / "iTunes_Control/Ringtones" / file, bytes)) {
      *error = "cannot write the ringtone " + file;
      return false;
    }
    if (j % 3 != 2) {
      Plist entry = NewDict();
      SetString(entry.get(), "Name", title);
      SetUint(entry.get(), "Total Time", total_time);
      SetUint(entry.get(), "PID", rng() >> 1);
      SetBool(entry.get(), "Protected Content", false);
      SetNode(tones.get(), file.c_str(), std::move(entry));
    }
    if (j % 2 == 0 || j % 3 == 2) {
      cdb.push_back({title, "Ringtones", "", "Ringtone", ":iTunes_Control:Ringtones:" + file,
                     "Ringtone", 0x4000, static_cast<int32_t>(total_time)});
    }
  }
  if (content.ringtones > 0) {
    Plist root = NewDict();
    SetNode(root.get(), "Ringtones", std::move(tones));
    std::error_code ec;
    fs::create_directories(media / "iTunes_Control/iTunes", ec);
    if (!WriteFileAtomic(media / "iTunes_Control/iTunes/Ringtones.plist", ToXml(root.get()))) {
      *error = "cannot write Ringtones.plist";
      return false;
    }
  }

  // Music and video the database lists beside them; a ringtone file kept with the music is
  // music, not a ringtone.
  cdb.push_back({"Harbour Song", "Lena Roy", "Coastlines", "Pop",
                 ":iTunes_Control:Music:F00:QWER.mp3", "MPEG audio file", 1, 201000});
  cdb.push_back({"Orchard Live", "Jon Haas", "Seasons", "Rock",
                 ":iTunes_Control:Music:F01:ASDF.m4a", "AAC audio file", 1, 185000});
  cdb.push_back({"Winter Film", "Mira Okafor", "", "Drama", ":iTunes_Control:Music:F02:ZXCV.m4v",
                 "MPEG-4 video file", 2, 5400000});
  cdb.push_back({"Chime In Music", "Tomas Berg", "", "Ringtone",
                 ":iTunes_Control:Music:F03:POIU.m4r", "Ringtone", 0x4000, 12000});
  return WriteItunesCdb(media / "iTunes_Control/iTunes/iTunesCDB", cdb, error);
}

}  // namespace devsim
