// Books and ringtones in the media partition: EPUB packages (real zip files) and PDFs under
// Books/ and Books/Purchases/ with their lists Books.plist and Purchases.plist, ringtones
// under iTunes_Control/Ringtones/ with iTunes_Control/iTunes/Ringtones.plist, and the
// compressed iTunes database, which lists some of the same books and ringtones, some that
// only it knows, and audio and video tracks.
//
// Book i: a PDF when i % 3 == 2, else an EPUB (book 1 with the extension in capitals);
// bought (Books/Purchases/) when i % 4 == 3. Books.plist lists the other books except those
// with i % 5 == 4, and one entry whose file is missing; the iTunes database lists books
// with i even or i % 5 == 4. Ringtone j: Ringtones.plist lists it unless j % 3 == 2; the
// iTunes database lists it when j is even or j % 3 == 2.
#pragma once

#include <cstdint>
#include <string>

#include "farm/file_util.h"

namespace devsim {

struct BookContentSpec {
  uint64_t books = 0;
  uint64_t ringtones = 0;
};

constexpr uint64_t kMaxFarmBooks = 2000;
constexpr uint64_t kMaxFarmRingtones = 2000;

// The entry of Books.plist whose file does not exist.
inline constexpr const char* kMissingBookPath = "ZZZZ.epub";

// Writes the books, ringtones and the iTunes database below `media` (the media partition's
// root); nothing when neither books nor ringtones are asked for. The same seed gives
// the same content. False with `error` set on failure.
bool WriteBookFarm(const fs::path& media, const BookContentSpec& content, uint64_t seed,
                   std::string* error);

// A small EPUB package: "mimetype" stored first, the container, the package document and
// one chapter, as a zip file.
std::string MakeEpubPackage(const std::string& title, const std::string& author);
// A small one-page PDF document showing `title`.
std::string MakePdfDocument(const std::string& title);

}  // namespace devsim
