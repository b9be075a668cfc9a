#pragma once
// The simulated DSP's configuration: "/etc/kavo_sim/iav.json" under the test root (README.md).
// DSP-wide values take effect when the shared state is created; the per-process ones at every
// attach.
#include <cstdint>
#include <string>
#include <vector>

#include "sensor.h"
#include "state.h"

namespace kavo {
namespace sim {
namespace iav {

struct ModuleConfig {
  std::string name;
  uint32_t offset = 0;
};

struct Config {
  // DSP-wide
  int32_t chipId = 2;
  bool virtualClock = false;
  bool autoAdvance = true;
  uint32_t ringSize = 4u << 20;
  uint32_t queueLimit = 200;
  uint32_t dspMemSize = 4u << 20;  // holds the ME1 pictures of every source buffer
  bool ucodeRunning = false;
  uint32_t ucodeRegionSize = 4u << 20;
  std::string firmwareDir = "/lib/firmware/";
  bool installFirmware = true;
  std::vector<ModuleConfig> modules;
  iav_ucode_version_t version{};
  std::vector<VinSource> sources;
  std::vector<Sink> sinks;
  // per process
  bool replay = false;
  uint32_t replayFrames = 30;
  int jpegQuality = 70;
  bool journal = true;
  bool journalFrames = true;
  std::vector<std::string> absent;
  SensorConfig sensor;
  LightSensorConfig lightSensor;
};

// Fills `out` with the defaults, then with the file's values when it exists. A malformed file
// keeps the defaults and returns false with `error` set.
bool loadConfig(const std::string& file, Config& out, std::string& error);
// Frame period of a frame rate as the driver counts it (1/512,000,000 s).
uint32_t framePeriod(uint32_t fps);

}  // namespace iav
}  // namespace sim
}  // namespace kavo
