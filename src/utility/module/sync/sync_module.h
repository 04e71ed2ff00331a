// The request handling shared by the contact, calendar, bookmark and note modules: the
// header object (21 when it is not JSON), the device (7), the section-count rule (a
// request that needs one section and has another does nothing and answers 0), then the
// module's operation, and one Reply with the operation's code.
#pragma once

#include <cstdint>
#include <string>

#include "utility/ios/vado_device_service.h"
#include "utility/module/sync/sync_data_class.h"
#include "utility/module/sync/sync_output.h"
#include "utility/module/sync/sync_request.h"
#include "utility/module/vado_module.h"

struct SyncRequest {
  const bas::IPCPacket1& packet;
  const RequestHeader& header;
  VadoDevicePtr device;
  std::string uuid;  // the device's identifier, UTF-8
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
};
