// The smallest useful client: open the chassis link by the adapter's USB serial number, write a
// float entry, read it back. The link closes when it goes out of scope.
//
//   basic_client <usb-serial-number> [entry-index]
#include <serial_driver/chassis_link.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <usb-serial-number> [entry-index]\n", argv[0]);
    return 2;
  }
  const int index = argc > 2 ? atoi(argv[2]) : 5;

  serial_driver::ChassisLink link;
  serial_driver::LinkOptions options;
  options.serial = argv[1];
  if (std::error_code ec = link.open(options)) {
    fprintf(stderr, "no adapter with serial number %s could be opened: %s\n", argv[1],
            ec.message().c_str());
    return 1;
  }

  const float written = 1.5f;
  float read_back = 0.0f;
  std::error_code ec = link.set(index, written);
  if (!ec) ec = link.get(index, read_back);
  if (ec) {
    fprintf(stderr, "the controller on %s did not answer: %s\n", link.device().c_str(),
            ec.message().c_str());
    return 1;
  }
  printf("entry %d on %s: wrote %.3f, read back %.3f\n", index, link.device().c_str(), written,
         read_back);
  return 0;
}
