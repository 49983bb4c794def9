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

  char tokens[4][kFrameSize] = {};

 private:
  char* const buf_;
  int size_ = 0;
  char text_[kFrameSize] = {};
};

// A reply frame as the protocol reads it: what kind it is, the entry it names and its value
// text. Every reader of the wire (the classic waits, the link's engine) judges replies by it.
enum class ReplyKind { kAck, kFeedback, kBang, kOther };
struct Reply {
  ReplyKind kind = ReplyKind::kOther;
  bool has_index = false;  // token 1 is an int
  int index = 0;
  const char* value = "";  // token 2, the rest of the text
};
// Classifies a checked and split frame; the reply points into tokens.
Reply classify(const char (*tokens)[kFrameSize]);

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
Verdict judgeAck(const Reply& reply, int index);
// How a feedback's number is read: as the classic interface always read it ("%d", "%f"), or
// exactly (parseIntExact, parseFloatExact).
enum class NumberSyntax { kLenient, kExact };

// A feedback, "$fdb <index> <value>". On kAccepted the value is stored by data_type
// (kValueInt, kValueFloat, or kValueText into at least 56 bytes; an unknown type stores
// nothing). *index_seen is the index the reply named, when it named one.
Verdict judgeFeedback(const Reply& reply, int index, int data_type, void* value, int* index_seen,
                      NumberSyntax syntax = NumberSyntax::kLenient);

// Bytes of the shortest reply that can answer a command for index: "$ack <index>", or
// "$fdb <index>" with a blank and one character more for a number, then checksum and newline.
int minimumReply(int index, int data_type);

}  // namespace detail
}  // namespace serial_driver
