// The simulated controller itself: each fault does to the reply what it says, on the wire.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "chassis_sim/controller.h"
#include "test_helpers.h"

namespace {

using chassis_sim::Controller;
using chassis_sim::Fault;
using Clock = std::chrono::steady_clock;

// A controller on a pty; the test plays the driver on the slave side.
class SimulatedController : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    port_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(port_, 0);
    termios raw{};
    tcgetattr(port_, &raw);
    cfmakeraw(&raw);
    tcsetattr(port_, TCSANOW, &raw);
    controller_.setEntry(3, "2.500");
    controller_.attach(master_);
  }
  void TearDown() override {
    controller_.detach();
    close(port_);
    close(master_);
  }

  // Sends a command frame and collects what comes back within `window`.
  std::string exchange(const std::string& text, std::chrono::milliseconds window) {
    const std::string frame = test::frame(text);
    EXPECT_EQ(write(port_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    return collect(window);
  }
  std::string collect(std::chrono::milliseconds window) {
    std::string got;
    const auto until = Clock::now() + window;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return got;
      pollfd p{port_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return got;
      char buf[128];
      const ssize_t n = read(port_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
  }

  Controller controller_;
  int master_ = -1;
  int port_ = -1;
};

TEST_F(SimulatedController, EachFaultChangesTheReplyAsItSays) {
  const auto window = std::chrono::milliseconds(200);
  const std::string fdb = test::frame("$fdb 3 2.500");
  std::string bad_checksum = fdb;
  bad_checksum[bad_checksum.size() - 2] ^= 0x01;
  const struct {
    Fault fault;
    std::string command;
    std::string reply;
  } rows[] = {
      {Fault::kNone, "$get 3", fdb},
      {Fault::kNoReply, "$get 3", ""},
      {Fault::kBadChecksum, "$get 3", bad_checksum},
      {Fault::kWrongIndex, "$get 3", test::frame("$fdb 4 2.500")},
      {Fault::kWrongIndex, "$set 3 2.500", test::frame("$ack 4")},
      {Fault::kSplitReply, "$get 3", fdb},
      {Fault::kNoise, "$get 3", "\x7f~" + fdb},
      {Fault::kBangFrame, "$get 3", "!busy\n"},
      {Fault::kWrongKind, "$get 3", test::frame("$ack 3")},
      {Fault::kWrongKind, "$set 3 2.500", test::frame("$fdb 3 0")},
  };
  for (const auto& row : rows) {
    controller_.inject(row.fault);
    EXPECT_EQ(exchange(row.command, window), row.reply) << chassis_sim::faultName(row.fault);
  }
  controller_.inject(Fault::kNoReply);
  exchange("$set 3 7", std::chrono::milliseconds(50));
  EXPECT_EQ(controller_.entry(3), "7") << "a lost reply's command still takes effect";
}

TEST_F(SimulatedController, LateAndSplitRepliesKeepTheirTimes) {
  controller_.setLateDelay(std::chrono::milliseconds(60));
  controller_.inject(Fault::kLateReply);
  EXPECT_EQ(exchange("$get 3", std::chrono::milliseconds(20)), "") << "not before its delay";
  EXPECT_EQ(collect(std::chrono::milliseconds(500)), test::frame("$fdb 3 2.500"));

  // The gap between text and checksum is the controller's 3 ms; a reader the machine keeps
  // off the processor that long sees both at once, so it may look again, five times in all.
  bool seen_apart = false;
  for (int attempt = 0; attempt < 5 && !seen_apart; ++attempt) {
    controller_.inject(Fault::kSplitReply);
    const std::string frame = test::frame("$get 3");
    ASSERT_EQ(write(port_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    std::string got;
    while (got.find("2.500") == std::string::npos) got += collect(std::chrono::milliseconds(1));
    const auto text_at = Clock::now();
    while (got.find('\n') == std::string::npos) got += collect(std::chrono::milliseconds(1));
    seen_apart = Clock::now() - text_at >= std::chrono::milliseconds(2);
    EXPECT_EQ(got, test::frame("$fdb 3 2.500"));
    controller_.waitIdle();
  }
  EXPECT_TRUE(seen_apart) << "the checksum and newline come apart from the text";
}

TEST(SimulatedControllerSettings, NegativePacingIsRefused) {
  Controller controller;
  EXPECT_THROW(controller.setBytePacing(std::chrono::nanoseconds(-1)), std::invalid_argument);
}

}  // namespace
