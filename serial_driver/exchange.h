// One exchange on a link's port, by the operation that holds the turn: send the command, wait
// for the reply that answers it, and resynchronise after a failure. Internal to the library.
#pragma once

#include <chrono>
#include <cstdint>
#include <system_error>

#include "serial_driver/port.h"
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

// What the waits of one operation need: whether to stop, and how fast bytes come.
struct WaitContext {
  const Turns& turns;
  uint64_t epoch;
  std::chrono::nanoseconds byte_time;  // one byte's wire time at the line's rate
};

// Seals the command text, drops stale input and writes the frame: Errc::hung_up or
// Errc::send_failed when it did not go out whole.
std::error_code sendCommand(Port& port, char* command, int length);

// Waits until the deadline for the reply that answers `what`; wakes on input, so a reply is
// taken as soon as its last byte has arrived.
std::error_code awaitReply(Port& port, const Expected& what, Clock::time_point deadline,
                           const WaitContext& waits);

// Throws input away until the line has been quiet for `quiet`; the bytes thrown away are added
// to *discarded.
std::error_code resynchronise(Port& port, std::chrono::nanoseconds quiet, const WaitContext& waits,
                              uint64_t* discarded);

}  // namespace detail
}  // namespace serial_driver
