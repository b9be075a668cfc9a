#pragma once
// CameraInfo: what a process knows about the camera it runs on, as a map Variant filled by Init().
//
// Keys after a successful Init():
//   every key of the "board" section of "/etc/board.info" (numbers as numbers, "sysid" among
//   them), "hwaddr" (the board's hardware address, always text), "hwaddrColons" (its first 12
//   characters in pairs joined by ":"), "feature_sdmmc", "feature_mic", "feature_video",
//   "feature_ir", "feature_rtc", "feature_wifi" (Int8, from the same-named top-level keys, 0 when
//   absent or not a number), "hostName", "upTime", "idleTime", "totalLoad" (1 - idle / up, only
//   when both are non-zero), "fullVersion" (all of "/lib/version", trimmed), "version" (without its
//   second dot-separated part), "deviceModel" (up to the first "."), "protocolVer" (UInt32, the
//   fourth number of the firmware version).
//
// Getters are not const: a missing key, or one of another kind, is written with the default
// first (numbers: feature flags false, times and sysid integer 0; strings "").
#include <cstdint>
#include <string>

#include "kavo/variant/variant.h"

namespace kavo {
namespace variant {

class CameraInfo : public Variant {
 public:
  CameraInfo() = default;
  CameraInfo(const CameraInfo&) = default;
  CameraInfo& operator=(const CameraInfo&) = default;
  ~CameraInfo() override;

  // Reads "/etc/board.info", "/proc/sys/kernel/hostname", "/proc/uptime" and "/lib/version"
  // (through kavo::os::path). False, keeping what was stored so far, when a file is missing or
  // the firmware version does not have the expected form.
  bool Init();

  int8_t feature_sdmmc() { return feature("feature_sdmmc"); }
  int8_t feature_mic() { return feature("feature_mic"); }
  int8_t feature_video() { return feature("feature_video"); }
  int8_t feature_ir() { return feature("feature_ir"); }
  int8_t feature_rtc() { return feature("feature_rtc"); }
  int8_t feature_wifi() { return feature("feature_wifi"); }
  double upTime() { return number("upTime").AsDouble(); }
  double idleTime() { return number("idleTime").AsDouble(); }
  std::string fullVersion() { return text("fullVersion"); }
  std::string hwaddr() { return text("hwaddr"); }
  uint64_t sysid() { return number("sysid").AsUInt64(); }

 private:
  Variant& field(const char* key) {
    EnsureContainer();
    return (*this)[key];
  }
  Variant& number(const char* key) {
    Variant& v = field(key);
    if (!v.IsNumeric()) v = static_cast<int32_t>(0);
    return v;
  }
  int8_t feature(const char* key) {
    Variant& v = field(key);
    if (!v.IsNumeric()) v = false;
    return v.AsInt8();
  }
  std::string text(const char* key) {
    Variant& v = field(key);
    if (!v.IsString()) v = "";
    return v.AsString();
  }
};

}  // namespace variant
}  // namespace kavo
