// ChassisLink's errors: Errc, their category, and their use as std::error_code, so a caller
// writes `if (ec == serial_driver::Errc::timeout)` and `ec.message()`.
#pragma once

#include <string>
#include <system_error>
#include <type_traits>

#include "serial_driver_export.h"

namespace serial_driver {

enum class Errc {
  not_found = 1,  // no 1a86:7523 adapter with that serial number, or no such device path
  open_failed,    // the node could not be opened, is no tty, or refused the line settings
  bad_baud,       // a rate the line settings do not know
  not_open,       // the link was never opened, or closed
  send_failed,    // the command could not be written whole
  hung_up,        // the port hung up (adapter unplugged); the link reconnects by itself
  timeout,        // no valid reply in time
  rejected,       // the controller answered with a "!" frame
  bad_reply,      // a valid reply that does not answer the command
  bad_value,      // the value cannot be sent (text too long or with a newline, not finite)
  cancelled,      // cancel() or close() ended the operation, or interrupt_check asked to
  busy,           // another program (or another link) holds the port
};

// Why the link last failed to open or reopen its port, beyond the Errc it returned.
struct OpenFailure {
  std::error_code system;  // the system's own error (EACCES, EBUSY, EISDIR, ENOTTY...), or none
  std::string device;      // the node it tried; empty when none was found
  std::string holder;      // for Errc::busy: "pid 4242 (robot_main)", or "another program"
};

SERIAL_DRIVER_EXPORT const std::error_category& link_category() noexcept;
SERIAL_DRIVER_EXPORT std::error_code make_error_code(Errc e) noexcept;

}  // namespace serial_driver

namespace std {
template <>
struct is_error_code_enum<serial_driver::Errc> : true_type {};
}  // namespace std
