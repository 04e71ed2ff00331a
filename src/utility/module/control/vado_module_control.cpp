#include "utility/module/control/vado_module_control.h"

#include <glog/logging.h>

#include "common/dh_task.h"
#include "utility/ios/vado_device_monitor.h"

int64_t VadoModuleControl::HandleRequest(const bas::IPCPacket1& packet) {
  RequestHeader request = ParseRequestHeader(packet);
  if (!request.valid) {
    Reply(packet, "", kResultBadHeader);
    return 0;
  }
  if (packet.command_id != kCancelCommand) {
    Reply(packet, request.uuid, kResultOk);
    return 0;
  }
  int64_t task_id = 0;
  auto code = request.json.FindMember("code");
  if (code != request.json.MemberEnd() && code->value.IsInt64()) task_id = code->value.GetInt64();
  else if (code != request.json.MemberEnd() && code->value.IsUint64()) {
    task_id = static_cast<int64_t>(code->value.GetUint64());
  }

  if (request.uuid.empty()) {
    Cancel(GlobalTaskRegistry(), task_id);
  } else {
    VadoDevicePtr device = VadoDeviceMonitor::GetInstance().FindByRequestId(request.uuid);
    if (!device) {
      Reply(packet, request.uuid, kResultNoDevice);
      return 0;
    }
    Cancel(device->tasks, task_id);
  }
  // Formatting a log line costs a time-zone lookup; skip it when INFO is not logged.
  LOG_IF(INFO, FLAGS_minloglevel <= google::GLOG_INFO) << "Cancel: " << task_id;
  Reply(packet, request.uuid, kResultOk);
  return 0;
}
