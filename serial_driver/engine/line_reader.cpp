// Finding frames and text lines among the bytes of a talkative line.
#include "serial_driver/engine/line_reader.h"

#include <algorithm>
#include <cstring>

namespace serial_driver {
namespace detail {

namespace {

bool startsFrame(char c) { return c == '$' || c == '!'; }  // where a frame may begin

bool startsReply(const char* at) {
  return (strncmp(at, "$ack", 4) == 0 || strncmp(at, "$fdb", 4) == 0) && at[4] == ' ';
}

}  // namespace

void LineReader::reset() { start_ = end_ = 0; }

LineReader::Item LineReader::next() {
  // Each newline may end a frame that starts up to a frame's length before it: at the first
  // "$ack" or "$fdb" whose checksum holds (a text value may hold a "$" of its own, and noise
  // before a reply may hold "$" bytes whose checksum is nil), or at a "!" that begins a line.
  for (int end = start_; end < end_; ++end) {
    if (buf_[end] != '\n') continue;
    for (int s = std::max(start_, end - kFrameSize + 1); s < end; ++s) {
      if (!takeFrameAt(s, end)) continue;
      if (s > start_) return takeDebris(s);
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

bool LineReader::takeFrameAt(int s, int newline) {
  const bool line_start = s == start_ || buf_[s - 1] == '\n';
  if (buf_[s] == '!' ? !line_start
                     : (buf_[s] != '$' || newline - s < 5 || !startsReply(buf_ + s))) {
    return false;
  }
  char checked[kFrameSize];
  if (checkoutString(buf_ + s, newline - s + 1, checked) != 1) return false;
  if (parseString(checked, tokens) != 1) return false;
  reply_ = classify(tokens);
  return true;
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

uint64_t LineReader::takeDropped() {
  const uint64_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
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

}  // namespace detail
}  // namespace serial_driver
