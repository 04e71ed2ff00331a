// Functions the agent must be able to resolve but never calls: restore mode, the
// notification proxy, and application lookup, removal and transfer. Each fails with
// kUnsupportedError (or null) without touching its arguments beyond clearing outputs.
#include "md_api.h"
#include "md_errors.h"

extern "C" {

AMRestoreModeDeviceRef AMRestoreModeDeviceCreate(unsigned int, unsigned int, unsigned int) {
  return nullptr;
}

int AMRestoreRegisterForDeviceNotifications(AMRestoreDeviceCallback, AMRestoreDeviceCallback,
                                            AMRestoreDeviceCallback, AMRestoreDeviceCallback,
                                            unsigned int, void*) {
  return md::kUnsupportedError;
}

int AMDeviceLookupApplications(AMDeviceRef, CFDictionaryRef, CFDictionaryRef* result) {
  if (result) *result = nullptr;
  return md::kUnsupportedError;
}

int AMDeviceSecureUninstallApplication(AMDServiceConnectionRef, AMDeviceRef, CFStringRef,
                                       CFDictionaryRef, AMDeviceProgressCallback, void*) {
  return md::kUnsupportedError;
}

int AMDeviceSecureTransferPath(int, AMDeviceRef, CFURLRef, CFDictionaryRef,
                               AMDeviceProgressCallback, void*) {
  return md::kUnsupportedError;
}

int AMDPostNotification(AMDServiceHandle, CFStringRef, CFStringRef) {
  return md::kUnsupportedError;
}

int AMDShutdownNotificationProxy(AMDServiceHandle) { return md::kUnsupportedError; }

int AMDListenForNotifications(AMDServiceHandle, AMDNotificationCallback, void*) {
  return md::kUnsupportedError;
}

int AMDObserveNotification(AMDServiceHandle, CFStringRef) { return md::kUnsupportedError; }

CFStringRef AMDCopyErrorText(int error) {
  const char* text = md::ErrorText(error);
  return text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
}

}  // extern "C"
