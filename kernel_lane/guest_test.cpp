// Runs inside the QEMU guest: both interfaces through the real ch341 driver and a real udev.
// The chip and the controller are on the host, steered through the guest's second serial port.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "serial_driver.h"
#include "serial_driver/chassis_link.h"
#include "serial_driver/serial_identify.h"

namespace {

using serial_driver::ChassisLink;
using serial_driver::Errc;
using serial_driver::LinkOptions;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSerial = "LANE0001";

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
  options.reply_timeout = 200ms + std::chrono::milliseconds(2 * 64 * 10 * 1000 / baud);
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

TEST(RealDriver, ARateTheControllerDoesNotUseFailsEveryExchange) {
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial(9600)));
  int value = 0;
  for (int n = 0; n < 3; ++n) EXPECT_EQ(link.get(1, value), Errc::timeout);
  SerialDriver driver;
  std::string dev;
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
  const int stale = open(old_node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(stale, 0);
  replug();
  const std::string new_node = currentNode();
  EXPECT_NE(new_node, old_node);
  EXPECT_EQ(new_node.rfind("/dev/ttyUSB", 0), 0u) << new_node;
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

volatile sig_atomic_t ticks = 0;

// Faults, replugs and a 250 us timer signal without SA_RESTART through the real driver.
TEST(RealDriverSoak, EveryResultIsTheOneTheFaultImplies) {
  struct sigaction action {};
  action.sa_handler = [](int) { ticks = ticks + 1; };
  sigaction(SIGALRM, &action, nullptr);
  const itimerval timer{{0, 250}, {0, 250}};
  setitimer(ITIMER_REAL, &timer, nullptr);

  host();  // its descriptor is not the link's
  ChassisLink link;
  ASSERT_FALSE(link.open(bySerial()));
  const int descriptors = openDescriptors();
  int unexpected = 0, replugs = 0;
  for (int n = 1; n <= 300; ++n) {
    if (n % 100 == 0) {
      replug();
      ++replugs;
      std::error_code back;
      for (int tries = 0; tries < 200 && (back = link.set(20, n)); ++tries) {
        std::this_thread::sleep_for(50ms);
      }
      if (back) {
        ++unexpected;
        ADD_FAILURE() << "not back 10 s after replug " << replugs << ": " << back.message();
      }
      continue;
    }
    const bool lose = n % 7 == 0, garble = !lose && n % 11 == 0;  // one fault, for the set
    if (lose) host().ask("fault 1 no reply");
    if (garble) host().ask("fault 1 bad checksum");
    const std::error_code set = link.set(20, n);
    int value = -1;
    const std::error_code get = link.get(20, value);
    const bool faulted = lose || garble;
    // The command takes effect even when its reply is lost or garbled.
    if ((faulted ? set != Errc::timeout : bool(set)) || get || value != n) {
      ++unexpected;
      ADD_FAILURE() << "exchange " << n << ": " << set.message() << " / " << get.message();
    }
  }
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(replugs, 3);
  EXPECT_GT(ticks, 1000);
  EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
