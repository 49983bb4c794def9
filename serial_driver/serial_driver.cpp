// The classic interface: SerialDriver, its link wrappers and its reply waits.
#include "serial_driver/serial_driver.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "serial_driver/defaults.h"
#include "serial_driver/frame.h"
#include "serial_driver/line.h"
#include "serial_driver/link_open.h"
#include "serial_driver/lock_file.h"
#include "serial_driver/log.h"
#include "serial_driver/port.h"
#include "serial_driver/reconnect_policy.h"
#include "serial_driver/reply.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/timing.h"
#include "serial_driver/uart.h"

// The codec, reply, timing and port layers are shared with ChassisLink.
using namespace serial_driver::detail;
using serial_driver::kReconnectAfter;

namespace {

// Up to 64 bytes of a receive buffer, up to its first NUL, for the time-out message.
std::string bufferText(const char* buf) { return std::string(buf, strnlen(buf, kFrameSize)); }

// The polling loop both reply waits share: up to kReplyPolls attempts, each one non-blocking
// read appended to the caller's buffer and a 1 ms pause.
class ReplyPoller {
 public:
  ReplyPoller(int fd, char (&buf)[kFrameSize]) : fd_(fd), reply_(buf) {}

  // Polls until the buffer holds one frame, split into tokens() (true), or until the attempts
  // are used up (false). The attempt that found a frame pauses on the next call.
  bool nextFrame() {
    while (attempt_ < kReplyPolls) {
      finishAttempt();
      ++attempt_;
      pause_pending_ = true;
      if (reply_.room() > 0) {
        // A read error adds nothing; the remaining attempts go on.
        const int got = receive(fd_, reply_.end(), reply_.room());
        if (got > 0) reply_.added(got);
      }
      if (reply_.holdsFrame()) return true;
    }
    finishAttempt();
    return false;
  }

  const char (*tokens() const)[64] { return reply_.tokens; }

 private:
  void finishAttempt() {
    if (pause_pending_) pauseMicros(kPollPause.count());
    pause_pending_ = false;
  }

  const int fd_;
  ReplyBuffer reply_;
  int attempt_ = 0;
  bool pause_pending_ = false;
};

// The lock files of the drivers' open ports, by descriptor: the class's layout is part of the
// library's interface and has no room for them. Never destroyed, so a driver closed from a
// static destructor still finds it; one never closed leaves a file the next open takes over.
std::mutex lock_files_mutex;
std::map<int, LockFile>& lockFiles() {
  static auto* files = new std::map<int, LockFile>;
  return *files;
}

// Takes the port for this driver alone, as ChassisLink does: two programs sending on one line
// take each other's replies.
bool takePort(int fd, const std::string& dev) {
  LockFile lock_file;
  LockTaking how;
  const bool file_busy = lock_file.take(dev, &how) == std::errc::device_or_resource_busy;
  reportLockTaking(dev, how);
  // A tty layer without locks leaves the port unguarded, not unusable.
  if (!file_busy && takeExclusive(fd) != std::errc::device_or_resource_busy) {
    std::lock_guard<std::mutex> lock(lock_files_mutex);
    if (lock_file.held()) lockFiles()[fd] = std::move(lock_file);
    return true;
  }
  SD_LOG(LogLevel::ERROR, "the port is held by another program", dev, busyHolder(dev, fd, how));
  return false;
}

// Removes the lock file of the port on fd (in the process that wrote it).
void releasePort(int fd) {
  std::lock_guard<std::mutex> lock(lock_files_mutex);
  lockFiles().erase(fd);
}

std::string sendFailedText(int ret) { return "uart send failed, ret:" + std::to_string(ret); }

// After a failed exchange its reply may still arrive, and the protocol has no sequence
// numbers: before the next command, input is thrown away until the line has been quiet for
// the reply window (longer after several failures in a row). A hung-up or closed port has
// nothing to throw away.
void discardLateReplies(int fd, int failures_in_row) {
  if (fd <= 0) return;
  const auto quiet = resyncQuietTime(kReplyWindow, failures_in_row, kLongestResync);
  // A controller that never stops talking must not hold the driver: a second at most.
  discardUntilQuiet(fd, quiet, later(Clock::now(), kLongestResync), -1, nullptr);
}

}  // namespace

int transmit(int fd, char* data_address, int len) {
  const int transmit_len = uart_send(fd, data_address, len);
  if (transmit_len == len) return len;
  SD_LOG_THROTTLED(LogLevel::ERROR, "transmit error, port is closed", transmit_len, len);
  return 0;
}

int receive(int fd, char* data_address, int len) {
  return uart_recv_no_block(fd, data_address, len);
}

void exit_serial_driver(int fd) {
  if (fd > 0) uart_close(fd);
  exit(1);
}

int checkAck(int fd, int index) {
  char ack_string[kFrameSize] = {};
  ReplyPoller poller(fd, ack_string);
  while (poller.nextFrame()) {
    // An acknowledgement of another entry is not the answer: keep waiting for ours.
    const Verdict verdict = judgeAck(classify(poller.tokens()), index);
    if (verdict != Verdict::kKeepWaiting) return verdict == Verdict::kAccepted ? 1 : 0;
  }
  SD_LOG(LogLevel::WARN, "receive buf: ", bufferText(ack_string));
  SD_LOG(LogLevel::WARN, "receive overtime:" + std::to_string(kReplyPolls) + " ms");
  return 0;
}

