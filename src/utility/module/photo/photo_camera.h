// Deletion of a photo through the device's camera interface (PTP, reached with
// libgphoto2): the camera whose serial number matches the device is searched for the first
// file whose name contains the wanted text, and that file is deleted. $VADO_PHOTO_PORT
// names a libgphoto2 port to use instead of searching ("disk:/path/to/DCIM" selects the
// directory driver, which is how the tests reach the simulator's camera roll).
#pragma once

#include <functional>
#include <string>
#include <vector>

struct CameraDeletion {
  bool deleted = false;
  std::string folder;  // where the deleted file was
  std::string file;
};

// `serials` are the texts a matching camera may report as its serial number (compared
// without letter case and without '-'). `cancelled` is asked between folders.
CameraDeletion DeleteCameraFile(const std::vector<std::string>& serials, const std::string& name,
                                const std::function<bool()>& cancelled);
