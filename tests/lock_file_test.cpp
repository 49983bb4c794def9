// The port's lock file: written with the holder's pid while a link holds the port, removed on
// close, taken over from a holder that died, respected while its holder runs, left alone by a
// forked child; and against the real programs on a pseudo-terminal: minicom and the link see
// each other's lock file, picocom and the link each other's flock.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "serial_driver/chassis_link.h"
#include "test_helpers.h"

namespace {

using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;

// Generous: a busy machine may be slow to start a program, never this slow.
constexpr auto kBound = std::chrono::seconds(30);

LinkOptions onDevice(const std::string& path, bool exclusive = true) {
  LinkOptions options;
  options.device = path;
  options.exclusive = exclusive;
  return options;
}

// minicom's name for the lock file of /dev/pts/3: LCK..pts_3.
std::string lockName(const std::string& pty) {
  std::string name = pty.substr(5);
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

std::string pidText(int pid) {
  char text[16];
  snprintf(text, sizeof text, "%10d\n", pid);
  return text;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Waits until condition() holds, or the bound passes.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string processName(int pid) {
  std::string name = test::slurp("/proc/" + std::to_string(pid) + "/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return "pid " + std::to_string(pid) + " (" + name + ")";
}

// A pid that no process has: a child that has ended and been reaped.
int deadPid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

// Each test with a lock directory of its own.
class LockFileTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    char dir[] = "/tmp/lock_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    setenv("SERIAL_DRIVER_LOCK_DIR", dir_.c_str(), 1);
    lock_path_ = dir_ + "/" + lockName(pty_.slavePath());
  }
  void TearDown() override {
    unsetenv("SERIAL_DRIVER_LOCK_DIR");
    unlink(lock_path_.c_str());
    rmdir(dir_.c_str());
  }
  void writeLock(const std::string& text) { std::ofstream(lock_path_) << text; }

  test::PtyPair pty_;
  std::string dir_;
  std::string lock_path_;
};

TEST_F(LockFileTest, HeldWhileOpenInTheCommonFormatAndRemovedOnClose) {
  ChassisLink link;
  ASSERT_FALSE(link.open(onDevice(pty_.slavePath())));
  EXPECT_EQ(test::slurp(lock_path_), pidText(getpid()));
  link.close();
  EXPECT_FALSE(exists(lock_path_));

  // A link is destroyed open as often as it is closed.
  auto destroyed = std::make_unique<ChassisLink>();
  ASSERT_FALSE(destroyed->open(onDevice(pty_.slavePath())));
  destroyed.reset();
  EXPECT_FALSE(exists(lock_path_));
}

TEST_F(LockFileTest, NotExclusiveTakesNoLockFile) {
  ChassisLink link;
  ASSERT_FALSE(link.open(onDevice(pty_.slavePath(), false)));
  EXPECT_FALSE(exists(lock_path_));
}

TEST_F(LockFileTest, StaleFileIsTakenOverAndSaidSo) {
  const int dead = deadPid();
  writeLock(pidText(dead));
  test::LogLines log;
  ChassisLink link;
  ASSERT_FALSE(link.open(onDevice(pty_.slavePath())));
  EXPECT_EQ(test::slurp(lock_path_), pidText(getpid()));
  EXPECT_EQ(log.count("took over a stale lock file"), 1) << log.text();
  EXPECT_NE(log.text().find("pid " + std::to_string(dead)), std::string::npos) << log.text();
}

TEST_F(LockFileTest, FileOfARunningProcessMakesTheOpenBusyNamingIt) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    close(gate[1]);
    char byte;
    (void)read(gate[0], &byte, 1);  // until the parent closes its end
    _exit(0);
  }
  close(gate[0]);
  writeLock(pidText(holder));
  ChassisLink link;
  EXPECT_EQ(link.open(onDevice(pty_.slavePath())), Errc::busy);
  EXPECT_EQ(link.open_failure().holder, processName(holder));
  EXPECT_EQ(test::slurp(lock_path_), pidText(holder)) << "the holder's file is left as it was";
  close(gate[1]);
  waitpid(holder, nullptr, 0);
  // Once its holder is gone the same file is stale.
  EXPECT_FALSE(link.open(onDevice(pty_.slavePath())));
}

