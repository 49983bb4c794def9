#include "serial_driver/crash_report.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "serial_driver/log.h"  // logStr

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
      char byte = 0;
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
