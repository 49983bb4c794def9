// Builds against the installed package and uses it without hardware.
#include <serial_driver.h>
#include <serial_driver/serial_driver.h>
#include <serial_driver/serial_identify.h>

#include <cstdio>
#include <string>

int main() {
  if (calcXOR("$get 5") != 0x47) return 1;
  SerialDriver driver{};
  std::string dev;
  // No adapter with this serial number exists: init must say so without opening anything.
  if (driver.init("NO-SUCH-ADAPTER", dev, 115200) || !dev.empty()) return 1;
  std::printf("consumer ok, %zu serial ports\n", serial_driver::listSerialPorts().size());
  return 0;
}
