#include "test_table.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "iOSAPI/MobileExportFun.h"

#ifndef VADO_TEST_LIB_DIR
#error "VADO_TEST_LIB_DIR must name the library folder of the build"
#endif

namespace {

std::string EscapeReg(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// The private folder of this process's registry files, removed at exit.
struct TempFolder {
  ~TempFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

}  // namespace

std::string WriteTestRegistry(const std::string& body) {
  static TempFolder temp;
  std::string& folder = temp.path;
  if (folder.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vado-reg-XXXXXX";
    if (!mkdtemp(pattern.data())) return {};
    folder = pattern;
  }
  static int counter = 0;
  const std::string path = folder + "/registry-" + std::to_string(++counter) + ".reg";
  std::ofstream(path, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
  setenv("VADO_REGISTRY", path.c_str(), 1);
  return path;
}

std::string StandardRegistryBody(const std::string& mobile_device_path) {
  const std::string lib = VADO_TEST_LIB_DIR;
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n"
         "\"AirTrafficHostDLL\"=\"" + EscapeReg(lib + "/libAirTrafficHost.so") + "\"\n"
         "\"MobileDeviceDLL\"=\"" + EscapeReg(mobile_device_path) + "\"\n\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
         "\"InstallDir\"=\"" + EscapeReg(lib + "/") + "\"\n";
}

bool LoadTestTable(const std::string& fake_mobile_device_path) {
  WriteTestRegistry(StandardRegistryBody(fake_mobile_device_path));
  return CMobileExportFun::GetInstance().Init();
}
