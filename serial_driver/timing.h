// How long the protocol waits: the reply deadline at a rate, the quiet time after a failed
// exchange, and deadlines as ppoll takes them (the classic reply window is a wire fact).
// Internal to the library.
#pragma once

#include <time.h>

#include <chrono>

#include "serial_driver/wire_facts.h"  // the classic reply window

namespace serial_driver {
namespace detail {

using Clock = std::chrono::steady_clock;

// The longest exchange on the wire: a 64-byte frame one way and an 8-byte one the other.
constexpr int kShortestReplyBytes = 8;  // "$ack 5", checksum byte, newline
constexpr int kLongestExchangeBytes = kFrameSize + kShortestReplyBytes;
// The longest resynchronisation unless the rate's own reply deadline is longer: a reply later
// than that is no controller's, and longer would stall the caller.
constexpr std::chrono::seconds kLongestResync{1};

// The reply deadline at a rate: the longest exchange's wire time plus the allowance that a
// 115200-baud line leaves the controller within the classic 11 ms.
Clock::duration replyDeadline(int baud);

// How long the line must stay quiet before the next command after a failed exchange whose
// reply deadline was `deadline`: one deadline, or four once two or more exchanges in a row
// failed (two answers may then still be on their way); never longer than `longest`.
std::chrono::nanoseconds resyncQuietTime(std::chrono::nanoseconds deadline, int failures_in_row,
                                         std::chrono::nanoseconds longest);

// How long after a failed exchange its answer may still come, when the reply deadline was
// `deadline`: `deadlines` of them, never longer than `longest`.
std::chrono::nanoseconds lateAnswerWindow(std::chrono::nanoseconds deadline, int deadlines,
                                          std::chrono::nanoseconds longest);
// Five deadlines once the controller has answered a later command; twenty while it has not.
constexpr int kLateAnswerDeadlines = 5;
constexpr int kUnansweredLateAnswerDeadlines = 20;

// now + wait without overflowing.
Clock::time_point later(Clock::time_point now, Clock::duration wait);

// What is left until a deadline, as ppoll takes it: 0 once past, a day at most (the largest
// deadlines would overflow its seconds).
timespec timeLeft(Clock::time_point deadline);

// Sleeps the whole time even when signals interrupt the sleep.
void pauseMicros(long micros);

}  // namespace detail
}  // namespace serial_driver
