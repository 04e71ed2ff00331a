#include "common/dh_task.h"

void DhTask::SetCancelHook(HookFunction function, void* context) {
  hook_context_.store(context);
  hook_function_.store(function);
}

void DhTask::FireCancelHook() {
  HookFunction function = hook_function_.exchange(nullptr);
  if (function != nullptr) function(hook_context_.load());
}

TaskPtr TaskRegistry::Find(int64_t id) const {
  auto it = tasks.find(id);
  return it == tasks.end() ? nullptr : it->second;
}

void Cancel(TaskRegistry& registry, int64_t id) {
  std::lock_guard<std::mutex> lock(registry.mutex);
  TaskPtr task = registry.Find(id);
  if (!task) return;
  task->set_status(kTaskCancelled);
  task->FireCancelHook();
}

bool IsCancelled(DhTask& task) {
  if (task.status() != kTaskCancelled) return false;
  task.FireCancelHook();
  return true;
}

TaskPtr BeginTask(TaskRegistry& registry, int64_t id) {
  std::lock_guard<std::mutex> lock(registry.mutex);
  TaskPtr& slot = registry.Slot(id);
  if (slot) {
    if (slot->status() == kTaskCancelled) return nullptr;
    return slot;
  }
  slot = std::make_shared<DhTask>(id);
  return slot;
}

TaskRegistry& GlobalTaskRegistry() {
  static TaskRegistry* registry = new TaskRegistry();
  return *registry;
}
