// A client that defines functions with the library's generic names: the library's own calls
// must still reach the library, and the client's own calls its own functions.
#include <set>
#include <string>

#include "chassis_sim/usb_testbed.h"
#include "serial_driver.h"
#include "serial_driver/chassis_link.h"
#include "serial_driver/log.h"
#include "serial_driver/serial_driver.h"
#include "serial_driver/serial_identify.h"
#include "serial_driver/uart.h"
#include "test_helpers.h"

namespace {
std::set<std::string> client_calls;
}  // namespace

// The client's own functions, with exactly the library's signatures.
int receive(int, char*, int) {
  client_calls.insert("receive");
  return 0;
}
int transmit(int, char*, int) {
  client_calls.insert("transmit");
  return 0;
}
int uart_send(int, const char*, int) {
  client_calls.insert("uart_send");
  return 0;
}
int checkAck(int, int) {
  client_calls.insert("checkAck");
  return 0;
}
void log(LogLevel, const std::string&, const std::string&) { client_calls.insert("log"); }
std::string getDevicePort(const std::string&, const std::string&, const std::string&) {
  client_calls.insert("getDevicePort");
  return "/dev/null";
}

namespace {

TEST(Interposition, TheLibraryKeepsItsOwnFunctionsAndTheClientItsOwn) {
  auto sim = chassis_sim::make_sim().add_adapter("ABC123").build();
  SerialDriver driver{};
  std::string dev;
  {
    test::StdoutCapture out;  // only around init: a failure below stays visible
    ASSERT_TRUE(driver.init("ABC123", dev, 115200));
    EXPECT_NE(out.text().find("open the uart port success"), std::string::npos)
        << "the library's log still reaches stdout";
  }
  EXPECT_EQ(dev, "/dev/ttyUSB0");
  test::Exchanges<chassis_sim::Controller> exchanges(sim->adapter(0).controller());
  float f = 1.5f;
  int i = 7;
  char text[64] = "hello";
  EXPECT_TRUE(exchanges.succeed([&] { return driver.setEntry(1, &f); }));
  EXPECT_TRUE(exchanges.succeed([&] { return driver.setEntry(2, &i); }));
  EXPECT_TRUE(exchanges.succeed([&] { return driver.setEntry(3, text); }));
  EXPECT_TRUE(exchanges.succeed([&] { return driver.getEntry(1, &f); }));
  EXPECT_TRUE(exchanges.succeed([&] { return driver.getEntry(2, &i); }));
  EXPECT_TRUE(exchanges.succeed([&] { return driver.getEntry(3, text); }));
  driver.close();
  EXPECT_FLOAT_EQ(f, 1.5f);
  EXPECT_EQ(i, 7);
  EXPECT_STREQ(text, "hello");
  EXPECT_TRUE(client_calls.empty()) << "the library called the client's " << *client_calls.begin();

  serial_driver::ChassisLink link;
  serial_driver::LinkOptions options;
  options.serial = "ABC123";
  EXPECT_FALSE(link.open(options));
  EXPECT_TRUE(exchanges.succeed([&] { return !link.set(4, 2.5f); }));
  EXPECT_TRUE(exchanges.succeed([&] { return !link.get(4, f); }));
  EXPECT_TRUE(exchanges.succeed([&] { return !link.set(5, "text"); }));
  link.close();
  EXPECT_TRUE(client_calls.empty()) << "ChassisLink called the client's " << *client_calls.begin();

  char buf[4];
  EXPECT_EQ(receive(0, buf, sizeof buf), 0);
  EXPECT_EQ(client_calls, std::set<std::string>{"receive"});
}

}  // namespace
