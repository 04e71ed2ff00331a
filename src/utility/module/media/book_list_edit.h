// Edits of a device's book list (Books.plist or Purchases.plist). The list is read and
// written with libplist as a whole tree, so every other book's keys and values (dates, data,
// reals, nested dictionaries) come back exactly as the device wrote them.
#pragma once

#include <optional>
#include <string>

struct NewBookEntry {
  std::string path;           // file name under the book folder
  std::string name;           // title shown on the device
  std::string kind;           // "epub" or "pdf"
  std::string persistent_id;  // 16 upper-case hexadecimal digits
};

// The bytes of a local copy of a list; nullopt when it cannot be read or is larger than a
// book list can sensibly be (16 MiB).
std::optional<std::string> ReadBookListFile(const std::string& local_path);

// The list `list` (binary or XML bytes; empty for a device that has none yet) with `entry`
// appended to its "Books" array, as XML. Nullopt when `list` is not empty and is not a
// dictionary property list whose "Books" (if present) is an array.
std::optional<std::string> AddBookToList(const std::string& list, const NewBookEntry& entry);

// The list without the entries of "Books" whose "Path" equals `path`, as XML. Nullopt when
// the list cannot be read or names no such entry.
std::optional<std::string> RemoveBookFromList(const std::string& list, const std::string& path);
