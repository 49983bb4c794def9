// ChassisLink's public face and the sequence of one operation: take the turn, get the port
// back if it was lost, let a late answer to the same entry pass, exchange, count the result
// and reconnect when due.
#include "serial_driver/chassis_link.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "serial_driver/chassis_link_impl.h"
#include "serial_driver/frame.h"
#include "serial_driver/held_log_lines.h"
#include "serial_driver/line.h"
#include "serial_driver/link_open.h"
#include "serial_driver/log.h"
#include "serial_driver/value_types.h"

namespace serial_driver {

using detail::Clock;

std::error_code ChassisLink::Impl::run(Impl* impl, char* command, int length,
                                       const detail::Expected& what) {
  return inTurn(impl, [&](uint64_t epoch) { return impl->exchange(command, length, what, epoch); });
}

std::error_code ChassisLink::Impl::exchange(char* command, int length, const detail::Expected& what,
                                            uint64_t epoch) {
  const auto start = Clock::now();
  if (!port.isOpen()) {
    // The port was lost: at most one attempt to get it back per pause; operations in
    // between fail at once, uncounted, with the last attempt's error.
    if (!backoff.mayTry(start)) return backoff.lastError();
    if (const std::error_code reopened = reopen()) return count(reopened, start);
  }
  const detail::WaitContext waits{turns, epoch, byte_time, stale};
  detail::LineReader lines;
  detail::Skipped skipped;
  std::error_code ec;
  const auto clear_at = stale.clearAt(what, start);
  if (clear_at > start) ec = detail::awaitStale(port, lines, what, clear_at, waits, &skipped);
  if (ec == Errc::cancelled) {
    skipped.bytes += lines.dropped();
    countSkipped(skipped);
    return ec;  // nothing was sent
  }
  skipped.bang = skipped.other_frame = false;  // those were not this command's
  if (!ec) ec = detail::sendCommand(port, command, length);
  // The reply's time starts with the command, not with a reopen or a late answer's wait.
  if (!ec) {
    ec = detail::awaitReply(port, lines, what, detail::later(Clock::now(), reply_timeout), waits,
                            &skipped);
  }
  skipped.bytes += lines.dropped();
  countSkipped(skipped);
  const std::error_code result = count(ec, start);
  // Its answer may still come: a later command for the same entry waits for it to pass.
  if (result && result != Errc::hung_up && port.isOpen()) {
    stale.add(what, Clock::now(),
              detail::lateAnswerWindow(reply_timeout, detail::kLateAnswerDeadlines, longest_resync),
              detail::lateAnswerWindow(reply_timeout, detail::kUnansweredLateAnswerDeadlines,
                                       longest_resync));
  }
  return result;
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
  if (options.serial.empty() && options.device.empty()) return Errc::bad_value;
  std::string path;
  if (const std::error_code ec = link.openPort(options, &path)) {
    if (ec == Errc::not_found && options.serial.empty()) {
      SD_LOG(LogLevel::ERROR, "no such device", path);
    } else if (ec == Errc::not_found) {
      SD_LOG(LogLevel::ERROR, "no 1a86:7523 adapter with this serial number", options.serial);
    }
    return ec;
  }
  link.options = options;
  link.reply_timeout = detail::replyTimeout(options);
  link.longest_resync =
      std::max<Clock::duration>(detail::kLongestResync, detail::replyDeadline(options.baud));
  link.byte_time = detail::byteTime(options.baud);
  link.failures_in_row = 0;
  link.stale.clear();
  link.backoff.succeeded();
  link.setDevice(path);
  link.turns.setInterruptCheck(options.interrupt_check);
  link.owner_pid = getpid();
  std::lock_guard<std::mutex> lock(link.mutex);
  link.open = true;
  link.stats = LinkStats{};
  return {};
}

void ChassisLink::close() {
  if (!impl_) return;
  Impl& link = *impl_;
  const Impl::Inside inside(&link);
  if (link.owner_pid != 0 && link.owner_pid != getpid()) {
    // A child's copy: its locks and turn may be frozen as they were at fork(). Only the
    // child's descriptor goes; the parent keeps the port and its exclusive mode.
    link.port.close();
    link.owner_pid = 0;
    return;
  }
  detail::HeldLogLines held;
  // An operation in progress ends at once instead of keeping close() waiting.
  cancel();
  link.turns.take(0, false);
  link.port.close();
  link.stale.clear();
  link.device.store(nullptr, std::memory_order_release);
  link.turns.setInterruptCheck(nullptr);
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    link.open = false;
  }
  link.turns.give();
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

std::error_code ChassisLink::set(int index, float value) {
  if (!std::isfinite(value)) return Errc::bad_value;
  char command[kFrameSize];
  const int length = detail::formatSetFloat(command, index, value);
  return Impl::run(impl_.get(), command, length, {index, false, 0, nullptr});
}

std::error_code ChassisLink::set(int index, int value) {
  char command[kFrameSize];
  const int length = detail::formatSetInt(command, index, value);
  return Impl::run(impl_.get(), command, length, {index, false, 0, nullptr});
}

std::error_code ChassisLink::set(int index, std::string_view text) {
  // An empty view may have no data at all.
  if (detail::textRefusal(text.empty() ? "" : text.data(), text.size()) != nullptr ||
      text.size() >= kFrameSize) {
    return Errc::bad_value;
  }
  char value[kFrameSize];
  if (!text.empty()) memcpy(value, text.data(), text.size());
  value[text.size()] = '\0';
  char command[kFrameSize];
  const int length = detail::formatSetText(command, index, value);
  if (!detail::textFits(length)) return Errc::bad_value;
  return Impl::run(impl_.get(), command, length, {index, false, 0, nullptr});
}

std::error_code ChassisLink::set(int index, const char* text) {
  if (text == nullptr) return Errc::bad_value;
  return set(index, std::string_view(text));
}

std::error_code ChassisLink::get(int index, float& value) {
  char command[kFrameSize];
  const int length = detail::formatGet(command, index);
  return Impl::run(impl_.get(), command, length, {index, true, kValueFloat, &value});
}

std::error_code ChassisLink::get(int index, int& value) {
  char command[kFrameSize];
  const int length = detail::formatGet(command, index);
  return Impl::run(impl_.get(), command, length, {index, true, kValueInt, &value});
}

std::error_code ChassisLink::get(int index, std::string& text) {
  char command[kFrameSize];
  const int length = detail::formatGet(command, index);
  char value[kFrameSize];
  const std::error_code ec =
      Impl::run(impl_.get(), command, length, {index, true, kValueText, value});
  if (!ec) text.assign(value);
  return ec;
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
  return impl_->stats;
}

}  // namespace serial_driver
