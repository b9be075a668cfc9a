#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "kavo/variant_utils/camerainfo.h"

using kavo::logger::LogCapture;
using kavo::test::TestRoot;
using kavo::variant::CameraInfo;
using kavo::variant::VariantType;

namespace {

const char* kBoard =
    "board.sysid=18\n"
    "board.hwaddr=02AB34cd56EF\n"
    "board.name=cam1\n"
    "board.feature_mic=7\n"
    "feature_mic=1\n"
    "feature_video=1\n"
    "feature_ir=abc\n"
    "feature_wifi=0\n";
const char* kVersion = "XX.x5s.v3.2.1.7.abc123.150101.1200";

class CameraInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root.write("/etc/board.info", kBoard);
    root.write("/proc/sys/kernel/hostname", "  camera-01 \nsecond line\n");
    root.write("/proc/uptime", "1000.50 250.25\n");
    root.write("/lib/version", std::string(kVersion) + "\n");
  }
  void remove(const char* camPath) { std::remove(root.path(camPath).c_str()); }

  TestRoot root;
};

TEST_F(CameraInfoTest, InitGathersBoardHostUptimeAndVersion) {
  CameraInfo info;
  info["stale"] = 1;
  ASSERT_TRUE(info.Init());
  EXPECT_FALSE(info.HasKey("stale"));
  EXPECT_FALSE(info.HasKey("board"));
  EXPECT_EQ(info["name"], "cam1");
  EXPECT_TRUE(info["sysid"].IsInteger());
  EXPECT_EQ(info.sysid(), 18u);
  EXPECT_EQ(info.hwaddr(), "02AB34cd56EF");
  EXPECT_EQ(info["hwaddrColons"], "02:AB:34:cd:56:EF");

  // Flags come from the top level, not from the board section, as Int8; absent or not a number: 0.
  const std::pair<const char*, int> flags[] = {{"feature_sdmmc", 0}, {"feature_mic", 1}, {"feature_video", 1},
                                               {"feature_ir", 0},    {"feature_rtc", 0}, {"feature_wifi", 0}};
  for (const auto& f : flags) {
    SCOPED_TRACE(f.first);
    ASSERT_TRUE(info.HasKey(f.first));
    EXPECT_EQ(info[f.first].GetType(), VariantType::Int8);
    EXPECT_EQ(info[f.first].AsInt32(), f.second);
  }
  EXPECT_EQ(info.feature_mic(), 1);
  EXPECT_EQ(info.feature_ir(), 0);

  EXPECT_EQ(info["hostName"], "camera-01");
  EXPECT_DOUBLE_EQ(info.upTime(), 1000.5);
  EXPECT_DOUBLE_EQ(info.idleTime(), 250.25);
  EXPECT_DOUBLE_EQ(info["totalLoad"].AsDouble(), 1.0 - 250.25 / 1000.5);

  EXPECT_EQ(info.fullVersion(), kVersion);
  EXPECT_EQ(info["version"], "XX.v3.2.1.7.abc123.150101.1200");
  EXPECT_EQ(info["deviceModel"], "XX");
  EXPECT_EQ(info["protocolVer"].GetType(), VariantType::UInt32);
  EXPECT_EQ(info["protocolVer"].AsUInt32(), 7u);
}

