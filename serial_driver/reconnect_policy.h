// When a link opens its port anew: the count of failed exchanges in a row that both interfaces
// keep, and the pauses between attempts while the adapter stays away. Internal to the library.
#pragma once

#include <system_error>

#include "serial_driver/timing.h"

namespace serial_driver {
namespace detail {

// Counts a finished exchange in *failures_in_row: a success clears it. True when this failure
// is the reconnect_after-th in a row; the count then starts again.
bool countFailure(int* failures_in_row, bool failed, int reconnect_after);

// While the adapter stays away the link looks for it again after pauses that double up to a
// limit: a control loop must not enumerate udev on every call.
class ReopenBackoff {
 public:
  bool mayTry(Clock::time_point now) const { return now >= next_at_; }
  void failed(const std::error_code& ec, Clock::time_point now);
  void succeeded();
  // The last attempt's error, for the operations that come before the next attempt.
  const std::error_code& lastError() const { return last_error_; }

 private:
  Clock::time_point next_at_{};
  Clock::duration pause_ = kFirstPause;
  std::error_code last_error_;

  static constexpr Clock::duration kFirstPause = std::chrono::milliseconds(5);
  static constexpr Clock::duration kLongestPause = std::chrono::milliseconds(100);
};

}  // namespace detail
}  // namespace serial_driver
