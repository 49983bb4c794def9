// The crash report, in child processes that really crash.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "test_helpers.h"

namespace {

struct Outcome {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  bool timed_out = false;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Runs the crash client with stdout and stderr in files, and kills it if it hangs.
Outcome runClient(const std::string& mode, bool with_gdb = true) {
  const std::string base = testing::TempDir() + "/crash_" + mode + std::to_string(getpid());
  Outcome outcome;
  const pid_t child = fork();
  if (child == 0) {
    const int out = open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (!with_gdb) setenv("PATH", "/nonexistent", 1);
    // In a sanitized build the SIGSEGV belongs to the client's handler, not to ASan's.
    setenv("ASAN_OPTIONS", "handle_segv=0", 1);
    execl(CRASH_CLIENT, CRASH_CLIENT, mode.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      outcome.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  outcome.out = slurp(base + ".out");
  outcome.err = slurp(base + ".err");
  return outcome;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const char kBanner[] = "CRITICAL console *****************Caputrue Signal 11*****************\n\n";

TEST(CrashReport, SegfaultWritesBannerAndStackTraceAndExits255) {
  const Outcome o = runClient("segv");
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out.rfind(std::string("client output before the crash\n") + kBanner, 0), 0u) << o.out;
  EXPECT_NE(o.err.find("stack trace for " CRASH_CLIENT " pid="), std::string::npos) << o.err;
  EXPECT_NE((o.out + o.err).find("crashInClientCode"), std::string::npos)
      << "gdb's backtrace names the crashing function:\n"
      << o.out << o.err;
}

TEST(CrashReport, WithoutGdbStillExits255AndWritesEachLineOnce) {
  const Outcome o = runClient("segv", false);
  ASSERT_FALSE(o.timed_out);
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.out, std::string("client output before the crash\n") + kBanner);
  EXPECT_EQ(count(o.err, "stack trace for"), 1u) << o.err;
}

TEST(CrashReport, NeverHangsWhenAnotherThreadHoldsStdout) {
  const Outcome o = runClient("stdout-locked", false);
  EXPECT_FALSE(o.timed_out) << "the handler blocked on the stdout lock";
  EXPECT_EQ(o.status, 255);
  EXPECT_NE(o.out.find(kBanner), std::string::npos) << o.out;
}

TEST(CrashReport, NegativeSignalNumberGivesAFullBanner) {
  const Outcome o = runClient("negative", false);
  EXPECT_EQ(o.status, 255);
  EXPECT_NE(o.out.find("CRITICAL console *****************Caputrue Signal -2147483648"
                       "*****************\n\n"),
            std::string::npos)
      << o.out;
}

TEST(CrashReport, BacktraceOnItsOwnReturnsToTheCaller) {
  const Outcome o = runClient("backtrace", false);
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("returned from backtrace"), std::string::npos);
  EXPECT_EQ(count(o.out, "client output before the crash"), 1u) << "no second flush";
}

}  // namespace
