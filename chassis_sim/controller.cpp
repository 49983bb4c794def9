#include "chassis_sim/controller.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "serial_driver/codec.h"
#include "serial_driver/wire_facts.h"

namespace chassis_sim {

namespace {

using Clock = std::chrono::steady_clock;

// Between the text and the checksum of a kSplitReply.
constexpr std::chrono::milliseconds kSplitPause(3);

std::string withChecksum(const std::string& text) {
  return text + static_cast<char>(calcXOR(text.c_str())) + '\n';
}

// The bytes of a reply as a fault leaves them; timing faults are the caller's.
std::string faultedReply(const std::string& text, Fault fault) {
  std::string bytes = withChecksum(text);
  switch (fault) {
    case Fault::kBadChecksum:
      bytes[bytes.size() - 2] ^= 0x01;
      break;
    case Fault::kNoise:
      bytes = "\x7f~" + bytes;
      break;
    case Fault::kBangFrame:
      bytes = "!busy\n";
      break;
    default:
      break;
  }
  return bytes;
}

// For each of the simulator's threads.
void runAsHardware() {
  // The program's signals (timers, Ctrl-C) are for its own threads, not the simulator's.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  // A real line keeps its byte times exactly; the default 50 us timer slack would not.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  // The controller is hardware of its own: a busy host must not delay its replies past the
  // driver's window. Where the process may (root, or an RLIMIT_RTPRIO), the thread runs at the
  // lowest real-time priority, above every ordinary thread; elsewhere it stays as it is.
  sched_param realtime{};
  realtime.sched_priority = 1;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime);
}

}  // namespace

const char* faultName(Fault fault) {
  const auto i = static_cast<size_t>(fault);
  return i < std::size(kFaults) ? kFaults[i].name : "?";
}

const char* chatterName(Chatter kind) {
  switch (kind) {
    case Chatter::kText:
      return "text";
    case Chatter::kBang:
      return "! line";
    case Chatter::kForeign:
      return "foreign frame";
    case Chatter::kStream:
      return "stream";
  }
  return "?";
}

Controller::~Controller() { detach(); }

void Controller::attach(int master_fd) {
  detach();
  master_ = master_fd;
  rx_.clear();
  // Writes wait in poll(), where detach() can end them, not in a write() a host that stopped
  // reading would block for good.
  master_flags_ = fcntl(master_fd, F_GETFL);
  if (master_flags_ >= 0) fcntl(master_fd, F_SETFL, master_flags_ | O_NONBLOCK);
  if (pipe2(wake_, O_CLOEXEC) != 0) return;
  kick_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
    running_duplex_ = model_.duplex;
    chatter_stop_ = false;
    chatter_queue_.clear();
    chatter_queued_.fill(false);
    chatter_on_line_ = false;
  }
  thread_ = std::thread(running_duplex_ ? &Controller::serveDuplex : &Controller::serve, this);
  // Like the hardware, the controller answers from the moment the adapter is plugged in: on a
  // busy machine a thread that has not run yet would miss the first exchanges.
  {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return serving_; });
  }
  // Idle until chatter is turned on, which may then happen from any thread.
  chatter_thread_ = std::thread(&Controller::chatter, this);
}

void Controller::detach() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chatter_stop_ = true;
  }
  chatter_changed_.notify_all();
  // Also ends the writes waiting for room.
  const char stop = 'x';
  (void)!write(wake_[1], &stop, 1);
  if (chatter_thread_.joinable()) chatter_thread_.join();
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  if (kick_ >= 0) close(kick_);
  wake_[0] = wake_[1] = kick_ = -1;
  if (master_flags_ >= 0) fcntl(master_, F_SETFL, master_flags_);
  master_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
  chatter_on_line_ = false;
  idle_.notify_all();
}

void Controller::inject(Fault fault, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int i = 0; i < count; ++i) faults_.push_back(fault);
}

void Controller::setBytePacing(std::chrono::nanoseconds per_byte) {
  if (per_byte.count() < 0) throw std::invalid_argument("byte pacing must not be negative");
  std::lock_guard<std::mutex> lock(mutex_);
  per_byte_ = per_byte;
}

void Controller::setLineRate(int baud) {
  if (baud < 0) throw std::invalid_argument("a line rate must not be negative");
  setBytePacing(baud == 0 ? std::chrono::nanoseconds(0) : serial_driver::detail::byteTime(baud));
}

void Controller::setLateDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  late_delay_ = delay;
}

