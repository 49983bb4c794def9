// Runs inside the QEMU guest: both interfaces through the real ch341 driver and a real udev.
// The chip and the controller are on the host, steered through the guest's second serial port.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial_driver.h"
#include "serial_driver/chassis_link.h"
#include "serial_driver/codec.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/wire_facts.h"

namespace {

using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSerial = "LANE0001";
constexpr const char* kOtherSerial = "LANE0002";

// The control channel to lane_host: one command line out, one answer line back.
class Host {
 public:
  Host() {
    fd_ = open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    tcgetattr(fd_, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(fd_, TCSANOW, &raw);
  }
  ~Host() { close(fd_); }
  std::string ask(const std::string& command) {
    // The soak's timer signal interrupts these calls; they carry on.
    const std::string line = command + "\n";
    for (size_t sent = 0; sent < line.size();) {
      const ssize_t n = write(fd_, line.data() + sent, line.size() - sent);
      if (n > 0) sent += static_cast<size_t>(n);
      if (n < 0 && errno != EINTR) return "error: " + std::string(strerror(errno));
    }
    std::string answer;
    for (char c = 0;;) {
      const ssize_t n = read(fd_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1 || c == '\n') break;
      answer += c;
    }
    return answer;
  }

 private:
  int fd_ = -1;
};

Host& host() {
  static Host instance;
  return instance;
}

// A command for the chip at `chip` (0 is the one plugged at boot as LANE0001, 1 starts out
// unplugged).
std::string askChip(int chip, const std::string& command) {
  return host().ask("@" + std::to_string(chip) + " " + command);
}

// udev has made (or removed) the node: the lane's view of "plugged".
bool waitFor(const std::string& path, bool present, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (fs::exists(path) != present) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void replug(const std::string& serial = kSerial) {
  ASSERT_EQ(host().ask("unplug"), "ok");
  ASSERT_TRUE(waitFor("/dev/chassis-" + std::string(kSerial), false));
  ASSERT_EQ(host().ask("plug " + serial), "ok");
  if (serial != "-") {
    ASSERT_TRUE(waitFor("/dev/chassis-" + serial, true));
  }
  system("udevadm settle");
}

// The adapter's node as udev names it now.
std::string currentNode() { return getDevicePort("7523", "1a86", kSerial); }

// What a shell command prints on standard output.
std::string commandOutput(const std::string& command) {
  FILE* out = popen(command.c_str(), "r");
  std::string text;
  for (char buf[256]; fgets(buf, sizeof buf, out) != nullptr;) text += buf;
  pclose(out);
  return text;
}

int openDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// The guest's processor is emulated and shares the host: a reply the controller sent at once
// can reach the guest's program tens of milliseconds late on a busy machine. The link waits
// longer than its default for it, on top of two frames' time on the line; SerialDriver's
// window is fixed.
LinkOptions bySerial(int baud = 115200) {
  LinkOptions options;
  options.serial = kSerial;
  options.baud = baud;
  options.reply_timeout = 200ms + std::chrono::ceil<std::chrono::milliseconds>(
                                      2 * kFrameSize * serial_driver::detail::byteTime(baud));
  return options;
}

LinkOptions byDevice(const std::string& path) {
  LinkOptions options = bySerial();
  options.serial.clear();
  options.device = path;
  return options;
}

TEST(RealDriver, LookupBySerialNumberThroughUdev) {
  bool listed = false;
  for (const auto& port : serial_driver::listSerialPorts()) {
    if (port.on_usb && port.usb.i_serial == kSerial) {
      listed = port.usb.id_vendor == "1a86" && port.usb.id_product == "7523" &&
               port.devnode.rfind("/dev/ttyUSB", 0) == 0;
    }
  }
  EXPECT_TRUE(listed);
  EXPECT_EQ(getDevicePort("7523", "1a86", kSerial), "/dev/ttyUSB0");
  const std::string text = commandOutput("chassisctl list");
  EXPECT_NE(text.find(kSerial), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/ttyUSB0"), std::string::npos) << text;
}

TEST(RealDriver, BothInterfacesCarryEveryValueTypeBothWays) {
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial()));
  EXPECT_FALSE(link.set(1, 42));
  EXPECT_FALSE(link.set(2, 1.5f));
  EXPECT_FALSE(link.set(3, "forward"));
  EXPECT_EQ(host().ask("entry 1"), "42");
  EXPECT_EQ(host().ask("entry 3"), "forward");
  ASSERT_EQ(host().ask("set 4 -7"), "ok");
  ASSERT_EQ(host().ask("set 5 0.25"), "ok");
  ASSERT_EQ(host().ask("set 6 left turn"), "ok");
  int i = 0;
  float f = 0;
  std::string text;
  EXPECT_FALSE(link.get(4, i));
  EXPECT_FALSE(link.get(5, f));
  EXPECT_FALSE(link.get(6, text));
  EXPECT_EQ(i, -7);
  EXPECT_FLOAT_EQ(f, 0.25f);
  EXPECT_EQ(text, "left turn");
  link.close();

  SerialDriver driver;
  std::string dev;
  ASSERT_TRUE(driver.init(kSerial, dev, 115200));
  EXPECT_EQ(dev, currentNode());
  const int seven = 7;
  const float half = 0.5f;
  EXPECT_TRUE(driver.setEntry(7, &seven));
  EXPECT_TRUE(driver.setEntry(8, &half));
  EXPECT_TRUE(driver.setEntry(9, "stop"));
  EXPECT_EQ(host().ask("entry 7"), "7");
  EXPECT_EQ(host().ask("entry 9"), "stop");
  char buffer[64] = {};
  EXPECT_TRUE(driver.getEntry(4, &i));
  EXPECT_TRUE(driver.getEntry(5, &f));
  EXPECT_TRUE(driver.getEntry(6, buffer));
  EXPECT_EQ(i, -7);
  EXPECT_FLOAT_EQ(f, 0.25f);
  EXPECT_STREQ(buffer, "left turn");
  driver.close();
}

// chassisctl's exit status and what it printed on either stream. The tool waits the library's
// own reply window, which a reply through the emulated guest can miss: a time-out is tried
// again, twice at most.
std::pair<int, std::string> chassisctl(const std::string& arguments) {
  std::pair<int, std::string> result;
  for (int attempt = 0; attempt < 3; ++attempt) {
    FILE* out = popen(("chassisctl " + arguments + " 2>&1").c_str(), "r");
    result.second.clear();
    for (char buf[256]; fgets(buf, sizeof buf, out) != nullptr;) result.second += buf;
    const int status = pclose(out);
    result.first = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (result.second.find("no valid reply in time") == std::string::npos) break;
  }
  return result;
}

// Unplugs one chip (which had `old_serial`) and, unless `serial` is empty, plugs it again with
// that serial number, waiting for udev either way.
void plugAs(int chip, const std::string& old_serial, const std::string& serial) {
  ASSERT_EQ(askChip(chip, "unplug"), "ok");
  if (!old_serial.empty()) {
    ASSERT_TRUE(waitFor("/dev/chassis-" + old_serial, false));
  }
  if (serial.empty()) return;
  ASSERT_EQ(askChip(chip, "plug " + serial), "ok");
  ASSERT_TRUE(waitFor("/dev/chassis-" + serial, true));
  system("udevadm settle");
}

// Serial numbers that a lookup by prefix, by a shorter or longer match, or one taking any
// adapter with a serial number would mistake for LANE0001.
TEST(RealDriver, ANearMissSerialNumberIsNotFound) {
  plugAs(0, kSerial, "");
  std::string plugged;
  for (const std::string near : {"LANE0002", "LANE00012", "LANE000"}) {
    SCOPED_TRACE(near);
    plugAs(1, plugged, near);
    plugged = near;
    EXPECT_EQ(getDevicePort("7523", "1a86", kSerial), "");
    ChassisLink link;
    EXPECT_EQ(link.open(bySerial()), Errc::not_found);
    SerialDriver driver;
    std::string dev;
    EXPECT_FALSE(driver.init(kSerial, dev, 115200));
    const auto [status, text] = chassisctl("--serial " + std::string(kSerial) + " get 1");
    EXPECT_EQ(status, 1) << text;
    EXPECT_NE(text.find("no 1a86:7523 adapter with USB serial number"), std::string::npos) << text;
  }
  plugAs(1, plugged, "");
  plugAs(0, "", kSerial);
}

// Two adapters at once, the one asked for on either USB port: each interface and chassisctl
// write to its controller and not the other's.
TEST(RealDriver, OfTwoAdaptersTheOneWithTheSerialNumberIsTaken) {
  plugAs(0, kSerial, "");
  for (int wanted : {1, 0}) {
    SCOPED_TRACE("LANE0001 on chip " + std::to_string(wanted));
    const int other = 1 - wanted;
    plugAs(other, "", kOtherSerial);
    plugAs(wanted, "", kSerial);
    const std::string mark = std::to_string(100 + wanted);

    ChassisLink link;
    ASSERT_FALSE(link.open(bySerial()));
    EXPECT_FALSE(link.set(30, std::stoi(mark)));
    link.close();
    SerialDriver driver;
    std::string dev;
    ASSERT_TRUE(driver.init(kSerial, dev, 115200));
    const int value = std::stoi(mark);
    EXPECT_TRUE(driver.setEntry(31, &value));
    driver.close();
    const auto [status, text] =
        chassisctl("--serial " + std::string(kSerial) + " set 32 " + mark + " --type int");
    EXPECT_EQ(status, 0) << text;
    for (int index : {30, 31, 32}) {
      SCOPED_TRACE(index);
      EXPECT_EQ(askChip(wanted, "entry " + std::to_string(index)), mark);
      EXPECT_NE(askChip(other, "entry " + std::to_string(index)), mark);
    }
    plugAs(wanted, kSerial, "");
    plugAs(other, kOtherSerial, "");
  }
  plugAs(0, "", kSerial);
  EXPECT_EQ(currentNode(), "/dev/ttyUSB0");
}

// The rate and 8N1 the library asks termios for reach the chip's registers through the driver.
TEST(RealDriver, EveryRateReachesTheChip) {
  for (int baud : {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300}) {
    SCOPED_TRACE(baud);
    ASSERT_EQ(host().ask("rate " + std::to_string(baud)), "ok");
    ChassisLink link;
    ASSERT_FALSE(link.open(bySerial(baud)));
    int chip_rate = 0;
    unsigned line_control = 0;
    sscanf(host().ask("regs").c_str(), "%d %x", &chip_rate, &line_control);
    EXPECT_LE(std::abs(chip_rate - baud) * 100, baud * 2) << chip_rate;
    EXPECT_EQ(line_control, 0xc3u);  // 8 data bits, no parity, 1 stop bit, receive and send
    EXPECT_FALSE(link.set(10, baud));
    int back = 0;
    EXPECT_FALSE(link.get(10, back));
    EXPECT_EQ(back, baud);
  }
  ASSERT_EQ(host().ask("rate 115200"), "ok");
}

// What comes back within a second for one `$get 1` written on a node opened with these
// control flags (raw otherwise, 115200).
std::string getOnLine(tcflag_t frame_bits) {
  const int fd = open(currentNode().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return "open failed";
  termios line{};
  tcgetattr(fd, &line);
  cfmakeraw(&line);
  cfsetspeed(&line, B115200);
  line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  line.c_cflag |= frame_bits | CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &line);
  tcflush(fd, TCIOFLUSH);
  std::string frame = "$get 1";
  frame += static_cast<char>(calcXOR(frame.c_str()));
  frame += '\n';
  (void)!write(fd, frame.data(), frame.size());
  std::string reply;
  const auto end = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < end && reply.find('\n') == std::string::npos) {
    pollfd in{fd, POLLIN, 0};
    char buf[64];
    if (poll(&in, 1, 100) == 1) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) reply.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return reply;
}

// The controller's line is 8N1: the chip garbles every byte while its data size, parity or stop
// bits are otherwise, so a library that set any of them wrong could exchange nothing.
TEST(RealDriver, ALineOtherThan8N1GarblesEveryExchange) {
  ASSERT_EQ(host().ask("rate 115200"), "ok");
  EXPECT_EQ(getOnLine(CS8).rfind("$fdb 1 ", 0), 0u);
  const std::pair<const char*, tcflag_t> others[] = {
      {"7N1", CS7}, {"8E1", CS8 | PARENB}, {"8O1", CS8 | PARENB | PARODD}, {"8N2", CS8 | CSTOPB}};
  for (const auto& [name, bits] : others) {
    SCOPED_TRACE(name);
    const std::string reply = getOnLine(bits);
    EXPECT_EQ(reply.find('$'), std::string::npos) << reply;
  }
}

TEST(RealDriver, ARateTheControllerDoesNotUseFailsEveryExchange) {
  ChassisLink link;
  LinkOptions holding = bySerial(9600);
  holding.serve = false;
  ASSERT_FALSE(link.open(holding));
  int value = 0;
  for (int n = 0; n < 3; ++n) EXPECT_EQ(link.get(1, value), Errc::timeout);
  // The port is the link's until it is closed: a second opener, which it does not serve, is
  // told who holds it.
  SerialDriver driver;
  std::string dev;
  EXPECT_FALSE(driver.init(kSerial, dev, 38400));
  ChassisLink second;
  EXPECT_EQ(second.open(bySerial(9600)), Errc::busy);
  EXPECT_NE(second.open_failure().holder.find("(guest_test)"), std::string::npos)
      << second.open_failure().holder;
  const auto [status, text] = chassisctl("--serial " + std::string(kSerial) + " get 1");
  EXPECT_EQ(status, 1);
  EXPECT_NE(text.find("held by pid"), std::string::npos) << text;
  link.close();
  ASSERT_TRUE(driver.init(kSerial, dev, 38400));
  EXPECT_FALSE(driver.getEntry(1, &value));
}

TEST(RealDriver, UnplugDuringAnExchangeIsAHangUpAndTheLinkComesBack) {
  ChassisLink link;
  LinkOptions options = bySerial();
  options.reply_timeout = 5s;
  ASSERT_FALSE(link.open(options));
  ASSERT_EQ(host().ask("fault 1 no reply"), "ok");
  std::thread puller([] {
    std::this_thread::sleep_for(300ms);
    host().ask("unplug");
  });
  int value = 0;
  // Not the 5 s reply timeout: the hang-up ends the wait.
  EXPECT_EQ(link.get(1, value), Errc::hung_up);
  puller.join();
  ASSERT_EQ(host().ask("plug " + std::string(kSerial)), "ok");
  ASSERT_TRUE(waitFor("/dev/chassis-" + std::string(kSerial), true));
  std::error_code result;
  for (int n = 0; n < 100; ++n) {
    if (!(result = link.set(1, 5))) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_FALSE(result) << result.message();
  EXPECT_EQ(host().ask("entry 1"), "5");
}

TEST(RealDriver, SerialDriverReconnectsAfterTheRunOfFailures) {
  SerialDriver driver;
  std::string dev;
  ASSERT_TRUE(driver.init(kSerial, dev, 115200));
  replug();
  int value = 0;
  bool back = false;
  for (int n = 0; n < 400 && !back; ++n) back = driver.getEntry(1, &value);
  EXPECT_TRUE(back);
  driver.close();
}

// The kernel keeps ttyUSB0 while a descriptor on the vanished adapter is open: the adapter
// comes back under another name, which the lookup by serial number finds.
TEST(RealDriver, AReplugWhileTheOldNodeIsOpenComesBackAsTtyUsb1) {
  const std::string old_node = currentNode();
  ChassisLink holder;
  ASSERT_FALSE(holder.open(bySerial()));
  const int stale = open(old_node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(stale, 0);
  replug();
  const std::string new_node = currentNode();
  EXPECT_NE(new_node, old_node);
  EXPECT_EQ(new_node.rfind("/dev/ttyUSB", 0), 0u) << new_node;
  // The holder reconnects to the new node, and its lock file goes along.
  std::error_code result;
  for (int n = 0; n < 100 && (result = holder.set(1, 11)); ++n) std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(result) << result.message();
  const auto lockFile = [](const std::string& node) { return "/run/lock/LCK.." + node.substr(5); };
  char pid[16];
  snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
  EXPECT_FALSE(fs::exists(lockFile(old_node)));
  std::ifstream held(lockFile(new_node));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), pid);
  holder.close();
  EXPECT_FALSE(fs::exists(lockFile(new_node)));
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial()));
  EXPECT_EQ(link.device(), new_node);
  EXPECT_FALSE(link.set(1, 11));
  link.close();
  SerialDriver driver;
  std::string dev;
  ASSERT_TRUE(driver.init(kSerial, dev, 115200));
  EXPECT_EQ(dev, new_node);
  int value = 0;
  EXPECT_TRUE(driver.getEntry(1, &value));
  EXPECT_EQ(value, 11);
  driver.close();
  close(stale);
  replug();
  EXPECT_EQ(currentNode(), "/dev/ttyUSB0");  // the first free number again
}

