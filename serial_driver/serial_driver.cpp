#include "serial_driver/serial_driver.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial_driver/log.h"
#include "serial_driver/protocol.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/uart.h"

// The protocol pieces this interface shares with ChassisLink.
using namespace serial_driver::detail;

namespace {

constexpr int kReplyPolls = 11;
constexpr long kPollPauseMicros = 1000;
constexpr int kReconnectAfter = 150;

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
    if (pause_pending_) pauseMicros(kPollPauseMicros);
    pause_pending_ = false;
  }

  const int fd_;
  ReplyBuffer reply_;
  int attempt_ = 0;
  bool pause_pending_ = false;
};

// Adds the checksum byte and newline behind the l-byte text in cmd_string, drops stale input
// and writes the whole frame. Returns what transmit returns.
int sendCommand(int fd, char* cmd_string, int l) {
  const int frame_len = sealFrame(cmd_string, l);
  clear_receive_buf(fd);
  return transmit(fd, cmd_string, frame_len);
}

std::string sendFailedText(int ret) { return "uart send failed, ret:" + std::to_string(ret); }

// After a failed exchange its reply may still arrive, and the protocol has no sequence
// numbers: before the next command, input is thrown away until the line has been quiet for
// the reply window (longer after several failures in a row). A hung-up or closed port has
// nothing to throw away.
void discardLateReplies(int fd, int failures_in_row) {
  if (fd <= 0) return;
  const auto window = std::chrono::microseconds(kReplyPolls * kPollPauseMicros);
  discardUntilQuiet(fd, resyncQuietTime(window, failures_in_row, std::chrono::seconds(1)), -1,
                    nullptr);
}

}  // namespace

uint8_t calcXOR(const char* string) {
  uint8_t xor_calcu = 0;
  for (const char* p = string; *p != '\0'; ++p) xor_calcu ^= static_cast<uint8_t>(*p);
  return xor_calcu;
}

int checkoutString(const char* buf, const int len, char* string) {
  if (buf == nullptr || len < 1) return 0;
  memset(string, 0, kFrameSize);
  // No frame is longer than a buffer; a longer span could only overflow string.
  if (len > kFrameSize) return 0;
  // Only the last byte terminates; a newline inside the span may be a checksum byte, but one
  // before that is the end of another frame (three frames back to back can pass the checksum).
  if (buf[len - 1] != '\n') return 0;
  const int text_end = buf[0] == '$' ? len - 2 : len - 1;
  if (text_end > 0 && memchr(buf, '\n', text_end) != nullptr) return 0;
  if (buf[0] == '$') {
    uint8_t xor_calcu = 0;
    for (int i = 0; i < len - 2; ++i) xor_calcu ^= static_cast<uint8_t>(buf[i]);
    const uint8_t xor_cmd = static_cast<uint8_t>(buf[len - 2]);
    if (xor_calcu != xor_cmd) return 0;
    memcpy(string, buf, len - 2);
    return 1;
  }
  if (buf[0] == '!') {
    memcpy(string, buf, len - 1);
    return 1;
  }
  return 0;
}

int parseString(const char* s, char (*ss)[64]) {
  if (s[0] != '$' && s[0] != '!') return 0;
  const size_t l = strlen(s);
  if (l > 64) return 0;
  // A 64-character text without a blank would be one token plus its NUL: 65 bytes in a row.
  if (l == 64 && memchr(s, ' ', l) == nullptr) return 0;
  int j = 0;
  int k = 0;
  for (size_t i = 0; i < l; ++i) {
    const char c = s[i];
    if (c == ' ' && j < 2) {
      ss[j][k] = '\0';
      ++j;
      k = 0;
    } else {
      ss[j][k++] = c;
    }
  }
  ss[j][k] = '\0';
  return 1;
}

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
    const Verdict verdict = judgeAck(poller.tokens(), index);
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
  switch (judgeFeedback(poller.tokens(), index, data_type, data_address, &index_fdb)) {
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
  if (fd_ > 0) uart_close(fd_);
  fd_ = uart_open_no_block(dev.c_str());
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
  if (fd_ > 0) uart_close(fd_);
  // The number may soon name another file of the process: never act on it again.
  fd_ = -1;
}

bool SerialDriver::handleTimeout(int res) {
  if (res != 0) {
    conn_timeout_cnt_ = 0;
    return true;
  }
  if (++conn_timeout_cnt_ <= kReconnectAfter) {
    discardLateReplies(fd_, conn_timeout_cnt_);
    return false;
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
  conn_timeout_cnt_ = 0;
  return false;
}

bool SerialDriver::setEntry(int index, const float* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char cmd_string[kFrameSize] = {};
  const int l = formatSetFloat(cmd_string, index, *data_address);
  const int ret = sendCommand(fd_, cmd_string, l);
  if (ret <= 0) {
    SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(ret));
    return handleTimeout(ret);
  }
  return handleTimeout(checkAck(fd_, index));
}

bool SerialDriver::setEntry(int index, const int* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char cmd_string[kFrameSize] = {};
  const int l = formatSetInt(cmd_string, index, *data_address);
  const int ret = sendCommand(fd_, cmd_string, l);
  if (ret <= 0) {
    SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(ret));
    return handleTimeout(ret);
  }
  return handleTimeout(checkAck(fd_, index));
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
  char cmd_string[kFrameSize] = {};
  const int l = formatSetText(cmd_string, index, data_address);
  if (l < 0 || l > kMaxCommandText) {
    SD_LOG(LogLevel::ERROR, "text value too long for one frame, nothing sent; command length", l,
           "limit", kMaxCommandText);
    return false;
  }
  const int ret = sendCommand(fd_, cmd_string, l);
  if (ret <= 0) {
    SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(ret));
    return handleTimeout(ret);
  }
  return handleTimeout(checkAck(fd_, index));
}

bool SerialDriver::getEntry(int index, float* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char cmd_string[kFrameSize] = {};
  const int l = formatGet(cmd_string, index);
  const int ret = sendCommand(fd_, cmd_string, l);
  if (ret <= 0) {
    SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(ret));
    return handleTimeout(ret);
  }
  return handleTimeout(getFeedback(fd_, index, kValueFloat, data_address));
}

bool SerialDriver::getEntry(int index, int* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char cmd_string[kFrameSize] = {};
  const int l = formatGet(cmd_string, index);
  const int ret = sendCommand(fd_, cmd_string, l);
  if (ret <= 0) {
    SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(ret));
    return handleTimeout(ret);
  }
  return handleTimeout(getFeedback(fd_, index, kValueInt, data_address));
}

bool SerialDriver::getEntry(int index, char* data_address) {
  if (!isOpened_) exit_serial_driver(fd_);
  char cmd_string[kFrameSize] = {};
  const int l = formatGet(cmd_string, index);
  const int ret = sendCommand(fd_, cmd_string, l);
  if (ret <= 0) {
    SD_LOG_THROTTLED(LogLevel::WARN, sendFailedText(ret));
    return handleTimeout(ret);
  }
  return handleTimeout(getFeedback(fd_, index, kValueText, data_address));
}
