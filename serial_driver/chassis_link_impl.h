// ChassisLink's state behind its public face. Internal to the library.
#pragma once

#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

#include "serial_driver/chassis_link.h"
#include "serial_driver/engine/engine.h"
#include "serial_driver/held_log_lines.h"
#include "serial_driver/owner/owner_client.h"
#include "serial_driver/owner/owner_server.h"
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

  Impl() {
    engine.open_port = [this](detail::Port* port) { return reopenPort(port); };
  }
  // Waits until the calls inside have left: the link is being destroyed under them.
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Runs body(epoch) on the link behind impl (null once moved from) in its turn (a served
  // program's turn when served): not_open when the link is closed or is a child process's
  // copy, cancelled when cancel() came first.
  template <typename Body>
  static std::error_code inTurn(Impl* impl, Body&& body, bool served = false);
  // Items on the link behind impl (null once moved from), in one turn. Each item's result is
  // set; the first failure in item order, or {}.
  static std::error_code run(Impl* impl, detail::Item* items, size_t count);
  // Runs the items on the port, or through its owner; in the turn.
  void runItems(detail::Item* items, size_t count, const detail::StopSignal& stop,
                detail::Tally* tally);
  // A served program's command, on the serving thread.
  void serveItem(detail::Item* item);
  // Takes the port for options, or, when its holder serves, goes through it; in the turn.
  std::error_code attach();
  // The port at path is this link's: the engine starts on it, and serving when asked.
  void ownPort(const std::string& path);
  // Adds what an operation did to the statistics.
  void record(const detail::Tally& tally);
  // Opens the port anew for the engine, on the node the options find now.
  std::error_code reopenPort(detail::Port* port);
  void setDevice(const std::string& path);
  // Opens the port for options, keeping why it failed.
  std::error_code openPort(const LinkOptions& for_options, detail::Port* port, std::string* path,
                           bool log_busy = true);

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
  detail::Engine engine;
  // Set while the link goes through the port's owner; null once that connection is lost.
  bool through_owner = false;
  std::unique_ptr<detail::OwnerClient> owner;
  // Serving other programs while the link holds the port; changed in the turn, under mutex.
  std::unique_ptr<detail::OwnerServer> server;

  // Every node name the link has used, never changed once stored, so a reference that
  // device() returned stays valid and unchanged while another thread reconnects.
  std::mutex names_mutex;
  std::deque<std::string> device_names;
  std::atomic<const std::string*> device{nullptr};
};

template <typename Body>
std::error_code ChassisLink::Impl::inTurn(Impl* impl, Body&& body, bool served) {
  // A child process's copy of the link is not open: the port is its parent's.
  if (impl == nullptr || impl->owner_pid != getpid()) return Errc::not_open;
  const Inside inside(impl);
  // Messages wait until the turn is given back: a sink may use this link itself.
  detail::HeldLogLines held;
  const uint64_t epoch = impl->turns.epoch();
  if (const std::error_code ec = impl->turns.take(epoch, true, served)) return ec;
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