TEST(RealDriver, AnAdapterWithoutSerialNumberIsOpenedByPath) {
  replug("-");
  std::string by_path;
  for (int n = 0; n < 500 && by_path.empty(); ++n) {
    std::this_thread::sleep_for(10ms);
    std::error_code absent;
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-path", absent)) {
      by_path = entry.path();
    }
  }
  ASSERT_FALSE(by_path.empty());
  EXPECT_FALSE(fs::exists("/dev/chassis-" + std::string(kSerial)));
  ChassisLink link;
  EXPECT_EQ(link.open(bySerial()), Errc::not_found);
  ASSERT_FALSE(link.open(byDevice(by_path)));
  EXPECT_FALSE(link.set(1, 3));
  link.close();
  replug();
}

// Opens the adapter as another user, in a child process: the status is the open's errno.
int openAs(uid_t uid, const std::vector<gid_t>& groups) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
      _exit(100);
    }
    ChassisLink link;
    const std::error_code result = link.open(bySerial());
    _exit(result == Errc::open_failed ? EACCES : result ? 101 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 102;
}

// A robot's cycle of 6 gets and 6 sets through the real driver, the chip pacing both
// directions at the line's rate with a controller that reads commands while it answers: at a
// window of 1 and of 4, every value right; the cycle times are printed, not judged.
TEST(RealDriverBatch, ACycleAtWindowsOneAndFourCarriesEveryValue) {
  ASSERT_EQ(host().ask("duplex 256"), "ok");
  for (const int window : {1, 4}) {
    ChassisLink link;
    LinkOptions options = bySerial();
    options.reply_timeout = 2s;  // only a stalled guest comes near it; no reply is lost here
    options.max_in_flight = window;
    ASSERT_FALSE(link.open(options));
    std::vector<double> cycle_ms;
    for (int cycle = 0; cycle < 30; ++cycle) {
      for (int n = 0; n < 6; ++n)
        host().ask("set " + std::to_string(40 + n) + " " + std::to_string(cycle * 10 + n));
      int got[6] = {};
      serial_driver::Batch batch;
      for (int n = 0; n < 6; ++n) {
        batch.get(40 + n, got[n]);
        batch.set(50 + n, cycle + n);
      }
      const auto began = std::chrono::steady_clock::now();
      const std::error_code ec = link.exchange(batch);
      cycle_ms.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
              .count());
      ASSERT_FALSE(ec) << "window " << window << ", cycle " << cycle << ": " << ec.message();
      for (int n = 0; n < 6; ++n) EXPECT_EQ(got[n], cycle * 10 + n) << window << " " << n;
      EXPECT_EQ(host().ask("entry 55"), std::to_string(cycle + 5));
    }
    std::sort(cycle_ms.begin(), cycle_ms.end());
    printf("batch through ch341: window %d, 12-item cycle median %.2f ms\n", window,
           cycle_ms[cycle_ms.size() / 2]);
  }
  ASSERT_EQ(host().ask("duplex 0"), "ok");
}

