// One exchange on a link's port, by the operation that holds the turn: send the command, find
// the reply that answers it among the lines that come, and keep late answers to failed commands
// from being taken for later ones. Internal to the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <system_error>

#include "serial_driver/port.h"
#include "serial_driver/reply.h"
#include "serial_driver/turns.h"

namespace serial_driver {
namespace detail {

// What a command expects back, and where a get's value goes.
struct Expected {
  int index;
  bool is_get;
  int data_type;  // for a get: kValueInt, kValueFloat or kValueText (64 bytes)
  void* value;
};

// Commands that failed while their answers may still come. A later command for another entry
// skips such an answer; one for the same entry waits until it came or can no longer come, so a
// late answer is never taken for a later command's. It can no longer come once its window has
// passed and the controller has since answered a later command (it answers in order: a slow
// machine only delays both), or, with no later answer seen, once the long window has passed.
class StaleReplies {
 public:
  void add(const Expected& what, Clock::time_point now, std::chrono::nanoseconds window,
           std::chrono::nanoseconds long_window);
  // True when the frame answers one of them, which is then forgotten.
  bool takes(const char (*tokens)[64]);
  // The controller answered a command sent after every one remembered.
  void overtaken();
  // When a command like `what` may go out: now, or when an answer to the same entry can no
  // longer come.
  Clock::time_point clearAt(const Expected& what, Clock::time_point now);
  void clear() { count_ = 0; }

 private:
  struct Entry {
    bool is_get = false;
    int index = 0;
    Clock::time_point until;       // once a later command was answered
    Clock::time_point long_until;  // otherwise
    bool overtaken = false;
    Clock::time_point end() const { return overtaken ? until : long_until; }
  };
  void forgetExpired(Clock::time_point now);

  static constexpr int kMost = 8;  // the oldest is forgotten first
  Entry entries_[kMost] = {};
  int count_ = 0;
};

// What the waits of one operation need: whether to stop, how fast bytes come, and the lines
// that are not their answer.
struct WaitContext {
  const Turns& turns;
  uint64_t epoch;
  std::chrono::nanoseconds byte_time;  // one byte's wire time at the line's rate
  StaleReplies& stale;
};

// What an operation read besides its answer.
struct Skipped {
  uint64_t lines = 0;          // whole lines that were not the answer
  uint64_t stale_replies = 0;  // of those, late answers to failed commands
  uint64_t bytes = 0;          // bytes of no line at all (a stream without newlines)
  bool bang = false;           // a "!" line came
  bool other_frame = false;    // a frame for another entry or of the other kind came
};

// Waits for input until the deadline and reads what came into `lines`: Errc::timeout,
// Errc::hung_up or Errc::cancelled when nothing will.
std::error_code readMore(Port& port, LineReader& lines, Clock::time_point deadline,
                         const WaitContext& waits);
// Waits while the bytes that may become an answer cannot be enough yet: a reply trickles in a
// byte at a time and cannot be shorter than `shortest`. The last byte still wakes the wait.
std::error_code waitForEnough(const LineReader& lines, int shortest, Clock::time_point deadline,
                              const WaitContext& waits);
// Counts a text line that is not an answer, and shows one now and then in the log.
void skipText(const LineReader& lines, Skipped* skipped);
// Counts a frame that is not an answer: a late answer to a failed command (stale), a "!" line
// (shown in the log now and then), or one that speaks `against` the command.
void skipFrame(const LineReader& lines, bool stale, bool against, Skipped* skipped);

// Seals the command text and writes the frame: Errc::hung_up or Errc::send_failed when it did
// not go out whole.
std::error_code sendCommand(Port& port, char* command, int length);

// Reads lines until the deadline for the frame that answers `what`; wakes on input, so a reply
// is taken as soon as its last byte has arrived. Other lines are skipped; when no answer came,
// a "!" line makes the result Errc::rejected and another frame Errc::bad_reply.
std::error_code awaitReply(Port& port, LineReader& lines, const Expected& what,
                           Clock::time_point deadline, const WaitContext& waits, Skipped* skipped);

// Reads and skips lines until `until`, or until no answer to `what`'s entry can still come.
std::error_code awaitStale(Port& port, LineReader& lines, const Expected& what,
                           Clock::time_point until, const WaitContext& waits, Skipped* skipped);

}  // namespace detail
}  // namespace serial_driver
