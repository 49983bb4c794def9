// The failed-command memory: commands that failed while their answers may still come. The
// protocol has no sequence numbers, so such an answer would pass for the answer to the next
// command of its kind and entry; the engine sends none for that entry until the answer came or
// can no longer come. Internal to the library.
#pragma once

#include <chrono>
#include <cstdint>

#include "serial_driver/reply.h"
#include "serial_driver/timing.h"

namespace serial_driver {
namespace detail {

class LateAnswers {
 public:
  // More than a full window can fail at once, several windows in a row: the engine keeps room
  // for its whole window before it sends, so an answer that may come is never forgotten.
  static constexpr int kRoom = 64;

  // How long an answer may still come after its command failed: `window` once the controller
  // has answered a later command (it answers in order: only a slow machine delays both),
  // `unanswered_window` while it has not.
  void setWindows(std::chrono::nanoseconds window, std::chrono::nanoseconds unanswered_window);

  // A command, the seq-th the link sent, failed at `now`. The caller made room (hasRoom). One
  // given up before its deadline (cancelled, or failed with the line out of step) may still be
  // answered on time, and then perhaps under another entry's number: until its deadline,
  // `holds_all_until`, no command for any entry goes.
  void add(bool is_get, int index, uint64_t seq, Clock::time_point now,
           Clock::time_point holds_all_until = {});
  bool hasRoom(int more, Clock::time_point now);
  // When the oldest remembered answer can no longer come.
  Clock::time_point firstEnd() const;

  // True when the reply answers a remembered command, which is then forgotten; the ones sent
  // before it had their chance.
  bool takes(const Reply& reply, Clock::time_point now);
  // The controller answered the seq-th command: the answers to earlier ones had their chance.
  void answered(uint64_t seq);
  // When a command for the entry may go: now, or when no remembered answer for the entry
  // (of either kind: a wrong-kind late answer would pass too) can still come, nor an answer on
  // time to a command given up early.
  Clock::time_point clearAt(int index, Clock::time_point now);
  int size() const { return count_; }

 private:
  struct Entry {
    bool is_get = false;
    int index = 0;
    uint64_t seq = 0;
    Clock::time_point holds_all_until;
    Clock::time_point until;       // once a later command was answered
    Clock::time_point long_until;  // otherwise
    bool overtaken = false;
    Clock::time_point end() const { return overtaken ? until : long_until; }
  };
  void forgetExpired(Clock::time_point now);

  std::chrono::nanoseconds window_{0};
  std::chrono::nanoseconds unanswered_window_{0};
  Entry entries_[kRoom] = {};
  int count_ = 0;
};

}  // namespace detail
}  // namespace serial_driver
