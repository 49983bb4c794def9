// The crash report, in child processes that really crash.
#include <string>

#include "test_helpers.h"

namespace {

using Outcome = test::ChildResult;

// Runs the crash client; with_gdb false leaves gdb off the search path.
Outcome runClient(const std::string& mode, bool with_gdb = true) {
  test::ChildOptions options;
  options.limit = std::chrono::seconds(20);
  options.in_child = [with_gdb] {
    if (!with_gdb) setenv("PATH", "/nonexistent", 1);
    // In a sanitized build the SIGSEGV belongs to the client's handler, not to ASan's.
    setenv("ASAN_OPTIONS", "handle_segv=0", 1);
  };
  return test::runChild({CRASH_CLIENT, mode}, options);
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

TEST(CrashReport, NeverHangsWhenAnotherThreadHoldsTheAllocatorLock) {
  const Outcome o = runClient("allocator-held", false);
  EXPECT_FALSE(o.timed_out) << "the handler blocked on the allocator's lock";
  EXPECT_EQ(o.status, 255);
  EXPECT_NE(o.out.find(kBanner), std::string::npos) << o.out;
  EXPECT_NE(o.err.find("stack trace for"), std::string::npos) << o.err;
}

TEST(CrashReport, NothingHappensWithoutTheClientInstallingIt) {
  const Outcome o = runClient("no-handler", false);
  EXPECT_EQ(o.status, -1) << "killed by the signal, as with no library at all";
  EXPECT_EQ(o.out.find("Caputrue"), std::string::npos) << o.out;
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
