// The protocol's waits as durations and deadlines.
#include "serial_driver/timing.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "serial_driver/wire_facts.h"

namespace serial_driver {
namespace detail {

Clock::duration replyDeadline(int baud) {
  // In microseconds as doubles: a byte time rounded to whole nanoseconds would add up.
  const auto wire = [](int rate) { return kLongestExchangeBytes * kBitsPerByte * 1e6 / rate; };
  const double allowance = static_cast<double>(kReplyWindow.count()) - wire(115200);
  return std::chrono::microseconds(static_cast<long>(std::ceil(wire(baud) + allowance)));
}

std::chrono::nanoseconds resyncQuietTime(std::chrono::nanoseconds deadline, int failures_in_row,
                                         std::chrono::nanoseconds longest) {
  const int deadlines = failures_in_row >= 2 ? 4 : 1;
  // Compared by division: the largest deadlines would overflow when multiplied.
  return deadline > longest / deadlines ? longest : deadlines * deadline;
}

std::chrono::nanoseconds lateAnswerWindow(std::chrono::nanoseconds deadline, int deadlines,
                                          std::chrono::nanoseconds longest) {
  return deadline > longest / deadlines ? longest : deadlines * deadline;
}

Clock::time_point later(Clock::time_point now, Clock::duration wait) {
  return wait >= Clock::time_point::max() - now ? Clock::time_point::max() : now + wait;
}

timespec timeLeft(Clock::time_point deadline) {
  const auto left = std::clamp<Clock::duration>(deadline - Clock::now(), Clock::duration::zero(),
                                                std::chrono::hours(24));
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void pauseMicros(long micros) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // A fuzzing build skips the pauses: every input that times out would sleep its whole window.
  (void)micros;
#else
  timespec left{micros / 1000000, (micros % 1000000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
#endif
}

}  // namespace detail
}  // namespace serial_driver