// Runs reading in a child process as user uid with groups; the status is what it returns.
int runAs(uid_t uid, const std::vector<gid_t>& groups, const std::function<int()>& reading) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
      _exit(100);
    }
    _exit(reading());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 102;
}

// The owner, root here, serves a program of a user in dialout through the real driver, values
// right; a user who may not open the tty may not use the owner either.
TEST(RealDriverOwner, AProgramOfTheDialoutGroupReadsThroughTheOwner) {
  ChassisLink owner;
  LinkOptions options = bySerial();
  options.reply_timeout = 2s;
  ASSERT_FALSE(owner.open(options));
  const pid_t owner_pid = getpid();
  const auto readTwice = [&] {
    ChassisLink client;
    if (client.open(bySerial()) || client.stats().owner_pid != owner_pid) return 1;
    for (const int value : {123, 456}) {
      if (host().ask("set 40 " + std::to_string(value)) != "ok") return 2;
      int got = 0;
      if (client.get(40, got) || got != value) return 3;
    }
    return client.set(40, 7) == Errc::rejected ? 0 : 4;
  };
  EXPECT_EQ(runAs(1000, {1000, getgrnam("dialout")->gr_gid}, readTwice), 0);
  EXPECT_EQ(runAs(1001, {1001},
                  [] {
                    LinkOptions through;
                    through.socket = "/run/serial_driver/serial-" + std::string(kSerial) + ".sock";
                    return ChassisLink().open(through) == Errc::open_failed ? 0 : 1;
                  }),
            0);
  int got = 0;
  ASSERT_FALSE(owner.get(40, got));
  EXPECT_EQ(got, 456);
}

