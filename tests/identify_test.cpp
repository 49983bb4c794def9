// Finding the adapter's node by its USB identity, in a fake sysfs.
#include "chassis_sim/usb_testbed.h"
#include "serial_driver/serial_identify.h"
#include "test_helpers.h"

namespace {

using chassis_sim::AdapterSpec;
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
  AdapterSpec none;
  none.has_serial = false;
  AdapterSpec empty;
  empty.serial = "";
  auto sim = make_sim().add_adapter(none).add_adapter(empty).build();
  EXPECT_EQ(lookup(""), "");
  EXPECT_EQ(lookup("0"), "");
}

TEST(DeviceLookup, OtherVendorsAndBuiltInPortsAreNoCandidates) {
  AdapterSpec other;
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

TEST(DeviceLookup, FollowsUnplugAndReplug) {
  auto sim = make_sim().add_adapter("ABC123").build();
  sim->adapter(0).unplug();
  EXPECT_EQ(lookup("ABC123"), "");
  sim->adapter(0).plug();
  EXPECT_EQ(lookup("ABC123"), "/dev/ttyUSB0");
}

}  // namespace
