// The progress messages in which the database modules stream a listing to the front end:
// the path of the local database copy, the number of groups, then each group's object
// followed by its items in arrays of a fixed size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ipc_packet.h"

class VadoModule;

class ListSender {
 public:
  static constexpr size_t kBatchSize = 50;

  ListSender(VadoModule& module, const bas::IPCPacket1& request, std::string uuid)
      : module_(module), request_(request), uuid_(std::move(uuid)) {}

  // Stage -1: "info" is the path (with '\' turned into '/') as a JSON string.
  void SendPath(const std::string& path);
  // Stage 0: "info" is {"Count":N}.
  void SendCount(size_t count);
  // Stage 1, code 0: one group's object (compact JSON) as the payload.
  void SendGroup(std::string_view json);
  // Stage 1, code 1: `count` items as JSON arrays of kBatchSize, the last one shorter;
  // nothing for no items. `render(i, out)` appends item i's compact JSON to `out`.
  void SendItems(size_t count, const std::function<void(size_t, std::string*)>& render);

 private:
  void Send(int32_t stage, int64_t code, std::string info, std::string_view body);

  VadoModule& module_;
  const bas::IPCPacket1& request_;
  std::string uuid_;
  std::string count_info_;
};