TEST(RealDriverBatch, AnUnplugMidBatchFailsTheRestAndTheLinkComesBack) {
  ASSERT_EQ(host().ask("duplex 256"), "ok");
  ASSERT_EQ(host().ask("rate 1200"), "ok");  // slow enough to pull the adapter mid-batch
  ChassisLink link;
  LinkOptions options = bySerial(1200);
  options.max_in_flight = 4;
  ASSERT_FALSE(link.open(options));
  std::vector<int> got(12);
  serial_driver::Batch batch;
  for (int n = 0; n < 12; ++n) batch.get(n, got[n]);
  std::thread puller([] {
    std::this_thread::sleep_for(300ms);
    host().ask("unplug");
  });
  EXPECT_EQ(link.exchange(batch), Errc::hung_up);
  puller.join();
  EXPECT_EQ(batch.result(11), Errc::hung_up);
  ASSERT_EQ(host().ask("rate 115200"), "ok");
  ASSERT_EQ(host().ask("plug " + std::string(kSerial)), "ok");
  ASSERT_TRUE(waitFor("/dev/chassis-" + std::string(kSerial), true));
  link.close();
  ASSERT_FALSE(link.open(bySerial()));
  serial_driver::Batch again;
  int value = -1;
  again.set(3, 7);
  again.get(3, value);
  EXPECT_FALSE(link.exchange(again));
  EXPECT_EQ(value, 7);
  ASSERT_EQ(host().ask("duplex 0"), "ok");
}

