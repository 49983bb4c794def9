// The example clients, run as a user would against a simulated adapter in this process.
#include "chassis_sim/usb_testbed.h"
#include "test_helpers.h"

namespace {

class ExampleClients : public testing::TestWithParam<const char*> {};

TEST_P(ExampleClients, WriteAFloatAndReadItBack) {
  auto sim = chassis_sim::make_sim().add_adapter("ROVER-7").build();
  test::ChildResult r;
  // On a busy machine a simulated reply may come late, never wrong: three runs in all.
  for (int run = 0; run < 3; ++run) {
    r = test::runChild({GetParam(), "ROVER-7", "9"});
    if (r.err.find("did not answer") == std::string::npos) break;
  }
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("entry 9 on /dev/ttyUSB0: wrote 1.500, read back 1.500"), std::string::npos)
      << r.out;
  EXPECT_EQ(sim->adapter(0).controller().entry(9), "1.500");
}

TEST_P(ExampleClients, SayWhenTheAdapterIsMissingOrSilent) {
  auto sim = chassis_sim::make_sim().add_adapter("ROVER-7").build();
  test::ChildResult r = test::runChild({GetParam(), "ROVER-8"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no adapter with serial number ROVER-8"), std::string::npos) << r.err;

  sim->adapter(0).controller().inject(chassis_sim::Fault::kNoReply);
  r = test::runChild({GetParam(), "ROVER-7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("did not answer"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(LinkAndClassic, ExampleClients,
                         testing::Values(BASIC_CLIENT, CLASSIC_CLIENT));

}  // namespace
