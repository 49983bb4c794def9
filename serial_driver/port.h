// The serial port at the bottom of both interfaces: descriptor operations and Port, which owns
// one descriptor. They return the system's own error as a std::error_code and log nothing;
// the layers above decide what to say. Internal to the library.
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "serial_driver/lock_file.h"
#include "serial_driver/timing.h"

namespace serial_driver {
namespace detail {

// Opens a node read-write and non-blocking, close-on-exec, never as a controlling terminal, and
// on a number above the standard streams: a daemon may run with them closed, and a port on
// 0 would be taken for failure, one on 1 would receive the log lines.
std::error_code openNode(const char* path, int* fd);

// Takes the port for this process alone: an exclusive lock on the open file (as other
// programs that lock serial ports look for) and the tty's exclusive mode (which refuses further
// opens by programs that do not look). EBUSY when another open file holds the lock.
std::error_code takeExclusive(int fd);
// Leaves the tty's exclusive mode; the lock goes with the last descriptor of the open file.
void leaveExclusive(int fd);
// Who holds the lock on the node at path (or on the open file fd, when fd >= 0): "pid 4242
// (robot_main)", or "another program" when the system does not say.
std::string portHolder(const std::string& path, int fd);
// The process as portHolder names it: "pid 4242 (minicom)", "another program" for pid 0.
std::string processName(int pid);

// Has a child made by fork() close its copy of fd at once (false when the registry is full: a
// child then keeps it), so that the parent alone holds what fd holds; forgetPort before fd is
// closed.
bool rememberPort(int fd);
void forgetPort(int fd);

// The setting makeRaw refuses, if any.
enum class LineFault { kNone, kDataBits, kParity, kStopBits };
// Turns options into a raw line at the termios speed (0 keeps the speed it has) with the flow
// control (0 none, 1 hardware, 2 software), data bits, stop bits and parity ('N', 'O', 'E',
// 'S', either case) given.
LineFault makeRaw(termios* options, speed_t speed, int flow_ctrl, int databits, int stopbits,
                  int parity);

// True for the errors of a port whose device is gone (the adapter unplugged).
bool isHangUp(const std::error_code& ec);
// True when poll reports the descriptor hung up or failed.
bool pollsHungUp(int fd);

enum class QuietEnd { kQuiet, kHungUp, kCancelled };
struct Resync {
  QuietEnd end = QuietEnd::kQuiet;
  uint64_t discarded = 0;  // bytes read and thrown away
};
// Reads and throws away input until none has come for `quiet`, or until `give_up` on a line
// that never falls quiet. When wake_fd (or -1) becomes readable or a signal interrupts the
// wait, stop() (when set) decides whether to give up.
Resync discardUntilQuiet(int fd, std::chrono::nanoseconds quiet, Clock::time_point give_up,
                         int wake_fd, const std::function<bool()>& stop);

// What ended a wait for input.
enum class Readiness { kInput, kWoken, kTimedOut, kHungUp };

class Port {
 public:
  Port() = default;
  ~Port() { close(); }
  Port(Port&& other) noexcept
      : fd_(other.fd_),
        exclusive_(other.exclusive_),
        owner_(other.owner_),
        closed_at_fork_(other.closed_at_fork_),
        lock_file_(std::move(other.lock_file_)) {
    other.fd_ = -1;
  }
  Port& operator=(Port&& other) noexcept;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Opens path and sets the line to baud 8N1 raw, without flow control; the settings are read
  // back, so a node that is no tty, or a tty that dropped some of them, is refused. An
  // exclusive port is taken for this process alone: its lock file first (busy while a running
  // process holds it; without one where the lock directory refuses), then takeExclusive. How
  // the lock file went in *lock, when given.
  std::error_code open(const std::string& path, int baud, bool exclusive,
                       LockTaking* lock = nullptr);
  // Closes the descriptor and removes the lock file. A child made by fork() has its copy
  // closed at fork, so the parent alone holds the port (the lock, the tty's exclusive mode, the
  // lock file); close() in the child then only forgets it.
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Drops input that has not been read.
  void discardInput();
  // Writes a whole frame; one that went out in part fails with EAGAIN.
  std::error_code write(const char* data, int length);
  // Reads what is waiting into buf; *got is 0 when nothing is.
  std::error_code read(char* buf, int room, int* got);
  // Waits for input until the deadline. Past the deadline the port is still looked at once.
  // kWoken: wake_fd (or -1) became readable or a signal interrupted the wait.
  Readiness wait(Clock::time_point deadline, int wake_fd);

 private:
  int fd_ = -1;
  bool exclusive_ = false;
  int owner_ = 0;                // the process that opened it
  bool closed_at_fork_ = false;  // its children's copies are closed at fork
  LockFile lock_file_;
};

}  // namespace detail
}  // namespace serial_driver
