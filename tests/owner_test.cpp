// One chassis, many programs: a link that holds the port serves the others through a socket
// that speaks the wire's own frames; its clients get the same results as on the wire, may read
// but not write unless the owner allows it, and take the port themselves once the owner goes.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <mutex>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver/chassis_link.h"
#include "test_helpers.h"

namespace {

using chassis_sim::make_sim;
using serial_driver::Batch;
using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;

// A reply deadline no loaded or emulated machine reaches: these tests judge routing, not time.
constexpr std::chrono::seconds kPatient{2};

LinkOptions bySerial(const std::string& serial) {
  LinkOptions options;
  options.serial = serial;
  options.reply_timeout = kPatient;
  return options;
}

std::string ownerSocket() {
  return std::string(getenv("SERIAL_DRIVER_RUN_DIR")) + "/serial-ABC123.sock";
}

// A program that talks to the owner's socket directly, as a shell would.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // The next line, newline included; empty when none comes within ten seconds.
  std::string line() {
    for (;;) {
      const size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        std::string line = pending_.substr(0, newline + 1);
        pending_.erase(0, newline + 1);
        return line;
      }
      pollfd polled{fd_, POLLIN, 0};
      if (poll(&polled, 1, 10000) != 1) return {};
      char buf[256];
      const ssize_t got = read(fd_, buf, sizeof buf);
      if (got <= 0) return {};
      pending_.append(buf, static_cast<size_t>(got));
    }
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string pending_;
};

class OwnerTest : public testing::Test {
 protected:
  void SetUp() override {
    sim_ = make_sim().add_adapter("ABC123").build();
    controller().setEntry(5, "1.500");
    controller().setEntry(6, "42");
    controller().setEntry(9, "hello world");
  }
  void openOwner(bool writes = false) {
    LinkOptions options = bySerial("ABC123");
    options.serve_writes = writes;
    ASSERT_FALSE(owner_.open(options));
  }
  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }
  // Waits, within a generous bound, until the owner serves `count` programs.
  bool servesSoon(int count) {
    for (int i = 0; i < 5000 && owner_.stats().clients != count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return owner_.stats().clients == count;
  }

  test::LogLines log_;
  std::unique_ptr<chassis_sim::Testbed> sim_;
  ChassisLink owner_;
};

TEST_F(OwnerTest, ASecondLinkReadsThroughTheOwnerWithTheWiresResultsButMayNotWrite) {
  openOwner();
  ChassisLink client;
  ASSERT_FALSE(client.open(bySerial("ABC123"))) << log_.text();
  EXPECT_EQ(client.stats().owner_pid, getpid());
  EXPECT_FALSE(client.stats().owner_program.empty());
  EXPECT_EQ(owner_.stats().owner_pid, 0);
  EXPECT_EQ(log_.text().find("held by another program"), std::string::npos)
      << "a served link is not busy: " << log_.text();

  float speed = 0;
  int count = 0;
  std::string text;
  ASSERT_FALSE(client.get(5, speed));
  EXPECT_EQ(speed, 1.5f);
  Batch batch;
  batch.get(6, count);
  batch.get(9, text);
  batch.get(5, speed);
  ASSERT_FALSE(client.exchange(batch));
  EXPECT_EQ(count, 42);
  EXPECT_EQ(text, "hello world");
  EXPECT_EQ(client.get(9, count), Errc::bad_reply) << "a text is no int, as on the wire";
  EXPECT_TRUE(servesSoon(1));

  EXPECT_EQ(client.set(5, 2.0f), Errc::rejected);
  EXPECT_EQ(controller().entry(5), "1.500");
  EXPECT_NE(log_.text().find("LinkOptions::serve_writes"), std::string::npos) << log_.text();

  client.close();
  EXPECT_TRUE(servesSoon(0));
  EXPECT_FALSE(owner_.get(5, speed)) << "the owner's own calls are untouched";
}

