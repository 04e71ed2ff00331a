#include "utility/module/photo/photo_row_sender.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/json_text.h"
#include "utility/module/database/date_text.h"
#include "utility/module/vado_module.h"

namespace {

constexpr int kRowsPerCheck = 64;
constexpr int kRowsPerCancelCheck = 512;
constexpr size_t kNone = std::numeric_limits<size_t>::max();

// A photo row rendered up to its size, which may still have to be asked of the device.
struct PendingPhoto {
  std::string head;  // the object's members before the size's value
  int64_t size = 0;
};

PendingPhoto PhotoHead(sqlite3_stmt* s, std::string* path) {
  PendingPhoto photo;
  *path = ColumnText(s, 2);
  photo.size = sqlite3_column_int64(s, 7);
  std::string& out = photo.head;
  out = "{\"PATH\":" + JsonQuote(*path);
  out += ",\"Z_PK\":" + std::to_string(sqlite3_column_int64(s, 0));
  out += ",\"ZSAVEDASSETTYPE\":" + std::to_string(sqlite3_column_int64(s, 1));
  out += ",\"ZORIENTATION\":" + std::to_string(sqlite3_column_int64(s, 3));
  out += ",\"ZADDITIONALATTRIBUTES\":" + std::to_string(sqlite3_column_int64(s, 4));
  // Seconds with fractions, truncated toward zero; values outside int64 read as 0.
  for (int column : {5, 6}) {
    const double seconds = sqlite3_column_double(s, column);
    const int64_t whole =
        seconds > -9.0e18 && seconds < 9.0e18 ? static_cast<int64_t>(seconds) : 0;
    out += column == 5 ? ",\"ZDATECREATED\":" : ",\"ZMODIFICATIONDATE\":";
    out += JsonQuote(DeviceDateText(whole));
  }
  out += ",\"ZORIGINALFILESIZE\":";
  return photo;
}

// Asks the device for file sizes in the order they are added, on a thread of its own (in
// line when no thread can be started). Only the owner's thread calls the public members.
class SizeLookups {
 public:
  explicit SizeLookups(const PhotoQuery& query) : query_(query) {
    if (!query_.file_size) return;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
    }
  }
  ~SizeLookups() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void Add(size_t index, std::string path) {
    if (!query_.file_size) return;
    if (!thread_.joinable()) {
      answers_.emplace_back(index, query_.file_size(path));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.emplace_back(index, std::move(path));
    }
    changed_.notify_all();
  }

  // Moves the sizes found so far into `photos`; true once every size asked for a photo
  // before `end` has been answered (waiting for that when `wait`). A cancelled request
  // stops the asking; what was not asked keeps its recorded size.
  bool Collect(size_t end, bool wait, std::vector<PendingPhoto>* photos) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto answered = [&] {
      const size_t pending = busy_ != kNone ? busy_ : queue_.empty() ? kNone : queue_.front().first;
      return stopped_ || pending >= end;
    };
    if (wait) changed_.wait(lock, answered);
    for (const auto& [index, size] : answers_) {
      if (size >= 0 && index < photos->size()) (*photos)[index].size = size;
    }
    answers_.clear();
    return answered();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      auto [index, path] = std::move(queue_.front());
      queue_.pop_front();
      busy_ = index;
      lock.unlock();
      const bool cancelled = query_.cancelled && query_.cancelled();
      const int64_t size = cancelled ? -1 : query_.file_size(path);
      lock.lock();
      answers_.emplace_back(index, size);
      busy_ = kNone;
      if (cancelled) {
        stopped_ = true;
        queue_.clear();
      }
      changed_.notify_all();
      if (cancelled) break;
    }
  }

  const PhotoQuery& query_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<size_t, std::string>> queue_;
  std::vector<std::pair<size_t, int64_t>> answers_;
  size_t busy_ = kNone;
  bool stopping_ = false;
  bool stopped_ = false;
};

// Hands the whole arrays to the sink in order, each once its sizes are known.
class ArrayCutter {
 public:
  ArrayCutter(const PhotoQuery& query, std::vector<PendingPhoto>& photos, SizeLookups& lookups)
      : query_(query), photos_(photos), lookups_(lookups) {}

  // Sends what is ready; with `last` also the final, shorter array, waiting for sizes.
  void Cut(bool last) {
    for (;;) {
      const size_t first = arrays_ * kPhotosPerArray;
      size_t end = first + kPhotosPerArray;
      if (end > photos_.size()) {
        if (!last) return;
        end = photos_.size();
      }
      if (first >= end || !lookups_.Collect(end, last, &photos_)) return;
      batch_.clear();
      batch_ += '[';
      for (size_t i = first; i < end; ++i) {
        if (i > first) batch_ += ',';
        batch_ += photos_[i].head;
        batch_ += std::to_string(photos_[i].size);
        batch_ += '}';
        // A sent photo's text is not needed again.
        std::string().swap(photos_[i].head);
      }
      batch_ += ']';
      query_.sink->SendPhotoArray(batch_);
      ++arrays_;
      if (last && query_.cancelled && query_.cancelled()) return;
    }
  }

 private:
  const PhotoQuery& query_;
  std::vector<PendingPhoto>& photos_;
  SizeLookups& lookups_;
  size_t arrays_ = 0;
  std::string batch_;
};

}  // namespace

int64_t SendPhotoRows(const SqliteDbPtr& db, const PhotoQuery& query, const std::string& sql) {
  SqliteStmtPtr statement = PrepareStatement(db, query.db_path, sql);
  if (!statement) return kDbPrepareFailed;
  auto cancelled = [&query] { return query.cancelled && query.cancelled(); };
  std::vector<PendingPhoto> photos;
  SizeLookups lookups(query);
  ArrayCutter cutter(query, photos, lookups);
  std::string path;
  int rows = 0;
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    ++rows;
    if (rows % kRowsPerCancelCheck == 0 && cancelled()) return kResultCancelled;
    if (sqlite3_column_type(statement.get(), 2) == SQLITE_NULL) continue;
    photos.push_back(PhotoHead(statement.get(), &path));
    if (photos.back().size < 0) lookups.Add(photos.size() - 1, std::move(path));
    if (rows % kRowsPerCheck == 0) cutter.Cut(false);
  }
  statement.reset();
  if (cancelled()) return kResultCancelled;
  query.sink->SendPhotoCount(photos.size());
  cutter.Cut(true);
  return cancelled() ? kResultCancelled : kResultOk;
}
