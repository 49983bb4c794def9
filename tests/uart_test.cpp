// The serial line on pseudo-terminals: opening, line settings, transfers.
#include "serial_driver/uart.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "test_helpers.h"

// A pty keeps only some termios bits (it forces CS8 and no parity), so the settings the library
// hands to the kernel are recorded here on their way to the real tcsetattr.
static termios last_applied;
extern "C" int tcsetattr(int fd, int optional_actions, const termios* settings) {
  using Real = int (*)(int, int, const termios*);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
  last_applied = *settings;
  return real(fd, optional_actions, settings);
}

// Makes the next reads and writes fail with EINTR, as when a signal arrives at the wrong moment.
static int interrupt_next_io = 0;
extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  using Real = ssize_t (*)(int, const void*, size_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
  if (interrupt_next_io > 0 && fd > 2) {
    --interrupt_next_io;
    errno = EINTR;
    return -1;
  }
  return real(fd, buf, count);
}
extern "C" ssize_t read(int fd, void* buf, size_t count) {
  using Real = ssize_t (*)(int, void*, size_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "read"));
  if (interrupt_next_io > 0 && fd > 2) {
    --interrupt_next_io;
    errno = EINTR;
    return -1;
  }
  return real(fd, buf, count);
}

namespace {

using test::StdoutCapture;
using test::withoutLineNumber;

class UartTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok()); }
  void TearDown() override {
    if (fd_ > 0) uart_close(fd_);
  }
  int openPort() {
    fd_ = uart_open_no_block(pty_.slavePath().c_str());
    return fd_;
  }
  termios settings() {
    termios t{};
    EXPECT_EQ(tcgetattr(fd_, &t), 0);
    return t;
  }

  test::PtyPair pty_;
  int fd_ = 0;
};

std::string tempPath(const char* name) {
  return testing::TempDir() + "/" + name + std::to_string(getpid());
}

TEST_F(UartTest, OpenNoBlockGivesANonBlockingCloseOnExecDescriptor) {
  StdoutCapture out;
  ASSERT_GT(openPort(), 0);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(withoutLineNumber(lines[0]), "INFO [uart.cpp uart_open_no_block]; Open Serial Port!");
  EXPECT_EQ(withoutLineNumber(lines[1]),
            "INFO [uart.cpp uart_open_no_block]; fd->open=; " + std::to_string(fd_));
  EXPECT_TRUE(fcntl(fd_, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd_, F_GETFD) & FD_CLOEXEC) << "the port must not leak into child programs";
  char buf[8] = "keep";
  EXPECT_EQ(uart_recv_no_block(fd_, buf, sizeof buf), 0) << "nothing waiting returns at once";
  EXPECT_STREQ(buf, "keep");
}

TEST_F(UartTest, BlockingOpenClearsStatusFlags) {
  StdoutCapture out;
  fd_ = uart_open(pty_.slavePath().c_str());
  ASSERT_GT(fd_, 0);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(withoutLineNumber(lines[0]), "INFO [uart.cpp uart_open]; fcntl=0");
  EXPECT_EQ(withoutLineNumber(lines[1]),
            "INFO [uart.cpp uart_open]; fd->open=; " + std::to_string(fd_));
  EXPECT_FALSE(fcntl(fd_, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(fd_, F_GETFD) & FD_CLOEXEC);
}

TEST(UartOpen, MissingPathFailsAndCreatesNothing) {
  const std::string path = tempPath("no-such-tty");
  StdoutCapture out;
  EXPECT_EQ(uart_open_no_block(path.c_str()), 0);
  EXPECT_EQ(uart_open(path.c_str()), 0);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 4u) << "each failure line is followed by one with the cause";
  EXPECT_EQ(withoutLineNumber(lines[0]),
            "ERROR [uart.cpp uart_open_no_block]; Can't Open Serial Port");
  EXPECT_EQ(withoutLineNumber(lines[1]),
            "ERROR [uart.cpp uart_open_no_block]; " + path + "; No such file or directory");
  EXPECT_EQ(withoutLineNumber(lines[2]),
            "WARN [uart.cpp uart_open]; Can't Open Serial Port, ReOpen again");
  struct stat st {};
  EXPECT_NE(lstat(path.c_str(), &st), 0) << "a failed open must leave no FIFO behind";
  EXPECT_EQ(uart_open(path.c_str()), 0) << "a second open must fail as well";
}

