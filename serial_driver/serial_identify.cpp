#include "serial_driver/serial_identify.h"

#include <libudev.h>

#include <map>
#include <memory>

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

// Node path -> USB identity of every tty that has a USB device among its ancestors.
std::map<std::string, Info> listUsbTtys() {
  std::map<std::string, Info> devices_info;
  UdevPtr context(udev_new());
  if (!context) return devices_info;

  EnumeratePtr enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return devices_info;
  udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
  udev_enumerate_scan_devices(enumerate.get());

  for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate.get()); entry != nullptr;
       entry = udev_list_entry_get_next(entry)) {
    DevicePtr device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!device) continue;
    // A tty without a node cannot be opened, so it is no candidate.
    const char* dev_path = udev_device_get_devnode(device.get());
    if (dev_path == nullptr) continue;
    // The ancestor is owned by the child device and released with it.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
    if (usb == nullptr) continue;

    Info info;
    info.id_product = attribute(usb, "idProduct");
    info.id_vendor = attribute(usb, "idVendor");
    info.i_serial = attribute(usb, "serial");
    devices_info[dev_path] = info;
  }
  return devices_info;
}

}  // namespace

std::string getDevicePort(const std::string& id_product, const std::string& id_vendor,
                          const std::string& i_serial) {
  for (const auto& [dev_path, info] : listUsbTtys()) {
    if (!info.i_serial.empty() && info.i_serial == i_serial && info.id_product == id_product &&
        info.id_vendor == id_vendor) {
      return dev_path;
    }
  }
  return std::string();
}
