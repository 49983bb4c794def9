// The owner and its clients under faults: an owner killed mid-batch, clients that flood, babble,
// stall or die, a socket path taken by something else, a user who may not open the port, an
// unplug while clients wait, forks on either side, and threads on both. Never a wrong value,
// never a hang, nothing left behind.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver/batch.h"
#include "serial_driver/chassis_link.h"
#include "test_helpers.h"

namespace {

using chassis_sim::make_sim;
using serial_driver::Batch;
using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;
using std::chrono::milliseconds;
using std::chrono::seconds;

LinkOptions bySerial() {
  LinkOptions options;
  options.serial = "ABC123";
  return options;
}

// Polls until done() holds; false when it did not within the limit, which no loaded machine
// reaches.
bool waitFor(const std::function<bool()>& done, seconds limit = seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  return addr;
}

// A program speaking to the owner's socket by hand.
class RawClient {
 public:
  explicit RawClient(const std::string& path)
      : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un addr = addressOf(path);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) close();
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // The next line without its newline; "<eof>" when the owner closed, "<none>" when nothing
  // came within the limit.
  std::string line(seconds limit = seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const size_t newline = in_.find('\n');
      if (newline != std::string::npos) {
        std::string text = in_.substr(0, newline);
        in_.erase(0, newline + 1);
        return text;
      }
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd polled{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&polled, 1, static_cast<int>(left.count())) == 0) {
        return "<none>";
      }
      char buf[4096];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return "<eof>";
      in_.append(buf, static_cast<size_t>(n));
    }
  }
  void shutdownBoth() { shutdown(fd_, SHUT_RDWR); }
  void shutdownWrite() { shutdown(fd_, SHUT_WR); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  std::string in_;
};

// Another program, started now; killed and reaped at the latest when this goes.
class Process {
 public:
  explicit Process(const std::vector<std::string>& args) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(null);
  }
  ~Process() { killAndReap(); }
  pid_t pid() const { return pid_; }
  void killAndReap() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = -1;
};

class OwnerFaults : public testing::Test {
 protected:
  void SetUp() override {
    serial_driver::setLogSink([this](LogLevel, const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mutex_);
      log_ += line + "\n";
    });
    sim_ = make_sim().add_adapter("ABC123").build();
    for (int index = 1; index <= 8; ++index) controller().setEntry(index, value(index));
    socket_ = std::string(getenv("SERIAL_DRIVER_RUN_DIR")) + "/serial-ABC123.sock";
  }
  void TearDown() override { serial_driver::setLogSink(nullptr); }

  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }
  // Each entry's own value: a value read from another entry's answer shows.
  static std::string value(int index) { return std::to_string(index) + ".250"; }
  static float number(int index) { return static_cast<float>(index) + 0.25f; }
  static std::string answer(int index) {
    return test::frame("$fdb " + std::to_string(index) + " " + value(index));
  }
  std::string log() {
    std::lock_guard<std::mutex> lock(log_mutex_);
    return log_;
  }
  // The owner in this process; its calls wait long for a loaded machine.
  void openOwner(LinkOptions options = bySerial()) {
    options.reply_timeout = seconds(2);
    ASSERT_FALSE(owner_.open(options));
    ASSERT_EQ(owner_.stats().owner_pid, 0);
  }
  void openClient(ChassisLink& client) {
    ASSERT_FALSE(client.open(bySerial()));
    ASSERT_EQ(client.stats().owner_pid, getpid()) << "goes through this process's owner";
  }

  std::unique_ptr<chassis_sim::Testbed> sim_;
  std::string socket_;
  ChassisLink owner_;
  std::mutex log_mutex_;
  std::string log_;
};

// Repeated gets of one entry on a thread until stopped: every success must carry its value.
class Reader {
 public:
  Reader(ChassisLink& link, int index)
      : thread_([this, &link, index] {
          while (!stop_) {
            float v = -1.0f;
            const std::error_code ec = link.get(index, v);
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ec) {
              ++ok_;
              if (v != static_cast<float>(index) + 0.25f) wrong_.push_back(std::to_string(v));
            } else {
              ++failed_;
              last_error_ = ec;
            }
          }
        }) {}
  ~Reader() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int ok() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ok_;
  }
  int failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  std::vector<std::string> wrong() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wrong_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  int ok_ = 0;
  int failed_ = 0;
  std::error_code last_error_;
  std::vector<std::string> wrong_;
  std::thread thread_;
};

