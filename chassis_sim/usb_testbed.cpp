#include "chassis_sim/usb_testbed.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "serial_driver/wire_facts.h"

namespace chassis_sim {

namespace {

constexpr const char* kUsbRoot = "/devices/pci0000:00/0000:00:14.0/usb1";

// umockdev's preload keeps a slot, and two sockets, for every open() of a /dev path that
// fails, and aborts the process once its 50 slots are taken; its close(-1) frees one. A
// program that races an unplug opens a vanished node now and then, so each plug and unplug
// frees whatever such opens took.
void releaseFailedOpenSlots() {
  const int saved = errno;
  for (int i = 0; i < 50; ++i) close(-1);
  errno = saved;
}

// The one testbed of the process: umockdev's preload reads a single testbed directory.
Testbed* live_testbed = nullptr;

// umockdev (and GLib through it) is loaded when the first testbed is made, not linked: the
// programs with the simulator built in (chassisctl, the Python module) then start, and their
// packages install, on a robot without it.
struct Umockdev {
  decltype(&umockdev_testbed_new) testbed_new;
  decltype(&umockdev_testbed_get_root_dir) get_root_dir;
  decltype(&umockdev_testbed_add_from_string) add_from_string;
  decltype(&umockdev_testbed_remove_device) remove_device;
  decltype(&g_free) free;
  decltype(&g_object_unref) object_unref;
  decltype(&g_error_free) error_free;
};

const Umockdev& umockdev() {
  static const Umockdev api = [] {
    void* lib = dlopen("libumockdev.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (lib == nullptr) {
      throw std::runtime_error(
          "chassis_sim: the simulated chassis needs umockdev (libumockdev.so.0), which is not "
          "installed: apt install umockdev");
    }
    const auto find = [lib](auto& function, const char* name) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(lib, name));
      if (function == nullptr) throw std::runtime_error(std::string("chassis_sim: no ") + name);
    };
    Umockdev u{};
    find(u.testbed_new, "umockdev_testbed_new");
    find(u.get_root_dir, "umockdev_testbed_get_root_dir");
    find(u.add_from_string, "umockdev_testbed_add_from_string");
    find(u.remove_device, "umockdev_testbed_remove_device");
    find(u.free, "g_free");
    find(u.object_unref, "g_object_unref");
    find(u.error_free, "g_error_free");
    return u;
  }();
  return api;
}

}  // namespace

Adapter::Adapter(Testbed& testbed, AdapterConfig config, int usb_port)
    : testbed_(testbed), config_(std::move(config)), usb_port_(usb_port) {
  if (config_.vendor.empty()) config_.vendor = serial_driver::detail::kAdapterVendor;
  if (config_.product.empty()) config_.product = serial_driver::detail::kAdapterProduct;
  controller_.setLineRate(config_.baud);
  controller_.setLineModel(config_.line);
}

std::string Adapter::usbSyspath() const {
  return std::string(kUsbRoot) + "/1-" + std::to_string(usb_port_);
}

std::string Adapter::nodeLink() const { return testbed_.rootDir() + "/dev/" + config_.node; }

void Adapter::plug(bool node_ready) {
  if (plugged()) return;
  releaseFailedOpenSlots();
  const std::string usb = usbSyspath();
  const std::string intf = usb + "/1-" + std::to_string(usb_port_) + ":1.0";
  const std::string port = intf + "/" + config_.node;
  std::string text = "P: " + usb +
                     "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + config_.vendor +
                     "\nA: idProduct=" + config_.product + "\n";
  if (config_.has_serial) text += "A: serial=" + config_.serial + "\n";
  text += "\nP: " + intf + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
  text += "\nP: " + port + "\nE: SUBSYSTEM=usb-serial\n";
  // No "N:" line: umockdev's own nodes cannot be re-created after an unplug, so the node is
  // a link to a pty of ours.
  text += "\nP: " + port + "/tty/" + config_.node + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" +
          config_.node + "\nE: MAJOR=188\nE: MINOR=" + std::to_string(usb_port_) +
          "\nA: dev=188:" + std::to_string(usb_port_) + "\n";
  testbed_.addDevices(text);

  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("cannot create a pseudo-terminal");
  }
  const std::string slave = ptsname(master_);
  holder_ = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  tcgetattr(holder_, &settings);
  if (config_.fresh_termios) {
    // What the kernel gives a new tty; echoed replies are only skipped by the controller.
    settings.c_iflag = ICRNL | IXON;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
  } else {
    // A new slave is cooked and echoes: the controller would read its own replies back.
    cfmakeraw(&settings);
  }
  tcsetattr(holder_, TCSANOW, &settings);

  mkdir((testbed_.rootDir() + "/dev").c_str(), 0755);
  controller_.attach(master_);
  // Until it is ready the node leads nowhere, so opening it fails.
  linkNode(node_ready ? slave : testbed_.rootDir() + "/dev/.not-ready");
}

