#pragma once
// ChangeIspSettings: the request "ChangeIspSettings" at "kavo_ispserver", an incremental change of
// the ISP settings. The server also uses it for the snapshots of its live settings that it
// answers with and keeps (reset and last-applied copies), and as the input of a change.
//   "functionName"      always "ChangeIspSettings" once normalised
//   "responseExpected"  boolean; this getter's default is true, but normalisation runs the request
//                       envelope first (default false), so only an explicit true asks for an answer
// Every other field's default is its "not set" mark, one past the range the server applies (the
// setters clamp to the mark, so a value above the range is taken as not set; a negative number
// reads as the mark too):
//   picture values, irOnVal*, zoomPosition, focusPosition   0..100, mark 101
//   mirror, flip, irOnSts*                                  0..1,   mark 2
//   wdr                                                     0..3,   mark 4
//   irLedLevel (32-bit)                                     0..255, mark 256
//   aeMode, irLedMode, focusMode                            a word of the table, mark "none"
#include <cstdint>
#include <string>

#include "kavo/ipc/messages/baserequestmessage.h"

namespace kavo {
namespace ipc {
namespace messages {

#define KAVO_FIELDS_ChangeIspSettings(FIELD, NODE)                                \
  FIELD(functionName, Choice, "ChangeIspSettings", pPossibleValues_functionName)  \
  FIELD(responseExpected, Flag, true)                                             \
  FIELD(brightness, NonNegativeIncremental<uint8_t>, 101, 0, 101)                 \
  FIELD(contrast, NonNegativeIncremental<uint8_t>, 101, 0, 101)                   \
  FIELD(denoise, NonNegativeIncremental<uint8_t>, 101, 0, 101)                    \
  FIELD(hue, NonNegativeIncremental<uint8_t>, 101, 0, 101)                        \
  FIELD(saturation, NonNegativeIncremental<uint8_t>, 101, 0, 101)                 \
  FIELD(sharpness, NonNegativeIncremental<uint8_t>, 101, 0, 101)                  \
  FIELD(wdr, NonNegativeIncremental<uint8_t>, 4, 0, 4)                            \
  FIELD(mirror, NonNegativeIncremental<uint8_t>, 2, 0, 2)                         \
  FIELD(flip, NonNegativeIncremental<uint8_t>, 2, 0, 2)                           \
  FIELD(aeMode, Choice, "none", pPossibleValues_aeMode)                           \
  FIELD(irLedMode, Choice, "none", pPossibleValues_irLedMode)                     \
  FIELD(irLedLevel, NonNegativeIncremental<uint32_t>, 256, 0, 256)                \
  FIELD(focusMode, Choice, "none", pPossibleValues_focusMode)                     \
  FIELD(zoomPosition, NonNegativeIncremental<uint8_t>, 101, 0, 101)               \
  FIELD(focusPosition, NonNegativeIncremental<uint8_t>, 101, 0, 101)              \
  FIELD(irOnValBrightness, NonNegativeIncremental<uint8_t>, 101, 0, 101)          \
  FIELD(irOnStsBrightness, NonNegativeIncremental<uint8_t>, 2, 0, 2)              \
  FIELD(irOnValContrast, NonNegativeIncremental<uint8_t>, 101, 0, 101)            \
  FIELD(irOnStsContrast, NonNegativeIncremental<uint8_t>, 2, 0, 2)                \
  FIELD(irOnValDenoise, NonNegativeIncremental<uint8_t>, 101, 0, 101)             \
  FIELD(irOnStsDenoise, NonNegativeIncremental<uint8_t>, 2, 0, 2)                 \
  FIELD(irOnValHue, NonNegativeIncremental<uint8_t>, 101, 0, 101)                 \
  FIELD(irOnStsHue, NonNegativeIncremental<uint8_t>, 2, 0, 2)                     \
  FIELD(irOnValSaturation, NonNegativeIncremental<uint8_t>, 101, 0, 101)          \
  FIELD(irOnStsSaturation, NonNegativeIncremental<uint8_t>, 2, 0, 2)              \
  FIELD(irOnValSharpness, NonNegativeIncremental<uint8_t>, 101, 0, 101)           \
  FIELD(irOnStsSharpness, NonNegativeIncremental<uint8_t>, 2, 0, 2)

struct ChangeIspSettingsFields {
  static constexpr const char* pPossibleValues_functionName[] = {"ChangeIspSettings"};
  // "none" first: an unknown word falls back to not set.
  static constexpr const char* pPossibleValues_aeMode[] = {"none", "manual", "auto", "shutter", "flick60", "flick50"};
  static constexpr const char* pPossibleValues_irLedMode[] = {"none", "manual", "auto"};
  static constexpr const char* pPossibleValues_focusMode[] = {"none", "manual", "auto", "ztrig"};
  KAVO_FIELD_TABLE(KAVO_FIELDS_ChangeIspSettings)
};

class ChangeIspSettings : public BaseRequestMessage {
  using F = ChangeIspSettingsFields;

 public:
  ChangeIspSettings() = default;
  // A copy of the whole document of any message, not normalised.
  explicit ChangeIspSettings(const BaseMessage& message) : BaseRequestMessage(message) {}
  ChangeIspSettings(const ChangeIspSettings&) = default;
  ChangeIspSettings& operator=(const ChangeIspSettings&) = default;
  ~ChangeIspSettings() override;

  KAVO_FIELD_ACCESSORS(F, KAVO_FIELDS_ChangeIspSettings)

  void NormalizeFields() override;
};

}  // namespace messages
}  // namespace ipc
}  // namespace kavo
