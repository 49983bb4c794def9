#include "serial_driver/chassis_link.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>

#include "serial_driver/held_log_lines.h"
#include "serial_driver/line.h"
#include "serial_driver/log.h"
#include "serial_driver/protocol.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/uart.h"

namespace serial_driver {

namespace {

using Clock = std::chrono::steady_clock;
using detail::Verdict;

class LinkCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "serial_driver::link"; }
  std::string message(int code) const override {
    switch (static_cast<Errc>(code)) {
      case Errc::not_found:
        return "no such adapter or device is attached";
      case Errc::open_failed:
        return "the port could not be opened or configured";
      case Errc::bad_baud:
        return "unsupported baud rate";
      case Errc::not_open:
        return "the link is not open";
      case Errc::send_failed:
        return "the command could not be sent";
      case Errc::hung_up:
        return "the port hung up (adapter unplugged?)";
      case Errc::timeout:
        return "no valid reply in time";
      case Errc::rejected:
        return "the controller refused the command";
      case Errc::bad_reply:
        return "the reply does not answer the command";
      case Errc::bad_value:
        return "the value cannot be sent";
      case Errc::cancelled:
        return "the operation was cancelled";
    }
    return "unknown link error";
  }
};

// The allowance a 115200-baud line leaves the controller within the 11 ms of the classic
// interface once the longest exchange (a 64-byte frame and an 8-byte one) has crossed it.
constexpr double kLongestExchangeBytes = 72;
constexpr double kBitsPerByte = 10;  // 8N1
constexpr double kControllerAllowanceMicros =
    detail::kReplyWindow.count() - kLongestExchangeBytes * kBitsPerByte * 1e6 / 115200;

// How often a thread waiting for its turn looks at cancel() and interrupt_check.
constexpr auto kTurnCheckInterval = std::chrono::milliseconds(20);
// While the adapter stays away the link looks for it again after these pauses, doubling: a
// control loop must not enumerate udev on every call.
constexpr auto kFirstReopenPause = std::chrono::milliseconds(5);
constexpr auto kLongestReopenPause = std::chrono::milliseconds(100);
// The longest resynchronisation, unless the rate's own reply deadline is longer: a reply
// later than that is no controller's, and longer would stall the caller.
constexpr auto kLongestResync = std::chrono::seconds(1);

Clock::duration defaultReplyTimeout(int baud) {
  const double wire = kLongestExchangeBytes * kBitsPerByte * 1e6 / baud;
  return std::chrono::microseconds(static_cast<long>(std::ceil(wire + kControllerAllowanceMicros)));
}

// The option as a clock duration; the largest values saturate to "as long as it takes".
Clock::duration replyTimeout(const LinkOptions& options) {
  if (options.reply_timeout.count() == 0) return defaultReplyTimeout(options.baud);
  if (options.reply_timeout >=
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration::max())) {
    return Clock::duration::max();
  }
  return options.reply_timeout;
}

// now + wait without overflowing.
Clock::time_point later(Clock::time_point now, Clock::duration wait) {
  return wait >= Clock::time_point::max() - now ? Clock::time_point::max() : now + wait;
}

// The node to open: the adapter with the serial number, found by the classic interface's
// lookup (empty when none is attached), or else the device path as given.
std::string nodeToOpen(const LinkOptions& options) {
  if (options.serial.empty()) return options.device;
  return getDevicePort(detail::kAdapterProduct, detail::kAdapterVendor, options.serial);
}

// Opens and configures a port; the descriptor in *fd on success.
std::error_code openPort(const std::string& path, int baud, int* fd) {
  const int opened = uart_open_no_block(path.c_str());
  if (opened <= 0) return Errc::open_failed;
  // The line settings are read back: a node that is no tty, or a tty that dropped some of
  // them, would otherwise pass for a working port.
  const int configured = uart_set(opened, baud, detail::kFlowControlNone, detail::kDataBits,
                                  detail::kStopBits, detail::kParityNone);
  termios applied{};
  if (configured != 1 || tcgetattr(opened, &applied) != 0 ||
      cfgetospeed(&applied) != detail::baudConstant(baud) ||
      (applied.c_lflag & (ICANON | ECHO | ISIG)) != 0 || (applied.c_iflag & (ICRNL | IXON)) != 0 ||
      (applied.c_oflag & OPOST) != 0) {
    SD_LOG(LogLevel::ERROR, "the port refused the line settings", path);
    uart_close(opened);
    return Errc::open_failed;
  }
  *fd = opened;
  return {};
}

