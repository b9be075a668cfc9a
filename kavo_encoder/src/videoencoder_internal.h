#pragma once
// Shared by the two sources of VideoEncoder.
#include <cstdint>
#include <string>

#include "kavo/encoder/encodersettings.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/encoder/videoencoder.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {
namespace detail {

// The chips row of a chip id: id + 1 for the known ids, 0 for any other.
unsigned chipRow(int32_t chipId);
// The StreamInfo of a stream state entry.
StreamInfo streamInfoOf(kavo::variant::Variant& entry);

// A read-only view of one stream state entry (see `streams`), or of a snapshot of its rates:
// each key with the value that stands for it while missing or not of its kind (numbers: the
// settings' defaults, 0 for the numbering the set-up adds). Nothing is stored.
class StreamState {
 public:
  explicit StreamState(const kavo::variant::Variant& entry) noexcept : entry_(entry) {}

  std::string name() const { return text("name"); }  // the settings node: "video1".."mjpg"
  std::string type() const { return text("type"); }  // "h264" or "mjpg"
  uint32_t ordinal() const { return number("streamOrdinal", 0); }
  uint32_t streamId() const { return number("streamId", 0); }
  uint32_t sourceId() const { return number("sourceId", 0); }
  uint32_t width() const { return number("width", BaseVideoEncoderSettingsFields::kUnknownSize); }
  uint32_t height() const { return number("height", BaseVideoEncoderSettingsFields::kUnknownSize); }
  uint32_t fps() const { return number("fps", BaseVideoEncoderSettingsFields::fps.def); }
  uint32_t maxFps() const { return number("maxFps", 0); }
  uint32_t M() const { return number("M", 0); }
  uint32_t N() const { return number("N", 0); }
  uint32_t idrInterval() const { return number("idrInterval", 0); }
  uint32_t gopModel() const { return number("gopModel", 0); }
  bool isCbr() const;
  uint32_t bitRateVbrMin() const { return number("bitRateVbrMin", BaseVideoEncoderSettingsFields::bitRateVbrMin.def); }
  uint32_t bitRateCbrAvg() const { return number("bitRateCbrAvg", BaseVideoEncoderSettingsFields::bitRateCbrAvg.def); }
  uint32_t bitRateVbrMax() const { return number("bitRateVbrMax", BaseVideoEncoderSettingsFields::bitRateVbrMax.def); }

 private:
  uint32_t number(const char* key, uint32_t def) const;
  std::string text(const char* key) const;

  const kavo::variant::Variant& entry_;
};

}  // namespace detail

}  // namespace encoder
}  // namespace kavo