TEST_F(LockFileTest, FileThatNamesNoProcessIsRespected) {
  writeLock("garbage\n");
  ChassisLink link;
  EXPECT_EQ(link.open(onDevice(pty_.slavePath())), Errc::busy);
  EXPECT_EQ(link.open_failure().holder, "another program");
  EXPECT_EQ(test::slurp(lock_path_), "garbage\n");
}

TEST_F(LockFileTest, KilledHolderLeavesAStaleFileTheNextOpenTakesOver) {
  int opened[2];
  ASSERT_EQ(pipe(opened), 0);
  const std::string path = pty_.slavePath();
  const pid_t holder = fork();
  if (holder == 0) {
    close(opened[0]);
    ChassisLink link;
    const char result = link.open(onDevice(path)) ? 'n' : 'y';
    (void)write(opened[1], &result, 1);
    for (;;) pause();
  }
  close(opened[1]);
  pollfd ready{opened[0], POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, static_cast<int>(kBound.count() * 1000)), 1);
  char result = 0;
  ASSERT_EQ(read(opened[0], &result, 1), 1);
  close(opened[0]);
  EXPECT_EQ(result, 'y');
  EXPECT_EQ(test::slurp(lock_path_), pidText(holder));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(test::slurp(lock_path_), pidText(holder)) << "no one removed it";

  test::LogLines log;
  ChassisLink link;
  ASSERT_FALSE(link.open(onDevice(path)));
  EXPECT_EQ(test::slurp(lock_path_), pidText(getpid()));
  EXPECT_NE(log.text().find("took over a stale lock file"), std::string::npos) << log.text();
}

TEST_F(LockFileTest, ForkedChildLeavesTheParentsFile) {
  auto link = std::make_unique<ChassisLink>();
  ASSERT_FALSE(link->open(onDevice(pty_.slavePath())));
  const pid_t child = fork();
  if (child == 0) {
    link->close();
    link.reset();
    // Not exit(): a sanitizer's exit-time check would wait for a lock another thread of the
    // parent held at fork.
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(test::slurp(lock_path_), pidText(getpid()));
  link->close();
  EXPECT_FALSE(exists(lock_path_));
}

TEST_F(LockFileTest, RefusingLockDirectoryStillOpensOnTheLockAndSaysSoOnce) {
  test::LogLines log;
  // Missing, and one not even root may write in.
  for (const char* dir : {"/nonexistent/lock", "/proc"}) {
    setenv("SERIAL_DRIVER_LOCK_DIR", dir, 1);
    LinkOptions holding = onDevice(pty_.slavePath());
    holding.serve = false;  // a second link would go through it
    ChassisLink link;
    ASSERT_FALSE(link.open(holding)) << dir;
    ChassisLink second;
    EXPECT_EQ(second.open(onDevice(pty_.slavePath())), Errc::busy) << "flock still keeps it";
  }
  EXPECT_EQ(log.count("no lock file for the port"), 1) << log.text();
}

// A program on a pseudo-terminal of its own, as a person runs it; ended by its pid.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    // Everything the child needs is made before the fork.
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_text = {"TERM=xterm", "HOME=/tmp", "LANG=C", "PATH=/usr/bin:/bin"};
    std::vector<char*> env;
    for (auto& e : env_text) env.push_back(&e[0]);
    env.push_back(nullptr);
    winsize size{24, 80, 0, 0};
    pid_ = forkpty(&terminal_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      execve(argv[0], argv.data(), env.data());
      _exit(127);
    }
  }
  ~Program() {
    end();
    if (terminal_ >= 0) close(terminal_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  int pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // Reads its screen until it ends (true), or until the bound passes.
  bool waitEnd() {
    return eventually([this] {
      readScreen();
      return ended();
    });
  }
  std::string screen() {
    readScreen();
    return screen_;
  }
  // SIGTERM lets it clean up as when a person quits it; SIGKILL if it will not.
  void end() {
    if (pid_ <= 0 || ended()) return;
    kill(pid_, SIGTERM);
    if (!eventually([this] {
          readScreen();
          return ended();
        })) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      reaped_ = true;
    }
  }

 private:
  bool ended() {
    if (reaped_) return true;
    reaped_ = waitpid(pid_, nullptr, WNOHANG) == pid_;
    return reaped_;
  }
  // Also keeps its output flowing: a program whose terminal is full stops.
  void readScreen() {
    pollfd ready{terminal_, POLLIN, 0};
    char buf[1024];
    while (poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
      const ssize_t got = read(terminal_, buf, sizeof buf);
      if (got <= 0) break;
      screen_.append(buf, static_cast<size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int terminal_ = -1;
  bool reaped_ = false;
  std::string screen_;
};

// True when the open file of the node is flock'ed by pid, as /proc/locks shows.
bool flockedBy(int pid) {
  for (const std::string& line : test::splitLines(test::slurp("/proc/locks"))) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, holder;
    fields >> number >> kind >> mode >> access >> holder;
    if (kind == "FLOCK" && holder == std::to_string(pid)) return true;
  }
  return false;
}

// minicom and picocom keep their lock files in /var/lock, compiled in: these tests use the
// system's lock directory.
class RealProgramsTest : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("SERIAL_DRIVER_LOCK_DIR");
    if (access("/run/lock", W_OK) != 0) {
      GTEST_SKIP() << "/run/lock is not writable here: minicom could not lock either";
    }
    ASSERT_TRUE(pty_.ok());
    lock_path_ = "/run/lock/" + lockName(pty_.slavePath());
  }
  void TearDown() override {
    // A program killed after all leaves its file; only a file naming no running process goes.
    int pid = 0;
    if (sscanf(test::slurp(lock_path_).c_str(), "%d", &pid) == 1 && kill(pid, 0) != 0) {
      unlink(lock_path_.c_str());
    }
  }
  static void requireProgram(const char* path) {
    if (access(path, X_OK) != 0) {
      GTEST_SKIP() << path << " is not installed (scripts/deps.sh installs it)";
    }
  }

  test::PtyPair pty_;
  std::string lock_path_;
};

