// The commands in flight, oldest first, and the rule that ties a reply to one of them. Replies
// carry no sequence number: the controller answers in order, so a reply is taken only as the
// answer to the oldest command, and only when it names that command's kind and entry.
// Internal to the library.
#pragma once

#include <cstdint>

#include "serial_driver/engine/item.h"
#include "serial_driver/link_options.h"
#include "serial_driver/reply.h"
#include "serial_driver/timing.h"

namespace serial_driver {
namespace detail {

struct Slot {
  Item* item = nullptr;
  uint64_t seq = 0;  // the link's count of commands sent
  Clock::time_point sent_at;
  Clock::time_point deadline;
  bool bang = false;          // a "!" line came while it was the oldest
  bool contradicted = false;  // a reply came then that could not be its answer
};

// What a reply frame means for the commands in flight.
struct Judgement {
  enum What {
    kNotOurs,    // names no entry in flight: chatter, or a reply nobody waits for any more
    kAnswer,     // the oldest command's answer
    kOutOfStep,  // names a command in flight that is not the oldest, or the oldest's entry with
                 // the other kind: the line is out of step; slots 0..through have to fail
  };
  What what = kNotOurs;
  int through = -1;
};

class Window {
 public:
  int size() const { return count_; }
  bool empty() const { return count_ == 0; }
  Slot& oldest() { return slots_[0]; }
  Slot& at(int i) { return slots_[i]; }
  // True when a command of item's kind for item's entry is in flight: the two answers could
  // not be told apart.
  bool holds(const Item& item) const;
  void push(const Slot& slot) { slots_[count_++] = slot; }
  Slot popOldest();

  Judgement judge(const Reply& reply) const;

 private:
  Slot slots_[kMaxInFlight];
  int count_ = 0;
};

}  // namespace detail
}  // namespace serial_driver