// Finds and opens the node for options; its path in *path on success.
std::error_code findAndOpen(const LinkOptions& options, std::string* path, int* fd) {
  *path = nodeToOpen(options);
  if (path->empty() || access(path->c_str(), F_OK) != 0) return Errc::not_found;
  return openPort(*path, options.baud, fd);
}

// Bytes of the shortest reply that can answer the command: "$ack <index>", or "$fdb <index>"
// with a blank and one character more for a number, then checksum and newline.
int minimumReply(int index, int data_type) {
  char text[kFrameSize];
  const int number_value = data_type == kValueInt || data_type == kValueFloat ? 2 : 0;
  return snprintf(text, sizeof text, "$ack %d", index) + number_value + 2;
}

bool hangUpErrno() { return errno == EIO || errno == ENXIO || errno == ENODEV; }

bool hungUp(int fd) {
  pollfd port{fd, POLLIN, 0};
  return poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

const std::error_category& link_category() noexcept {
  static const LinkCategory category;
  return category;
}

std::error_code make_error_code(Errc e) noexcept { return {static_cast<int>(e), link_category()}; }

// Hidden: only the class itself is the interface.
struct SERIAL_DRIVER_NO_EXPORT ChassisLink::Impl {
  // An operation's command, and where its reply goes.
  struct Exchange {
    int index;
    bool is_get;
    int data_type;  // for a get: kValueInt, kValueFloat or kValueText
    void* value;
  };

  Impl() : wake_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Impl() {
    dropPort();
    if (wake_fd >= 0) ::close(wake_fd);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // One operation on the link behind impl (null once moved from), in its turn.
  static std::error_code run(Impl* impl, char* command, int length, const Exchange& what);
  // Waits until no other operation runs. A cancellable wait gives up on cancel() or when
  // interrupt_check says so.
  std::error_code takeTurn(uint64_t epoch, bool cancellable);
  void giveTurn();
  bool shouldStop(uint64_t epoch) const;

  std::error_code exchange(char* command, int length, const Exchange& what, uint64_t epoch);
  std::error_code resynchronise(uint64_t epoch);
  std::error_code awaitReply(const Exchange& what, Clock::time_point deadline, uint64_t epoch);
  std::error_code pauseUntil(Clock::time_point until, uint64_t epoch);
  std::error_code reopen();
  void dropPort();
  // Counts a finished operation; a hang-up or the reconnect_after-th failure in a row reopens
  // the port before the result is returned.
  std::error_code countAndMaybeReconnect(std::error_code result, Clock::time_point start);
  void setDevice(const std::string& path);

  // Guarded by mutex.
  mutable std::mutex mutex;
  std::condition_variable turn_free;
  bool busy = false;  // an operation holds the turn
  bool open = false;
  LinkStats stats;
  std::shared_ptr<const std::function<bool()>> interrupt_check;

  // Used by the operation holding the turn only.
  LinkOptions options;
  Clock::duration reply_timeout{0};
  Clock::duration longest_resync{0};
  std::chrono::nanoseconds byte_time{0};  // one byte's wire time at the line's rate
  int fd = -1;                            // -1 while the link is open but its port is lost
  int failures_in_row = 0;
  bool resync_pending = false;  // a failed exchange's reply may still come
  Clock::time_point next_reopen_at{};
  Clock::duration reopen_pause = kFirstReopenPause;
  std::error_code last_reopen_error;

  // cancel() counts up and wakes the waiting operation through wake_fd (an eventfd); an
  // operation that began at another count is cancelled.
  std::atomic<uint64_t> cancel_epoch{0};
  const int wake_fd;

  // Every node name the link has used, never changed once stored, so a reference that
  // device() returned stays valid and unchanged while another thread reconnects.
  std::mutex names_mutex;
  std::deque<std::string> device_names;
  std::atomic<const std::string*> device{nullptr};
};

bool ChassisLink::Impl::shouldStop(uint64_t epoch) const {
  if (cancel_epoch.load(std::memory_order_acquire) != epoch) return true;
  return options.interrupt_check && options.interrupt_check();
}

std::error_code ChassisLink::Impl::takeTurn(uint64_t epoch, bool cancellable) {
  std::unique_lock<std::mutex> lock(mutex);
  while (busy) {
    if (cancellable && cancel_epoch.load(std::memory_order_acquire) != epoch) {
      return Errc::cancelled;
    }
    turn_free.wait_for(lock, kTurnCheckInterval);
    if (!busy || !cancellable || !interrupt_check || !*interrupt_check) continue;
    // Asked without the lock: the check may wait for a lock of the caller's own.
    const auto check = interrupt_check;
    lock.unlock();
    const bool stop = (*check)();
    lock.lock();
    if (stop) return Errc::cancelled;
  }
  busy = true;
  return {};
}

void ChassisLink::Impl::giveTurn() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    busy = false;
  }
  turn_free.notify_one();
}

