// The reply waits, fed exact bytes through a pseudo-terminal.
#include <dlfcn.h>
#include <poll.h>

#include <cstring>
#include <functional>
#include <string>

#include "chassis_sim/conditions.h"
#include "serial_driver/serial_driver.h"
#include "serial_driver/uart.h"
#include "test_helpers.h"

// Reads on the port under test are counted on their way to the real read(), so a test can tell
// how many polls a wait made, and act between two polls, without timing anything.
static int watched_fd = -1;
static int watched_reads = 0;
static std::function<void(int)> after_watched_read;
extern "C" ssize_t read(int fd, void* buf, size_t count) {
  using Real = ssize_t (*)(int, void*, size_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "read"));
  const ssize_t n = real(fd, buf, count);
  if (fd == watched_fd && fd >= 0) {
    ++watched_reads;
    if (after_watched_read) after_watched_read(watched_reads);
  }
  return n;
}

namespace {

using test::frame;

using test::StdoutCapture;
using test::withoutLineNumber;

class WaitTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    fd_ = uart_open_no_block(pty_.slavePath().c_str());
    ASSERT_GT(fd_, 0);
    ASSERT_EQ(uart_set(fd_, 115200, 0, 8, 1, 'N'), 1);
    watched_fd = fd_;
  }
  void TearDown() override {
    watched_fd = -1;
    after_watched_read = nullptr;
    uart_close(fd_);
  }

  // Blocks until bytes written on the master can be read on the port.
  void awaitInput() {
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, 5000);
  }

  // Runs checkAck(fd, 5) with bytes already waiting; returns its result and log lines.
  int ack(const std::string& waiting, std::vector<std::string>* lines = nullptr) {
    if (!waiting.empty()) pty_.send(waiting);
    StdoutCapture out;
    watched_reads = 0;
    const int result = checkAck(fd_, 5);
    auto captured = out.lines();
    if (lines != nullptr) *lines = captured;
    return result;
  }

  template <typename T>
  int feedback(const std::string& waiting, int data_type, T* value,
               std::vector<std::string>* lines) {
    if (!waiting.empty()) pty_.send(waiting);
    StdoutCapture out;
    watched_reads = 0;
    const int result = getFeedback(fd_, 5, data_type, value);
    *lines = out.lines();
    return result;
  }

  test::PtyPair pty_;
  int fd_ = 0;
};

// Log lines without line numbers, joined, for compact comparisons.
std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += withoutLineNumber(line) + "|";
  return all;
}

TEST_F(WaitTest, AckForTheIndexIsAcceptedAtOnce) {
  std::vector<std::string> lines;
  EXPECT_EQ(ack(frame("$ack 5"), &lines), 1);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(ack(frame("$ack 5abc")), 1) << "the index is read as %d reads it";
  EXPECT_EQ(ack(frame("$ack 5 extra words")), 1) << "token 2 is ignored";
}

TEST_F(WaitTest, AckInTwoPiecesIsTakenWhenTheNewlineArrives) {
  const std::string whole = frame("$ack 5");
  pty_.send(whole.substr(0, 6));
  after_watched_read = [&](int n) {
    if (n != 1) return;
    ASSERT_EQ(write(pty_.master(), whole.data() + 6, 2), 2);
    awaitInput();
  };
  watched_reads = 0;
  EXPECT_EQ(checkAck(fd_, 5), 1);
  EXPECT_EQ(watched_reads, 2) << "taken by the read that brought the newline";
}

TEST_F(WaitTest, OtherRepliesEndTheAckWaitAtOnceWithoutAMessage) {
  for (const std::string& reply : {frame("$fdb 5 1.0"), std::string("!busy\n"), frame("$ack x"),
                                   frame("$ack  5"), frame("$ACK 5")}) {
    std::vector<std::string> lines;
    EXPECT_EQ(ack(reply, &lines), 0) << reply;
    EXPECT_TRUE(lines.empty()) << reply;
    EXPECT_EQ(watched_reads, 1) << "decided on the first poll, not after the full wait: " << reply;
  }
}

