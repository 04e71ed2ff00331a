// The media module's book and ringtone commands: the lists of books and ringtones (1001),
// adding a book (1012) and removing one (1013). Each is a function of what it needs, called
// by the module's dispatch after the request preamble; each returns the reply code.
#pragma once

#include <cstdint>
#include <string>

#include "utility/module/vado_module.h"

// Message "type" values of the two lists.
inline constexpr int32_t kBookListType = 1008;
inline constexpr int32_t kRingtoneListType = 1003;

// Reply codes of the book commands besides the common ones.
inline constexpr int64_t kNoFileService = 12;
inline constexpr int64_t kBookUploadFailed = 37;
inline constexpr int64_t kBookListUploadFailed = 39;

// 1001: copies iTunesCDB, Ringtones.plist, Books.plist and Purchases.plist into the device
// folder, merges them and sends the books (type 1008) and then the ringtones (type 1003).
// 0, 6, 12, or 24 for a device identifier that cannot name a local folder.
int64_t HandleBooksAndRingtones(VadoModule& module, const bas::IPCPacket1& packet,
                                VadoDevice& device, DhTask& task);

// 1012: body {"path": local or device path, "remote": bool}. Uploads the book under a new
// four-letter name into /Books/ and then adds it to /Books/Books.plist. `info` gets
// {"path": device path} on success. 0, 6, 8, 12, 37, 39.
int64_t HandleAddBook(const RequestHeader& request, VadoDevice& device, DhTask& task,
                      std::string* info);

// 1013: body {"path": device path}. Removes the book from the list that holds it and then
// deletes its file; a path under no list, outside /Books/ or with ".." answers 8 and
// deletes nothing. 0, 8, 12, 39.
int64_t HandleRemoveBook(const RequestHeader& request, VadoDevice& device, DhTask& task);
