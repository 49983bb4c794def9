// A failed open in one line for a person: the cause and the fix. chassisctl and the Python
// module's exceptions say the same. Internal to the library.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

#include "serial_driver/link_error.h"

namespace serial_driver {
namespace detail {

// ec is what open() returned, why what open_failure() kept, serial the number asked for.
inline std::string openAdvice(std::error_code ec, const OpenFailure& why,
                              const std::string& serial) {
  const std::string where = why.device.empty() ? "adapter '" + serial + "'" : why.device;
  if (ec == Errc::not_found && why.device.empty() && !serial.empty()) {
    // brltty takes these adapters for braille displays on some distributions.
    return "no 1a86:7523 adapter with USB serial number '" + serial +
           "' is attached (one that appears and vanishes at once is taken by brltty: "
           "sudo apt remove brltty)";
  }
  if (ec == Errc::busy) {
    return where + ": the port is held by " +
           (why.holder.empty() ? std::string("another program") : why.holder) + "; close it first";
  }
  if (ec != Errc::open_failed) return where + ": " + ec.message();
  const int error = why.system.category() == std::generic_category() ||
                            why.system.category() == std::system_category()
                        ? why.system.value()
                        : 0;
  if (error == EACCES || error == EPERM) {
    return where +
           ": permission denied; join the dialout group (sudo usermod -aG dialout $USER) and "
           "log in again";
  }
  if (error == ENOTTY || error == EISDIR) return where + ": not a serial device";
  return where + ": " + ec.message() + (error != 0 ? " (" + why.system.message() + ")" : "");
}

}  // namespace detail
}  // namespace serial_driver