void ChassisLink::Impl::dropPort() {
  if (fd >= 0) uart_close(fd);
  fd = -1;
  resync_pending = false;
}

void ChassisLink::Impl::setDevice(const std::string& path) {
  std::lock_guard<std::mutex> lock(names_mutex);
  auto known = std::find(device_names.begin(), device_names.end(), path);
  if (known == device_names.end()) known = device_names.insert(device_names.end(), path);
  device.store(&*known, std::memory_order_release);
}

std::error_code ChassisLink::Impl::reopen() {
  dropPort();
  std::string path;
  int opened = -1;
  const std::error_code ec = findAndOpen(options, &path, &opened);
  const auto now = Clock::now();
  if (ec) {
    last_reopen_error = ec;
    next_reopen_at = later(now, reopen_pause);
    reopen_pause = std::min<Clock::duration>(2 * reopen_pause, kLongestReopenPause);
    return ec;
  }
  fd = opened;
  setDevice(path);
  reopen_pause = kFirstReopenPause;
  next_reopen_at = Clock::time_point{};
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++stats.reconnections;
  }
  SD_LOG(LogLevel::INFO, "link reconnected", path);
  return {};
}

std::error_code ChassisLink::Impl::countAndMaybeReconnect(std::error_code result,
                                                          Clock::time_point start) {
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++stats.exchanges;
    stats.last_exchange = took;
    if (took > stats.max_exchange) stats.max_exchange = took;
    if (result) ++stats.failures;
  }
  if (!result) {
    failures_in_row = 0;
    return result;
  }
  // An answer to this command may still arrive: the next command waits for a quiet line.
  resync_pending = fd >= 0;
  // A cancelled operation says nothing about the line.
  if (result == Errc::cancelled) return result;
  const bool hung_up = result == Errc::hung_up;
  if (hung_up || ++failures_in_row >= options.reconnect_after) {
    failures_in_row = 0;
    // A failed reopen leaves the port lost; a later operation tries again.
    const std::error_code reopened = reopen();
    if (reopened) SD_LOG_THROTTLED(LogLevel::WARN, "reconnection failed", reopened.message());
  }
  return result;
}

std::error_code ChassisLink::Impl::run(Impl* impl, char* command, int length,
                                       const Exchange& what) {
  if (impl == nullptr) return Errc::not_open;
  // Messages wait until the turn is given back: a sink may use this link itself.
  detail::HeldLogLines held;
  const uint64_t epoch = impl->cancel_epoch.load(std::memory_order_acquire);
  if (const std::error_code ec = impl->takeTurn(epoch, true)) return ec;
  std::error_code result;
  bool is_open = false;
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    is_open = impl->open;
  }
  if (!is_open) {
    result = Errc::not_open;
  } else {
    // A cancel() from before this operation took its turn may have left the wake-up behind.
    uint64_t ignored = 0;
    if (impl->wake_fd >= 0) (void)!read(impl->wake_fd, &ignored, sizeof ignored);
    result = impl->cancel_epoch.load(std::memory_order_acquire) != epoch
                 ? std::error_code(Errc::cancelled)
                 : impl->exchange(command, length, what, epoch);
  }
  impl->giveTurn();
  return result;
}

