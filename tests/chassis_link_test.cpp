// ChassisLink end to end on the simulated chassis: every error it can report, reconnection,
// ownership of its port, slow lines, the log sink and use from two threads.
#include "serial_driver/chassis_link.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <climits>
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
      {Fault::kNoReply, false, Errc::timeout},
      {Fault::kBadChecksum, true, Errc::timeout},
      {Fault::kBangFrame, false, Errc::rejected},
      {Fault::kBangFrame, true, Errc::rejected},
      {Fault::kWrongKind, false, Errc::bad_reply},
      {Fault::kWrongKind, true, Errc::bad_reply},
      {Fault::kWrongIndex, true, Errc::bad_reply},
      {Fault::kWrongIndex, false, Errc::timeout},  // another entry's ack: ours may still come
  };
  int index = 0;
  for (const auto& row : rows) {
    int value = 42;
    // An entry of its own: a failed exchange's entry waits for its late answer to pass.
    ++index;
    const std::error_code ec = exchanges_->run<std::error_code>(row.expected, [&] {
      controller().inject(row.fault);
      return row.on_get ? link_.get(index, value) : link_.set(index, 1);
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

// Operations until one succeeds, 1 ms apart, for at most two seconds; how many it took.
int operationsUntilSuccess(const std::function<std::error_code()>& operation) {
  for (int n = 1; n <= 2000; ++n) {
    if (!operation()) return n;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

TEST_F(LinkTest, UnplugIsAHangUpAndReplugRecoversWithoutWaitingForFailures) {
  chassis_sim::Adapter& adapter = sim_->adapter(0);
  adapter.unplug();
  int v = 0;
  EXPECT_EQ(link_.get(1, v), Errc::hung_up);
  EXPECT_EQ(link_.get(1, v), Errc::not_found) << "the last lookup's error";
  EXPECT_TRUE(link_.is_open());
  adapter.plug();
  const int operations = operationsUntilSuccess([&] { return link_.get(1, v); });
  EXPECT_GT(operations, 0);
  EXPECT_LE(operations, 150) << "the link looks again at least every 100 ms";
  EXPECT_EQ(link_.stats().reconnections, 1u);
}

TEST_F(LinkTest, AnAdapterThatStaysAwayIsLookedForAtAPaceAndCostsNoDescriptors) {
  chassis_sim::Adapter& adapter = sim_->adapter(0);
  adapter.unplug();
  adapter.plug(/*node_ready=*/false);  // listed by udev, its node not there yet
  int v = 0;
  EXPECT_EQ(link_.get(1, v), Errc::hung_up);  // and the old port closed
  const int fds_before = test::openDescriptors();
  const auto began = std::chrono::steady_clock::now();
  for (int n = 0; n < 10000; ++n) ASSERT_TRUE(link_.get(1, v)) << n;
  const auto took = std::chrono::steady_clock::now() - began;
  // Fewer is fine: umockdev may close a socket of the old port's a moment later.
  EXPECT_LE(test::openDescriptors(), fds_before);
  // Lookups 5, 10, 20, 40, 80 and then 100 ms apart, against one per operation before.
  const auto lookups = link_.stats().exchanges;
  EXPECT_LE(lookups, 8 + static_cast<uint64_t>(took / std::chrono::milliseconds(100)));
  adapter.makeNodeReady();
  EXPECT_GT(operationsUntilSuccess([&] { return link_.get(1, v); }), 0);
}

TEST_F(LinkTest, ReplugsEveryFewMillisecondsBesideAPollingThreadLeaveNothingBehind) {
  const int fds_before = test::openDescriptors();
  const int ttys_before = test::openTtyDescriptors();
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    int v = 0;
    while (!stop) link_.get(1, v);
  });
  chassis_sim::Adapter& adapter = sim_->adapter(0);
  const char* seconds = getenv("REPLUG_STORM_SECONDS");  // 60 for the long run
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::seconds(seconds != nullptr ? atoi(seconds) : 3);
  for (int n = 0; std::chrono::steady_clock::now() < until; ++n) {
    adapter.unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + n % 9));
    adapter.plug();
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + (n * 7) % 9));
  }
  stop = true;
  poller.join();
  // A last replug frees what opens that raced the final unplug left in umockdev's preload.
  adapter.unplug();
  adapter.plug();
  int v = 0;
  EXPECT_GT(operationsUntilSuccess([&] { return link_.get(1, v); }), 0);
  // umockdev's own server side of a socket may close a moment after ours.
  for (int n = 0; n < 100 && test::openDescriptors() > fds_before; ++n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(test::openTtyDescriptors(), ttys_before) << "the link's ports";
  // umockdev's preload is not thread-safe: on a loaded machine an open racing the simulator's
  // release of failed-open slots can now and then strand one socket pair of its own.
  EXPECT_LE(test::openDescriptors(), fds_before + 2);
}

