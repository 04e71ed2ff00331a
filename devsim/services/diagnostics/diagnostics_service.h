// com.apple.mobile.diagnostics_relay: IORegistry lookups (the battery entry with the farm's
// figures), GasGauge and All diagnostics, MobileGestalt, sleep/restart/shutdown
// acknowledgements and Goodbye. Big-endian framed XML.
#pragma once

#include <functional>
#include <string>

#include "plist/plist_ptr.h"
#include "lockdown/service_registry.h"

namespace devsim {

struct DiagnosticsReply {
  Plist message;
  bool close = false;  // Goodbye: the service ends after this reply
};

// `battery` is the battery's IORegistry properties (may be null: no battery entry);
// `gestalt` looks up one MobileGestalt key (null when unknown).
DiagnosticsReply HandleDiagnosticsRequest(plist_t request, plist_t battery,
                                          const std::function<Plist(const std::string&)>& gestalt);

void ServeDiagnostics(ServiceContext& ctx);

}  // namespace devsim
