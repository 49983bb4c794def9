// The port's lock file in the lock directory, as minicom, cu and their family write and read
// it: LCK..<node> holding the owner's pid. Logs nothing; internal to the library.
#pragma once

#include <string>
#include <system_error>

namespace serial_driver {
namespace detail {

// $SERIAL_DRIVER_LOCK_DIR when set and not empty, else /run/lock (also reached as /var/lock).
std::string lockDirectory();
// The lock file's path for the node at node_path: the node's own name under /dev, symbolic
// links resolved, with "/" as "_" (/dev/pts/3 gives LCK..pts_3, as minicom names it).
std::string lockFilePath(const std::string& node_path);

// How a lock file was taken, or why not.
struct LockTaking {
  std::string path;   // the lock file
  bool busy = false;  // a running process holds it
  int holder = 0;     // busy: the pid it names (0 when it names none)
  int stale_pid = 0;  // taken over from this process, which no longer runs
  // Why none could be written, when the lock directory refused (missing, read-only, not ours).
  std::error_code unusable;
};

// One lock file this process wrote, removed when released or destroyed, and only by the
// process that wrote it: a forked child's copy leaves it, and the pid in it, to the parent.
class LockFile {
 public:
  LockFile() = default;
  ~LockFile() { release(); }
  LockFile(LockFile&& other) noexcept : path_(std::move(other.path_)), owner_(other.owner_) {
    other.path_.clear();
  }
  LockFile& operator=(LockFile&& other) noexcept;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Writes the lock file of the node at node_path with this process's pid. EBUSY
  // (device_or_resource_busy) when a running process holds it; another error when the lock
  // directory does not let it be written. A file whose process is gone is taken over.
  std::error_code take(const std::string& node_path, LockTaking* how);
  void release();
  bool held() const { return !path_.empty(); }

 private:
  std::string path_;
  int owner_ = 0;
};

}  // namespace detail
}  // namespace serial_driver