TEST(UartOpen, APortNeverTakesAStandardStreamsNumber) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  int saved[3];
  fflush(nullptr);
  for (int i = 0; i < 3; ++i) saved[i] = fcntl(i, F_DUPFD_CLOEXEC, 10);
  for (int i = 0; i < 3; ++i) close(i);
  // With stdout closed, a port on descriptor 1 would receive the log lines.
  const int no_block = uart_open_no_block(pty.slavePath().c_str());
  const int blocking = uart_open(pty.slavePath().c_str());
  const int probe = open("/dev/null", O_RDONLY);  // the lowest free number
  if (probe >= 0) close(probe);
  fflush(stdout);  // the log lines went nowhere while stdout was closed
  for (int i = 0; i < 3; ++i) dup2(saved[i], i), close(saved[i]);
  if (no_block > 0) uart_close(no_block);
  if (blocking > 0) uart_close(blocking);
  EXPECT_GT(no_block, 2);
  EXPECT_GT(blocking, 2);
  EXPECT_EQ(probe, 0) << "the low number the open landed on was released";
}

TEST_F(UartTest, SetAppliesRaw8N1AtTheRequestedSpeed) {
  ASSERT_GT(openPort(), 0);
  pty_.send("stale");
  StdoutCapture out;
  ASSERT_EQ(uart_set(fd_, 115200, 0, 8, 1, 'N'), 1);
  EXPECT_TRUE(out.lines().empty()) << "success writes nothing";
  const termios t = last_applied;
  const termios stored = settings();
  EXPECT_EQ(stored.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u) << "applied to the port";
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & INPCK, 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 1);
  EXPECT_TRUE(fcntl(fd_, F_GETFL) & O_NONBLOCK);
  char buf[16];
  EXPECT_EQ(uart_recv(fd_, buf, sizeof buf), 0) << "input waiting before the call is dropped";
}

TEST_F(UartTest, RawModeLetsEveryByteThroughOnAFreshTty) {
  ASSERT_GT(openPort(), 0);
  termios fresh = settings();  // what the kernel gives a new tty
  fresh.c_iflag = ICRNL | IXON;
  fresh.c_oflag = OPOST | ONLCR;
  fresh.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  ASSERT_EQ(tcsetattr(fd_, TCSANOW, &fresh), 0);
  ASSERT_EQ(uart_set(fd_, 115200, 0, 8, 1, 'N'), 1);

  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  pty_.send(every_byte);
  char buf[512];
  const int got = uart_recv(fd_, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, got > 0 ? got : 0), every_byte) << "CR, XON and XOFF included";
  EXPECT_EQ(uart_send(fd_, "go\n", 3), 3) << "a received XOFF must not stop sending";
  EXPECT_EQ(pty_.drain(), "go\n");
}

TEST_F(UartTest, SetLeavesTheBlockingOpenNonBlocking) {
  fd_ = uart_open(pty_.slavePath().c_str());
  ASSERT_GT(fd_, 0);
  ASSERT_EQ(uart_set(fd_, 9600, 0, 8, 1, 'N'), 1);
  EXPECT_TRUE(fcntl(fd_, F_GETFL) & O_NONBLOCK);
}

TEST_F(UartTest, UnknownSpeedKeepsTheLineSpeed) {
  ASSERT_GT(openPort(), 0);
  ASSERT_EQ(uart_set(fd_, 4800, 0, 8, 1, 'N'), 1);
  ASSERT_EQ(uart_set(fd_, 57600, 0, 7, 2, 'E'), 1);
  EXPECT_EQ(cfgetospeed(&last_applied), static_cast<speed_t>(B4800));
  const termios& t = last_applied;
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7)) << "the rest is still applied";
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & PARODD);
  EXPECT_TRUE(t.c_iflag & INPCK);
}

TEST_F(UartTest, ParityAndFlowControlVariants) {
  ASSERT_GT(openPort(), 0);
  ASSERT_EQ(uart_set(fd_, 115200, 1, 8, 1, 'o'), 1);
  termios t = last_applied;
  EXPECT_TRUE(t.c_cflag & PARENB);
  EXPECT_TRUE(t.c_cflag & PARODD);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);

  // Space parity leaves INPCK as it was; flow control 2 and 5 leave CRTSCTS as it was.
  ASSERT_EQ(uart_set(fd_, 115200, 2, 8, 1, 's'), 1);
  t = last_applied;
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF | IXANY));
  ASSERT_EQ(uart_set(fd_, 115200, 5, 8, 1, 'n'), 1);
  t = last_applied;
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_iflag & INPCK);
}

