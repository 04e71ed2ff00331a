// Device-link messages of the backup service: what the computer sends (XML templates
// sent as binary property lists) and how a received message is classified.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/plist_value.h"
#include "iOSAPI/mobile_device_api.h"

enum DeviceLinkCode : int32_t {
  kDLOther = 0,
  kDLDownloadFiles = 1,
  kDLContentsOfDirectory = 2,
  kDLGetFreeDiskSpace = 3,
  kDLCreateDirectory = 4,
  kDLMoveItems = 5,
  kDLRemoveFiles = 7,
  kDLDisconnect = 8,
  kDLCopyItem = 9,
  kDLRemoveItems = 10,
  kDLProcessMessage = 11,
  kDLUploadFiles = 12,
  // Requests the device may send that the table above leaves at 0; each waits for a
  // status response like the others.
  kDLMoveFiles = 13,
  kDLPurgeDiskSpace = 14,
};

// The code of a message name; kDLOther for every other name.
DeviceLinkCode DeviceLinkCodeOf(const std::u16string& name);

// One received message: its top array (element 0 is the name).
struct DeviceLinkMessage {
  DeviceLinkCode code = kDLOther;
  PlistValue::Array items;
};

// Converts message bytes; false unless they hold an array whose first element is a text.
bool ParseDeviceLinkMessage(const void* bytes, size_t length, DeviceLinkMessage* message);

// The message's progress: its first real-typed element after the name (byte counts are
// integers and do not count). False when there is none.
bool MessageProgress(const DeviceLinkMessage& message, double* progress);

// Sends an XML property-list text as one framed binary message.
bool SendXmlMessage(AMDServiceConnectionRef connection, const std::string& xml);

// Message texts.
std::string EmptyStatusResponse();
std::string TwoEmptyParametersResponse();
std::string FreeSpaceResponse(int64_t free_bytes);
std::string MissingFileResponse(const std::string& path);
// A failed request: the negative device-link error code and its text, an empty dictionary.
std::string ErrorStatusResponse(int code, const std::string& text);
// "Multi status" (-13) naming one path with its file error code and text.
std::string FileErrorResponse(const std::string& path, int file_code, const std::string& text);
std::string HelloRequest();
std::string BackupRequest(const std::string& target);
// Turns backup encryption on with `new_password` (the device refuses when it is on already).
std::string ChangePasswordRequest(const std::string& target, const std::string& new_password);
std::string RestoreRequest(const std::string& source, const std::string& target,
                           bool encrypted, const std::string& password);
