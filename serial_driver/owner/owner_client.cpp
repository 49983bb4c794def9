// Commands through the owner of the port.
#include "serial_driver/owner/owner_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/log.h"
#include "serial_driver/owner/served_line.h"
#include "serial_driver/port.h"

namespace serial_driver {
namespace detail {

namespace {

// Whether reply is of the kind and entry the item asked for (its value may still be bad).
bool speaksFor(const Item& item, const Reply& reply) {
  const ReplyKind kind = item.is_get ? ReplyKind::kFeedback : ReplyKind::kAck;
  return reply.kind == kind && reply.has_index && reply.index == item.index;
}

// The owner's lines are its answer frames and "!" lines, whose reasons may be longer than a
// frame; anything longer than this is no answer.
constexpr size_t kLongestLine = 1024;

struct InFlight {
  Item* item;
  Clock::time_point sent_at;
};

}  // namespace

std::error_code OwnerClient::connect(const std::string& path,
                                     std::unique_ptr<OwnerClient>* client) {
  UniqueFd fd;
  if (const std::error_code ec = connectTo(path, &fd)) return ec;
  std::unique_ptr<OwnerClient> made(new OwnerClient);
  made->path_ = path;
  made->owner_pid_ = peerOf(fd.get()).pid;
  made->owner_program_ = programName(made->owner_pid_);
  made->made_by_ = getpid();
  // A forked child must not keep the connection: the owner would count it as attached.
  rememberPort(fd.get());
  made->fd_ = std::move(fd);
  *client = std::move(made);
  return {};
}

OwnerClient::~OwnerClient() {
  if (getpid() != made_by_) {
    fd_.release();
    return;
  }
  disconnect();
}

void OwnerClient::disconnect() {
  if (fd_.get() >= 0) forgetPort(fd_.get());
  fd_.reset();
  in_.clear();
}

void OwnerClient::run(Item* items, size_t count, const StopSignal& stop, Clock::duration item_bound,
                      Tally* tally) {
  std::deque<InFlight> window;
  size_t next = 0;
  Clock::time_point last_answer = Clock::now();
  const auto finish = [&](Item& item, Clock::time_point sent_at, std::error_code result) {
    item.result = result;
    deliver(&item);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent_at);
    ++tally->exchanges;
    if (result) ++tally->failures;
    tally->last_exchange = took;
    tally->max_exchange = std::max(tally->max_exchange, took);
  };
  // Everything not answered fails; the connection goes with it, as its answers may still come.
  const auto failRest = [&](std::error_code result) {
    for (const InFlight& sent : window) finish(*sent.item, sent.sent_at, result);
    window.clear();
    for (; next < count; ++next) {
      if (items[next].length >= 0) items[next].result = result;
    }
    disconnect();
  };
  if (fd_.get() < 0) return failRest(Errc::hung_up);

  for (;;) {
    while (next < count && window.size() < kServedInFlight) {
      Item& item = items[next++];
      if (item.length < 0) continue;
      item.command[item.length] = '\0';
      const int length = sealFrame(item.command, item.length);
      const ssize_t sent =
          send(fd_.get(), item.command, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent != length) {
        // The owner queues more than a link keeps in flight: a full socket means it is gone
        // or stalled.
        --next;
        return failRest(sent < 0 && errno != EAGAIN ? Errc::hung_up : Errc::send_failed);
      }
      if (window.empty()) last_answer = Clock::now();
      window.push_back({&item, Clock::now()});
    }
    if (window.empty()) return;

    for (size_t newline = in_.find('\n'); newline != std::string::npos && !window.empty();
         newline = in_.find('\n')) {
      const std::string line = in_.substr(0, newline + 1);
      in_.erase(0, newline + 1);
      const InFlight sent = window.front();
      window.pop_front();
      last_answer = Clock::now();
      if (line[0] == '!') {
        // The owner's reason, with what to do about it ("!read-only ... serve_writes").
        std::string text = line.substr(0, line.size() - 1);
        SD_LOG_THROTTLED(LogLevel::WARN, "the port's owner said", text);
        finish(*sent.item, sent.sent_at, failureOf(text.substr(0, text.find(' ')).c_str()));
        continue;
      }
      char frame_text[kFrameSize] = {};
      char tokens[4][kFrameSize] = {};
      Reply reply;
      if (line.size() <= static_cast<size_t>(kFrameSize) &&
          checkoutString(line.data(), static_cast<int>(line.size()), frame_text) == 1) {
        parseString(frame_text, tokens);
        reply = classify(tokens);
      }
      if (!speaksFor(*sent.item, reply)) {
        // Not an answer to this command: the owner and this link are out of step.
        finish(*sent.item, sent.sent_at, Errc::bad_reply);
        return failRest(Errc::bad_reply);
      }
      finish(*sent.item, sent.sent_at, takeAnswer(sent.item, reply));
    }
    if (in_.size() > kLongestLine) return failRest(Errc::bad_reply);
    if (window.empty()) continue;

    const Clock::time_point deadline = later(last_answer, item_bound);
    pollfd polled[2] = {{fd_.get(), POLLIN, 0}, {stop.turns.wakeFd(), POLLIN, 0}};
    const timespec wait = timeLeft(deadline);
    const int ready = ppoll(polled, polled[1].fd >= 0 ? 2 : 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return failRest(Errc::hung_up);
    if (ready < 0 || (polled[1].revents & POLLIN)) {
      // A wake-up not for this operation is taken, and a cancel() meanwhile seen on the
      // second look.
      const auto stopping = [&] { return stop.turns.shouldStop(stop.epoch, stop.ask_check); };
      if (stopping()) return failRest(Errc::cancelled);
      stop.turns.drainWake();
      if (stopping()) return failRest(Errc::cancelled);
    }
    if (ready == 0 && Clock::now() >= deadline) return failRest(Errc::timeout);
    if (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[kLongestLine];
      const ssize_t got = recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        return failRest(Errc::hung_up);
      }
      if (got > 0) in_.append(buf, static_cast<size_t>(got));
    }
  }
}

}  // namespace detail
}  // namespace serial_driver
