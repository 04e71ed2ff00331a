// DhTask: the record of one long-running request, and the registries that map task ids
// to tasks for cancellation. A task is created with status 0; cancelling sets status 5
// and runs the cancel hook exactly once (whichever of Cancel and IsCancelled gets there
// first). Entries stay in their registry after the request ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

inline constexpr int16_t kTaskCancelled = 5;

class DhTask {
 public:
  using HookFunction = void (*)(void* context);

  explicit DhTask(int64_t task_id = 0) : task_id(task_id) {}
  virtual ~DhTask() = default;
  DhTask(const DhTask&) = delete;
  DhTask& operator=(const DhTask&) = delete;

  // Installs a hook that interrupts a blocking call of the working module.
  void SetCancelHook(HookFunction function, void* context);
  // Runs the hook if it is still set and clears it; safe against concurrent callers.
  void FireCancelHook();

  int16_t status() const { return status_.load(); }
  void set_status(int16_t status) { status_.store(status); }

  std::string message;  // for the module's use
  const int64_t task_id;
  // Module-owned extras, empty or zero at creation.
  std::u16string wide_text;
  std::string text1;
  std::string text2;
  int64_t numbers[4] = {0, 0, 0, 0};

 private:
  std::atomic<void*> hook_context_{nullptr};
  std::atomic<HookFunction> hook_function_{nullptr};
  std::atomic<int16_t> status_{0};
};

using TaskPtr = std::shared_ptr<DhTask>;

// Task id → task. The caller holds `mutex` around Find, Slot and Remove.
struct TaskRegistry {
  std::mutex mutex;
  std::map<int64_t, TaskPtr> tasks;  // guarded by mutex

  TaskPtr Find(int64_t id) const;
  TaskPtr& Slot(int64_t id) { return tasks[id]; }
  void Remove(int64_t id) { tasks.erase(id); }
};

// Marks task `id` cancelled and fires its hook; an unknown id is not an error.
void Cancel(TaskRegistry& registry, int64_t id);

// True when the task is cancelled; the hook, if still set, runs once.
bool IsCancelled(DhTask& task);

// The start of every long request: under the registry lock, find the task with the
// request's id or create it. Returns null when that task was cancelled before the work
// started (the request then ends without a reply).
TaskPtr BeginTask(TaskRegistry& registry, int64_t id);

// The process-wide registry for tasks that belong to no device.
TaskRegistry& GlobalTaskRegistry();
