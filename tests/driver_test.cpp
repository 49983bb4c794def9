// SerialDriver end to end: lookup, open, frames on the wire, faults and reconnection, against
// the simulated chassis.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "chassis_sim/conditions.h"
#include "chassis_sim/usb_testbed.h"
#include "serial_driver.h"
#include "serial_driver/serial_driver.h"
#include "test_helpers.h"

namespace {

using chassis_sim::Fault;
using chassis_sim::make_sim;
using test::StdoutCapture;
using test::withoutLineNumber;

class DriverTest : public testing::Test {
 protected:
  void SetUp() override {
    sim_ = make_sim().add_adapter("ABC123").build();
    exchanges_ = std::make_unique<test::Exchanges<chassis_sim::Controller>>(controller());
    StdoutCapture quiet;
    std::string dev;
    ASSERT_TRUE(driver_.init("ABC123", dev, 115200));
  }
  void TearDown() override { driver_.close(); }

  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }
  // An exchange that must succeed.
  bool succeeds(const std::function<bool()>& exchange) { return exchanges_->succeed(exchange); }
  std::string lastFrame() { return exchanges_->lastFrame(); }

  std::unique_ptr<chassis_sim::Testbed> sim_;
  std::unique_ptr<test::Exchanges<chassis_sim::Controller>> exchanges_;
  SerialDriver driver_{};
};

TEST(DriverInit, OpensTheAdapterFoundBySerialNumber) {
  auto sim = make_sim().add_builtin_uart().add_adapter("ABC123").build();
  SerialDriver driver{};
  std::string dev = "stale";
  StdoutCapture out;
  ASSERT_TRUE(driver.init("ABC123", dev, 115200));
  EXPECT_EQ(dev, "/dev/ttyUSB0");
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(withoutLineNumber(lines[0]), "INFO [uart.cpp uart_open_no_block]; Open Serial Port!");
  EXPECT_EQ(withoutLineNumber(lines[2]),
            "INFO [serial_driver.cpp init]; open the uart port success; /dev/ttyUSB0");
  driver.close();
}

TEST_F(DriverTest, InitWithAnUnknownSerialChangesNothing) {
  std::string dev = "stale";
  StdoutCapture out;
  EXPECT_FALSE(driver_.init("NOPE", dev, 9600));
  EXPECT_FALSE(driver_.init("", dev, 9600));
  EXPECT_EQ(dev, "");
  EXPECT_TRUE(out.lines().empty());
  float v = 2.0f;
  EXPECT_TRUE(succeeds([&] { return driver_.setEntry(1, &v); }))
      << "the port opened before keeps working";
}

TEST_F(DriverTest, FramesOnTheWireAreExact) {
  float f = 1.5f;
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(5, &f); }));
  EXPECT_EQ(lastFrame(), std::string("$set 5 1.500\x59\n"));

  int k = -7;
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(12, &k); }));
  EXPECT_EQ(lastFrame(), std::string("$set 12 -7\x5f\n"));

  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(1, "w"); }));
  EXPECT_EQ(lastFrame(), std::string("$set 1 w\0\n", 10)) << "checksum 0x00 is still sent";

  int i = 0;
  float g = 0.0f;
  char text[64];
  // The three reads send the same bytes; only the local conversion differs.
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(3, &i); }));
  EXPECT_EQ(lastFrame(), std::string("$get 3\x41\n"));
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(3, &g); }));
  EXPECT_EQ(lastFrame(), std::string("$get 3\x41\n"));
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(3, text); }));
  EXPECT_EQ(lastFrame(), std::string("$get 3\x41\n"));

  float most_negative = -3.4028235e38f;
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(INT_MIN, &most_negative); }));
  const std::string longest = lastFrame();
  EXPECT_EQ(longest.size(), 63u);
  EXPECT_EQ(longest.substr(0, 21), "$set -2147483648 -340");
}

