// Batches on the simulated chassis: at a window of 1 a batch is the single calls; with more
// commands in flight on a full-duplex line, replies are matched by kind and index and no get
// ever takes another command's value, whatever the faults, the chatter or the overruns.
#include "serial_driver/batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver/chassis_link.h"
#include "test_helpers.h"

namespace {

using chassis_sim::Fault;
using serial_driver::Batch;
using serial_driver::ChassisLink;
using serial_driver::Errc;

class BatchTest : public testing::Test {
 protected:
  // A reply deadline no loaded machine comes near: only the faults make items fail.
  void openLink(int max_in_flight, const chassis_sim::LineModel& line = {}) {
    chassis_sim::AdapterConfig config;
    config.serial = "ABC123";
    config.baud = 115200;
    config.line = line;
    sim_ = chassis_sim::make_sim().add_adapter(config).build();
    serial_driver::LinkOptions options;
    options.serial = "ABC123";
    options.reply_timeout = std::chrono::milliseconds(200);
    options.max_in_flight = max_in_flight;
    ASSERT_FALSE(link_.open(options));
  }
  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }

  std::unique_ptr<chassis_sim::Testbed> sim_;
  ChassisLink link_;
};

TEST_F(BatchTest, AtAWindowOfOneABatchIsTheSingleCallsInOrder) {
  openLink(1);
  controller().setEntry(5, "2.500");
  controller().setEntry(7, "-3");
  float f = 0.0f;
  int i = 0;
  std::string text = "unchanged";
  Batch batch;
  batch.get(5, f);
  batch.set(6, 1.5f);
  batch.set(1, NAN);
  batch.get(7, i);
  batch.set(8, "hello world");
  batch.get(8, text);
  EXPECT_EQ(link_.exchange(batch), Errc::bad_value) << "the first failure in item order";
  ASSERT_EQ(batch.size(), 6u);
  for (size_t n : {0, 1, 3, 4, 5}) EXPECT_FALSE(batch.result(n)) << n;
  EXPECT_EQ(batch.result(2), Errc::bad_value);
  EXPECT_EQ(batch.result(6), Errc::bad_value) << "past the end: an error, not an exception";
  EXPECT_EQ(f, 2.5f);
  EXPECT_EQ(i, -3);
  EXPECT_EQ(text, "hello world");
  const std::vector<std::string> sent = {test::frame("$get 5"), test::frame("$set 6 1.500"),
                                         test::frame("$get 7"), test::frame("$set 8 hello world"),
                                         test::frame("$get 8")};
  EXPECT_EQ(controller().received(), sent) << "the bytes the single calls send";

  // Reused: the same bytes again, and nothing refused twice.
  controller().clearReceived();
  batch.clear();
  batch.get(5, f);
  batch.get(5, f);
  EXPECT_FALSE(link_.exchange(batch));
  EXPECT_EQ(controller().received(), std::vector<std::string>(2, test::frame("$get 5")));

  // Nothing to send is no success on a closed link.
  Batch empty;
  EXPECT_FALSE(link_.exchange(empty));
  link_.close();
  EXPECT_EQ(link_.exchange(empty), Errc::not_open);
}

