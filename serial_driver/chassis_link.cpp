#include "serial_driver/chassis_link.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

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
    }
    return "unknown link error";
  }
};

// The allowance a 115200-baud line leaves the controller within the 11 ms of the classic
// interface once the longest exchange (a 64-byte frame and an 8-byte one) has crossed it.
constexpr double kLongestExchangeBytes = 72;
constexpr double kBitsPerByte = 10;  // 8N1
constexpr double kClassicWaitMicros = 11000;
constexpr double kControllerAllowanceMicros =
    kClassicWaitMicros - kLongestExchangeBytes * kBitsPerByte * 1e6 / 115200;

std::chrono::microseconds defaultReplyTimeout(int baud) {
  const double wire = kLongestExchangeBytes * kBitsPerByte * 1e6 / baud;
  return std::chrono::microseconds(static_cast<long>(std::ceil(wire + kControllerAllowanceMicros)));
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

  // One operation on the link behind impl (null once moved from), under its lock.
  static std::error_code run(Impl* impl, char* command, int length, const Exchange& what);
  std::error_code exchange(char* command, int length, const Exchange& what);
  std::error_code awaitReply(const Exchange& what, Clock::time_point deadline);
  std::error_code reopen();
  void dropPort();
  std::error_code counted(std::error_code result, Clock::time_point start);

  mutable std::mutex mutex;
  LinkOptions options;
  std::chrono::microseconds reply_timeout{0};
  std::chrono::nanoseconds byte_time{0};  // one byte's wire time at the line's rate
  std::string device;
  int fd = -1;  // -1 while the link is open but its port is lost
  bool open = false;
  int failures_in_row = 0;
  LinkStats stats;
};

void ChassisLink::Impl::dropPort() {
  if (fd >= 0) uart_close(fd);
  fd = -1;
}

std::error_code ChassisLink::Impl::reopen() {
  dropPort();
  const std::string path = nodeToOpen(options);
  if (path.empty()) return Errc::not_found;
  const std::error_code ec = openPort(path, options.baud, &fd);
  if (!ec) {
    device = path;
    ++stats.reconnections;
    SD_LOG(LogLevel::INFO, "link reconnected", device);
  }
  return ec;
}

std::error_code ChassisLink::Impl::counted(std::error_code result, Clock::time_point start) {
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  ++stats.exchanges;
  stats.last_exchange = took;
  if (took > stats.max_exchange) stats.max_exchange = took;
  if (!result) {
    failures_in_row = 0;
    return result;
  }
  ++stats.failures;
  const bool hung_up = result == Errc::hung_up;
  if (hung_up || ++failures_in_row >= options.reconnect_after) {
    failures_in_row = 0;
    // A failed reopen leaves the port lost; the next operation tries again.
    const std::error_code reopened = reopen();
    if (reopened) SD_LOG_THROTTLED(LogLevel::WARN, "reconnection failed", reopened.message());
  }
  return result;
}

std::error_code ChassisLink::Impl::run(Impl* impl, char* command, int length,
                                       const Exchange& what) {
  if (impl == nullptr) return Errc::not_open;
  std::lock_guard<std::mutex> lock(impl->mutex);
  if (!impl->open) return Errc::not_open;
  return impl->exchange(command, length, what);
}

std::error_code ChassisLink::Impl::exchange(char* command, int length, const Exchange& what) {
  const auto start = Clock::now();
  if (fd < 0) {
    // The port was lost: this operation is the next attempt to get it back.
    const std::error_code reopened = reopen();
    if (reopened) return counted(reopened, start);
  }
  const int frame_length = detail::sealFrame(command, length);
  clear_receive_buf(fd);
  const int sent = uart_send(fd, command, frame_length);
  if (sent != frame_length) {
    const bool hung_up = sent < 0 && hangUpErrno();
    SD_LOG_THROTTLED(LogLevel::WARN, hung_up ? "port hung up" : "command not sent", sent,
                     frame_length);
    return counted(hung_up ? Errc::hung_up : Errc::send_failed, start);
  }
  // The reply's time starts with the command, not with a reopen that came before it.
  return counted(awaitReply(what, Clock::now() + reply_timeout), start);
}

// Wakes on input, so a reply is taken as soon as its last byte has arrived.
std::error_code ChassisLink::Impl::awaitReply(const Exchange& what, Clock::time_point deadline) {
  char buf[kFrameSize] = {};
  detail::ReplyBuffer reply(buf);
  for (;;) {
    // Past the deadline the port is still looked at once: a reply that came in time is taken
    // even when this thread itself was kept off the processor.
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd port{fd, POLLIN, 0};
    const int ready = ppoll(&port, 1, &wait, nullptr);
    if (ready < 0 && errno == EINTR) continue;  // the deadline is unchanged
    if (ready < 0) return Errc::hung_up;
    if (ready == 0) return Errc::timeout;
    if ((port.revents & POLLIN) == 0) return Errc::hung_up;  // POLLHUP, POLLERR, POLLNVAL
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
        std::this_thread::sleep_until(until);
      }
      continue;
    }

    int index_seen = 0;
    const Verdict verdict = what.is_get
                                ? detail::judgeFeedback(reply.tokens, what.index, what.data_type,
                                                        what.value, &index_seen)
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
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& link = *impl_;
  link.dropPort();
  link.open = false;
  link.device.clear();
  if (detail::baudConstant(options.baud) == 0) return Errc::bad_baud;
  if (options.reconnect_after < 1 || options.reply_timeout.count() < 0) return Errc::bad_value;

  const std::string path = nodeToOpen(options);
  if (path.empty()) {
    SD_LOG(LogLevel::ERROR, "no 1a86:7523 adapter with this serial number", options.serial);
    return Errc::not_found;
  }
  if (access(path.c_str(), F_OK) != 0) {
    SD_LOG(LogLevel::ERROR, "no such device", path);
    return Errc::not_found;
  }
  int fd = -1;
  if (const std::error_code ec = openPort(path, options.baud, &fd)) return ec;

  link.options = options;
  link.reply_timeout =
      options.reply_timeout.count() > 0
          ? std::chrono::duration_cast<std::chrono::microseconds>(options.reply_timeout)
          : defaultReplyTimeout(options.baud);
  link.byte_time = std::chrono::nanoseconds(static_cast<long>(kBitsPerByte * 1e9 / options.baud));
  link.fd = fd;
  link.device = path;
  link.open = true;
  link.failures_in_row = 0;
  link.stats = LinkStats{};
  return {};
}

void ChassisLink::close() {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->dropPort();
  impl_->open = false;
  impl_->device.clear();
}

bool ChassisLink::is_open() const {
  if (!impl_) return false;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->open;
}

const std::string& ChassisLink::device() const {
  static const std::string none;
  return impl_ ? impl_->device : none;
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
  // A NUL would end the text early on the wire; a newline would end the frame.
  if (text.find('\0') != std::string_view::npos ||
      detail::textRefusal(text.data() != nullptr ? text.data() : "", text.size()) != nullptr) {
    return Errc::bad_value;
  }
  char value[kFrameSize];
  if (text.size() >= sizeof value) return Errc::bad_value;
  memcpy(value, text.data(), text.size());
  value[text.size()] = '\0';
  char command[kFrameSize];
  const int length = detail::formatSetText(command, index, value);
  if (length < 0 || length > detail::kMaxCommandText) return Errc::bad_value;
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
