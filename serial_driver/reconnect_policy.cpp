// The failure count and the pauses between reopen attempts.
#include "serial_driver/reconnect_policy.h"

#include <algorithm>

namespace serial_driver {
namespace detail {

bool countFailure(int* failures_in_row, bool failed, int reconnect_after) {
  if (!failed) {
    *failures_in_row = 0;
    return false;
  }
  if (++*failures_in_row < reconnect_after) return false;
  *failures_in_row = 0;
  return true;
}

void ReopenBackoff::failed(const std::error_code& ec, Clock::time_point now) {
  last_error_ = ec;
  next_at_ = later(now, pause_);
  pause_ = std::min(2 * pause_, kLongestPause);
}

void ReopenBackoff::succeeded() {
  pause_ = kFirstPause;
  next_at_ = Clock::time_point{};
}

}  // namespace detail
}  // namespace serial_driver
