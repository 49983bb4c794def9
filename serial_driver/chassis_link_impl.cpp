// ChassisLink's state between operations: the node names it has used, opening and reopening
// its port, and counting what its operations did.
#include "serial_driver/chassis_link_impl.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "serial_driver/link_open.h"
#include "serial_driver/log.h"
#include "serial_driver/wire_facts.h"

namespace serial_driver {

void ChassisLink::Impl::setDevice(const std::string& path) {
  std::lock_guard<std::mutex> lock(names_mutex);
  auto known = std::find(device_names.begin(), device_names.end(), path);
  if (known == device_names.end()) known = device_names.insert(device_names.end(), path);
  device.store(&*known, std::memory_order_release);
}

std::error_code ChassisLink::Impl::openPort(const LinkOptions& for_options, detail::Port* into,
                                            std::string* path, bool log_busy) {
  OpenFailure why;
  const std::error_code ec = detail::openLinkPort(for_options, into, path, &why, log_busy);
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

std::error_code ChassisLink::Impl::attach() {
  const bool by_node = !options.serial.empty() || !options.device.empty();
  std::string path;
  if (by_node) {
    const std::error_code ec = openPort(options, &engine.port, &path, false);
    if (!ec) {
      ownPort(path);
      return {};
    }
    if (ec != Errc::busy) return ec;
  }
  const std::string socket = by_node ? detail::ownerSocketPath(options, path) : options.socket;
  OpenFailure held;
  if (by_node) {
    std::lock_guard<std::mutex> lock(mutex);
    held = failure;
  }
  std::error_code ec = detail::OwnerClient::connect(socket, &owner);
  // Only the port's holder is its owner: another program listening at the name is not.
  int holder_pid = 0;
  if (!ec && by_node && std::sscanf(held.holder.c_str(), "pid %d", &holder_pid) == 1 &&
      holder_pid != owner->ownerPid()) {
    owner.reset();
    ec = std::make_error_code(std::errc::connection_refused);
  }
  if (ec) {
    if (by_node) {  // a holder that does not serve
      detail::logBusy(held);
      return Errc::busy;
    }
    std::lock_guard<std::mutex> lock(mutex);
    failure = OpenFailure{ec, socket, {}};
    SD_LOG(LogLevel::ERROR, "no owner serves at the socket", socket, ec.message());
    return ec == std::errc::permission_denied ? Errc::open_failed : Errc::not_found;
  }
  through_owner = true;
  setDevice(by_node ? path : socket);
  SD_LOG(LogLevel::INFO, "the port's owner serves this link", socket,
         "pid " + std::to_string(owner->ownerPid()) + " (" + owner->ownerProgram() + ")");
  std::lock_guard<std::mutex> lock(mutex);
  failure = OpenFailure{};
  stats.owner_pid = owner->ownerPid();
  stats.owner_program = owner->ownerProgram();
  return {};
}

void ChassisLink::Impl::ownPort(const std::string& path) {
  through_owner = false;
  owner.reset();
  detail::EngineSettings settings;
  settings.reply_timeout = detail::replyTimeout(options);
  settings.byte_time = detail::byteTime(options.baud);
  settings.longest_late_window = std::max<detail::Clock::duration>(
      detail::kLongestResync, detail::replyDeadline(options.baud));
  settings.max_in_flight = options.max_in_flight;
  settings.reconnect_after = options.reconnect_after;
  engine.start(settings);
  setDevice(path);
  {
    std::lock_guard<std::mutex> lock(mutex);
    stats.owner_pid = 0;
    stats.owner_program.clear();
  }
  struct stat tty {};
  if (!options.serve || !options.exclusive || stat(path.c_str(), &tty) != 0) return;
  const std::string socket = detail::ownerSocketPath(options, path);
  // Packages make the directory with the rights an owner that is no root needs.
  if (options.socket.empty()) (void)mkdir(detail::socketDirectory().c_str(), 0755);
  std::error_code ec;
  auto serving = detail::OwnerServer::start(
      socket, tty, options.serve_writes, [this](detail::Item* item) { serveItem(item); }, &ec);
  if (!serving) {
    SD_LOG(LogLevel::WARN, "cannot serve other programs: they get busy", socket, ec.message());
  }
  std::lock_guard<std::mutex> lock(mutex);
  server = std::move(serving);
}

void ChassisLink::Impl::runItems(detail::Item* items, size_t count, const detail::StopSignal& stop,
                                 detail::Tally* tally) {
  if (through_owner && (!owner || owner->lost())) {
    // The owner went: the port itself when it is free, else whoever holds it now.
    owner.reset();
    if (const std::error_code ec = attach()) {
      ++tally->exchanges;
      ++tally->failures;
      for (size_t i = 0; i < count; ++i) {
        if (items[i].length >= 0) items[i].result = ec;
      }
      return;
    }
  }
  if (through_owner) {
    // The owner's own wait for an entry's late answers, its turn and other programs' commands
    // come before an answer.
    const detail::Clock::duration reply = detail::replyTimeout(options);
    const detail::Clock::duration extra = 2 * detail::kLongestResync + detail::kServedGrace;
    const detail::Clock::duration bound =
        reply > detail::Clock::duration::max() - extra ? reply : reply + extra;
    owner->run(items, count, stop, bound, tally);
  } else {
    engine.run(items, count, stop, tally);
  }
}

void ChassisLink::Impl::serveItem(detail::Item* item) {
  item->result = Errc::not_open;
  const std::error_code ec = inTurn(
      this,
      [&](uint64_t epoch) {
        detail::Tally tally;
        if (through_owner) {
          item->result = Errc::busy;  // only a link that holds the port serves
        } else {
          engine.run(item, 1, {turns, epoch, false}, &tally);
        }
        record(tally);
        return std::error_code();
      },
      true);
  if (ec) item->result = ec;
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
