// Finding the adapter's node by its USB identity, in a fake sysfs.
#include "chassis_sim/usb_testbed.h"
#include "serial_driver/serial_identify.h"
#include "test_helpers.h"

namespace {

using chassis_sim::AdapterConfig;
using chassis_sim::make_sim;

std::string lookup(const std::string& serial) { return getDevicePort("7523", "1a86", serial); }

TEST(DeviceLookup, FindsTheAdapterByItsExactSerialNumber) {
  auto sim = make_sim().add_builtin_uart("ttyS0").add_adapter("AbC123").build();
  EXPECT_EQ(lookup("AbC123"), "/dev/ttyUSB0");
  EXPECT_EQ(lookup("abc123"), "") << "serial numbers compare case and all";
  EXPECT_EQ(lookup("AbC12"), "");
  EXPECT_EQ(lookup(""), "");
  EXPECT_EQ(getDevicePort("1a86", "7523", "AbC123"), "") << "product comes first";
  EXPECT_EQ(getDevicePort("7523", "1A86", "AbC123"), "") << "ids are lowercase as udev has them";
}

TEST(DeviceLookup, AdaptersWithoutASerialNumberNeverMatch) {
  AdapterConfig none;
  none.has_serial = false;
  AdapterConfig empty;
  empty.serial = "";
  auto sim = make_sim().add_adapter(none).add_adapter(empty).build();
  EXPECT_EQ(lookup(""), "");
  EXPECT_EQ(lookup("0"), "");
}

TEST(DeviceLookup, OtherVendorsAndBuiltInPortsAreNoCandidates) {
  AdapterConfig other;
  other.serial = "SAME";
  other.vendor = "0403";
  other.product = "6001";
  auto sim = make_sim().add_builtin_uart("ttyS0").add_adapter(other).build();
  EXPECT_EQ(lookup("SAME"), "");
  EXPECT_EQ(getDevicePort("6001", "0403", "SAME"), "/dev/ttyUSB0");
}

TEST(DeviceLookup, SharedSerialNumbersResolveToTheLowestNodePathByteWise) {
  auto sim = make_sim().add_adapter("TWIN", "ttyUSB2").add_adapter("TWIN", "ttyUSB10").build();
  EXPECT_EQ(lookup("TWIN"), "/dev/ttyUSB10");
}

TEST(DeviceLookup, ALaterPortWithoutUsbDoesNotHideTheAdapterOnTheSameNode) {
  auto sim = make_sim().add_adapter("ABC123").build();
  // Enumerated after the adapter (its syspath sorts later), naming the same node.
  sim->addDevices(
      "P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\n\n"
      "P: /devices/platform/serial8250/tty/ttyS9\nE: SUBSYSTEM=tty\n"
      "E: DEVNAME=/dev/ttyUSB0\n");
  EXPECT_EQ(lookup("ABC123"), "/dev/ttyUSB0");
}

TEST(DeviceLookup, FollowsUnplugAndReplug) {
  auto sim = make_sim().add_adapter("ABC123").build();
  sim->adapter(0).unplug();
  EXPECT_EQ(lookup("ABC123"), "");
  sim->adapter(0).plug();
  EXPECT_EQ(lookup("ABC123"), "/dev/ttyUSB0");
}

TEST(PortListing, ListsEveryPortWithItsUsbIdentitySortedByNode) {
  AdapterConfig anonymous;
  anonymous.has_serial = false;
  anonymous.node = "ttyUSB1";
  auto sim = make_sim()
                 .add_builtin_uart("ttyS0")
                 .add_adapter("ABC123", "ttyUSB0")
                 .add_adapter(anonymous)
                 .build();
  const auto ports = serial_driver::listSerialPorts();
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].devnode, "/dev/ttyS0");
  EXPECT_FALSE(ports[0].on_usb);
  EXPECT_EQ(ports[1].devnode, "/dev/ttyUSB0");
  EXPECT_TRUE(ports[1].on_usb);
  EXPECT_EQ(ports[1].usb.id_vendor, "1a86");
  EXPECT_EQ(ports[1].usb.id_product, "7523");
  EXPECT_EQ(ports[1].usb.i_serial, "ABC123");
  EXPECT_EQ(ports[2].devnode, "/dev/ttyUSB1");
  EXPECT_TRUE(ports[2].on_usb);
  EXPECT_EQ(ports[2].usb.i_serial, "");
}

}  // namespace
