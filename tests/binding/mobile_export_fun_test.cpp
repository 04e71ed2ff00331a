#include "iOSAPI/MobileExportFun.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/registry_file.h"
#include "test_table.h"

namespace {

const std::string kLib = VADO_TEST_LIB_DIR;
const std::string kSharedSection =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n";
const std::string kHostLine = "\"AirTrafficHostDLL\"=\"" + kLib + "/libAirTrafficHost.so\"\n";
const std::string kSearchSection =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
    "\"InstallDir\"=\"" + kLib + "\"\n";

// The file the code behind a slot was loaded from.
std::string LibraryOf(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) && info.dli_fname ? info.dli_fname : "";
}

TEST(MobileExportFun, InitFillsAllSlotsFromBothLibraries) {
  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_A));
  CMobileExportFun table;
  ASSERT_TRUE(table.Init());
  EXPECT_TRUE(table.IsLoaded());
  int filled = 0;
#define VADO_COUNT_SLOT(member, symbol, lib) filled += table.member != nullptr;
  VADO_MOBILE_EXPORTS(VADO_COUNT_SLOT)
#undef VADO_COUNT_SLOT
  EXPECT_EQ(filled, CMobileExportFun::kSlotCount);
  EXPECT_EQ(LibraryOf(reinterpret_cast<void*>(table.AMDeviceConnect)), VADO_FAKE_MD_A);
  EXPECT_EQ(LibraryOf(reinterpret_cast<void*>(table.CFRelease)), kLib + "/libCoreFoundation.so");
  EXPECT_EQ(table.AFCFileInfoOpenAlias, table.AFCFileInfoOpen);
}

TEST(MobileExportFun, DataSlotsHoldTheAddressOfTheConstant) {
  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_A));
  CMobileExportFun table;
  ASSERT_TRUE(table.Init());
  CFBooleanRef yes = *table.kCFBooleanTrue;
  EXPECT_TRUE(table.CFBooleanGetValue(yes));
  EXPECT_EQ(table.CFGetTypeID(*table.kCFStreamPropertyDataWritten), kCFTypeIdString);
}

TEST(MobileExportFun, LoadedTableReturnsAtOnceWithoutReadingTheRegistry) {
  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_A));
  CMobileExportFun table;
  ASSERT_TRUE(table.Init());
  WriteTestRegistry("garbage");  // no header: any read of the registry would now fail
  EXPECT_TRUE(table.Init());
}

TEST(MobileExportFun, MissingRegistryFileFails) {
  setenv("VADO_REGISTRY", "/nonexistent/registry.reg", 1);
  CMobileExportFun table;
  EXPECT_FALSE(table.Init());
  EXPECT_FALSE(table.IsLoaded());
}

TEST(MobileExportFun, DwordValueForHostPathFails) {
  WriteTestRegistry(kSharedSection + "\"AirTrafficHostDLL\"=dword:00000001\n" +
                    "\"MobileDeviceDLL\"=\"" + VADO_FAKE_MD_A + "\"\n" + kSearchSection);
  CMobileExportFun table;
  EXPECT_FALSE(table.Init());
}

TEST(MobileExportFun, DwordValueForMobileDevicePathFails) {
  WriteTestRegistry(kSharedSection + kHostLine + "\"MobileDeviceDLL\"=dword:00000001\n" +
                    "\"iTunesMobileDeviceDLL\"=\"" + VADO_FAKE_MD_A + "\"\n" + kSearchSection);
  CMobileExportFun table;
  // The first matching name decides, even when its value is unusable.
  EXPECT_FALSE(table.Init());
}

TEST(MobileExportFun, UnterminatedExpandStringFails) {
  WriteTestRegistry(kSharedSection + "\"AirTrafficHostDLL\"=hex(2):2f,00,74,00\n" +
                    "\"MobileDeviceDLL\"=\"" + VADO_FAKE_MD_A + "\"\n" + kSearchSection);
  CMobileExportFun table;
  EXPECT_FALSE(table.Init());
}

