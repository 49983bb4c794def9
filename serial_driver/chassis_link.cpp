// ChassisLink's public face: opening and closing, and every operation as items for the
// engine, run in the link's turn.
#include "serial_driver/chassis_link.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "serial_driver/chassis_link_impl.h"
#include "serial_driver/frame.h"
#include "serial_driver/held_log_lines.h"
#include "serial_driver/link_open.h"
#include "serial_driver/log.h"
#include "serial_driver/value_types.h"
#include "serial_driver/wire_facts.h"

namespace serial_driver {

using detail::Clock;

std::error_code ChassisLink::Impl::run(Impl* impl, detail::Item* items, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    items[i].result = items[i].length < 0 ? std::error_code(Errc::bad_value) : Errc::not_open;
  }
  const std::error_code ec = inTurn(impl, [&](uint64_t epoch) {
    detail::Tally tally;
    impl->runItems(items, count, {impl->turns, epoch}, &tally);
    impl->record(tally);
    return std::error_code();
  });
  if (count == 0) return ec;  // nothing to send, but a closed link says so
  for (size_t i = 0; i < count; ++i) {
    if (ec && items[i].result == Errc::not_open) items[i].result = ec;  // the turn never came
    if (items[i].result) return items[i].result;
  }
  return {};
}

ChassisLink::Impl::Inside::Inside(Impl* impl) : impl_(impl) {
  if (impl_ != nullptr) impl_->calls_inside.fetch_add(1, std::memory_order_acq_rel);
}

ChassisLink::Impl::Inside::~Inside() {
  // The last touch of the state: once the count is down the destructor may free it.
  if (impl_ != nullptr) impl_->calls_inside.fetch_sub(1, std::memory_order_acq_rel);
}

