// ChassisLink's state between operations: the node names it has used, opening and reopening
// its port, and counting what its operations did.
#include "serial_driver/chassis_link_impl.h"

#include <algorithm>

#include "serial_driver/link_open.h"
#include "serial_driver/log.h"

namespace serial_driver {

using detail::Clock;

void ChassisLink::Impl::setDevice(const std::string& path) {
  std::lock_guard<std::mutex> lock(names_mutex);
  auto known = std::find(device_names.begin(), device_names.end(), path);
  if (known == device_names.end()) known = device_names.insert(device_names.end(), path);
  device.store(&*known, std::memory_order_release);
}

std::error_code ChassisLink::Impl::openPort(const LinkOptions& for_options, std::string* path) {
  OpenFailure why;
  const std::error_code ec = detail::openLinkPort(for_options, &port, path, &why);
  std::lock_guard<std::mutex> lock(mutex);
  failure = ec ? std::move(why) : OpenFailure{};
  return ec;
}

std::error_code ChassisLink::Impl::reopen() {
  port.close();
  stale.clear();
  std::string path;
  const std::error_code ec = openPort(options, &path);
  if (ec) {
    backoff.failed(ec, Clock::now());
    return ec;
  }
  setDevice(path);
  backoff.succeeded();
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++stats.reconnections;
  }
  SD_LOG(LogLevel::INFO, "link reconnected", path);
  return {};
}

std::error_code ChassisLink::Impl::count(std::error_code result, Clock::time_point start) {
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++stats.exchanges;
    stats.last_exchange = took;
    stats.max_exchange = std::max(stats.max_exchange, took);
    if (result) ++stats.failures;
  }
  // A cancelled operation says nothing about the line.
  if (result == Errc::cancelled) return result;
  const bool due = detail::countFailure(&failures_in_row, bool(result), options.reconnect_after);
  if (result == Errc::hung_up || due) {
    failures_in_row = 0;
    // A failed reopen leaves the port lost; a later operation tries again.
    const std::error_code reopened = reopen();
    if (reopened) SD_LOG_THROTTLED(LogLevel::WARN, "reconnection failed", reopened.message());
  }
  return result;
}

void ChassisLink::Impl::countSkipped(const detail::Skipped& skipped) {
  std::lock_guard<std::mutex> lock(mutex);
  stats.skipped_lines += skipped.lines;
  stats.stale_replies += skipped.stale_replies;
  stats.discarded_bytes += skipped.bytes;
}

}  // namespace serial_driver
