// Sending a command, matching its reply, and the resynchronisation after a failed exchange.
#include "serial_driver/exchange.h"

#include <poll.h>

#include <algorithm>

#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/log.h"
#include "serial_driver/reply.h"

namespace serial_driver {
namespace detail {

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

// True when a whole frame settles the exchange, with its result in *result; false when the
// answer may still come.
bool judge(const ReplyBuffer& reply, const Expected& what, std::error_code* result) {
  int index_seen = 0;
  const Verdict verdict = what.is_get ? judgeFeedback(reply.tokens, what.index, what.data_type,
                                                      what.value, &index_seen, NumberSyntax::kExact)
                                      : judgeAck(reply.tokens, what.index);
  switch (verdict) {
    case Verdict::kAccepted:
      *result = {};
      return true;
    case Verdict::kKeepWaiting:
      return false;
    case Verdict::kWrongKind:
      *result = reply.tokens[0][0] == '!' ? Errc::rejected : Errc::bad_reply;
      return true;
    default:
      *result = Errc::bad_reply;
      return true;
  }
}

}  // namespace

std::error_code sendCommand(Port& port, char* command, int length) {
  const int frame_length = sealFrame(command, length);
  port.discardInput();
  const std::error_code ec = port.write(command, frame_length);
  if (!ec) return {};
  const bool hung_up = isHangUp(ec);
  SD_LOG_THROTTLED(LogLevel::WARN, hung_up ? "port hung up" : "command not sent", ec.message());
  return hung_up ? Errc::hung_up : Errc::send_failed;
}

std::error_code awaitReply(Port& port, const Expected& what, Clock::time_point deadline,
                           const WaitContext& waits) {
  char buf[kFrameSize] = {};
  ReplyBuffer reply(buf);
  const int shortest = minimumReply(what.index, what.is_get ? what.data_type : 0);
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
    // No valid frame can start in a full buffer: more bytes would only wake us in a loop.
    if (reply.room() == 0) return Errc::timeout;
    int got = 0;
    const std::error_code read_error = port.read(reply.end(), reply.room(), &got);
    if (isHangUp(read_error)) return Errc::hung_up;
    if (got == 0) continue;
    reply.added(got);
    if (reply.holdsFrame()) {
      std::error_code result;
      if (judge(reply, what, &result)) return result;
      continue;
    }
    // On a slow line the reply trickles in a byte at a time; it cannot be shorter than
    // `shortest`, so the wait skips the wakes for bytes that must still come and still wakes
    // for the last of them.
    const int missing = shortest - reply.size();
    if (missing > 1) {
      const auto until = std::min(deadline, Clock::now() + (missing - 1) * waits.byte_time);
      if (pauseUntil(until, waits)) return Errc::cancelled;
    }
  }
}

std::error_code resynchronise(Port& port, std::chrono::nanoseconds quiet, const WaitContext& waits,
                              uint64_t* discarded) {
  const Resync done = discardUntilQuiet(port.fd(), quiet, waits.turns.wakeFd(),
                                        [&] { return waits.turns.shouldStop(waits.epoch); });
  *discarded += done.discarded;
  switch (done.end) {
    case QuietEnd::kQuiet:
      return {};
    case QuietEnd::kCancelled:
      return Errc::cancelled;
    default:
      return Errc::hung_up;
  }
}

}  // namespace detail
}  // namespace serial_driver
