// ChassisLink end to end on the simulated chassis: every error it can report, reconnection,
// ownership of its port, slow lines, the log sink and use from two threads.
#include "serial_driver/chassis_link.h"

#include <cmath>
#include <mutex>
#include <thread>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver.h"
#include "test_helpers.h"

namespace {

using chassis_sim::Fault;
using chassis_sim::make_sim;
using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;

LinkOptions bySerial(const std::string& serial, int baud = 115200) {
  LinkOptions options;
  options.serial = serial;
  options.baud = baud;
  return options;
}

// Library messages are kept out of the test's output, and can be looked at.
class QuietLog {
 public:
  QuietLog() {
    serial_driver::setLogSink([this](LogLevel, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~QuietLog() { serial_driver::setLogSink(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class LinkTest : public testing::Test {
 protected:
  void SetUp() override {
    sim_ = make_sim().add_adapter("ABC123").build();
    exchanges_ = std::make_unique<test::Exchanges<chassis_sim::Controller>>(controller());
    ASSERT_FALSE(link_.open(bySerial("ABC123")));
  }
  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }
  // An operation that must succeed.
  bool succeeds(const std::function<std::error_code()>& operation) {
    return exchanges_->succeed([&] { return !operation(); });
  }

  QuietLog log_;
  std::unique_ptr<chassis_sim::Testbed> sim_;
  std::unique_ptr<test::Exchanges<chassis_sim::Controller>> exchanges_;
  ChassisLink link_;
};

TEST_F(LinkTest, ValuesRoundTripWithTheClassicWireText) {
  EXPECT_EQ(link_.device(), "/dev/ttyUSB0");
  ASSERT_TRUE(succeeds([&] { return link_.set(5, 1.5f); }));
  EXPECT_EQ(exchanges_->lastFrame(), test::frame("$set 5 1.500"));
  ASSERT_TRUE(succeeds([&] { return link_.set(6, -7); }));
  EXPECT_EQ(exchanges_->lastFrame(), test::frame("$set 6 -7"));
  const std::string longest(55, 'w');  // "$set 7 " + 55 characters fills a frame
  ASSERT_TRUE(succeeds([&] { return link_.set(7, longest); }));
  EXPECT_EQ(exchanges_->lastFrame(), test::frame("$set 7 " + longest));
  float f = 0;
  int i = 0;
  std::string text;
  EXPECT_TRUE(succeeds([&] { return link_.get(5, f); }));
  EXPECT_TRUE(succeeds([&] { return link_.get(6, i); }));
  EXPECT_TRUE(succeeds([&] { return link_.get(7, text); }));
  EXPECT_FLOAT_EQ(f, 1.5f);
  EXPECT_EQ(i, -7);
  EXPECT_EQ(text, longest);
  const auto stats = link_.stats();
  const auto retries = static_cast<uint64_t>(exchanges_->retries());
  EXPECT_EQ(stats.exchanges, 6u + retries);
  EXPECT_EQ(stats.failures, retries);
  EXPECT_GE(stats.max_exchange, stats.last_exchange);
}

TEST_F(LinkTest, EveryReplyFaultHasItsOwnError) {
  const struct {
    Fault fault;
    bool on_get;
    Errc expected;
  } rows[] = {
      {Fault::kNoReply, false, Errc::timeout},    {Fault::kBadChecksum, true, Errc::timeout},
      {Fault::kNoise, true, Errc::timeout},       {Fault::kBangFrame, false, Errc::rejected},
      {Fault::kBangFrame, true, Errc::rejected},  {Fault::kWrongKind, false, Errc::bad_reply},
      {Fault::kWrongKind, true, Errc::bad_reply}, {Fault::kWrongIndex, true, Errc::bad_reply},
      {Fault::kWrongIndex, false, Errc::timeout},  // another entry's ack: ours may still come
  };
  for (const auto& row : rows) {
    int value = 42;
    const std::error_code ec = exchanges_->run<std::error_code>(row.expected, [&] {
      controller().inject(row.fault);
      return row.on_get ? link_.get(3, value) : link_.set(3, 1);
    });
    EXPECT_EQ(ec, row.expected) << chassis_sim::faultName(row.fault) << ": " << ec.message();
    EXPECT_EQ(value, 42) << "a failed read leaves the value alone";
  }
  EXPECT_EQ(link_.stats().failures, std::size(rows) + exchanges_->retries());
}

TEST_F(LinkTest, ValuesThatCannotBeSentAreRefusedBeforeSending) {
  EXPECT_EQ(link_.set(1, std::nanf("")), Errc::bad_value);
  EXPECT_EQ(link_.set(1, INFINITY), Errc::bad_value);
  EXPECT_EQ(link_.set(1, "a\n$set 2 x"), Errc::bad_value);
  EXPECT_EQ(link_.set(1, std::string_view("a\0b", 3)), Errc::bad_value);
  EXPECT_EQ(link_.set(1, static_cast<const char*>(nullptr)), Errc::bad_value);
  EXPECT_EQ(link_.set(1, std::string(56, 'x')), Errc::bad_value);
  EXPECT_TRUE(controller().received().empty());
  EXPECT_EQ(link_.stats().exchanges, 0u);
}

TEST(LinkOpen, ReportsWhyTheLinkCouldNotBeOpened) {
  auto sim = make_sim().add_adapter("ABC123").build();
  QuietLog log;
  ChassisLink link;
  EXPECT_EQ(link.set(1, 1), Errc::not_open);
  EXPECT_EQ(link.open(bySerial("NOPE")), Errc::not_found);
  LinkOptions options = bySerial("ABC123", 57600);
  EXPECT_EQ(link.open(options), Errc::bad_baud);
  options = LinkOptions{};
  options.device = "/dev/ttyUSB7";
  EXPECT_EQ(link.open(options), Errc::not_found);
  options.device = "/dev/null";
  EXPECT_EQ(link.open(options), Errc::open_failed) << "not a tty";
  EXPECT_FALSE(link.is_open());

  options.device = "/dev/ttyUSB0";  // by path, as for an adapter without a serial number
  ASSERT_FALSE(link.open(options));
  EXPECT_TRUE(link.is_open());
  link.close();
  EXPECT_EQ(link.get(1, options.baud), Errc::not_open);
  EXPECT_EQ(serial_driver::make_error_code(Errc::hung_up).category().name(),
            std::string("serial_driver::link"));
}

TEST_F(LinkTest, AStoppedOutputIsASendFailure) {
  const int port = open("/dev/ttyUSB0", O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(port, 0);
  tcflow(port, TCOOFF);
  EXPECT_EQ(link_.set(1, 1), Errc::send_failed);
  tcflow(port, TCOON);
  close(port);
  EXPECT_TRUE(succeeds([&] { return link_.set(1, 1); }));
}

TEST_F(LinkTest, UnplugIsAHangUpAndReplugRecoversWithoutWaitingForFailures) {
  chassis_sim::Adapter& adapter = sim_->adapter(0);
  adapter.unplug();
  int v = 0;
  EXPECT_EQ(link_.get(1, v), Errc::hung_up);
  EXPECT_EQ(link_.get(1, v), Errc::not_found) << "each operation looks for the adapter again";
  EXPECT_TRUE(link_.is_open());
  adapter.plug();
  EXPECT_TRUE(succeeds([&] { return link_.get(1, v); }));
  EXPECT_EQ(link_.stats().reconnections, 1u);
}

TEST_F(LinkTest, MovedAndDestroyedLinksLeaveNoDescriptor) {
  const int before = test::openTtyDescriptors();
  {
    ChassisLink second;
    ASSERT_FALSE(second.open(bySerial("ABC123")));
    EXPECT_EQ(test::openTtyDescriptors(), before + 1);
    ChassisLink third(std::move(second));
    EXPECT_FALSE(second.is_open());
    EXPECT_EQ(second.set(1, 1), Errc::not_open);
    EXPECT_TRUE(succeeds([&] { return third.set(1, 1); }));
    link_ = std::move(third);  // the port link_ held is closed
    EXPECT_EQ(test::openTtyDescriptors(), before);
  }
  EXPECT_TRUE(succeeds([&] { return link_.set(1, 1); }));
  link_.close();
  EXPECT_EQ(test::openTtyDescriptors(), before - 1);
}

TEST(LinkSlowLines, SlowRatesWorkOnALinePacedAtThatRate) {
  auto sim = make_sim().add_adapter("SLOW").build();
  QuietLog log;
  for (int baud : {19200, 9600}) {
    chassis_sim::Controller& controller = sim->adapter(0).controller();
    controller.setBytePacing(std::chrono::nanoseconds(10'000'000'000L / baud));
    test::Exchanges<chassis_sim::Controller> exchanges(controller);
    ChassisLink link;
    ASSERT_FALSE(link.open(bySerial("SLOW", baud)));
    // 34 bytes on the wire each way at most: 35 ms at 9600, where the classic wait gives up
    // after 11 ms. (The longest frames fill the window up to the controller's allowance.)
    const std::string text(20, 't');
    EXPECT_TRUE(exchanges.succeed([&] { return !link.set(9, text); })) << baud;
    std::string back;
    EXPECT_TRUE(exchanges.succeed([&] { return !link.get(9, back); })) << baud;
    EXPECT_EQ(back, text);
  }
}

TEST(LinkLog, ASinkTakesEveryMessageAndStdoutStaysEmpty) {
  auto sim = make_sim().add_adapter("ABC123").build();
  sim->adapter(0).controller().inject(Fault::kNoReply);
  test::StdoutCapture out;
  QuietLog log;
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial("ABC123")));
  EXPECT_EQ(link.set(1, 1), Errc::timeout);
  SerialDriver classic{};
  std::string dev;
  EXPECT_TRUE(classic.init("ABC123", dev, 115200)) << "the classic interface's messages too";
  classic.close();
  EXPECT_EQ(out.text(), "");
  const auto lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("INFO console [serial_driver.cpp:", 0), 0u) << lines.back();
}

TEST(LinkThreads, TwoThreadsShareOneLink) {
  auto sim = make_sim().add_adapter("ABC123").build();
  QuietLog log;
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial("ABC123")));
  // A busy machine may make a reply late: its exchange times out, and the reply may then reach
  // the other thread's exchange as a foreign one. Either is tried again; a wrong value read
  // back never is.
  auto tries = [](const std::function<std::error_code()>& operation) {
    std::error_code ec = operation();
    for (int retry = 0; retry < 2 && (ec == Errc::timeout || ec == Errc::bad_reply); ++retry) {
      ec = operation();
    }
    return ec;
  };
  auto run = [&link, &tries](int entry, int* failures) {
    for (int n = 0; n < 50; ++n) {
      int back = -1;
      if (tries([&] { return link.set(entry, n); }) ||
          tries([&] { return link.get(entry, back); }) || back != n) {
        ++*failures;
      }
    }
  };
  int failures[2] = {0, 0};
  std::thread a(run, 1, &failures[0]);
  std::thread b(run, 2, &failures[1]);
  a.join();
  b.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  const auto stats = link.stats();
  EXPECT_EQ(stats.exchanges, 200u + stats.failures);
}

}  // namespace
