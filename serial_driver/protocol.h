// The protocol core both interfaces are built on: the reply window, command texts, the reply
// buffer and what a reply says about its command, reply values, and the resynchronisation
// after a failed exchange. Internal to the library; not installed.
#pragma once

#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "serial_driver/codec.h"
#include "serial_driver/defaults.h"

namespace serial_driver {
namespace detail {

// The classic reply wait: kReplyPolls looks at the line, kPollPause apart, the first at once.
// Both interfaces look at the line until at least kLastLook after sending.
constexpr int kReplyPolls = 11;
constexpr std::chrono::microseconds kPollPause{1000};
constexpr std::chrono::microseconds kReplyWindow = kReplyPolls * kPollPause;  // 11 ms
constexpr std::chrono::microseconds kLastLook = (kReplyPolls - 1) * kPollPause;

// The checksum byte and newline behind the length-byte text in buf; the frame's size.
inline int sealFrame(char* buf, int length) {
  buf[length] = static_cast<char>(calcXOR(buf));
  buf[length + 1] = '\n';
  return length + 2;
}

// Numbers on the wire are written and read in the C locale whatever the process locale is:
// under de_DE "%.3f" would write "1,500" and "%f" would stop reading "2.250" at the dot.
class CLocaleScope {
 public:
  CLocaleScope();
  ~CLocaleScope();
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  void* previous_;  // locale_t of the calling thread
};

// Command texts, NUL-terminated in buf (at least 64 bytes). Each returns the length the whole
// text has, as snprintf does: a text value can make it longer than kMaxCommandText, and then
// the command must not be sent. Numbers always fit.
int formatSetFloat(char* buf, int index, float value);
int formatSetInt(char* buf, int index, int value);
int formatSetText(char* buf, int index, const char* text);
int formatGet(char* buf, int index);

// Why a text value cannot go on the wire, or nullptr when it can: a null pointer would be sent
// as "(null)", and a newline would end the frame early and smuggle the rest in as frames.
const char* textRefusal(const char* text, size_t length);

// A decimal int as "%d" reads it (leading blanks, a sign, digits up to the first other byte),
// except that a number outside int's range is no number.
bool scanInt(const char* text, int* value);
// A float as "%f" reads it, in the C locale.
bool scanFloat(const char* text, float* value);
// The whole text is one decimal int within int's range (an optional sign, then digits).
bool parseIntExact(const char* text, int* value);
// The whole text is one finite decimal float within float's range ("nan", "inf", hex and
// numbers that overflow to infinity are none).
bool parseFloatExact(const char* text, float* value);

// Sleeps the whole time even when signals interrupt the sleep.
void pauseMicros(long micros);

// A reply's bytes in the caller's 64-byte buffer as they arrive. Bytes are never removed, so a
// reply is taken only while the buffer holds exactly one frame from its first byte.
class ReplyBuffer {
 public:
  explicit ReplyBuffer(char* buf) : buf_(buf) {}

  char* end() { return buf_ + size_; }
  int room() const { return kFrameSize - size_; }
  int size() const { return size_; }
  void added(int count) { size_ += count; }

  // True when the bytes so far are one valid frame; its tokens are then in tokens.
  bool holdsFrame();

  char tokens[4][64] = {};

 private:
  char* const buf_;
  int size_ = 0;
  char text_[kFrameSize] = {};
};

// What a reply frame says about the command that was sent.
enum class Verdict {
  kAccepted,
  kKeepWaiting,  // an acknowledgement of another entry: ours may still come
  kWrongKind,    // not the kind of reply the command asks for ("!" frames included)
  kBadIndex,     // token 1 is no int
  kWrongIndex,   // a feedback for another entry
  kBadValue,     // the value does not convert to the type asked for
};

// An acknowledgement: "$ack <index>".
Verdict judgeAck(const char (*tokens)[64], int index);
// How a feedback's number is read: as the classic interface always read it ("%d", "%f"), or
// exactly (parseIntExact, parseFloatExact).
enum class NumberSyntax { kLenient, kExact };

// A feedback, "$fdb <index> <value>". On kAccepted the value is stored by data_type
// (kValueInt, kValueFloat, or kValueText into at least 56 bytes; an unknown type stores
// nothing). *index_seen is the index the reply named, when it named one.
Verdict judgeFeedback(const char (*tokens)[64], int index, int data_type, void* value,
                      int* index_seen, NumberSyntax syntax = NumberSyntax::kLenient);

// How long the line must stay quiet before the next command after a failed exchange whose
// reply deadline was `deadline`: one deadline, or four once two or more exchanges in a row
// failed (two answers may then still be on their way); never longer than `longest`.
std::chrono::nanoseconds resyncQuietTime(std::chrono::nanoseconds deadline, int failures_in_row,
                                         std::chrono::nanoseconds longest);

// What is left until a deadline, as ppoll takes it: 0 once past, a day at most (the largest
// deadlines would overflow its seconds).
timespec timeLeft(std::chrono::steady_clock::time_point deadline);

enum class QuietEnd { kQuiet, kHungUp, kCancelled };
struct Resync {
  QuietEnd end = QuietEnd::kQuiet;
  uint64_t discarded = 0;  // bytes read and thrown away
};
// Reads and throws away input until none has come for `quiet`. When wake_fd (or -1) becomes
// readable or a signal interrupts the wait, stop() (when set) decides whether to give up.
Resync discardUntilQuiet(int fd, std::chrono::nanoseconds quiet, int wake_fd,
                         const std::function<bool()>& stop);

}  // namespace detail
}  // namespace serial_driver
