#include "model_controller.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>

namespace test {

namespace {

char xorOf(const std::string& text) {
  char sum = 0;
  for (char c : text) sum = static_cast<char>(sum ^ c);
  return sum;
}

// The bytes a frame at the start of `in` takes, its text in *text; 0 while it is incomplete,
// less than 0 for a line that is no frame.
int takeFrame(const std::string& in, std::string* text) {
  const size_t newline = in.find('\n');
  if (newline == std::string::npos) return 0;
  // The checksum byte may itself be a newline.
  if (xorOf(in.substr(0, newline)) == '\n') {
    if (newline + 1 == in.size()) return 0;
    if (in[newline + 1] == '\n') {
      *text = in.substr(0, newline);
      return static_cast<int>(newline + 2);
    }
  }
  if (newline >= 1 && xorOf(in.substr(0, newline - 1)) == in[newline - 1]) {
    *text = in.substr(0, newline - 1);
    return static_cast<int>(newline + 1);
  }
  return -static_cast<int>(newline + 1);
}

}  // namespace

const char* faultName(Fault fault) {
  static const char* const names[] = {"none",      "drop",     "delay",      "stall",
                                      "duplicate", "misindex", "wrong kind", "bang"};
  return names[static_cast<int>(fault)];
}

ModelController::ModelController(Options options, Script script)
    : options_(std::move(options)),
      script_(std::move(script)),
      // The longest timeouts mean "wait as long as it takes": an hour keeps the sums in range.
      deadline_(options_.reply_timeout < std::chrono::hours(1) ? options_.reply_timeout
                                                               : std::chrono::hours(1)),
      random_(options_.seed) {
  if (!pty_.ok()) return;
  fcntl(pty_.master(), F_SETFL, fcntl(pty_.master(), F_GETFL) | O_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

ModelController::~ModelController() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
}

void ModelController::setEntry(int index, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[index] = value;
}

std::string ModelController::entry(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = entries_.find(index);
  return it == entries_.end() ? "0" : it->second;
}

std::vector<Received> ModelController::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<Written> ModelController::written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

int ModelController::count(Fault fault) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(received_.begin(), received_.end(), [fault](auto& r) {
    return r.plan.fault == fault && !r.discarded;
  }));
}

void ModelController::waitIdle() {
  // Idle at two loops in a row: the first may predate bytes still on their way.
  long idle_since = -1;
  for (int wait = 0; wait < 30000; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_) {
      idle_since = -1;
    } else if (idle_since < 0) {
      idle_since = loops_;
    } else if (loops_ > idle_since + 1) {
      return;
    }
  }
  ADD_FAILURE() << "the controller never fell idle";
}

void ModelController::run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    const auto now = Clock::now();
    // A loop that came late may have left commands waiting: the link may have given up on them.
    behind_ = now - last_loop_ > deadline_ / 2;
    last_loop_ = now;
    writeDue(now);
    if (stalled_ && now >= stall_end_) {
      stalled_ = false;
      readInput();
      ring_used_ = 0;
      process(true);
    } else if (!stalled_) {
      process(false);
    }
    writeDue(Clock::now());
    auto wake = Clock::now() + std::chrono::milliseconds(10);
    if (!replies_.empty()) wake = std::min(wake, replies_.front().due);
    if (stalled_) wake = std::min(wake, stall_end_);
    pollfd p{pty_.master(), static_cast<short>(stalled_ ? 0 : POLLIN), 0};
    const auto left = std::max<Clock::duration>(wake - Clock::now(), Clock::duration::zero());
    const timespec wait{
        0, static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count())};
    if (ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & POLLIN)) readInput();
    int pending = 0;
    ioctl(pty_.master(), FIONREAD, &pending);
    std::lock_guard<std::mutex> lock(mutex_);
    idle_ = replies_.empty() && !stalled_ && pending == 0 && input_.find('\n') == std::string::npos;
    ++loops_;
  }
}

void ModelController::readInput() {
  char buf[4096];
  for (ssize_t n; (n = read(pty_.master(), buf, sizeof buf)) > 0;) input_.append(buf, n);
}

void ModelController::process(bool held) {
  while (!stalled_) {
    std::string text;
    const int length = takeFrame(input_, &text);
    if (length == 0) return;
    input_.erase(0, static_cast<size_t>(std::abs(length)));
    if (length > 0) answer(text, held, length);
  }
}

