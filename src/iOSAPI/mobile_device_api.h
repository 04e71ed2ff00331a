// The MobileDevice library as the agent sees it: device, service, restore and AFC
// functions with their argument lists. The agent calls them only through CMobileExportFun.
#pragma once

#include <cstddef>
#include <cstdint>

#include "iOSAPI/core_foundation_api.h"

extern "C" {

typedef struct __AMDevice* AMDeviceRef;
typedef struct __AMDeviceNotification* AMDeviceNotificationRef;
typedef struct __AMDServiceConnection* AMDServiceConnectionRef;
typedef struct __AMRestoreModeDevice* AMRestoreModeDeviceRef;
typedef struct __AFCConnection* AFCConnectionRef;
typedef struct __AFCDirectory* AFCDirectoryRef;
typedef struct __AFCDictionary* AFCDictionaryRef;  // key/value listing (file or device info)
typedef uint64_t AFCFileRef;
typedef int AMDServiceHandle;  // socket handle of a service started the old way

// Notification messages.
enum { kADNCIMessageConnected = 1, kADNCIMessageDisconnected = 2, kADNCIMessageUnsubscribed = 3 };

struct AMDeviceNotificationCallbackInfo {
  AMDeviceRef device;
  unsigned int message;
  AMDeviceNotificationRef subscription;
};
typedef void (*AMDeviceNotificationCallback)(AMDeviceNotificationCallbackInfo* info, void* context);
typedef void (*AMDeviceProgressCallback)(CFDictionaryRef status, void* context);
typedef void (*AMDNotificationCallback)(CFStringRef name, void* context);
typedef void (*AMRestoreDeviceCallback)(AMRestoreModeDeviceRef device, void* context);

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int unused0,
                                  unsigned int unused1, void* context,
                                  AMDeviceNotificationRef* subscription);
int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription);
int AMDeviceGetInterfaceType(AMDeviceRef device);
int AMDeviceConnect(AMDeviceRef device);
int AMDeviceDisconnect(AMDeviceRef device);
int AMDeviceIsPaired(AMDeviceRef device);
int AMDeviceValidatePairing(AMDeviceRef device);
int AMDeviceStartSession(AMDeviceRef device);
int AMDeviceStopSession(AMDeviceRef device);
unsigned int AMDeviceGetConnectionID(AMDeviceRef device);
// The device's identifier as usbmuxd reports it (its serial), known before pairing; the
// caller releases it. Null for an unknown device.
CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device);
int AMDevicePair(AMDeviceRef device);
CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);
int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value);
int AMDeviceStartService(AMDeviceRef device, CFStringRef name, AMDServiceHandle* handle,
                         unsigned int* unknown);
int AMDeviceSecureStartService(AMDeviceRef device, CFStringRef name, CFDictionaryRef options,
                               AMDServiceConnectionRef* connection);
int AMDeviceLookupApplications(AMDeviceRef device, CFDictionaryRef options,
                               CFDictionaryRef* result);
int AMDeviceSecureUninstallApplication(AMDServiceConnectionRef connection, AMDeviceRef device,
                                       CFStringRef bundle_id, CFDictionaryRef options,
                                       AMDeviceProgressCallback callback, void* context);
int AMDeviceSecureTransferPath(int unknown, AMDeviceRef device, CFURLRef url,
                               CFDictionaryRef options, AMDeviceProgressCallback callback,
                               void* context);

AMRestoreModeDeviceRef AMRestoreModeDeviceCreate(unsigned int unknown0, unsigned int connection_id,
                                                 unsigned int unknown1);
int AMRestoreRegisterForDeviceNotifications(AMRestoreDeviceCallback dfu_connect,
                                            AMRestoreDeviceCallback recovery_connect,
                                            AMRestoreDeviceCallback dfu_disconnect,
                                            AMRestoreDeviceCallback recovery_disconnect,
                                            unsigned int unknown, void* context);

int AMDServiceConnectionSend(AMDServiceConnectionRef connection, const void* data, size_t size);
int AMDServiceConnectionReceive(AMDServiceConnectionRef connection, void* data, size_t size);
int AMDServiceConnectionGetSocket(AMDServiceConnectionRef connection);
int AMDServiceConnectionInvalidate(AMDServiceConnectionRef connection);
void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef connection);

int AMDPostNotification(AMDServiceHandle handle, CFStringRef notification, CFStringRef user_info);
int AMDShutdownNotificationProxy(AMDServiceHandle handle);
int AMDListenForNotifications(AMDServiceHandle handle, AMDNotificationCallback callback,
                              void* context);
int AMDObserveNotification(AMDServiceHandle handle, CFStringRef notification);
CFStringRef AMDCopyErrorText(int error);

int AFCConnectionOpen(AMDServiceHandle handle, unsigned int io_timeout,
                      AFCConnectionRef* connection);
int AFCConnectionClose(AFCConnectionRef connection);
int AFCConnectionSetSecureContext(AFCConnectionRef connection, void* secure_context);
CFStringRef AFCCopyErrorString(AFCConnectionRef connection);
int AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory);
int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** entry);
int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory);
int AFCDirectoryCreate(AFCConnectionRef connection, const char* path);
int AFCRemovePath(AFCConnectionRef connection, const char* path);
int AFCRenamePath(AFCConnectionRef connection, const char* from, const char* to);
int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCDictionaryRef* info);
int AFCDeviceInfoOpen(AFCConnectionRef connection, AFCDictionaryRef* info);
int AFCKeyValueRead(AFCDictionaryRef info, char** key, char** value);
int AFCKeyValueClose(AFCDictionaryRef info);
int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode, AFCFileRef* file);
int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file);
int AFCFileRefLock(AFCConnectionRef connection, AFCFileRef file, uint64_t operation);
int AFCFileRefUnlock(AFCConnectionRef connection, AFCFileRef file);
int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer, size_t* length);
int AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef file, const void* buffer,
                    size_t length);
int AFCFlushData(AFCConnectionRef connection, AFCFileRef file);
int AFCFileRefTell(AFCConnectionRef connection, AFCFileRef file, uint64_t* position);
int AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, int64_t offset, uint64_t whence);
int AFCFileRefSetFileSize(AFCConnectionRef connection, AFCFileRef file, uint64_t size);

}  // extern "C"