TEST_F(UartTest, RejectedArgumentsChangeNothingAndKeepInput) {
  ASSERT_GT(openPort(), 0);
  ASSERT_EQ(uart_set(fd_, 115200, 0, 8, 1, 'N'), 1);
  pty_.send("kept");
  const termios before = settings();
  last_applied = termios{};

  StdoutCapture out;
  testing::internal::CaptureStderr();
  EXPECT_EQ(uart_set(fd_, 9600, 0, 8, 1, 'X'), 0);
  EXPECT_EQ(uart_set(fd_, 9600, 0, 8, 0, 'N'), 0);
  EXPECT_EQ(uart_set(fd_, 9600, 0, 8, 3, 'N'), 0);
  EXPECT_EQ(uart_set(fd_, 9600, 0, 9, 1, 'X'), 0) << "only the first fault is reported";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unsupported data size\n");
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(withoutLineNumber(lines[0]), "ERROR [uart.cpp uart_set]; Unsupported parity");
  EXPECT_EQ(withoutLineNumber(lines[1]), "ERROR [uart.cpp uart_set]; Unsupported stop bits");
  EXPECT_EQ(withoutLineNumber(lines[2]), "ERROR [uart.cpp uart_set]; Unsupported stop bits");

  const termios after = settings();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(last_applied.c_cflag, 0u) << "nothing was handed to the kernel";
  char buf[16] = {};
  EXPECT_EQ(uart_recv(fd_, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "kept");
}

TEST(UartSet, NotATerminalIsRefused) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  StdoutCapture out;
  EXPECT_EQ(uart_set(pipe_fds[0], 115200, 0, 8, 1, 'N'), 0);
  EXPECT_EQ(clear_receive_buf(pipe_fds[0]), -1);
  const auto lines = out.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(withoutLineNumber(lines[0]), "ERROR [uart.cpp uart_set]; SetupSerial 1");
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

TEST_F(UartTest, TransfersMoveBytesWithoutTerminatingThem) {
  ASSERT_GT(openPort(), 0);
  ASSERT_EQ(uart_set(fd_, 115200, 0, 8, 1, 'N'), 1);

  EXPECT_EQ(uart_send(fd_, "$get 5G\n", 8), 8);
  EXPECT_EQ(uart_send(fd_, "ignored", 0), 0);
  EXPECT_EQ(pty_.drain(), "$get 5G\n");

  pty_.send("12345");
  char buf[64];
  memset(buf, '#', sizeof buf);
  EXPECT_EQ(uart_recv_no_block(fd_, buf, 64), 5);
  EXPECT_EQ(std::string(buf, 6), "12345#");

  pty_.send(std::string(70, 'z'));
  EXPECT_EQ(uart_recv(fd_, buf, 64), 64);
  EXPECT_EQ(uart_recv(fd_, buf, 64), 6) << "the rest stays queued";
  EXPECT_EQ(uart_recv(fd_, buf, 0), 0);
}

TEST_F(UartTest, TransfersInterruptedBySignalsAreMadeAgain) {
  ASSERT_GT(openPort(), 0);
  interrupt_next_io = 2;
  EXPECT_EQ(uart_send(fd_, "ping", 4), 4);
  EXPECT_EQ(interrupt_next_io, 0);
  EXPECT_EQ(pty_.drain(), "ping");
  pty_.send("pong");
  interrupt_next_io = 2;
  char buf[8];
  EXPECT_EQ(uart_recv_no_block(fd_, buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "pong");
}

TEST_F(UartTest, ClearReceiveBufDropsOnlyInput) {
  ASSERT_GT(openPort(), 0);
  ASSERT_EQ(uart_set(fd_, 115200, 0, 8, 1, 'N'), 1);
  pty_.send("old reply");
  EXPECT_EQ(clear_receive_buf(fd_), 0);
  char buf[16];
  EXPECT_EQ(uart_recv(fd_, buf, sizeof buf), 0);
  pty_.send("new");
  EXPECT_EQ(uart_recv(fd_, buf, sizeof buf), 3);
}

TEST(UartTransfer, ClosedDescriptorsFailWithEbadf) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  char buf[4] = {};
  for (int fd : {fds[0], -1}) {
    errno = 0;
    EXPECT_EQ(uart_send(fd, "abc", 3), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(uart_recv(fd, buf, 3), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(uart_recv_no_block(fd, buf, 3), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(clear_receive_buf(fd), -1);
    EXPECT_EQ(errno, EBADF);
  }
}

}  // namespace
