// Reading replies: the buffer a reply collects in, and what a reply frame says about the
// command that was sent. Internal to the library.
#pragma once

#include "serial_driver/codec.h"

namespace serial_driver {
namespace detail {

// A reply's bytes in the caller's 64-byte buffer as they arrive. Bytes are never removed, so a
// reply is taken only while the buffer holds exactly one frame from its first byte.
class ReplyBuffer {
 public:
  explicit ReplyBuffer(char* buf) : buf_(buf) {}

  char* end() { return buf_ + size_; }
  int room() const { return kFrameSize - size_; }
  int size() const { return size_; }
  void added(int count) { size_ += count; }

  // True when the bytes so far are one valid frame; its tokens are then in tokens.
  bool holdsFrame();

  char tokens[4][64] = {};

 private:
  char* const buf_;
  int size_ = 0;
  char text_[kFrameSize] = {};
};

// Whole lines out of the bytes a port delivers, for a line that carries more than replies: the
// controller's own text, "!" lines and frames nobody asked for. A frame is taken wherever it
// stands after bytes that are none; everything else comes out as text, one line at a time.
// Bytes that can no longer be part of a frame (a stream without newlines) are dropped to keep
// room.
class LineReader {
 public:
  enum class Item { kNone, kFrame, kText };

  char* space() { return buf_ + end_; }
  int room() const { return kBufferSize - end_; }
  void added(int count) { end_ += count; }

  // The next frame (its tokens in tokens) or text line (in text(), newline included), or
  // kNone until more bytes come.
  Item next();
  const char* text() const { return text_; }
  int textLength() const { return text_length_; }
  // Bytes at the end that may still become a frame, and whether one of them starts one.
  int pendingBytes() const { return end_ - start_; }
  int pendingFrameBytes() const;
  // Bytes dropped without ever forming a line.
  uint64_t dropped() const { return dropped_; }

  char tokens[4][64] = {};

 private:
  static constexpr int kBufferSize = 2 * kFrameSize;

  int firstPossibleStart() const;
  bool lineHasDollar(int newline) const;
  Item takeDebris(int until);
  Item takeText(int length);
  void compact();

  char buf_[kBufferSize] = {};
  int start_ = 0;
  int end_ = 0;
  char text_[kFrameSize + 1] = {};
  int text_length_ = 0;
  uint64_t dropped_ = 0;
};

// What a reply frame says about the command that was sent.
enum class Verdict {
  kAccepted,
  kKeepWaiting,  // an acknowledgement of another entry: ours may still come
  kWrongKind,    // not the kind of reply the command asks for ("!" frames included)
  kBadIndex,     // token 1 is no int
  kWrongIndex,   // a feedback for another entry
  kBadValue,     // the value does not convert to the type asked for
};

// An acknowledgement: "$ack <index>".
Verdict judgeAck(const char (*tokens)[64], int index);
// How a feedback's number is read: as the classic interface always read it ("%d", "%f"), or
// exactly (parseIntExact, parseFloatExact).
enum class NumberSyntax { kLenient, kExact };

// A feedback, "$fdb <index> <value>". On kAccepted the value is stored by data_type
// (kValueInt, kValueFloat, or kValueText into at least 56 bytes; an unknown type stores
// nothing). *index_seen is the index the reply named, when it named one.
Verdict judgeFeedback(const char (*tokens)[64], int index, int data_type, void* value,
                      int* index_seen, NumberSyntax syntax = NumberSyntax::kLenient);

// Bytes of the shortest reply that can answer a command for index: "$ack <index>", or
// "$fdb <index>" with a blank and one character more for a number, then checksum and newline.
int minimumReply(int index, int data_type);

}  // namespace detail
}  // namespace serial_driver