TEST_F(RealProgramsTest, MinicomAndALinkEachSeeTheOtherHoldsThePort) {
  requireProgram("/usr/bin/minicom");
  if (IsSkipped()) return;
  {
    ChassisLink link;
    ASSERT_FALSE(link.open(onDevice(pty_.slavePath())));
    Program minicom({"/usr/bin/minicom", "-D", pty_.slavePath()});
    ASSERT_TRUE(minicom.started());
    ASSERT_TRUE(minicom.waitEnd()) << minicom.screen();
    EXPECT_NE(minicom.screen().find("is locked"), std::string::npos) << minicom.screen();
    EXPECT_EQ(test::slurp(lock_path_), pidText(getpid())) << "minicom left the link's file";
  }

  Program minicom({"/usr/bin/minicom", "-D", pty_.slavePath()});
  ASSERT_TRUE(minicom.started());
  ASSERT_TRUE(eventually([&] { return test::slurp(lock_path_) == pidText(minicom.pid()); }))
      << minicom.screen();
  ChassisLink link;
  EXPECT_EQ(link.open(onDevice(pty_.slavePath())), Errc::busy);
  EXPECT_EQ(link.open_failure().holder, "pid " + std::to_string(minicom.pid()) + " (minicom)");
  // chassisctl says it the same way.
  const test::ChildResult ctl =
      test::runChild({CHASSISCTL, "get", "1", "--device", pty_.slavePath()});
  EXPECT_NE(ctl.status, 0);
  EXPECT_NE(ctl.err.find("held by pid " + std::to_string(minicom.pid()) + " (minicom)"),
            std::string::npos)
      << ctl.err;
  minicom.end();
}

TEST_F(RealProgramsTest, PicocomAndALinkEachSeeTheOtherHoldsThePort) {
  requireProgram("/usr/bin/picocom");
  if (IsSkipped()) return;
  {
    ChassisLink link;
    ASSERT_FALSE(link.open(onDevice(pty_.slavePath())));
    Program picocom({"/usr/bin/picocom", "-q", pty_.slavePath()});
    ASSERT_TRUE(picocom.started());
    ASSERT_TRUE(picocom.waitEnd()) << picocom.screen();
    EXPECT_NE(picocom.screen().find("cannot lock"), std::string::npos) << picocom.screen();
  }

  Program picocom({"/usr/bin/picocom", "-q", pty_.slavePath()});
  ASSERT_TRUE(picocom.started());
  ASSERT_TRUE(eventually([&] { return flockedBy(picocom.pid()); })) << picocom.screen();
  ChassisLink link;
  EXPECT_EQ(link.open(onDevice(pty_.slavePath())), Errc::busy);
  EXPECT_EQ(link.open_failure().holder, "pid " + std::to_string(picocom.pid()) + " (picocom)");
  picocom.end();
}

}  // namespace
