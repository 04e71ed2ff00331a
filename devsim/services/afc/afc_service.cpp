#include "services/afc/afc_service.h"

#include <cstdio>

namespace devsim {
namespace {

uint64_t DiskValue(SimDevice& device, const char* key) {
  std::string error;
  Plist v = device.GetValue(std::string("com.apple.disk_usage"), std::string(key), true, &error);
  uint64_t n = 0;
  if (v && plist_get_node_type(v.get()) == PLIST_UINT) plist_get_uint_val(v.get(), &n);
  return n;
}

// Bytes moved by file writes and reads on one connection, for the injected faults.
struct TransferCount {
  int64_t written = 0;
  int64_t read = 0;
};

// Whether a fault fails this request: a rename while renames are refused, a write that
// would take the connection's total past the limit, a read once the total read has reached
// it. Counts the bytes a write carries otherwise (reads are counted by their answers).
bool InjectedFailure(SimDevice& device, const afc::Header& h, size_t payload_size,
                     TransferCount* moved) {
  if (h.operation == afc::kOpRenamePath) return device.faults().afc_fail_rename;
  if (h.operation != afc::kOpFileRefWrite && h.operation != afc::kOpFileRefRead) return false;
  const DeviceFaults faults = device.faults();
  if (h.operation == afc::kOpFileRefWrite) {
    const int64_t after = moved->written + static_cast<int64_t>(payload_size);
    if (faults.afc_fail_write_after >= 0 && after > faults.afc_fail_write_after) return true;
    moved->written = after;
    return false;
  }
  return faults.afc_fail_read_after >= 0 && moved->read >= faults.afc_fail_read_after;
}

void Serve(ServiceContext& ctx, const std::filesystem::path& root) {
  AfcSession session(root, [&ctx] { return AfcDeviceInfo(ctx.device); },
                     &ctx.device.partition());
  if (!session.valid()) {
    std::fprintf(stderr, "vado-devsimd: AFC root missing: %s\n", root.c_str());
    return;
  }
  std::string data, payload;
  AfcReply reply;
  TransferCount moved;
  for (;;) {
    uint8_t raw[afc::kHeaderSize];
    if (!ctx.stream.ReadExact(raw, sizeof raw)) return;
    afc::Header h;
    afc::HeaderError err = afc::DecodeHeader(raw, &h);
    if (err != afc::HeaderError::kNone) {
      // Lengths cannot be trusted any more, so the stream cannot be resynchronised.
      std::string status = afc::ReplyHeader(h.packet_num, afc::kOpStatus, 8, 0);
      afc::AppendLe64(&status, err == afc::HeaderError::kPayloadTooLong ? afc::kTooMuchData
                                                                       : afc::kOpHeaderInvalid);
      ctx.stream.WriteAll(status);
      return;
    }
    data.resize(h.this_length - afc::kHeaderSize);
    payload.resize(h.entire_length - h.this_length);
    if (!data.empty() && !ctx.stream.ReadExact(data.data(), data.size())) return;
    if (!payload.empty() && !ctx.stream.ReadExact(payload.data(), payload.size())) return;
    const bool transfer =
        h.operation == afc::kOpFileRefWrite || h.operation == afc::kOpFileRefRead;
    const SimDevice::AfcFault fault =
        transfer ? ctx.device.BeforeAfcTransfer(h.operation == afc::kOpFileRefWrite,
                                                payload.size())
                 : SimDevice::AfcFault::kNone;
    if (fault == SimDevice::AfcFault::kUnplug) {
      // As if the cable came out with the request on its way: no answer, no connection.
      ctx.device.RequestUnplug();
      return;
    }
    if (fault == SimDevice::AfcFault::kFail || InjectedFailure(ctx.device, h, payload.size(), &moved)) {
      std::string status = afc::ReplyHeader(h.packet_num, afc::kOpStatus, 8, 0);
      afc::AppendLe64(&status, afc::kIoError);
      if (!ctx.stream.WriteAll(status)) return;
      continue;
    }
    session.Handle(h, data, payload, &reply);
    if (h.operation == afc::kOpFileRefRead) {
      moved.read += static_cast<int64_t>(reply.body.size());
      ctx.device.AfterAfcRead(reply.body.size());
    }
    if (!ctx.stream.WriteTwo(reply.head.data(), reply.head.size(), reply.body.data(),
                             reply.body.size())) {
      return;
    }
    // Keep a big write buffer from one upload for later ones, but not an unbounded one.
    if (payload.capacity() > (8u << 20)) std::string().swap(payload);
  }
}

}  // namespace

KeyValues AfcDeviceInfo(SimDevice& device) {
  return {
      {"Model", device.RootString("ProductType").value_or("")},
      {"FSTotalBytes", std::to_string(DiskValue(device, "TotalDataCapacity"))},
      {"FSFreeBytes", std::to_string(DiskValue(device, "TotalDataAvailable"))},
      {"FSBlockSize", "4096"},
  };
}

void ServeAfc(ServiceContext& ctx) { Serve(ctx, ctx.device.MediaRoot()); }
void ServeAfc2(ServiceContext& ctx) { Serve(ctx, ctx.device.FsRoot()); }

}  // namespace devsim
