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
  // Errc::cancelled on cancel() or when the interrupt check says so.
  std::error_code take(uint64_t epoch, bool cancellable);
  void give();
  // Takes the wake-up a cancel() from before the turn may have left behind.
  void drainWake() const;

  // Safe in a signal handler: an atomic count and a write to an eventfd.
  void cancel() noexcept;
  // For the turn's holder: cancel() since epoch, or the interrupt check says to stop.
  bool shouldStop(uint64_t epoch) const;
  // Readable after cancel(), for the holder's waits.
  int wakeFd() const { return wake_fd_; }

  // Set by the turn's holder; asked by it when a signal ends a wait, and by waiters for the
  // turn every kCheckInterval.
  void setInterruptCheck(std::function<bool()> check);

 private:
  mutable std::mutex mutex_;
  std::condition_variable free_;
  bool busy_ = false;
  std::shared_ptr<const std::function<bool()>> check_;  // guarded by mutex_
  std::function<bool()> holder_check_;                  // used by the holder only
  std::atomic<uint64_t> cancel_epoch_{0};
  const int wake_fd_;
};

}  // namespace detail
}  // namespace serial_driver
