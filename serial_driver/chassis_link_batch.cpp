// A batch on a link: at a window of 1 the items run as single calls would; with more commands
// in flight they leave in item order, and each reply is matched to the oldest item in flight
// of its kind and index.
#include <algorithm>
#include <cstring>
#include <string>

#include "serial_driver/chassis_link_impl.h"
#include "serial_driver/frame.h"
#include "serial_driver/log.h"
#include "serial_driver/numbers.h"
#include "serial_driver/reply.h"
#include "serial_driver/value_types.h"

namespace serial_driver {

using detail::BatchItem;
using detail::Clock;

namespace {

detail::Expected expectedOf(BatchItem& item) {
  void* into = item.data_type == kValueText ? item.text : item.value;
  return {item.index, item.is_get, item.data_type, into};
}

// A text read is handed over only once it is known good; numbers were stored by the match.
void deliver(BatchItem& item) {
  if (!item.result && item.is_get && item.data_type == kValueText) {
    static_cast<std::string*>(item.value)->assign(item.text);
  }
}

}  // namespace

std::error_code ChassisLink::exchange(Batch& batch) {
  for (auto& item : batch.items_) {
    item.result = item.length < 0 ? std::error_code(Errc::bad_value) : Errc::not_open;
  }
  Impl* impl = impl_.get();
  const std::error_code ec = Impl::inTurn(impl, [&](uint64_t epoch) {
    return impl->runBatch(batch.items_.data(), batch.items_.size(), epoch);
  });
  for (auto& item : batch.items_) {
    if (ec && item.result == Errc::not_open) item.result = ec;  // the turn was never had
    if (item.result) return item.result;
  }
  return {};
}

std::error_code ChassisLink::Impl::runBatch(BatchItem* items, size_t count, uint64_t epoch) {
  if (options.max_in_flight > 1) {
    runPipelined(items, count, epoch);
    return {};
  }
  for (size_t i = 0; i < count; ++i) {
    BatchItem& item = items[i];
    if (item.length < 0) continue;
    item.command[item.length] = '\0';  // a batch used before holds the sealed frame
    item.result = exchange(item.command, item.length, expectedOf(item), epoch);
    deliver(item);
    if (item.result == Errc::cancelled) {
      for (size_t rest = i + 1; rest < count; ++rest) {
        if (items[rest].length >= 0) items[rest].result = Errc::cancelled;
      }
      break;
    }
  }
  return {};
}

// The items in flight, oldest first, and what the line brings back for them.
struct ChassisLink::Impl::Pipeline {
  Pipeline(Impl& link_state, BatchItem* batch_items, size_t item_count, uint64_t at_epoch)
      : link(link_state), items(batch_items), count(item_count), epoch(at_epoch) {}

  Impl& link;
  BatchItem* items;
  size_t count;
  uint64_t epoch;
  detail::WaitContext waits{link.turns, epoch, link.byte_time, link.stale};
  detail::LineReader lines;
  detail::Skipped skipped;
  size_t next = 0;  // the next item to send
  size_t flight[kMaxInFlight] = {};
  Clock::time_point sent_at[kMaxInFlight] = {};
  Clock::time_point deadline[kMaxInFlight] = {};
  int in_flight = 0;
  bool reconnect = false;  // a hang-up, or the reconnect_after-th failure in a row