TEST(MobileExportFun, HostPathThatDoesNotExistFails) {
  WriteTestRegistry(kSharedSection + "\"AirTrafficHostDLL\"=\"/nonexistent/libAirTrafficHost.so\"\n" +
                    "\"MobileDeviceDLL\"=\"" + VADO_FAKE_MD_A + "\"\n" + kSearchSection);
  CMobileExportFun table;
  EXPECT_FALSE(table.Init());
}

TEST(MobileExportFun, FirstEnumeratedLibraryNameWins) {
  WriteTestRegistry(kSharedSection + kHostLine + "\"MobileDeviceDLL\"=\"" + VADO_FAKE_MD_B +
                    "\"\n\"iTunesMobileDeviceDLL\"=\"" + VADO_FAKE_MD_A + "\"\n" + kSearchSection);
  CMobileExportFun first_b;
  ASSERT_TRUE(first_b.Init());
  EXPECT_EQ(LibraryOf(reinterpret_cast<void*>(first_b.AMDeviceConnect)), VADO_FAKE_MD_B);

  WriteTestRegistry(kSharedSection + kHostLine + "\"iTunesMobileDeviceDLL\"=\"" + VADO_FAKE_MD_A +
                    "\"\n\"MobileDeviceDLL\"=\"" + VADO_FAKE_MD_B + "\"\n" + kSearchSection);
  CMobileExportFun first_a;
  ASSERT_TRUE(first_a.Init());
  EXPECT_EQ(LibraryOf(reinterpret_cast<void*>(first_a.AMDeviceConnect)), VADO_FAKE_MD_A);
}

TEST(MobileExportFun, LibraryNamesCompareWithCase) {
  WriteTestRegistry(kSharedSection + kHostLine + "\"mobiledevicedll\"=\"" + VADO_FAKE_MD_A +
                    "\"\n" + kSearchSection);
  CMobileExportFun table;
  EXPECT_FALSE(table.Init());
}

TEST(MobileExportFun, LibraryLackingOneExportFails) {
  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_LACKING));
  CMobileExportFun table;
  EXPECT_FALSE(table.Init());
  EXPECT_FALSE(table.IsLoaded());
  // Slots before the missing one keep what they resolved.
  EXPECT_NE(table.AMDeviceNotificationSubscribe, nullptr);
  EXPECT_EQ(table.AFCCopyErrorString, nullptr);
}

TEST(MobileExportFun, CoreFoundationIsLookedForBesideMobileDeviceThenInRegisteredFolders) {
  WriteTestRegistry(kSharedSection + kHostLine + "\"MobileDeviceDLL\"=\"" + VADO_FAKE_MD_A + "\"\n");
  CMobileExportFun without_folders;
  EXPECT_FALSE(without_folders.Init());  // nothing beside the stand-in library

  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_A));
  CMobileExportFun with_folders;
  ASSERT_TRUE(with_folders.Init());
  ASSERT_EQ(with_folders.search_list().size(), 2u);
  EXPECT_EQ(with_folders.search_list()[1], kLib + "/");
}

TEST(MobileExportFun, FailedInitCanBeRepeated) {
  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_LACKING));
  CMobileExportFun table;
  ASSERT_FALSE(table.Init());
  WriteTestRegistry(StandardRegistryBody(VADO_FAKE_MD_A));
  EXPECT_TRUE(table.Init());
  EXPECT_EQ(LibraryOf(reinterpret_cast<void*>(table.AMDeviceConnect)), VADO_FAKE_MD_A);
}

TEST(MobileExportFun, BuildRegistryNamesTheBuiltLibraries) {
  RegistryFile registry;
  ASSERT_TRUE(registry.Load(kLib + "/../bin/registry.reg", nullptr));
  const RegistryKey* shared = registry.FindKey(CMobileExportFun::kSharedKey);
  ASSERT_NE(shared, nullptr);
  std::string host;
  ASSERT_TRUE(RegistryStringValue(*shared->Find("AirTrafficHostDLL"), 512, &host));
  EXPECT_EQ(access(host.c_str(), F_OK), 0) << host;
  std::string device;
  ASSERT_TRUE(RegistryStringValue(*shared->Find("MobileDeviceDLL"), 520, &device));
  EXPECT_EQ(device, kLib + "/libMobileDevice.so");
}

}  // namespace
