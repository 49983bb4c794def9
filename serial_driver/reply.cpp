// Reply frames: collecting one, and judging it against the command.
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

namespace {

bool startsFrame(char c) { return c == '$' || c == '!'; }  // where a frame may begin

}  // namespace

LineReader::Item LineReader::next() {
  char checked[kFrameSize];
  // Each newline may end a frame that starts up to a frame's length before it: at a "$" whose
  // checksum holds (the first such: a text value may hold a "$" of its own), or at a "!" that
  // begins a line (a "!" line has no checksum, and a text value may hold a "!").
  for (int end = start_; end < end_; ++end) {
    if (buf_[end] != '\n') continue;
    for (int s = std::max(start_, end - kFrameSize + 1); s < end; ++s) {
      const bool line_start = s == start_ || buf_[s - 1] == '\n';
      if (buf_[s] != '$' && !(buf_[s] == '!' && line_start)) continue;
      if (checkoutString(buf_ + s, end - s + 1, checked) != 1) continue;
      if (s > start_) return takeDebris(s);
      if (parseString(checked, tokens) != 1) break;
      start_ = end + 1;
      compact();
      return Item::kFrame;
    }
  }
  const int keep_from = firstPossibleStart();
  if (keep_from > start_) return takeDebris(keep_from);
  compact();
  return Item::kNone;
}

int LineReader::firstPossibleStart() const {
  // Nothing a whole frame's length before the end can start one, nor anything before a newline
  // that cannot be a checksum byte: one before the last byte, or the last byte of a line with
  // no "$" in it.
  const int earliest = std::max(start_, end_ - kFrameSize + 1);
  for (int i = end_ - 1; i >= earliest; --i) {
    if (buf_[i] == '\n' && (i < end_ - 1 || !lineHasDollar(i))) return i + 1;
  }
  return earliest;
}

bool LineReader::lineHasDollar(int newline) const {
  for (int i = newline - 1; i >= start_ && buf_[i] != '\n'; --i) {
    if (buf_[i] == '$') return true;
  }
  return false;
}

LineReader::Item LineReader::takeDebris(int until) {
  // One line at a time; bytes without a newline that can no longer become a frame go.
  const char* newline = static_cast<const char*>(memchr(buf_ + start_, '\n', until - start_));
  if (newline != nullptr) return takeText(static_cast<int>(newline - buf_) - start_ + 1);
  dropped_ += static_cast<uint64_t>(until - start_);
  start_ = until;
  compact();
  return next();
}

int LineReader::pendingFrameBytes() const {
  for (int i = start_; i < end_; ++i) {
    if (startsFrame(buf_[i])) return end_ - i;
  }
  return 0;
}

LineReader::Item LineReader::takeText(int length) {
  // A line longer than a frame is cut: only its start is worth showing.
  text_length_ = std::min(length, kFrameSize);
  memcpy(text_, buf_ + start_, static_cast<size_t>(text_length_));
  text_[text_length_] = '\0';
  start_ += length;
  return Item::kText;
}

void LineReader::compact() {
  if (start_ == 0) return;
  memmove(buf_, buf_ + start_, static_cast<size_t>(end_ - start_));
  end_ -= start_;
  start_ = 0;
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
