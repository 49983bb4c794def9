// The owner's socket: naming, listening, connecting and checking peers.
#include "serial_driver/owner/owner_socket.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "serial_driver/owner/socket_name.h"
#include "serial_driver/serial_identify.h"

namespace serial_driver {
namespace detail {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// The character device at path, or 0.
dev_t deviceAt(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
}

// The kernel's name of the node ("ttyUSB0", "pts/3") from its device numbers, whatever link
// led to it; else the path without "/dev/".
std::string kernelName(const std::string& node) {
  const dev_t device = deviceAt(node);
  if (device != 0) {
    std::ifstream uevent("/sys/dev/char/" + std::to_string(major(device)) + ":" +
                         std::to_string(minor(device)) + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
      if (line.rfind("DEVNAME=", 0) == 0) return line.substr(8);
    }
  }
  return node.rfind("/dev/", 0) == 0 ? node.substr(5) : node;
}

// The USB serial number of the device behind node, or empty.
std::string serialBehind(const std::string& node) {
  const dev_t device = deviceAt(node);
  if (device == 0) return {};
  for (const SerialPort& port : listSerialPorts()) {
    if (port.on_usb && deviceAt(port.devnode) == device) return port.usb.i_serial;
  }
  return {};
}

bool addressFor(const std::string& path, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::vector<gid_t> peerGroups(int fd) {
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      return groups;
    }
    if (errno != ERANGE || size <= groups.size() * sizeof(gid_t)) return {};
    groups.resize(size / sizeof(gid_t));
  }
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string ownerSocketPath(const LinkOptions& options, const std::string& node) {
  if (!options.socket.empty()) return options.socket;
  const std::string serial = options.serial.empty() ? serialBehind(node) : options.serial;
  return socketDirectory() + "/" + socketFileName(serial, serial.empty() ? kernelName(node) : "");
}

std::error_code listenAt(const std::string& path, const struct stat& tty, UniqueFd* fd) {
  sockaddr_un addr{};
  if (!addressFor(path, &addr)) return std::make_error_code(std::errc::filename_too_long);
  struct stat there {};
  if (lstat(path.c_str(), &there) == 0) {
    if (!S_ISSOCK(there.st_mode)) return std::make_error_code(std::errc::file_exists);
    UniqueFd probe;
    const std::error_code ec = connectTo(path, &probe);
    if (!ec) return std::make_error_code(std::errc::address_in_use);
    if (ec != std::errc::connection_refused) return ec;
    // Its owner died: nobody accepts on it.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return lastError();
  }
  UniqueFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.get() < 0) return lastError();
  if (bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return lastError();
  }
  // Peers are checked again when they connect, so the moment before chmod opens nothing.
  mode_t mode = tty.st_mode & 0666;
  if (chown(path.c_str(), static_cast<uid_t>(-1), tty.st_gid) != 0) mode &= 0600;
  if (chmod(path.c_str(), mode) != 0 || listen(sock.get(), 16) != 0) {
    const std::error_code ec = lastError();
    unlink(path.c_str());
    return ec;
  }
  *fd = std::move(sock);
  return {};
}

std::error_code connectTo(const std::string& path, UniqueFd* fd) {
  sockaddr_un addr{};
  if (!addressFor(path, &addr)) return std::make_error_code(std::errc::filename_too_long);
  UniqueFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.get() < 0) return lastError();
  // Non-blocking: a full backlog says EAGAIN at once instead of waiting on a stalled owner.
  if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return lastError();
  }
  *fd = std::move(sock);
  return {};
}

Peer peerOf(int fd) {
  ucred cred{};
  socklen_t size = sizeof cred;
  Peer peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0) {
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
  } else {
    peer.uid = static_cast<uid_t>(-1);
  }
  return peer;
}

bool peerMayOpen(int fd, const Peer& peer, const struct stat& tty) {
  if (peer.uid == 0) return true;
  if (peer.uid == static_cast<uid_t>(-1)) return false;
  // As the kernel checks a file's mode: the owner's bits for its owner, the group's for its
  // group, the others' for the rest.
  if (peer.uid == tty.st_uid) return (tty.st_mode & 0600) == 0600;
  bool in_group = peer.gid == tty.st_gid;
  for (const gid_t group : peerGroups(fd)) in_group = in_group || group == tty.st_gid;
  if (in_group) return (tty.st_mode & 0060) == 0060;
  return (tty.st_mode & 0006) == 0006;
}

std::string programName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace detail
}  // namespace serial_driver
