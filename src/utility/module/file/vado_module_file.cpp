#include "utility/module/file/vado_module_file.h"

#include <glog/logging.h>

#include "common/afc_file_ops.h"
#include "common/json_text.h"
#include "common/text_convert.h"
#include "common/zlib_codec.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/file/copy_out.h"

namespace {

// Largest inflated step body: a description of a file of many blocks, or a block message.
constexpr size_t kMaxStepBody = 64 * 1024 * 1024;

int64_t HeaderInt(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return 0;
  auto found = object.FindMember(key);
  if (found == object.MemberEnd()) return 0;
  if (found->value.IsInt64()) return found->value.GetInt64();
  return 0;
}

std::string HeaderText(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return std::string();
  auto found = object.FindMember(key);
  if (found == object.MemberEnd() || !found->value.IsString()) return std::string();
  return std::string(found->value.GetString(), found->value.GetStringLength());
}

// An upload name is one path component: it must not name a folder or leave one.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

void OnTransferCancel(void* context) { static_cast<FileTransfer*>(context)->Release(); }

// The file-service connection of the transfer, started on first use.
ServicePtr TransferService(FileTransfer& transfer, VadoDevice& device) {
  {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    if (transfer.service && transfer.service->afc() != nullptr) return transfer.service;
  }
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!service || service->afc() == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(transfer.mutex);
  transfer.service = service;
  return service;
}

}  // namespace

void FileTransfer::Release() {
  std::shared_ptr<FilePacketReader> old_reader;
  std::shared_ptr<FilePacketWriter> old_writer;
  ServicePtr old_service;
  {
    std::lock_guard<std::mutex> lock(mutex);
    old_reader.swap(reader);
    old_writer.swap(writer);
    old_service.swap(service);
  }
  // The writer goes first: closing it needs the connection.
  old_writer.reset();
  old_reader.reset();
}

std::shared_ptr<FileTransfer> VadoModuleFile::TransferFor(const std::string& udid, int64_t task_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<FileTransfer>& slot = transfers_[{udid, task_id}];
  if (!slot) slot = std::make_shared<FileTransfer>();
  return slot;
}

void VadoModuleFile::SendStep(const bas::IPCPacket1& packet, const std::string& uuid, int32_t stage,
                              uint16_t kind, std::optional<std::string> info, int32_t type,
                              std::string_view body) {
  ReplyRecord record;
  record.count = 1;
  record.stage = stage;
  record.code = 0;
  record.uuid = uuid;
  record.type = type;
  record.info = std::move(info);
  record.body = body;
  SendMessage(packet, record, kind);
}

void VadoModuleFile::Commit(const bas::IPCPacket1& packet, const std::string& uuid, DhTask& task,
                            FileTransfer& transfer, std::shared_ptr<FilePacketWriter> writer) {
  std::string final_path = writer->header().path_source;
  {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    if (transfer.writer == writer) transfer.writer.reset();
  }
  // Closed here rather than by the last reference going away, so the file is under its
  // final name before the front end hears of it, and a rename the device refused is not
  // reported as a finished upload.
  const bool committed = writer->Close();
  writer.reset();
  {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    transfer.service.reset();
  }
  task.SetCancelHook(nullptr, nullptr);
  if (!committed) {
    LOG(ERROR) << "file: the device did not take the finished upload as " << final_path;
    SendStep(packet, uuid, 3, kKindFailed, std::string());
    return;
  }
  SendStep(packet, uuid, 3, static_cast<uint16_t>(packet.kind), JsonQuote(final_path));
}

int64_t VadoModuleFile::CopyOut(const bas::IPCPacket1& packet, const RequestHeader& request,
                                VadoDevice& device, DhTask& task) {
  rapidjson::Document body;
  if (!ParseRequestBody(request, &body)) return kResultBadBody;
  if (!body.IsArray()) return kResultOk;
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kAfcServiceName, nullptr, true);
  if (!service || service->afc() == nullptr) return kResultOk;
  const std::string uuid = Utf16ToUtf8(device.unique_device_id);
  for (const rapidjson::Value& item : body.GetArray()) {
    if (IsCancelled(task)) return kResultCancelled;
    if (!item.IsArray() || item.Size() != 3 || !item[0].IsString() || !item[1].IsString() ||
        !item[2].IsString()) {
      continue;
    }
    std::string name(item[0].GetString(), item[0].GetStringLength());
    std::string device_path(item[1].GetString(), item[1].GetStringLength());
    std::string folder(item[2].GetString(), item[2].GetStringLength());
    if (folder.empty()) continue;  // no folder chosen: nothing may land in the working folder
    std::filesystem::path copied;
    if (!CopyOutItem(service->afc(), name, device_path, folder, &task, &copied)) continue;
    SendStep(packet, uuid, 2, kKindProgress, JsonQuote(copied.string()));
  }
  return IsCancelled(task) ? kResultCancelled : kResultOk;
}

