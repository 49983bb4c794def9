// One chassis, one owner: a port held by a link is busy for every other opener (a link, the
// classic driver, chassisctl), named with its holder; the holder keeps it through its own
// reconnections and lets go on close; a forked child's copy of a link stays off the line.
#include <fcntl.h>

#include <mutex>

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

 private:
  std::mutex mutex_;
  std::string text_;
};

class OwnershipTest : public testing::Test {
 protected:
  void SetUp() override {
    sim_ = make_sim().add_adapter("ABC123").build();
    ASSERT_FALSE(holder_.open(bySerial("ABC123")));
  }
  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }

  LogLines log_;
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

  ChassisLink second;
  EXPECT_EQ(second.open(bySerial("ABC123")), Errc::busy) << "the reconnected holder has it";
  holder_.close();
  EXPECT_FALSE(second.open(bySerial("ABC123"))) << "free once its holder closed it";
}

TEST(LinkOwnership, ProgramsThatTurnExclusivityOffShareThePort) {
  auto sim = make_sim().add_adapter("ABC123").build();
  LogLines log;
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

}  // namespace