  void run();
  std::error_code sendReady();
  bool mayGo(const BatchItem& item, Clock::time_point now) const;
  void finishOldest(std::error_code result);
  void finish(BatchItem& item, std::error_code result, Clock::time_point sent);
  void take();
  void match(bool ack, int index);
  void failRest(std::error_code result);
};

void ChassisLink::Impl::runPipelined(BatchItem* items, size_t count, uint64_t epoch) {
  Pipeline pipeline(*this, items, count, epoch);
  pipeline.run();
}

void ChassisLink::Impl::Pipeline::run() {
  if (!link.port.isOpen()) {
    // As a single call: at most one attempt per pause to get a lost port back.
    const auto now = Clock::now();
    const std::error_code ec = link.backoff.mayTry(now) ? link.reopen() : link.backoff.lastError();
    if (ec) return failRest(ec);
  }
  link.port.discardInput();
  for (;;) {
    if (const std::error_code ec = sendReady()) {
      failRest(ec);
      break;
    }
    take();
    while (in_flight > 0 && Clock::now() >= deadline[0]) finishOldest(Errc::timeout);
    if (in_flight == 0 && next >= count) break;
    const auto until =
        in_flight > 0 ? deadline[0]
                      : link.stale.clearAt(
                            detail::Expected{items[next].index, items[next].is_get, 0, nullptr},
                            Clock::now());
    // The oldest reply is the next to come: no wake for bytes that cannot complete it.
    const int shortest =
        in_flight > 0 ? detail::minimumReply(items[flight[0]].index, items[flight[0]].data_type)
                      : 0;
    if (detail::waitForEnough(lines, shortest, until, waits)) {
      failRest(Errc::cancelled);
      break;
    }
    const std::error_code ec = detail::readMore(link.port, lines, until, waits);
    if (ec && ec != Errc::timeout) {
      failRest(ec);
      break;
    }
  }
  skipped.bytes += lines.dropped();
  link.countSkipped(skipped);
  if (reconnect) {
    link.failures_in_row = 0;
    const std::error_code reopened = link.reopen();
    if (reopened) SD_LOG_THROTTLED(LogLevel::WARN, "reconnection failed", reopened.message());
  }
}

bool ChassisLink::Impl::Pipeline::mayGo(const BatchItem& item, Clock::time_point now) const {
  // Two commands for one entry and of one kind are never in flight together: their replies
  // could not be told apart. Nor does one go while a late answer to its entry may still come.
  for (int slot = 0; slot < in_flight; ++slot) {
    const BatchItem& other = items[flight[slot]];
    if (other.index == item.index && other.is_get == item.is_get) return false;
  }
  return link.stale.clearAt({item.index, item.is_get, 0, nullptr}, now) <= now;
}

std::error_code ChassisLink::Impl::Pipeline::sendReady() {
  while (next < count && in_flight < link.options.max_in_flight) {
    BatchItem& item = items[next];
    if (item.length < 0) {
      ++next;
      continue;
    }
    const auto now = Clock::now();
    if (!mayGo(item, now)) break;
    item.command[item.length] = '\0';  // a batch used before holds the sealed frame
    const int length = detail::sealFrame(item.command, item.length);
    if (const std::error_code ec = link.port.write(item.command, length)) {
      if (detail::isHangUp(ec)) return Errc::hung_up;
      finish(item, Errc::send_failed, now);
      ++next;
      continue;
    }
    // A reply may queue behind the replies of the commands ahead of it.
    const auto queued = in_flight * kFrameSize * link.byte_time;
    flight[in_flight] = next++;
    sent_at[in_flight] = now;
    deadline[in_flight] = detail::later(now, link.reply_timeout + queued);
    ++in_flight;
  }
  return {};
}

void ChassisLink::Impl::Pipeline::finish(BatchItem& item, std::error_code result,
                                         Clock::time_point sent) {
  item.result = result;
  deliver(item);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent);
  {
    std::lock_guard<std::mutex> lock(link.mutex);
    ++link.stats.exchanges;
    link.stats.last_exchange = took;
    link.stats.max_exchange = std::max(link.stats.max_exchange, took);
    if (result) ++link.stats.failures;
  }
  if (result == Errc::hung_up) reconnect = true;
  if (result == Errc::cancelled || result == Errc::hung_up) return;
  if (detail::countFailure(&link.failures_in_row, bool(result), link.options.reconnect_after)) {
    reconnect = true;
  }
  // Its answer may still come: a later command for the same entry waits for it to pass.
  if (result) {
    const auto deadline = link.reply_timeout;
    link.stale.add(
        {item.index, item.is_get, 0, nullptr}, Clock::now(),
        detail::lateAnswerWindow(deadline, detail::kLateAnswerDeadlines, link.longest_resync),
        detail::lateAnswerWindow(deadline, detail::kUnansweredLateAnswerDeadlines,
                                 link.longest_resync));
  }
}

void ChassisLink::Impl::Pipeline::finishOldest(std::error_code result) {
  finish(items[flight[0]], result, sent_at[0]);
  for (int slot = 1; slot < in_flight; ++slot) {
    flight[slot - 1] = flight[slot];
    sent_at[slot - 1] = sent_at[slot];
    deadline[slot - 1] = deadline[slot];
  }
  --in_flight;
}

void ChassisLink::Impl::Pipeline::take() {
  for (auto item = lines.next(); item != detail::LineReader::Item::kNone; item = lines.next()) {
    if (item == detail::LineReader::Item::kText) {
      detail::skipText(lines, &skipped);
      continue;
    }
    if (link.stale.takes(lines.tokens)) {
      detail::skipFrame(lines, true, false, &skipped);
      continue;
    }
    const char* kind = lines.tokens[0];
    int index = 0;
    if (kind[0] == '!' && in_flight > 0) {
      finishOldest(Errc::rejected);  // a "!" answers the oldest command
    } else if ((strcmp(kind, "$ack") == 0 || strcmp(kind, "$fdb") == 0) &&
               detail::scanInt(lines.tokens[1], &index)) {
      match(kind[1] == 'a', index);
    } else {
      detail::skipFrame(lines, false, false, &skipped);
    }
  }
}

void ChassisLink::Impl::Pipeline::match(bool ack, int index) {
  int slot = 0;
  while (slot < in_flight &&
         (items[flight[slot]].index != index || items[flight[slot]].is_get == ack)) {
    ++slot;
  }
  if (slot == in_flight) {
    detail::skipFrame(lines, false, false, &skipped);  // no command of ours asked for it
    return;
  }
  // A reply for a later command: the earlier ones' replies were lost.
  for (; slot > 0; --slot) finishOldest(Errc::timeout);
  BatchItem& item = items[flight[0]];
  std::error_code result;
  if (item.is_get) {
    int seen = 0;
    const detail::Expected what = expectedOf(item);
    const auto verdict = detail::judgeFeedback(lines.tokens, index, what.data_type, what.value,
                                               &seen, detail::NumberSyntax::kExact);
    if (verdict != detail::Verdict::kAccepted) result = Errc::bad_reply;
  }
  // The stale entries added for the items it passed are older than this answer too.
  if (!result || result == Errc::bad_reply) link.stale.overtaken();
  finishOldest(result);
}

void ChassisLink::Impl::Pipeline::failRest(std::error_code result) {
  while (in_flight > 0) finishOldest(result);
  for (; next < count; ++next) {
    if (items[next].length >= 0) finish(items[next], result, Clock::now());
  }
}

}  // namespace serial_driver
