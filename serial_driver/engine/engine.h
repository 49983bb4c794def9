// The exchange engine under every operation of a link: a single call is a one-item batch. It
// sends an operation's commands in item order with up to max_in_flight on the line, ties each
// reply to its command (window.h), remembers failed commands whose answers may still come
// (late_answers.h), counts what it did and reopens the port when due. Internal to the library.
//
// The promise it keeps: a value reported as read is the controller's answer to that very
// command. Where the line cannot tell (no sequence numbers), the command fails instead.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <system_error>

#include "serial_driver/engine/item.h"
#include "serial_driver/engine/late_answers.h"
#include "serial_driver/engine/line_reader.h"
#include "serial_driver/port.h"
#include "serial_driver/reconnect_policy.h"
#include "serial_driver/turns.h"

namespace serial_driver {
namespace detail {

struct EngineSettings {
  Clock::duration reply_timeout{0};
  std::chrono::nanoseconds byte_time{0};  // one byte's wire time at the line's rate
  Clock::duration longest_late_window{0};
  int max_in_flight = 1;
  int reconnect_after = 1;
};

// What one operation did, for the link's statistics.
struct Tally {
  uint64_t exchanges = 0;
  uint64_t failures = 0;
  uint64_t reconnections = 0;
  uint64_t skipped_lines = 0;
  uint64_t stale_replies = 0;
  uint64_t discarded_bytes = 0;
  uint64_t out_of_step = 0;
  uint64_t held_back = 0;
  std::chrono::microseconds last_exchange{0};
  std::chrono::microseconds max_exchange{0};
};

// Whether an operation should stop: cancel() or the interrupt check.
struct StopSignal {
  const Turns& turns;
  uint64_t epoch = 0;
  bool ask_check = true;  // false on a served program's behalf: the check is the link's own
};

class Engine {
 public:
  // Finds the node and opens it into the port again; set by the link.
  std::function<std::error_code(Port*)> open_port;
  Port port;  // closed while the link is open but its port is lost

  // The port was opened for these settings.
  void start(const EngineSettings& settings);
  // The link closed: the port goes.
  void stop();

  // Every item whose length is not negative, in one turn. Each item's result is set; items
  // not sent keep the result they had when the operation ended early (hang-up, cancel).
  void run(Item* items, size_t count, const StopSignal& stop, Tally* tally);

 private:
  friend class Run;
  std::error_code reopen(Tally* tally);

  EngineSettings settings_;
  LineReader reader_;
  LateAnswers late_;
  ReopenBackoff backoff_;
  int failures_in_row_ = 0;
  uint64_t sent_ = 0;  // commands sent on this link: each one's sequence number
};

}  // namespace detail
}  // namespace serial_driver