ChassisLink::Impl::~Impl() {
  if (made_by_pid != getpid()) return;
  // The link was closed and its waits cancelled; a call that began its wait after that
  // cancellation is ended by the next one.
  while (calls_inside.load(std::memory_order_acquire) != 0) {
    turns.cancel();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

ChassisLink::ChassisLink() : impl_(new Impl) {}

ChassisLink::~ChassisLink() { close(); }

ChassisLink::ChassisLink(ChassisLink&& other) noexcept = default;

ChassisLink& ChassisLink::operator=(ChassisLink&& other) noexcept {
  if (this != &other) {
    close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}

std::error_code ChassisLink::open(const LinkOptions& options) {
  if (!impl_) impl_.reset(new Impl);
  const Impl::Inside inside(impl_.get());
  close();
  Impl& link = *impl_;
  detail::HeldLogLines held;
  if (const std::error_code ec = link.turns.take(link.turns.epoch(), true)) return ec;
  struct GiveTurn {
    Impl& link;
    ~GiveTurn() { link.turns.give(); }
  } give_turn{link};

  if (detail::baudConstant(options.baud) == 0) return Errc::bad_baud;
  if (options.reconnect_after < 1 || options.reply_timeout.count() < 0 ||
      options.max_in_flight < 1 || options.max_in_flight > kMaxInFlight) {
    return Errc::bad_value;
  }
  if (options.serial.empty() && options.device.empty() && options.socket.empty()) {
    return Errc::bad_value;
  }
  link.options = options;
  if (const std::error_code ec = link.attach()) {
    if (ec == Errc::not_found && options.serial.empty() && !options.device.empty()) {
      SD_LOG(LogLevel::ERROR, "no such device", options.device);
    } else if (ec == Errc::not_found && !options.serial.empty()) {
      SD_LOG(LogLevel::ERROR, "no 1a86:7523 adapter with this serial number", options.serial);
    }
    return ec;
  }
  link.turns.setInterruptCheck(options.interrupt_check);
  link.owner_pid = getpid();
  std::lock_guard<std::mutex> lock(link.mutex);
  link.open = true;
  // What attach() said of the owner stays.
  LinkStats fresh;
  fresh.owner_pid = link.stats.owner_pid;
  fresh.owner_program = link.stats.owner_program;
  link.stats = fresh;
  return {};
}

void ChassisLink::close() {
  if (!impl_) return;
  Impl& link = *impl_;
  const Impl::Inside inside(&link);
  if (link.owner_pid != 0 && link.owner_pid != getpid()) {
    // A child's copy: its locks and turn may be frozen as they were at fork(). Only the
    // child's descriptor goes; the parent keeps the port and its exclusive mode.
    link.engine.port.close();
    link.server.reset();
    link.owner.reset();
    link.owner_pid = 0;
    return;
  }
  detail::HeldLogLines held;
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    if (link.server) link.server->stopSoon();
  }
  // An operation in progress ends at once instead of keeping close() waiting.
  cancel();
  link.turns.take(0, false);
  link.engine.stop();
  link.owner.reset();
  link.through_owner = false;
  std::unique_ptr<detail::OwnerServer> serving;
  link.device.store(nullptr, std::memory_order_release);
  link.turns.setInterruptCheck(nullptr);
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    link.open = false;
    serving = std::move(link.server);
  }
  link.turns.give();
  // After the turn is given: the serving thread may be waiting for it, and ends on seeing the
  // link closed.
  serving.reset();
}

void ChassisLink::cancel() noexcept {
  if (impl_) impl_->turns.cancel();
}

bool ChassisLink::is_open() const {
  if (!impl_ || impl_->owner_pid != getpid()) return false;
  const Impl::Inside inside(impl_.get());
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->open;
}

const std::string& ChassisLink::device() const {
  static const std::string none;
  const std::string* current = impl_ ? impl_->device.load(std::memory_order_acquire) : nullptr;
  return current != nullptr ? *current : none;
}

namespace {

detail::Item setItem(int index) {
  detail::Item item;
  item.index = index;
  return item;
}

detail::Item getItem(int index, int data_type, void* value) {
  detail::Item item;
  item.index = index;
  item.is_get = true;
  item.data_type = data_type;
  item.value = value;
  item.length = detail::formatGet(item.command, index);
  return item;
}

}  // namespace

std::error_code ChassisLink::set(int index, float value) {
  detail::Item item = setItem(index);
  if (!detail::fillSet(&item, value)) return Errc::bad_value;
  return Impl::run(impl_.get(), &item, 1);
}

std::error_code ChassisLink::set(int index, int value) {
  detail::Item item = setItem(index);
  detail::fillSet(&item, value);
  return Impl::run(impl_.get(), &item, 1);
}

std::error_code ChassisLink::set(int index, std::string_view text) {
  detail::Item item = setItem(index);
  if (!detail::fillSet(&item, text)) return Errc::bad_value;
  return Impl::run(impl_.get(), &item, 1);
}

std::error_code ChassisLink::set(int index, const char* text) {
  if (text == nullptr) return Errc::bad_value;
  return set(index, std::string_view(text));
}

std::error_code ChassisLink::get(int index, float& value) {
  detail::Item item = getItem(index, kValueFloat, &value);
  return Impl::run(impl_.get(), &item, 1);
}

std::error_code ChassisLink::get(int index, int& value) {
  detail::Item item = getItem(index, kValueInt, &value);
  return Impl::run(impl_.get(), &item, 1);
}

std::error_code ChassisLink::get(int index, std::string& text) {
  detail::Item item = getItem(index, kValueText, &text);
  return Impl::run(impl_.get(), &item, 1);
}

std::error_code ChassisLink::exchange(Batch& batch) {
  return Impl::run(impl_.get(), batch.items(), batch.size());
}

OpenFailure ChassisLink::open_failure() const {
  if (!impl_) return {};
  const Impl::Inside inside(impl_.get());
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->failure;
}

LinkStats ChassisLink::stats() const {
  if (!impl_) return {};
  const Impl::Inside inside(impl_.get());
  std::lock_guard<std::mutex> lock(impl_->mutex);
  LinkStats stats = impl_->stats;
  stats.clients = impl_->server ? impl_->server->clients() : 0;
  return stats;
}

}  // namespace serial_driver
