#include "utility/ios/vado_client.h"

#include <unistd.h>

#include <glog/logging.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "common/json_text.h"
#include "common/launch_options.h"
#include "common/process_state.h"
#include "common/text_convert.h"
#include "utility/module/command_table.h"
#include "utility/module/control/vado_module_control.h"
#include "utility/self_test_task.h"

namespace {

// Channel log texts go to the log; other events need no action here.
int32_t LogChannelEvent(const bas::IPCEvent& event) {
  if (event.type == bas::kEventLog && event.text != nullptr) LOG(INFO) << *event.text;
  return 0;
}

// Waits `delay` in short steps; false as soon as a quit has been requested. The retries
// run on the main thread, which must not hold a quit (watchdog, SIGTERM) back for the
// whole retry period.
bool SleepUnlessQuitting(std::chrono::milliseconds delay) {
  constexpr std::chrono::milliseconds kStep(20);
  auto deadline = std::chrono::steady_clock::now() + delay;
  while (!IsQuitting()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kStep, deadline - now));
  }
  return false;
}

}  // namespace

VadoClient::VadoClient(BASThreadPool& pool, CommandTable& table) : pool_(pool), table_(table) {
  front_end_.SetPacketHandler([this](bas::PacketPtr packet) { HandleFrontEndPacket(std::move(packet)); });
  front_end_.SetEventCallback(LogChannelEvent);
}

VadoClient::~VadoClient() {
  front_end_.Close();
  server_.Close();
}

VadoClient& VadoClient::GetInstance() {
  static VadoClient* client =
      new VadoClient(BASThreadPool::GetInstance(), CommandTable::GetInstance());
  return *client;
}

bool VadoClient::ConnectToFrontEnd(int port, int retries, std::chrono::milliseconds retry_delay) {
  if (port == 0) return false;
  for (int attempt = 0; attempt <= retries; ++attempt) {
    if (attempt > 0 && !SleepUnlessQuitting(retry_delay)) return false;
    if (front_end_.Connect(port) != nullptr) return true;
  }
  return false;
}

// Runs on the channel's dispatch thread: hands the packet to a worker. A cancel (600)
// is served right here: it only marks a task and fires its hook, and it must not queue
// behind the long requests it is meant to stop when every worker is busy.
void VadoClient::HandleFrontEndPacket(bas::PacketPtr packet) {
  if (IsQuitting()) return;
  if (packet->command_id == VadoModuleControl::kCancelCommand) {
    if (VadoModule* module = table_.Find(packet->command_id)) module->HandleRequest(*packet);
    return;
  }
  // std::function needs a copyable callable, so the packet travels as a shared_ptr.
  std::shared_ptr<bas::IPCPacket1> shared(packet.release());
  pool_.Submit([this, shared] {
    if (VadoModule* module = table_.Find(shared->command_id)) module->HandleRequest(*shared);
  });
}

void VadoClient::HandleServerPacket(bas::PacketPtr packet) {
  if (IsQuitting()) return;
  if (packet->IsClosedMarker()) {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    admitted_.erase(packet->connection);
    return;
  }
  if (packet->command_id == kRelayHelloCommand) {
    AdmitPeer(*packet);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    if (admitted_.count(packet->connection) == 0) {
      LOG(ERROR) << "private server: packet from a peer that did not present the token";
      server_.Disconnect(packet->connection);
      return;
    }
  }
  // Forwarded here, in arrival order: on pool workers a result could overtake the
  // progress messages sent before it.
  if (VadoModule* module = table_.Find(packet->command_id)) module->HandleServerPacket(*packet);
}

void VadoClient::SendReply(const ReplyRecord& record, const bas::PacketHeader& header) {
  SendParts(BuildMessageParts(record), header);
}

void VadoClient::SendParts(const MessageParts& parts, const bas::PacketHeader& header) {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  for (bas::IPCConnection* connection : front_end_.Connections()) {
    if (connection->accepted != 0) continue;
    front_end_.SendMessage(connection, header, parts.text, parts.body);
  }
}

void VadoClient::NotifyStatus(int32_t status, int64_t device_handle) {
  ReplyRecord record;
  record.code = device_handle;
  record.uuid = std::string();
  bas::PacketHeader header;
  header.command_id = static_cast<uint32_t>(status);
  header.kind = 1;
  SendReply(record, header);
}

void VadoClient::OnDeviceEvent(const VadoDevicePtr& device, int event) {
  if (event != kDeviceEventReady && event != kDeviceEventGone) return;
  const LaunchOptions& launch = Launch();
  std::string pid = std::to_string(::getpid());
  std::string info;
  if (event == kDeviceEventReady) {
    if (launch.test_mode) {
      VadoDevicePtr target = device;
      pool_.Submit([target] { RunSelfTest(target); });
    }
    // Device texts come from the device: escape them so the info stays valid JSON.
    info = "{\"Model\":\"" + JsonEscape(Utf16ToUtf8(device->model)) + "\",\"FirmVersion\":\"" +
           JsonEscape(Utf16ToUtf8(device->product_version)) + "\",\"Type\":\"" +
           JsonEscape(Utf16ToUtf8(device->device_class)) +
           "\",\"Data_FreeSize\":" + std::to_string(static_cast<uint64_t>(device->free_bytes)) +
           ",\"Data_PhysicalSize\":" + std::to_string(static_cast<uint64_t>(device->total_bytes)) +
           ",\"Pid\":" + pid + ",\"TaskId\":" + std::to_string(launch.task_id) +
           ",\"SerialNumber\":\"" + JsonEscape(Utf16ToUtf8(device->serial_number)) + "\"}";
  } else {
    info = "{\"PID\":" + pid + "}";
  }
  ReplyRecord record;
  record.stage = launch.run_mode;
  record.code = device->HandleValue();
  record.uuid = Utf16ToUtf8(device->unique_device_id);
  record.info = std::move(info);
  bas::PacketHeader header;
  header.kind = 2;
  SendReply(record, header);
}

