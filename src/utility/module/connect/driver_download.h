// Fetches the three driver packages from a base address into the download folder, each
// checked against the MD5 digest published beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/dh_task.h"

inline constexpr int64_t kResultDriverFetchFailed = 50;

// Relative paths of the packages under the base address, in install order.
const std::vector<std::string>& DriverPackagePaths();

// log folder + "/ios_driver/".
std::string DriverDownloadFolder();

struct DriverDownloadOutcome {
  int64_t code = 0;                   // 0, 6 (cancelled) or 50
  std::vector<std::string> verified;  // local paths present and verified, in table order
};

// Reports download progress: bytes so far and total of package `index` (from 1) of `count`.
using DriverProgressFn =
    std::function<void(int64_t step, int64_t total, int index, int count)>;

// Downloads every package that is not already present and verified. `task` is checked
// before each package and while data arrives; a cancel ends the run with code 6. A
// package is written under a temporary name and takes its own name only once its
// digest matched.
DriverDownloadOutcome DownloadDrivers(const std::string& base_url, DhTask& task,
                                      const DriverProgressFn& progress);