TEST(UdevRules, TheInstalledRulesNameTheAdapterAndLetDialoutIn) {
  const std::string stable = "/dev/chassis-" + std::string(kSerial);
  ASSERT_TRUE(waitFor(stable, true));
  const std::string node = currentNode();
  EXPECT_EQ(fs::canonical(stable), node);
  struct stat info {};
  ASSERT_EQ(stat(node.c_str(), &info), 0);
  EXPECT_EQ(info.st_gid, getgrnam("dialout")->gr_gid);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  const std::string properties = commandOutput("udevadm info --query=property --name=" + node);
  EXPECT_NE(properties.find("ID_MM_DEVICE_IGNORE=1"), std::string::npos) << properties;
  EXPECT_NE(properties.find("ID_USB_DRIVER=ch341"), std::string::npos) << properties;

  ChassisLink link;
  ASSERT_FALSE(link.open(byDevice(stable)));
  EXPECT_FALSE(link.set(1, 1));
  link.close();
  EXPECT_EQ(openAs(1000, {1000, getgrnam("dialout")->gr_gid}), 0);  // robot, in dialout
  EXPECT_EQ(openAs(1001, {1001}), EACCES);                          // visitor
}

// The tty's settings as the library left them, read through a descriptor of our own.
termios ttySettings() {
  termios line{};
  const int fd = open(currentNode().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  tcgetattr(fd, &line);
  close(fd);
  return line;
}

// Neither interface asks for flow control of either kind; the tty raises DTR and RTS when it is
// opened and drops them when the last descriptor closes (HUPCL), reconnections included.
TEST(ModemLines, OpenRaisesDtrAndRtsWithoutFlowControlAndCloseDropsThem) {
  EXPECT_EQ(host().ask("modem"), "dtr 0 rts 0 flow 00");
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial()));
  EXPECT_EQ(host().ask("modem"), "dtr 1 rts 1 flow 00");
  termios line = ttySettings();
  EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_NE(line.c_cflag & HUPCL, 0u);
  replug();
  std::error_code back;
  for (int n = 0; n < 100 && (back = link.set(1, 2)); ++n) std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(back) << back.message();
  EXPECT_EQ(host().ask("modem"), "dtr 1 rts 1 flow 00");
  EXPECT_EQ(ttySettings().c_cflag & CRTSCTS, 0u);
  link.close();
  EXPECT_EQ(host().ask("modem"), "dtr 0 rts 0 flow 00");

  SerialDriver driver;
  std::string dev;
  ASSERT_TRUE(driver.init(kSerial, dev, 115200));
  EXPECT_EQ(host().ask("modem"), "dtr 1 rts 1 flow 00");
  line = ttySettings();
  EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
  driver.close();
  EXPECT_EQ(host().ask("modem"), "dtr 0 rts 0 flow 00");
}