int64_t VadoModuleFile::HandleRequest(const bas::IPCPacket1& packet) {
  RequestHeader request = ParseRequestHeader(packet);
  if (!request.valid || !request.json.IsObject()) return 0;  // no answer at all
  VadoDevicePtr device = FindRequestDevice(request);
  if (!device) {
    Reply(packet, request.uuid, kResultNoDevice);
    return 0;
  }
  TaskPtr task = BeginTask(device->tasks, static_cast<int64_t>(packet.task_id));
  if (!task) return 0;
  if (packet.command_id == kFileCopyOutCommand) {
    int64_t code = request.section_count == 1 ? CopyOut(packet, request, *device, *task) : kResultOk;
    Reply(packet, request.uuid, code);
    return 0;
  }
  if (request.section_count != 1) return 0;
  std::string udid = Utf16ToUtf8(device->unique_device_id);
  std::shared_ptr<FileTransfer> transfer = TransferFor(udid, task->task_id);
  if (packet.command_id == kFileDownloadCommand) {
    Download(packet, request, *device, *task, *transfer);
  } else if (packet.command_id == kFileUploadCommand) {
    Upload(packet, request, *device, *task, *transfer);
  }
  return 0;
}

void VadoModuleFile::Download(const bas::IPCPacket1& packet, const RequestHeader& request,
                              VadoDevice& device, DhTask& task, FileTransfer& transfer) {
  const std::string uuid = Utf16ToUtf8(device.unique_device_id);
  switch (HeaderInt(request.json, "stage")) {
    case 1: {
      if (IsCancelled(task)) return;
      std::optional<std::string> body = ZlibDecompress(request.body, kMaxStepBody);
      rapidjson::Document doc;
      if (!body || !ParseUntrustedJson(*body, &doc) || !doc.IsObject()) return;
      std::string path = HeaderText(doc, "path");
      ServicePtr service = TransferService(transfer, device);
      if (!service) return;
      task.SetCancelHook(&OnTransferCancel, &transfer);
      auto reader = std::make_shared<FilePacketReader>();
      FileHeader header;
      header.service = service;
      header.path = path;
      header.block_size = kDownloadBlockSize;
      if (!reader->Open(std::move(header))) {
        transfer.Release();
        SendStep(packet, uuid, 1, kKindFailed, std::string());
        return;
      }
      size_t slash = path.rfind('/');
      reader->header().file_name = slash == std::string::npos ? path : path.substr(slash + 1);
      std::string description = DescriptionJson(reader->header());
      {
        std::lock_guard<std::mutex> lock(transfer.mutex);
        transfer.reader = reader;
      }
      SendStep(packet, uuid, 1, kKindProgress, description);
      return;
    }
    case 2: {
      std::shared_ptr<FilePacketReader> reader;
      {
        std::lock_guard<std::mutex> lock(transfer.mutex);
        reader = transfer.reader;
      }
      if (!reader) return;
      std::optional<std::string> body = ZlibDecompress(request.body, kMaxStepBody);
      FilePacket block;
      if (!body || !ParseBlockMessage(*body, &block)) return;
      uint8_t* buffer = TransferBuffer();
      if (!reader->ReadBlock(&block, buffer, kAfcTransferChunk)) return;
      SendStep(packet, uuid, 2, kKindProgress, *body, 1,
               std::string_view(reinterpret_cast<const char*>(buffer), block.count));
      return;
    }
    case 3:
      transfer.Release();
      SendStep(packet, uuid, 3, kKindProgress, std::nullopt);
      return;
    default:
      return;
  }
}