// A robot's cycle of gets and sets, four in flight, on a full-duplex line with a controller
// that chatters, loses, delays and garbles replies now and then. Entries are two apart and gets
// and sets use different ones, so a reply that names the wrong entry or kind names no item.
TEST_F(BatchTest, FourInFlightNeverGiveAGetAnotherCommandsValue) {
  openLink(4, chassis_sim::LineModel{true, 256, std::chrono::microseconds(20), false});
  controller().startChatter(chassis_sim::Chatter::kText, std::chrono::milliseconds(2));
  controller().startChatter(chassis_sim::Chatter::kForeign, std::chrono::milliseconds(5));
  controller().setLateDelay(std::chrono::milliseconds(250));
  const Fault faults[] = {Fault::kNoReply,    Fault::kLateReply, Fault::kBadChecksum,
                          Fault::kWrongIndex, Fault::kWrongKind, Fault::kSplitReply,
                          Fault::kNoise,      Fault::kBangFrame};
  std::mt19937 random(7);
  int wrong = 0;
  int failed = 0;
  int injected = 0;
  for (int cycle = 0; cycle < 25; ++cycle) {
    for (int n = 0; n < 6; ++n) controller().setEntry(10 + 2 * n, std::to_string(cycle * 10 + n));
    if (cycle >= 5 && random() % 2 == 0) {
      controller().inject(faults[random() % std::size(faults)]);
      ++injected;
    }
    int got[6] = {};
    Batch batch;
    for (int n = 0; n < 6; ++n) {
      batch.get(10 + 2 * n, got[n]);
      batch.set(30 + 2 * n, cycle + n);
    }
    batch.get(10, got[0]);  // the same entry twice: the second waits for the first's reply
    const std::error_code ec = link_.exchange(batch);
    if (cycle < 5) {
      EXPECT_FALSE(ec) << "cycle " << cycle << ": " << ec.message();
    }
    for (size_t item = 0; item < batch.size(); ++item) {
      if (batch.result(item)) ++failed;
      const int n = static_cast<int>(item % 12) / 2;
      if (item % 2 == 0 && !batch.result(item) && got[n] != cycle * 10 + n) ++wrong;
    }
    controller().waitIdle();
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(failed, 0) << "the faults cost some items";
  EXPECT_LE(failed, 13 * injected) << "a fault costs at most its cycle";
  EXPECT_GT(link_.stats().skipped_lines, 0u);
}

// A window larger than the controller's receive ring loses commands to overruns: each lost one
// fails, and none gives a wrong value.
TEST_F(BatchTest, AWindowLargerThanTheRingLosesCommandsNotValues) {
  // A firmware that takes 20 ms a command cannot keep a 3-command ring free, however slowly
  // this machine writes the 8 commands.
  openLink(8, chassis_sim::LineModel{true, 24, std::chrono::milliseconds(20), true});
  for (int n = 0; n < 8; ++n) controller().setEntry(n, std::to_string(100 + n));
  int got[8] = {};
  Batch batch;
  for (int n = 0; n < 8; ++n) batch.get(n, got[n]);
  link_.exchange(batch);
  int failed = 0;
  for (int n = 0; n < 8; ++n) {
    if (batch.result(n)) {
      ++failed;
      EXPECT_EQ(got[n], 0) << "a failed get leaves its value alone";
    } else {
      EXPECT_EQ(got[n], 100 + n);
    }
  }
  EXPECT_GT(controller().overruns(), 0);
  EXPECT_GT(failed, 0);
}

TEST_F(BatchTest, AnUnplugFailsTheRestAndTheLinkComesBack) {
  openLink(4, chassis_sim::LineModel{true, 256, std::chrono::microseconds(20), false});
  controller().setLineRate(1200);  // slow enough to pull the adapter out mid-batch
  std::vector<int> got(12);
  Batch batch;
  for (int n = 0; n < 12; ++n) batch.get(n, got[n]);
  std::thread unplug([&] {
    while (controller().commands() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sim_->adapter(0).unplug();
  });
  EXPECT_EQ(link_.exchange(batch), Errc::hung_up);
  unplug.join();
  EXPECT_EQ(batch.result(11), Errc::hung_up) << "the rest fail at once";
  sim_->adapter(0).plug();
  controller().setLineRate(115200);
  Batch again;
  int value = -1;
  again.get(3, value);
  std::error_code ec;
  for (int attempt = 0; attempt < 50 && (ec = link_.exchange(again)); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(value, 0);
}

// Single calls and batches from three threads, each on entries of its own, while another
// thread cancels again and again and another reads the statistics. A get gives the thread's
// last value set or one of the sets that failed after it (a failed set may still have been
// stored); every call ends; afterwards the link works as before.
TEST_F(BatchTest, ThreadsCancelsAndStatisticsTogetherGiveNoWrongValueAndNoEndlessCall) {
  openLink(8, chassis_sim::LineModel{true, 256, std::chrono::microseconds(20), false});
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::atomic<int> running{3};
  auto worker = [&](int first, bool batches) {
    std::map<int, std::vector<int>> maybe;  // entry -> the values it may hold
    for (int entry = first; entry < first + 3; ++entry) maybe[entry] = {0};
    for (int round = 0; !stop; ++round) {
      const int entry = first + round % 3;
      const int value = first * 100000 + round;
      int got = -1;
      int other = -1;
      std::error_code set_ec, get_ec;
      if (batches) {
        Batch batch;
        batch.set(entry, value);
        batch.get(entry, got);
        batch.get(first + (round + 1) % 3, other);
        link_.exchange(batch);
        set_ec = batch.result(0);
        get_ec = batch.result(1);
      } else {
        set_ec = link_.set(entry, value);
        get_ec = link_.get(entry, got);
      }
      if (!set_ec) maybe[entry].clear();
      maybe[entry].push_back(value);
      const auto& allowed = maybe[entry];
      if (!get_ec && std::find(allowed.begin(), allowed.end(), got) == allowed.end()) ++wrong;
    }
    --running;
  };
  std::vector<std::thread> threads;
  threads.emplace_back(worker, 10, false);
  threads.emplace_back(worker, 20, true);
  threads.emplace_back(worker, 30, true);
  threads.emplace_back([&] {
    while (!stop) link_.cancel();
  });
  threads.emplace_back([&] {
    while (!stop) (void)link_.stats();
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  // A call ends within its reply deadline and a second per item; one still running long after
  // is ended here, so the test fails instead of hanging.
  for (int n = 0; n < 2000 && running > 0; ++n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(running, 0) << "a call outlived its bound after the last cancel()";
  while (running > 0) {
    link_.cancel();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  // A busy machine may make a reply late: tried again, after its late answer's wait.
  const auto tries = [](const std::function<std::error_code()>& operation) {
    std::error_code ec = operation();
    for (int retry = 0; retry < 2 && ec; ++retry) ec = operation();
    return ec;
  };
  for (int entry : {10, 20, 30}) {
    int got = -1;
    EXPECT_FALSE(tries([&] { return link_.set(entry, 7); }));
    EXPECT_FALSE(tries([&] { return link_.get(entry, got); }));
    EXPECT_EQ(got, 7);
  }
}

}  // namespace
