// Loading the function table in tests, benchmarks and fuzz targets: a registry file that
// names the build's libraries and a stand-in MobileDevice library.
#pragma once

#include <string>

// Writes `body` (the lines after the header) to a new registry file in a private temporary
// folder, points $VADO_REGISTRY at it and returns its path.
std::string WriteTestRegistry(const std::string& body);

// The registry lines that name AirTrafficHost, the given MobileDevice library and the
// build's library folder.
std::string StandardRegistryBody(const std::string& mobile_device_path);

// Loads the process-wide table with the stand-in library; true on success.
bool LoadTestTable(const std::string& fake_mobile_device_path);
