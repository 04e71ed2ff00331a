#include "md_test_support.h"

namespace md::testing {

std::string Simulator::AddDevice(uint64_t seed, const std::vector<std::string>& flags) {
  std::vector<std::string> argv = {VADO_DEVSIM_PATH, "mkfarm", harness_.farm_dir().string(),
                                   "--seed", std::to_string(seed)};
  argv.insert(argv.end(), flags.begin(), flags.end());
  auto r = harness_.Run(argv);
  if (r.status != 0) return {};
  std::string out = r.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  const size_t nl = out.rfind('\n');
  return nl == std::string::npos ? out : out.substr(nl + 1);
}

bool Simulator::Start() {
  if (!harness_.Start()) return false;
  harness_.ExportSocket();
  return true;
}

bool Simulator::Control(const std::vector<std::string>& args) {
  return harness_.Control(args).status == 0;
}

MonitorThread::MonitorThread() {
  thread_ = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return ready_; });
}

MonitorThread::~MonitorThread() {
  CFRunLoopRef loop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop = loop_;
  }
  CFRunLoopPerformFunction(
      loop,
      [](void* self) {
        auto* me = static_cast<MonitorThread*>(self);
        if (me->subscription_) AMDeviceNotificationUnsubscribe(me->subscription_);
        CFRunLoopStop(CFRunLoopGetCurrent());
      },
      this);
  thread_.join();
}

void MonitorThread::OnNotification(AMDeviceNotificationCallbackInfo* info, void* context) {
  auto* me = static_cast<MonitorThread*>(context);
  std::lock_guard<std::mutex> lock(me->mutex_);
  me->events_.push_back({info->device, info->message, std::this_thread::get_id()});
  me->changed_.notify_all();
}

void MonitorThread::Run() {
  subscribe_result_ = AMDeviceNotificationSubscribe(OnNotification, 0, 0, this, &subscription_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop_ = CFRunLoopGetCurrent();
    ready_ = true;
    changed_.notify_all();
  }
  CFRunLoopRun();
}

Event MonitorThread::WaitFor(const std::function<bool(const Event&)>& match, size_t from) {
  std::unique_lock<std::mutex> lock(mutex_);
  Event found{nullptr, 0, {}};
  changed_.wait_for(lock, kEventWait, [&] {
    for (size_t i = from; i < events_.size(); ++i) {
      if (match(events_[i])) {
        found = events_[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

Event MonitorThread::WaitForMessage(unsigned message, size_t from) {
  return WaitFor([message](const Event& e) { return e.message == message; }, from);
}

std::vector<Event> MonitorThread::events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

CFStringRef Str(const char* text) { return __CFStringMakeConstantString(text); }

std::string Utf8(CFTypeRef string) {
  if (!string || CFGetTypeID(string) != CFStringGetTypeID()) return {};
  char buffer[1024];
  if (!CFStringGetCString(static_cast<CFStringRef>(string), buffer, sizeof buffer,
                          kCFStringEncodingUTF8)) {
    return {};
  }
  return buffer;
}

void OpenSession(AMDeviceRef device) {
  ASSERT_EQ(AMDeviceConnect(device), 0);
  ASSERT_EQ(AMDeviceIsPaired(device), 1);
  ASSERT_EQ(AMDeviceValidatePairing(device), 0);
  ASSERT_EQ(AMDeviceStartSession(device), 0);
}

}  // namespace md::testing
