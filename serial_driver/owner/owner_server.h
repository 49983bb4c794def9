// The serving side of a link that holds the port: a thread that accepts other programs on the
// owner's socket and runs their commands on the link, one command a turn. Internal.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "serial_driver/engine/item.h"
#include "serial_driver/owner/owner_socket.h"

namespace serial_driver {
namespace detail {

// Lines a served program may have waiting at the owner: beyond them the owner stops reading
// its socket until it takes its answers.
inline constexpr size_t kServedQueueLines = 64;
// Programs served at once; the next one is told "!busy" and let go.
inline constexpr size_t kMaxServed = 32;

class OwnerServer {
 public:
  // Runs one served command on the link, in a served turn; called on the serving thread.
  using RunItem = std::function<void(Item*)>;

  // Listens at path (listenAt) and starts serving; null with *error when it cannot.
  static std::unique_ptr<OwnerServer> start(const std::string& path, const struct stat& tty,
                                            bool allow_writes, RunItem run_item,
                                            std::error_code* error);
  // Stops serving and removes the socket; in a child made by fork() only forgets them.
  ~OwnerServer();
  OwnerServer(const OwnerServer&) = delete;
  OwnerServer& operator=(const OwnerServer&) = delete;

  // Makes the serving thread end at its next look; the command it runs is ended by the
  // link's cancel().
  void stopSoon();
  const std::string& path() const { return path_; }
  int clients() const { return clients_.load(std::memory_order_relaxed); }

 private:
  struct Client;
  OwnerServer(std::string path, const struct stat& tty, bool allow_writes, RunItem run_item);
  void serve();
  void acceptClients();
  bool readFrom(Client& client);
  void takeLines(Client& client);
  void queueLine(Client& client, const char* line, int length);
  bool writeTo(Client& client);
  bool runOne();
  std::string clientsLine() const;

  const std::string path_;
  const struct stat tty_;
  const bool allow_writes_;
  const RunItem run_item_;
  const pid_t started_by_;
  UniqueFd listen_fd_;
  UniqueFd wake_fd_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> clients_{0};
  // The programs served, the serving thread's own; on the heap, so that a forked child's copy
  // can be let go of without allocating (a lock held at fork would never be released there).
  using Served = std::vector<std::unique_ptr<Client>>;
  std::unique_ptr<Served> held_{new Served};
  Served& served_ = *held_;
  size_t next_turn_ = 0;
  std::unique_ptr<std::thread> thread_;
};

}  // namespace detail
}  // namespace serial_driver
