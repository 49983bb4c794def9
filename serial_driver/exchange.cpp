// Sending a command, finding its answer among the lines that come back, and keeping late
// answers to failed commands from being taken for later ones.
#include "serial_driver/exchange.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/log.h"
#include "serial_driver/numbers.h"
#include "serial_driver/reply.h"

namespace serial_driver {
namespace detail {

void StaleReplies::add(const Expected& what, Clock::time_point now, std::chrono::nanoseconds window,
                       std::chrono::nanoseconds long_window) {
  if (count_ == kMost) {
    std::copy(entries_ + 1, entries_ + kMost, entries_);
    --count_;
  }
  entries_[count_++] = {what.is_get, what.index, later(now, window), later(now, long_window),
                        false};
}

void StaleReplies::overtaken() {
  for (int i = 0; i < count_; ++i) entries_[i].overtaken = true;
}

bool StaleReplies::takes(const char (*tokens)[64]) {
  const bool ack = strcmp(tokens[0], "$ack") == 0;
  int index = 0;
  if ((!ack && strcmp(tokens[0], "$fdb") != 0) || !scanInt(tokens[1], &index)) return false;
  forgetExpired(Clock::now());
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].is_get == !ack && entries_[i].index == index) {
      std::copy(entries_ + i + 1, entries_ + count_, entries_ + i);
      --count_;
      return true;
    }
  }
  return false;
}

Clock::time_point StaleReplies::clearAt(const Expected& what, Clock::time_point now) {
  forgetExpired(now);
  Clock::time_point at = now;
  for (int i = 0; i < count_; ++i) {
    if (entries_[i].is_get == what.is_get && entries_[i].index == what.index) {
      at = std::max(at, entries_[i].end());
    }
  }
  return at;
}

void StaleReplies::forgetExpired(Clock::time_point now) {
  const auto end = std::remove_if(entries_, entries_ + count_,
                                  [now](const Entry& entry) { return entry.end() <= now; });
  count_ = static_cast<int>(end - entries_);
}

namespace {

// Sleeps until `until` unless the operation is asked to stop.
std::error_code pauseUntil(Clock::time_point until, const WaitContext& waits) {
  for (;;) {
    const timespec wait = timeLeft(until);
    if (wait.tv_sec == 0 && wait.tv_nsec == 0) return {};
    pollfd wake{waits.turns.wakeFd(), POLLIN, 0};
    if (ppoll(&wake, wake.fd >= 0 ? 1 : 0, &wait, nullptr) == 0) return {};
    if (waits.turns.shouldStop(waits.epoch)) return Errc::cancelled;
  }
}

// What the frame says about `what`: kAccepted (the value stored), kBadValue (the answer, but
// unreadable), kKeepWaiting (another entry's acknowledgement), or another entry's or another
// kind's frame.
Verdict judge(const LineReader& lines, const Expected& what) {
  int index_seen = 0;
  return what.is_get ? judgeFeedback(lines.tokens, what.index, what.data_type, what.value,
                                     &index_seen, NumberSyntax::kExact)
                     : judgeAck(lines.tokens, what.index);
}

}  // namespace

// Waits for input until the deadline and reads what came: Errc::timeout, hung_up or cancelled
// when none will.
std::error_code readMore(Port& port, LineReader& lines, Clock::time_point deadline,
                         const WaitContext& waits) {
  for (;;) {
    switch (port.wait(deadline, waits.turns.wakeFd())) {
      case Readiness::kTimedOut:
        return Errc::timeout;
      case Readiness::kHungUp:
        return Errc::hung_up;
      case Readiness::kWoken:
        if (waits.turns.shouldStop(waits.epoch)) return Errc::cancelled;
        continue;  // another signal: the deadline is unchanged
      case Readiness::kInput:
        break;
    }
    int got = 0;
    const std::error_code read_error = port.read(lines.space(), lines.room(), &got);
    if (isHangUp(read_error)) return Errc::hung_up;
    if (got == 0) continue;
    lines.added(got);
    return {};
  }
}

