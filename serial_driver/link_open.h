// What a link's options ask for when it opens its port: the node (by serial number or path),
// the port opened and configured, and the reply timeout. Internal to the library.
#pragma once

#include <string>
#include <system_error>

#include "serial_driver/link_error.h"
#include "serial_driver/link_options.h"
#include "serial_driver/port.h"

namespace serial_driver {
namespace detail {

// The option as a clock duration: 0 is the rate's own deadline, and the largest values
// saturate to "as long as it takes".
Clock::duration replyTimeout(const LinkOptions& options);

// Finds the node for options and opens it into *port; the node's path in *path, also when
// opening failed. Errc::not_found, Errc::busy or Errc::open_failed, logged with the system's
// reason, which *failure keeps; busy is not logged when the caller says it has more to try.
std::error_code openLinkPort(const LinkOptions& options, Port* port, std::string* path,
                             OpenFailure* failure, bool log_busy = true);
// Logs why the port at failure.device is busy.
void logBusy(const OpenFailure& failure);

// Logs what opening the port at path did with its lock file: a stale one taken over, and once
// per process a lock directory that refused.
void reportLockTaking(const std::string& path, const LockTaking& how);
// Who holds a busy port: the process its lock file names, else flock's holder (fd as for
// portHolder).
std::string busyHolder(const std::string& path, int fd, const LockTaking& how);

}  // namespace detail
}  // namespace serial_driver
