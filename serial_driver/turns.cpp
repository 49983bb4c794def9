// One operation at a time on a link, and ending the waiting ones.
#include "serial_driver/turns.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "serial_driver/link_error.h"

namespace serial_driver {
namespace detail {

namespace {

// How often a thread waiting for its turn looks at cancel() and the interrupt check.
constexpr auto kCheckInterval = std::chrono::milliseconds(20);

}  // namespace

Turns::Turns() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Turns::~Turns() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

std::error_code Turns::take(uint64_t epoch, bool cancellable, bool served) {
  std::unique_lock<std::mutex> lock(mutex_);
  struct Waiting {
    int& count;
    bool& due;
    const bool served;
    Waiting(int& c, bool& d, bool s) : count(c), due(d), served(s) { ++count; }
    ~Waiting() {
      // The last served waiter gone, no turn is owed to one.
      if (--count == 0 && served) due = false;
    }
  } waiting(served ? served_waiting_ : waiting_, served_due_, served);
  // The link's own operations go first, but a served one waiting gets every other turn: the
  // link's calls wait behind at most one served command, and served ones never starve.
  const auto mayTake = [&] {
    if (busy_) return false;
    return served ? served_due_ || waiting_ == 0 : !served_due_;
  };
  while (!mayTake()) {
    if (cancellable && this->epoch() != epoch) return Errc::cancelled;
    free_.wait_for(lock, kCheckInterval);
    if (mayTake() || !cancellable || served || !check_ || !*check_) continue;
    // Asked without the lock: the check may wait for a lock of the caller's own.
    const auto check = check_;
    lock.unlock();
    const bool stop = (*check)();
    lock.lock();
    if (stop) return Errc::cancelled;
  }
  // A cancel() while this one waited ends it, also when the turn came free at that moment.
  if (cancellable && this->epoch() != epoch) return Errc::cancelled;
  busy_ = true;
  holder_served_ = served;
  if (served) served_due_ = false;
  return {};
}

void Turns::give() {
  // Notified under the lock: once it is released, a waiter may take the turn and destroy the
  // link, condition variable and all.
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
  if (!holder_served_ && served_waiting_ > 0) served_due_ = true;
  // Every waiter: the one woken alone might not be the one whose turn it is.
  free_.notify_all();
}

int Turns::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_ + served_waiting_;
}

void Turns::drainWake() const {
  uint64_t ignored = 0;
  if (wake_fd_ >= 0) (void)!read(wake_fd_, &ignored, sizeof ignored);
}

void Turns::cancel() noexcept {
  cancel_epoch_.fetch_add(1, std::memory_order_acq_rel);
  const uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!write(wake_fd_, &one, sizeof one);
}

bool Turns::shouldStop(uint64_t epoch, bool ask_check) const {
  if (this->epoch() != epoch) return true;
  return ask_check && holder_check_ && holder_check_();
}

void Turns::setInterruptCheck(std::function<bool()> check) {
  auto shared = check ? std::make_shared<const std::function<bool()>>(check) : nullptr;
  holder_check_ = std::move(check);
  std::lock_guard<std::mutex> lock(mutex_);
  check_ = std::move(shared);
}

}  // namespace detail
}  // namespace serial_driver
