// File transfers between the front end and a device's media partition: 702 downloads a
// device file block by block, 703 uploads a file into a device folder block by block.
// Each step is its own request with the transfer's task id; the transfer's reader or
// writer and its file-service connection live between steps in a FileTransfer of that
// task, and the task's cancel hook releases them.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "common/dh_task.h"
#include "utility/module/file/file_packet_reader.h"
#include "utility/module/file/file_packet_writer.h"
#include "utility/module/vado_module.h"

inline constexpr uint32_t kFileCopyOutCommand = 701;
inline constexpr uint32_t kFileDownloadCommand = 702;
inline constexpr uint32_t kFileUploadCommand = 703;

// The state one transfer keeps between its steps.
struct FileTransfer {
  std::mutex mutex;  // guards the members below; never held across device I/O
  std::shared_ptr<FilePacketReader> reader;
  std::shared_ptr<FilePacketWriter> writer;
  ServicePtr service;
  // Upload blocks that arrived and are not yet written to the device, by id.
  std::set<int64_t> writing;

  // Drops the references; a released writer commits or discards its upload when the
  // last user lets go of it (outside this lock).
  void Release();
};

class VadoModuleFile : public VadoModule {
 public:
  using VadoModule::VadoModule;
  int64_t HandleRequest(const bas::IPCPacket1& packet) override;

 private:
  std::shared_ptr<FileTransfer> TransferFor(const std::string& udid, int64_t task_id);
  int64_t CopyOut(const bas::IPCPacket1& packet, const RequestHeader& request, VadoDevice& device,
                  DhTask& task);
  void Download(const bas::IPCPacket1& packet, const RequestHeader& request, VadoDevice& device,
                DhTask& task, FileTransfer& transfer);
  void Upload(const bas::IPCPacket1& packet, const RequestHeader& request, VadoDevice& device,
              DhTask& task, FileTransfer& transfer);
  // Releases the complete upload's writer (which commits it) and names the final path.
  void Commit(const bas::IPCPacket1& packet, const std::string& uuid, DhTask& task,
              FileTransfer& transfer, std::shared_ptr<FilePacketWriter> writer);
  void SendStep(const bas::IPCPacket1& packet, const std::string& uuid, int32_t stage,
                uint16_t kind, std::optional<std::string> info, int32_t type = 0,
                std::string_view body = {});

  // Transfers by (device, task id), guarded by mutex_. Entries stay, like the tasks they
  // belong to, so a cancel hook never outlives its context; a finished one holds nothing.
  std::map<std::pair<std::string, int64_t>, std::shared_ptr<FileTransfer>> transfers_;
};
