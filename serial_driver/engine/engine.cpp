// One operation on the line: send, read, tie replies to commands, fail what cannot be told.
#include "serial_driver/engine/engine.h"

#include <poll.h>

#include <algorithm>
#include <string>

#include "serial_driver/engine/window.h"
#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/log.h"
#include "serial_driver/value_types.h"

namespace serial_driver {
namespace detail {

namespace {

bool shouldStop(const StopSignal& stop) {
  return stop.turns.shouldStop(stop.epoch, stop.ask_check);
}

// After a wake-up: true when the operation must stop. A wake-up that was not for it (a signal,
// a forked child's cancel() on the shared wake-up descriptor) is taken so that it does not
// wake every wait that follows; a cancel() that came meanwhile is seen on the second look.
bool stopsOnWake(const StopSignal& stop) {
  if (shouldStop(stop)) return true;
  stop.turns.drainWake();
  return shouldStop(stop);
}

// Sleeps until `until` unless the operation is asked to stop.
std::error_code pauseUntil(Clock::time_point until, const StopSignal& stop) {
  for (;;) {
    const timespec wait = timeLeft(until);
    if (wait.tv_sec == 0 && wait.tv_nsec == 0) return {};
    pollfd wake{stop.turns.wakeFd(), POLLIN, 0};
    if (ppoll(&wake, wake.fd >= 0 ? 1 : 0, &wait, nullptr) == 0) return {};
    if (stopsOnWake(stop)) return Errc::cancelled;
  }
}

// A reply that cannot answer the command, though it could have been a misformed answer: a
// feedback for another entry when it asked for one, or a reply of the other kind.
bool speaksAgainst(const Reply& reply, const Item& item) {
  if (item.is_get != (reply.kind == ReplyKind::kFeedback)) return true;
  return item.is_get && reply.index != item.index;
}

// Why a command got no answer: a "!" line while it was the oldest was the controller's
// refusal (or a warning: which, only an answer would have shown); a reply that could not be
// its answer, a bad reply; else a timeout.
std::error_code unanswered(const Slot& slot) {
  if (slot.bang) return Errc::rejected;
  return slot.contradicted ? Errc::bad_reply : Errc::timeout;
}

}  // namespace

// One operation's state while it runs.
class Run {
 public:
  Run(Engine& engine, Item* items, size_t count, const StopSignal& stop, Tally* tally)
      : e_(engine), items_(items), count_(count), stop_(stop), tally_(tally) {}
  void go();

 private:
  std::error_code absorb();
  std::error_code sendReady();
  void take();
  void accept(const Reply& reply);
  void outOfStep(int through);
  void expire(Clock::time_point now);
  // Whether the command's answer came, may still come after its deadline, or may come on
  // time, the command having been given up before its deadline.
  enum Answer { kAnswered, kMayStillCome, kGivenUpEarly };
  void finish(const Slot& slot, std::error_code result, Answer answer);
  void failUnsent(std::error_code result);
  void failAll(std::error_code result);
  std::error_code readMore(Clock::time_point deadline);
  std::error_code waitForEnough(Clock::time_point deadline);
  void skipText();
  void skipBang();

