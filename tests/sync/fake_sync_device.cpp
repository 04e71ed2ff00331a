#include "fake_sync_device.h"

#include <sys/socket.h>
#include <unistd.h>

#include "common/binary_plist.h"
#include "common/plist_reader.h"
#include "common/text_convert.h"
#include "utility/module/sync/plist_xml_writer.h"

namespace {

bool ReadAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

const std::string kPlistHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";

std::string Message(const std::string& inner) { return kPlistHead + "<array>" + inner + "</array></plist>"; }
std::string Str(const std::string& s) { return "<string>" + XmlEscape(s) + "</string>"; }

}  // namespace

std::string ElementText(const PlistValue& message, size_t i) {
  if (message.tag() != kPlistArray || i >= message.array().size()) return {};
  return Utf16ToUtf8(message.array()[i].text());
}

std::string BatchXml(const std::string& data_class, const std::string& records_xml, bool more) {
  return Message(Str("SDMessageProcessChanges") + Str(data_class) + records_xml +
                 (more ? "<true/>" : "<false/>") + "<dict/>");
}

FakeSyncDevice::FakeSyncDevice() { socketpair(AF_UNIX, SOCK_STREAM, 0, fds_); }

FakeSyncDevice::~FakeSyncDevice() { Stop(); }

AMDServiceConnectionRef FakeSyncDevice::connection() const {
  return reinterpret_cast<AMDServiceConnectionRef>(static_cast<intptr_t>(fds_[0]));
}

void FakeSyncDevice::Start() { thread_ = std::thread([this] { Run(); }); }

void FakeSyncDevice::Stop() {
  if (fds_[0] >= 0) shutdown(fds_[0], SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  for (int& fd : fds_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

std::vector<PlistValue> FakeSyncDevice::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> FakeSyncDevice::names() const {
  std::vector<std::string> out;
  for (const PlistValue& m : received()) out.push_back(ElementText(m, 0));
  return out;
}

void FakeSyncDevice::SendXml(const std::string& xml) {
  BinaryPlistPtr bytes = XmlToBinaryPlist(xml.data(), xml.size());
  if (!bytes) return;
  const uint32_t n = bytes->length;
  const uint8_t head[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  WriteAll(fds_[1], head, 4);
  WriteAll(fds_[1], bytes->bytes, n);
}

void FakeSyncDevice::Run() {
  SendXml(Message(Str("DLMessageVersionExchange") + "<integer>300</integer><integer>100</integer>"));
  for (;;) {
    uint8_t head[4];
    if (!ReadAll(fds_[1], head, 4)) return;
    const uint32_t n = (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) |
                       (uint32_t{head[2]} << 8) | head[3];
    std::string body(n, '\0');
    if (!ReadAll(fds_[1], body.data(), n)) return;
    PlistValue decoded;
    if (!PlistBytesToValue(body.data(), body.size(), &decoded) || decoded.array().empty()) return;
    const PlistValue message = decoded.array()[0];
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(message);
    }
    std::vector<std::string> answers =
        override_answer ? override_answer(message) : std::vector<std::string>();
    if (answers.empty()) answers = Answer(message);
    for (const std::string& xml : answers) SendXml(xml);
  }
}

std::vector<std::string> FakeSyncDevice::Answer(const PlistValue& message) {
  const std::string name = ElementText(message, 0);
  const std::string data_class = ElementText(message, 1);
  if (name == "DLMessageVersionExchange") return {Message(Str("DLMessageDeviceReady"))};
  if (name == "SDMessageSyncDataClassWithDevice") {
    return {Message(Str("SDMessageSyncDataClassWithComputer") + Str(data_class) + Str("---") +
                    Str("anchor") + Str("SDSyncTypeSlow") + "<integer>106</integer>")};
  }
  if (name == "SDMessageGetAllRecordsFromDevice") {
    pulling_ = true;
    next_batch_ = 0;
  }
  if (name == "SDMessageGetChangesFromDevice") {
    pulling_ = false;
    changes_left_ = change_batches;
  }
  if (name == "SDMessageGetAllRecordsFromDevice" ||
      (name == "SDMessageAcknowledgeChangesFromDevice" && pulling_)) {
    if (next_batch_ < batches.size()) {
      const size_t i = next_batch_++;
      return {BatchXml(data_class, batches[i], next_batch_ < batches.size())};
    }
    return {Message(Str("SDMessageDeviceReadyToReceiveChanges") + Str(data_class))};
  }
  if (name == "SDMessageGetChangesFromDevice" || name == "SDMessageAcknowledgeChangesFromDevice") {
    if (changes_left_ > 0) {
      --changes_left_;
      return {BatchXml(data_class, "<dict/>", changes_left_ > 0)};
    }
    return {Message(Str("SDMessageDeviceReadyToReceiveChanges") + Str(data_class))};
  }
  if (name == "SDMessageProcessChanges") {
    std::string map = "<dict>";
    if (message.array().size() > 2 && message.array()[2].dictionary() != nullptr) {
      for (const auto& [id, value] : message.array()[2].dictionary()->items()) {
        if (value.dictionary() == nullptr) continue;
        map += "<key>" + XmlEscape(id) + "</key>" + Str(assign(id));
      }
    }
    map += "</dict>";
    return {Message(Str("SDMessageRemapRecordIdentifiers") + Str(data_class) + map)};
  }
  if (name == "SDMessageFinishSessionOnDevice") {
    return {Message(Str("SDMessageDeviceFinishedSession") + Str(data_class))};
  }
  return {};  // pings and anything else get no answer
}

PlistValue DecodeXml(const std::string& xml) {
  BinaryPlistPtr bytes = XmlToBinaryPlist(xml.data(), xml.size());
  PlistValue all;
  if (!bytes || !PlistBytesToValue(bytes->bytes, bytes->length, &all) || all.array().empty()) {
    return {};
  }
  return all.array()[0];
}
