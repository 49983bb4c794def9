// Reply frames: collecting one, and judging it against the command.
#include "serial_driver/reply.h"

#include <cstdio>
#include <cstring>

#include "serial_driver/numbers.h"
#include "serial_driver/value_types.h"

namespace serial_driver {
namespace detail {

bool ReplyBuffer::holdsFrame() {
  return checkoutString(buf_, size_, text_) == 1 && parseString(text_, tokens) == 1;
}

Verdict judgeAck(const char (*tokens)[64], int index) {
  if (strcmp(tokens[0], "$ack") != 0) return Verdict::kWrongKind;
  int index_seen = 0;
  if (!scanInt(tokens[1], &index_seen)) return Verdict::kBadIndex;
  return index_seen == index ? Verdict::kAccepted : Verdict::kKeepWaiting;
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

Verdict judgeFeedback(const char (*tokens)[64], int index, int data_type, void* value,
                      int* index_seen, NumberSyntax syntax) {
  if (strcmp(tokens[0], "$fdb") != 0) return Verdict::kWrongKind;
  if (!scanInt(tokens[1], index_seen)) return Verdict::kBadIndex;
  if (*index_seen != index) return Verdict::kWrongIndex;
  return storeValue(tokens[2], data_type, value, syntax) ? Verdict::kAccepted : Verdict::kBadValue;
}

int minimumReply(int index, int data_type) {
  char text[kFrameSize];
  const int number_value = data_type == kValueInt || data_type == kValueFloat ? 2 : 0;
  return snprintf(text, sizeof text, "$ack %d", index) + number_value + 2;
}

}  // namespace detail
}  // namespace serial_driver
