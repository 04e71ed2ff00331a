// Which device identifiers may name a backup folder, and how device paths map under it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utility/module/itunes/backup_paths.h"

namespace {

TEST(BackupPaths, OnlyHexAndDashIdentifiersNameAFolder) {
  EXPECT_TRUE(IsPlainDeviceIdentifier("00008110-000A1B2C3D4E5F60"));
  EXPECT_TRUE(IsPlainDeviceIdentifier(std::string(40, 'f')));
  const std::vector<std::string> refused = {
      "", "..", "../../x", "a/b", "-rf", "abc\\def", "abc def", std::string("abc\0def", 7),
      std::string(65, 'a'), "0000g"};
  for (const std::string& hostile : refused) {
    EXPECT_FALSE(IsPlainDeviceIdentifier(hostile)) << hostile;
  }
}

TEST(BackupPaths, DevicePathsStayInsideTheRunFolder) {
  const std::string udid = "00008110-000A1B2C3D4E5F60";
  EXPECT_EQ(MapBackupPath(udid + "/Snapshot/3d/file", udid, "-20260101000000", "/r/"),
            "/r/" + udid + "-20260101000000/Snapshot/3d/file");
  EXPECT_EQ(MapBackupPath(udid, udid, "-1", "/r/"), "/r/" + udid + "-1");
  const std::vector<std::string> escaping = {udid + "/../escape", udid + "//x", udid + "/./x",
                                             "/etc/passwd", udid + "x/file", "../" + udid};
  for (const std::string& path : escaping) {
    EXPECT_FALSE(MapBackupPath(path, udid, "-1", "/r/")) << path;
  }
  // A hostile identifier maps nothing, not even paths that begin with it.
  EXPECT_FALSE(MapBackupPath("../x/Status.plist", "../x", "-1", "/r/"));
}

TEST(BackupPaths, RestorePathsDropTheIdentifierAndStayInTheFolder) {
  EXPECT_EQ(MapRestorePath("SRC/ab/abcdef", "SRC", "/b/"), "/b/ab/abcdef");
  EXPECT_FALSE(MapRestorePath("OTHER/ab/abcdef", "SRC", "/b/"));
  EXPECT_FALSE(MapRestorePath("SRC/../../etc/passwd", "SRC", "/b/"));
  EXPECT_FALSE(MapRestorePath("SRC", "SRC", "/b/"));
}

}  // namespace