void Controller::setLineModel(const LineModel& model) {
  if (model.ring_bytes == 0) throw std::invalid_argument("a receive ring holds at least a byte");
  if (model.processing.count() < 0) {
    throw std::invalid_argument("a processing time must not be negative");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model_ = model;
  }
  if (thread_.joinable()) {
    const int fd = master_;
    detach();
    attach(fd);
  }
}

LineModel Controller::lineModel() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return model_;
}

long Controller::overruns() const { return overruns_.load(); }

void Controller::startChatter(Chatter kind, std::chrono::microseconds interval) {
  if (interval.count() <= 0) throw std::invalid_argument("a chatter interval must be positive");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chatter_interval_[static_cast<size_t>(kind)] = interval;
  }
  chatter_changed_.notify_all();
}

void Controller::stopChatter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    chatter_interval_.fill(std::chrono::microseconds(0));
    // The duplex line finishes, and counts, the one it is sending.
    for (const QueuedChatter& queued : chatter_queue_) {
      chatter_queued_[static_cast<size_t>(queued.kind)] = false;
    }
    chatter_queue_.clear();
  }
  chatter_changed_.notify_all();
  // A line being written is finished, and counted, before this returns: the sequential model
  // writes under tx_mutex_, the duplex line clears chatter_on_line_.
  { std::lock_guard<std::mutex> tx(tx_mutex_); }
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return !chatter_on_line_; });
}

void Controller::setForeignEntry(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  foreign_entry_ = index;
}

long Controller::chatterSent(Chatter kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return chatter_sent_[static_cast<size_t>(kind)];
}

void Controller::setEntry(int index, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[index] = value;
}

std::string Controller::entry(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(index);
  return it == entries_.end() ? "0" : it->second;
}

std::vector<std::string> Controller::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void Controller::clearReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
}

std::vector<std::string> Controller::takeReceived() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> taken;
  taken.swap(received_);
  return taken;
}

long Controller::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

void Controller::waitIdle() const {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return !busy_; });
}

bool Controller::answeredLate(long commands_before,
                              std::chrono::steady_clock::time_point began) const {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait_for(lock, std::chrono::seconds(1), [&] { return commands_ > commands_before; });
  idle_.wait(lock, [this] { return !busy_; });
  return last_reply_at_ - began >= serial_driver::detail::kLastLook;
}

void Controller::serve() {
  runAsHardware();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = true;
    idle_.notify_all();
  }
  pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      char buf[256];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) {
        rx_.append(buf, static_cast<size_t>(n));
        consume();
        continue;
      }
    }
    // The slave side is closed or hung up: wait for the next open without spinning.
    if (fds[0].revents & (POLLHUP | POLLERR)) usleep(1000);
  }
}

// Takes complete command frames off the front of rx_. A newline inside a frame may be its
// checksum byte, so a frame ends at the first newline that makes the span valid.
void Controller::consume() {
  for (;;) {
    const size_t start = rx_.find_first_of("$!");
    if (start == std::string::npos) {
      rx_.clear();
      return;
    }
    rx_.erase(0, start);
    bool taken = false;
    char text[kFrameSize];
    // npos is past any frame's length, so one bound ends the search.
    for (size_t nl = rx_.find('\n'); nl < static_cast<size_t>(kFrameSize);
         nl = rx_.find('\n', nl + 1)) {
      if (checkoutString(rx_.data(), static_cast<int>(nl + 1), text) == 1) {
        const std::string frame = rx_.substr(0, nl + 1);
        rx_.erase(0, nl + 1);
        handle(frame);
        taken = true;
        break;
      }
    }
    if (taken) continue;
    // Nothing valid within a frame's length: resynchronise past this start byte.
    if (rx_.size() >= static_cast<size_t>(kFrameSize)) {
      rx_.erase(0, 1);
      continue;
    }
    return;
  }
}

// The firmware's part of a command: records it, applies a set, and says what to answer with
// which fault. False for a frame that is not a command.
bool Controller::answer(const std::string& frame, std::string* reply_text, Fault* fault) {
  char text[kFrameSize];
  char tokens[4][64] = {};
  if (checkoutString(frame.data(), static_cast<int>(frame.size()), text) != 1 ||
      parseString(text, tokens) != 1) {
    return false;
  }
  *fault = Fault::kNone;
  std::lock_guard<std::mutex> lock(mutex_);
  received_.push_back(frame);
  ++commands_;
  idle_.notify_all();  // for answeredLate()
  const std::string command = tokens[0];
  const std::string index = tokens[1];
  if (command == "$set") {
    entries_[atoi(index.c_str())] = tokens[2];
    *reply_text = "$ack " + index;
  } else if (command == "$get") {
    auto it = entries_.find(atoi(index.c_str()));
    *reply_text = "$fdb " + index + " " + (it == entries_.end() ? "0" : it->second);
  } else {
    return false;
  }
  if (!faults_.empty()) {
    *fault = faults_.front();
    faults_.pop_front();
  }
  if (*fault == Fault::kWrongIndex) {
    *reply_text = reply_text->substr(0, 5) + std::to_string(atoi(index.c_str()) + 1) +
                  (command == "$get" ? reply_text->substr(5 + index.size()) : "");
  } else if (*fault == Fault::kWrongKind) {
    *reply_text = command == "$get" ? "$ack " + index : "$fdb " + index + " 0";
  }
  busy_ = true;
  return true;
}