TEST_F(OwnerFaults, AKilledOwnersClientFailsHungUpThenTakesThePortAndServes) {
  // Paced as the real line, so a batch is on its way when the owner dies.
  controller().setBytePacing(std::chrono::nanoseconds(10'000'000'000L / 115200));
  Process other({CHASSISCTL, "--serial", "ABC123", "watch", "5", "--interval", "20"});
  ASSERT_TRUE(waitFor([&] { return exists(socket_); })) << "the other program serves";
  ChassisLink client;
  // Bound before it listens: a moment of busy.
  ASSERT_TRUE(waitFor([&] { return !client.open(bySerial()); }));
  ASSERT_EQ(client.stats().owner_pid, other.pid());

  std::atomic<int> batches{0};
  std::atomic<bool> ended{false};
  std::vector<std::string> wrong;
  std::thread driving([&] {
    for (;;) {
      float got[8];
      Batch batch;
      for (int n = 0; n < 8; ++n) batch.get(n + 1, got[n] = -1.0f);
      client.exchange(batch);
      bool failed = false;
      for (size_t n = 0; n < 8; ++n) {
        const std::error_code ec = batch.result(n);
        if (!ec && got[n] != number(static_cast<int>(n) + 1)) wrong.push_back("value");
        if (ec && ec != Errc::hung_up) wrong.push_back(ec.message());
        failed = failed || ec;
      }
      if (failed) return (void)(ended = true);
      ++batches;
    }
  });
  EXPECT_TRUE(waitFor([&] { return batches >= 3 || ended; }));
  const bool before_kill = ended;
  other.killAndReap();
  driving.join();
  EXPECT_TRUE(wrong.empty()) << wrong.front() << " after " << batches << " batches";
  ASSERT_FALSE(before_kill) << "a batch failed while the owner lived";

  // Its killer's socket file is still there; the client replaces it and serves.
  float v = 0;
  EXPECT_FALSE(client.get(4, v));
  EXPECT_EQ(v, 4.25f);
  EXPECT_EQ(client.stats().owner_pid, 0) << "it holds the port itself";
  ChassisLink third;
  openClient(third);
  float f = 0;
  EXPECT_FALSE(third.get(6, f));
  EXPECT_EQ(f, 6.25f);
  EXPECT_EQ(client.stats().clients, 1);
}

TEST_F(OwnerFaults, ClientsThatFloodBabbleStallOrDieCostTheOwnerNothing) {
  openOwner();
  const int descriptors = test::openDescriptors();
  Reader own(owner_, 2);

  {  // Ten thousand commands at once, a few answers taken, then gone.
    RawClient flood(socket_);
    ASSERT_TRUE(flood.ok());
    std::string frames;
    for (int n = 0; n < 10000; ++n) frames += test::frame("$get 5");
    std::thread writer([&] { flood.send(frames); });
    for (int n = 0; n < 200; ++n) ASSERT_EQ(flood.line() + "\n", answer(5)) << n;
    flood.shutdownBoth();
    writer.join();
  }
  {  // Two programs sending faster than the owner runs their commands, reading as they go:
     // each gets every answer, in order.
    RawClient one(socket_), two(socket_);
    ASSERT_TRUE(one.ok() && two.ok());
    std::string threes, fours;
    for (int n = 0; n < 1000; ++n) threes += test::frame("$get 3"), fours += test::frame("$get 4");
    std::thread writer([&] { one.send(threes), two.send(fours); });
    std::string got_one, got_two;
    std::thread reader([&] {
      for (int n = 0; n < 1000 && got_two.empty(); ++n) {
        const std::string line = two.line() + "\n";
        if (line != answer(4)) got_two = std::to_string(n) + ": " + line;
      }
    });
    for (int n = 0; n < 1000 && got_one.empty(); ++n) {
      const std::string line = one.line() + "\n";
      if (line != answer(3)) got_one = std::to_string(n) + ": " + line;
    }
    EXPECT_EQ(got_one, "");
    reader.join();
    EXPECT_EQ(got_two, "");
    one.shutdownBoth(), two.shutdownBoth();
    writer.join();
  }
  {  // More than the owner queues, then the end of the program's input (socat with a file):
     // every command is still answered, then the owner lets it go.
    RawClient piped(socket_);
    ASSERT_TRUE(piped.ok());
    std::string frames;
    for (int n = 0; n < 100; ++n) frames += test::frame("$get 6");
    ASSERT_TRUE(piped.send(frames));
    piped.shutdownWrite();
    int answered = 0;
    while (piped.line() + "\n" == answer(6)) ++answered;
    EXPECT_EQ(answered, 100);
  }
  {  // Garbage, an over-long line, a set and a blank line: one line back for each but the
     // blank one, in order, and the client stays in step.
    RawClient babble(socket_);
    ASSERT_TRUE(babble.ok());
    ASSERT_TRUE(babble.send("hello\n\x01\xfe\xff\n$get 5\n" + std::string(5000, 'x') + "\n\n" +
                            test::frame("$set 5 1.5") + "?clients\n" + test::frame("$get 3")));
    for (int n = 0; n < 4; ++n) EXPECT_EQ(babble.line().rfind("!bad-frame ", 0), 0u) << n;
    EXPECT_EQ(babble.line().rfind("!read-only ", 0), 0u);
    EXPECT_EQ(babble.line().rfind("!clients ", 0), 0u);
    EXPECT_EQ(babble.line() + "\n", answer(3));
  }
  {  // Half a frame, then silence while the owner works on; then gone.
    RawClient stall(socket_);
    ASSERT_TRUE(stall.ok());
    ASSERT_TRUE(stall.send("$get 5"));
    const int before = own.ok();
    EXPECT_TRUE(waitFor([&] { return own.ok() > before + 20; }));
  }
  {  // A program killed in the middle of its calls.
    Process watcher({CHASSISCTL, "--serial", "ABC123", "watch", "5", "--interval", "0"});
    ASSERT_TRUE(waitFor([&] { return controller().commands() > 0 && owner_.stats().clients > 0; }));
    const long commands = controller().commands();
    EXPECT_TRUE(waitFor([&] { return controller().commands() > commands + 20; }));
  }
  EXPECT_EQ(controller().entry(5), value(5)) << "no client's set went to the controller";
  EXPECT_TRUE(waitFor([&] { return owner_.stats().clients == 0; }))
      << owner_.stats().clients << " clients left";
  EXPECT_TRUE(waitFor([&] { return test::openDescriptors() == descriptors; }))
      << test::openDescriptors() << " descriptors, " << descriptors << " before";
  own.stop();
  EXPECT_GT(own.ok(), 20);
  EXPECT_EQ(own.failed(), 0);
  EXPECT_TRUE(own.wrong().empty()) << own.wrong().front();
}

TEST_F(OwnerFaults, ASocketPathTakenByAFileOrAStrangerLeavesTheOwnerUnservedAndAStaleOneGoes) {
  ChassisLink second;
  {  // A regular file.
    { std::ofstream(socket_) << "notes"; }
    openOwner();
    EXPECT_NE(log().find("cannot serve other programs"), std::string::npos) << log();
    EXPECT_EQ(second.open(bySerial()), Errc::busy);
    owner_.close();
    EXPECT_EQ(test::slurp(socket_), "notes") << "left alone";
    unlink(socket_.c_str());
  }
  {  // Another program's live socket.
    int ready[2], hold[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    const sockaddr_un addr = addressOf(socket_);
    fflush(nullptr);
    const pid_t stranger = fork();
    if (stranger == 0) {
      // Syscalls only: the preload's wrappers take locks. It waits for the parent's end.
      syscall(SYS_close, hold[1]);
      const int fd = static_cast<int>(syscall(SYS_socket, AF_UNIX, SOCK_STREAM, 0));
      const bool listening =
          syscall(SYS_bind, fd, &addr, sizeof addr) == 0 && syscall(SYS_listen, fd, 4) == 0;
      char byte = listening ? 1 : 0;
      syscall(SYS_write, ready[1], &byte, 1);
      syscall(SYS_read, hold[0], &byte, 1);
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char listening = 0;
    ASSERT_EQ(read(ready[0], &listening, 1), 1);
    close(ready[0]);
    ASSERT_EQ(listening, 1);
    openOwner();
    EXPECT_EQ(second.open(bySerial()), Errc::busy)
        << "a socket that is not the holder's is no owner; owner pid " << second.stats().owner_pid;
    second.close();
    owner_.close();
    EXPECT_TRUE(exists(socket_)) << "the stranger's socket stays";
    close(hold[1]);
    waitpid(stranger, nullptr, 0);
    unlink(socket_.c_str());
  }
  {  // A stale socket: bound, then its program went without removing it.
    const int gone = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = addressOf(socket_);
    ASSERT_EQ(bind(gone, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    close(gone);
    openOwner();
    openClient(second);
    float v = 0;
    EXPECT_FALSE(second.get(7, v));
    EXPECT_EQ(v, 7.25f);
  }
}

// In a child made by fork(), with only syscalls (the preload's wrappers take locks): connects
// to path as user 65534, and returns connect's errno, or 0 followed by the owner's first line.
std::string connectAsNobody(const std::string& path) {
  int result[2];
  if (pipe2(result, O_CLOEXEC) != 0) return "<pipe>";
  const sockaddr_un addr = addressOf(path);
  fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    char text[256] = {};
    int length = 0;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const int fd = static_cast<int>(syscall(SYS_socket, AF_UNIX, SOCK_STREAM, 0));
    if (syscall(SYS_connect, fd, &addr, sizeof addr) != 0) {
      length = snprintf(text, sizeof text, "errno %d", errno);
    } else {
      length = snprintf(text, sizeof text, "connected ");
      for (long n = 0;
           length < 255 && (n = syscall(SYS_read, fd, text + length, 255 - length)) > 0;) {
        length += static_cast<int>(n);
      }
    }
    syscall(SYS_write, result[1], text, length);
    _exit(0);
  }
  close(result[1]);
  std::string text;
  char buf[256];
  for (ssize_t n = 0; (n = read(result[0], buf, sizeof buf)) > 0;) text.append(buf, n);
  close(result[0]);
  waitpid(child, nullptr, 0);
  return text;
}

TEST_F(OwnerFaults, AUserWhoMayNotOpenThePortIsRefusedBySocketModeAndByPeerCheck) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  struct stat tty {};
  ASSERT_EQ(stat("/dev/ttyUSB0", &tty), 0);
  if ((tty.st_mode & 0006) == 0006) GTEST_SKIP() << "the simulated port is open to everyone";
  // A directory user 65534 may enter; the socket directory's parents may not let it.
  std::string dir = testing::TempDir() + "owner_uid_XXXXXX";
  ASSERT_NE(mkdtemp(&dir[0]), nullptr);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  LinkOptions options = bySerial();
  options.socket = dir + "/owner.sock";
  openOwner(options);

  EXPECT_EQ(connectAsNobody(options.socket), "errno " + std::to_string(EACCES));
  ASSERT_EQ(chmod(options.socket.c_str(), 0666), 0);
  const std::string refused = connectAsNobody(options.socket);
  EXPECT_EQ(refused.rfind("connected !denied ", 0), 0u) << refused;
  EXPECT_EQ(std::count(refused.begin(), refused.end(), '\n'), 1) << "one line, then closed";
  EXPECT_EQ(owner_.stats().clients, 0);
  owner_.close();
  rmdir(dir.c_str());
}

TEST_F(OwnerFaults, AnUnplugFailsWaitingClientsAndTheReplugServesThemAgain) {
  openOwner();
  ChassisLink client;
  openClient(client);
  Reader reading(client, 3);
  ASSERT_TRUE(waitFor([&] { return reading.ok() > 5; }));
  chassis_sim::Adapter& adapter = sim_->adapter(0);
  adapter.unplug();
  float v = 0;
  EXPECT_TRUE(owner_.get(1, v));
  const int failed = reading.failed();
  // A call that never ends keeps this from passing.
  EXPECT_TRUE(waitFor([&] { return reading.failed() > failed + 3; }));
  adapter.plug();
  ASSERT_TRUE(waitFor([&] { return !owner_.get(1, v); })) << "the owner reconnected";
  EXPECT_EQ(v, 1.25f);
  const int read = reading.ok();
  EXPECT_TRUE(waitFor([&] { return reading.ok() > read + 5; })) << "the client reads again";
  reading.stop();
  EXPECT_TRUE(reading.wrong().empty()) << reading.wrong().front();
}

TEST_F(OwnerFaults, AForkedChildsCopiesServeNothingAndLeaveTheSocketAlone) {
  openOwner();
  ChassisLink client;
  openClient(client);
  RawClient raw(socket_);
  ASSERT_TRUE(raw.ok());
  ASSERT_TRUE(raw.send(test::frame("$get 2")));
  ASSERT_EQ(raw.line() + "\n", answer(2));

  for (ChassisLink* link : {&owner_, &client}) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      int v = 0;
      const bool not_open = !link->is_open() && link->get(1, v) == Errc::not_open;
      link->close();
      _exit(not_open ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's copy is closed";
    EXPECT_TRUE(exists(socket_));
    float v = 0;
    EXPECT_FALSE(client.get(4, v));
    EXPECT_EQ(v, 4.25f);
    EXPECT_FALSE(owner_.get(5, v));
    EXPECT_EQ(v, 5.25f);
  }

  // While a child lives, what the parent closes is closed: its copies hold no connection open.
  fflush(nullptr);
  int hold[2];
  ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(hold[1]);
    char byte = 0;
    while (read(hold[0], &byte, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  close(hold[0]);
  client.close();
  EXPECT_TRUE(waitFor([&] { return owner_.stats().clients == 1; }))
      << owner_.stats().clients << " clients: the child keeps the closed client's connection";
  owner_.close();
  EXPECT_EQ(raw.line(), "<eof>") << "the child keeps the owner's connections";
  close(hold[1]);
  waitpid(child, nullptr, 0);
}

TEST_F(OwnerFaults, ThreadsOnBothSidesAndAnOwnerClosedOrDestroyedUnderItsClients) {
  openOwner();
  ChassisLink client;
  openClient(client);
  {
    Reader a(owner_, 1), b(owner_, 2), c(client, 3), d(client, 4), e(client, 5);
    EXPECT_TRUE(waitFor(
        [&] { return a.ok() > 30 && b.ok() > 30 && c.ok() > 30 && d.ok() > 30 && e.ok() > 30; }));
    for (Reader* r : {&a, &b, &c, &d, &e}) {
      r->stop();
      EXPECT_EQ(r->failed(), 0);
      EXPECT_TRUE(r->wrong().empty()) << r->wrong().front();
    }
  }
  {  // The owner closes while clients wait for a slow answer: their calls end.
    controller().setLateDelay(milliseconds(300));
    const long before = controller().commands();
    controller().inject(chassis_sim::Fault::kLateReply, 2);
    Reader c(client, 3), d(client, 4);
    ASSERT_TRUE(waitFor([&] { return controller().commands() > before; }));
    owner_.close();
    c.stop();  // hangs, and the test times out, if a call never ends
    d.stop();
    EXPECT_TRUE(c.wrong().empty() && d.wrong().empty());
  }
  {  // The owner destroyed while its serving thread runs a client's command.
    controller().setLateDelay(milliseconds(500));
    controller().inject(chassis_sim::Fault::kLateReply, 1);
    client.close();
    auto owner = std::make_unique<ChassisLink>();
    LinkOptions options = bySerial();
    options.reply_timeout = seconds(2);
    ASSERT_FALSE(owner->open(options));
    ASSERT_FALSE(client.open(bySerial()));
    const long commands = controller().commands();
    float v = 0;
    std::error_code ec;
    std::thread waiting([&] { ec = client.get(6, v); });
    ASSERT_TRUE(waitFor([&] { return controller().commands() > commands; }));
    owner.reset();
    waiting.join();
    EXPECT_TRUE(ec || v == 6.25f) << v;
    EXPECT_TRUE(waitFor([&] { return !client.get(6, v); })) << "the client takes the port";
    EXPECT_EQ(v, 6.25f);
  }
}

}  // namespace
