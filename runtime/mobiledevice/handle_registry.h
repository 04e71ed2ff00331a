// Objects handed to callers as raw pointers, kept in a table so that every call can check
// the pointer before touching it and hold a reference while it works.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

namespace md {

template <class T>
class HandleRegistry {
 public:
  T* Add(std::shared_ptr<T> object) {
    T* raw = object.get();
    std::lock_guard<std::mutex> lock(mutex_);
    objects_[raw] = std::move(object);
    return raw;
  }
  std::shared_ptr<T> Find(const void* handle) const {
    if (!handle) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }
  // Removes and returns the object; later Finds fail.
  std::shared_ptr<T> Take(const void* handle) {
    if (!handle) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<const void*, std::shared_ptr<T>> objects_;  // guarded by mutex_
};

}  // namespace md
