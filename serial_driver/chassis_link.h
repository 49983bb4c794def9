// ChassisLink: the link to the chassis controller for robot programs. It never ends the process
// and never throws (allocation failure aside); every operation says why it failed through a
// std::error_code, and reconnects by itself after a hang-up or a long run of failures.
//
//   serial_driver::ChassisLink link;
//   serial_driver::LinkOptions options;
//   options.serial = "ABC123";                    // or options.device = "/dev/ttyUSB0"
//   if (auto ec = link.open(options)) { std::cerr << ec.message() << "\n"; return 1; }
//   if (auto ec = link.set(5, 1.5f)) { ... ec == serial_driver::Errc::timeout ... }
//   float speed = 0.0f;
//   link.get(5, speed);
//
// One link may be used from several threads; its operations run one at a time. The library
// never calls the log sink while it holds a link's lock.
//
// The controller may print lines of its own (debug text, "!" warnings, frames for other
// entries): an operation skips every whole line that is not its answer (LinkStats counts them,
// and the log shows some) and takes its answer when it comes.
//
// A link may be destroyed while other threads are inside its calls: those waiting for a reply
// or for their turn end with Errc::cancelled (one that had not begun to wait, with not_open),
// and the destructor returns once every call has left. A call must have begun before the
// destructor did. Moving a link, from or to, while another thread uses it is not allowed.
//
// The protocol has no sequence numbers, so after a failed exchange the answer to it can still
// arrive. Another entry's command skips such an answer; a command for the same entry first
// waits until it has come or can no longer come: five reply deadlines after the failure once
// the controller has answered a later command (it answers in order), twenty while it has not,
// at most a second (or one deadline, when that is longer). A cancelled command, or one failed
// because a reply showed the line out of step, holds back every entry that long: its answer
// may still come on time, under another entry's number. So each command ends within that wait
// plus its own reply deadline, whatever the line does; a value read is always the answer to
// that very command.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "serial_driver/batch.h"
#include "serial_driver/link_error.h"
#include "serial_driver/link_options.h"
#include "serial_driver/log_sink.h"
#include "serial_driver_export.h"

namespace serial_driver {

class SERIAL_DRIVER_EXPORT ChassisLink {
 public:
  ChassisLink();
  ~ChassisLink();  // closes the port; see above for calls still running
  ChassisLink(ChassisLink&& other) noexcept;
  ChassisLink& operator=(ChassisLink&& other) noexcept;
  ChassisLink(const ChassisLink&) = delete;
  ChassisLink& operator=(const ChassisLink&) = delete;

  // Finds the adapter (by serial number, else by device path), opens it and sets the line to
  // baud 8N1 raw. An open link is closed first.
  std::error_code open(const LinkOptions& options);
  void close();
  // True from a successful open until close, also while the link is reconnecting.
  bool is_open() const;
  // The node in use, such as /dev/ttyUSB0; empty when not open. The text a reference shows
  // never changes; a reconnection to another node makes later calls return another one.
  const std::string& device() const;
  // Ends every operation waiting at this moment (for its reply, a late answer to pass, or its
  // turn) with Errc::cancelled; operations that begin later run as usual. Any thread, also a
  // signal handler, may call it.
  void cancel() noexcept;

  std::error_code set(int index, float value);
  std::error_code set(int index, int value);
  std::error_code set(int index, std::string_view text);
  // A C string; a null pointer is bad_value.
  std::error_code set(int index, const char* text);
  // On failure the value is left as it was.
  std::error_code get(int index, float& value);
  std::error_code get(int index, int& value);
  std::error_code get(int index, std::string& text);

  // Every item of the batch, in one turn: with options.max_in_flight commands on the line
  // before their replies, each reply matched to its item by kind and index. The first failure
  // in item order, or {}; batch.result(i) has each item's.
  std::error_code exchange(Batch& batch);

  LinkStats stats() const;
  // Why the last open or reconnection failed: the system's error, the node, and for
  // Errc::busy the holder. Empty after a successful open.
  OpenFailure open_failure() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace serial_driver
