// A link that goes through the owner of the port: its commands go over the owner's socket, one
// answer line comes back for each, in order. Internal to the library.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <system_error>

#include "serial_driver/engine/engine.h"
#include "serial_driver/owner/owner_socket.h"

namespace serial_driver {
namespace detail {

// Commands a link keeps on the owner's socket before their answers: within what the owner
// queues for one program.
inline constexpr size_t kServedInFlight = 16;
// Beyond an answer's own time, what waiting behind the owner and its other programs may add.
inline constexpr std::chrono::seconds kServedGrace{2};

class OwnerClient {
 public:
  // Connects to the owner serving at path: ECONNREFUSED or ENOENT when none does.
  static std::error_code connect(const std::string& path, std::unique_ptr<OwnerClient>* client);
  // A child made by fork() had its copy of the connection closed at fork: it only forgets it.
  ~OwnerClient();
  OwnerClient() = default;
  OwnerClient(const OwnerClient&) = delete;
  OwnerClient& operator=(const OwnerClient&) = delete;

  // Every item whose length is not negative; each item's result is set. item_bound: how long
  // one answer may take once the one before it came, or its command went. A command that gets
  // no answer in time, or is cancelled, ends the connection: its answer would come in the
  // next one's place.
  void run(Item* items, size_t count, const StopSignal& stop, Clock::duration item_bound,
           Tally* tally);
  // The connection is over (the owner went, or an answer was given up): connect anew.
  bool lost() const { return fd_.get() < 0; }
  pid_t ownerPid() const { return owner_pid_; }
  const std::string& ownerProgram() const { return owner_program_; }
  const std::string& path() const { return path_; }

 private:
  friend class ServedRun;
  void disconnect();

  std::string path_;
  UniqueFd fd_;
  pid_t made_by_ = 0;
  std::string in_;  // bytes of an answer line not yet whole
  pid_t owner_pid_ = 0;
  std::string owner_program_;
};

}  // namespace detail
}  // namespace serial_driver