// A controller that CTS holds back does not hold the library's commands: no RTS/CTS flow
// control. (The chip holds its output under flow control while CTS is low; Debian 12's ch341
// driver never turns it on, so the settings check above is what catches a library asking.)
TEST(ModemLines, ExchangesGoThroughWhileCtsIsLow) {
  ASSERT_EQ(host().ask("cts 0"), "ok");
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial()));
  EXPECT_FALSE(link.set(1, 8));
  link.close();
  SerialDriver driver;
  std::string dev;
  ASSERT_TRUE(driver.init(kSerial, dev, 115200));
  int value = 0;
  EXPECT_TRUE(driver.getEntry(1, &value));
  EXPECT_EQ(value, 8);
  driver.close();

  // The driver sees CTS as the chip reports it: read at open, then sent on each change.
  const int fd = open(currentNode().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  int lines = 0;
  ioctl(fd, TIOCMGET, &lines);
  EXPECT_EQ(lines & (TIOCM_CTS | TIOCM_DTR), TIOCM_DTR);
  ASSERT_EQ(host().ask("cts 1"), "ok");
  for (int n = 0; n < 200 && (lines & TIOCM_CTS) == 0; ++n) {
    std::this_thread::sleep_for(10ms);
    ioctl(fd, TIOCMGET, &lines);
  }
  EXPECT_NE(lines & TIOCM_CTS, 0);
  close(fd);
}

