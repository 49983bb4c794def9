// The simulated controller itself: each fault does to the reply what it says, on the wire.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "chassis_sim/controller.h"
#include "test_helpers.h"

namespace {

using chassis_sim::Chatter;
using chassis_sim::Controller;
using chassis_sim::Fault;
using chassis_sim::LineModel;
using Clock = std::chrono::steady_clock;

LineModel duplexLine(size_t ring_bytes = 256,
                     std::chrono::nanoseconds processing = std::chrono::microseconds(20),
                     bool blocking_firmware = false) {
  LineModel model;
  model.duplex = true;
  model.ring_bytes = ring_bytes;
  model.processing = processing;
  model.blocking_firmware = blocking_firmware;
  return model;
}

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
  void send(const std::string& bytes) {
    ASSERT_EQ(write(port_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `done` holds for what came, nothing more came for two seconds, or ten
  // seconds passed (a line that never stops talking).
  std::string collectUntil(const std::function<bool(const std::string&)>& done) {
    std::string got;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (!done(got) && Clock::now() < until) {
      pollfd p{port_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) break;
      char buf[128];
      const ssize_t n = read(port_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
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
  for (const LineModel& model : {LineModel(), duplexLine()}) {
    SCOPED_TRACE(model.duplex ? "duplex line" : "sequential line");
    controller_.setLineModel(model);
    controller_.setEntry(3, "2.500");
    for (const auto& row : rows) {
      controller_.inject(row.fault);
      EXPECT_EQ(exchange(row.command, window), row.reply) << chassis_sim::faultName(row.fault);
    }
    controller_.inject(Fault::kNoReply);
    exchange("$set 3 7", std::chrono::milliseconds(50));
    EXPECT_EQ(controller_.entry(3), "7") << "a lost reply's command still takes effect";
  }
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

// Chatter of every kind, on a paced line, around replies: everything that arrives is a whole
// reply, a whole chatter line or stream bytes, and exactly what the controller counted.
TEST_F(SimulatedController, ChatterComesInWholeLinesBetweenReplies) {
  // Counts by part: the four kinds of chatter (stream bytes are digits), then replies.
  constexpr int kReplies = 4;
  const std::vector<std::pair<std::string, int>> parts = {
      {test::frame("$fdb 3 2.500"), kReplies},
      {"dbg: imu ok\n", static_cast<int>(Chatter::kText)},
      {"!low battery\n", static_cast<int>(Chatter::kBang)},
      {test::frame("$fdb 99 0.000"), static_cast<int>(Chatter::kForeign)},
      {test::frame("$ack 99"), static_cast<int>(Chatter::kForeign)},
  };
  const Chatter kinds[] = {Chatter::kText, Chatter::kBang, Chatter::kForeign, Chatter::kStream};
  long seen[5];
  bool partial = false;
  // Splits what came into its parts; false at a byte that belongs to none. A part still
  // coming at the end sets `partial`.
  const auto parse = [&](const std::string& got) {
    std::fill(std::begin(seen), std::end(seen), 0);
    partial = false;
    for (size_t at = 0; at < got.size();) {
      if (isdigit(static_cast<unsigned char>(got[at]))) {
        ++seen[static_cast<int>(Chatter::kStream)];
        ++at;
        continue;
      }
      bool matched = false;
      for (const auto& [part, slot] : parts) {
        if (got.compare(at, part.size(), part) == 0) {
          ++seen[slot];
          at += part.size();
          matched = true;
          break;
        }
        if (got.size() - at < part.size() && part.compare(0, got.size() - at, got, at) == 0) {
          partial = true;
          return true;
        }
      }
      if (!matched) return false;
    }
    return true;
  };

  controller_.setLineRate(115200);
  for (const LineModel& model : {LineModel(), duplexLine()}) {
    SCOPED_TRACE(model.duplex ? "duplex line" : "sequential line");
    controller_.setLineModel(model);
    long sent[4];
    for (Chatter kind : kinds) sent[static_cast<int>(kind)] = -controller_.chatterSent(kind);
    // About two thirds of what the line carries.
    controller_.startChatter(Chatter::kText, std::chrono::microseconds(4000));
    controller_.startChatter(Chatter::kBang, std::chrono::microseconds(6000));
    controller_.startChatter(Chatter::kForeign, std::chrono::microseconds(8000));
    controller_.startChatter(Chatter::kStream, std::chrono::microseconds(2000));

    std::string got;
    long commands = 0;
    const auto every_kind_came = [&] {
      return std::all_of(std::begin(seen), std::begin(seen) + 4, [](long n) { return n >= 3; });
    };
    while (commands < 500 && !(parse(got) && every_kind_came())) {
      send(test::frame("$get 3"));
      ++commands;
      got += collectUntil([&](const std::string& more) {
        return !parse(got + more) || seen[kReplies] == commands;
      });
      if (!parse(got) || seen[kReplies] != commands) break;
    }
    controller_.stopChatter();
    controller_.waitIdle();
    for (Chatter kind : kinds) sent[static_cast<int>(kind)] += controller_.chatterSent(kind);
    got += collectUntil([&](const std::string& more) {
      return !parse(got + more) || std::equal(std::begin(sent), std::end(sent), seen);
    });

    ASSERT_TRUE(parse(got) && !partial)
        << "a byte inside a reply or a line that is not whole: " << testing::PrintToString(got);
    EXPECT_EQ(seen[kReplies], commands);
    for (Chatter kind : kinds) {
      const int k = static_cast<int>(kind);
      EXPECT_GE(seen[k], 3) << chassis_sim::chatterName(kind);
      EXPECT_EQ(seen[k], sent[k]) << chassis_sim::chatterName(kind);
    }
  }
}

// The full-duplex line: the receive ring loses what arrives while it is full, the firmware
// takes frames whole, replies keep their order, and a blocking firmware takes nothing while its
// reply is waiting to go out.
class DuplexLine : public SimulatedController {
 protected:
  void SetUp() override {
    SimulatedController::SetUp();
    controller_.setLineRate(115200);
    for (int i = 1; i <= 9; ++i) controller_.setEntry(i, std::to_string(i));
  }
  static std::string get(int index) { return test::frame("$get " + std::to_string(index)); }
  static std::string fdb(int index) {
    return test::frame("$fdb " + std::to_string(index) + " " + std::to_string(index));
  }
  std::string replies(size_t size) {
    return collectUntil([size](const std::string& got) { return got.size() >= size; });
  }
};

TEST_F(DuplexLine, AFullRingLosesBytesAndAFragmentDoesNotWedgeIt) {
  // Long enough that all of the burst arrives while the first command is handled.
  controller_.setLineModel(duplexLine(28, std::chrono::milliseconds(100)));
  std::string burst;
  for (int i = 1; i <= 8; ++i) burst += get(i);  // 8 bytes each
  send(burst);
  // The first frame leaves the ring at once; 3 frames and "$get" of the fifth fill it.
  const std::string expected = fdb(1) + fdb(2) + fdb(3) + fdb(4);
  EXPECT_EQ(replies(expected.size()), expected);
  EXPECT_EQ(controller_.overruns(), 64 - 8 - 28);
  send(get(9));
  EXPECT_EQ(replies(fdb(9).size()), fdb(9)) << "the fragment before it is dropped";
  EXPECT_EQ(controller_.commands(), 5);
}

TEST_F(DuplexLine, PipelinedCommandsAreAnsweredInOrder) {
  controller_.setLineModel(duplexLine());
  std::string cycle;
  std::string expected;
  std::vector<std::string> frames;
  for (int i = 0; i < 6; ++i) {
    const std::string get = "$get " + std::to_string(10 + 2 * i);
    const std::string set = "$set " + std::to_string(11 + 2 * i) + " 0.250";
    controller_.setEntry(10 + 2 * i, "1.500");
    for (const std::string& text : {get, set}) frames.push_back(test::frame(text));
    expected += test::frame("$fdb " + std::to_string(10 + 2 * i) + " 1.500");
    expected += test::frame("$ack " + std::to_string(11 + 2 * i));
  }
  for (const std::string& frame : frames) cycle += frame;
  send(cycle);
  EXPECT_EQ(replies(expected.size()), expected);
  controller_.waitIdle();
  EXPECT_EQ(controller_.received(), frames);
  EXPECT_EQ(controller_.entry(21), "0.250");
  EXPECT_EQ(controller_.overruns(), 0);
}

TEST_F(DuplexLine, BlockingFirmwareTakesNothingWhileItsReplyWaits) {
  // A late first reply keeps a blocking firmware from the ring, which then fills; a firmware
  // that does not block takes every command and queues the replies behind the late one.
  controller_.setLateDelay(std::chrono::milliseconds(300));
  for (bool blocking : {true, false}) {
    SCOPED_TRACE(blocking ? "blocking firmware" : "non-blocking firmware");
    controller_.setLineModel(duplexLine(16, std::chrono::microseconds(20), blocking));
    const long overruns_before = controller_.overruns();
    const long commands_before = controller_.commands();
    controller_.inject(Fault::kLateReply);
    send(get(1) + get(2) + get(3) + get(4));
    const std::string expected =
        blocking ? fdb(1) + fdb(2) + fdb(3) : fdb(1) + fdb(2) + fdb(3) + fdb(4);
    EXPECT_EQ(replies(expected.size()), expected);
    controller_.waitIdle();
    EXPECT_EQ(controller_.overruns() - overruns_before, blocking ? 8 : 0);
    EXPECT_EQ(controller_.commands() - commands_before, blocking ? 3 : 4);
  }
}

TEST(SimulatedControllerSettings, OutOfRangeSettingsAreRefused) {
  Controller controller;
  EXPECT_THROW(controller.setBytePacing(std::chrono::nanoseconds(-1)), std::invalid_argument);
  EXPECT_THROW(controller.setLineRate(-1), std::invalid_argument);
  EXPECT_THROW(controller.setLineModel(duplexLine(0)), std::invalid_argument);
  EXPECT_THROW(controller.setLineModel(duplexLine(256, std::chrono::nanoseconds(-1))),
               std::invalid_argument);
  EXPECT_THROW(controller.startChatter(Chatter::kText, std::chrono::microseconds(0)),
               std::invalid_argument);
}

}  // namespace
