// Remembering failed commands until their answers came or can no longer come.
#include "serial_driver/engine/late_answers.h"

#include <algorithm>

namespace serial_driver {
namespace detail {

void LateAnswers::setWindows(std::chrono::nanoseconds window,
                             std::chrono::nanoseconds unanswered_window) {
  window_ = window;
  unanswered_window_ = unanswered_window;
}

void LateAnswers::add(bool is_get, int index, uint64_t seq, Clock::time_point now,
                      Clock::time_point holds_all_until) {
  if (count_ == kRoom) forgetExpired(now);
  if (count_ == kRoom) return;  // not reached: the engine keeps room before it sends
  entries_[count_++] = {
      is_get, index, seq, holds_all_until, later(now, window_), later(now, unanswered_window_),
      false};
}

bool LateAnswers::hasRoom(int more, Clock::time_point now) {
  if (count_ + more <= kRoom) return true;
  forgetExpired(now);
  return count_ + more <= kRoom;
}

Clock::time_point LateAnswers::firstEnd() const {
  Clock::time_point first = Clock::time_point::max();
  for (int i = 0; i < count_; ++i) first = std::min(first, entries_[i].end());
  return first;
}

bool LateAnswers::takes(const Reply& reply, Clock::time_point now) {
  if (count_ == 0 || !reply.has_index) return false;
  const bool is_get = reply.kind == ReplyKind::kFeedback;
  if (!is_get && reply.kind != ReplyKind::kAck) return false;
  forgetExpired(now);
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].is_get == is_get && entries_[i].index == reply.index) {
      const uint64_t seq = entries_[i].seq;
      std::copy(entries_ + i + 1, entries_ + count_, entries_ + i);
      --count_;
      answered(seq);
      return true;
    }
  }
  return false;
}

void LateAnswers::answered(uint64_t seq) {
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].seq < seq) entries_[i].overtaken = true;
  }
}

Clock::time_point LateAnswers::clearAt(int index, Clock::time_point now) {
  if (count_ == 0) return now;
  forgetExpired(now);
  Clock::time_point at = now;
  for (int i = 0; i < count_; ++i) {
    const Entry& entry = entries_[i];
    if (entry.index == index) at = std::max(at, entry.end());
    at = std::max(at, std::min(entry.holds_all_until, entry.end()));
  }
  return at;
}

void LateAnswers::forgetExpired(Clock::time_point now) {
  const auto end = std::remove_if(entries_, entries_ + count_,
                                  [now](const Entry& entry) { return entry.end() <= now; });
  count_ = static_cast<int>(end - entries_);
}

}  // namespace detail
}  // namespace serial_driver
