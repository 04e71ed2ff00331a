#include "backup_host.h"

#include <algorithm>
#include <cstdlib>

namespace devsim::testing {
namespace {

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

uint32_t GetBe32(const char* p) {
  auto u = [&](int i) { return uint32_t(static_cast<unsigned char>(p[i])); };
  return u(0) << 24 | u(1) << 16 | u(2) << 8 | u(3);
}

int ProgressIndex(const std::string& name) {
  if (name == "DLMessageUploadFiles") return 2;
  if (name == "DLMessageDownloadFiles" || name == "DLMessageMoveItems" ||
      name == "DLMessageRemoveItems" || name == "DLMessageMoveFiles" ||
      name == "DLMessageRemoveFiles" || name == "DLMessageCopyItem") {
    return 3;
  }
  return -1;
}

}  // namespace

BackupHost::BackupHost(const std::string& udid) : udid_(udid) {
  if (idevice_new_with_options(&device_, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    device_ = nullptr;
    return;
  }
  if (mobilebackup2_client_start_service(device_, &client_, "backup-host-test") !=
      MOBILEBACKUP2_E_SUCCESS) {
    client_ = nullptr;
  }
}

BackupHost::~BackupHost() {
  if (client_) mobilebackup2_client_free(client_);
  if (device_) idevice_free(device_);
}

double BackupHost::Hello(std::vector<double> versions) {
  double remote = 0;
  if (mobilebackup2_version_exchange(client_, versions.data(), static_cast<char>(versions.size()),
                                     &remote) != MOBILEBACKUP2_E_SUCCESS) {
    return 0;
  }
  return remote;
}

bool BackupHost::Request(const char* name, plist_t options, const std::string& source) {
  return mobilebackup2_send_request(client_, name, udid_.c_str(),
                                    (source.empty() ? udid_ : source).c_str(),
                                    options) == MOBILEBACKUP2_E_SUCCESS;
}

bool BackupHost::WriteAll(const char* buf, uint32_t len) {
  while (len > 0) {
    uint32_t sent = 0;
    if (mobilebackup2_send_raw(client_, buf, len, &sent) != MOBILEBACKUP2_E_SUCCESS || sent == 0)
      return false;
    buf += sent;
    len -= sent;
  }
  return true;
}

bool BackupHost::ReadExact(char* buf, uint32_t len) {
  while (len > 0) {
    uint32_t got = 0;
    if (mobilebackup2_receive_raw(client_, buf, len, &got) != MOBILEBACKUP2_E_SUCCESS || got == 0)
      return false;
    buf += got;
    len -= got;
  }
  return true;
}

bool BackupHost::SendRaw(const std::string& bytes) {
  return WriteAll(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool BackupHost::SendMessage(plist_t array) {
  std::string body = ToBinary(array);
  return SendRaw(Be32(static_cast<uint32_t>(body.size())) + body);
}

bool BackupHost::Receive(Plist* message, std::string* name) {
  plist_t msg = nullptr;
  char* dl = nullptr;
  mobilebackup2_error_t err = mobilebackup2_receive_message(client_, &msg, &dl);
  message->reset(msg);
  *name = dl ? dl : "";
  free(dl);
  return err == MOBILEBACKUP2_E_SUCCESS;
}

bool BackupHost::ReceiveUploads(HostRun* run) {
  for (;;) {
    char len[4];
    if (!ReadExact(len, 4)) return false;
    uint32_t n = GetBe32(len);
    if (n == 0) return true;
    std::string source(n, '\0');
    if (!ReadExact(source.data(), n) || !ReadExact(len, 4)) return false;
    std::string target(GetBe32(len), '\0');
    if (!ReadExact(target.data(), static_cast<uint32_t>(target.size()))) return false;
    run->upload_targets.push_back(target);
    std::string data;
    for (;;) {
      char hdr[5];
      if (!ReadExact(hdr, 5)) return false;
      uint32_t payload = GetBe32(hdr) - 1;
      std::string piece(payload, '\0');
      if (!ReadExact(piece.data(), payload)) return false;
      if (hdr[4] != 0x0C) break;
      data += piece;
    }
    files[target] = data;
  }
}

void BackupHost::SendDownloads(const std::vector<std::string>& paths) {
  Plist errors = NewDict();
  bool failed = false;
  for (const auto& p : paths) {
    SendRaw(Be32(static_cast<uint32_t>(p.size())) + p);
    auto it = files.find(p);
    if (it == files.end()) {
      std::string text = "No such file or directory";
      SendRaw(Be32(static_cast<uint32_t>(text.size() + 1)) + '\x06' + text);
      Plist e = NewDict();
      SetUint(e.get(), "DLFileErrorCode", static_cast<uint64_t>(-6));
      SetString(e.get(), "DLFileErrorString", text);
      SetNode(errors.get(), p.c_str(), std::move(e));
      failed = true;
      break;
    }
    const std::string& data = it->second;
    for (size_t off = 0; off < data.size(); off += 32768) {
      std::string piece = data.substr(off, 32768);
      SendRaw(Be32(static_cast<uint32_t>(piece.size() + 1)) + '\x0C' + piece);
    }
    SendRaw(Be32(1) + std::string(1, '\0'));
  }
  SendRaw(Be32(0));
  if (failed) {
    mobilebackup2_send_status_response(client_, -13, "Multi status", errors.get());
  } else {
    Plist empty = NewDict();
    mobilebackup2_send_status_response(client_, 0, nullptr, empty.get());
  }
}

HostRun BackupHost::Drive() {
  HostRun run;
  Plist empty = NewDict();
  for (;;) {
    Plist msg;
    std::string name;
    if (!Receive(&msg, &name)) {
      run.end = "broken";
      return run;
    }
    run.names.push_back(name);
    uint32_t size = plist_array_get_size(msg.get());
    int pi = ProgressIndex(name);
    if (pi >= 0 && static_cast<uint32_t>(pi) < size) {
      plist_t node = plist_array_get_item(msg.get(), pi);
      if (plist_get_node_type(node) == PLIST_REAL) {
        double d = 0;
        plist_get_real_val(node, &d);
        run.progress.emplace_back(name, d);
      } else {
        run.progress.emplace_back(name, -1);
      }
    }
    plist_t arg = size > 1 ? plist_array_get_item(msg.get(), 1) : nullptr;
    if (name == "DLMessageDownloadFiles") {
      std::vector<std::string> paths;
      for (uint32_t i = 0; arg && i < plist_array_get_size(arg); ++i) {
        paths.push_back(StringValue(plist_array_get_item(arg, i)).value_or(""));
      }
      run.downloads.push_back(paths);
      SendDownloads(paths);
    } else if (name == "DLMessageUploadFiles") {
      if (size < 4) run.upload_messages_well_formed = false;
      if (!ReceiveUploads(&run)) {
        run.end = "broken";
        return run;
      }
      mobilebackup2_send_status_response(client_, 0, nullptr, empty.get());
    } else if (name == "DLMessageGetFreeDiskSpace") {
      Plist n(plist_new_uint(static_cast<uint64_t>(free_space)));
      mobilebackup2_send_status_response(client_, 0, nullptr, n.get());
    } else if (name == "DLContentsOfDirectory") {
      mobilebackup2_send_status_response(client_, 0, nullptr, empty.get());
    } else if (name == "DLMessageCreateDirectory") {
      run.created.push_back(StringValue(arg).value_or(""));
      mobilebackup2_send_status_response(client_, 0, nullptr, nullptr);
    } else if (name == "DLMessagePurgeDiskSpace") {
      mobilebackup2_send_status_response(client_, -1, "Operation not supported", empty.get());
    } else if (name == "DLMessageCopyItem") {
      std::string from = StringValue(arg).value_or("");
      std::string to = size > 2 ? StringValue(plist_array_get_item(msg.get(), 2)).value_or("") : "";
      auto it = files.find(from);
      if (it != files.end()) files[to] = it->second;
      mobilebackup2_send_status_response(client_, it != files.end() ? 0 : -6, nullptr, empty.get());
    } else if (name == "DLMessageMoveItems" || name == "DLMessageMoveFiles") {
      for (const std::string& from : DictKeys(arg)) {
        std::string to = DictString(arg, from.c_str()).value_or("");
        run.moves.emplace_back(from, to);
        auto it = files.find(from);
        if (it != files.end()) {
          files[to] = it->second;
          files.erase(from);
        }
      }
      mobilebackup2_send_status_response(client_, 0, nullptr, empty.get());
    } else if (name == "DLMessageRemoveItems" || name == "DLMessageRemoveFiles") {
      for (uint32_t i = 0; arg && i < plist_array_get_size(arg); ++i) {
        std::string p = StringValue(plist_array_get_item(arg, i)).value_or("");
        run.removes.push_back(p);
        for (auto it = files.begin(); it != files.end();) {
          it = (it->first == p || it->first.rfind(p + "/", 0) == 0) ? files.erase(it) : std::next(it);
        }
      }
      mobilebackup2_send_status_response(client_, 0, nullptr, empty.get());
    } else if (name == "DLMessageProcessMessage") {
      run.result = Copy(arg);
      run.end = "result";
      return run;
    } else if (name == "DLMessageDisconnect") {
      run.end = "disconnect";
      return run;
    }
  }
}

}  // namespace devsim::testing
