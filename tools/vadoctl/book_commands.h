// vadoctl books add FILE | books remove DEVICE_PATH: adds an EPUB or PDF book to the
// device's book list, or removes a listed book from it.
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunBooksCommand(DeviceSession& session, const CliOptions& options);

}  // namespace vadoctl
