// lockdownd: frames of property lists fed to the request handler of an in-memory device.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mux/cert_util.h"
#include "lockdown/lockdown_handler.h"
#include "plist/plist_frame.h"

namespace {

class MemoryStream : public devsim::ByteStream {
 public:
  MemoryStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  ssize_t ReadSome(void* buf, size_t len) override {
    size_t n = len < size_ - pos_ ? len : size_ - pos_;
    std::memcpy(buf, data_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  using ByteStream::WriteAll;
  bool WriteAll(const void*, size_t) override { return true; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::shared_ptr<devsim::SimDevice> MakeDevice() {
  using namespace devsim;
  static const std::string pem = PrivateKeyPem(GenerateRsaKey(2048).get());
  Plist values = NewDict();
  Plist root = NewDict();
  SetString(root.get(), "UniqueDeviceID", "00008110-000A1B2C3D4E5F60");
  SetString(root.get(), "DeviceName", "Fuzz Phone");
  SetString(root.get(), "ProductVersion", "17.5");
  SetNode(values.get(), "Root", std::move(root));
  Plist domains = NewDict();
  SetNode(domains.get(), "com.apple.international", NewDict());
  SetNode(values.get(), "Domains", std::move(domains));
  return SimDevice::InMemory(std::move(values), NewDict(), LoadPrivateKeyPem(pem));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace devsim;
  static const ServiceRegistry services = [] {
    ServiceRegistry r;
    ServiceSpec s;
    s.name = "com.apple.afc";
    s.run = [](ServiceContext&) {};
    r.Add(s);
    return r;
  }();
  auto device = MakeDevice();
  device->AnswerTrust(true);
  LockdownHandler handler(*device, services);
  MemoryStream in(data, size);
  std::string body;
  while (ReadFrame(in, kMaxLockdownMessage, &body) == FrameStatus::kOk) {
    Plist req = ParsePlist(body);
    if (!IsDict(req.get())) continue;
    LockdownReply reply = handler.Handle(req.get());
    ToXml(reply.message.get());
  }
  return 0;
}