void VadoModuleFile::Upload(const bas::IPCPacket1& packet, const RequestHeader& request,
                            VadoDevice& device, DhTask& task, FileTransfer& transfer) {
  const std::string uuid = Utf16ToUtf8(device.unique_device_id);
  if (IsCancelled(task)) return;
  if (packet.kind == 1) {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    transfer.service.reset();
    return;
  }
  const rapidjson::Value* info = nullptr;
  auto found = request.json.FindMember("info");
  if (found != request.json.MemberEnd()) info = &found->value;
  static const rapidjson::Value kEmpty(rapidjson::kObjectType);
  const rapidjson::Value& fields = info != nullptr && info->IsObject() ? *info : kEmpty;

  auto ask_for = [&](const BlockEntry& block) {
    SendStep(packet, uuid, 2, packet.kind, BlockMessageJson(block.id, block.length, block.offset));
  };
  auto ask_for_next = [&](const FilePacketWriter& writer) {
    if (const BlockEntry* pending = writer.FirstPending()) {
      ask_for(*pending);
      return true;
    }
    return false;
  };

  switch (HeaderInt(request.json, "stage")) {
    case 1: {
      std::string name = HeaderText(fields, "name");
      if (!IsPlainFileName(name)) {
        LOG(ERROR) << "Upload refused: the name \"" << name << "\" is not a plain file name";
        return;
      }
      std::string folder;
      auto media = fields.FindMember("media");
      if (media != fields.MemberEnd()) {
        if (media->value.IsInt64() && media->value.GetInt64() == 0) folder = "/Books/";
      } else {
        folder = HeaderText(fields, "dir");
        if (!folder.empty() && folder.back() != '/') folder += '/';
      }
      std::optional<std::string> body = ZlibDecompress(request.body, kMaxStepBody);
      FileHeader header;
      if (!body || !ParseUploadDescription(*body, &header)) return;
      ServicePtr service = TransferService(transfer, device);
      if (!service) return;
      task.SetCancelHook(&OnTransferCancel, &transfer);
      header.service = service;
      header.path = folder + name + ".bak";
      header.path_source = folder + name;
      header.path_project = folder + name + ".json";
      header.file_name = name;
      auto writer = std::make_shared<FilePacketWriter>();
      std::shared_ptr<FilePacketWriter> previous;
      {
        std::lock_guard<std::mutex> lock(transfer.mutex);
        previous = std::exchange(transfer.writer, writer);
      }
      previous.reset();  // a repeated first step discards the earlier attempt
      int opened = writer->Open(std::move(header));
      if (opened != kFileStepReady && opened != 4) return;
      if (ask_for_next(*writer)) return;
      // Nothing is missing (an empty file, or a resumed upload whose blocks all arrived
      // before the device went away): commit now, or the front end would wait forever.
      Commit(packet, uuid, task, transfer, std::move(writer));
      return;
    }
    case 2: {
      std::shared_ptr<FilePacketWriter> writer;
      {
        std::lock_guard<std::mutex> lock(transfer.mutex);
        writer = transfer.writer;
      }
      if (!writer || !writer->IsOpen()) return;
      FilePacket block;
      if (info != nullptr && info->IsObject()) {
        block.id = HeaderInt(*info, "id");
        block.offset = HeaderInt(*info, "offset");
        block.length = HeaderInt(*info, "offset_length");
      } else if (info != nullptr && info->IsString()) {
        if (!ParseBlockMessage(std::string_view(info->GetString(), info->GetStringLength()), &block)) return;
      } else {
        return;
      }
      block.data = reinterpret_cast<const uint8_t*>(request.body.data());
      block.count = request.body.size();
      // The front end sends a block only when asked, one ask per block received. When at
      // most one other block of this upload is still being written, the next block is
      // asked for before this one goes to the device, so the front-end link carries it
      // meanwhile; otherwise it is asked for after the write. So at most three blocks wait
      // here for the device, and a block is never asked for while it is on its way.
      std::optional<BlockEntry> asked;
      bool tracked = false;
      {
        std::lock_guard<std::mutex> lock(transfer.mutex);
        tracked = transfer.writing.insert(block.id).second;
        if (tracked && transfer.writing.size() <= 2) asked = writer->NextPending(transfer.writing);
      }
      if (asked) ask_for(*asked);
      const bool written = writer->WriteBlock(block) == kFileStepReady;
      std::optional<BlockEntry> next;
      bool commit = false;
      {
        std::lock_guard<std::mutex> lock(transfer.mutex);
        if (tracked) transfer.writing.erase(block.id);
        if (written && transfer.writing.empty() && transfer.writer == writer && writer->AllDone()) {
          commit = true;
          transfer.writer.reset();  // only one step commits
        } else if (written && !asked) {
          next = writer->NextPending(transfer.writing);
        }
      }
      if (commit) {
        Commit(packet, uuid, task, transfer, std::move(writer));
      } else if (next) {
        ask_for(*next);
      }
      // A failed write asks for nothing more: the front end sends the block again.
      return;
    }
    default:
      return;
  }
}