void Adapter::makeNodeReady() {
  releaseFailedOpenSlots();
  char slave[128];
  if (plugged() && ptsname_r(master_, slave, sizeof slave) == 0) linkNode(slave);
}

void Adapter::linkNode(const std::string& target) {
  const std::string link = nodeLink();
  unlink(link.c_str());
  if (symlink(target.c_str(), link.c_str()) != 0) {
    throw std::runtime_error("cannot link " + link);
  }
}

void Adapter::unplug() {
  if (!plugged()) return;
  releaseFailedOpenSlots();
  controller_.detach();
  // Closing the master is the hang-up a real unplug causes on open ports.
  close(master_);
  close(holder_);
  master_ = holder_ = -1;
  const std::string usb = usbSyspath();
  const std::string intf = usb + "/1-" + std::to_string(usb_port_) + ":1.0";
  const std::string port = intf + "/" + config_.node;
  // Children first: removing only the parent leaves links that break a later re-add.
  testbed_.removeDevice(port + "/tty/" + config_.node);
  testbed_.removeDevice(port);
  testbed_.removeDevice(intf);
  testbed_.removeDevice(usb);
  unlink(nodeLink().c_str());
}

Testbed::Testbed() {
  if (!preloadActive()) {
    throw std::runtime_error(
        "chassis_sim: the umockdev preload is not in this process, so no program here would see "
        "the simulated adapters; call ensurePreload(argv) first (sim.ensure_preload() in "
        "Python) or start the program under umockdev-wrapper");
  }
  if (live_testbed != nullptr) {
    throw std::runtime_error(
        "chassis_sim: a testbed already exists in this process; use its addAdapter() for more "
        "adapters, or destroy it before making another");
  }
  const Umockdev& api = umockdev();
  live_testbed = this;
  testbed_ = api.testbed_new();
  gchar* root = api.get_root_dir(testbed_);
  root_ = root;
  api.free(root);
  // The simulated machine's own socket directory: owners of its adapters serve there, and no
  // other testbed's programs find them.
  if (const char* before = getenv("SERIAL_DRIVER_RUN_DIR")) run_dir_before_ = before;
  const std::string run_dir = root_ + "/run/serial_driver";
  mkdir((root_ + "/run").c_str(), 0755);
  mkdir(run_dir.c_str(), 0755);
  setenv("SERIAL_DRIVER_RUN_DIR", run_dir.c_str(), 1);
}

Testbed::~Testbed() {
  for (auto& adapter : adapters_) adapter->unplug();
  adapters_.clear();
  umockdev().object_unref(testbed_);
  live_testbed = nullptr;
  if (run_dir_before_.empty()) {
    unsetenv("SERIAL_DRIVER_RUN_DIR");
  } else {
    setenv("SERIAL_DRIVER_RUN_DIR", run_dir_before_.c_str(), 1);
  }
}

Adapter& Testbed::addAdapter(const AdapterConfig& config) {
  AdapterConfig named = config;
  if (named.node.empty()) named.node = "ttyUSB" + std::to_string(adapters_.size());
  adapters_.push_back(
      std::unique_ptr<Adapter>(new Adapter(*this, named, static_cast<int>(adapters_.size()) + 1)));
  adapters_.back()->plug();
  return *adapters_.back();
}