TEST_F(WaitTest, AckWaitTimesOutWithTheBufferInTheMessage) {
  std::vector<std::string> lines;
  const std::string wrong = frame("$ack 6");
  EXPECT_EQ(ack(wrong, &lines), 0) << "an acknowledgement of another entry is no answer";
  EXPECT_EQ(joined(lines), "WARN [serial_driver.cpp checkAck]; receive buf: ; " +
                               wrong.substr(0, wrong.size() - 1) + "||" +
                               "WARN [serial_driver.cpp checkAck]; receive overtime:11 ms|");

  EXPECT_EQ(ack("", &lines), 0);
  EXPECT_EQ(joined(lines),
            "WARN [serial_driver.cpp checkAck]; receive buf: ; |"
            "WARN [serial_driver.cpp checkAck]; receive overtime:11 ms|");

  EXPECT_EQ(ack("x" + frame("$ack 5"), &lines), 0) << "noise before the frame";
  EXPECT_EQ(ack(frame("$ack 5") + frame("$ack 5"), &lines), 0) << "two frames";
  EXPECT_EQ(ack(frame("$ack 5").replace(6, 1, "?"), &lines), 0) << "bad checksum";
}

TEST_F(WaitTest, AckWaitStopsReadingWhenTheBufferIsFull) {
  std::vector<std::string> lines;
  EXPECT_EQ(ack(std::string(100, 'n'), &lines), 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(withoutLineNumber(lines[0]),
            "WARN [serial_driver.cpp checkAck]; receive buf: ; " + std::string(64, 'n'));
  char rest[64];
  EXPECT_EQ(uart_recv(fd_, rest, sizeof rest), 36) << "bytes past the buffer stay queued";
}

TEST(WaitOnBadPort, ReadErrorsNeverCorruptTheCount) {
  StdoutCapture out;
  EXPECT_EQ(checkAck(-1, 5), 0);
  int value = 42;
  EXPECT_EQ(getFeedback(-1, 5, kValueInt, &value), 0);
  EXPECT_EQ(value, 42);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(withoutLineNumber(lines[0]), "WARN [serial_driver.cpp checkAck]; receive buf: ; ");
  EXPECT_EQ(withoutLineNumber(lines[3]),
            "ERROR [serial_driver.cpp getFeedback]; receive overtime:11 ms");
}

TEST_F(WaitTest, FeedbackStoresTheValueByType) {
  std::vector<std::string> lines;
  float f = 0.0f;
  EXPECT_EQ(feedback(frame("$fdb 5 1.500"), kValueFloat, &f, &lines), 1);
  EXPECT_FLOAT_EQ(f, 1.5f);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(feedback(frame("$fdb 5 1.5abc"), kValueFloat, &f, &lines), 1);
  EXPECT_EQ(feedback(frame("$fdb 5 -2e3"), kValueFloat, &f, &lines), 1);
  EXPECT_FLOAT_EQ(f, -2000.0f);

  int i = 0;
  EXPECT_EQ(feedback(frame("$fdb 5 -3"), kValueInt, &i, &lines), 1);
  EXPECT_EQ(i, -3);
  EXPECT_EQ(feedback(frame("$fdb 5 12 rpm"), kValueInt, &i, &lines), 1);
  EXPECT_EQ(i, 12);

  char text[64];
  memset(text, '#', sizeof text);
  EXPECT_EQ(feedback(frame("$fdb 5 hello world"), kValueText, text, &lines), 1);
  EXPECT_STREQ(text, "hello world");
  EXPECT_EQ(text[12], '#') << "12 bytes are stored, no more";
  EXPECT_EQ(feedback(frame("$fdb 5"), kValueText, text, &lines), 1);
  EXPECT_STREQ(text, "");

  const std::string longest(55, 'v');
  char exact[56];
  EXPECT_EQ(feedback(frame("$fdb 5 " + longest), kValueText, exact, &lines), 1);
  EXPECT_EQ(std::string(exact), longest);

  int untouched = 99;
  EXPECT_EQ(feedback(frame("$fdb 5 7"), 4, &untouched, &lines), 1) << "unknown type code";
  EXPECT_EQ(untouched, 99);
}

TEST_F(WaitTest, FeedbackFailuresAreDecidedByTheFirstFrameAndLogged) {
  struct Row {
    std::string reply;
    int type;
    std::string line;
  };
  const std::string prefix = "ERROR [serial_driver.cpp getFeedback]; ";
  const Row rows[] = {
      {frame("$fdb 5 abc"), kValueFloat, "get data value error"},
      {frame("$fdb 5"), kValueInt, "get data value error"},
      {frame("$fdb 5"), kValueFloat, "get data value error"},
      {frame("$fdb 7 1.500"), kValueFloat, "index value error, index_fdb:7, index:5"},
      {frame("$ack 5"), kValueFloat, "not feedback string"},
      {"!busy\n", kValueFloat, "not feedback string"},
      {frame("$fdb x 1.0"), kValueFloat, "get feedback index error"},
      // Out of int's range: 4294967301 would wrap to 5, 99999999999 to a wrong value.
      {frame("$fdb 4294967301 1"), kValueInt, "get feedback index error"},
      {frame("$fdb 5 99999999999"), kValueInt, "get data value error"},
      {frame("$fdb 5 -2147483649"), kValueInt, "get data value error"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> lines;
    float value = 42.0f;  // as wide as an int: both types are stored in 4 bytes
    EXPECT_EQ(feedback(row.reply, row.type, &value, &lines), 0) << row.reply;
    EXPECT_EQ(joined(lines), prefix + row.line + "|") << row.reply;
    EXPECT_EQ(value, 42.0f) << "nothing is stored on failure: " << row.reply;
    EXPECT_EQ(watched_reads, 1) << "no further polls: " << row.reply;
  }
}

TEST_F(WaitTest, IntsAtTheEdgesOfTheRangeConvertAndBeyondThemDoNot) {
  std::vector<std::string> lines;
  int i = 0;
  EXPECT_EQ(feedback(frame("$fdb 5 -2147483648"), kValueInt, &i, &lines), 1);
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_EQ(feedback(frame("$fdb 5 2147483647"), kValueInt, &i, &lines), 1);
  EXPECT_EQ(i, INT32_MAX);
  EXPECT_EQ(ack(frame("$ack 4294967301")), 0) << "wraps to 5 if converted unchecked";
  EXPECT_EQ(watched_reads, 1) << "a failed conversion ends the wait";
}

TEST_F(WaitTest, TimerSignalsDoNotShortenTheWait) {
  const auto start = std::chrono::steady_clock::now();
  {
    chassis_sim::SignalTimer timer(std::chrono::microseconds(250));
    std::vector<std::string> lines;
    EXPECT_EQ(ack("", &lines), 0);
    EXPECT_GT(timer.count(), 0);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(11))
      << "11 pauses of 1 ms each, however often a signal cuts one short";
}

TEST_F(WaitTest, FeedbackTimeOutLogsWarnThenError) {
  std::vector<std::string> lines;
  float value = 42.0f;
  EXPECT_EQ(feedback("", kValueFloat, &value, &lines), 0);
  EXPECT_EQ(joined(lines),
            "WARN [serial_driver.cpp getFeedback]; receive buf: ; |"
            "ERROR [serial_driver.cpp getFeedback]; receive overtime:11 ms|");
  EXPECT_EQ(feedback("~" + frame("$fdb 5 1.0"), kValueFloat, &value, &lines), 0);
  EXPECT_EQ(value, 42.0f);
}

}  // namespace
