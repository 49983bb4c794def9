// The window of commands in flight and the rule for tying a reply to one of them.
#include "serial_driver/engine/window.h"

namespace serial_driver {
namespace detail {

bool Window::holds(const Item& item) const {
  for (int i = 0; i < count_; ++i) {
    const Item& other = *slots_[i].item;
    if (other.index == item.index && other.is_get == item.is_get) return true;
  }
  return false;
}

Slot Window::popOldest() {
  const Slot oldest = slots_[0];
  for (int i = 1; i < count_; ++i) slots_[i - 1] = slots_[i];
  --count_;
  return oldest;
}

Judgement Window::judge(const Reply& reply) const {
  const bool ack = reply.kind == ReplyKind::kAck;
  if ((!ack && reply.kind != ReplyKind::kFeedback) || !reply.has_index) return {};
  int same_kind = -1;
  int last_same_entry = -1;
  for (int i = 0; i < count_; ++i) {
    const Item& item = *slots_[i].item;
    if (item.index != reply.index) continue;
    last_same_entry = i;
    if (item.is_get != ack && same_kind < 0) same_kind = i;
  }
  if (same_kind == 0) return {Judgement::kAnswer, 0};
  // A reply that skips older commands may be theirs under another index (the controller
  // misnumbered it) as well as its own: which, the line cannot say.
  if (same_kind > 0) return {Judgement::kOutOfStep, same_kind};
  if (last_same_entry >= 0) return {Judgement::kOutOfStep, last_same_entry};
  return {};
}

}  // namespace detail
}  // namespace serial_driver
