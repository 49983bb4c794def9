// Turn-taking and cancellation for a link used from several threads: operations run one at a
// time, and cancel() ends the ones waiting at that moment. Internal to the library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>

namespace serial_driver {
namespace detail {

class Turns {
 public:
  Turns();
  ~Turns();
  Turns(const Turns&) = delete;
  Turns& operator=(const Turns&) = delete;

  // The cancellation count an operation begins at; cancel() makes it stale.
  uint64_t epoch() const { return cancel_epoch_.load(std::memory_order_acquire); }

  // Waits until no other operation holds the turn. A cancellable wait gives up with
  // Errc::cancelled on cancel() or when the interrupt check says so. A served program's
  // operation (served) goes after the link's own waiting ones, but at least every other turn,
  // and never asks the interrupt check, which belongs to the link's own threads.
  std::error_code take(uint64_t epoch, bool cancellable, bool served = false);
  void give();
  // Takes the wake-up a cancel() from before the turn may have left behind.
  void drainWake() const;

  // Safe in a signal handler: an atomic count and a write to an eventfd.
  void cancel() noexcept;
  // For the turn's holder: cancel() since epoch, or the interrupt check (when asked) says to
  // stop.
  bool shouldStop(uint64_t epoch, bool ask_check = true) const;
  // Readable after cancel(), for the holder's waits.
  int wakeFd() const { return wake_fd_; }

  // Operations waiting for the turn now, served ones included.
  int waiting() const;

  // Set by the turn's holder; asked by it when a signal ends a wait, and by waiters for the
  // turn every kCheckInterval.
  void setInterruptCheck(std::function<bool()> check);

 private:
  mutable std::mutex mutex_;
  std::condition_variable free_;
  bool busy_ = false;
  int waiting_ = 0;          // the link's own operations waiting for the turn
  int served_waiting_ = 0;   // served programs' operations waiting
  bool served_due_ = false;  // the next turn is a served operation's
  bool holder_served_ = false;
  std::shared_ptr<const std::function<bool()>> check_;  // guarded by mutex_
  std::function<bool()> holder_check_;                  // used by the holder only
  std::atomic<uint64_t> cancel_epoch_{0};
  const int wake_fd_;
};

}  // namespace detail
}  // namespace serial_driver
