#include "utility/module/photo/photo_camera.h"

#include <glog/logging.h>
#include <gphoto2/gphoto2.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace {

// Walks no deeper than this, and looks at no more than this many entries, so a camera
// that reports a looping or endless tree still ends.
constexpr int kMaxCameraDepth = 16;
constexpr int kMaxCameraEntries = 1'000'000;

struct ContextFree {
  void operator()(GPContext* c) const { gp_context_unref(c); }
};
struct CameraFree {
  void operator()(Camera* c) const {
    gp_camera_exit(c, nullptr);
    gp_camera_free(c);
  }
};
struct ListFree {
  void operator()(CameraList* l) const { gp_list_free(l); }
};
using ContextPtr = std::unique_ptr<GPContext, ContextFree>;
using CameraPtr = std::unique_ptr<Camera, CameraFree>;
using ListPtr = std::unique_ptr<CameraList, ListFree>;

ListPtr NewList() {
  CameraList* list = nullptr;
  if (gp_list_new(&list) != GP_OK) return nullptr;
  return ListPtr(list);
}

std::string SerialKey(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '-') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// A camera on `port` with the abilities of `model` (autodetected when empty); null when
// it cannot be initialised.
CameraPtr OpenCamera(const std::string& model, const std::string& port, GPContext* context) {
  Camera* raw = nullptr;
  if (gp_camera_new(&raw) != GP_OK) return nullptr;
  CameraPtr camera(raw);
  if (!model.empty()) {
    CameraAbilitiesList* abilities = nullptr;
    if (gp_abilities_list_new(&abilities) != GP_OK) return nullptr;
    CameraAbilities found;
    const bool ok = gp_abilities_list_load(abilities, context) == GP_OK &&
                    [&] {
                      const int index = gp_abilities_list_lookup_model(abilities, model.c_str());
                      return index >= 0 &&
                             gp_abilities_list_get_abilities(abilities, index, &found) == GP_OK;
                    }();
    gp_abilities_list_free(abilities);
    if (!ok || gp_camera_set_abilities(raw, found) != GP_OK) return nullptr;
  }
  GPPortInfoList* ports = nullptr;
  if (gp_port_info_list_new(&ports) != GP_OK) return nullptr;
  GPPortInfo info;
  const bool port_ok = gp_port_info_list_load(ports) >= GP_OK &&
                       [&] {
                         const int index = gp_port_info_list_lookup_path(ports, port.c_str());
                         return index >= 0 && gp_port_info_list_get_info(ports, index, &info) == GP_OK &&
                                gp_camera_set_port_info(raw, info) == GP_OK;
                       }();
  gp_port_info_list_free(ports);
  if (!port_ok) return nullptr;
  if (gp_camera_init(raw, context) != GP_OK) return nullptr;
  return camera;
}

std::string CameraSerial(Camera* camera, GPContext* context) {
  CameraWidget* widget = nullptr;
  if (gp_camera_get_single_config(camera, "serialnumber", &widget, context) != GP_OK) return {};
  const char* value = nullptr;
  std::string serial;
  if (gp_widget_get_value(widget, &value) == GP_OK && value != nullptr) serial = value;
  gp_widget_free(widget);
  return serial;
}

struct CameraWalk {
  Camera* camera;
  GPContext* context;
  const std::string& name;
  const std::function<bool()>& cancelled;
  int entries = 0;
  CameraDeletion result;
};

// True when the walk is over (a file was deleted, a deletion failed, or it was cancelled).
bool WalkCameraFolder(CameraWalk& walk, const std::string& folder, int depth) {
  if (depth > kMaxCameraDepth || (walk.cancelled && walk.cancelled())) return true;
  ListPtr files = NewList();
  if (files && gp_camera_folder_list_files(walk.camera, folder.c_str(), files.get(),
                                           walk.context) == GP_OK) {
    const int count = gp_list_count(files.get());
    for (int i = 0; i < count && walk.entries++ < kMaxCameraEntries; ++i) {
      const char* file = nullptr;
      if (gp_list_get_name(files.get(), i, &file) != GP_OK || file == nullptr) continue;
      if (std::string(file).find(walk.name) == std::string::npos) continue;
      const int deleted = gp_camera_file_delete(walk.camera, folder.c_str(), file, walk.context);
      walk.result.deleted = deleted == GP_OK;
      walk.result.folder = folder;
      walk.result.file = file;
      if (!walk.result.deleted) {
        LOG(ERROR) << "photos: deleting " << folder << "/" << file << " failed: " << deleted;
      }
      return true;
    }
  }
  ListPtr folders = NewList();
  if (!folders || gp_camera_folder_list_folders(walk.camera, folder.c_str(), folders.get(),
                                                walk.context) != GP_OK) {
    return false;
  }
  const int count = gp_list_count(folders.get());
  for (int i = 0; i < count && walk.entries++ < kMaxCameraEntries; ++i) {
    const char* child = nullptr;
    if (gp_list_get_name(folders.get(), i, &child) != GP_OK || child == nullptr) continue;
    const std::string path = folder == "/" ? "/" + std::string(child) : folder + "/" + child;
    if (WalkCameraFolder(walk, path, depth + 1)) return true;
  }
  return false;
}

CameraDeletion DeleteOn(Camera* camera, GPContext* context, const std::string& name,
                        const std::function<bool()>& cancelled) {
  CameraWalk walk{camera, context, name, cancelled, 0, CameraDeletion{}};
  WalkCameraFolder(walk, "/", 0);
  return walk.result;
}

}  // namespace

CameraDeletion DeleteCameraFile(const std::vector<std::string>& serials, const std::string& name,
                                const std::function<bool()>& cancelled) {
  CameraDeletion none;
  if (name.empty()) return none;
  ContextPtr context(gp_context_new());
  if (!context) return none;
  if (const char* port = std::getenv("VADO_PHOTO_PORT"); port != nullptr && *port != '\0') {
    const std::string path = port;
    // The directory driver has to be named; other ports are probed for their camera.
    const std::string model = path.rfind("disk:", 0) == 0 ? "Directory Browse" : "";
    CameraPtr camera = OpenCamera(model, path, context.get());
    if (!camera) {
      LOG(ERROR) << "photos: no camera on port " << path;
      return none;
    }
    return DeleteOn(camera.get(), context.get(), name, cancelled);
  }
  ListPtr detected = NewList();
  if (!detected || gp_camera_autodetect(detected.get(), context.get()) < GP_OK) return none;
  const int count = gp_list_count(detected.get());
  for (int i = 0; i < count; ++i) {
    const char* model = nullptr;
    const char* port = nullptr;
    if (gp_list_get_name(detected.get(), i, &model) != GP_OK ||
        gp_list_get_value(detected.get(), i, &port) != GP_OK || model == nullptr ||
        port == nullptr) {
      continue;
    }
    CameraPtr camera = OpenCamera(model, port, context.get());
    if (!camera) continue;
    const std::string serial = SerialKey(CameraSerial(camera.get(), context.get()));
    bool matches = false;
    for (const std::string& wanted : serials) {
      matches |= !serial.empty() && SerialKey(wanted) == serial;
    }
    if (!matches) continue;
    return DeleteOn(camera.get(), context.get(), name, cancelled);
  }
  LOG(ERROR) << "photos: no camera with the device's serial number";
  return none;
}
