// The port's lock file: named, written atomically, read back, taken over when stale, removed.
#include "serial_driver/lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace serial_driver {
namespace detail {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

enum class PidRead { kPid, kGone, kUnreadable };

// The pid a lock file holds: ten characters and a newline, blanks before the digits.
PidRead readPid(const std::string& path, int* pid) {
  *pid = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? PidRead::kGone : PidRead::kUnreadable;
  char text[32] = {};
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return PidRead::kUnreadable;
  char* end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (end == text || errno != 0 || value <= 0 || value > INT_MAX) return PidRead::kUnreadable;
  *pid = static_cast<int>(value);
  return PidRead::kPid;
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// A file holding this process's pid, beside where the lock file goes, so that link(2) can put
// it in place whole: a reader never sees a lock file without its pid.
std::error_code writeTemporary(const std::string& dir, std::string* temp_path) {
  std::string name = dir + "/LTMP.XXXXXX";
  const int fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return lastError();
  char text[16];
  const int length = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  // Readable by all: other programs read the holder's pid from it.
  const bool written = fchmod(fd, 0644) == 0 && writeAll(fd, text, static_cast<size_t>(length));
  const std::error_code ec = written ? std::error_code() : lastError();
  ::close(fd);
  if (ec) {
    unlink(name.c_str());
    return ec;
  }
  *temp_path = name;
  return {};
}

// path with ".", ".." and repeated slashes taken out; relative to "/" when not absolute.
std::string normalized(const std::string& path) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(begin, end - begin);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    begin = end + 1;
  }
  std::string joined;
  for (const std::string& part : parts) joined += "/" + part;
  return joined.empty() ? "/" : joined;
}

// The node a chain of symbolic links ends at. By hand rather than with realpath(), which
// umockdev's preload (the tests' simulated adapters) corrupts memory in.
std::string resolveLinks(std::string path) {
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    path = std::string(cwd) + "/" + path;
  }
  path = normalized(path);
  for (int hops = 0; hops < 40; ++hops) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) break;
    target[length] = '\0';
    path = normalized(target[0] == '/' ? std::string(target)
                                       : path.substr(0, path.rfind('/') + 1) + target);
  }
  return path;
}

}  // namespace

std::string lockDirectory() {
  const char* dir = getenv("SERIAL_DRIVER_LOCK_DIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/run/lock";
}

std::string lockFilePath(const std::string& node_path) {
  // /dev/serial/by-id/... and the name the adapter has must give the same file.
  std::string node = resolveLinks(node_path);
  if (node.compare(0, 5, "/dev/") == 0) {
    node.erase(0, 5);
  } else if (const size_t slash = node.rfind('/'); slash != std::string::npos) {
    node.erase(0, slash + 1);
  }
  for (char& c : node) {
    if (c == '/') c = '_';
  }
  return lockDirectory() + "/LCK.." + node;
}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    owner_ = other.owner_;
    other.path_.clear();
  }
  return *this;
}

std::error_code LockFile::take(const std::string& node_path, LockTaking* how) {
  release();
  *how = LockTaking{lockFilePath(node_path), false, 0, 0, {}};
  std::string temp;
  if (const std::error_code ec = writeTemporary(lockDirectory(), &temp)) {
    how->unusable = ec;
    return ec;
  }
  std::error_code result = std::make_error_code(std::errc::device_or_resource_busy);
  // A second try only after a stale file was removed or the holder let go meanwhile.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (link(temp.c_str(), how->path.c_str()) == 0) {
      path_ = how->path;
      owner_ = getpid();
      result = {};
      break;
    }
    if (errno != EEXIST) {
      result = lastError();
      break;
    }
    int pid = 0;
    const PidRead read = readPid(how->path, &pid);
    if (read == PidRead::kGone) continue;
    how->holder = pid;
    // A file that names no process is someone's whose pid cannot be told: left alone.
    if (read != PidRead::kPid || kill(pid, 0) == 0 || errno != ESRCH || attempt > 0) break;
    // Two takers may both find it stale; the flock on the node still decides between them.
    if (unlink(how->path.c_str()) != 0 && errno != ENOENT) {
      result = lastError();
      break;
    }
    how->holder = 0;
    how->stale_pid = pid;
  }
  unlink(temp.c_str());
  how->busy = result == std::errc::device_or_resource_busy;
  if (result && !how->busy) how->unusable = result;
  return result;
}

void LockFile::release() {
  if (path_.empty()) return;
  int pid = 0;
  // Only this process's own file: a child's copy leaves the parent's, and one that someone
  // else put in its place meanwhile is theirs.
  if (owner_ == getpid() && readPid(path_, &pid) == PidRead::kPid && pid == owner_) {
    unlink(path_.c_str());
  }
  path_.clear();
}

}  // namespace detail
}  // namespace serial_driver
