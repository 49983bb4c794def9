// Holding the library's messages back while a lock is held. Internal to the library.
#pragma once

namespace serial_driver {
namespace detail {

// While one is alive on a thread, the library's messages from that thread are held back and
// written when the outermost one ends. A link holds one around its lock, so a client's sink
// never runs while the lock is held (a sink may call into the link, or wait for a lock of its
// own that a caller of the link holds, such as Python's).
class HeldLogLines {
 public:
  HeldLogLines();
  ~HeldLogLines();
  HeldLogLines(const HeldLogLines&) = delete;
  HeldLogLines& operator=(const HeldLogLines&) = delete;
};

}  // namespace detail
}  // namespace serial_driver