TEST_F(DriverTest, ValuesRoundTripThroughTheController) {
  float f = -0.25f;
  int i = 1234567;
  const std::string words = "hello world  two blanks";
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(1, &f); }));
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(2, &i); }));
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(3, words.c_str()); }));
  EXPECT_EQ(controller().entry(1), "-0.250");

  float f_back = 0.0f;
  int i_back = 0;
  char text_back[64] = {};
  ASSERT_TRUE(succeeds([&] { return driver_.getEntry(1, &f_back); }));
  ASSERT_TRUE(succeeds([&] { return driver_.getEntry(2, &i_back); }));
  ASSERT_TRUE(succeeds([&] { return driver_.getEntry(3, text_back); }));
  EXPECT_FLOAT_EQ(f_back, -0.25f);
  EXPECT_EQ(i_back, 1234567);
  EXPECT_EQ(std::string(text_back), words);
}

TEST_F(DriverTest, TextTooLongForAFrameIsRefusedBeforeSending) {
  const std::string fits(62 - 7, 'a');  // "$set 1 " + 55 characters = 62
  const std::string too_long(56, 'a');
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(1, fits.c_str()); }));
  EXPECT_EQ(lastFrame().size(), 64u);

  StdoutCapture out;
  EXPECT_FALSE(driver_.setEntry(1, too_long.c_str()));
  EXPECT_FALSE(driver_.setEntry(1, std::string(5000, 'b').c_str()));
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("ERROR console [serial_driver.cpp:", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("too long"), std::string::npos) << lines[0];
  EXPECT_TRUE(controller().received().empty()) << "nothing goes out";
}

TEST_F(DriverTest, ReplyFaultsFailTheExchangeAndTheNextOneRecovers) {
  const Fault faults[] = {Fault::kNoReply,   Fault::kBadChecksum, Fault::kWrongIndex, Fault::kNoise,
                          Fault::kBangFrame, Fault::kWrongKind,   Fault::kLateReply};
  for (Fault fault : faults) {
    for (int op = 0; op < 2; ++op) {
      float f = 4.0f;
      bool faulted_ok;
      {
        StdoutCapture quiet;  // the failure's own lines; a test failure below stays visible
        faulted_ok = exchanges_->run<bool>(false, [&] {
          controller().inject(fault);
          return op == 0 ? driver_.setEntry(7, &f) : driver_.getEntry(7, &f);
        });
      }
      EXPECT_FALSE(faulted_ok) << chassis_sim::faultName(fault)
                               << (op == 0 ? " on a set" : " on a get");
      EXPECT_TRUE(succeeds([&] { return driver_.getEntry(7, &f); }))
          << "after " << chassis_sim::faultName(fault);
      EXPECT_FLOAT_EQ(f, 4.0f);
    }
  }
}

TEST_F(DriverTest, AReplyInPiecesIsAccepted) {
  controller().inject(Fault::kSplitReply, 2);
  int v = 9;
  EXPECT_TRUE(succeeds([&] { return driver_.setEntry(4, &v); }));
  v = 0;
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(4, &v); }));
  EXPECT_EQ(v, 9);
}

TEST_F(DriverTest, SendFailuresOnAClosedPortAreCountedAndLoggedOncePerWindow) {
  driver_.close();
  StdoutCapture out;
  float f = 1.0f;
  EXPECT_FALSE(driver_.setEntry(5, &f));
  EXPECT_FALSE(driver_.setEntry(5, &f));
  EXPECT_FALSE(driver_.getEntry(5, &f));
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(withoutLineNumber(lines[0]),
            "ERROR [serial_driver.cpp transmit]; transmit error, port is closed; -1; 14");
  EXPECT_EQ(withoutLineNumber(lines[1]),
            "WARN [serial_driver.cpp setEntry]; uart send failed, ret:0");
  EXPECT_EQ(withoutLineNumber(lines[2]),
            "WARN [serial_driver.cpp getEntry]; uart send failed, ret:0")
      << "each operation has a window of its own";
  EXPECT_TRUE(controller().received().empty());
}