void ModelController::answer(const std::string& text, bool held, int frame_bytes) {
  const auto now = Clock::now();
  Received command;
  command.text = text;
  command.at = now;
  command.held = held;
  command.is_get = text.compare(0, 5, "$get ") == 0;
  size_t end = 0;
  command.index = std::stoi(text.substr(5), &end);
  if (!command.is_get) command.value = text.substr(5 + end + 1);
  // While the controller stalled its ring filled up: what does not fit is lost whole.
  if (held && options_.rates.ring > 0) {
    command.discarded = ring_used_ + frame_bytes > options_.rates.ring;
    if (!command.discarded) ring_used_ += frame_bytes;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  command.seq = static_cast<long>(received_.size());
  if (command.discarded) {
    last_lost_ = now;
    received_.push_back(command);
    return;
  }
  command.plan = script_ ? script_(command) : randomPlan(command, now);
  const Plan& plan = command.plan;
  std::string& value = entries_[command.index];
  if (value.empty()) value = "0";
  if (!command.is_get && plan.fault != Fault::kBang) {
    value = command.value;
    command.stored = true;
  }
  const std::string index = std::to_string(command.index);
  const std::string right =
      command.is_get ? frame("$fdb " + index + " " + value) : frame("$ack " + index);
  Reply reply{command.seq, plan.before + right, now, plan.fault, true, command.is_get ? value : ""};
  switch (plan.fault) {
    case Fault::kNone:
      break;
    case Fault::kDelay:
      reply.due = now + plan.wait;
      break;
    case Fault::kStall:
      reply.due = now + plan.wait;
      stalled_ = true;
      stall_end_ = reply.due;
      last_stall_ = plan.wait;
      break;
    case Fault::kDuplicate:
      reply.bytes += right;
      break;
    case Fault::kDrop:
      reply = Reply{-1, plan.before, now, Fault::kNone, false, ""};
      break;
    case Fault::kMisindex:
      reply.bytes = plan.before + frame("$fdb " + std::to_string(plan.other_index) + " " + value);
      break;
    case Fault::kWrongKind:
      reply.bytes =
          plan.before + (command.is_get ? frame("$ack " + index)
                                        : frame("$fdb " + index + " " + plan.wrong_value));
      break;
    case Fault::kBang:
      reply.bytes = plan.before + "!busy\n";
      break;
  }
  if (plan.fault != Fault::kNone && plan.fault != Fault::kDelay && plan.fault != Fault::kStall &&
      plan.fault != Fault::kDuplicate) {
    reply.proper = false;
    last_lost_ = now;
  }
  received_.push_back(command);
  if (!reply.bytes.empty()) replies_.push_back(reply);
}

// The faults are chosen so that no library could be fooled by them: a reply that is not its
// command's goes out only on a line in step (no reply pending late, none lost in the last four
// deadlines, the command read as it came), so no command it could be taken for is still
// waiting; and every reply leaves within 15 deadlines of its command.
Plan ModelController::randomPlan(const Received& command, Clock::time_point now) {
  const FaultRates& r = options_.rates;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto between = [&](int low, int high) {
    return std::chrono::duration_cast<Clock::duration>(deadline_ * low +
                                                       (deadline_ * (high - low)) * unit(random_));
  };
  const double pick = unit(random_);
  const double bounds[] = {r.drop, r.delay, r.stall, r.duplicate, r.misindex, r.wrong_kind, r.bang};
  const Fault faults[] = {Fault::kDrop,     Fault::kDelay,     Fault::kStall, Fault::kDuplicate,
                          Fault::kMisindex, Fault::kWrongKind, Fault::kBang};
  Plan plan;
  double sum = 0.0;
  for (size_t i = 0; i < std::size(faults) && plan.fault == Fault::kNone; ++i) {
    if (pick < (sum += bounds[i])) plan.fault = faults[i];
  }
  const bool replies_late = std::any_of(replies_.begin(), replies_.end(),
                                        [now](const Reply& reply) { return reply.due > now; });
  const bool in_step =
      !command.held && !behind_ && !replies_late && now - last_lost_ > 4 * deadline_;
  switch (plan.fault) {
    case Fault::kDelay: {
      // A command that waited out a stall has less time left.
      const int most =
          command.held ? static_cast<int>((15 * deadline_ - last_stall_) / deadline_) : 8;
      if (most < 1) plan.fault = Fault::kNone;
      plan.wait = between(1, std::min(8, std::max(1, most)));
      break;
    }
    case Fault::kStall:
      if (command.held) plan.fault = Fault::kNone;
      plan.wait = between(4, 12);
      break;
    case Fault::kMisindex: {
      std::vector<int> others;
      for (int index : options_.indices) {
        if (index != command.index) others.push_back(index);
      }
      if (!command.is_get || !in_step || others.empty()) {
        plan.fault = Fault::kNone;
      } else {
        plan.other_index = others[random_() % others.size()];
      }
      break;
    }
    case Fault::kWrongKind:
      if (!in_step) plan.fault = Fault::kNone;
      // The entry's old value is the one most like a real answer.
      if (random_() % 2 == 0) plan.wrong_value = entries_[command.index];
      break;
    default:
      break;
  }
  if (unit(random_) < r.chatter) plan.before = chatter();
  return plan;
}

std::string ModelController::chatter() {
  const int index =
      options_.indices.empty() ? 1 : options_.indices[random_() % options_.indices.size()];
  switch (random_() % 6) {
    case 0:
      return "dbg x=1\n";
    case 1:
      return "!low battery\n";
    case 2:
      return frame("$fdb " + std::to_string(90 + random_() % 10) + " 12.5");
    case 3:
      return "$$";
    case 4:
      return "$x$x";
    default: {
      // Cut short; its bytes never check out as a frame with the reply behind them.
      std::string cut = "$fdb " + std::to_string(index) + " 1.2";
      if (xorOf(cut) == 0) cut += '5';
      return cut;
    }
  }
}

void ModelController::writeDue(Clock::time_point now) {
  while (!replies_.empty() && replies_.front().due <= now) {
    const Reply reply = replies_.front();
    replies_.pop_front();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      written_.push_back(
          {reply.seq, reply.bytes, Clock::now(), reply.fault, reply.proper, reply.value});
    }
    // One write: a duplicate's two frames arrive together.
    size_t done = 0;
    while (done < reply.bytes.size()) {
      const ssize_t n = write(pty_.master(), reply.bytes.data() + done, reply.bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{pty_.master(), POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
  }
}

}  // namespace test
