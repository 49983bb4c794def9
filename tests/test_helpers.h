// Shared helpers for the tests: captured log output and a pseudo-terminal pair.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "serial_driver/log_sink.h"
#include "serial_driver/serial_driver.h"

namespace test {

// A "$" frame as it travels on the wire: text, checksum byte, newline.
inline std::string frame(const std::string& text) {
  return text + static_cast<char>(calcXOR(text.c_str())) + '\n';
}

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The library's messages while it lives, line by line.
class LogLines {
 public:
  LogLines() {
    serial_driver::setLogSink([this](LogLevel, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_ += line + "\n";
    });
  }
  ~LogLines() { serial_driver::setLogSink(nullptr); }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  // Lines that hold part.
  int count(const std::string& part) {
    int n = 0;
    for (const std::string& line : splitLines(text())) n += line.find(part) != line.npos;
    return n;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

// Open descriptors on pseudo-terminals, where the ports live; the simulator's pipes, sockets
// and files come and go on their own.
inline int openTtyDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    char target[64] = {};
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
        strncmp(target, "/dev/pts/", 9) == 0) {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

// Every open descriptor of the process.
inline int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// The exchanges of a test with one simulated controller. On a busy machine the kernel's tty
// worker now and then hands a command to the controller only after the driver stopped waiting
// for the reply, and the driver's own pauses may stretch its wait past a late reply's delay;
// no driver can help either.
template <typename Controller>
class Exchanges {
 public:
  explicit Exchanges(Controller& controller) : controller_(controller) {}

  // Runs an exchange that sends one command and should give `expected`. A try that gives
  // anything else is made again, with the line left to settle, when the controller answered
  // it late (Controller::answeredLate); three tries in all. A result it answered in time
  // stands at once.
  template <typename Result>
  Result run(const Result& expected, const std::function<Result()>& exchange) {
    for (int attempt = 1;; ++attempt) {
      const long answered = controller_.commands();
      const auto began = std::chrono::steady_clock::now();
      const Result result = exchange();
      const bool late = controller_.answeredLate(answered, began);
      if (result == expected || attempt == 3 || !late) return result;
      ++retries_;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool succeed(const std::function<bool()>& exchange) { return run(true, exchange); }

  // The frame the controller received since the last call, sent once, or once more for each
  // retry in between; anything else is described in angle brackets.
  std::string lastFrame() {
    const auto frames = controller_.received();
    controller_.clearReceived();
    const size_t expected = 1 + static_cast<size_t>(retries_ - framed_retries_);
    framed_retries_ = retries_;
    if (frames.size() != expected ||
        std::count(frames.begin(), frames.end(), frames.front()) != static_cast<long>(expected)) {
      return "<" + std::to_string(frames.size()) + " frames>";
    }
    return frames.front();
  }

  int retries() const { return retries_; }

 private:
  Controller& controller_;
  int retries_ = 0;
  int framed_retries_ = 0;
};

// Late replies against reads of entry 5: set(v1) succeeds; late(delay) makes the controller
// answer the next command, a get, late by a delay spread over 12..60 ms across the trials;
// set(v2) and get follow at once. Returns how often that last get succeeded with a value other
// than the one the controller holds; *successes counts the gets that succeeded.
template <typename Controller>
int staleValuesAfterLateReplies(Controller& controller, int trials,
                                const std::function<void(std::chrono::milliseconds)>& late,
                                const std::function<bool(float)>& set,
                                const std::function<bool(float*)>& get, int* successes) {
  // Paced as a real line: the bytes of two replies in a row do not arrive together.
  controller.setBytePacing(std::chrono::nanoseconds(10'000'000'000L / 115200));
  int wrong = 0;
  *successes = 0;
  for (int trial = 0; trial < trials; ++trial) {
    const float v1 = static_cast<float>(trial) + 0.5f;
    const float v2 = static_cast<float>(trial) + 0.25f;
    bool ready = false;
    for (int attempt = 0; attempt < 3 && !ready; ++attempt) ready = set(v1);
    EXPECT_TRUE(ready) << "trial " << trial;
    controller.waitIdle();
    late(std::chrono::milliseconds(12 + 48 * trial / (trials - 1)));
    float read = -1.0f;
    get(&read);
    set(v2);
    read = -1.0f;
    const bool got = get(&read);
    controller.waitIdle();
    if (got) {
      ++*successes;
      if (std::to_string(read) != std::to_string(std::stof(controller.entry(5)))) {
        ADD_FAILURE() << "trial " << trial << ": read " << read << ", the controller holds "
                      << controller.entry(5);
        ++wrong;
      }
    }
  }
  return wrong;
}

struct ChildResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct ChildOptions {
  std::function<void()> in_child;       // runs in the child just before exec
  bool interrupt_after_output = false;  // SIGINT once the child printed a whole line
  std::chrono::seconds limit{60};       // then the child is killed: a hang fails, not stalls
};

// Runs a program with its stdout and stderr in files and waits for it.
inline ChildResult runChild(const std::vector<std::string>& args,
                            const ChildOptions& options = {}) {
  static int serial = 0;
  const std::string base =
      testing::TempDir() + "/child" + std::to_string(getpid()) + "_" + std::to_string(serial++);
  // Everything the child needs is made before the fork: a forked child of a threaded process
  // must not take locks (umockdev's preload takes one in open()).
  const int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (options.in_child) options.in_child();
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  close(err);
  ChildResult result;
  int status = 0;
  bool interrupted = false;
  const auto deadline = std::chrono::steady_clock::now() + options.limit;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (options.interrupt_after_output && !interrupted &&
        slurp(base + ".out").find('\n') != std::string::npos) {
      kill(child, SIGINT);
      interrupted = true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = slurp(base + ".out");
  result.err = slurp(base + ".err");
  unlink((base + ".out").c_str());
  unlink((base + ".err").c_str());
  return result;
}

// Captures what the library writes on standard output while it is alive.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    testing::internal::CaptureStdout();
  }
  ~StdoutCapture() {
    if (!done_) testing::internal::GetCapturedStdout();
  }
  std::vector<std::string> lines() { return splitLines(text()); }
  std::string text() {
    fflush(stdout);
    done_ = true;
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool done_ = false;
};

// The level and the message arguments of a log line, without the call-site line number:
// "WARN console [uart.cpp:12 f]; a; b" -> "WARN [uart.cpp f]; a; b".
inline std::string withoutLineNumber(const std::string& line) {
  const auto open = line.find(" console [");
  const auto colon = line.find(':', open);
  const auto blank = line.find(' ', colon);
  if (open == std::string::npos || colon == std::string::npos || blank == std::string::npos) {
    return line;
  }
  return line.substr(0, open) + " [" + line.substr(open + 10, colon - open - 10) +
         line.substr(blank);
}

// The process locale of a GUI host or robot stack: setlocale(LC_ALL, "") under de_DE.UTF-8,
// where the decimal point is a comma. The tests' build generates it in TEST_LOCPATH.
class GermanLocale {
 public:
  GermanLocale() {
    setenv("LOCPATH", TEST_LOCPATH, 1);
    ok_ = setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  ~GermanLocale() { setlocale(LC_ALL, "C"); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// A pseudo-terminal: the slave plays the serial port, the test talks on the master.
class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    // ptsname_r: ptsname's buffer is shared, and tests make pairs from several threads.
    char path[64] = {};
    if (ptsname_r(master_, path, sizeof path) != 0) return;
    slave_path_ = path;
    // Keep the slave open so bytes written before the port is opened are kept, and raw so
    // nothing is echoed or translated.
    holder_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    tcgetattr(holder_, &raw);
    cfmakeraw(&raw);
    tcsetattr(holder_, TCSANOW, &raw);
  }
  ~PtyPair() {
    if (holder_ >= 0) close(holder_);
    if (master_ >= 0) close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && holder_ >= 0; }
  int master() const { return master_; }
  const std::string& slavePath() const { return slave_path_; }

  // Writes bytes as the far end and waits until they can be read on the slave side.
  void send(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    tcdrain(master_);
    usleep(2000);
  }
  // Everything the slave side has written so far.
  std::string drain() {
    std::string out;
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    char buf[256];
    for (ssize_t n; (n = read(master_, buf, sizeof buf)) > 0;) out.append(buf, n);
    fcntl(master_, F_SETFL, flags);
    return out;
  }

 private:
  int master_ = -1;
  int holder_ = -1;
  std::string slave_path_;
};

}  // namespace test