void Controller::handle(const std::string& frame) {
  std::string reply_text;
  Fault fault = Fault::kNone;
  if (!answer(frame, &reply_text, &fault)) return;
  {
    // On a paced line the command itself took its wire time to arrive.
    std::chrono::nanoseconds per_byte;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      per_byte = per_byte_;
    }
    if (per_byte.count() != 0) std::this_thread::sleep_for(per_byte * frame.size());
  }
  reply(reply_text, fault);
  std::lock_guard<std::mutex> lock(mutex_);
  last_reply_at_ = Clock::now();
  busy_ = false;
  idle_.notify_all();
}

void Controller::reply(const std::string& text, Fault fault) {
  if (fault == Fault::kNoReply) return;
  if (fault == Fault::kLateReply) {
    std::chrono::milliseconds delay;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      delay = late_delay_;
    }
    std::this_thread::sleep_for(delay);
  }
  const std::string bytes = faultedReply(text, fault);
  // A whole reply at a time: chatter goes out before or after it, never inside. A waiting
  // reply has the line next, or chatter filling the line would keep it from ever going.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++replies_waiting_;
  }
  std::lock_guard<std::mutex> tx(tx_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --replies_waiting_;
  }
  chatter_changed_.notify_all();
  if (fault == Fault::kSplitReply) {
    writeOut(bytes.substr(0, bytes.size() - 2));
    std::this_thread::sleep_for(kSplitPause);
    writeOut(bytes.substr(bytes.size() - 2));
    return;
  }
  writeOut(bytes);
}

// False when detach() ended the write.
bool Controller::writeAll(const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = write(master_, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd fds[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
  }
  return true;
}

bool Controller::writeOut(const std::string& bytes) {
  std::chrono::nanoseconds per_byte;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    per_byte = per_byte_;
  }
  if (per_byte.count() == 0) return writeAll(bytes.data(), bytes.size());
  // Paced like a real line: each byte leaves at its own deadline.
  auto deadline = Clock::now();
  for (char c : bytes) {
    deadline += per_byte;
    if (!writeAll(&c, 1)) return false;
    std::this_thread::sleep_until(deadline);
  }
  return true;
}

// What a chattering firmware prints; under mutex_.
std::string Controller::chatterUnit(Chatter kind) {
  const long made = chatter_made_[static_cast<size_t>(kind)]++;
  const std::string entry = std::to_string(foreign_entry_);
  switch (kind) {
    case Chatter::kText:
      return "dbg: imu ok\n";
    case Chatter::kBang:
      return "!low battery\n";
    case Chatter::kForeign:
      return withChecksum(made % 2 == 0 ? "$fdb " + entry + " 0.000" : "$ack " + entry);
    case Chatter::kStream:
      return std::string(1, static_cast<char>('0' + made % 10));
  }
  return "";
}

void Controller::chatter() {
  runAsHardware();
  std::array<Clock::time_point, kChatterKinds> due{};
  std::array<std::chrono::microseconds, kChatterKinds> planned{};  // the interval due follows
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (chatter_stop_) return;
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    size_t ready = kChatterKinds;
    for (size_t k = 0; k < kChatterKinds; ++k) {
      if (chatter_interval_[k].count() == 0) {
        planned[k] = chatter_interval_[k];
        continue;
      }
      if (planned[k] != chatter_interval_[k]) {
        planned[k] = chatter_interval_[k];
        due[k] = now + planned[k];
      }
      if (due[k] <= now && ready == kChatterKinds) ready = k;
      next = std::min(next, due[k]);
    }
    if (ready == kChatterKinds) {
      if (next == Clock::time_point::max()) {
        chatter_changed_.wait(lock);
      } else {
        chatter_changed_.wait_until(lock, next);
      }
      continue;
    }
    // Behind (a busy machine, a slow line): no catching up, and the line gets a gap.
    due[ready] += planned[ready];
    if (due[ready] <= now) due[ready] = now + planned[ready];
    const auto kind = static_cast<Chatter>(ready);
    if (running_duplex_) {
      if (chatter_queued_[ready]) continue;  // the last one is not out yet
      chatter_queue_.push_back({kind, chatterUnit(kind), now});
      chatter_queued_[ready] = true;
      lock.unlock();
      eventfd_write(kick_, 1);
      lock.lock();
      continue;
    }
    chatter_changed_.wait(lock, [this] { return replies_waiting_ == 0 || chatter_stop_; });
    const std::string bytes = chatterUnit(kind);
    lock.unlock();
    {
      std::lock_guard<std::mutex> tx(tx_mutex_);
      bool on = false;
      {
        std::lock_guard<std::mutex> again(mutex_);
        on = chatter_interval_[ready].count() != 0 && !chatter_stop_;
      }
      if (on && writeOut(bytes)) {
        std::lock_guard<std::mutex> again(mutex_);
        ++chatter_sent_[ready];
      }
    }
    lock.lock();
  }
}