TEST_F(CameraInfoTest, FirmwarePattern) {
  struct Case {
    const char* version;
    bool matches;
    unsigned protocol;
    const char* shortVersion;  // nullptr: "version" not set
  };
  const Case cases[] = {
      {"XX.x5s.v3.2.1.7.abc123.150101.1200", true, 7, "XX.v3.2.1.7.abc123.150101.1200"},
      {"XX.x5s.v3.2.1.7-beta2.abc123.150101.1200", true, 7, "XX.v3.2.1.7-beta2.abc123.150101.1200"},
      {"XX.x5s.v3.2.1.7-rc.abc123.150101.1200", true, 7, "XX.v3.2.1.7-rc.abc123.150101.1200"},
      {"AB1.z.v10.20.30.412.M_0fe9.991231.2359", true, 412, "AB1.v10.20.30.412.M_0fe9.991231.2359"},
      {"XX.x5s.v3.2.1.7.ABC123.150101.1200", false, 0, "XX.v3.2.1.7.ABC123.150101.1200"},
      {"XX.x5s.v3.2.1.7-beta0.abc123.150101.1200", false, 0, "XX.v3.2.1.7-beta0.abc123.150101.1200"},
      {"XX.x5s.v3.2.1.7.abc123.15010.1200", false, 0, "XX.v3.2.1.7.abc123.15010.1200"},
      {"XX.x5s.v3.2.1.abc123.150101.1200", false, 0, "XX.v3.2.1.abc123.150101.1200"},
      {"XX.x5s.3.2.1.7.abc123.150101.1200", false, 0, "XX.3.2.1.7.abc123.150101.1200"},
      {"XX.x5s.v3.2.1.7.abc123.150101.1200 x", false, 0, "XX.v3.2.1.7.abc123.150101.1200 x"},
      {"XX.x5s", false, 0, nullptr},
      {"", false, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    root.write("/lib/version", std::string(" ") + c.version + "\n");
    CameraInfo info;
    LogCapture log;
    EXPECT_EQ(info.Init(), c.matches);
    EXPECT_EQ(info["fullVersion"], c.version);
    EXPECT_EQ(info["deviceModel"], std::string(c.version).substr(0, std::string(c.version).find('.')));
    if (c.shortVersion == nullptr)
      EXPECT_FALSE(info.HasKey("version"));
    else
      EXPECT_EQ(info["version"], c.shortVersion);
    if (c.matches) {
      EXPECT_EQ(info["protocolVer"].AsUInt32(), c.protocol);
      EXPECT_TRUE(log.records().empty()) << log.dump();
    } else {
      EXPECT_FALSE(info.HasKey("protocolVer"));
      EXPECT_FALSE(info.HasKey("hwaddrColons"));
      EXPECT_TRUE(log.has(std::string("Failed to match FW version regex, fw=") + c.version, LOG_LEVEL_ERROR))
          << log.dump();
    }
  }
}

TEST_F(CameraInfoTest, HardwareAddressColons) {
  const std::pair<const char*, const char*> cases[] = {
      {"02AB34cd56EF", "02:AB:34:cd:56:EF"},
      {"001122334455", "00:11:22:33:44:55"},  // all digits: still text, leading zeros kept
      {"02AB34cd56EF9988", "02:AB:34:cd:56:EF"},
      {"02AB3", "02:AB:3"},
      {"02AB", "02:AB:"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    root.write("/etc/board.info", std::string("board.sysid=0x12\nboard.hwaddr=") + c.first + "\n");
    CameraInfo info;
    ASSERT_TRUE(info.Init());
    EXPECT_EQ(info.hwaddr(), c.first);
    EXPECT_EQ(info["hwaddrColons"], c.second);
    // A value that is not a plain decimal number stays text; the sysid getter then repairs it.
    EXPECT_EQ(info.sysid(), 0u);
  }
  root.write("/etc/board.info", "board.sysid=18\n");
  CameraInfo info;
  ASSERT_TRUE(info.Init());
  EXPECT_TRUE(info["hwaddr"].IsNull());
  EXPECT_EQ(info["hwaddrColons"], "");
}

TEST_F(CameraInfoTest, MissingFiles) {
  struct Case {
    const char* file;
    const char* message;  // nullptr: nothing logged
    const char* lastKey;  // stored before the failure
    const char* absentKey;
  };
  const Case cases[] = {
      {"/etc/board.info", nullptr, nullptr, "feature_mic"},
      {"/proc/sys/kernel/hostname", "Unable to open /proc/sys/kernel/hostname", "feature_wifi", "hostName"},
      {"/proc/uptime", "Unable to open /proc/uptime", "hostName", "upTime"},
      {"/lib/version", nullptr, "totalLoad", "fullVersion"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    SetUp();
    remove(c.file);
    CameraInfo info;
    LogCapture log;
    EXPECT_FALSE(info.Init());
    if (c.message == nullptr) {
      EXPECT_TRUE(log.records().empty()) << log.dump();
    } else {
      ASSERT_EQ(log.records().size(), 1u) << log.dump();
      EXPECT_EQ(log.records()[0].message, c.message);
      EXPECT_EQ(log.records()[0].level, LOG_LEVEL_ERROR);
    }
    if (c.lastKey != nullptr) {
      EXPECT_TRUE(info.HasKey(c.lastKey));
    }
    EXPECT_FALSE(info.HasKey(c.absentKey));
  }
}

TEST_F(CameraInfoTest, UptimeVariants) {
  const struct {
    const char* text;
    double up, idle;
    bool load;
  } cases[] = {
      {"1000.5 0\n", 1000.5, 0, false},
      {"1000.5\n", 1000.5, 0, false},
      {"0 12.5\n", 0, 12.5, false},  // malformed: no infinite load
      {"\n", 0, 0, false},
      {"  20 5  extra\n", 20, 5, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    root.write("/proc/uptime", c.text);
    CameraInfo info;
    ASSERT_TRUE(info.Init());
    EXPECT_DOUBLE_EQ(info.upTime(), c.up);
    EXPECT_DOUBLE_EQ(info.idleTime(), c.idle);
    EXPECT_EQ(info.HasKey("totalLoad"), c.load);
    if (c.load) {
      EXPECT_DOUBLE_EQ(info["totalLoad"].AsDouble(), 0.75);
    }
  }
}

TEST(CameraInfoGetters, StoreTheirDefaults) {
  CameraInfo info;
  EXPECT_EQ(info.sysid(), 0u);
  EXPECT_EQ(info["sysid"].GetType(), VariantType::Int32);
  EXPECT_EQ(info.feature_rtc(), 0);
  EXPECT_EQ(info["feature_rtc"].GetType(), VariantType::Bool);
  EXPECT_EQ(info.hwaddr(), "");
  EXPECT_TRUE(info["hwaddr"].IsString());
  info["upTime"] = "12";
  EXPECT_EQ(info.upTime(), 0.0);
  EXPECT_EQ(info["upTime"].GetType(), VariantType::Int32);
  info["feature_sdmmc"] = 300;  // converted like a C cast
  EXPECT_EQ(info.feature_sdmmc(), static_cast<int8_t>(300));
  info["sysid"] = uint64_t{0x123456789};
  EXPECT_EQ(info.sysid(), 0x123456789u);
}

}  // namespace