TEST_F(DriverTest, SecondCloseLeavesAReusedDescriptorAlone) {
  driver_.close();
  const int other = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  driver_.close();
  EXPECT_NE(fcntl(other, F_GETFD), -1) << "the second close closed someone else's file";
  close(other);
}

// Fails `count` exchanges at once: the port is closed, so every send fails.
void failFast(SerialDriver& driver, int count) {
  int v = 0;
  for (int i = 0; i < count; ++i) EXPECT_FALSE(driver.getEntry(1, &v));
}

std::vector<std::string> criticalLines(const std::vector<std::string>& lines) {
  std::vector<std::string> critical;
  for (const auto& line : lines) {
    if (line.rfind("CRITICAL", 0) == 0 || line.find("init]") != std::string::npos) {
      critical.push_back(withoutLineNumber(line));
    }
  }
  return critical;
}

TEST_F(DriverTest, TheHundredFiftyFirstFailureInARowReopensThePort) {
  driver_.close();
  StdoutCapture out;
  failFast(driver_, 150);
  EXPECT_TRUE(criticalLines(out.lines()).empty()) << "150 failures do not reconnect";

  StdoutCapture reconnect;
  failFast(driver_, 1);
  EXPECT_EQ(criticalLines(reconnect.lines()),
            (std::vector<std::string>{
                "INFO [serial_driver.cpp init]; open the uart port success; /dev/ttyUSB0",
                "CRITICAL [serial_driver.cpp handleTimeout]; time out then reconnection!"}));
  int v = 0;
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(1, &v); })) << "the reopened port works";
}

TEST_F(DriverTest, ASuccessClearsTheCountAndARefusedTextDoesNotCount) {
  driver_.close();
  StdoutCapture out;
  failFast(driver_, 100);
  std::string dev;
  ASSERT_TRUE(driver_.init("ABC123", dev, 115200)) << "init leaves the count alone";
  int v = 0;
  ASSERT_TRUE(succeeds([&] { return driver_.getEntry(1, &v); }));
  driver_.close();
  failFast(driver_, 150);
  EXPECT_FALSE(driver_.setEntry(1, std::string(60, 'x').c_str()));
  EXPECT_EQ(criticalLines(out.lines()).size(), 1u) << "only the explicit init";
}

TEST_F(DriverTest, RecoversAfterUnplugAndReplugWithoutLeakingDescriptors) {
  float f = 3.0f;
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(2, &f); }));
  const int before = test::openTtyDescriptors();
  for (int cycle = 0; cycle < 3; ++cycle) {
    sim_->adapter(0).unplug();
    sim_->adapter(0).plug();
    StdoutCapture quiet;
    int failures = 0;
    float back = 0.0f;
    while (failures < 151 && !driver_.getEntry(2, &back)) ++failures;
    EXPECT_EQ(failures, 151) << "cycle " << cycle;
    EXPECT_TRUE(succeeds([&] { return driver_.getEntry(2, &back); })) << "cycle " << cycle;
    EXPECT_FLOAT_EQ(back, 3.0f) << "the controller kept its entries";
  }
  EXPECT_EQ(test::openTtyDescriptors(), before);
}

TEST_F(DriverTest, AReconnectionThatFindsNoDeviceKeepsCounting) {
  sim_->adapter(0).unplug();
  StdoutCapture out;
  int v = 0;
  for (int i = 0; i < 151; ++i) EXPECT_FALSE(driver_.getEntry(1, &v));
  EXPECT_EQ(criticalLines(out.lines()),
            std::vector<std::string>{
                "CRITICAL [serial_driver.cpp handleTimeout]; time out then reconnection!"});
  sim_->adapter(0).plug();
  for (int i = 0; i < 150; ++i) EXPECT_FALSE(driver_.getEntry(1, &v));
  EXPECT_FALSE(driver_.getEntry(1, &v)) << "151st failure of the new run reconnects";
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(1, &v); }));
}

