// The backup service as a host drives it: the input is everything the host sends (DeviceLink
// frames and the raw file stream, interleaved), the device's output is dropped. One scratch
// device serves every input; whatever a restore writes must stay inside its farm folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "services/backup/backup_service.h"
#include "farm/farm.h"
#include "farm/farm_builder.h"
#include "lockdown/sim_device.h"

namespace {

namespace fs = std::filesystem;

class InputStream : public devsim::ByteStream {
 public:
  InputStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  ssize_t ReadSome(void* buf, size_t len) override {
    size_t n = std::min(len, size_ - pos_);
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

struct Scratch {
  fs::path dir;
  std::shared_ptr<devsim::SimDevice> device;
  Scratch() {
    char tmpl[] = "/tmp/devsim-backup-fuzz-XXXXXX";
    dir = mkdtemp(tmpl);
    devsim::Farm farm(dir / "farm");
    std::string error;
    farm.Open(&error);
    devsim::DeviceSpec spec;
    spec.udid = "FUZZ-DEVICE";
    spec.media_files = 1;
    spec.backup_files = 3;
    spec.backup_bytes = 3000;
    devsim::AddDevice(farm, spec, &error);
    device = devsim::SimDevice::Load(farm.DeviceDir("FUZZ-DEVICE"), &error);
    if (!device) __builtin_trap();
  }
};

Scratch& Shared() {
  static Scratch s;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch& s = Shared();
  InputStream stream(data, size);
  devsim::PendingService started{"com.apple.mobilebackup2", "", false};
  devsim::ServiceContext ctx{*s.device, stream, started};
  devsim::ServeBackup(ctx);
  for (const auto& entry : fs::directory_iterator(s.dir)) {
    if (entry.path().filename() != "farm") __builtin_trap();
  }
  return 0;
}
