#include "mux/mux_session.h"

#include <sys/socket.h>

#include <cstdio>

#include "mux/byte_stream.h"
#include "lockdown/control.h"
#include "mux/daemon.h"
#include "mux/device_conn.h"
#include "mux/usbmux_wire.h"

namespace devsim {
namespace {

using namespace usbmux;

bool Send(ByteStream& out, const std::string& packet) { return out.WriteAll(packet); }

bool SendResult(ByteStream& out, uint32_t tag, uint64_t number) {
  return Send(out, EncodeResultPacket(tag, number));
}

bool SendBody(ByteStream& out, uint32_t tag, plist_t body) {
  return Send(out, EncodePlistPacket(tag, body));
}

// Blocks until the client closes its Listen connection; it sends nothing more.
void StayListening(Daemon& daemon, int fd, uint32_t tag) {
  daemon.table().AddListener(fd, tag);
  char buf[256];
  while (recv(fd, buf, sizeof buf, 0) > 0) {
  }
  daemon.table().RemoveListener(fd);
}

// Returns true when the connection now belongs to a device port (served to its end).
bool Connect(Daemon& daemon, int fd, ByteStream& out, uint32_t tag, const Request& req) {
  if (!req.device_id) {
    SendResult(out, tag, kResultBadDevice);
    return false;
  }
  if (!req.port_number_raw) {
    SendResult(out, tag, kResultBadCommand);
    return false;
  }
  auto port = DecodePort(*req.port_number_raw);
  AttachedDevice dev;
  if (*req.device_id > UINT32_MAX || !daemon.table().FindById(static_cast<uint32_t>(*req.device_id), &dev)) {
    SendResult(out, tag, kResultBadDevice);
    return false;
  }
  if (!port) {
    SendResult(out, tag, kResultConnRefused);
    return false;
  }
  SimDevice& device = *dev.device;
  if (*port == kLockdownPort) {
    if (device.ConsumeLockdownRefusal()) {
      SendResult(out, tag, kResultConnRefused);
      return false;
    }
    daemon.BindConnection(fd, device.udid());
    if (!SendResult(out, tag, kResultOk)) return true;
    ServeLockdown(fd, device, daemon.services());
    return true;
  }
  auto pending = device.TakeServicePort(*port);
  const ServiceSpec* spec = pending ? daemon.services().Find(pending->name, device) : nullptr;
  if (!spec) {
    SendResult(out, tag, kResultConnRefused);
    return false;
  }
  daemon.BindConnection(fd, device.udid());
  if (!SendResult(out, tag, kResultOk)) return true;
  ServeService(fd, device, *spec, *pending);
  return true;
}

void SavePairRecord(Daemon& daemon, ByteStream& out, uint32_t tag, const Request& req) {
  if (!req.pair_record_id || !req.pair_record_data || req.pair_record_data->size() < 8 ||
      !IsDict(ParsePlist(*req.pair_record_data).get())) {
    SendResult(out, tag, kResultInvalid);
    return;
  }
  if (!daemon.farm().SavePairRecord(*req.pair_record_id, *req.pair_record_data)) {
    SendResult(out, tag, kResultInvalid);
    return;
  }
  SendResult(out, tag, kResultOk);
  AttachedDevice dev;
  if (req.device_id && *req.device_id <= UINT32_MAX &&
      daemon.table().FindById(static_cast<uint32_t>(*req.device_id), &dev) &&
      dev.device->udid() == *req.pair_record_id) {
    daemon.table().NotifyPaired(dev.id);
  }
}

}  // namespace

void ServeMuxClient(Daemon& daemon, int fd) {
  SocketStream out(fd);
  std::string payload;
  for (;;) {
    uint8_t raw[kHeaderSize];
    if (!out.ReadExact(raw, sizeof raw)) return;
    Header h;
    HeaderError herr = DecodeHeader(raw, &h);
    if (herr != HeaderError::kNone) {
      // The stream cannot be resynchronised after a bad length: answer and hang up.
      SendResult(out, h.tag, kResultBadCommand);
      return;
    }
    payload.resize(h.length - kHeaderSize);
    if (!payload.empty() && !out.ReadExact(payload.data(), payload.size())) return;
    if (h.version != kVersionPlist || h.message != kMessagePlist) {
      SendResult(out, h.tag, h.version > kVersionPlist ? kResultBadVersion : kResultBadCommand);
      continue;
    }
    Request req;
    std::string why;
    if (!ParseRequest(payload, &req, &why)) {
      SendResult(out, h.tag, kResultBadCommand);
      continue;
    }
    const std::string& type = req.message_type;
    if (type == "ListDevices") {
      Plist list = NewArray();
      for (const auto& a : daemon.table().Attached()) {
        plist_array_append_item(list.get(), AttachedRecord(a).release());
      }
      Plist body = NewDict();
      SetNode(body.get(), "DeviceList", std::move(list));
      if (!SendBody(out, h.tag, body.get())) return;
    } else if (type == "Listen") {
      StayListening(daemon, fd, h.tag);
      return;
    } else if (type == "Connect") {
      if (Connect(daemon, fd, out, h.tag, req)) return;
    } else if (type == "ReadBUID") {
      Plist body = NewDict();
      SetString(body.get(), "BUID", daemon.farm().system_buid());
      if (!SendBody(out, h.tag, body.get())) return;
    } else if (type == "ReadPairRecord") {
      if (!req.pair_record_id) {
        SendResult(out, h.tag, kResultInvalid);
        continue;
      }
      auto rec = daemon.farm().ReadPairRecord(*req.pair_record_id);
      if (!rec) {
        SendResult(out, h.tag, kResultNotFound);
        continue;
      }
      Plist body = NewDict();
      SetData(body.get(), "PairRecordData", *rec);
      if (!SendBody(out, h.tag, body.get())) return;
    } else if (type == "SavePairRecord") {
      SavePairRecord(daemon, out, h.tag, req);
    } else if (type == "DeletePairRecord") {
      if (!req.pair_record_id) {
        SendResult(out, h.tag, kResultInvalid);
        continue;
      }
      bool removed = daemon.farm().DeletePairRecord(*req.pair_record_id);
      SendResult(out, h.tag, removed ? kResultOk : kResultNotFound);
    } else if (type == "ListListeners") {
      Plist body = NewDict();
      SetNode(body.get(), "ListenerList", NewArray());
      if (!SendBody(out, h.tag, body.get())) return;
    } else if (type == kControlMessageType) {
      Plist reply = HandleControl(daemon, req.body.get());
      if (!SendBody(out, h.tag, reply.get())) return;
    } else {
      if (!SendResult(out, h.tag, kResultBadCommand)) return;
    }
  }
}

}  // namespace devsim
