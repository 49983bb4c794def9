// The Unix socket through which a link that holds the port serves other programs: its name,
// listening on it safely, reaching it, and who may use it. Descriptor work only: errors come
// back as std::error_code and nothing is logged. Internal to the library.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <system_error>

#include "serial_driver/link_options.h"
#include "serial_driver/owner/socket_name.h"

namespace serial_driver {
namespace detail {

// A descriptor closed when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Where the owner of the port options name serves: options.socket, else a name after the
// adapter's serial number (the one asked for, or the one of the USB device behind node), else
// after node itself ("ttyUSB0", "pts-3"). Owner and clients find the same name.
std::string ownerSocketPath(const LinkOptions& options, const std::string& node);

// Listens on path with the mode bits and group of tty (the node served): whoever may open the
// port may connect. A socket left there by an owner that died is replaced; a live one, or a
// path that is no socket, is left alone (EADDRINUSE, EEXIST).
std::error_code listenAt(const std::string& path, const struct stat& tty, UniqueFd* fd);
// Connects to the owner's socket: ECONNREFUSED or ENOENT when none serves there.
std::error_code connectTo(const std::string& path, UniqueFd* fd);

// The connected program at the other end of fd.
struct Peer {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};
Peer peerOf(int fd);
// Whether peer's user and groups could open the node tty for reading and writing.
bool peerMayOpen(int fd, const Peer& peer, const struct stat& tty);
// "robot_main" for a live pid, else empty.
std::string programName(pid_t pid);

}  // namespace detail
}  // namespace serial_driver