TEST_F(DriverTest, AReconnectionThatCannotOpenTheNodeYetNeverEndsTheProcess) {
  sim_->adapter(0).unplug();
  sim_->adapter(0).plug(/*node_ready=*/false);  // listed by udev, node not openable yet
  StdoutCapture out;
  int v = 0;
  failFast(driver_, 151);
  EXPECT_EQ(criticalLines(out.lines()),
            (std::vector<std::string>{
                "CRITICAL [serial_driver.cpp init]; can not open the uart port; /dev/ttyUSB0",
                "CRITICAL [serial_driver.cpp handleTimeout]; time out then reconnection!"}));
  failFast(driver_, 150);  // would have ended the process at the first call
  sim_->adapter(0).makeNodeReady();
  EXPECT_FALSE(driver_.getEntry(1, &v)) << "the next 151st failure tries again";
  EXPECT_TRUE(succeeds([&] { return driver_.getEntry(1, &v); }));
}

TEST_F(DriverTest, ALateReplyIsNeverTakenForALaterCommandsAnswer) {
  StdoutCapture quiet;
  int successes = 0;
  const int wrong = test::staleValuesAfterLateReplies(
      controller(), 100,
      [&](std::chrono::milliseconds delay) {
        controller().setLateDelay(delay);
        controller().inject(Fault::kLateReply);
      },
      [&](float v) { return driver_.setEntry(5, &v); },
      [&](float* v) { return driver_.getEntry(5, v); }, &successes);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(successes, 0);
}

TEST_F(DriverTest, TextsThatWouldInjectFramesAreRefusedBeforeSending) {
  StdoutCapture out;
  // The appended checksum would make "$set 2 x" a valid second frame.
  EXPECT_FALSE(driver_.setEntry(1, "a\n$set 2 x"));
  EXPECT_FALSE(driver_.setEntry(1, static_cast<const char*>(nullptr)));
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(withoutLineNumber(lines[0]),
            "ERROR [serial_driver.cpp setEntry]; text value holds a newline, nothing sent");
  EXPECT_EQ(withoutLineNumber(lines[1]),
            "ERROR [serial_driver.cpp setEntry]; text value is a null pointer, nothing sent");
  EXPECT_TRUE(controller().received().empty());
}

TEST_F(DriverTest, FloatsCrossTheWireInTheCLocaleWhateverTheProcessLocale) {
  test::GermanLocale german;
  ASSERT_TRUE(german.ok()) << "de_DE.UTF-8 could not be loaded";
  float f = 1.5f;
  ASSERT_TRUE(succeeds([&] { return driver_.setEntry(5, &f); }));
  EXPECT_EQ(lastFrame(), std::string("$set 5 1.500\x59\n"));
  controller().setEntry(6, "2.250");
  ASSERT_TRUE(succeeds([&] { return driver_.getEntry(6, &f); }));
  EXPECT_FLOAT_EQ(f, 2.25f);
}

TEST(DriverFreshTty, RepliesWithEveryChecksumByteArriveIntact) {
  chassis_sim::AdapterConfig fresh;
  fresh.serial = "ABC123";
  fresh.fresh_termios = true;
  auto sim = make_sim().add_adapter(fresh).build();
  chassis_sim::Controller& controller = sim->adapter(0).controller();
  SerialDriver driver{};
  std::string dev;
  {
    StdoutCapture quiet;
    ASSERT_TRUE(driver.init("ABC123", dev, 115200));
  }
  test::Exchanges<chassis_sim::Controller> exchanges(controller);
  int failures = 0;
  for (int checksum = 0; checksum < 256 && failures < 5; ++checksum) {
    const std::string text = chassis_sim::textForReplyChecksum(9, checksum);
    controller.setEntry(9, text);
    char back[64] = {};
    // 0x0D became 0x0A, 0x11 and 0x13 vanished, and after an XOFF nothing could be sent.
    if (!exchanges.succeed([&] { return driver.getEntry(9, back) && text == back; })) {
      ADD_FAILURE() << "checksum 0x" << std::hex << checksum;
      ++failures;
    }
  }
  driver.close();
}

