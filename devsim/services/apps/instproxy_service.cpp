#include "services/apps/instproxy_service.h"

#include <cstdio>

#include "mux/fault_stream.h"
#include "services/apps/instproxy_handler.h"
#include "plist/plist_frame.h"

namespace devsim {

void ServeInstproxy(ServiceContext& ctx) {
  // An in-memory device has no folder to keep applications in.
  if (ctx.device.dir().empty()) return;
  AppStore apps(ctx.device.AppsDir());
  PathJail media(ctx.device.MediaRoot());
  if (!media.valid()) {
    std::fprintf(stderr, "vado-devsimd: media folder missing for %s\n", ctx.device.udid().c_str());
    return;
  }
  InstproxyEnv env{apps, media, ctx.device.RootString("ProductVersion").value_or("")};
  InstproxySink send = [&ctx](Plist msg) { return WritePlistFrame(ctx.stream, msg.get()); };
  std::string body;
  for (;;) {
    if (ReadFrame(ctx.stream, kMaxServiceMessage, &body) != FrameStatus::kOk) return;
    Plist request = ParsePlist(body);
    if (!IsDict(request.get())) {
      Plist error = NewDict();
      SetString(error.get(), "Error", "APIInternalError");
      SetString(error.get(), "ErrorDescription", "the request is not a property list dictionary");
      if (!send(std::move(error))) return;
      continue;
    }
    if (ctx.device.faults().browse_error && DictString(request.get(), "Command") == "Browse") {
      // A device whose application database cannot be read answers Browse with an error.
      Plist error = NewDict();
      SetString(error.get(), "Error", "APIInternalError");
      SetString(error.get(), "ErrorDescription", "Could not read the application database");
      SetString(error.get(), "Status", "Complete");
      if (!send(std::move(error))) return;
      continue;
    }
    if (DictString(request.get(), "Command") == "Uninstall" &&
        !WaitWhileStalled(ctx.fd, [&ctx] { return ctx.device.faults().uninstall_stall; })) {
      return;  // the host gave up on the stalled uninstall
    }
    if (!HandleInstproxyRequest(request.get(), env, send)) return;
  }
}

}  // namespace devsim
