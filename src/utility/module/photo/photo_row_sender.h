// Sends the rows of a photo statement as the photo count and arrays of photo objects. The
// sizes the database lacks are asked of the device on a thread of their own while the
// statement is still being stepped, and each array goes to the sink as soon as it is whole,
// so stepping, asking and compressing overlap.
#pragma once

#include <cstdint>
#include <string>

#include "utility/module/database/sqlite_handles.h"
#include "utility/module/photo/photo_library.h"

// 0, 20 (the statement cannot be prepared) or 6 (cancelled).
int64_t SendPhotoRows(const SqliteDbPtr& db, const PhotoQuery& query, const std::string& sql);