  Engine& e_;
  Item* items_;
  size_t count_;
  const StopSignal& stop_;
  Tally* tally_;
  Window window_;
  size_t next_ = 0;                                       // the next item to send
  size_t finished_ = 0;                                   // items sent and finished
  Clock::time_point send_at_ = Clock::time_point::max();  // when it may go, if held back
  bool held_back_ = false;
  bool reconnect_ = false;  // a hang-up, or the reconnect_after-th failure in a row
};

void Run::go() {
  if (!e_.port.isOpen()) {
    // The port was lost: at most one attempt to get it back per pause; operations in between
    // fail at once with the last attempt's error.
    if (!e_.backoff_.mayTry(Clock::now())) return failUnsent(e_.backoff_.lastError());
    if (const std::error_code ec = e_.reopen(tally_)) {
      ++tally_->exchanges;
      ++tally_->failures;
      return failUnsent(ec);
    }
  }
  std::error_code ec = absorb();
  while (!ec) {
    ec = sendReady();
    if (ec) break;
    const size_t finished = finished_;
    take();
    expire(Clock::now());
    if (window_.empty() && next_ >= count_) break;
    if (finished_ != finished && next_ < count_) continue;  // the next item may go now
    const Clock::time_point until =
        window_.empty() ? send_at_ : std::min(send_at_, window_.oldest().deadline);
    if (waitForEnough(until)) {
      ec = Errc::cancelled;
      break;
    }
    ec = readMore(until);
    if (ec == Errc::timeout) ec = {};
  }
  if (ec) failAll(ec);
  tally_->discarded_bytes += e_.reader_.takeDropped();
  if (reconnect_) {
    e_.failures_in_row_ = 0;
    // A failed reopen leaves the port lost; a later operation tries again.
    if (const std::error_code reopened = e_.reopen(tally_)) {
      SD_LOG_THROTTLED(LogLevel::WARN, "reconnection failed", reopened.message());
    }
  }
}

// What came since the last operation: late answers, replies nobody waits for, chatter.
std::error_code Run::absorb() {
  for (;;) {
    int got = 0;
    const int room = e_.reader_.room();
    const std::error_code read_error = e_.port.read(e_.reader_.space(), room, &got);
    if (isHangUp(read_error)) {
      SD_LOG_THROTTLED(LogLevel::WARN, "port hung up", read_error.message());
      return Errc::hung_up;
    }
    if (got == 0) return {};
    e_.reader_.added(got);
    take();
    if (got < room) return {};
  }
}

std::error_code Run::sendReady() {
  send_at_ = Clock::time_point::max();
  while (next_ < count_ && window_.size() < e_.settings_.max_in_flight) {
    Item& item = items_[next_];
    if (item.length < 0) {
      ++next_;
      continue;
    }
    // In item order: a later command never overtakes an earlier one for its entry.
    if (window_.holds(item)) return {};
    const auto now = Clock::now();
    const auto clear_at = e_.late_.clearAt(item.index, now);
    if (clear_at > now) {
      send_at_ = clear_at;
      return {};
    }
    if (!e_.late_.hasRoom(window_.size() + 1, now)) {
      if (!held_back_) ++tally_->held_back;
      held_back_ = true;
      send_at_ = e_.late_.firstEnd();
      return {};
    }
    item.command[item.length] = '\0';  // an item used before holds its sealed frame
    const int length = sealFrame(item.command, item.length);
    ++next_;
    const std::error_code ec = e_.port.write(item.command, length);
    // The reply's time starts once the command is out; it may queue behind the replies to the
    // commands ahead of it.
    const auto sent = Clock::now();
    const auto queued = window_.size() * kFrameSize * e_.settings_.byte_time;
    const Slot slot{&item, ++e_.sent_, sent,
                    later(later(sent, e_.settings_.reply_timeout), queued)};
    if (!ec) {
      window_.push(slot);
      continue;
    }
    const bool hung_up = isHangUp(ec);
    SD_LOG_THROTTLED(LogLevel::WARN, hung_up ? "port hung up" : "command not sent", ec.message());
    // Part of it may have gone out.
    finish(slot, hung_up ? Errc::hung_up : Errc::send_failed, kMayStillCome);
    if (hung_up) return Errc::hung_up;
  }
  return {};
}

void Run::take() {
  LineReader& reader = e_.reader_;
  for (auto line = reader.next(); line != LineReader::Item::kNone; line = reader.next()) {
    if (line == LineReader::Item::kText) {
      skipText();
      continue;
    }
    const Reply& reply = reader.reply();
    if (reply.kind == ReplyKind::kBang) {
      skipBang();
      continue;
    }
    if (e_.late_.takes(reply, Clock::now())) {
      ++tally_->skipped_lines;
      ++tally_->stale_replies;
      continue;
    }
    const Judgement judgement = window_.judge(reply);
    if (judgement.what == Judgement::kAnswer) {
      accept(reply);
      continue;
    }
    ++tally_->skipped_lines;
    if (judgement.what == Judgement::kOutOfStep) {
      outOfStep(judgement.through);
    } else if (!window_.empty() && speaksAgainst(reply, *window_.oldest().item)) {
      window_.oldest().contradicted = true;
    }
  }
}

void Run::accept(const Reply& reply) {
  const Slot slot = window_.popOldest();
  Item& item = *slot.item;
  // The window took it for this entry and kind: a set's acknowledgement needs no more.
  const std::error_code result = item.is_get ? takeAnswer(&item, reply) : std::error_code();
  e_.late_.answered(slot.seq);
  finish(slot, result, kAnswered);
}

// Every command in flight fails: the skipped ones' answers may still come, under any number,
// and would pass for a later command's.
void Run::outOfStep(int through) {
  tally_->out_of_step += static_cast<uint64_t>(window_.size());
  for (int i = 0; !window_.empty(); ++i) {
    const Slot slot = window_.popOldest();
    finish(slot, i < through ? unanswered(slot) : Errc::bad_reply, kGivenUpEarly);
  }
}

void Run::expire(Clock::time_point now) {
  while (!window_.empty() && now >= window_.oldest().deadline) {
    const Slot slot = window_.popOldest();
    finish(slot, unanswered(slot), kMayStillCome);
  }
}

void Run::finish(const Slot& slot, std::error_code result, Answer answer) {
  Item& item = *slot.item;
  item.result = result;
  deliver(&item);
  ++finished_;
  const auto now = Clock::now();
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(now - slot.sent_at);
  ++tally_->exchanges;
  tally_->last_exchange = took;
  tally_->max_exchange = std::max(tally_->max_exchange, took);
  if (result) ++tally_->failures;
  // A cancelled command says nothing about the line.
  const bool due = result != Errc::cancelled && result != Errc::hung_up &&
                   countFailure(&e_.failures_in_row_, bool(result), e_.settings_.reconnect_after);
  if (result == Errc::hung_up || due) reconnect_ = true;
  if (result && answer != kAnswered) {
    e_.late_.add(item.is_get, item.index, slot.seq, now,
                 answer == kGivenUpEarly ? slot.deadline : Clock::time_point{});
  }
}

void Run::failUnsent(std::error_code result) {
  for (; next_ < count_; ++next_) {
    if (items_[next_].length >= 0) items_[next_].result = result;
  }
}

void Run::failAll(std::error_code result) {
  if (result == Errc::hung_up) reconnect_ = true;
  // A hang-up takes the answers with the port; a cancel leaves them on their way.
  const Answer answer = result == Errc::cancelled ? kGivenUpEarly : kMayStillCome;
  while (!window_.empty()) finish(window_.popOldest(), result, answer);
  failUnsent(result);
}

// Waits for input until the deadline and reads what came: Errc::timeout, hung_up or cancelled
// when none will.
std::error_code Run::readMore(Clock::time_point deadline) {
  LineReader& reader = e_.reader_;
  for (;;) {
    switch (e_.port.wait(deadline, stop_.turns.wakeFd())) {
      case Readiness::kTimedOut:
        return Errc::timeout;
      case Readiness::kHungUp:
        return Errc::hung_up;
      case Readiness::kWoken:
        if (stopsOnWake(stop_)) return Errc::cancelled;
        continue;  // not for this operation: the deadline is unchanged
      case Readiness::kInput:
        break;
    }
    int got = 0;
    const std::error_code read_error = e_.port.read(reader.space(), reader.room(), &got);
    if (isHangUp(read_error)) return Errc::hung_up;
    if (got == 0) continue;
    reader.added(got);
    return {};
  }
}

// Waits while the bytes that may become the oldest reply cannot be enough yet: on a slow line
// a reply trickles in a byte at a time. The last byte still wakes the wait; a line that only
// chatters wakes it no more than that.
std::error_code Run::waitForEnough(Clock::time_point deadline) {
  if (window_.empty()) return {};
  const Item& oldest = *window_.oldest().item;
  const int shortest = minimumReply(oldest.index, oldest.is_get ? oldest.data_type : 0);
  const LineReader& reader = e_.reader_;
  const int missing = shortest - reader.pendingFrameBytes();
  if (reader.pendingBytes() == 0 || missing <= 1) return {};
  return pauseUntil(std::min(deadline, Clock::now() + (missing - 1) * e_.settings_.byte_time),
                    stop_);
}

// What the controller says on its own goes to the log, a line now and then.
void Run::skipText() {
  const LineReader& reader = e_.reader_;
  ++tally_->skipped_lines;
  tally_->discarded_bytes += static_cast<uint64_t>(reader.textLength());
  std::string text(reader.text(), static_cast<size_t>(reader.textLength()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  SD_LOG_THROTTLED(LogLevel::INFO, "the controller said", text);
}

// A "!" line is the controller's refusal of the oldest command, or a warning of its own: which
// shows only when no answer comes.
void Run::skipBang() {
  const LineReader& reader = e_.reader_;
  ++tally_->skipped_lines;
  if (!window_.empty()) window_.oldest().bang = true;
  SD_LOG_THROTTLED(LogLevel::WARN, "the controller said",
                   std::string(reader.tokens[0]) + " " + reader.tokens[1] + " " + reader.tokens[2]);
}

// The failed commands are kept through a close and an open: their answers may still come on
// the line opened again, and are forgotten by time.
void Engine::start(const EngineSettings& settings) {
  settings_ = settings;
  reader_.reset();
  late_.setWindows(
      lateAnswerWindow(settings.reply_timeout, kLateAnswerDeadlines, settings.longest_late_window),
      lateAnswerWindow(settings.reply_timeout, kUnansweredLateAnswerDeadlines,
                       settings.longest_late_window));
  backoff_.succeeded();
  failures_in_row_ = 0;
}

void Engine::stop() {
  port.close();
  reader_.reset();
}

void Engine::run(Item* items, size_t count, const StopSignal& stop, Tally* tally) {
  Run(*this, items, count, stop, tally).go();
}

std::error_code Engine::reopen(Tally* tally) {
  // The remembered commands stay: their answers may still come on the port opened anew.
  port.close();
  reader_.reset();
  const std::error_code ec = open_port(&port);
  if (ec) {
    backoff_.failed(ec, Clock::now());
    return ec;
  }
  backoff_.succeeded();
  ++tally->reconnections;
  return {};
}

}  // namespace detail
}  // namespace serial_driver
