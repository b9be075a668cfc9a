#include "config.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace kavo {
namespace sim {
namespace iav {

using nlohmann::json;

uint32_t framePeriod(uint32_t fps) { return fps == 0 ? 0 : IAV_FRAME_RATE_CLOCK / fps; }

namespace {

void copyName(char* dst, size_t size, const std::string& src) {
  std::memset(dst, 0, size);
  std::strncpy(dst, src.c_str(), size - 1);
}

void defaults(Config& c) {
  c = Config();
  c.modules = {{"dsp_code.bin", 0}, {"dsp_memd.bin", 0x200000}, {"dsp_data.bin", 0x300000}};
  c.version.year = 2014;
  c.version.month = 6;
  c.version.day = 3;
  c.version.major_version = 3;
  c.version.minor_version = 1;

  VinSource s{};
  copyName(s.name, sizeof s.name, "kavo-sim-sensor");
  s.id = 0;
  s.adapterId = 0;
  s.devType = 1;
  s.sensorId = 1;
  s.defaultMode = 0x0020;
  s.channels = 1;
  s.modeCount = 2;
  s.modes[0] = VinMode{0x0020, 1920, 1080, 3, {framePeriod(30), framePeriod(25), framePeriod(15)}};
  s.modes[1] = VinMode{0x0021, 1280, 720, 2, {framePeriod(30), framePeriod(25)}};
  c.sources = {s};

  Sink hdmi{0, 1, IAV_VOUT_SINK_TYPE_HDMI, 0, {}};
  copyName(hdmi.name, sizeof hdmi.name, "sim-hdmi");
  Sink cvbs{1, 0, IAV_VOUT_SINK_TYPE_CVBS, 1, {}};
  copyName(cvbs.name, sizeof cvbs.name, "sim-cvbs");
  c.sinks = {hdmi, cvbs};
}

// Typed reads that keep the default when the key is missing or of another kind.
template <class T>
void getInt(const json& j, const char* key, T& out) {
  auto it = j.find(key);
  if (it != j.end() && it->is_number_integer()) out = static_cast<T>(it->template get<long long>());
}
void getBool(const json& j, const char* key, bool& out) {
  auto it = j.find(key);
  if (it != j.end() && it->is_boolean()) out = it->get<bool>();
}
bool getNumber(const json& j, const char* key, double lo, double hi, double& out, std::string& error,
               const char* where) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  if (!it->is_number() || !(it->get<double>() >= lo && it->get<double>() <= hi)) {
    error = std::string("\"") + where + "\".\"" + key + "\" must be a number from " + std::to_string(lo) + " to " +
            std::to_string(hi);
    return false;
  }
  out = it->get<double>();
  return true;
}
void getString(const json& j, const char* key, std::string& out) {
  auto it = j.find(key);
  if (it != j.end() && it->is_string()) out = it->get<std::string>();
}

bool parseSources(const json& arr, std::vector<VinSource>& out, std::string& error) {
  if (!arr.is_array() || arr.empty() || arr.size() > static_cast<size_t>(kMaxSources)) {
    error = "\"vin\" must be an array of 1 to 4 sources";
    return false;
  }
  std::vector<VinSource> result;
  for (const auto& js : arr) {
    if (!js.is_object()) {
      error = "a \"vin\" source is not an object";
      return false;
    }
    VinSource s{};
    std::string name = "kavo-sim-sensor";
    getString(js, "name", name);
    copyName(s.name, sizeof s.name, name);
    s.id = static_cast<int32_t>(result.size());
    getInt(js, "id", s.id);
    getInt(js, "adapterId", s.adapterId);
    s.devType = 1;
    getInt(js, "devType", s.devType);
    getInt(js, "sensorId", s.sensorId);
    s.channels = 1;
    getInt(js, "channels", s.channels);
    getInt(js, "activeChannel", s.activeChannel);
    auto modes = js.find("modes");
    if (modes == js.end() || !modes->is_array() || modes->empty() || modes->size() > static_cast<size_t>(kMaxModes)) {
      error = "a \"vin\" source needs 1 to 8 \"modes\"";
      return false;
    }
    for (const auto& jm : *modes) {
      VinMode m{};
      if (!jm.is_object()) {
        error = "a mode is not an object";
        return false;
      }
      getInt(jm, "mode", m.mode);
      getInt(jm, "width", m.width);
      getInt(jm, "height", m.height);
      auto fps = jm.find("fps");
      if (fps != jm.end() && fps->is_array()) {
        for (const auto& f : *fps)
          if (f.is_number_unsigned() && f.get<unsigned>() > 0 && m.rateCount < static_cast<uint32_t>(kMaxRates))
            m.rates[m.rateCount++] = framePeriod(f.get<unsigned>());
      }
      if (m.width == 0 || m.height == 0 || m.rateCount == 0) {
        error = "a mode needs a width, a height and at least one fps";
        return false;
      }
      s.modes[s.modeCount++] = m;
    }
    s.defaultMode = s.modes[0].mode;
    getInt(js, "defaultMode", s.defaultMode);
    result.push_back(s);
  }
  out = result;
  return true;
}

bool parseSinks(const json& arr, std::vector<Sink>& out, std::string& error) {
  if (!arr.is_array() || arr.size() > static_cast<size_t>(kMaxSinks)) {
    error = "\"vout\" must be an array of at most 4 sinks";
    return false;
  }
  std::vector<Sink> result;
  for (const auto& jk : arr) {
    if (!jk.is_object()) {
      error = "a \"vout\" sink is not an object";
      return false;
    }
    Sink k{};
    k.id = static_cast<int32_t>(result.size());
    getInt(jk, "id", k.id);
    getInt(jk, "sourceId", k.sourceId);
    getInt(jk, "type", k.type);
    std::string name = "sim-sink";
    getString(jk, "name", name);
    copyName(k.name, sizeof k.name, name);
    k.state = 1;
    result.push_back(k);
  }
  out = result;
  return true;
}

bool parseUcode(const json& ju, Config& c, std::string& error) {
  if (!ju.is_object()) {
    error = "\"ucode\" is not an object";
    return false;
  }
  getBool(ju, "running", c.ucodeRunning);
  getInt(ju, "regionSize", c.ucodeRegionSize);
  getString(ju, "firmwareDir", c.firmwareDir);
  getBool(ju, "installFirmware", c.installFirmware);
  auto mods = ju.find("modules");
  if (mods != ju.end()) {
    if (!mods->is_array() || mods->size() > 4) {
      error = "\"ucode\".\"modules\" must be an array of at most 4 modules";
      return false;
    }
    std::vector<ModuleConfig> list;
    for (const auto& jm : *mods) {
      ModuleConfig m;
      if (!jm.is_object()) {
        error = "a module is not an object";
        return false;
      }
      getString(jm, "name", m.name);
      getInt(jm, "offset", m.offset);
      if (m.name.empty() || m.name.size() >= sizeof(iav_ucode_module_t::filename)) {
        error = "a module name must have 1 to 19 characters";
        return false;
      }
      list.push_back(m);
    }
    c.modules = list;
  }
  auto ver = ju.find("version");
  if (ver != ju.end() && ver->is_object()) {
    getInt(*ver, "year", c.version.year);
    getInt(*ver, "month", c.version.month);
    getInt(*ver, "day", c.version.day);
    getInt(*ver, "major", c.version.major_version);
    getInt(*ver, "minor", c.version.minor_version);
  }
  return true;
}

bool parseSensor(const json& js, SensorConfig& s, std::string& error) {
  if (!js.is_object()) {
    error = "\"sensor\" is not an object";
    return false;
  }
  double pedestal = s.pedestal, mount = s.mount;
  if (!getNumber(js, "sensitivity", 1, 1e7, s.sensitivity, error, "sensor") ||
      !getNumber(js, "fullWell", 100, 1e6, s.fullWell, error, "sensor") ||
      !getNumber(js, "readNoise", 0, 1000, s.readNoise, error, "sensor") ||
      !getNumber(js, "pedestal", 0, 4095, pedestal, error, "sensor") ||
      !getNumber(js, "mount", 0, 3, mount, error, "sensor") ||
      !getNumber(js, "irLedLux", 0, 1e5, s.irLedLux, error, "sensor"))
    return false;
  s.pedestal = static_cast<uint32_t>(pedestal);
  s.mount = static_cast<uint32_t>(mount);
  return true;
}

bool parseLightSensor(const json& js, LightSensorConfig& l, std::string& error) {
  if (!js.is_object()) {
    error = "\"lightSensor\" is not an object";
    return false;
  }
  double ready = l.readyMs;
  if (!getNumber(js, "countsPerLux", 0, 1e4, l.countsPerLux, error, "lightSensor") ||
      !getNumber(js, "irLeak", 0, 65535, l.irLeak, error, "lightSensor") ||
      !getNumber(js, "noise", 0, 1, l.noise, error, "lightSensor") ||
      !getNumber(js, "readyMs", 0, 10000, ready, error, "lightSensor"))
    return false;
  l.readyMs = static_cast<uint32_t>(ready);
  return true;
}

bool parse(const json& j, Config& c, std::string& error) {
  if (!j.is_object()) {
    error = "the configuration is not a JSON object";
    return false;
  }
  getInt(j, "chipId", c.chipId);
  std::string clock = c.virtualClock ? "virtual" : "realtime";
  getString(j, "clock", clock);
  if (clock != "virtual" && clock != "realtime") {
    error = "\"clock\" must be \"realtime\" or \"virtual\"";
    return false;
  }
  c.virtualClock = clock == "virtual";
  getBool(j, "autoAdvance", c.autoAdvance);
  getInt(j, "ringSize", c.ringSize);
  getInt(j, "queueLimit", c.queueLimit);
  getInt(j, "dspMemSize", c.dspMemSize);
  std::string mode = c.replay ? "replay" : "encode";
  getString(j, "mode", mode);
  if (mode != "encode" && mode != "replay") {
    error = "\"mode\" must be \"encode\" or \"replay\"";
    return false;
  }
  c.replay = mode == "replay";
  getInt(j, "replayFrames", c.replayFrames);
  getInt(j, "jpegQuality", c.jpegQuality);
  getBool(j, "journal", c.journal);
  getBool(j, "journalFrames", c.journalFrames);
  auto absent = j.find("absent");
  if (absent != j.end() && absent->is_array())
    for (const auto& a : *absent)
      if (a.is_string()) c.absent.push_back(a.get<std::string>());
  if (c.ringSize < 65536 || c.ringSize > (256u << 20) || (c.ringSize & 63) != 0) {
    error = "\"ringSize\" must be a multiple of 64 between 64 KiB and 256 MiB";
    return false;
  }
  if (c.replayFrames == 0 || c.replayFrames > 600) {
    error = "\"replayFrames\" must be 1 to 600";
    return false;
  }
  if (c.jpegQuality < 1 || c.jpegQuality > 100) {
    error = "\"jpegQuality\" must be 1 to 100";
    return false;
  }
  if (j.contains("vin") && !parseSources(j["vin"], c.sources, error)) return false;
  if (j.contains("vout") && !parseSinks(j["vout"], c.sinks, error)) return false;
  if (j.contains("ucode") && !parseUcode(j["ucode"], c, error)) return false;
  if (j.contains("sensor") && !parseSensor(j["sensor"], c.sensor, error)) return false;
  if (j.contains("lightSensor") && !parseLightSensor(j["lightSensor"], c.lightSensor, error)) return false;
  if (c.ucodeRegionSize < 4096 || c.ucodeRegionSize > (64u << 20)) {
    error = "\"ucode\".\"regionSize\" must be 4 KiB to 64 MiB";
    return false;
  }
  for (const auto& m : c.modules)
    if (m.offset >= c.ucodeRegionSize) {
      error = "a module offset lies outside the microcode region";
      return false;
    }
  return true;
}

}  // namespace

bool loadConfig(const std::string& file, Config& out, std::string& error) {
  defaults(out);
  std::ifstream in(file, std::ios::binary);
  if (!in) return true;  // no file: the defaults
  std::stringstream ss;
  ss << in.rdbuf();
  json j = json::parse(ss.str(), nullptr, false);
  if (j.is_discarded()) {
    error = "not valid JSON";
    return false;
  }
  Config c;
  defaults(c);
  try {
    if (!parse(j, c, error)) return false;
  } catch (const std::exception& e) {  // a value of an unexpected kind deep inside
    error = e.what();
    return false;
  }
  out = c;
  return true;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
