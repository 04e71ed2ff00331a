// VadoModule: the base of every request module, with the common ways to answer the
// front end (result, progress, data).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "common/dh_task.h"
#include "common/ipc_packet.h"
#include "common/message_sections.h"
#include "utility/ios/vado_device.h"

class VadoClient;

// Result codes shared by the modules.
enum CommonResult : int64_t {
  kResultOk = 0,
  kResultCancelled = 6,
  kResultNoDevice = 7,
  kResultBadBody = 8,
  kResultBadHeader = 21,
};

// Kinds of the messages the agent sends.
enum MessageKind : uint16_t {
  kKindResult = 1,
  kKindProgress = 2,  // also device events and data messages
  kKindCancelled = 5,
  kKindFailed = 6,
  kKindInstallComplete = 7,
};

// The kind a module result with `code` travels with.
uint16_t ResultKind(int64_t code);

class VadoModule {
 public:
  using Hook = void (*)(int64_t argument, void* context, int64_t reserved, int64_t argument2);

  explicit VadoModule(VadoClient& client) : client_(client) {}
  virtual ~VadoModule() = default;
  VadoModule(const VadoModule&) = delete;
  VadoModule& operator=(const VadoModule&) = delete;

  // Calls the notification hook when a subclass has set one.
  virtual void CallHook(int64_t argument);
  // Handles a request from the front end; the result is ignored by the dispatch.
  virtual int64_t HandleRequest(const bas::IPCPacket1& packet);
  virtual void Reserved() {}
  // Handles a packet that arrived over the private server.
  virtual int64_t HandleServerPacket(const bas::IPCPacket1& packet) { return 0; }

  // Finishes a request: kind 1 for code 0, 5 for code 6, 6 otherwise. `info` is raw
  // JSON (use JsonQuote for a plain text); nullopt leaves the key out.
  void Reply(const bas::IPCPacket1& request, std::string_view uuid, int64_t code,
             std::optional<std::string> info = std::nullopt);
  // Progress of a request; the percentage is truncated toward zero.
  void ReportProgress(const bas::IPCPacket1& request, const VadoDevice* device, double percent,
                      int32_t progress_kind);
  // A data message carrying `json` (compact JSON text) as its compressed body.
  void SendData(const bas::IPCPacket1& request, std::string_view json, int32_t stage);
  void SendData(const bas::IPCPacket1& request, const rapidjson::Value& value, int32_t stage);
  // Any message about `request` (its task id and command id) with every header field and
  // the kind chosen by the caller: data messages with info or a raw body (type 1), the
  // final messages of installs (kinds 6 and 7).
  void SendMessage(const bas::IPCPacket1& request, const ReplyRecord& record, uint16_t kind);
  // The same with the message already built (its body compressed where it must be).
  void SendPreparedMessage(const bas::IPCPacket1& request, const MessageParts& parts,
                           uint16_t kind);

  VadoClient& client() { return client_; }

 protected:
  Hook hook_ = nullptr;
  void* hook_context_ = nullptr;
  std::mutex mutex_;  // for the subclass's own shared state

 private:
  VadoClient& client_;
};

// What a request's header object names, parsed once for every module.
struct RequestHeader {
  bool valid = false;           // false: the payload or its header object is not JSON
  int32_t section_count = 0;
  rapidjson::Document json;     // the header object
  std::string uuid;             // "uuid", empty when absent
  std::string_view body;        // raw body bytes (still compressed)
};
RequestHeader ParseRequestHeader(const bas::IPCPacket1& packet);

// The device a request names: by "uuid", else by the handle value in "code"; null when
// neither names an attached device. Takes the monitor's lock while searching.
VadoDevicePtr FindRequestDevice(const RequestHeader& request);

// How a module's requests name their device.
enum class DeviceLookup {
  kUuidOrHandle,  // "uuid", else the handle value in "code"; none answers 7
  kUuidOnly,      // "uuid" alone, so a stale identifier never reaches another device
  kUuidOptional,  // "uuid" alone; commands that need no device run with none
};

// A request that passed the checks every module makes first: its header object, its
// device and its task, registered so that a cancel (600) reaches it. The task is
// forgotten when the request ends, so a later request may reuse the id.
struct DeviceRequest {
  DeviceRequest() = default;
  DeviceRequest(const DeviceRequest&) = delete;
  DeviceRequest& operator=(const DeviceRequest&) = delete;
  ~DeviceRequest() { ForgetTask(); }
  // Takes the task out of its registry now, before the final answer, so that a request
  // sent right after that answer may use the same id.
  void ForgetTask();

  RequestHeader header;
  VadoDevicePtr device;   // null only with DeviceLookup::kUuidOptional
  TaskPtr task;           // in the device's registry, or the process-wide one without device
  TaskRegistry* registry = nullptr;
};

// The preamble of every request: a header object that is not JSON answers 21, a device
// that is not attached answers 7, and the task is registered. Null when the request has
// been answered already, or when its task was cancelled before it started (no answer).
std::unique_ptr<DeviceRequest> BeginDeviceRequest(VadoModule& module,
                                                  const bas::IPCPacket1& packet,
                                                  DeviceLookup lookup);

// Largest decompressed request body a module accepts.
inline constexpr size_t kMaxRequestBodyBytes = 64 * 1024 * 1024;

// Inflates the request's body and parses it as JSON into `out`; false (reply code 8)
// when there is no body, it does not inflate, or it is not JSON.
bool ParseRequestBody(const RequestHeader& request, rapidjson::Document* out);

// Compact JSON text of a value.
std::string JsonText(const rapidjson::Value& value);