// Boards whose controller resets when DTR is asserted: opening the port, or reopening it on a
// reconnection, reboots the controller. It hears nothing for its boot time, then prints a
// banner line. A program that waits out the boot after opening finds it answering, the banner
// dropped from the input; one that does not sees time-outs until then.
TEST(ModemLines, OpeningResetsAnAutoResetBoardWhichAnswersOnceBooted) {
  ASSERT_EQ(host().ask("reset-on-dtr 1500 chassis controller booted"), "ok");
  for (bool wait_first : {false, true}) {
    SCOPED_TRACE(wait_first ? "waiting out the boot" : "at once");
    ChassisLink link;
    ASSERT_FALSE(link.open(bySerial()));
    int value = 0;
    if (!wait_first) {
      EXPECT_EQ(link.get(1, value), Errc::timeout);  // in reset
    }
    std::this_thread::sleep_for(2s);  // booted, the banner in the input
    EXPECT_FALSE(link.get(1, value));
    link.close();

    SerialDriver driver;
    std::string dev;
    ASSERT_TRUE(driver.init(kSerial, dev, 115200));
    if (!wait_first) {
      EXPECT_FALSE(driver.getEntry(1, &value));
    }
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(driver.getEntry(1, &value));
    driver.close();
  }
  ASSERT_EQ(host().ask("reset-on-dtr 0"), "ok");
}

volatile sig_atomic_t ticks = 0;

// A text value whose reply frame ends in the checksum byte `checksum`, for entry 21. None of its
// bytes is a NUL, space, CR or newline, which the control channel cannot carry.
std::string textWithReplyChecksum(uint8_t checksum) {
  const auto usable = [](int byte) {
    return byte != 0 && byte != ' ' && byte != '\n' && byte != '\r';
  };
  const int wanted = calcXOR("$fdb 21 v") ^ checksum;
  for (int first = 0x21; first <= 0xff; ++first) {
    if (usable(first) && usable(wanted ^ first)) {
      return std::string("v") + static_cast<char>(first) + static_cast<char>(wanted ^ first);
    }
  }
  return "v";
}

// The tty as a freshly plugged adapter has it: canonical, echo, CR to NL, XON/XOFF, output
// processing. The interface under test must undo all of it.
void makeFresh(const std::string& node) {
  const int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios fresh{};
  tcgetattr(fd, &fresh);
  fresh.c_iflag = ICRNL | IXON;
  fresh.c_oflag = OPOST | ONLCR;
  fresh.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &fresh), 0);
  close(fd);
}

