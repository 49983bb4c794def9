// One chassis, one owner: a port held by a link that does not serve is busy for every other
// opener (a link, the classic driver, chassisctl), named with its holder; the holder keeps it
// through its own reconnections and lets go on close; a forked child's copy of a link stays off the
// line, and the child lets go of the port as it starts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver/chassis_link.h"
#include "test_helpers.h"

namespace {

using chassis_sim::make_sim;
using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;

LinkOptions bySerial(const std::string& serial) {
  LinkOptions options;
  options.serial = serial;
  return options;
}

// This process as the holder is named: "pid 4242 (link_ownership_)".
std::string thisProcess() {
  std::string name = test::slurp("/proc/self/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return "pid " + std::to_string(getpid()) + " (" + name + ")";
}

// The descriptors of this process whose files' paths hold `name`: "/dev/pts/" for the
// simulated ports and their far ends, "ptmx" for the simulator's far ends alone.
std::vector<int> descriptorsOn(const char* name) {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    char target[64] = {};
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(path.c_str(), target, sizeof target - 1) > 0 && strstr(target, name) != nullptr) {
      fds.push_back(atoi(entry->d_name));
    }
  }
  closedir(dir);
  return fds;
}

// A child forked now, alive until finish(). It closes `drop`, and exits with 0 when
// `closed_fd` (if any) is closed in it. The parent goes on once the child runs: the fork
// handlers have run in it by then.
class LiveChild {
 public:
  explicit LiveChild(int closed_fd = -1, const std::vector<int>& drop = {}) {
    int release[2];
    int running[2];
    if (pipe2(release, O_CLOEXEC) != 0) return;
    if (pipe2(running, O_CLOEXEC) != 0) {
      close(release[0]);
      close(release[1]);
      return;
    }
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      // Async-signal-safe calls only: the child has only this thread.
      close(release[1]);
      close(running[0]);
      for (int fd : drop) close(fd);
      const bool closed = closed_fd < 0 || (fcntl(closed_fd, F_GETFD) < 0 && errno == EBADF);
      char byte = 0;
      while (write(running[1], &byte, 1) < 0 && errno == EINTR) {
      }
      while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(closed ? 0 : 1);
    }
    close(release[0]);
    close(running[1]);
    release_ = release[1];
    char byte = 0;
    while (read(running[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(running[0]);
  }
  ~LiveChild() { finish(); }
  // Lets the child go; its exit status, -1 when it did not exit.
  int finish() {
    if (pid_ <= 0) return -1;
    close(release_);
    int status = 0;
    const bool waited = waitpid(pid_, &status, 0) == pid_;
    pid_ = 0;
    return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

class OwnershipTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/link_ownership_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    lock_dir_ = dir;
    setenv("SERIAL_DRIVER_LOCK_DIR", lock_dir_.c_str(), 1);
    sim_ = make_sim().add_adapter("ABC123").build();
    LinkOptions options = bySerial("ABC123");
    options.serve = false;
    ASSERT_FALSE(holder_.open(options));
  }
  void TearDown() override {
    holder_.close();
    for (const std::string& name : lockFiles()) unlink((lock_dir_ + "/" + name).c_str());
    rmdir(lock_dir_.c_str());
    unsetenv("SERIAL_DRIVER_LOCK_DIR");
  }
  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }
  // The lock files in the test's lock directory.
  std::vector<std::string> lockFiles() {
    std::vector<std::string> names;
    DIR* dir = opendir(lock_dir_.c_str());
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
      if (strncmp(entry->d_name, "LCK..", 5) == 0) names.push_back(entry->d_name);
    }
    if (dir != nullptr) closedir(dir);
    return names;
  }
  // True when the one lock file there is this process's.
  bool holdsTheOneLockFile() {
    const std::vector<std::string> names = lockFiles();
    char pid[16];
    snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
    return names.size() == 1 && test::slurp(lock_dir_ + "/" + names[0]) == pid;
  }

  std::string lock_dir_;

  test::LogLines log_;
  std::unique_ptr<chassis_sim::Testbed> sim_;
  ChassisLink holder_;
};