int getFeedback(int fd, int index, int data_type, void* data_address) {
  char fdb_string[kFrameSize] = {};
  ReplyPoller poller(fd, fdb_string);
  if (!poller.nextFrame()) {
    SD_LOG(LogLevel::WARN, "receive buf: ", bufferText(fdb_string));
    SD_LOG(LogLevel::ERROR, "receive overtime:" + std::to_string(kReplyPolls) + " ms");
    return 0;
  }
  // The first frame decides.
  int index_fdb = 0;
  switch (judgeFeedback(classify(poller.tokens()), index, data_type, data_address, &index_fdb)) {
    case Verdict::kAccepted:
      return 1;
    case Verdict::kWrongKind:
      SD_LOG(LogLevel::ERROR, "not feedback string");
      break;
    case Verdict::kBadIndex:
      SD_LOG(LogLevel::ERROR, "get feedback index error");
      break;
    case Verdict::kWrongIndex:
      SD_LOG(LogLevel::ERROR, "index value error, index_fdb:" + std::to_string(index_fdb) +
                                  ", index:" + std::to_string(index));
      break;
    default:
      SD_LOG(LogLevel::ERROR, "get data value error");
      break;
  }
  return 0;
}

bool SerialDriver::init(const std::string& portname, std::string& dev, int baudRate) {
  dev = getDevicePort(kAdapterProduct, kAdapterVendor, portname);
  if (dev.empty()) return false;

  // Reconnections come through here; the old descriptor would leak on each one.
  close();
  fd_ = uart_open_no_block(dev.c_str());
  if (fd_ > 0 && !takePort(fd_, dev)) {
    uart_close(fd_);
    fd_ = 0;
  }
  if (fd_ != 0) {
    isOpened_ = true;
    uart_set(fd_, baudRate, kFlowControlNone, kDataBits, kStopBits, kParityNone);
    SD_LOG(LogLevel::INFO, "open the uart port success", dev);
  } else {
    isOpened_ = false;
    SD_LOG(LogLevel::CRITICAL, "can not open the uart port", dev);
  }
  baud_rate_ = baudRate;
  portname_ = portname;
  return fd_ > 0;
}

void SerialDriver::close() {
  if (fd_ > 0) {
    // Before the number is free for another driver's port.
    releasePort(fd_);
    leaveExclusive(fd_);
    uart_close(fd_);
  }
  // The number may soon name another file of the process: never act on it again.
  fd_ = -1;
}

bool SerialDriver::handleTimeout(int res) {
  if (!countFailure(&conn_timeout_cnt_, res == 0, kReconnectAfter)) {
    if (res == 0) discardLateReplies(fd_, conn_timeout_cnt_);
    return res != 0;
  }
  std::string dev;
  init(portname_, dev, baud_rate_);
  // A node that is listed but cannot be opened yet (udev still applying its permissions) must
  // not leave the driver "not opened": the next entry call would end the process. Closed, its
  // exchanges fail and count, and the next 151st failure tries again.
  if (!isOpened_) {
    isOpened_ = true;
    fd_ = -1;
  }
  SD_LOG(LogLevel::CRITICAL, "time out then reconnection!");
  return false;
}

// The body every entry method shares: seals the command text, drops stale input, writes the
// frame and, when it went out whole, waits for the reply with `await`; then counts the result.
// A macro, so a failed send is logged at the method's own site: log lines name their method,
// and each method's site is throttled on its own.
#define EXCHANGE_ENTRY(command, length, await)                             \
  do {                                                                     \
    clear_receive_buf(fd_);                                                \
    const int sent = transmit(fd_, command, sealFrame(command, length));   \
    if (sent <= 0) SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(sent)); \
    return handleTimeout(sent <= 0 ? sent : (await));                      \
  } while (0)

bool SerialDriver::setEntry(int index, const float* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char command[kFrameSize] = {};
  EXCHANGE_ENTRY(command, formatSetFloat(command, index, *data_address), checkAck(fd_, index));
}

bool SerialDriver::setEntry(int index, const int* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char command[kFrameSize] = {};
  EXCHANGE_ENTRY(command, formatSetInt(command, index, *data_address), checkAck(fd_, index));
}

bool SerialDriver::setEntry(int index, const char* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  // Refused before anything is sent; the link is fine, so these are no failed exchanges.
  const char* refusal =
      textRefusal(data_address, data_address == nullptr ? 0 : strlen(data_address));
  if (refusal != nullptr) {
    SD_LOG(LogLevel::ERROR, refusal);
    return false;
  }
  char command[kFrameSize] = {};
  const int length = formatSetText(command, index, data_address);
  if (!textFits(length)) {
    SD_LOG(LogLevel::ERROR, "text value too long for one frame, nothing sent; command length",
           length, "limit", kMaxCommandText);
    return false;
  }
  EXCHANGE_ENTRY(command, length, checkAck(fd_, index));
}

bool SerialDriver::getEntry(int index, float* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char command[kFrameSize] = {};
  EXCHANGE_ENTRY(command, formatGet(command, index),
                 getFeedback(fd_, index, kValueFloat, data_address));
}

bool SerialDriver::getEntry(int index, int* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char command[kFrameSize] = {};
  EXCHANGE_ENTRY(command, formatGet(command, index),
                 getFeedback(fd_, index, kValueInt, data_address));
}

bool SerialDriver::getEntry(int index, char* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char command[kFrameSize] = {};
  EXCHANGE_ENTRY(command, formatGet(command, index),
                 getFeedback(fd_, index, kValueText, data_address));
}
