// The device's side of one backup-service conversation after the Hello: it sends DL requests
// (each carrying the run's progress), reads the host's status responses, and fires the
// injected faults when the progress reaches their mark.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "services/backup/backup_settings.h"
#include "services/backup/backup_stream.h"
#include "services/backup/device_link.h"

namespace devsim {

class BackupLink {
 public:
  BackupLink(DeviceLink& link, const BackupFaults& faults) : link_(link), faults_(faults) {}
  BackupLink(const BackupLink&) = delete;
  BackupLink& operator=(const BackupLink&) = delete;

  DeviceLink& link() { return link_; }
  const BackupFaults& faults() const { return faults_; }
  ByteStream& stream() { return link_.stream(); }
  // True once the conversation is over: the link broke, the host hung up or a fault fired.
  bool ended() const { return ended_; }
  // The connection is to be closed without waiting for the host.
  bool close_now() const { return close_now_; }

  // Sends a request. False when a fault fired instead or the link broke.
  bool Send(plist_t message, double progress);
  // The code of the last status response (0 success, negative host errors).
  int64_t last_code() const { return last_code_; }
  const std::string& last_text() const { return last_text_; }
  // Element 3 of the last status response (for -13, the dictionary of failed paths).
  plist_t last_value() const { return last_value_.get(); }

  // Reads the status response to the last request. False when anything else arrived.
  bool Status(DlStatus* status);
  // Send + Status.
  bool Ask(plist_t message, double progress, DlStatus* status);

  // DLMessageDownloadFiles: the host sends the files it has, in order, until one fails. Each
  // arriving file goes to sink_for(path) (null drops its data), then done(path, result, error).
  // False when the link broke or the host answered out of step.
  using SinkFor = std::function<StreamReader::Sink(const std::string& path)>;
  using Done = std::function<void(const std::string& path, FileRead result, const std::string& error)>;
  bool Download(const std::vector<std::string>& paths, double progress, const SinkFor& sink_for,
                const Done& done);

  bool CreateDirectory(const std::string& path, double progress);
  // The host's free bytes, or -1 when it could not tell.
  bool FreeSpace(double progress, int64_t* bytes);
  bool ContentsOfDirectory(const std::string& path, double progress);
  // `name` picks the request: DLMessageMoveItems or DLMessageMoveFiles, and
  // DLMessageRemoveItems or DLMessageRemoveFiles; hosts treat each pair alike.
  bool Move(const std::vector<std::pair<std::string, std::string>>& moves, double progress,
            const char* name = "DLMessageMoveItems");
  bool Remove(const std::vector<std::string>& paths, double progress,
              const char* name = "DLMessageRemoveItems");
  bool CopyItem(const std::string& from, const std::string& to, double progress);
  // Asks the host to make room; its answer (any status) is only recorded.
  bool PurgeDiskSpace(double progress);
  // The final DLMessageProcessMessage. The conversation stays open for the host's goodbye.
  bool Finish(int64_t code, const std::string& description);

 private:
  // Runs the fault if its mark is reached; true when it fired.
  bool Fault(double progress);
  void Stall();

  DeviceLink& link_;
  const BackupFaults faults_;
  bool fired_ = false;
  bool ended_ = false;
  bool close_now_ = false;
  int64_t last_code_ = 0;
  std::string last_text_;
  Plist last_value_;
};

}  // namespace devsim
