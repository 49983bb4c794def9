#include "serial_driver/serial_identify.h"

#include <libudev.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

namespace {

struct UdevDeleter {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
};

using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

std::string attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::vector<serial_driver::SerialPort> serial_driver::listSerialPorts() {
  // Keyed by node path, so sorted byte-wise.
  std::map<std::string, SerialPort> ports;
  UdevPtr context(udev_new());
  if (!context) return {};

  EnumeratePtr enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return {};
  udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
  udev_enumerate_scan_devices(enumerate.get());

  for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate.get()); entry != nullptr;
       entry = udev_list_entry_get_next(entry)) {
    DevicePtr device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!device) continue;
    // A tty without a node cannot be opened, so it is no candidate.
    const char* dev_path = udev_device_get_devnode(device.get());
    if (dev_path == nullptr) continue;
    // Virtual terminals and ptys have no parent device: they are no serial ports.
    if (udev_device_get_parent(device.get()) == nullptr) continue;

    SerialPort port;
    port.devnode = dev_path;
    // The ancestor is owned by the child device and released with it.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
    if (usb != nullptr) {
      port.on_usb = true;
      port.usb.id_product = attribute(usb, "idProduct");
      port.usb.id_vendor = attribute(usb, "idVendor");
      port.usb.i_serial = attribute(usb, "serial");
    }
    // Only a port on USB may replace an earlier entry for the same node: a later built-in port
    // must not hide the adapter that was found there.
    auto it = ports.find(port.devnode);
    if (it != ports.end() && !port.on_usb) continue;
    ports[port.devnode] = port;
  }

  // Filled in place: a push_back would instantiate vector members whose names begin with
  // serial_driver:: and, unoptimised, leak into the exported symbols.
  std::vector<SerialPort> sorted(ports.size());
  std::transform(ports.begin(), ports.end(), sorted.begin(),
                 [](auto& entry) { return std::move(entry.second); });
  return sorted;
}

std::string getDevicePort(const std::string& id_product, const std::string& id_vendor,
                          const std::string& i_serial) {
  for (const serial_driver::SerialPort& port : serial_driver::listSerialPorts()) {
    const Info& info = port.usb;
    if (port.on_usb && !info.i_serial.empty() && info.i_serial == i_serial &&
        info.id_product == id_product && info.id_vendor == id_vendor) {
      return port.devnode;
    }
  }
  return std::string();
}