// A line that is not the answer: counted, and what the controller says on its own goes to the
// log, a line now and then.
void skipText(const LineReader& lines, Skipped* skipped) {
  ++skipped->lines;
  skipped->bytes += static_cast<uint64_t>(lines.textLength());
  std::string text(lines.text(), static_cast<size_t>(lines.textLength()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  SD_LOG_THROTTLED(LogLevel::INFO, "the controller said", text);
}

// A frame that is not the answer. `against` marks one that speaks against the command (a
// frame of the wrong kind or for another entry of a get), which decides the error when no
// answer comes.
void skipFrame(const LineReader& lines, bool stale, bool against, Skipped* skipped) {
  ++skipped->lines;
  if (stale) {
    ++skipped->stale_replies;
  } else if (lines.tokens[0][0] == '!') {
    skipped->bang = true;
    SD_LOG_THROTTLED(LogLevel::WARN, "the controller said",
                     std::string(lines.tokens[0]) + " " + lines.tokens[1] + " " + lines.tokens[2]);
  } else if (against) {
    skipped->other_frame = true;
  }
}

// Waits while the bytes that may become the answer cannot be enough yet: on a slow line the
// reply trickles in a byte at a time, and it cannot be shorter than `shortest`. The last byte
// still wakes the wait; a line that only chatters wakes it no more than that.
std::error_code waitForEnough(const LineReader& lines, int shortest, Clock::time_point deadline,
                              const WaitContext& waits) {
  const int missing = shortest - lines.pendingFrameBytes();
  if (lines.pendingBytes() == 0 || missing <= 1) return {};
  return pauseUntil(std::min(deadline, Clock::now() + (missing - 1) * waits.byte_time), waits);
}

std::error_code sendCommand(Port& port, char* command, int length) {
  const int frame_length = sealFrame(command, length);
  port.discardInput();
  const std::error_code ec = port.write(command, frame_length);
  if (!ec) return {};
  const bool hung_up = isHangUp(ec);
  SD_LOG_THROTTLED(LogLevel::WARN, hung_up ? "port hung up" : "command not sent", ec.message());
  return hung_up ? Errc::hung_up : Errc::send_failed;
}

std::error_code awaitReply(Port& port, LineReader& lines, const Expected& what,
                           Clock::time_point deadline, const WaitContext& waits, Skipped* skipped) {
  const int shortest = minimumReply(what.index, what.is_get ? what.data_type : 0);
  for (;;) {
    for (auto item = lines.next(); item != LineReader::Item::kNone; item = lines.next()) {
      if (item == LineReader::Item::kText) {
        skipText(lines, skipped);
        continue;
      }
      const bool stale = waits.stale.takes(lines.tokens);
      const Verdict verdict = stale ? Verdict::kKeepWaiting : judge(lines, what);
      if (verdict == Verdict::kAccepted || verdict == Verdict::kBadValue) {
        waits.stale.overtaken();
        return verdict == Verdict::kAccepted ? std::error_code() : Errc::bad_reply;
      }
      skipFrame(lines, stale, verdict != Verdict::kKeepWaiting, skipped);
    }
    if (waitForEnough(lines, shortest, deadline, waits)) return Errc::cancelled;
    const std::error_code ec = readMore(port, lines, deadline, waits);
    if (ec != Errc::timeout) {
      if (ec) return ec;
      continue;
    }
    if (skipped->bang) return Errc::rejected;
    return skipped->other_frame ? Errc::bad_reply : Errc::timeout;
  }
}

std::error_code awaitStale(Port& port, LineReader& lines, const Expected& what,
                           Clock::time_point until, const WaitContext& waits, Skipped* skipped) {
  for (;;) {
    for (auto item = lines.next(); item != LineReader::Item::kNone; item = lines.next()) {
      if (item == LineReader::Item::kText) {
        skipText(lines, skipped);
      } else {
        skipFrame(lines, waits.stale.takes(lines.tokens), false, skipped);
      }
    }
    if (waits.stale.clearAt(what, Clock::now()) <= Clock::now()) return {};
    const std::error_code ec = readMore(port, lines, until, waits);
    if (ec == Errc::timeout) return {};
    if (ec) return ec;
  }
}

}  // namespace detail
}  // namespace serial_driver
