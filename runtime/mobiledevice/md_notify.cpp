#include "md_notify.h"

#include <usbmuxd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "md_device.h"
#include "md_errors.h"
#include "md_pairing.h"

struct __AMDeviceNotification {
  AMDeviceNotificationCallback callback = nullptr;
  void* context = nullptr;
  CFRunLoopRef loop = nullptr;
  std::mutex mutex;  // guards active; held while the callback runs
  bool active = true;
};

namespace md {
namespace {

using Subscription = std::shared_ptr<__AMDeviceNotification>;

// Guards the subscription list and the watch. Held while an event updates the device table
// and is posted, so a new subscriber sees each device exactly once: either in the snapshot
// it takes or in a later event.
std::mutex g_subs_mutex;
std::vector<Subscription>* g_subs = new std::vector<Subscription>();

// Guards g_watch. Never held together with g_subs_mutex: libusbmuxd calls OnMuxEvent
// holding its own lock, which usbmuxd_events_subscribe also takes.
std::mutex g_watch_mutex;
usbmuxd_subscription_context_t g_watch = nullptr;

struct Delivery {
  Subscription subscription;
  AMDeviceRef device;
  unsigned message;
};

// Runs on the subscriber's run-loop thread.
void Deliver(void* context) {
  std::unique_ptr<Delivery> d(static_cast<Delivery*>(context));
  auto& sub = *d->subscription;
  std::lock_guard<std::mutex> lock(sub.mutex);
  if (!sub.active) return;
  AMDeviceNotificationCallbackInfo info{d->device, d->message, &sub};
  sub.callback(&info, sub.context);
}

void PostLocked(const Subscription& sub, AMDeviceRef device, unsigned message) {
  CFRunLoopPerformFunction(sub->loop, Deliver, new Delivery{sub, device, message});
}

void PostToAllLocked(AMDeviceRef device, unsigned message) {
  for (const auto& sub : *g_subs) PostLocked(sub, device, message);
}

// libusbmuxd's event thread. Nothing here blocks on a device: the table update is a flag
// change and delivery is a queue push.
void OnMuxEvent(const usbmuxd_event_t* event, void*) {
  if (!event) return;
  std::lock_guard<std::mutex> lock(g_subs_mutex);
  switch (event->event) {
    case UE_DEVICE_ADD:
      if (AMDeviceRef d = AttachDevice(event->device)) {
        PostToAllLocked(d, kADNCIMessageConnected);
      }
      break;
    case UE_DEVICE_REMOVE:
      if (AMDeviceRef d = DetachDevice(event->device)) {
        PairingDeviceDetached(d);
        PostToAllLocked(d, kADNCIMessageDisconnected);
      }
      break;
    case UE_DEVICE_PAIRED:
      if (AMDeviceRef d = AttachDevice(event->device)) {
        ForgetPairing(d);  // a pair record was saved: read it again
        if (PairingShouldAnnounce(d)) PostToAllLocked(d, kMessageTrustAuthorization);
      }
      break;
    default:
      break;
  }
}

// libusbmuxd waits for a missing socket by watching the default socket's folder, which
// never fires for a socket elsewhere (USBMUXD_SOCKET_ADDRESS is read on every connect, so
// the address may also change later); polling once a second notices a daemon that starts
// or restarts at any address.
void PreferPollingForMissingSocket() { libusbmuxd_set_use_inotify(0); }

}  // namespace

void PostToAll(AMDeviceRef device, unsigned message) {
  std::lock_guard<std::mutex> lock(g_subs_mutex);
  PostToAllLocked(device, message);
}

}  // namespace md

extern "C" {

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int,
                                  unsigned int, void* context,
                                  AMDeviceNotificationRef* subscription) {
  if (!callback || !subscription) return md::kInvalidArgumentError;
  *subscription = nullptr;
  auto sub = std::make_shared<__AMDeviceNotification>();
  sub->callback = callback;
  sub->context = context;
  sub->loop = CFRunLoopGetCurrent();
  if (!sub->loop) return md::kNoResourcesError;
  {
    std::lock_guard<std::mutex> lock(md::g_watch_mutex);
    if (!md::g_watch) {
      md::PreferPollingForMissingSocket();
      if (usbmuxd_events_subscribe(&md::g_watch, md::OnMuxEvent, nullptr) != 0) {
        md::g_watch = nullptr;
        return md::kMuxError;
      }
    }
  }
  std::lock_guard<std::mutex> lock(md::g_subs_mutex);
  for (AMDeviceRef d : md::AttachedDevices()) {
    md::PostLocked(sub, d, kADNCIMessageConnected);
  }
  md::g_subs->push_back(sub);
  *subscription = sub.get();
  return md::kSuccess;
}

int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription) {
  if (!subscription) return md::kInvalidArgumentError;
  md::Subscription found;
  {
    std::lock_guard<std::mutex> lock(md::g_subs_mutex);
    auto& subs = *md::g_subs;
    for (auto it = subs.begin(); it != subs.end(); ++it) {
      if (it->get() == subscription) {
        found = *it;
        subs.erase(it);
        break;
      }
    }
  }
  if (!found) return md::kInvalidArgumentError;
  // Waits for a callback in progress on another thread; the run-loop thread itself may
  // unsubscribe from inside its callback.
  std::unique_lock<std::mutex> lock(found->mutex, std::try_to_lock);
  if (!lock.owns_lock() && CFRunLoopGetCurrent() != found->loop) lock.lock();
  found->active = false;
  return md::kSuccess;
}

}  // extern "C"
