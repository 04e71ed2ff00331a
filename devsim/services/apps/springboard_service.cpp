#include "services/apps/springboard_service.h"

#include "plist/plist_frame.h"
#include "services/apps/png_writer.h"

namespace devsim {
namespace {

constexpr size_t kIconsPerPage = 24;
constexpr size_t kDockIcons = 4;

// The icon of an installed app; any other bundle id gets the generic icon, as clients
// expect some image for every id.
std::string IconFor(const AppStore& apps, const std::string& id) {
  if (auto png = apps.Icon(id)) {
    if (png->size() > 8 && png->compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) return *png;
  }
  if (apps.Installed(id)) return MakeIconPng(id);
  return MakeIconPng("generic");
}

Plist IconItem(const AppStore& apps, const std::string& id) {
  Plist item = NewDict();
  Plist attrs = apps.Attributes(id);
  std::string name = attrs ? DictString(attrs.get(), "CFBundleDisplayName")
                                 .value_or(DictString(attrs.get(), "CFBundleName").value_or(id))
                           : id;
  SetString(item.get(), "displayIdentifier", id);
  SetString(item.get(), "bundleIdentifier", id);
  SetString(item.get(), "displayName", name);
  return item;
}

// The layout: the dock first, then pages of icons in bundle-id order.
Plist IconState(const AppStore& apps) {
  std::vector<std::string> ids = apps.BundleIds();
  Plist state = NewArray();
  Plist dock = NewArray();
  size_t i = 0;
  for (; i < ids.size() && i < kDockIcons; ++i) {
    plist_array_append_item(dock.get(), IconItem(apps, ids[i]).release());
  }
  plist_array_append_item(state.get(), dock.release());
  while (i < ids.size()) {
    Plist page = NewArray();
    for (size_t n = 0; n < kIconsPerPage && i < ids.size(); ++n, ++i) {
      plist_array_append_item(page.get(), IconItem(apps, ids[i]).release());
    }
    plist_array_append_item(state.get(), page.release());
  }
  return state;
}

}  // namespace

Plist HandleSpringboardRequest(plist_t request, const AppStore& apps) {
  std::string command = DictString(request, "command").value_or("");
  Plist reply = NewDict();
  if (command == "getIconPNGData") {
    auto id = DictString(request, "bundleId");
    if (!id) return reply;  // no pngData: the client reports success without an image
    SetData(reply.get(), "pngData", IconFor(apps, *id));
    return reply;
  }
  if (command == "getIconState") return IconState(apps);
  if (command == "getInterfaceOrientation") {
    SetUint(reply.get(), "interfaceOrientation", 1);  // portrait
    return reply;
  }
  if (command == "getHomeScreenWallpaperPNGData") {
    SetData(reply.get(), "pngData", MakeIconPng("wallpaper", 160));
    return reply;
  }
  return nullptr;
}

void ServeSpringboard(ServiceContext& ctx) {
  AppStore apps(ctx.device.dir().empty() ? fs::path() : ctx.device.AppsDir());
  std::string body;
  for (;;) {
    if (ReadFrame(ctx.stream, kMaxLockdownMessage, &body) != FrameStatus::kOk) return;
    Plist request = ParsePlist(body);
    if (!IsDict(request.get())) continue;
    Plist reply = HandleSpringboardRequest(request.get(), apps);
    if (reply && !WritePlistFrame(ctx.stream, reply.get(), true)) return;
  }
}

}  // namespace devsim
