// Descriptor operations on a serial port, and the port that owns one descriptor.
#include "serial_driver/port.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "serial_driver/line.h"

namespace serial_driver {
namespace detail {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

void setFlowControl(termios* options, int flow_ctrl) {
  switch (flow_ctrl) {
    case 0:
      options->c_cflag &= ~CRTSCTS;
      break;
    case 1:
      options->c_cflag |= CRTSCTS;
      break;
    case 2:
      options->c_iflag |= IXON | IXOFF | IXANY;
      break;
    default:
      break;
  }
}

bool setDataBits(termios* options, int databits) {
  options->c_cflag &= ~CSIZE;
  switch (databits) {
    case 5:
      options->c_cflag |= CS5;
      return true;
    case 6:
      options->c_cflag |= CS6;
      return true;
    case 7:
      options->c_cflag |= CS7;
      return true;
    case 8:
      options->c_cflag |= CS8;
      return true;
    default:
      return false;
  }
}

bool setParity(termios* options, int parity) {
  switch (parity) {
    case 'n':
    case 'N':
      options->c_cflag &= ~PARENB;
      options->c_iflag &= ~INPCK;
      return true;
    case 'o':
    case 'O':
      options->c_cflag |= PARENB | PARODD;
      options->c_iflag |= INPCK;
      return true;
    case 'e':
    case 'E':
      options->c_cflag |= PARENB;
      options->c_cflag &= ~PARODD;
      options->c_iflag |= INPCK;
      return true;
    case 's':
    case 'S':
      options->c_cflag &= ~PARENB;
      return true;
    default:
      return false;
  }
}

bool setStopBits(termios* options, int stopbits) {
  if (stopbits != 1 && stopbits != 2) return false;
  if (stopbits == 2) {
    options->c_cflag |= CSTOPB;
  } else {
    options->c_cflag &= ~CSTOPB;
  }
  return true;
}

// What the line must show after configuration: the rate, and none of the processing a fresh
// tty does.
bool isRawAt(const termios& applied, speed_t speed) {
  return cfgetospeed(&applied) == speed && (applied.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
         (applied.c_iflag & (ICRNL | IXON)) == 0 && (applied.c_oflag & OPOST) == 0 &&
         (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8;
}

std::error_code configure(int fd, int baud) {
  const speed_t speed = baudConstant(baud);
  termios options{};
  if (tcgetattr(fd, &options) != 0) return lastError();
  makeRaw(&options, speed, kFlowControlNone, kDataBits, kStopBits, kParityNone);
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &options) != 0) return lastError();
  termios applied{};
  if (tcgetattr(fd, &applied) != 0) return lastError();
  if (!isRawAt(applied, speed)) return std::make_error_code(std::errc::not_supported);
  return {};
}

// The descriptors of this process's open ports (and the owner's sockets), which a child made
// by fork() closes at once:
// its copy would keep the open file, and with it the lock and the tty's exclusive mode, after
// the parent let go. Lock-free, because the child has only the forking thread and a lock
// another thread held at fork stays held there. 0 is a free slot: no port is on 0-2 (openNode).
constexpr int kPortSlots = 256;
std::atomic<int> open_ports[kPortSlots];

void closePortsInChild() {
  for (std::atomic<int>& slot : open_ports) {
    const int fd = slot.exchange(0, std::memory_order_relaxed);
    // Only the descriptor: the exclusive mode is the parent's.
    if (fd > 0) ::close(fd);
  }
}

}  // namespace

bool rememberPort(int fd) {
  static const bool handler = pthread_atfork(nullptr, nullptr, closePortsInChild) == 0;
  if (!handler) return false;
  for (std::atomic<int>& slot : open_ports) {
    int free_slot = 0;
    if (slot.compare_exchange_strong(free_slot, fd, std::memory_order_relaxed)) return true;
  }
  return false;
}

void forgetPort(int fd) {
  for (std::atomic<int>& slot : open_ports) {
    int expected = fd;
    if (slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) return;
  }
}

std::error_code openNode(const char* path, int* fd) {
  // A node that is gone is not opened: the open could only fail, and some tty layers (umockdev's
  // preload, for one) keep a slot for every failed open until they run out.
  if (access(path, F_OK) != 0) return lastError();
  int opened = -1;
  do {
    opened = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return lastError();
  if (opened <= STDERR_FILENO) {
    const int moved = fcntl(opened, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const std::error_code ec = moved < 0 ? lastError() : std::error_code();
    ::close(opened);
    if (ec) return ec;
    *fd = moved;
    return {};
  }
  *fd = opened;
  return {};
}

std::error_code takeExclusive(int fd) {
  int locked = -1;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    return errno == EWOULDBLOCK ? std::make_error_code(std::errc::device_or_resource_busy)
                                : lastError();
  }
  // Not every tty layer knows the exclusive mode; the lock alone still keeps out the programs
  // that look for it.
  (void)ioctl(fd, TIOCEXCL);
  return {};
}

void leaveExclusive(int fd) {
  // A hung-up tty is gone with its exclusive mode, and some tty layers no longer answer it.
  if (!pollsHungUp(fd)) (void)ioctl(fd, TIOCNXCL);
}

std::string portHolder(const std::string& path, int fd) {
  struct stat node {};
  if ((fd >= 0 ? fstat(fd, &node) : stat(path.c_str(), &node)) != 0) return "another program";
  // /proc/locks: "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF", the device in hex.
  char wanted[64];
  snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
           static_cast<unsigned long>(node.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, device;
    fields >> number >> kind >> mode >> access >> pid >> device;
    if (kind != "FLOCK" || device != wanted) continue;
    return processName(std::stoi(pid));
  }
  return "another program";
}

std::string processName(int pid) {
  if (pid <= 0) return "another program";
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return "pid " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

LineFault makeRaw(termios* options, speed_t speed, int flow_ctrl, int databits, int stopbits,
                  int parity) {
  if (speed != 0) {
    cfsetispeed(options, speed);
    cfsetospeed(options, speed);
  }
  options->c_cflag |= CLOCAL | CREAD;
  setFlowControl(options, flow_ctrl);
  if (!setDataBits(options, databits)) return LineFault::kDataBits;
  if (!setParity(options, parity)) return LineFault::kParity;
  if (!setStopBits(options, stopbits)) return LineFault::kStopBits;
  // A fresh tty translates CR to NL and takes 0x11/0x13 as XON/XOFF; checksum bytes take every
  // value, so input is passed through untouched unless software flow control was asked for.
  options->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC);
  if (flow_ctrl != 2) options->c_iflag &= ~(IXON | IXOFF | IXANY);
  options->c_oflag &= ~OPOST;
  options->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
  options->c_cc[VTIME] = 1;
  options->c_cc[VMIN] = 1;
  return LineFault::kNone;
}

bool isHangUp(const std::error_code& ec) {
  return ec == std::errc::io_error || ec == std::errc::no_such_device_or_address ||
         ec == std::errc::no_such_device;
}

bool pollsHungUp(int fd) {
  pollfd port{fd, POLLIN, 0};
  return poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

Resync discardUntilQuiet(int fd, std::chrono::nanoseconds quiet, Clock::time_point give_up,
                         int wake_fd, const std::function<bool()>& stop) {
  Resync result;
  auto quiet_until = Clock::now() + quiet;
  for (;;) {
    const timespec wait = timeLeft(std::min(quiet_until, give_up));
    if (wait.tv_sec == 0 && wait.tv_nsec == 0) return result;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ppoll(fds, wake_fd >= 0 ? 2 : 1, &wait, nullptr);
    const bool interrupted = ready < 0 && errno == EINTR;
    if (ready < 0 && !interrupted) result.end = QuietEnd::kHungUp;
    if ((interrupted || (ready > 0 && fds[1].revents != 0)) && stop && stop()) {
      result.end = QuietEnd::kCancelled;
    }
    if (result.end != QuietEnd::kQuiet) return result;
    if (ready <= 0 || fds[0].revents == 0) continue;
    char buf[256];
    const ssize_t got = (fds[0].revents & POLLIN) != 0 ? ::read(fd, buf, sizeof buf) : 0;
    if (got > 0) {
      result.discarded += static_cast<uint64_t>(got);
      quiet_until = Clock::now() + quiet;
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      result.end = QuietEnd::kHungUp;  // POLLHUP, end of file or EIO: the port hung up
      return result;
    }
  }
}

Port& Port::operator=(Port&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    exclusive_ = other.exclusive_;
    owner_ = other.owner_;
    closed_at_fork_ = other.closed_at_fork_;
    lock_file_ = std::move(other.lock_file_);
    other.fd_ = -1;
  }
  return *this;
}

std::error_code Port::open(const std::string& path, int baud, bool exclusive, LockTaking* lock) {
  close();
  int fd = -1;
  if (const std::error_code ec = openNode(path.c_str(), &fd)) return ec;
  // Known to the fork handler before it is locked.
  const bool remembered = rememberPort(fd);
  LockTaking taking;
  std::error_code ec;
  if (exclusive) {
    // The lock file before the tty's exclusive mode: a port that a lock-file program holds is
    // left as that program has it. A lock directory that refuses leaves flock and the
    // exclusive mode to keep the port.
    LockFile lock_file;
    ec = lock_file.take(path, &taking);
    if (ec != std::errc::device_or_resource_busy) ec = takeExclusive(fd);
    if (!ec) ec = configure(fd, baud);
    // A refused port is not left in exclusive mode; a busy one is its holder's.
    if (ec && ec != std::errc::device_or_resource_busy) leaveExclusive(fd);
    if (!ec) lock_file_ = std::move(lock_file);
  } else {
    ec = configure(fd, baud);
  }
  if (lock != nullptr) *lock = taking;
  if (ec) {
    if (remembered) forgetPort(fd);
    ::close(fd);
    return ec;
  }
  fd_ = fd;
  exclusive_ = exclusive;
  owner_ = getpid();
  closed_at_fork_ = remembered;
  return {};
}

void Port::close() {
  if (fd_ < 0) return;
  if (owner_ == getpid()) {
    // Forgotten first: a child forked in between must not close a number reused meanwhile.
    if (closed_at_fork_) forgetPort(fd_);
    if (exclusive_) leaveExclusive(fd_);
    ::close(fd_);
  } else if (!closed_at_fork_) {
    // A child's copy the fork handler did not know: only the descriptor goes, the exclusive
    // mode is the parent's. One it closed may carry another file's number by now.
    ::close(fd_);
  }
  // A child's copy forgets the lock file without removing it (LockFile sees whose it is).
  lock_file_.release();
  fd_ = -1;
}

void Port::discardInput() { tcflush(fd_, TCIFLUSH); }

std::error_code Port::write(const char* data, int length) {
  ssize_t written = 0;
  // A signal that arrives as the write starts ends it with EINTR; nothing moved.
  do {
    written = ::write(fd_, data, static_cast<size_t>(length));
  } while (written < 0 && errno == EINTR);
  if (written < 0) return lastError();
  if (written != length) return std::make_error_code(std::errc::resource_unavailable_try_again);
  return {};
}

std::error_code Port::read(char* buf, int room, int* got) {
  *got = 0;
  ssize_t n = 0;
  do {
    n = ::read(fd_, buf, static_cast<size_t>(room));
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    *got = static_cast<int>(n);
    return {};
  }
  if (n < 0 && errno != EAGAIN) return lastError();
  // Nothing read after POLLIN: end of file on a hung-up tty, or the bytes went elsewhere.
  if (n == 0 && pollsHungUp(fd_)) return std::make_error_code(std::errc::io_error);
  return {};
}

Readiness Port::wait(Clock::time_point deadline, int wake_fd) {
  const timespec left = timeLeft(deadline);
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const int ready = ppoll(fds, wake_fd >= 0 ? 2 : 1, &left, nullptr);
  if (ready < 0) return errno == EINTR ? Readiness::kWoken : Readiness::kHungUp;
  if (fds[1].revents != 0) return Readiness::kWoken;
  if (ready == 0) return Readiness::kTimedOut;
  // POLLHUP, POLLERR or POLLNVAL without input.
  return (fds[0].revents & POLLIN) != 0 ? Readiness::kInput : Readiness::kHungUp;
}

}  // namespace detail
}  // namespace serial_driver
