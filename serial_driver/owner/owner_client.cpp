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

// One operation through the owner.
class ServedRun {
 public:
  ServedRun(OwnerClient& client, Item* items, size_t count, const StopSignal& stop,
            Clock::duration item_bound, Tally* tally)
      : c_(client), items_(items), count_(count), stop_(stop), bound_(item_bound), tally_(tally) {}

  void go() {
    if (c_.fd_.get() < 0) return failRest(Errc::hung_up);
    for (;;) {
      std::error_code ec = sendReady();
      if (!ec && window_.empty()) return;
      if (!ec) ec = takeAnswers();
      if (!ec && !window_.empty()) ec = waitAndRead();
      if (ec) return failRest(ec);
    }
  }

 private:
  std::error_code sendReady() {
    while (next_ < count_ && window_.size() < kServedInFlight) {
      Item& item = items_[next_];
      if (item.length < 0) {
        ++next_;
        continue;
      }
      item.command[item.length] = '\0';
      const int length = sealFrame(item.command, item.length);
      const ssize_t sent = send(c_.fd_.get(), item.command, static_cast<size_t>(length),
                                MSG_NOSIGNAL | MSG_DONTWAIT);
      // The owner queues more than a link keeps in flight: a full socket means it is gone or
      // stalled.
      if (sent != length) return sent < 0 && errno != EAGAIN ? Errc::hung_up : Errc::send_failed;
      ++next_;
      if (window_.empty()) last_answer_ = Clock::now();
      window_.push_back({&item, Clock::now()});
    }
    return {};
  }

  // Takes every whole answer line: bad_reply when one does not answer its command.
  std::error_code takeAnswers() {
    std::string& in = c_.in_;
    for (size_t newline = in.find('\n'); newline != std::string::npos && !window_.empty();
         newline = in.find('\n')) {
      const std::string line = in.substr(0, newline + 1);
      in.erase(0, newline + 1);
      const InFlight sent = window_.front();
      window_.pop_front();
      last_answer_ = Clock::now();
      if (line[0] == '!') {
        // The owner's reason, with what to do about it ("!read-only ... serve_writes").
        const std::string text = line.substr(0, line.size() - 1);
        SD_LOG_THROTTLED(LogLevel::WARN, "the port's owner said", text);
        finish(sent, failureOf(text.substr(0, text.find(' ')).c_str()));
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
        finish(sent, Errc::bad_reply);
        return Errc::bad_reply;
      }
      finish(sent, takeAnswer(sent.item, reply));
    }
    return in.size() > kLongestLine ? std::error_code(Errc::bad_reply) : std::error_code();
  }

  std::error_code waitAndRead() {
    const Clock::time_point deadline = later(last_answer_, bound_);
    pollfd polled[2] = {{c_.fd_.get(), POLLIN, 0}, {stop_.turns.wakeFd(), POLLIN, 0}};
    const timespec wait = timeLeft(deadline);
    const int ready = ppoll(polled, polled[1].fd >= 0 ? 2 : 1, &wait, nullptr);
    if (ready < 0 && errno != EINTR) return Errc::hung_up;
    if (ready < 0 || (polled[1].revents & POLLIN)) {
      // A wake-up not for this operation is taken, and a cancel() meanwhile seen on the
      // second look.
      const auto stopping = [&] { return stop_.turns.shouldStop(stop_.epoch, stop_.ask_check); };
      if (stopping()) return Errc::cancelled;
      stop_.turns.drainWake();
      if (stopping()) return Errc::cancelled;
    }
    if (ready == 0 && Clock::now() >= deadline) return Errc::timeout;
    if (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[kLongestLine];
      const ssize_t got = recv(c_.fd_.get(), buf, sizeof buf, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return Errc::hung_up;
      if (got > 0) c_.in_.append(buf, static_cast<size_t>(got));
    }
    return {};
  }

  void finish(const InFlight& sent, std::error_code result) {
    sent.item->result = result;
    deliver(sent.item);
    const auto took =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent.sent_at);
    ++tally_->exchanges;
    if (result) ++tally_->failures;
    tally_->last_exchange = took;
    tally_->max_exchange = std::max(tally_->max_exchange, took);
  }

  // Everything not answered fails; the connection goes with it, as its answers may still come.
  void failRest(std::error_code result) {
    for (const InFlight& sent : window_) finish(sent, result);
    window_.clear();
    for (; next_ < count_; ++next_) {
      if (items_[next_].length >= 0) items_[next_].result = result;
    }
    c_.disconnect();
  }

  OwnerClient& c_;
  Item* items_;
  size_t count_;
  const StopSignal& stop_;
  const Clock::duration bound_;
  Tally* tally_;
  std::deque<InFlight> window_;
  size_t next_ = 0;
  Clock::time_point last_answer_ = Clock::now();
};

void OwnerClient::run(Item* items, size_t count, const StopSignal& stop, Clock::duration item_bound,
                      Tally* tally) {
  ServedRun(*this, items, count, stop, item_bound, tally).go();
}

}  // namespace detail
}  // namespace serial_driver
