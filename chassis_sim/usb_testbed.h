// A fake sysfs holding USB serial adapters whose tty nodes are served by simulated
// controllers. libudev and open() see it only in a process started under the umockdev
// preload; see ensurePreload().
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "chassis_sim/controller.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace chassis_sim {

struct AdapterConfig {
  std::string serial;  // USB serial number
  bool has_serial = true;
  // USB ids; empty: the controller's adapter (1a86:7523).
  std::string vendor;
  std::string product;
  std::string node;  // appears as /dev/<node>; empty: the next ttyUSB<n>
  // The tty starts with the kernel's default settings (canonical, echo, CR to NL, XON/XOFF),
  // as a freshly plugged ttyUSB does, instead of raw: the driver must make it raw itself.
  bool fresh_termios = false;
  // The controller's line: paced at this rate (0: unpaced), and how it takes commands. Set
  // once, when the adapter is added; controller() changes them later.
  int baud = 0;
  LineModel line;
};

class Testbed;

// One USB serial adapter with a controller behind it.
class Adapter {
 public:
  const AdapterConfig& config() const { return config_; }
  std::string devnode() const { return "/dev/" + config_.node; }
  Controller& controller() { return controller_; }
  bool plugged() const { return master_ >= 0; }

  // Pulls the adapter out: open ports see a hang-up, the device leaves udev and /dev.
  void unplug();
  // Puts it back with a fresh tty; the controller keeps its entries. With node_ready false,
  // udev lists the adapter but its node cannot be opened yet (as while udev applies the node's
  // group and mode) until makeNodeReady().
  void plug(bool node_ready = true);
  void makeNodeReady();

 private:
  friend class Testbed;
  Adapter(Testbed& testbed, AdapterConfig config, int usb_port);

  std::string usbSyspath() const;
  std::string nodeLink() const;
  void linkNode(const std::string& target);

  Testbed& testbed_;
  AdapterConfig config_;
  int usb_port_;
  int master_ = -1;
  int holder_ = -1;
  Controller controller_;
};

// One per process at a time. The constructor throws std::runtime_error when the umockdev
// preload is missing (see ensurePreload) or another testbed is alive.
class Testbed {
 public:
  Testbed();
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  Adapter& addAdapter(const AdapterConfig& config);
  // A built-in UART with no USB ancestor, as /dev/<node>.
  void addBuiltinUart(const std::string& node);
  Adapter& adapter(size_t i) { return *adapters_.at(i); }
  std::string rootDir() const { return root_; }
  // Devices in umockdev's text format, for layouts the builder does not make.
  void addDevices(const std::string& description);

 private:
  friend class Adapter;
  void removeDevice(const std::string& syspath);

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  std::string run_dir_before_;  // SERIAL_DRIVER_RUN_DIR before this testbed set its own
  std::vector<std::unique_ptr<Adapter>> adapters_;
};

// Builder for a testbed: make_sim().add_adapter("ABC123").build().
class SimBuilder {
 public:
  SimBuilder& add_adapter(const std::string& serial, const std::string& node = "");
  SimBuilder& add_adapter(const AdapterConfig& config);
  SimBuilder& add_builtin_uart(const std::string& node = "ttyS0");
  std::unique_ptr<Testbed> build() const;

 private:
  std::vector<AdapterConfig> adapters_;
  std::vector<std::string> uarts_;
};

inline SimBuilder make_sim() { return SimBuilder(); }

// True when the umockdev preload is in this process.
bool preloadActive();
// True when the umockdev preload (Debian package umockdev) is where the loader finds it.
bool preloadInstalled();
// Re-executes the program under the umockdev preload when it is missing; returns when it is
// there. argv must be main's. Ends the process with status 1, naming the package to install,
// when the preload is not installed.
void ensurePreload(char** argv);

}  // namespace chassis_sim
