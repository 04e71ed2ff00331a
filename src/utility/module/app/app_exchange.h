// One conversation of the applications module with the installation proxy or the icon
// service: a context per exchange and the one reply handler all exchanges share.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <rapidjson/document.h>

#include "common/ipc_packet.h"

class DhTask;
class VadoModule;

enum AppExchangeMode : int32_t {
  kAppListFull = 0,       // Browse with names and store metadata → application objects
  kAppIcon = 1,           // one icon reply → a data message with the PNG
  kAppUninstall = 2,      // progress replies until the final one
  kAppInstall = 3,
  kAppArchive = 4,
  kAppListSizes = 5,      // Browse with disk usage → data-size / app-size members
};

// The application objects of one listing, in device order, and where each bundle id is.
struct AppList {
  rapidjson::Document holder;  // owns the allocator of every object
  std::vector<rapidjson::Value> apps;
  std::unordered_map<std::string, size_t> index;
};

// Progress messages of installs travel with this stage.
inline constexpr int32_t kInstallProgressStage = 2;

struct AppExchangeContext {
  AppExchangeMode mode = kAppListFull;
  VadoModule* module = nullptr;              // sends progress and icons
  std::string device_id;                     // UTF-8, the messages' uuid
  AppList* apps = nullptr;                   // modes 0 and 5
  const bas::IPCPacket1* request = nullptr;  // the front end's request being answered
  std::string bundle_id;                     // modes 1, 2, 4
  DhTask* task = nullptr;  // when set, a cancelled task stops the exchange

  // Filled by the handler.
  bool finished = false;  // a final reply (or, for listings, the end) arrived
  bool complete = false;  // ... and its "Status" was "Complete"
  std::string error;      // "Error" (and description) of a final reply that failed
  bool icon_sent = false;
  bool cancelled = false;  // the task was cancelled; the exchange stopped
};

// The reply handler of every exchange of the module (see PlistReplyHandler).
void AppReplyHandler(void* context, const char* bytes, uint32_t length, int* read_another,
                     uint32_t* result);