// A controller that talks on its own, as firmware does: a debug line every 2 ms, a "!" line
// every 30 ms, another entry's frame every 50 ms, on a line paced as a real one. Every answer
// is found among them, noise before a reply spoils nothing, every lost reply fails without
// waiting for a quiet line that never comes, and no value is another entry's.
TEST_F(LinkTest, ChatterNeitherSpoilsNorStallsAnExchange) {
  using chassis_sim::Chatter;
  controller().setLineRate(115200);
  controller().startChatter(Chatter::kText, std::chrono::milliseconds(2));
  controller().startChatter(Chatter::kBang, std::chrono::milliseconds(30));
  controller().startChatter(Chatter::kForeign, std::chrono::milliseconds(50));
  for (int index = 0; index < 8; ++index) controller().setEntry(index, std::to_string(index + 10));
  int wrong = 0;
  int unexpected = 0;
  for (int n = 0; n < 1000; ++n) {
    const int index = n % 8;
    const bool lose = n % 20 == 19;
    if (lose) controller().inject(Fault::kNoReply);
    if (n % 20 == 9) controller().inject(Fault::kNoise);
    int value = -1;
    const long answered = controller().commands();
    const auto began = std::chrono::steady_clock::now();
    const std::error_code ec = link_.get(index, value);
    if (!ec && value != index + 10) ++wrong;
    if (lose != bool(ec) && !controller().answeredLate(answered, began)) ++unexpected;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(unexpected, 0);
  const auto stats = link_.stats();
  EXPECT_GT(stats.skipped_lines, 0u);
  EXPECT_LT(stats.max_exchange, std::chrono::seconds(1)) << "no wait for a quiet line";
}

TEST_F(LinkTest, AStreamWithoutNewlinesHoldsNothingUp) {
  controller().setLineRate(115200);
  controller().startChatter(chassis_sim::Chatter::kStream, std::chrono::microseconds(100));
  controller().inject(Fault::kNoReply);
  int value = 0;
  EXPECT_TRUE(link_.get(1, value));
  EXPECT_TRUE(succeeds([&] { return link_.get(2, value); })) << "the next command goes out";
  EXPECT_GT(link_.stats().discarded_bytes, 0u);
}

TEST_F(LinkTest, ALateReplyIsNeverTakenForALaterCommandsAnswer) {
  int successes = 0;
  const int wrong = test::staleValuesAfterLateReplies(
      controller(), 200,
      [&](std::chrono::milliseconds delay) {
        controller().setLateDelay(delay);
        controller().inject(Fault::kLateReply);
      },
      [&](float v) { return !link_.set(5, v); }, [&](float* v) { return !link_.get(5, *v); },
      &successes);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(successes, 0);
  EXPECT_GT(link_.stats().stale_replies, 0u);
}

TEST_F(LinkTest, ValuesMustConvertWholeAndInRange) {
  // A reply the busy machine made late is a time-out, not the refusal under test: tried again.
  const auto refused = [&](const std::function<std::error_code()>& get) {
    return exchanges_->run<std::error_code>(Errc::bad_reply, get);
  };
  for (const char* text : {"1.9", "0x10", "2147483648", "12abc", ""}) {
    controller().setEntry(8, text);
    int value = 42;
    EXPECT_EQ(refused([&] { return link_.get(8, value); }), Errc::bad_reply) << text;
    EXPECT_EQ(value, 42);
  }
  for (const char* text : {"nan", "inf", "1e39", "0x1p3", "1.5.2"}) {
    controller().setEntry(8, text);
    float value = 4.5f;
    EXPECT_EQ(refused([&] { return link_.get(8, value); }), Errc::bad_reply) << text;
    EXPECT_EQ(value, 4.5f);
  }
  controller().setEntry(8, "-2147483648");
  int low = 0;
  EXPECT_TRUE(succeeds([&] { return link_.get(8, low); }));
  EXPECT_EQ(low, INT_MIN);
  controller().setEntry(8, "-1.25e2");
  float f = 0.0f;
  EXPECT_TRUE(succeeds([&] { return link_.get(8, f); }));
  EXPECT_EQ(f, -125.0f);
}

TEST_F(LinkTest, AnEmptyTextIsSent) {
  ASSERT_TRUE(succeeds([&] { return link_.set(5, std::string_view()); }));
  EXPECT_EQ(exchanges_->lastFrame(), test::frame("$set 5 "));
}

TEST(LinkWaits, AHugeTimeoutWaitsUntilCancelledAndTheLinkStaysUsable) {
  auto sim = make_sim().add_adapter("ABC123").build();
  chassis_sim::Controller& controller = sim->adapter(0).controller();
  QuietLog log;
  ChassisLink link;
  LinkOptions options = bySerial("ABC123");
  options.reply_timeout = std::chrono::milliseconds::max();
  ASSERT_FALSE(link.open(options));
  int v = 0;
  EXPECT_FALSE(link.get(1, v)) << "a prompt reply within a timeout that saturates";

  controller.inject(Fault::kNoReply);
  std::error_code waited;
  std::thread waiter([&] { waited = link.get(1, v); });
  while (controller.commands() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  link.cancel();
  waiter.join();
  EXPECT_EQ(waited, Errc::cancelled);
  EXPECT_FALSE(link.get(1, v)) << "after a second's resynchronisation";

  controller.inject(Fault::kNoReply);
  waiter = std::thread([&] { waited = link.get(1, v); });
  while (controller.commands() < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  link.close();  // does not wait for the reply that never comes
  waiter.join();
  EXPECT_EQ(waited, Errc::cancelled);
}

std::atomic<bool> interrupted{false};

TEST(LinkWaits, ASignalEndsAWaitWhenInterruptCheckSaysSo) {
  auto sim = make_sim().add_adapter("ABC123").build();
  chassis_sim::Controller& controller = sim->adapter(0).controller();
  QuietLog log;
  struct sigaction action = {};
  action.sa_handler = [](int) { interrupted = true; };
  sigaction(SIGUSR1, &action, nullptr);
  ChassisLink link;
  LinkOptions options = bySerial("ABC123");
  options.reply_timeout = std::chrono::seconds(30);
  int checks = 0;
  options.interrupt_check = [&] { return ++checks, interrupted.load(); };
  ASSERT_FALSE(link.open(options));
  controller.inject(Fault::kNoReply);
  std::error_code waited;
  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    int v = 0;
    waited = link.get(1, v);
    finished = true;
  });
  while (controller.commands() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Signalled until it answers: one that lands before the wait has begun interrupts nothing.
  while (!finished) {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  waiter.join();
  EXPECT_EQ(waited, Errc::cancelled);
  EXPECT_GE(checks, 1);
}

TEST(LinkLog, ASinkMayUseTheLinkWhoseMessageItTakes) {
  auto sim = make_sim().add_adapter("ABC123").build();
  ChassisLink link;
  std::atomic<int> lines{0};
  serial_driver::setLogSink([&](LogLevel, const std::string&) {
    ++lines;
    (void)link.stats();  // waited for the lock the link held while it logged
    (void)link.is_open();
  });
  ASSERT_FALSE(link.open(bySerial("ABC123")));
  sim->adapter(0).unplug();
  int v = 0;
  EXPECT_EQ(link.get(1, v), Errc::hung_up);
  serial_driver::setLogSink(nullptr);
  EXPECT_GT(lines.load(), 0);
}

TEST_F(LinkTest, MovedAndDestroyedLinksLeaveNoDescriptor) {
  const int before = test::openTtyDescriptors();
  {
    ChassisLink second;
    LinkOptions sharing = bySerial("ABC123");
    sharing.exclusive = false;  // beside the fixture's link
    ASSERT_FALSE(second.open(sharing));
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
  link.close();
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

TEST(LinkThreads, DestroyedWhileOtherThreadsAreInsideItsCalls) {
  auto sim = make_sim().add_adapter("ABC123").build();
  QuietLog log;
  chassis_sim::Controller& controller = sim->adapter(0).controller();
  std::atomic<bool> waiting_for_turn{false};
  std::atomic<bool> destroying{false};
  LinkOptions options = bySerial("ABC123");
  options.reply_timeout = std::chrono::milliseconds::max();
  // Asked only by a thread waiting for its turn, without the turn's lock: it stays out while
  // the link is destroyed, and a destructor that did not wait for it would be done by then.
  options.interrupt_check = [&] {
    waiting_for_turn = true;
    while (!destroying) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return false;
  };
  auto link = std::make_unique<ChassisLink>();
  ASSERT_FALSE(link->open(options));
  controller.inject(Fault::kNoReply);
  std::error_code holder_result;
  std::error_code waiter_result;
  std::thread holder([&] {
    int v = 0;
    holder_result = link->get(1, v);
  });
  while (controller.received().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread waiter([&] { waiter_result = link->set(2, 2); });
  while (!waiting_for_turn) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  destroying = true;
  link.reset();
  holder.join();
  waiter.join();
  EXPECT_EQ(holder_result, Errc::cancelled);
  EXPECT_EQ(waiter_result, Errc::cancelled);
}

}  // namespace
