// A client's own test against the installed simulated chassis: a round trip and a lost reply.
#include <chassis_sim/usb_testbed.h>
#include <serial_driver.h>

#include <cstdio>
#include <string>

int main(int, char** argv) {
  chassis_sim::ensurePreload(argv);
  auto sim = chassis_sim::make_sim().add_adapter("MY-ROBOT").build();

  SerialDriver driver{};
  std::string dev;
  if (!driver.init("MY-ROBOT", dev, 115200)) return 1;
  int gear = 3;
  int back = 0;
  if (!driver.setEntry(2, &gear) || !driver.getEntry(2, &back)) {
    std::printf("no reply in time\n");  // a busy machine's doing: the test runs again
    return 3;
  }
  if (back != 3) return 1;

  sim->adapter(0).controller().inject(chassis_sim::Fault::kNoReply);
  if (driver.getEntry(2, &back)) return 1;
  driver.close();
  std::printf("sim consumer ok\n");
  return 0;
}
