// I2CDriver against the simulated light sensor: the light value of a reading, the measuring cycle
// step by step, and a bus that fails.
#include <cerrno>

#include "be_i2c/i2c_driver.h"
#include "driver_fixture.h"
#include "kavo/os/i2c.h"

namespace {

using namespace drivertest;
using kavo::isp::I2CDriver;
namespace sim = kavo::sim::iav;

TEST(I2cLightValue, OfAReading) {
  struct Case {
    uint16_t ch0, ch1;
    uint32_t value;
  };
  const Case cases[] = {{300, 100, 200}, {100, 300, 1}, {100, 100, 1}, {65535, 0, 65535}, {65535, 70000 & 0xffff, 65535},
                        {65534, 65533, 1}, {1, 0, 1}, {0, 0, 1}};
  for (const auto& k : cases) EXPECT_EQ(kavo::isp::lightValueOf(k.ch0, k.ch1), k.value) << k.ch0 << " " << k.ch1;
}

class I2cDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simtest::writeConfig(root, R"({"clock": "virtual", "lightSensor": {"noise": 0, "irLeak": 30, "readyMs": 100}})");
    ASSERT_TRUE(sim::setScene(R"({"lux": 45})"));
  }
  // What each call of the cycle step sent: the registers written (as "w03=04") and read ("r20").
  std::vector<std::string> step() {
    const uint64_t seq = lastSeq();
    EXPECT_EQ(d.updatelightSensorState(), 0);
    std::vector<std::string> out;
    for (const auto& l : requestsSince(seq)) {
      const std::string req = l.value("req", "");
      if (req != "write" && req != "read") continue;
      const std::string reg = l["arg"]["register"].get<std::string>().substr(8);
      out.push_back((req == "write" ? "w" : "r") + reg + (l["arg"].contains("value") ? "=" + l["arg"]["value"].get<std::string>().substr(8) : ""));
    }
    return out;
  }
  using V = std::vector<std::string>;
  kavo::test::TestRoot root;
  I2CDriver d;
};

TEST_F(I2cDriverTest, TheCycleConfiguresStartsWaitsAndReads) {
  uint32_t v = 0;
  EXPECT_EQ(d.getLightSensorValue(&v), 1);
  EXPECT_EQ(v, 1600u) << "a fresh driver";
  EXPECT_EQ(step(), V{});  // 0 -> 1
  EXPECT_EQ(step(), V{"w03=06"});
  EXPECT_EQ(step(), V{"w03=04"});
  EXPECT_EQ(step(), (V{"w20", "r20"}));  // not ready yet: start again
  EXPECT_EQ(d.state(), 2);
  EXPECT_EQ(step(), V{"w03=04"});
  ASSERT_TRUE(sim::advanceClock(100000000ull));
  EXPECT_EQ(step(), (V{"w20", "r20"}));
  EXPECT_EQ(d.state(), 4);
  EXPECT_EQ(step(), (V{"w21", "r21"}));
  EXPECT_EQ(d.state(), 2);
  EXPECT_EQ(d.getLightSensorValue(&v), 1);
  EXPECT_EQ(v, 45u);
  // Each exchange opens and closes a descriptor of its own.
  size_t opens = 0, closes = 0;
  for (const auto& l : requestsSince(0)) {
    if (l.value("node", "") != "/dev/i2c-0") continue;
    opens += l.value("req", "") == "open";
    closes += l.value("req", "") == "close";
  }
  EXPECT_EQ(opens, 6u);
  EXPECT_EQ(closes, 6u);
}

TEST_F(I2cDriverTest, AFailedReadKeepsTheLastValueAndAFailedStatusIsNotReady) {
  for (int i = 0; i < 3; ++i) d.updatelightSensorState();  // configured, started
  ASSERT_TRUE(sim::advanceClock(100000000ull));
  d.updatelightSensorState();
  d.updatelightSensorState();
  uint32_t v = 0;
  d.getLightSensorValue(&v);
  ASSERT_EQ(v, 45u);
  ASSERT_TRUE(sim::setScene(R"({"lux": 500})"));
  struct Case {
    const char* what;
    const char* faults;
  };
  const Case cases[] = {
      {"a NAK of the register write", R"({"faults": [{"request": "write", "node": "/dev/i2c-0", "errno": "EREMOTEIO"}]})"},
      {"a NAK of the read", R"({"faults": [{"request": "read", "node": "/dev/i2c-0", "errno": "EREMOTEIO"}]})"},
      {"a short read", R"({"faults": [{"request": "read", "node": "/dev/i2c-0", "short": 2}]})"},
      {"no bus", R"({"faults": [{"request": "open", "node": "/dev/i2c-0", "errno": "ENOENT"}]})"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    d.updatelightSensorState();  // start
    ASSERT_TRUE(sim::advanceClock(100000000ull));
    d.updatelightSensorState();  // ready
    ASSERT_EQ(d.state(), 4);
    ASSERT_TRUE(sim::setFaults(k.faults));
    d.updatelightSensorState();
    ASSERT_TRUE(sim::setFaults(""));
    d.getLightSensorValue(&v);
    EXPECT_EQ(v, 45u) << "the value of the last good reading";
    EXPECT_EQ(d.state(), 2);
  }
  // A status that cannot be read counts as not ready: the cycle starts the measurement again.
  d.updatelightSensorState();
  ASSERT_TRUE(sim::advanceClock(100000000ull));
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "read", "node": "/dev/i2c-0", "errno": "EREMOTEIO"}]})"));
  d.updatelightSensorState();
  ASSERT_TRUE(sim::setFaults(""));
  EXPECT_EQ(d.state(), 2);
  d.updatelightSensorState();
  ASSERT_TRUE(sim::advanceClock(100000000ull));
  d.updatelightSensorState();
  d.updatelightSensorState();
  d.getLightSensorValue(&v);
  EXPECT_EQ(v, 500u);
}

TEST_F(I2cDriverTest, KeptBusAndAddress) {
  EXPECT_EQ(d.open(), 0);
  EXPECT_EQ(d.set_i2c_address(ALS_ADDRESS), 0);
  EXPECT_EQ(d.set_i2c_address(0x80), -1) << "7-bit addresses only";
  EXPECT_EQ(d.close(), 0);
  EXPECT_EQ(d.close(), 0);
  EXPECT_EQ(d.set_i2c_address(ALS_ADDRESS), -1) << "closed";
}

}  // namespace
