// Whole lines out of the bytes a port delivers, on a line that carries more than replies: the
// controller's own text, "!" lines, frames nobody asked for and noise. Bytes in, classified
// replies out; no I/O of its own. Internal to the library.
#pragma once

#include <cstdint>

#include "serial_driver/codec.h"
#include "serial_driver/reply.h"

namespace serial_driver {
namespace detail {

// A reply frame is taken wherever it stands after bytes that are none: it starts at a "$"
// that begins "$ack" or "$fdb" and whose checksum holds, or at a "!" that begins a line.
// Everything else comes out as text, a line at a time. Bytes that can no longer be part of a
// frame (a stream without newlines) are dropped to keep room.
class LineReader {
 public:
  enum class Item { kNone, kFrame, kText };

  char* space() { return buf_ + end_; }
  int room() const { return kBufferSize - end_; }
  void added(int count) { end_ += count; }
  // Forgets every byte: the port was opened anew.
  void reset();

  // The next frame (in reply, pointing into tokens) or text line (in text(), newline
  // included), or kNone until more bytes come.
  Item next();
  const Reply& reply() const { return reply_; }
  const char* text() const { return text_; }
  int textLength() const { return text_length_; }
  // Bytes at the end that may still become a frame, and how many of them from the first
  // byte that may start one.
  int pendingBytes() const { return end_ - start_; }
  int pendingFrameBytes() const;
  // Bytes dropped without ever forming a line; taking them clears the count.
  uint64_t takeDropped();

  char tokens[4][kFrameSize] = {};

 private:
  static constexpr int kBufferSize = 2 * kFrameSize;

  bool takeFrameAt(int start, int newline);
  int firstPossibleStart() const;
  bool lineHasDollar(int newline) const;
  Item takeDebris(int until);
  Item takeText(int length);
  void compact();

  char buf_[kBufferSize] = {};
  int start_ = 0;
  int end_ = 0;
  Reply reply_;
  char text_[kFrameSize + 1] = {};
  int text_length_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace detail
}  // namespace serial_driver
