// Conditions of a real robot that tests and the soak turn on, beside the simulated adapters.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace chassis_sim {

// An interval timer whose SIGALRM handler was installed without SA_RESTART, as in a program
// that uses timer signals: every blocking call of the process may end early with EINTR. The
// simulator's own threads block signals, so they land on the program's threads.
class SignalTimer {
 public:
  explicit SignalTimer(std::chrono::microseconds interval);
  ~SignalTimer();
  SignalTimer(const SignalTimer&) = delete;
  SignalTimer& operator=(const SignalTimer&) = delete;

  // Signals delivered so far.
  long count() const;

 private:
  struct sigaction previous_ {};
};

// A text value whose "$fdb <index> <text>" reply has the given checksum byte: a few letters,
// then two bytes chosen for the checksum (never a NUL, blank or newline).
std::string textForReplyChecksum(int index, uint8_t checksum);

}  // namespace chassis_sim
