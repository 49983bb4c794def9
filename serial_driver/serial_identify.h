// Finding the device node of a USB serial adapter by its USB identity, through libudev.
#pragma once

#include <string>
#include <vector>

#include "serial_driver_export.h"

// USB identity of the device a tty hangs off; i_serial is empty when the device has none.
struct SERIAL_DRIVER_EXPORT Info {
  std::string id_vendor;
  std::string id_product;
  std::string i_serial;
};

namespace serial_driver {

// A tty with a device behind it, and the identity of its USB device if it hangs off one.
struct SERIAL_DRIVER_EXPORT SerialPort {
  std::string devnode;  // such as /dev/ttyUSB0
  bool on_usb = false;
  Info usb;  // empty unless on_usb
};

// Every tty that has a node and a device behind it (no virtual consoles or ptys), ordered
// byte-wise by node path.
SERIAL_DRIVER_EXPORT std::vector<SerialPort> listSerialPorts();

}  // namespace serial_driver

// The node path (such as /dev/ttyUSB0) of the first tty, in byte-wise order of node paths, whose
// USB device has exactly these ids and this non-empty serial number; empty when none matches.
SERIAL_DRIVER_EXPORT std::string getDevicePort(const std::string& id_product,
                                               const std::string& id_vendor,
                                               const std::string& i_serial);