bool VadoClient::ServerIdle() {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  return !server_started_ || admitted_.empty();
}

bool VadoClient::StartServer() {
  std::lock_guard<std::mutex> lock(server_mutex_);
  // A second Listen would replace the accept thread underneath the running one.
  if (server_started_) return true;
  server_.SetPacketHandler([this](bas::PacketPtr packet) { HandleServerPacket(std::move(packet)); });
  server_.SetEventCallback([this](const bas::IPCEvent& event) { return OnServerEvent(event); });
  int port = bas::IPCChannel::PickFreePort();
  if (port < 0) return false;
  if (server_.Listen(port) == nullptr) return false;
  server_port_ = port;
  std::lock_guard<std::mutex> reply_lock(reply_mutex_);
  server_started_ = true;
  return true;
}

std::string VadoClient::NewRelayToken() {
  unsigned char random[16];
  if (RAND_bytes(random, sizeof random) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : random) {
    token += kHex[byte >> 4];
    token += kHex[byte & 0xf];
  }
  std::lock_guard<std::mutex> lock(reply_mutex_);
  relay_token_ = token;
  return token;
}

void VadoClient::AdmitPeer(const bas::IPCPacket1& hello) {
  std::string presented;
  if (hello.data() != nullptr) {
    presented.assign(reinterpret_cast<const char*>(hello.data()), hello.length);
  }
  std::deque<bas::PacketPtr> pending;
  {
    std::lock_guard<std::mutex> lock(reply_mutex_);
    const bool match = !relay_token_.empty() && presented.size() == relay_token_.size() &&
                       CRYPTO_memcmp(presented.data(), relay_token_.data(), presented.size()) == 0;
    if (!match || admitted_.count(hello.connection) != 0) {
      LOG(ERROR) << "private server: a peer presented a wrong token";
      server_.Disconnect(hello.connection);
      return;
    }
    relay_token_.clear();  // one-time
    admitted_.insert(hello.connection);
    pending.swap(pending_);
  }
  // The instance is there: the waiting requests go through their module again, which
  // now forwards them.
  for (bas::PacketPtr& packet : pending) {
    std::shared_ptr<bas::IPCPacket1> shared(packet.release());
    pool_.Submit([this, shared] {
      if (VadoModule* module = table_.Find(shared->command_id)) module->HandleRequest(*shared);
    });
  }
}

bool VadoClient::SendRelayHello(const std::string& token) {
  bas::PacketHeader header;
  header.command_id = kRelayHelloCommand;
  header.payload_length = token.size();
  std::lock_guard<std::mutex> lock(reply_mutex_);
  bool sent = false;
  for (bas::IPCConnection* connection : front_end_.Connections()) {
    if (connection->accepted != 0) continue;
    sent = front_end_.SendMessage(connection, header, std::string_view(), token) || sent;
  }
  return sent;
}

bool VadoClient::ForwardToPeers(const bas::IPCPacket1& packet) {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  for (bas::IPCConnection* connection : server_.Connections()) {
    if (connection->accepted != 1 || admitted_.count(connection) == 0) continue;
    bas::PacketHeader header;
    header.task_id = packet.task_id;
    header.command_id = packet.command_id;
    header.kind = packet.kind;
    std::string_view payload;
    if (packet.data() != nullptr) {
      payload = std::string_view(reinterpret_cast<const char*>(packet.data()), packet.length);
    }
    server_.SendMessage(connection, header, std::string_view(), payload);
  }
  return false;
}

void VadoClient::QueuePending(bas::PacketPtr packet) {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  pending_.push_back(std::move(packet));
}

size_t VadoClient::PendingCount() {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  return pending_.size();
}

bool VadoClient::QueueIfNoInstance(bas::PacketPtr& packet) {
  std::lock_guard<std::mutex> lock(reply_mutex_);
  if (!admitted_.empty()) return false;
  pending_.push_back(std::move(packet));
  return true;
}

std::deque<bas::PacketPtr> VadoClient::TakePending() {
  std::deque<bas::PacketPtr> pending;
  std::lock_guard<std::mutex> lock(reply_mutex_);
  pending.swap(pending_);
  return pending;
}

// A peer that connects is not yet the instance: the pending requests wait for its hello.
int32_t VadoClient::OnServerEvent(const bas::IPCEvent& event) { return LogChannelEvent(event); }