TEST_F(OwnershipTest, EverySecondOpenerIsBusyAndToldTheHolder) {
  const std::string held = "the port is held by another program; /dev/ttyUSB0; " + thisProcess();

  ChassisLink second;
  EXPECT_EQ(second.open(bySerial("ABC123")), Errc::busy);
  EXPECT_FALSE(second.is_open());
  const serial_driver::OpenFailure why = second.open_failure();
  EXPECT_EQ(why.holder, thisProcess());
  EXPECT_EQ(why.device, "/dev/ttyUSB0");
  EXPECT_EQ(why.system, std::errc::device_or_resource_busy);
  EXPECT_NE(log_.text().find(held), std::string::npos) << log_.text();

  SerialDriver driver{};
  std::string dev;
  const size_t logged = log_.text().size();
  EXPECT_FALSE(driver.init("ABC123", dev, 115200));
  EXPECT_NE(log_.text().find(held, logged), std::string::npos) << log_.text();

  const test::ChildResult tool = test::runChild({CHASSISCTL, "--serial", "ABC123", "get", "5"});
  EXPECT_EQ(tool.status, 1);
  EXPECT_NE(tool.err.find("held by " + thisProcess() + "; close it first"), std::string::npos)
      << tool.err;
  EXPECT_TRUE(controller().received().empty()) << "nothing went on the holder's line";
}

