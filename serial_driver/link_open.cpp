// Finding and opening a link's port.
#include "serial_driver/link_open.h"

#include <unistd.h>

#include <atomic>

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
  LockTaking lock;
  const std::error_code ec = port->open(*path, options.baud, options.exclusive, &lock);
  reportLockTaking(*path, lock);
  if (!ec) return {};
  failure->system = ec;
  if (ec == std::errc::device_or_resource_busy) {
    failure->holder = busyHolder(*path, -1, lock);
    if (log_busy) logBusy(*failure);
    return Errc::busy;
  }
  SD_LOG(LogLevel::ERROR, "cannot open the port", *path, ec.message());
  return Errc::open_failed;
}

void reportLockTaking(const std::string& path, const LockTaking& how) {
  if (how.stale_pid != 0) {
    SD_LOG(LogLevel::WARN, "took over a stale lock file of a process that no longer runs", path,
           how.path, "pid " + std::to_string(how.stale_pid));
  }
  static std::atomic<bool> said_unusable{false};
  if (how.unusable && !said_unusable.exchange(true)) {
    SD_LOG(LogLevel::WARN,
           "no lock file for the port: programs that look for one (minicom, cu) will not see "
           "that this process holds it; flock and the tty's exclusive mode still keep it",
           how.path, how.unusable.message());
  }
}

std::string busyHolder(const std::string& path, int fd, const LockTaking& how) {
  return how.busy ? processName(how.holder) : portHolder(path, fd);
}

}  // namespace detail
}  // namespace serial_driver
