#include "utility/module/connect/driver_download.h"

#include <glog/logging.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "common/process_state.h"
#include "utility/module/connect/driver_fetch.h"
#include "utility/module/vado_module.h"

namespace {

constexpr std::chrono::milliseconds kProgressInterval{100};

std::string FileNameOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// A fresh temporary file beside `target`; empty when none could be created.
std::string MakeTemporaryBeside(const std::string& target) {
  std::string pattern = target + ".XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return "";
  ::close(fd);
  return pattern;
}

}  // namespace

const std::vector<std::string>& DriverPackagePaths() {
  static const std::vector<std::string> paths = {"x64/AppleApplicationSupport.msi",
                                                 "x64/AppleApplicationSupport64.msi",
                                                 "x64/AppleMobileDeviceSupport64.msi"};
  return paths;
}

std::string DriverDownloadFolder() { return LogFolder() + "/ios_driver/"; }

DriverDownloadOutcome DownloadDrivers(const std::string& base_url, DhTask& task,
                                      const DriverProgressFn& progress) {
  DriverDownloadOutcome outcome;
  std::string base = base_url;
  if (base.empty() || base.back() != '/') base += '/';
  const std::string folder = DriverDownloadFolder();
  std::error_code error;
  std::filesystem::create_directories(folder, error);

  const std::vector<std::string>& packages = DriverPackagePaths();
  const int count = static_cast<int>(packages.size());
  bool all_verified = true;
  for (int i = 0; i < count; ++i) {
    if (IsCancelled(task)) {
      outcome.code = kResultCancelled;
      return outcome;
    }
    const std::string url = base + packages[i];
    const std::string digest_url = url + ".txt";
    const std::string local = folder + FileNameOf(packages[i]);

    if (driver_fetch::QuerySize(digest_url) == 0) {
      LOG(ERROR) << "md5Url file size 0: " << digest_url;
      all_verified = false;
      break;
    }
    std::optional<std::string> digest_text = driver_fetch::FetchDigestText(digest_url);
    std::optional<std::string> expected;
    if (digest_text) expected = driver_fetch::ParseDigest(*digest_text);
    if (!expected) {
      LOG(ERROR) << "Url Error: " << digest_url;
      all_verified = false;
      break;
    }

    std::optional<std::string> present = driver_fetch::FileMd5(local);
    if (present && *present == *expected) {
      outcome.verified.push_back(local);
      continue;
    }

    if (driver_fetch::QuerySize(url) == 0) {
      LOG(ERROR) << "Query Url File Size 0: " << url;
      all_verified = false;
      break;
    }
    const std::string partial = MakeTemporaryBeside(local);
    if (partial.empty()) {
      LOG(ERROR) << "Write File Error: " << local;
      all_verified = false;
      break;
    }
    auto last_report = std::chrono::steady_clock::time_point{};
    int64_t last_step = -1;
    driver_fetch::ProgressFn on_data = [&](int64_t step, int64_t total) {
      if (IsCancelled(task)) return false;
      const auto now = std::chrono::steady_clock::now();
      const bool finished = total > 0 && step == total;
      if (step != last_step && (finished || now - last_report >= kProgressInterval)) {
        last_step = step;
        last_report = now;
        progress(step, total, i + 1, count);
      }
      return true;
    };
    std::string curl_error;
    const driver_fetch::DownloadResult result =
        driver_fetch::DownloadToFile(url, partial, on_data, &curl_error);
    if (result != driver_fetch::DownloadResult::kOk) {
      std::filesystem::remove(partial, error);
      if (result == driver_fetch::DownloadResult::kAborted) {
        outcome.code = kResultCancelled;
        return outcome;
      }
      if (result == driver_fetch::DownloadResult::kWriteFailed) {
        LOG(ERROR) << "Write File Error: " << local;
      } else {
        LOG(ERROR) << "Url Error: " << url << " " << curl_error;
      }
      all_verified = false;
      break;
    }
    std::optional<std::string> got = driver_fetch::FileMd5(partial);
    if (!got || *got != *expected) {
      LOG(ERROR) << "Download Driver UnComplete: " << FileNameOf(packages[i]);
      std::filesystem::remove(partial, error);
      all_verified = false;
      break;
    }
    std::filesystem::rename(partial, local, error);
    if (error) {
      LOG(ERROR) << "Write File Error: " << local;
      std::filesystem::remove(partial, error);
      all_verified = false;
      break;
    }
    outcome.verified.push_back(local);
  }
  outcome.code = all_verified && outcome.verified.size() == packages.size()
                     ? kResultOk
                     : kResultDriverFetchFailed;
  return outcome;
}
