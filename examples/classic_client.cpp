// The same client on the compatible interface, SerialDriver: open the chassis port by the
// adapter's USB serial number, write a float entry, read it back, close.
//
//   classic_client <usb-serial-number> [entry-index]
#include <serial_driver.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <usb-serial-number> [entry-index]\n", argv[0]);
    return 2;
  }
  const int index = argc > 2 ? atoi(argv[2]) : 5;

  SerialDriver driver{};
  std::string dev;
  if (!driver.init(argv[1], dev, 115200)) {
    fprintf(stderr, "no adapter with serial number %s could be opened\n", argv[1]);
    return 1;
  }

  float written = 1.5f;
  float read_back = 0.0f;
  const bool ok = driver.setEntry(index, &written) && driver.getEntry(index, &read_back);
  driver.close();
  if (!ok) {
    fprintf(stderr, "the controller on %s did not answer\n", dev.c_str());
    return 1;
  }
  printf("entry %d on %s: wrote %.3f, read back %.3f\n", index, dev.c_str(), written, read_back);
  return 0;
}
