// One conversation with the device's backup service: starting the service, the version
// exchange and Hello, and reading device-link messages into the run's reader context.
// Backups, restores and password changes are built on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/ipc_packet.h"
#include "common/plist_value.h"
#include "utility/ios/vado_device.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/itunes/devicelink_message.h"

class VadoModule;

// One run's state, filled by the message readers.
struct ReaderContext {
  DeviceLinkMessage message;
  bool received = false;        // the last read produced a message
  double progress = 0;
  bool error = false;
  int32_t error_code = 0;
  std::string error_text;
  std::string first_download;   // first path of a download request
  std::vector<std::string> requested;  // restore: device paths asked for
  bool refused = false;         // a device path would have left the backup root
  // The status a file-system request gets when it failed (0: it did not).
  int reply_code = 0;
  std::string reply_text;
  // Backup paths.
  std::string root;
  std::string suffix;
  std::string udid;
};

// Performs the file-system side of one received message (backups); null for none.
using MessageEffects = void (*)(ReaderContext& context, AMDServiceConnectionRef connection);

// The text of a text value, else "".
std::string TextOf(const PlistValue& value);

// Starts "com.apple.mobilebackup2" with {"UnlockEscrowBag": true}; null on failure.
ServicePtr StartBackupService(VadoDevice& device);

// Reads one message, takes its progress, the download list and the device's error, then
// runs `effects`; false when no message could be read.
bool ReadMessage(AMDServiceConnectionRef connection, ReaderContext& context,
                 MessageEffects effects);

// The device's first message, the version answer and Hello; true when the device is ready.
bool Handshake(AMDServiceConnectionRef connection, ReaderContext& context);

// Reports the run's progress (stage 1, hundredths of a percent) when it rose.
void ReportRunProgress(VadoModule& module, const bas::IPCPacket1& request, VadoDevice& device,
                       const ReaderContext& context, int64_t* last);
