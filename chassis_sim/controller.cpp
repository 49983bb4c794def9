#include "chassis_sim/controller.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "serial_driver/codec.h"
#include "serial_driver/timing.h"

namespace chassis_sim {

namespace {

std::string withChecksum(const std::string& text) {
  return text + static_cast<char>(calcXOR(text.c_str())) + '\n';
}

}  // namespace

const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return "none";
    case Fault::kNoReply:
      return "no reply";
    case Fault::kLateReply:
      return "late reply";
    case Fault::kBadChecksum:
      return "bad checksum";
    case Fault::kWrongIndex:
      return "wrong index";
    case Fault::kSplitReply:
      return "split reply";
    case Fault::kNoise:
      return "noise";
    case Fault::kBangFrame:
      return "! frame";
    case Fault::kWrongKind:
      return "wrong kind";
  }
  return "?";
}

Controller::~Controller() { detach(); }

void Controller::attach(int master_fd) {
  detach();
  master_ = master_fd;
  rx_.clear();
  if (pipe2(wake_, O_CLOEXEC) != 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
  }
  thread_ = std::thread(&Controller::serve, this);
  // Like the hardware, the controller answers from the moment the adapter is plugged in: on a
  // busy machine a thread that has not run yet would miss the first exchanges.
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return serving_; });
}

void Controller::detach() {
  if (!thread_.joinable()) return;
  const char stop = 'x';
  (void)!write(wake_[1], &stop, 1);
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  wake_[0] = wake_[1] = -1;
  master_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
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

void Controller::setLateDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  late_delay_ = delay;
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

void Controller::handle(const std::string& frame) {
  char text[kFrameSize];
  char tokens[4][64] = {};
  if (checkoutString(frame.data(), static_cast<int>(frame.size()), text) != 1 ||
      parseString(text, tokens) != 1) {
    return;
  }
  Fault fault = Fault::kNone;
  std::string reply_text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(frame);
    ++commands_;
    idle_.notify_all();  // for answeredLate()
    const std::string command = tokens[0];
    const std::string index = tokens[1];
    if (command == "$set") {
      entries_[atoi(index.c_str())] = tokens[2];
      reply_text = "$ack " + index;
    } else if (command == "$get") {
      auto it = entries_.find(atoi(index.c_str()));
      reply_text = "$fdb " + index + " " + (it == entries_.end() ? "0" : it->second);
    } else {
      return;
    }
    if (!faults_.empty()) {
      fault = faults_.front();
      faults_.pop_front();
    }
    if (fault == Fault::kWrongIndex) {
      reply_text = reply_text.substr(0, 5) + std::to_string(atoi(index.c_str()) + 1) +
                   (command == "$get" ? reply_text.substr(5 + index.size()) : "");
    } else if (fault == Fault::kWrongKind) {
      reply_text = command == "$get" ? "$ack " + index : "$fdb " + index + " 0";
    }
    busy_ = true;
  }
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
  last_reply_at_ = std::chrono::steady_clock::now();
  busy_ = false;
  idle_.notify_all();
}

void Controller::reply(const std::string& text, Fault fault) {
  std::string bytes = withChecksum(text);
  switch (fault) {
    case Fault::kNoReply:
      return;
    case Fault::kLateReply: {
      std::chrono::milliseconds delay;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        delay = late_delay_;
      }
      std::this_thread::sleep_for(delay);
      break;
    }
    case Fault::kBadChecksum:
      bytes[bytes.size() - 2] ^= 0x01;
      break;
    case Fault::kSplitReply:
      writeOut(bytes.substr(0, bytes.size() - 2));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      bytes = bytes.substr(bytes.size() - 2);
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
  writeOut(bytes);
}

void Controller::writeOut(const std::string& bytes) {
  std::chrono::nanoseconds per_byte;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    per_byte = per_byte_;
  }
  if (per_byte.count() == 0) {
    (void)!write(master_, bytes.data(), bytes.size());
    return;
  }
  // Paced like a real line: each byte leaves at its own deadline.
  auto deadline = std::chrono::steady_clock::now();
  for (char c : bytes) {
    deadline += per_byte;
    (void)!write(master_, &c, 1);
    std::this_thread::sleep_until(deadline);
  }
}

}  // namespace chassis_sim