std::error_code ChassisLink::Impl::exchange(char* command, int length, const Exchange& what,
                                            uint64_t epoch) {
  const auto start = Clock::now();
  if (fd < 0) {
    // The port was lost: at most one attempt to get it back per pause; operations in
    // between fail at once, uncounted, with the last attempt's error.
    if (start < next_reopen_at) return last_reopen_error;
    const std::error_code reopened = reopen();
    if (reopened) return countAndMaybeReconnect(reopened, start);
  }
  if (resync_pending) {
    const std::error_code ec = resynchronise(epoch);
    if (ec == Errc::cancelled) return ec;
    if (ec) return countAndMaybeReconnect(ec, start);
  }
  const int frame_length = detail::sealFrame(command, length);
  clear_receive_buf(fd);
  const int sent = uart_send(fd, command, frame_length);
  if (sent != frame_length) {
    const bool hung_up = sent < 0 && hangUpErrno();
    SD_LOG_THROTTLED(LogLevel::WARN, hung_up ? "port hung up" : "command not sent", sent,
                     frame_length);
    return countAndMaybeReconnect(hung_up ? Errc::hung_up : Errc::send_failed, start);
  }
  // The reply's time starts with the command, not with a reopen or resynchronisation.
  const auto deadline = later(Clock::now(), reply_timeout);
  return countAndMaybeReconnect(awaitReply(what, deadline, epoch), start);
}

std::error_code ChassisLink::Impl::resynchronise(uint64_t epoch) {
  const auto quiet = detail::resyncQuietTime(reply_timeout, failures_in_row, longest_resync);
  const detail::Resync done =
      detail::discardUntilQuiet(fd, quiet, wake_fd, [&] { return shouldStop(epoch); });
  {
    std::lock_guard<std::mutex> lock(mutex);
    stats.discarded_bytes += done.discarded;
  }
  switch (done.end) {
    case detail::QuietEnd::kQuiet:
      resync_pending = false;
      return {};
    case detail::QuietEnd::kCancelled:
      return Errc::cancelled;
    default:
      return Errc::hung_up;
  }
}

std::error_code ChassisLink::Impl::pauseUntil(Clock::time_point until, uint64_t epoch) {
  for (;;) {
    const timespec wait = detail::timeLeft(until);
    if (wait.tv_sec == 0 && wait.tv_nsec == 0) return {};
    pollfd wake{wake_fd, POLLIN, 0};
    const int ready = ppoll(&wake, wake_fd >= 0 ? 1 : 0, &wait, nullptr);
    if (ready == 0) return {};
    if (shouldStop(epoch)) return Errc::cancelled;
  }
}

