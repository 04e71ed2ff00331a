#include "utility/ios/device_identity.h"

#include <cctype>

namespace {

// Upper case, and the dashless 24-digit form written with its dash.
std::string Canonical(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (char c : text) out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (out.size() == 24 && out.find('-') == std::string::npos) out.insert(8, 1, '-');
  return out;
}

}  // namespace

bool IsDeviceIdentifier(std::string_view text) {
  if (text.size() < kMinDeviceIdLength || text.size() > kMaxDeviceIdLength) return false;
  if (text.front() == '-') return false;
  for (char c : text) {
    if (c != '-' && !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool AcceptDeviceIdentifier(std::string_view reported, std::string_view mux_serial) {
  if (!IsDeviceIdentifier(reported)) return false;
  if (mux_serial.empty()) return true;
  return Canonical(reported) == Canonical(mux_serial);
}