// The operations of one interface, each true when it succeeded.
struct Interface {
  std::function<bool(int)> set;
  std::function<bool(int&)> get;
  std::function<bool(std::string&)> getText;
  // A reply through the emulated guest can miss a window: SerialDriver's is fixed at 11 ms,
  // and on a busy host the guest's processor may stall past even ChassisLink's 200 ms. An
  // exchange that should have succeeded is tried again; a fault of the library's makes every
  // try fail.
  int tries;
};

// Faults, replugs, a 250 us timer signal without SA_RESTART and reply checksums of every byte
// value through the real driver, on a tty that starts with the kernel's default settings.
void soak(const std::function<Interface()>& open_interface, const std::function<void()>& close) {
  struct sigaction action {};
  action.sa_handler = [](int) { ticks = ticks + 1; };
  sigaction(SIGALRM, &action, nullptr);
  ticks = 0;
  const itimerval timer{{0, 250}, {0, 250}};
  setitimer(ITIMER_REAL, &timer, nullptr);

  host();  // its descriptor is not the link's
  makeFresh(currentNode());
  const int descriptors_before = openDescriptors();
  Interface io = open_interface();
  const int descriptors = openDescriptors();
  ASSERT_GT(descriptors, descriptors_before);
  int unexpected = 0, replugs = 0, retried = 0;
  const auto tried = [&](const std::function<bool()>& exchange) {
    for (int attempt = 0; attempt < io.tries; ++attempt) {
      if (exchange()) return true;
      if (attempt + 1 < io.tries) ++retried;
    }
    return false;
  };
  for (int n = 1; n <= 300; ++n) {
    if (n % 100 == 0) {
      replug();
      ++replugs;
      bool back = false;
      for (int tries = 0; tries < 400 && !(back = io.set(n)); ++tries) {
        std::this_thread::sleep_for(10ms);
      }
      if (!back) {
        ++unexpected;
        ADD_FAILURE() << "not back after replug " << replugs;
      }
      continue;
    }
    const std::string text = textWithReplyChecksum(static_cast<uint8_t>(n));
    host().ask("set 21 " + text);
    const bool lose = n % 7 == 0, garble = !lose && n % 11 == 0;  // one fault, for the set
    if (lose) host().ask("fault 1 no reply");
    if (garble) host().ask("fault 1 bad checksum");
    // The command takes effect even when its reply is lost or garbled.
    const bool set = lose || garble ? !io.set(n) : tried([&] { return io.set(n); });
    int value = -1;
    const bool get = tried([&] { return io.get(value) && value == n; });
    std::string back;
    const bool get_text = tried([&] { return io.getText(back) && back == text; });
    if (!set || !get || !get_text) {
      ++unexpected;
      ADD_FAILURE() << "exchange " << n << ": set " << set << ", get " << get << " (" << value
                    << "), text " << get_text << " (checksum " << (n & 0xff) << ")";
    }
  }
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  printf("soak: %d timer signals, %d exchanges tried again\n", static_cast<int>(ticks), retried);
  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(replugs, 3);
  EXPECT_GT(ticks, 1000);
  EXPECT_EQ(openDescriptors(), descriptors);
  close();
  EXPECT_EQ(openDescriptors(), descriptors_before);
}

TEST(RealDriverSoak, ChassisLinkGivesTheResultEachFaultImplies) {
  ChassisLink link;
  soak(
      [&] {
        EXPECT_FALSE(link.open(bySerial()));
        return Interface{[&](int n) { return !link.set(20, n); },
                         [&](int& v) { return !link.get(20, v); },
                         [&](std::string& t) { return !link.get(21, t); }, 2};
      },
      [&] { link.close(); });
}

TEST(RealDriverSoak, SerialDriverGivesTheResultEachFaultImplies) {
  SerialDriver driver;
  soak(
      [&] {
        std::string dev;
        EXPECT_TRUE(driver.init(kSerial, dev, 115200));
        return Interface{[&](int n) { return driver.setEntry(20, &n); },
                         [&](int& v) { return driver.getEntry(20, &v); },
                         [&](std::string& t) {
                           char buffer[64] = {};
                           const bool ok = driver.getEntry(21, buffer);
                           t = buffer;
                           return ok;
                         },
                         3};
      },
      [&] { driver.close(); });
}

}  // namespace