TEST_F(OwnershipTest, TheHolderKeepsThePortThroughAReplugAndLetsGoOnClose) {
  chassis_sim::Adapter& adapter = sim_->adapter(0);
  adapter.unplug();
  int v = 0;
  EXPECT_EQ(holder_.get(1, v), Errc::hung_up);
  adapter.plug();
  bool back = false;
  for (int n = 0; n < 2000 && !back; ++n) {
    back = !holder_.get(1, v);
    if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(back) << "the holder reconnected";
  ASSERT_EQ(holder_.stats().reconnections, 1u);
  // The replugged adapter is a new node: its lock file, and none left for the old one.
  EXPECT_TRUE(holdsTheOneLockFile());

  ChassisLink second;
  EXPECT_EQ(second.open(bySerial("ABC123")), Errc::busy) << "the reconnected holder has it";
  holder_.close();
  EXPECT_FALSE(second.open(bySerial("ABC123"))) << "free once its holder closed it";
  second.close();
  EXPECT_TRUE(lockFiles().empty());
}

TEST_F(OwnershipTest, TheClassicDriverHoldsTheLockFileUntilClose) {
  holder_.close();
  SerialDriver driver{};
  std::string dev;
  ASSERT_TRUE(driver.init("ABC123", dev, 115200));
  EXPECT_TRUE(holdsTheOneLockFile());
  ChassisLink second;
  EXPECT_EQ(second.open(bySerial("ABC123")), Errc::busy);
  driver.close();
  EXPECT_TRUE(lockFiles().empty());
}

TEST(LinkOwnership, ProgramsThatTurnExclusivityOffShareThePort) {
  auto sim = make_sim().add_adapter("ABC123").build();
  test::LogLines log;
  LinkOptions shared = bySerial("ABC123");
  shared.exclusive = false;
  ChassisLink driving;
  ChassisLink watching;
  ASSERT_FALSE(driving.open(shared));
  EXPECT_FALSE(watching.open(shared));
  EXPECT_TRUE(watching.is_open());
}

TEST_F(OwnershipTest, AForkedChildsCopyIsNotOpenAndLeavesTheParentsExchangesAlone) {
  int done[2];
  ASSERT_EQ(pipe2(done, O_CLOEXEC | O_NONBLOCK), 0);
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Only calls that take no lock in the child: its copies of the simulator's are frozen.
    close(done[1]);
    int wrong = holder_.is_open() ? 1 : 0;
    char byte = 0;
    while (read(done[0], &byte, 1) < 0 && errno == EAGAIN) {
      int v = 0;
      if (holder_.get(5, v) != Errc::not_open) ++wrong;
      if (holder_.set(5, 2.5f) != Errc::not_open) ++wrong;
      usleep(500);
    }
    _exit(wrong == 0 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  close(done[0]);
  controller().setEntry(5, "1.500");
  test::Exchanges<chassis_sim::Controller> exchanges(controller());
  int failed = 0;
  for (int n = 0; n < 100; ++n) {
    float value = 0.0f;
    if (!exchanges.succeed([&] { return !holder_.get(5, value) && value == 1.5f; })) ++failed;
  }
  close(done[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "every child call: not_open";
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(controller().entry(5), "1.500") << "no set of the child's reached the controller";
}

TEST_F(OwnershipTest, AForkedChildsCopyOfThePortIsClosedAtFork) {
  holder_.close();
  const std::vector<int> before = descriptorsOn("/dev/pts/");
  ASSERT_FALSE(holder_.open(bySerial("ABC123")));
  std::vector<int> port;
  for (int fd : descriptorsOn("/dev/pts/")) {
    if (std::find(before.begin(), before.end(), fd) == before.end()) port.push_back(fd);
  }
  ASSERT_EQ(port.size(), 1u) << "the link's port is its one new descriptor";
  LiveChild child(port[0]);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.finish(), 0) << "the port's descriptor is open in the child";
}

TEST_F(OwnershipTest, AfterTheParentClosedThePortIsFreeWhileAForkedChildLives) {
  LiveChild child;
  ASSERT_TRUE(child.started());
  holder_.close();
  ChassisLink fresh;
  EXPECT_FALSE(fresh.open(bySerial("ABC123"))) << fresh.open_failure().holder;
  fresh.close();
  EXPECT_FALSE(holder_.open(bySerial("ABC123"))) << holder_.open_failure().holder;
  EXPECT_EQ(child.finish(), 0);
}

TEST_F(OwnershipTest, TheParentReconnectsWhileAForkedChildLives) {
  holder_.close();
  LinkOptions options = bySerial("ABC123");
  options.reconnect_after = 1;
  ASSERT_FALSE(holder_.open(options));
  int v = 0;
  {
    // A failed exchange reopens the port it has.
    LiveChild child;
    ASSERT_TRUE(child.started());
    controller().inject(chassis_sim::Fault::kNoReply);
    EXPECT_TRUE(holder_.get(1, v));
    EXPECT_EQ(holder_.stats().reconnections, 1u) << holder_.open_failure().holder;
    EXPECT_EQ(child.finish(), 0);
  }
  {
    // A hang-up closes it, and the replugged adapter is opened again. An unplug hangs up the
    // ports when the simulator closes its ends of them, which a child must not keep open.
    LiveChild child(-1, descriptorsOn("ptmx"));
    ASSERT_TRUE(child.started());
    chassis_sim::Adapter& adapter = sim_->adapter(0);
    adapter.unplug();
    EXPECT_EQ(holder_.get(1, v), Errc::hung_up);
    adapter.plug();
    bool back = false;
    for (int n = 0; n < 2000 && !back; ++n) {
      back = !holder_.get(1, v);
      if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(back) << "the parent reconnected";
    EXPECT_EQ(holder_.stats().reconnections, 2u);
    EXPECT_EQ(child.finish(), 0);
  }
}

// A child's cancel() (a SIGINT handler the child inherited, say) is the child's own: the
// parent's exchange waiting at that moment still takes its reply.
TEST_F(OwnershipTest, AForkedChildsCancelLeavesTheParentsWaitAlone) {
  holder_.close();
  LinkOptions options = bySerial("ABC123");
  options.reply_timeout = std::chrono::seconds(5);
  ASSERT_FALSE(holder_.open(options));
  controller().setEntry(5, "7");
  controller().setLateDelay(std::chrono::milliseconds(200));
  controller().inject(chassis_sim::Fault::kLateReply);
  int v = 0;
  std::error_code waited;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    waited = holder_.get(5, v);
    done = true;
  });
  while (controller().commands() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    holder_.cancel();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  // A wait that never ends is ended here, far past its deadline, so the test fails, not hangs.
  for (int n = 0; n < 2000 && !done; ++n)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!done) holder_.cancel();
  waiter.join();
  EXPECT_FALSE(waited) << waited.message();
  EXPECT_EQ(v, 7);
}

}  // namespace
