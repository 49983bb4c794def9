#include "serial_driver/log.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

const char* const logStr[6] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "CRITICAL"};

std::unordered_map<std::string, double> map_time;

namespace {
std::mutex map_time_mutex;

std::mutex sink_mutex;
// Shared, so a line being written keeps its sink alive while another thread replaces it.
std::shared_ptr<const serial_driver::LogSink> sink;
std::atomic<bool> has_sink{false};

struct HeldLine {
  LogLevel level;
  std::string logger_name;
  std::string text;
};

struct HeldLines {
  int depth = 0;
  std::vector<HeldLine> lines;
};

HeldLines& heldLines() {
  thread_local HeldLines held;
  return held;
}

void writeLine(LogLevel level, const std::string& logger_name, const std::string& str) {
  const int index = static_cast<int>(level);
  // OFF and out-of-range values have no name in the table; never index past it.
  const char* name = (index >= 0 && index < 6) ? logStr[index] : "UNKNOWN";
  if (has_sink.load(std::memory_order_acquire)) {
    std::shared_ptr<const serial_driver::LogSink> current;
    {
      std::lock_guard<std::mutex> lock(sink_mutex);
      current = sink;
    }
    if (current) {
      (*current)(level, std::string(name) + " " + logger_name + " " + str);
      return;
    }
  }
  printf("%s %s %s\n", name, logger_name.c_str(), str.c_str());
}

}  // namespace

serial_driver::detail::HeldLogLines::HeldLogLines() { ++heldLines().depth; }

serial_driver::detail::HeldLogLines::~HeldLogLines() {
  HeldLines& held = heldLines();
  if (--held.depth > 0 || held.lines.empty()) return;
  // Taken out first: the sink may itself use a link, which holds lines again.
  std::vector<HeldLine> lines;
  lines.swap(held.lines);
  for (const HeldLine& line : lines) writeLine(line.level, line.logger_name, line.text);
}

void log(LogLevel level, const std::string& logger_name, const std::string& str) {
  HeldLines& held = heldLines();
  if (held.depth > 0) {
    held.lines.push_back({level, logger_name, str});
    return;
  }
  writeLine(level, logger_name, str);
}

namespace serial_driver {

void setLogSink(LogSink new_sink) {
  std::shared_ptr<const LogSink> replacement;
  if (new_sink) replacement = std::make_shared<const LogSink>(std::move(new_sink));
  std::lock_guard<std::mutex> lock(sink_mutex);
  sink = std::move(replacement);
  has_sink.store(sink != nullptr, std::memory_order_release);
}

LogSink stderrLogSink() {
  return [](LogLevel, const std::string& line) {
    // One write per line, so lines from several threads never interleave.
    const std::string text = line + "\n";
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
  };
}

}  // namespace serial_driver

void log(LogLevel level, const std::string& str) { log(level, "console", str); }

double getTimeNow() {
  // Millisecond wall-clock time, as ftime() gave it; ftime itself is deprecated in glibc.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + (now.tv_nsec / 1000000) / 1000.0;
}

bool logThrottlePermits(const std::string& key, double time_now) {
  std::lock_guard<std::mutex> lock(map_time_mutex);
  return throttlePermits(map_time, key, time_now);
}

// The crash report runs inside a signal handler, possibly while the interrupted code holds the
// allocator's or stdout's lock: nothing below allocates or waits for a lock.
namespace {

void writeAll(int fd, const char* text, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

// Flushes what stdout already buffered, unless another thread holds its lock: then those bytes
// are left behind rather than waiting forever.
bool flushStdoutIfFree() {
  if (ftrylockfile(stdout) != 0) return false;
  fflush_unlocked(stdout);
  funlockfile(stdout);
  return true;
}

void exitWithoutCleanup(int) { _exit(255); }

}  // namespace

void signal_handler(int sig) {
  char buf[64];
  snprintf(buf, sizeof buf, "*****************Caputrue Signal %d*****************\n", sig);
  // The line log() would write for this banner at CRITICAL: level, logger, text, newline.
  char line[128];
  const int len = snprintf(line, sizeof line, "%s %s %s\n",
                           logStr[static_cast<int>(LogLevel::CRITICAL)], "console", buf);
  flushStdoutIfFree();
  writeAll(STDOUT_FILENO, line, static_cast<size_t>(len));

  backtrace();

  // exit() runs the exit handlers and flushes stdout; if the stdout lock is taken, or an exit
  // handler hangs on a lock the interrupted code held, end without them instead.
  if (!flushStdoutIfFree()) _exit(255);
  signal(SIGALRM, exitWithoutCleanup);
  alarm(2);
  exit(-1);
}

void backtrace() {
  char pid_buf[16];
  snprintf(pid_buf, sizeof pid_buf, "%d", static_cast<int>(getpid()));
  char name_buf[512];
  const ssize_t name_len = readlink("/proc/self/exe", name_buf, sizeof name_buf - 1);
  if (name_len >= 0) {
    name_buf[name_len] = '\0';
  } else {
    snprintf(name_buf, sizeof name_buf, "/proc/%s/exe", pid_buf);
  }

  // The child waits on this pipe until the parent has allowed it to trace (Yama).
  int go[2];
  if (pipe2(go, O_CLOEXEC) != 0) go[0] = go[1] = -1;

  // _Fork runs no fork handlers: fork() would take the allocator's locks first, and hang when
  // the crash came while one of them was held.
  const pid_t child = _Fork();
  if (child == 0) {
    if (go[0] >= 0) {
      close(go[1]);
      char byte;
      while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
      }
    }
    char header[600];
    const int len =
        snprintf(header, sizeof header, "stack trace for %s pid=%s\n", name_buf, pid_buf);
    writeAll(STDERR_FILENO, header, static_cast<size_t>(len));
    execlp("gdb", "gdb", "--batch", "-n", "-ex", "thread", "-ex", "bt", name_buf, pid_buf,
           static_cast<char*>(nullptr));
    // No gdb: end here, without the parent's exit handlers or a second flush of its buffers.
    _exit(255);
  }
  if (child > 0) prctl(PR_SET_PTRACER, child, 0, 0, 0);
  if (go[1] >= 0) {
    close(go[0]);
    close(go[1]);  // end of file releases the child
  }
  if (child > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}