// The full-duplex line as events in the line's own time: the host's bytes arriving, the
// firmware finishing a command, reply and chatter bytes leaving. Events are taken in time order
// up to the present, so a thread that wakes late still gets the same order and the same losses.
struct Controller::DuplexLine {
  using Time = Clock::time_point;
  static constexpr Time kNever = Time::max();
  // What waits for a host that stopped reading; more is lost, as at a host's full buffer.
  static constexpr size_t kOutLimit = 65536;

  struct Unit {
    std::string bytes;
    Time ready{};                         // not before
    size_t pause_at = std::string::npos;  // a split reply stops before this byte
    bool reply = true;
    Chatter kind = Chatter::kText;
  };

  DuplexLine(Controller& controller, const LineModel& line_model)
      : c(controller), model(line_model) {}

  Controller& c;
  const LineModel model;
  std::chrono::nanoseconds per_byte{0};
  std::deque<std::pair<Time, char>> wire;  // written by the host, arriving at the controller
  Time last_arrival{};
  std::string ring;
  bool processing = false;
  Time done_at{};
  std::string taken;
  std::deque<Unit> replies;
  bool sending = false;
  Unit unit;  // the one on the line while sending
  size_t sent = 0;
  Time started{};
  Time line_free{};
  std::string out;  // left the controller, not yet taken by the pty

  void hostWrote(const char* bytes, size_t size, Time now) {
    for (size_t i = 0; i < size; ++i) {
      last_arrival = std::max(now, last_arrival) + per_byte;
      wire.emplace_back(last_arrival, bytes[i]);
    }
  }

  bool replyPending() const { return !replies.empty() || (sending && unit.reply); }
  bool idle() const { return wire.empty() && !processing && !replyPending(); }

  Time byteAt(size_t i) const {
    const std::chrono::nanoseconds pause = i >= unit.pause_at ? kSplitPause : Clock::duration(0);
    return started + per_byte * i + pause;
  }

  Time chatterReady() {
    std::lock_guard<std::mutex> lock(c.mutex_);
    return c.chatter_queue_.empty() ? kNever : c.chatter_queue_.front().queued_at;
  }

  Time nextSend() {
    if (sending) return byteAt(sent);  // byteAt(size): the last byte is out
    Time next = kNever;
    if (!replies.empty()) next = std::max(line_free, replies.front().ready);
    const Time chatter = chatterReady();
    if (chatter != kNever) next = std::min(next, std::max(line_free, chatter));
    return next;
  }

  // Processes every event up to `now`; returns the time of the next one.
  Time advance(Time now) {
    for (;;) {
      const Time arrival = wire.empty() ? kNever : wire.front().first;
      const Time done = processing ? done_at : kNever;
      const Time send = nextSend();
      const Time t = std::min({arrival, done, send});
      if (t > now) return t;
      if (t == done) {
        finish();
      } else if (t == send) {
        sendStep(t);
      } else {
        arrive();
      }
    }
  }

  void arrive() {
    const auto [at, byte] = wire.front();
    wire.pop_front();
    if (ring.size() >= model.ring_bytes) {
      c.overruns_.fetch_add(1);
      return;
    }
    ring += byte;
    take(at);
  }

  // The firmware, when free, takes the next whole frame from the ring.
  void take(Time at) {
    if (processing || (model.blocking_firmware && replyPending())) return;
    if (!nextFrame()) return;
    processing = true;
    done_at = at + model.processing;
  }