void Testbed::addBuiltinUart(const std::string& node) {
  addDevices(
      "P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\nE: DRIVER=serial8250\n\n"
      "P: /devices/platform/serial8250/tty/" +
      node + "\nN: " + node + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + node +
      "\nE: MAJOR=4\nE: MINOR=64\nA: dev=4:64\n");
}

void Testbed::addDevices(const std::string& description) {
  GError* error = nullptr;
  if (!umockdev().add_from_string(testbed_, description.c_str(), &error)) {
    std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) umockdev().error_free(error);
    throw std::runtime_error("umockdev: " + message);
  }
}

void Testbed::removeDevice(const std::string& syspath) {
  umockdev().remove_device(testbed_, ("/sys" + syspath).c_str());
}

SimBuilder& SimBuilder::add_adapter(const std::string& serial, const std::string& node) {
  AdapterConfig config;
  config.serial = serial;
  config.node = node;
  return add_adapter(config);
}

SimBuilder& SimBuilder::add_adapter(const AdapterConfig& config) {
  adapters_.push_back(config);
  return *this;
}

SimBuilder& SimBuilder::add_builtin_uart(const std::string& node) {
  uarts_.push_back(node);
  return *this;
}

std::unique_ptr<Testbed> SimBuilder::build() const {
  auto testbed = std::make_unique<Testbed>();
  for (const auto& uart : uarts_) testbed->addBuiltinUart(uart);
  for (const auto& config : adapters_) testbed->addAdapter(config);
  return testbed;
}

bool preloadActive() {
  return dl_iterate_phdr(
             [](dl_phdr_info* info, size_t, void*) {
               return strstr(info->dlpi_name, "libumockdev-preload") != nullptr ? 1 : 0;
             },
             nullptr) != 0;
}

bool preloadInstalled() {
  // Where the loader looks: LD_LIBRARY_PATH, then the system directories, the multiarch one
  // being where the C library itself was found.
  std::vector<std::string> dirs;
  if (const char* path = getenv("LD_LIBRARY_PATH"); path != nullptr) {
    std::istringstream all(path);
    for (std::string dir; std::getline(all, dir, ':');) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  }
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        const std::string name = info->dlpi_name;
        if (name.find("/libc.so") == std::string::npos) return 0;
        std::string dir = name.substr(0, name.rfind('/'));
        auto* found = static_cast<std::vector<std::string>*>(data);
        found->push_back(dir);
        // /lib/<triplet> and /usr/lib/<triplet> are the same directory or both searched.
        found->push_back(dir.rfind("/usr/", 0) == 0 ? dir.substr(4) : "/usr" + dir);
        return 1;
      },
      &dirs);
  for (const char* dir : {"/usr/local/lib", "/usr/lib", "/lib"}) dirs.emplace_back(dir);
  for (const auto& dir : dirs) {
    if (access((dir + "/libumockdev-preload.so.0").c_str(), R_OK) == 0) return true;
  }
  return false;
}

void ensurePreload(char** argv) {
  if (preloadActive()) return;
  if (!preloadInstalled()) {
    fprintf(stderr,
            "chassis_sim: the simulated chassis needs umockdev's preload library "
            "(libumockdev-preload.so.0), which is not installed: apt install umockdev\n");
    exit(1);
  }
  if (getenv("CHASSIS_SIM_REEXEC") != nullptr) {
    fprintf(stderr, "chassis_sim: libumockdev-preload.so.0 could not be preloaded\n");
    exit(1);
  }
  std::string preload = "libumockdev-preload.so.0";
  if (const char* old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
    preload += std::string(":") + old;
  }
  // AddressSanitizer insists on coming first in the library list; the preload comes first.
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') {
    asan = std::string(old) + ":" + asan;
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  setenv("CHASSIS_SIM_REEXEC", "1", 1);
  fflush(nullptr);
  execv("/proc/self/exe", argv);
  perror("chassis_sim: re-executing under the umockdev preload");
  exit(1);
}

}  // namespace chassis_sim
