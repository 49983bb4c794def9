// ChassisLink's state between operations: the node names it has used, opening and reopening
// its port, and counting what its operations did.
#include "serial_driver/chassis_link_impl.h"

#include <algorithm>

#include "serial_driver/link_open.h"
#include "serial_driver/log.h"

namespace serial_driver {

void ChassisLink::Impl::setDevice(const std::string& path) {
  std::lock_guard<std::mutex> lock(names_mutex);
  auto known = std::find(device_names.begin(), device_names.end(), path);
  if (known == device_names.end()) known = device_names.insert(device_names.end(), path);
  device.store(&*known, std::memory_order_release);
}

std::error_code ChassisLink::Impl::openPort(const LinkOptions& for_options, detail::Port* into,
                                            std::string* path) {
  OpenFailure why;
  const std::error_code ec = detail::openLinkPort(for_options, into, path, &why);
  std::lock_guard<std::mutex> lock(mutex);
  failure = ec ? std::move(why) : OpenFailure{};
  return ec;
}

std::error_code ChassisLink::Impl::reopenPort(detail::Port* into) {
  std::string path;
  if (const std::error_code ec = openPort(options, into, &path)) return ec;
  setDevice(path);
  SD_LOG(LogLevel::INFO, "link reconnected", path);
  return {};
}

void ChassisLink::Impl::record(const detail::Tally& tally) {
  std::lock_guard<std::mutex> lock(mutex);
  if (tally.exchanges != 0) {
    stats.last_exchange = tally.last_exchange;
    stats.max_exchange = std::max(stats.max_exchange, tally.max_exchange);
  }
  stats.exchanges += tally.exchanges;
  stats.failures += tally.failures;
  stats.reconnections += tally.reconnections;
  stats.skipped_lines += tally.skipped_lines;
  stats.stale_replies += tally.stale_replies;
  stats.discarded_bytes += tally.discarded_bytes;
  stats.out_of_step += tally.out_of_step;
  stats.held_back += tally.held_back;
}

}  // namespace serial_driver