  // A frame is the last '$' before a newline whose checksum holds; what stands before it is a
  // frame that lost bytes, and is dropped rather than left to wedge the ring.
  bool nextFrame() {
    char text[kFrameSize];
    for (size_t nl = ring.find('\n'); nl != std::string::npos; nl = ring.find('\n', nl + 1)) {
      const size_t lowest = nl + 1 > static_cast<size_t>(kFrameSize) ? nl + 1 - kFrameSize : 0;
      for (size_t start = ring.rfind('$', nl); start != std::string::npos && start >= lowest;
           start = start == 0 ? std::string::npos : ring.rfind('$', start - 1)) {
        if (checkoutString(ring.data() + start, static_cast<int>(nl + 1 - start), text) == 1) {
          taken = ring.substr(start, nl + 1 - start);
          ring.erase(0, nl + 1);
          return true;
        }
      }
    }
    // Nothing whole: a start that no frame can follow any more goes, so a full ring of
    // fragments empties instead of losing every byte to come.
    const size_t window = std::min(model.ring_bytes, static_cast<size_t>(kFrameSize));
    while (!ring.empty() && (ring[0] != '$' || ring.size() >= window)) {
      const size_t next = ring.find('$', 1);
      ring.erase(0, next == std::string::npos ? ring.size() : next);
    }
    return false;
  }

  void finish() {
    processing = false;
    std::string text;
    Fault fault = Fault::kNone;
    if (c.answer(taken, &text, &fault) && fault != Fault::kNoReply) {
      Unit reply;
      reply.bytes = faultedReply(text, fault);
      reply.ready = done_at;
      if (fault == Fault::kLateReply) {
        std::lock_guard<std::mutex> lock(c.mutex_);
        reply.ready += c.late_delay_;
      }
      if (fault == Fault::kSplitReply) reply.pause_at = reply.bytes.size() - 2;
      replies.push_back(std::move(reply));
    }
    take(done_at);
  }

  void sendStep(Time t) {
    if (!sending) {
      // Replies leave in order; chatter goes when the line is free and no reply is due first.
      const Time reply = replies.empty() ? kNever : std::max(line_free, replies.front().ready);
      if (reply == t) {
        unit = std::move(replies.front());
        replies.pop_front();
      } else {
        std::lock_guard<std::mutex> lock(c.mutex_);
        if (c.chatter_queue_.empty()) return;  // stopChatter() took it meanwhile
        QueuedChatter& next = c.chatter_queue_.front();
        unit = Unit{std::move(next.bytes), next.queued_at, std::string::npos, false, next.kind};
        c.chatter_queue_.pop_front();
        c.chatter_on_line_ = true;
      }
      sending = true;
      sent = 0;
      started = t;
      return;
    }
    if (sent < unit.bytes.size()) {
      if (out.size() < kOutLimit) out += unit.bytes[sent];
      ++sent;
      return;
    }
    sending = false;
    line_free = t;
    if (unit.reply) {
      {
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.last_reply_at_ = Clock::now();
      }
      take(t);  // what a blocking firmware waited for
      return;
    }
    std::lock_guard<std::mutex> lock(c.mutex_);
    const auto k = static_cast<size_t>(unit.kind);
    ++c.chatter_sent_[k];
    c.chatter_queued_[k] = false;
    c.chatter_on_line_ = false;
    c.idle_.notify_all();
  }
};

void Controller::serveDuplex() {
  runAsHardware();
  LineModel model;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model = model_;
    serving_ = true;
    idle_.notify_all();
  }
  DuplexLine line(*this, model);
  pollfd fds[3] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}, {kick_, POLLIN, 0}};
  for (;;) {
    const auto now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      line.per_byte = per_byte_;
    }
    bool wrote = false;
    char buf[4096];
    for (ssize_t n = 0; (n = read(master_, buf, sizeof buf)) > 0;) {
      line.hostWrote(buf, static_cast<size_t>(n), now);
      wrote = true;
    }
    if (wrote) {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = true;
    }
    const auto next = line.advance(now);
    if (!line.out.empty()) {
      const ssize_t n = write(master_, line.out.data(), line.out.size());
      if (n > 0) line.out.erase(0, static_cast<size_t>(n));
    }
    if (line.idle()) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (busy_) {
        busy_ = false;
        idle_.notify_all();
      }
    }
    timespec wait{};
    const timespec* timeout = nullptr;
    if (next != DuplexLine::kNever) {
      const auto left = std::max<Clock::duration>(next - Clock::now(), Clock::duration(0));
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &wait;
    }
    fds[0].events = static_cast<short>(POLLIN | (line.out.empty() ? 0 : POLLOUT));
    if (ppoll(fds, 3, timeout, nullptr) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[2].revents != 0) {
      eventfd_t drained = 0;
      eventfd_read(kick_, &drained);
    }
    // The slave side is closed or hung up: wait for the next open without spinning.
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) usleep(1000);
  }
}

}  // namespace chassis_sim