TEST_F(OwnerTest, AnOwnerThatAllowsWritesTakesItsClientsSets) {
  openOwner(true);
  ChassisLink client;
  ASSERT_FALSE(client.open(bySerial("ABC123")));
  ASSERT_FALSE(client.set(5, 2.5f));
  EXPECT_EQ(controller().entry(5), "2.500");
  float speed = 0;
  ASSERT_FALSE(owner_.get(5, speed));
  EXPECT_EQ(speed, 2.5f);
}

TEST_F(OwnerTest, TheSocketSpeaksTheWireProtocolAndAnswersEveryLineInOrder) {
  openOwner();
  RawClient raw(ownerSocket());
  ASSERT_TRUE(raw.connected());
  raw.send(test::frame("$get 5"));
  EXPECT_EQ(raw.line(), test::frame("$fdb 5 1.500"));
  // Half a frame, then the rest: one command.
  const std::string get6 = test::frame("$get 6");
  raw.send(get6.substr(0, 3));
  raw.send(get6.substr(3));
  EXPECT_EQ(raw.line(), test::frame("$fdb 6 42"));

  raw.send("\nhello\n" + std::string(5000, 'x') + "\n" + test::frame("$get 9") +
           test::frame("$set 5 1") + "$get 5 with no checksum\n?clients\n");
  EXPECT_EQ(raw.line().rfind("!bad-frame ", 0), 0u) << "garbage";
  EXPECT_EQ(raw.line().rfind("!bad-frame ", 0), 0u) << "a line longer than any frame";
  EXPECT_EQ(raw.line(), test::frame("$fdb 9 hello world"));
  const std::string refused = raw.line();
  EXPECT_EQ(refused.rfind("!read-only ", 0), 0u) << refused;
  EXPECT_NE(refused.find("serve_writes"), std::string::npos) << refused;
  EXPECT_EQ(raw.line().rfind("!bad-frame ", 0), 0u);
  EXPECT_EQ(raw.line().rfind("!clients 1 pid " + std::to_string(getpid()), 0), 0u);
  EXPECT_EQ(controller().entry(5), "1.500");
}

TEST_F(OwnerTest, ALinkGivenOnlyTheSocketReachesTheOwner) {
  openOwner();
  LinkOptions options;
  options.socket = ownerSocket();
  options.reply_timeout = kPatient;
  ChassisLink client;
  ASSERT_FALSE(client.open(options));
  EXPECT_EQ(client.device(), ownerSocket());
  int count = 0;
  ASSERT_FALSE(client.get(6, count));
  EXPECT_EQ(count, 42);

  owner_.close();
  EXPECT_EQ(client.get(6, count), Errc::hung_up);
  EXPECT_EQ(client.get(6, count), Errc::not_found) << "nobody serves there any more";
  options.socket += ".none";
  EXPECT_EQ(ChassisLink().open(options), Errc::not_found);
}

TEST_F(OwnerTest, WhenTheOwnerGoesItsClientTakesThePortAndServesTheNextProgram) {
  openOwner();
  ChassisLink client;
  ASSERT_FALSE(client.open(bySerial("ABC123")));
  owner_.close();
  int count = 0;
  EXPECT_EQ(client.get(6, count), Errc::hung_up);
  ASSERT_FALSE(client.get(6, count)) << log_.text();
  EXPECT_EQ(count, 42);
  EXPECT_EQ(client.stats().owner_pid, 0) << "it holds the port now";

  ChassisLink third;
  ASSERT_FALSE(third.open(bySerial("ABC123")));
  EXPECT_NE(third.stats().owner_pid, 0);
  ASSERT_FALSE(third.get(6, count));
  EXPECT_EQ(client.stats().clients, 1);
}

TEST_F(OwnerTest, AnOwnerThatCannotServeStillOpensAndOthersAreBusy) {
  // Someone else's file where the socket would go: left alone.
  const std::string path = ownerSocket();
  { std::ofstream(path) << "not a socket"; }
  openOwner();
  EXPECT_NE(log_.text().find("cannot serve other programs"), std::string::npos) << log_.text();
  ChassisLink second;
  EXPECT_EQ(second.open(bySerial("ABC123")), Errc::busy);
  EXPECT_EQ(test::slurp(path), "not a socket");
  int count = 0;
  EXPECT_FALSE(owner_.get(6, count));
}

}  // namespace
