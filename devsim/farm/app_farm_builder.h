// Generates the applications of a farm device: the system apps every device has and N user
// apps with store metadata, SINF, sizes and icons (what `mkfarm --apps N` installs).
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "services/apps/app_store.h"

namespace devsim {

struct AppTotals {
  uint64_t user_apps = 0;
  uint64_t user_bytes = 0;  // static plus dynamic disk usage of the user apps
};

// Installs the system apps and `user_apps` generated user apps. False with error set.
bool AddFarmApps(AppStore& store, uint64_t user_apps, std::mt19937_64& rng, AppTotals* totals,
                 std::string* error);

}  // namespace devsim
