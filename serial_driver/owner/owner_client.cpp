// Commands through the owner of the port.
#include "serial_driver/owner/owner_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "serial_driver/frame.h"
#include "serial_driver/link_error.h"
#include "serial_driver/owner/served_line.h"

namespace serial_driver {
namespace detail {

namespace {

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
  made->fd_ = std::move(fd);
  *client = std::move(made);
  return {};
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
    fd_.reset();
    reader_.reset();
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

    for (auto line = reader_.next(); line != LineReader::Item::kNone && !window.empty();
         line = reader_.next()) {
      // The owner answers every command with one line: anything else puts it out of step.
      if (line == LineReader::Item::kText) return failRest(Errc::bad_reply);
      const InFlight sent = window.front();
      window.pop_front();
      last_answer = Clock::now();
      const Reply& reply = reader_.reply();
      const std::error_code result = reply.kind == ReplyKind::kBang ? failureOf(reader_.tokens[0])
                                                                    : takeAnswer(sent.item, reply);
      finish(*sent.item, sent.sent_at, result);
      if (result == Errc::bad_reply && reply.kind != ReplyKind::kBang) {
        return failRest(Errc::bad_reply);
      }
    }
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
      const ssize_t got =
          recv(fd_.get(), reader_.space(), static_cast<size_t>(reader_.room()), MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        return failRest(Errc::hung_up);
      }
      if (got > 0) reader_.added(static_cast<int>(got));
    }
  }
}

}  // namespace detail
}  // namespace serial_driver
