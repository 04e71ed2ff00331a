// A scripted computer side of the backup service for tests, built on libimobiledevice's
// mobilebackup2 client: it answers the device's DL requests from an in-memory folder and
// records everything the device asked for.
#pragma once

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/mobilebackup2.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "plist/plist_ptr.h"

namespace devsim::testing {

struct HostRun {
  std::string end;  // "result", "disconnect" or "broken"
  Plist result;     // the final ProcessMessage dictionary
  std::vector<std::string> names;           // every DL message name in order
  std::vector<std::pair<std::string, double>> progress;  // name, real progress where present
  std::vector<std::string> upload_targets;  // every target path of every upload
  std::vector<std::pair<std::string, std::string>> moves;
  std::vector<std::string> removes;
  std::vector<std::string> created;
  std::vector<std::vector<std::string>> downloads;  // each DownloadFiles request's paths
  bool upload_messages_well_formed = true;  // every UploadFiles had at least four elements
};

class BackupHost {
 public:
  explicit BackupHost(const std::string& udid);
  ~BackupHost();
  BackupHost(const BackupHost&) = delete;
  BackupHost& operator=(const BackupHost&) = delete;

  bool connected() const { return client_ != nullptr; }
  // Hello with the given versions; the negotiated one, or 0 on failure.
  double Hello(std::vector<double> versions = {2.0, 2.1});
  bool Request(const char* name, plist_t options, const std::string& source = {});
  // Sends bytes as they are, outside any framing.
  bool SendRaw(const std::string& bytes);
  // Sends an array as one framed binary property list.
  bool SendMessage(plist_t array);
  bool Receive(Plist* message, std::string* name);

  // Answers DL requests until the final result, a disconnect or a broken link.
  HostRun Drive();

  // The host's folder: backup-relative path -> content. Uploads land here, moves and removes
  // apply here, downloads are served from here.
  std::map<std::string, std::string> files;
  int64_t free_space = int64_t(1) << 40;

 private:
  bool ReadExact(char* buf, uint32_t len);
  bool WriteAll(const char* buf, uint32_t len);
  bool ReceiveUploads(HostRun* run);
  void SendDownloads(const std::vector<std::string>& paths);

  std::string udid_;
  idevice_t device_ = nullptr;
  mobilebackup2_client_t client_ = nullptr;
};

}  // namespace devsim::testing
