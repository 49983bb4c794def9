// chassisctl as a user runs it: its output, its messages and its exit status. The simulated
// adapters live in this process; the tool, started from here, sees them through the preload
// it inherits.
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <regex>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver/chassis_link.h"
#include "test_helpers.h"

namespace {

using chassis_sim::Fault;
using chassis_sim::make_sim;
using serial_driver::ChassisLink;

using ToolRun = test::ChildResult;

ToolRun chassisctl(const std::vector<std::string>& args, bool interrupt_after_output = false) {
  std::vector<std::string> argv{CHASSISCTL};
  argv.insert(argv.end(), args.begin(), args.end());
  test::ChildOptions options;
  options.interrupt_after_output = interrupt_after_output;
  options.limit = std::chrono::seconds(30);
  const ToolRun run = test::runChild(argv, options);
  EXPECT_FALSE(run.timed_out) << "chassisctl did not end";
  return run;
}

int timeOuts(const ToolRun& run) {
  int count = 0;
  for (const std::string* text : {&run.out, &run.err}) {
    for (size_t at = text->find("no valid reply"); at != std::string::npos;
         at = text->find("no valid reply", at + 1)) {
      ++count;
    }
  }
  return count;
}

// A busy machine can make a simulated reply late, never wrong: a run that reports more
// time-outs than it should is made again, three runs in all.
ToolRun allowingLateReplies(const std::function<ToolRun()>& run, int expected_time_outs = 0) {
  ToolRun r;
  for (int attempt = 0; attempt < 3; ++attempt) {
    r = run();
    if (timeOuts(r) <= expected_time_outs) break;
  }
  return r;
}

// A run whose exchanges must succeed.
ToolRun chassisctlOk(const std::vector<std::string>& args) {
  return allowingLateReplies([&] { return chassisctl(args); });
}

class ChassisctlTest : public testing::Test {
 protected:
  void SetUp() override { sim_ = make_sim().add_builtin_uart().add_adapter("ABC123").build(); }
  chassis_sim::Controller& controller() { return sim_->adapter(0).controller(); }
  std::unique_ptr<chassis_sim::Testbed> sim_;
};

TEST_F(ChassisctlTest, SetThenGetEachTypeOnTheAdapterFoundBySerial) {
  ToolRun r = chassisctlOk({"--serial", "ABC123", "set", "5", "1.5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "entry 5 set to 1.500\n") << "only the result on stdout";
  EXPECT_EQ(r.err.find("console"), std::string::npos) << "opening and exchanging log nothing";
  EXPECT_EQ(controller().entry(5), "1.500");

  r = chassisctlOk({"--quiet", "--serial", "ABC123", "get", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1.5\n") << "--quiet leaves only the value";

  r = chassisctlOk({"--serial", "ABC123", "--quiet", "set", "7", "-12", "--type", "int"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = chassisctlOk({"get", "7", "--type", "int", "--serial", "ABC123", "--quiet"});
  EXPECT_EQ(r.out, "-12\n");

  r = chassisctlOk({"--quiet", "--serial", "ABC123", "set", "9", "left wheel", "--type", "text"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = chassisctlOk({"--quiet", "--serial", "ABC123", "get", "9", "--type", "text"});
  EXPECT_EQ(r.out, "left wheel\n");
}

TEST_F(ChassisctlTest, AFailedExchangeExitsWithOne) {
  controller().inject(Fault::kNoReply);
  const ToolRun r = chassisctl({"--quiet", "--serial", "ABC123", "get", "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "chassisctl: entry 5: no valid reply in time\n");

  const ToolRun missing = chassisctl({"--serial", "OTHER", "get", "5"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no 1a86:7523 adapter with USB serial number 'OTHER'"),
            std::string::npos)
      << missing.err;
  EXPECT_NE(missing.err.find("ERROR console"), std::string::npos) << "library lines go to stderr";
  EXPECT_EQ(missing.out, "");
}

TEST_F(ChassisctlTest, BadInputIsAUsageErrorAndNothingIsSent) {
  const std::vector<std::vector<std::string>> cases = {
      {"--serial", "ABC123", "get", "five"},
      {"--serial", "ABC123", "set", "5", "fast"},
      {"--serial", "ABC123", "set", "5", "1.5x"},
      {"--serial", "ABC123", "set", "5", "3000000000", "--type", "int"},
      {"--serial", "ABC123", "set", "5", "1.5", "--type", "double"},
      {"--serial", "ABC123", "set", "5", std::string(56, 't'), "--type", "text"},
      {"--serial", "ABC123", "--baud", "57600", "get", "5"},
      {"get", "5"},
      {"--serial", "ABC123"},
      {"--serial", "ABC123", "watch", "5", "--count", "-1"},
      {"--serial", "ABC123", "watch", "5", "--interval", "1e9"},
      {"--serial", "ABC123", "set", "5", "nan"},
      {"--serial", "ABC123", "set", "5", "-inf"},
      {"--serial", "ABC123", "set", "5", "0x1p4"},
      {"--serial", "ABC123", "set", "5", "1e39"},
      {"--serial", "ABC123", "--device", "/dev/ttyUSB0", "get", "5"},
      {"--serial", "ABC123", "set", "5", "1.5", "6"},
      {"--serial", "ABC123", "set", "5", "1.5", "6", "-x"},
      {"--serial", "ABC123", "--max-in-flight", "17", "get", "5"},
  };
  for (const auto& args : cases) {
    const ToolRun r = chassisctl(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.status, 2) << joined;
    EXPECT_EQ(r.err.rfind("chassisctl: ", 0), 0u) << joined << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    EXPECT_LT(r.err.size(), 160u) << "a plain message: " << r.err;
  }
  EXPECT_TRUE(controller().received().empty());

  // The longest text that fits goes out.
  const ToolRun fits =
      chassisctlOk({"--serial", "ABC123", "set", "5", std::string(55, 't'), "--type", "text"});
  EXPECT_EQ(fits.status, 0) << fits.err;
}

TEST_F(ChassisctlTest, WatchPrintsEachReadingWithTheFailureCount) {
  controller().setEntry(3, "42");
  const ToolRun r = allowingLateReplies(
      [&] {
        controller().waitIdle();
        controller().inject(Fault::kNone);
        controller().inject(Fault::kBadChecksum);
        return chassisctl({"--quiet", "--serial", "ABC123", "watch", "3", "--type", "int",
                           "--count", "3", "--interval", "1"});
      },
      1);
  EXPECT_EQ(r.status, 1) << "one reading failed";
  EXPECT_EQ(r.out,
            "entry 3 = 42  (failed exchanges: 0)\n"
            "entry 3: no valid reply  (failed exchanges: 1)\n"
            "entry 3 = 42  (failed exchanges: 1)\n"
            "done after 3 readings, 1 failed\n");
}

TEST_F(ChassisctlTest, WatchReadsSeveralEntriesAsOneBatchARoundAndRecordsThemAsCsv) {
  controller().setEntry(3, "42");
  controller().setEntry(4, "-7");
  const std::string csv = testing::TempDir() + "watch.csv";
  const ToolRun r = allowingLateReplies(
      [&] {
        controller().waitIdle();
        controller().inject(Fault::kNone);
        controller().inject(Fault::kNoReply);
        return chassisctl({"--quiet", "--serial", "ABC123", "watch", "3", "4", "--type", "int",
                           "--count", "2", "--interval", "1", "--csv", csv});
      },
      1);
  EXPECT_EQ(r.status, 1) << "one reading failed";
  EXPECT_EQ(r.out,
            "entry 3 = 42; entry 4: no valid reply  (failed exchanges: 1)\n"
            "entry 3 = 42; entry 4 = -7  (failed exchanges: 1)\n"
            "done after 4 readings, 1 failed\n");
  const auto rows = test::splitLines(test::slurp(csv));
  ASSERT_EQ(rows.size(), 3u) << test::slurp(csv);
  EXPECT_EQ(rows[0], "time,3,4");
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
  EXPECT_TRUE(std::regex_match(rows[1], std::regex(time + ",42,")))
      << "a failed reading is empty: " << rows[1];
  EXPECT_TRUE(std::regex_match(rows[2], std::regex(time + ",42,-7"))) << rows[2];
  EXPECT_LE(rows[1].substr(0, 23), rows[2].substr(0, 23)) << "rows in time order";
  unlink(csv.c_str());

  const ToolRun unwritable = chassisctl({"--quiet", "--serial", "ABC123", "watch", "3", "--count",
                                         "1", "--csv", testing::TempDir() + "no/such/dir.csv"});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(unwritable.err.find("No such file"), std::string::npos) << unwritable.err;
}

TEST_F(ChassisctlTest, WatchEndsCleanlyOnCtrlC) {
  const ToolRun r = allowingLateReplies([] {
    return chassisctl({"--quiet", "--serial", "ABC123", "watch", "3", "--interval", "50"}, true);
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("entry 3 = 0  (failed exchanges: 0)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("stopped after "), std::string::npos) << r.out;
}

TEST_F(ChassisctlTest, PrintsWhatWentOnTheWireAndTakesNegativeValues) {
  ToolRun r = chassisctlOk({"--quiet", "--serial", "ABC123", "set", "5", "0.0004"});
  EXPECT_EQ(r.out, "entry 5 set to 0.000\n");
  r = chassisctlOk({"--quiet", "--device", "/dev/ttyUSB0", "set", "6", "-1.5"});
  EXPECT_EQ(r.out, "entry 6 set to -1.500\n") << r.err;
  EXPECT_EQ(controller().entry(6), "-1.500");
  r = chassisctlOk({"--quiet", "--serial", "ABC123", "set", "7", "-.5"});
  EXPECT_EQ(r.out, "entry 7 set to -0.500\n") << r.err;
}

TEST_F(ChassisctlTest, SeveralEntriesGoAsOneBatchWithALineEach) {
  ToolRun r = chassisctlOk(
      {"--quiet", "--serial", "ABC123", "--max-in-flight", "4", "set", "5", "1.5", "6", "-.5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "entry 5 set to 1.500\nentry 6 set to -0.500\n");
  EXPECT_EQ(controller().entry(6), "-0.500");

  controller().setEntry(7, "3");
  r = allowingLateReplies(
      [&] {
        controller().waitIdle();
        controller().inject(Fault::kNone);
        controller().inject(Fault::kNoReply);
        return chassisctl({"--quiet", "--serial", "ABC123", "get", "5", "6", "7"});
      },
      1);
  EXPECT_EQ(r.status, 1) << "one entry failed";
  EXPECT_EQ(r.out, "1.5\n3\n") << "entry 6's reply was lost: the others keep their values";
  EXPECT_EQ(r.err, "chassisctl: entry 6: no valid reply in time\n");
}

// A ring smaller than two commands loses what arrives while the firmware is busy: the windows
// that overrun it report lost items and are not called safe.
TEST(Chassisctl, BenchReportsEachWindowAndNamesNoneThatLosesAsSafe) {
  const ToolRun r = chassisctl(
      {"--simulate", "--quiet", "bench", "--cycles", "3", "--ring", "16", "--blocking-firmware"});
  EXPECT_NE(r.err.find("bench: window 8, cycle 3 of 3"), std::string::npos) << r.err;
  for (const char* window : {"\n1 ", "\n2 ", "\n4 "}) {
    EXPECT_NE(r.out.find(window), std::string::npos) << r.out;
  }
  const size_t row = r.out.find("\n8 ");
  ASSERT_NE(row, std::string::npos) << r.out;
  const std::string eight = r.out.substr(row + 1, r.out.find('\n', row + 1) - row - 1);
  EXPECT_EQ(eight.find(" 0 of 36"), std::string::npos) << "window 8 overruns the ring: " << eight;
  EXPECT_EQ(r.out.find("safe max_in_flight for this controller: 8"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, r.out.find("safe max_in_flight") != std::string::npos ? 0 : 1) << r.out;
}

TEST(Chassisctl, NeverDiesWhateverItsArgumentsOrStreams) {
  ToolRun r = chassisctl({"--simulate", "--serial", "X\nA: foo", "get", "5"});
  EXPECT_EQ(r.status, 2) << r.err;
  r = chassisctl({"--simulate", "--quiet", "--serial", "ROVER-1", "list"});
  EXPECT_NE(r.out.find("ROVER-1"), std::string::npos) << "--serial names the simulated adapter";

  test::ChildOptions closed_stdout;
  closed_stdout.in_child = [] { close(STDOUT_FILENO); };
  r = test::runChild({CHASSISCTL, "--quiet", "list"}, closed_stdout);
  EXPECT_EQ(r.status, 1) << "exit status, not a signal";
  EXPECT_NE(r.err.find("standard output"), std::string::npos) << r.err;
  test::ChildOptions both_closed;
  both_closed.in_child = [] {
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
  };
  r = test::runChild({CHASSISCTL, "--quiet", "list"}, both_closed);
  EXPECT_EQ(r.status, 1) << "the results had nowhere to go";

  r = chassisctl({"--simulate", "frob"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown subcommand 'frob'"), std::string::npos) << r.err;
  r = chassisctl({"--simulate", "set", "5", std::string(60, 'x'), "--type", "text"});
  EXPECT_NE(r.err.find("bytes"), std::string::npos) << r.err;
}

TEST(Chassisctl, ListShowsEveryPortAndExplainsAdaptersWithoutSerial) {
  chassis_sim::AdapterConfig anonymous;
  anonymous.has_serial = false;
  auto sim =
      make_sim().add_builtin_uart("ttyS0").add_adapter("ABC123").add_adapter(anonymous).build();
  const ToolRun r = chassisctl({"list"});
  EXPECT_EQ(r.status, 0);
  const auto lines = test::splitLines(r.out);
  ASSERT_GE(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[1].substr(0, 10), "/dev/ttyS0");
  EXPECT_NE(lines[1].find(" no"), std::string::npos);
  EXPECT_NE(lines[2].find("1a86:7523  ABC123"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("(none)"), std::string::npos) << lines[3];
  EXPECT_NE(r.out.find("--device"), std::string::npos) << r.out;
}

TEST(Chassisctl, AnOpenFailureSaysItsCauseAndItsFix) {
  auto sim = make_sim().add_adapter("ABC123").build();
  const std::string directory = testing::TempDir() + "chassisctl_dir";
  const std::string file = testing::TempDir() + "chassisctl_file";
  mkdir(directory.c_str(), 0700);
  close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  for (const std::string& path : {directory, file}) {
    const ToolRun r = chassisctl({"--quiet", "--device", path, "get", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "chassisctl: " + path + ": not a serial device\n");
  }
  const ToolRun missing = chassisctl({"--quiet", "--serial", "OTHER", "get", "5"});
  EXPECT_NE(missing.err.find("brltty"), std::string::npos) << "where brltty may have taken it";
  unlink(file.c_str());
  rmdir(directory.c_str());
}

TEST(Chassisctl, SimulateNeedsNoDeviceAndHelpExitsZero) {
  ToolRun r = chassisctlOk({"--simulate", "--quiet", "set", "4", "2.25"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "entry 4 set to 2.250\n");
  r = chassisctl({"--simulate", "list"});
  EXPECT_NE(r.out.find("SIM-0001"), std::string::npos) << r.out;
  r = chassisctl({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("watch"), std::string::npos);
  EXPECT_NE(r.out.find("Usage: chassisctl "), std::string::npos) << r.out;
  r = chassisctl({"set", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("VALUE"), std::string::npos);
}

// The socket the owner of adapter ABC123 serves on, in the testbed's socket directory.
std::string ownerSocket() {
  return std::string(getenv("SERIAL_DRIVER_RUN_DIR")) + "/serial-ABC123.sock";
}

// This test process holds the adapter and serves it.
class ThroughTheOwnerTest : public ChassisctlTest {
 protected:
  void SetUp() override {
    ChassisctlTest::SetUp();
    serial_driver::LinkOptions options;
    options.serial = "ABC123";
    // The tool's commands run on this owner's engine: a deadline no loaded or emulated
    // machine reaches.
    options.reply_timeout = std::chrono::seconds(2);
    ASSERT_FALSE(owner_.open(options));
    ASSERT_EQ(owner_.stats().owner_pid, 0) << "this process holds the port";
    self_ = "pid " + std::to_string(getpid()) + " (" + test::slurp("/proc/self/comm");
    self_.pop_back();  // comm's newline
    self_ += ")";
  }
  ChassisLink owner_;
  std::string self_;  // "pid 4242 (chassisctl_test)"
};

TEST_F(ThroughTheOwnerTest, GetsGoThroughItAndSetsAreRefusedSayingHowToAllowThem) {
  controller().setEntry(5, "2.5");
  ToolRun r = chassisctlOk({"--serial", "ABC123", "get", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2.5\n");
  EXPECT_NE(r.err.find("chassisctl: through the owner " + self_ + "\n"), std::string::npos)
      << r.err;

  r = chassisctl({"--serial", "ABC123", "set", "5", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("chassisctl: entry 5: refused by the owner"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--allow-writes"), std::string::npos) << r.err;
  EXPECT_EQ(controller().entry(5), "2.5");

  // Straight to the socket, as one forwarded from another machine is reached.
  r = chassisctlOk({"--quiet", "--socket", ownerSocket(), "get", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2.5\n");
  EXPECT_EQ(r.err, "") << "--quiet says nothing of the owner";
  r = chassisctl({"--quiet", "--socket", ownerSocket() + ".none", "get", "5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no owner serves there"), std::string::npos) << r.err;
}

TEST_F(ThroughTheOwnerTest, StatusShowsTheOwnerItsClientsAndStaleSockets) {
  // A client attached from this process, and a socket whose owner is gone.
  ChassisLink client;
  serial_driver::LinkOptions options;
  options.serial = "ABC123";
  ASSERT_FALSE(client.open(options));
  ASSERT_NE(client.stats().owner_pid, 0) << "the second link goes through the owner";
  const std::string stale = std::string(getenv("SERIAL_DRIVER_RUN_DIR")) + "/ttyUSB9.sock";
  {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", stale.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
    close(fd);  // bound, never listened on: refuses connections
  }

  const ToolRun r = chassisctl({"status"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("socket " + ownerSocket() + "\n  owner    " + self_ +
                       "\n  clients  1: " + self_ + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("socket " + stale + "\n  stale: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("adapter /dev/ttyUSB0 serial ABC123: served by " + self_ + "\n"),
            std::string::npos)
      << r.out;
  unlink(stale.c_str());
}

std::string chassisdPath() { return CHASSISD; }

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST_F(ChassisctlTest, ChassisdServesTheAdapterUntilSigterm) {
  const std::string log = testing::TempDir() + "chassisd.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const std::string path = chassisdPath();
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--serial"),
                  const_cast<char*>("ABC123"), nullptr};
  pid_t daemon = 0;
  ASSERT_EQ(posix_spawn(&daemon, path.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  struct stat st {};
  ASSERT_TRUE(waitFor([&] { return stat(ownerSocket().c_str(), &st) == 0; })) << test::slurp(log);

  controller().setEntry(12, "3.25");
  ChassisLink client;
  serial_driver::LinkOptions options;
  options.serial = "ABC123";
  ASSERT_FALSE(client.open(options));
  EXPECT_EQ(client.stats().owner_pid, daemon);
  EXPECT_EQ(client.stats().owner_program, "chassisd");
  test::Exchanges<chassis_sim::Controller> exchanges(controller());
  float value = 0.0f;
  EXPECT_TRUE(exchanges.succeed([&] { return !client.get(12, value); }));
  EXPECT_EQ(value, 3.25f);
  client.close();

  kill(daemon, SIGTERM);
  int status = -1;
  ASSERT_TRUE(waitFor([&] { return waitpid(daemon, &status, WNOHANG) == daemon; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << test::slurp(log);
  EXPECT_NE(stat(ownerSocket().c_str(), &st), 0) << "the socket goes with its owner";
  EXPECT_NE(test::slurp(log).find("serving adapter 'ABC123' at " + ownerSocket()),
            std::string::npos)
      << test::slurp(log);
  unlink(log.c_str());

  // Its own usage errors and unusable options.
  EXPECT_EQ(test::runChild({path}).status, 2);
  EXPECT_EQ(test::runChild({path, "--serial", "A", "--device", "/dev/ttyUSB0"}).status, 2);
  EXPECT_EQ(test::runChild({path, "--serial", "ABC123", "--baud", "57600"}).status, 1);
}

}  // namespace
