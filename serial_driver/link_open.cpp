// Finding and opening a link's port.
#include "serial_driver/link_open.h"

#include <unistd.h>

#include "serial_driver/link_error.h"
#include "serial_driver/log.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/wire_facts.h"

namespace serial_driver {
namespace detail {

namespace {

// The adapter with the serial number (empty when none is attached), or the device path as
// given.
std::string nodeToOpen(const LinkOptions& options) {
  if (options.serial.empty()) return options.device;
  return getDevicePort(kAdapterProduct, kAdapterVendor, options.serial);
}

}  // namespace

Clock::duration replyTimeout(const LinkOptions& options) {
  if (options.reply_timeout.count() == 0) return replyDeadline(options.baud);
  if (options.reply_timeout >=
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration::max())) {
    return Clock::duration::max();
  }
  return options.reply_timeout;
}

void logBusy(const OpenFailure& failure) {
  SD_LOG(LogLevel::ERROR, "the port is held by another program", failure.device, failure.holder);
}

std::error_code openLinkPort(const LinkOptions& options, Port* port, std::string* path,
                             OpenFailure* failure, bool log_busy) {
  *path = nodeToOpen(options);
  *failure = OpenFailure{{}, *path, {}};
  if (path->empty() || access(path->c_str(), F_OK) != 0) {
    if (!path->empty()) failure->system = std::error_code(errno, std::generic_category());
    return Errc::not_found;
  }
  const std::error_code ec = port->open(*path, options.baud, options.exclusive);
  if (!ec) return {};
  failure->system = ec;
  if (ec == std::errc::device_or_resource_busy) {
    failure->holder = portHolder(*path, -1);
    if (log_busy) logBusy(*failure);
    return Errc::busy;
  }
  SD_LOG(LogLevel::ERROR, "cannot open the port", *path, ec.message());
  return Errc::open_failed;
}

}  // namespace detail
}  // namespace serial_driver