// Wakes on input, so a reply is taken as soon as its last byte has arrived.
std::error_code ChassisLink::Impl::awaitReply(const Exchange& what, Clock::time_point deadline,
                                              uint64_t epoch) {
  char buf[kFrameSize] = {};
  detail::ReplyBuffer reply(buf);
  for (;;) {
    // Past the deadline the port is still looked at once: a reply that came in time is taken
    // even when this thread itself was kept off the processor.
    const timespec wait = detail::timeLeft(deadline);
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ppoll(fds, wake_fd >= 0 ? 2 : 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return Errc::hung_up;
    if (ready < 0 || fds[1].revents != 0) {
      if (shouldStop(epoch)) return Errc::cancelled;
      continue;  // another signal: the deadline is unchanged
    }
    if (ready == 0) return Errc::timeout;
    if ((fds[0].revents & POLLIN) == 0) return Errc::hung_up;  // POLLHUP, POLLERR, POLLNVAL
    // No valid frame can start in a full buffer: more bytes would only wake us in a loop.
    if (reply.room() == 0) return Errc::timeout;
    const int got = uart_recv_no_block(fd, reply.end(), reply.room());
    if (got < 0 && hangUpErrno()) return Errc::hung_up;
    // Nothing read after POLLIN: end of file on a hung-up tty, or the bytes went elsewhere.
    if (got == 0 && hungUp(fd)) return Errc::hung_up;
    if (got <= 0) continue;
    reply.added(got);
    if (!reply.holdsFrame()) {
      // On a slow line the reply trickles in a byte at a time. It cannot be shorter than
      // "$ack <index>" or "$fdb <index>" with checksum and newline, so the wait skips the wakes
      // for bytes that must still come and still wakes for the last of them.
      const int missing = minimumReply(what.index, what.is_get ? what.data_type : 0) - reply.size();
      if (missing > 1) {
        const auto until = std::min(deadline, Clock::now() + (missing - 1) * byte_time);
        if (pauseUntil(until, epoch)) return Errc::cancelled;
      }
      continue;
    }

    int index_seen = 0;
    const Verdict verdict =
        what.is_get ? detail::judgeFeedback(reply.tokens, what.index, what.data_type, what.value,
                                            &index_seen, detail::NumberSyntax::kExact)
                    : detail::judgeAck(reply.tokens, what.index);
    switch (verdict) {
      case Verdict::kAccepted:
        return {};
      case Verdict::kKeepWaiting:
        continue;
      case Verdict::kWrongKind:
        return reply.tokens[0][0] == '!' ? Errc::rejected : Errc::bad_reply;
      default:
        return Errc::bad_reply;
    }
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
  close();
  Impl& link = *impl_;
  detail::HeldLogLines held;
  const uint64_t epoch = link.cancel_epoch.load(std::memory_order_acquire);
  if (const std::error_code ec = link.takeTurn(epoch, true)) return ec;
  struct GiveTurn {
    Impl& link;
    ~GiveTurn() { link.giveTurn(); }
  } give_turn{link};

  if (detail::baudConstant(options.baud) == 0) return Errc::bad_baud;
  if (options.reconnect_after < 1 || options.reply_timeout.count() < 0) return Errc::bad_value;
  std::string path;
  int fd = -1;
  if (const std::error_code ec = findAndOpen(options, &path, &fd)) {
    if (ec == Errc::not_found && options.serial.empty()) {
      SD_LOG(LogLevel::ERROR, "no such device", path);
    } else if (ec == Errc::not_found) {
      SD_LOG(LogLevel::ERROR, "no 1a86:7523 adapter with this serial number", options.serial);
    }
    return ec;
  }

  link.options = options;
  link.reply_timeout = replyTimeout(options);
  link.longest_resync =
      std::max<Clock::duration>(kLongestResync, defaultReplyTimeout(options.baud));
  link.byte_time = std::chrono::nanoseconds(static_cast<long>(kBitsPerByte * 1e9 / options.baud));
  link.fd = fd;
  link.failures_in_row = 0;
  link.resync_pending = false;
  link.reopen_pause = kFirstReopenPause;
  link.next_reopen_at = Clock::time_point{};
  link.setDevice(path);
  std::lock_guard<std::mutex> lock(link.mutex);
  link.open = true;
  link.stats = LinkStats{};
  link.interrupt_check =
      options.interrupt_check
          ? std::make_shared<const std::function<bool()>>(options.interrupt_check)
          : nullptr;
  return {};
}

void ChassisLink::close() {
  if (!impl_) return;
  Impl& link = *impl_;
  detail::HeldLogLines held;
  // An operation in progress ends at once instead of keeping close() waiting.
  cancel();
  link.takeTurn(0, false);
  link.dropPort();
  link.device.store(nullptr, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    link.open = false;
    link.interrupt_check = nullptr;
  }
  link.giveTurn();
}

void ChassisLink::cancel() noexcept {
  if (!impl_) return;
  // Both steps are safe in a signal handler.
  impl_->cancel_epoch.fetch_add(1, std::memory_order_acq_rel);
  const uint64_t one = 1;
  if (impl_->wake_fd >= 0) (void)!write(impl_->wake_fd, &one, sizeof one);
}

bool ChassisLink::is_open() const {
  if (!impl_) return false;
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
  // A NUL would end the text early on the wire; a newline would end the frame. An empty view
  // may have no data at all.
  if (text.find('\0') != std::string_view::npos || text.find('\n') != std::string_view::npos ||
      text.size() >= kFrameSize) {
    return Errc::bad_value;
  }
  char value[kFrameSize];
  if (!text.empty()) memcpy(value, text.data(), text.size());
  value[text.size()] = '\0';
  char command[kFrameSize];
  const int length = detail::formatSetText(command, index, value);
  if (length < 0 || length > kMaxCommandText) return Errc::bad_value;
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

LinkStats ChassisLink::stats() const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->stats;
}

}  // namespace serial_driver
