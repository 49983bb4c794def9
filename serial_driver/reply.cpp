// Reply frames: collecting one, classifying it, and judging it against the command.
#include "serial_driver/reply.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "serial_driver/numbers.h"
#include "serial_driver/value_types.h"

namespace serial_driver {
namespace detail {

bool ReplyBuffer::holdsFrame() {
  return checkoutString(buf_, size_, text_) == 1 && parseString(text_, tokens) == 1;
}

Reply classify(const char (*tokens)[kFrameSize]) {
  Reply reply;
  if (strcmp(tokens[0], "$ack") == 0) {
    reply.kind = ReplyKind::kAck;
  } else if (strcmp(tokens[0], "$fdb") == 0) {
    reply.kind = ReplyKind::kFeedback;
  } else if (tokens[0][0] == '!') {
    reply.kind = ReplyKind::kBang;
  }
  reply.has_index = scanInt(tokens[1], &reply.index);
  reply.value = tokens[2];
  return reply;
}

Verdict judgeAck(const Reply& reply, int index) {
  if (reply.kind != ReplyKind::kAck) return Verdict::kWrongKind;
  if (!reply.has_index) return Verdict::kBadIndex;
  return reply.index == index ? Verdict::kAccepted : Verdict::kKeepWaiting;
}

namespace {

// Converted into a local first: a failed conversion leaves the caller's value alone.
template <typename T, typename Parse>
bool store(const char* text, void* value, Parse parse) {
  T converted{};
  if (!parse(text, &converted)) return false;
  *static_cast<T*>(value) = converted;
  return true;
}

bool storeValue(const char* text, int data_type, void* value, NumberSyntax syntax) {
  const bool exact = syntax == NumberSyntax::kExact;
  switch (data_type) {
    case kValueFloat:
      return store<float>(text, value, exact ? parseFloatExact : scanFloat);
    case kValueInt:
      return store<int>(text, value, exact ? parseIntExact : scanInt);
    case kValueText:
      // Token 2 of a valid "$fdb" frame has at most 55 characters.
      strcpy(static_cast<char*>(value), text);
      return true;
    default:
      return true;
  }
}

}  // namespace

Verdict judgeFeedback(const Reply& reply, int index, int data_type, void* value, int* index_seen,
                      NumberSyntax syntax) {
  if (reply.kind != ReplyKind::kFeedback) return Verdict::kWrongKind;
  if (!reply.has_index) return Verdict::kBadIndex;
  *index_seen = reply.index;
  if (reply.index != index) return Verdict::kWrongIndex;
  return storeValue(reply.value, data_type, value, syntax) ? Verdict::kAccepted
                                                           : Verdict::kBadValue;
}

int minimumReply(int index, int data_type) {
  char text[kFrameSize];
  const int number_value = data_type == kValueInt || data_type == kValueFloat ? 2 : 0;
  return snprintf(text, sizeof text, "$ack %d", index) + number_value + 2;
}

}  // namespace detail
}  // namespace serial_driver
