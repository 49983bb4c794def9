// ChassisLink's state behind its public face. Internal to the library.
#pragma once

#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

#include "serial_driver/chassis_link.h"
#include "serial_driver/exchange.h"
#include "serial_driver/held_log_lines.h"
#include "serial_driver/port.h"
#include "serial_driver/reconnect_policy.h"
#include "serial_driver/turns.h"

namespace serial_driver {

// Hidden: only the class itself is the interface.
struct SERIAL_DRIVER_NO_EXPORT ChassisLink::Impl {
  // Counts a public call on the link behind impl (none once moved from) while it runs.
  class Inside {
   public:
    explicit Inside(Impl* impl);
    ~Inside();
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    Impl* impl_;
  };

  Impl() = default;
  // Waits until the calls inside have left: the link is being destroyed under them.
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Runs body(epoch) on the link behind impl (null once moved from) in its turn: not_open when
  // the link is closed or is a child process's copy, cancelled when cancel() came first.
  template <typename Body>
  static std::error_code inTurn(Impl* impl, Body&& body);
  // One operation on the link behind impl, in its turn.
  static std::error_code run(Impl* impl, char* command, int length, const detail::Expected& what);
  // A batch's items in one turn: one by one at a window of 1, else pipelined.
  std::error_code runBatch(detail::BatchItem* items, size_t count, uint64_t epoch);
  void runPipelined(detail::BatchItem* items, size_t count, uint64_t epoch);
  struct Pipeline;
  std::error_code exchange(char* command, int length, const detail::Expected& what, uint64_t epoch);
  std::error_code reopen();
  // Counts a finished operation; a hang-up or the reconnect_after-th failure in a row reopens
  // the port before the result is returned.
  std::error_code count(std::error_code result, detail::Clock::time_point start);
  // Counts what an operation read besides its answer.
  void countSkipped(const detail::Skipped& skipped);
  void setDevice(const std::string& path);
  // Opens the port for options, keeping why it failed.
  std::error_code openPort(const LinkOptions& for_options, std::string* path);

  detail::Turns turns;

  // Guarded by mutex.
  mutable std::mutex mutex;
  bool open = false;
  LinkStats stats;
  OpenFailure failure;

  // Public calls running on the link, and the process that made it: a child's copy of the
  // count may hold its parent's calls, which never leave in the child.
  std::atomic<int> calls_inside{0};
  const int made_by_pid = getpid();

  // The process that opened the link: a child of it inherits the link but must not use it.
  std::atomic<int> owner_pid{0};

  // Used by the operation holding the turn only.
  LinkOptions options;
  detail::Clock::duration reply_timeout{0};
  detail::Clock::duration longest_resync{0};
  std::chrono::nanoseconds byte_time{0};
  detail::Port port;  // closed while the link is open but its port is lost
  int failures_in_row = 0;
  detail::StaleReplies stale;  // failed commands whose answers may still come
  detail::ReopenBackoff backoff;

  // Every node name the link has used, never changed once stored, so a reference that
  // device() returned stays valid and unchanged while another thread reconnects.
  std::mutex names_mutex;
  std::deque<std::string> device_names;
  std::atomic<const std::string*> device{nullptr};
};

template <typename Body>
std::error_code ChassisLink::Impl::inTurn(Impl* impl, Body&& body) {
  // A child process's copy of the link is not open: the port is its parent's.
  if (impl == nullptr || impl->owner_pid != getpid()) return Errc::not_open;
  const Inside inside(impl);
  // Messages wait until the turn is given back: a sink may use this link itself.
  detail::HeldLogLines held;
  const uint64_t epoch = impl->turns.epoch();
  if (const std::error_code ec = impl->turns.take(epoch, true)) return ec;
  bool is_open = false;
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    is_open = impl->open;
  }
  std::error_code result = Errc::not_open;
  if (is_open) {
    impl->turns.drainWake();
    result = impl->turns.epoch() != epoch ? std::error_code(Errc::cancelled) : body(epoch);
  }
  impl->turns.give();
  return result;
}

}  // namespace serial_driver
