// The names of owners' sockets, one rule for the library and the tools: the socket directory,
// and a socket named after the adapter's serial number, else after its node. Internal.
#pragma once

#include <cstdlib>
#include <string>

namespace serial_driver {
namespace detail {

// $SERIAL_DRIVER_RUN_DIR, else /run/serial_driver.
inline std::string socketDirectory() {
  const char* dir = getenv("SERIAL_DRIVER_RUN_DIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/run/serial_driver");
}

// Text as one file name: letters, digits, '.', '_' and '-' as they are, anything else (a '/'
// above all) as '_', and no name that starts with a dot.
inline std::string fileNamePart(const std::string& text) {
  std::string name = text;
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    if (!plain) c = '_';
  }
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  return name;
}

// "serial-<serial>.sock" for an adapter with a serial number, else after the kernel's name of
// its node ("ttyUSB0.sock", "pts-3.sock"; "/dev/" in front is dropped).
inline std::string socketFileName(const std::string& serial, const std::string& node_name) {
  if (!serial.empty()) return "serial-" + fileNamePart(serial) + ".sock";
  std::string name = node_name.rfind("/dev/", 0) == 0 ? node_name.substr(5) : node_name;
  for (char& c : name) {
    if (c == '/') c = '-';
  }
  return fileNamePart(name) + ".sock";
}

}  // namespace detail
}  // namespace serial_driver