TEST(DriverExit, EntryOperationsOnADriverThatIsNotOpenEndTheProcess) {
  float f = 1.0f;
  int i = 1;
  char text[64] = "x";
  EXPECT_EXIT((SerialDriver{}.setEntry(1, &f)), testing::ExitedWithCode(1), "");
  EXPECT_EXIT((SerialDriver{}.setEntry(1, &i)), testing::ExitedWithCode(1), "");
  EXPECT_EXIT((SerialDriver{}.setEntry(1, text)), testing::ExitedWithCode(1), "");
  EXPECT_EXIT((SerialDriver{}.getEntry(1, &f)), testing::ExitedWithCode(1), "");
  EXPECT_EXIT((SerialDriver{}.getEntry(1, &i)), testing::ExitedWithCode(1), "");
  EXPECT_EXIT((SerialDriver{}.getEntry(1, text)), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(exit_serial_driver(0), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(exit_serial_driver(-1), testing::ExitedWithCode(1), "");
}

TEST(DriverExit, ADeviceThatCannotBeOpenedLeavesTheDriverUnusable) {
  auto sim = make_sim().add_adapter("ABC123").build();
  // The node exists in udev but leads nowhere, as a node with a dead device behind it.
  const std::string node = sim->rootDir() + "/dev/ttyUSB0";
  unlink(node.c_str());
  ASSERT_EQ(symlink("/nonexistent/tty", node.c_str()), 0);
  SerialDriver driver{};
  std::string dev;
  StdoutCapture out;
  EXPECT_FALSE(driver.init("ABC123", dev, 115200));
  EXPECT_EQ(dev, "/dev/ttyUSB0");
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("/dev/ttyUSB0; No such file or directory"), std::string::npos)
      << "the cause, in a line of its own";
  EXPECT_EQ(withoutLineNumber(lines[2]),
            "CRITICAL [serial_driver.cpp init]; can not open the uart port; /dev/ttyUSB0");
  driver.close();  // does nothing in this state
  int v = 0;
  EXPECT_EXIT(driver.getEntry(1, &v), testing::ExitedWithCode(1), "");
}

TEST(DriverThreads, TwoDriversOnTwoAdaptersRunAtOnce) {
  auto sim = make_sim().add_adapter("LEFT").add_adapter("RIGHT").build();
  StdoutCapture quiet;
  // umockdev's preload rewrites device paths in one static buffer, so the lookups and opens
  // take turns; the exchanges themselves run at the same time.
  std::mutex lookup;
  auto run = [&lookup, &sim](const char* serial, int base, int* failures) {
    SerialDriver driver{};
    std::string dev;
    {
      std::lock_guard<std::mutex> lock(lookup);
      if (!driver.init(serial, dev, 115200)) {
        *failures = -1;
        return;
      }
    }
    // What two drivers must never do to each other is cross their frames: a value read back is
    // always this thread's own.
    test::Exchanges<chassis_sim::Controller> exchanges(
        sim->adapter(std::string(serial) == "LEFT" ? 0 : 1).controller());
    auto tries = [&exchanges](const std::function<bool()>& exchange) {
      return exchanges.succeed(exchange);
    };
    for (int n = 0; n < 40; ++n) {
      const int value = base + n;
      const std::string text = std::string(serial) + " " + std::to_string(n);
      int back = 0;
      char text_back[64] = {};
      if (!tries([&] { return driver.setEntry(n % 4, &value); }) ||
          !tries([&] { return driver.getEntry(n % 4, &back); }) || back != value ||
          !tries([&] { return driver.setEntry(10, text.c_str()); }) ||
          !tries([&] { return driver.getEntry(10, text_back); }) || text != text_back) {
        ++*failures;
      }
    }
    driver.close();
  };
  int left_failures = 0;
  int right_failures = 0;
  std::thread left(run, "LEFT", 1000, &left_failures);
  std::thread right(run, "RIGHT", 2000, &right_failures);
  left.join();
  right.join();
  const std::string log = quiet.text();
  EXPECT_EQ(left_failures, 0) << log;
  EXPECT_EQ(right_failures, 0) << log;
}

}  // namespace
