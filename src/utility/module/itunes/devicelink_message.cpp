#include "utility/module/itunes/devicelink_message.h"

#include "common/binary_plist.h"
#include "common/plist_message.h"
#include "common/plist_reader.h"
#include "common/xml_text.h"

namespace {

constexpr char kHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist version=\"1.0\">";
constexpr char kTail[] = "</plist>";
constexpr char kEmpty[] = "<string>___EmptyParameterString___</string>";

std::string Plist(const std::string& body) { return kHead + body + kTail; }

std::string Text(const std::string& text) { return "<string>" + XmlEscape(text) + "</string>"; }

std::string Status(const std::string& tail) {
  return Plist("<array><string>DLMessageStatusResponse</string><integer>0</integer>" +
               std::string(kEmpty) + tail + "</array>");
}

}  // namespace

DeviceLinkCode DeviceLinkCodeOf(const std::u16string& name) {
  static const std::pair<const char16_t*, DeviceLinkCode> kNames[] = {
      {u"DLMessageDownloadFiles", kDLDownloadFiles},
      {u"DLContentsOfDirectory", kDLContentsOfDirectory},
      {u"DLMessageGetFreeDiskSpace", kDLGetFreeDiskSpace},
      {u"DLMessageCreateDirectory", kDLCreateDirectory},
      {u"DLMessageMoveItems", kDLMoveItems},
      {u"DLMessageRemoveFiles", kDLRemoveFiles},
      {u"DLMessageDisconnect", kDLDisconnect},
      {u"DLMessageCopyItem", kDLCopyItem},
      {u"DLMessageRemoveItems", kDLRemoveItems},
      {u"DLMessageProcessMessage", kDLProcessMessage},
      {u"DLMessageUploadFiles", kDLUploadFiles},
      {u"DLMessageMoveFiles", kDLMoveFiles},
      {u"DLMessagePurgeDiskSpace", kDLPurgeDiskSpace},
  };
  for (const auto& [text, code] : kNames) {
    if (name == text) return code;
  }
  return kDLOther;
}

bool ParseDeviceLinkMessage(const void* bytes, size_t length, DeviceLinkMessage* message) {
  PlistValue parsed;
  if (!PlistBytesToValue(bytes, length, &parsed) || parsed.tag() != kPlistArray ||
      parsed.array().empty()) {
    return false;
  }
  const PlistValue& top = parsed.array()[0];
  if (top.tag() != kPlistArray || top.array().empty() || top.array()[0].tag() != kPlistText) {
    return false;
  }
  message->items = top.array();
  message->code = DeviceLinkCodeOf(message->items[0].text());
  return true;
}

bool MessageProgress(const DeviceLinkMessage& message, double* progress) {
  for (size_t i = 1; i < message.items.size(); ++i) {
    if (message.items[i].tag() == kPlistReal) {
      *progress = message.items[i].real();
      return true;
    }
  }
  return false;
}

bool SendXmlMessage(AMDServiceConnectionRef connection, const std::string& xml) {
  BinaryPlistPtr binary = XmlToBinaryPlist(xml.data(), xml.size());
  return binary && SendPlistMessage(connection, binary.get());
}

std::string EmptyStatusResponse() { return Status("<dict/>"); }

std::string TwoEmptyParametersResponse() { return Status(kEmpty); }

std::string FreeSpaceResponse(int64_t free_bytes) {
  return Status("<integer>" + std::to_string(free_bytes) + "</integer>");
}

std::string MissingFileResponse(const std::string& path) {
  return FileErrorResponse(path, -6, "No such file or directory");
}

std::string ErrorStatusResponse(int code, const std::string& text) {
  return Plist("<array><string>DLMessageStatusResponse</string><integer>" +
               std::to_string(code) + "</integer>" + Text(text) + "<dict/></array>");
}

std::string FileErrorResponse(const std::string& path, int file_code, const std::string& text) {
  return Plist(
      "<array><string>DLMessageStatusResponse</string><integer>-13</integer>"
      "<string>Multi status</string><dict><key>" +
      XmlEscape(path) + "</key><dict><key>DLFileErrorCode</key><integer>" +
      std::to_string(file_code) + "</integer><key>DLFileErrorString</key>" + Text(text) +
      "</dict></dict></array>");
}

std::string HelloRequest() {
  return Plist(
      "<array><string>DLMessageProcessMessage</string><dict><key>MessageName</key>"
      "<string>Hello</string><key>SupportedProtocolVersions</key><array><integer>2</integer>"
      "<real>2.1</real></array></dict></array>");
}

std::string BackupRequest(const std::string& target) {
  return Plist(
      "<array><string>DLMessageProcessMessage</string><dict><key>MessageName</key>"
      "<string>Backup</string><key>TargetIdentifier</key>" +
      Text(target) + "</dict></array>");
}

std::string ChangePasswordRequest(const std::string& target, const std::string& new_password) {
  return Plist(
      "<array><string>DLMessageProcessMessage</string><dict><key>MessageName</key>"
      "<string>ChangePassword</string><key>TargetIdentifier</key>" +
      Text(target) + "<key>NewPassword</key>" + Text(new_password) + "</dict></array>");
}

std::string RestoreRequest(const std::string& source, const std::string& target,
                           bool encrypted, const std::string& password) {
  std::string options = "<key>RestoreDontCopyBackup</key><true/>";
  if (encrypted) options += "<key>Password</key>" + Text(password);
  return Plist(
      "<array><string>DLMessageProcessMessage</string><dict><key>MessageName</key>"
      "<string>Restore</string><key>Options</key><dict>" +
      options + "</dict><key>SourceIdentifier</key>" + Text(source) +
      "<key>TargetIdentifier</key>" + Text(target) + "</dict></array>");
}
