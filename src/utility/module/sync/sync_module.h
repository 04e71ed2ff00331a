// The request handling shared by the contact, calendar, bookmark and note modules: the
// header object (21 when it is not JSON), the device (7), the section-count rule (a
// request that needs one section and has another does nothing and answers 0), then the
// module's operation, and one Reply with the operation's code. Each request runs as a
// task of its device, so that a cancel (command 600) stops its conversation; a request
// whose task was cancelled before it started ends without a reply.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/dh_task.h"

#include "utility/ios/vado_device_service.h"
#include "utility/module/sync/sync_data_class.h"
#include "utility/module/sync/sync_output.h"
#include "utility/module/sync/sync_request.h"
#include "utility/module/sync/sync_session.h"
#include "utility/module/vado_module.h"

struct SyncRequest {
  const bas::IPCPacket1& packet;
  const RequestHeader& header;
  VadoDevicePtr device;
  std::string uuid;  // the device's identifier, UTF-8
  DhTask* task;      // the request's task in the device's registry
};

class SyncModule : public VadoModule {
 public:
  using VadoModule::VadoModule;
  int64_t HandleRequest(const bas::IPCPacket1& packet) final;

 protected:
  // Whether `command` acts only on a one-section request.
  virtual bool NeedsOneSection(uint32_t command) const = 0;
  // Runs the operation and returns its result code; Reply follows.
  virtual int64_t Run(const SyncRequest& request) = 0;

  // Starts the sync service for the request's device; null when it cannot be started.
  static ServicePtr StartSyncService(const SyncRequest& request);
  // Sends data messages for the request.
  void Send(const SyncRequest& request, const std::vector<SyncDataMessage>& messages);

  // What a module supplies to the shared read.
  struct ReadSteps {
    // Opens the class and pulls the records into the module's collector.
    std::function<void(SyncSession&)> pull;
    // Whether no record was read (the count is then −1 when an account keeps the class).
    std::function<bool()> empty;
    // The count and record messages; the argument says whether an account keeps the class.
    std::function<std::vector<SyncDataMessage>(bool)> messages;
    // Called with the started service before the conversation (may be empty).
    std::function<void(const ServicePtr&)> started;
  };
  // The read every sync module does: start the service (13), run the conversation, and
  // only when it went through to its end send the messages; a read that broke off or was
  // cancelled sends nothing and answers its failure.
  int64_t ReadAll(const SyncRequest& request, const SyncDataClass& data_class,
                  const ReadSteps& steps);
};
