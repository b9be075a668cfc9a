#pragma once
// The ISP server's settings document "/usr/etc/kavo_ispserver.json": the live settings tree that
// start-up and re-initialisation apply and the IPC front end changes and reports.
//
//   (root)  IspSettings        "image", "ae", "awb", "ir", "motor", "misc"
//   image   ImageSettings      picture values 0..100 and the night (irOn*) picture set
//   ae      AESettings         mode, target, blc; "shutter", "gain", "manual", "dss"
//   awb     AWBSettings        mode, gains, colour temperature
//   ir      IRSettings         "filter" (day/night switching), "led"
//   motor   MotorSettings      "pan", "tilt", "zoom", "focus"
//   misc    MiscSettings       video ports; "powerled"
//
// Getters repair the tree as they read it: a missing or mistyped key gets its default, a section
// that is missing or no map becomes an empty map (section getters return a view of the stored
// map, so settings.ae().shutter().max() repairs the live tree in place). Setters clamp to the
// bounds of normalisation; enumerated setters store the table's own spelling of a value that
// matches ignoring case, else the first value. The file is not normalised when it is loaded.
//
// FIELD(key, NonNegative<T>, default, min, max): any number; read as T; stored back as T within
// [min, max]; a negative number reads as the default, as a mistyped value does.
// FIELD(key, Choice, getter default, pPossibleValues_key): a string of the table.
// FIELD(key, Flag, default): a boolean.
#include <cstdint>

#include "kavo/ipc/messages/fields.h"

namespace kavo {
namespace isp {

namespace fields = kavo::ipc::messages::fields;

#define KAVO_ISP_FIELDS_Image(FIELD, NODE)                   \
  FIELD(brightness, NonNegative<uint8_t>, 50, 0, 100)        \
  FIELD(contrast, NonNegative<uint8_t>, 50, 0, 100)          \
  FIELD(saturation, NonNegative<uint8_t>, 50, 0, 100)        \
  FIELD(hue, NonNegative<uint8_t>, 50, 0, 100)               \
  FIELD(sharpness, NonNegative<uint8_t>, 50, 0, 100)         \
  FIELD(denoise, NonNegative<uint8_t>, 50, 0, 100)           \
  FIELD(wdr, NonNegative<uint8_t>, 1, 0, 3)                  \
  FIELD(dzoom, Flag, false)                                  \
  FIELD(mirror, NonNegative<uint8_t>, 0, 0, 1)               \
  FIELD(flip, NonNegative<uint8_t>, 0, 0, 1)                 \
  FIELD(irOnValBrightness, NonNegative<uint8_t>, 50, 0, 101) \
  FIELD(irOnStsBrightness, NonNegative<uint8_t>, 0, 0, 2)    \
  FIELD(irOnValContrast, NonNegative<uint8_t>, 50, 0, 101)   \
  FIELD(irOnStsContrast, NonNegative<uint8_t>, 0, 0, 2)      \
  FIELD(irOnValDenoise, NonNegative<uint8_t>, 50, 0, 101)    \
  FIELD(irOnStsDenoise, NonNegative<uint8_t>, 0, 0, 2)       \
  FIELD(irOnValHue, NonNegative<uint8_t>, 50, 0, 101)        \
  FIELD(irOnStsHue, NonNegative<uint8_t>, 0, 0, 2)           \
  FIELD(irOnValSaturation, NonNegative<uint8_t>, 50, 0, 101) \
  FIELD(irOnStsSaturation, NonNegative<uint8_t>, 0, 0, 2)    \
  FIELD(irOnValSharpness, NonNegative<uint8_t>, 50, 0, 101)  \
  FIELD(irOnStsSharpness, NonNegative<uint8_t>, 0, 0, 2)
KAVO_DOCUMENT_CLASS(ImageSettings, KAVO_ISP_FIELDS_Image)

// ---- "ae" ----------------------------------------------------------------------------------------
// Shutter values are the denominator of the exposure time (1/x s); gains and iris are 0..100.

#define KAVO_ISP_FIELDS_AEShutter(FIELD, NODE)        \
  FIELD(max, NonNegative<uint32_t>, 10000, 30, 10000) \
  FIELD(min, NonNegative<uint32_t>, 30, 30, 10000)
KAVO_DOCUMENT_CLASS(AEShutterSettings, KAVO_ISP_FIELDS_AEShutter)

#define KAVO_ISP_FIELDS_AEGain(FIELD, NODE)      \
  FIELD(max, NonNegative<uint32_t>, 100, 0, 100) \
  FIELD(min, NonNegative<uint32_t>, 0, 0, 100)
KAVO_DOCUMENT_CLASS(AEGainSettings, KAVO_ISP_FIELDS_AEGain)

// A manual shutter has no lower bound.
#define KAVO_ISP_FIELDS_AEManual(FIELD, NODE)         \
  FIELD(shutter, NonNegative<uint32_t>, 30, 0, 10000) \
  FIELD(gain, NonNegative<uint32_t>, 0, 0, 100)       \
  FIELD(iris, NonNegative<uint32_t>, 0, 0, 100)
KAVO_DOCUMENT_CLASS(AEManualSettings, KAVO_ISP_FIELDS_AEManual)

// A missing mode reads as "off", an unknown one is stored as "on" (the first value).
#define KAVO_ISP_FIELDS_AEDss(FIELD, NODE)         \
  FIELD(mode, Choice, "off", pPossibleValues_mode) \
  FIELD(min, NonNegative<uint32_t>, 4, 1, 30)
KAVO_DOCUMENT_CLASS(AEDssSettings, KAVO_ISP_FIELDS_AEDss,
                    static constexpr const char* pPossibleValues_mode[] = {"on", "off"};)

#define KAVO_ISP_FIELDS_AE(FIELD, NODE)             \
  FIELD(mode, Choice, "auto", pPossibleValues_mode) \
  FIELD(target, NonNegative<uint32_t>, 50, 0, 100)  \
  FIELD(blc, NonNegative<uint32_t>, 0, 0, 4)        \
  NODE(shutter, AEShutterSettingsT)                 \
  NODE(gain, AEGainSettingsT)                       \
  NODE(manual, AEManualSettingsT)                   \
  NODE(dss, AEDssSettingsT)
KAVO_DOCUMENT_CLASS(AESettings, KAVO_ISP_FIELDS_AE,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "manual", "shutter",
                                                                           "flick60", "flick50"};)

// ---- "awb" ---------------------------------------------------------------------------------------

#define KAVO_ISP_FIELDS_AWB(FIELD, NODE)               \
  FIELD(mode, Choice, "auto", pPossibleValues_mode)    \
  FIELD(rgain, NonNegative<uint32_t>, 50, 0, 100)      \
  FIELD(bgain, NonNegative<uint32_t>, 50, 0, 100)      \
  FIELD(colortemp, NonNegative<uint32_t>, 6000, 2000, 8000)
KAVO_DOCUMENT_CLASS(AWBSettings, KAVO_ISP_FIELDS_AWB,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "manual"};)

// ---- "ir" ----------------------------------------------------------------------------------------

#define KAVO_ISP_FIELDS_IRFilter(FIELD, NODE)           \
  FIELD(mode, Choice, "auto", pPossibleValues_mode)     \
  FIELD(thd2day, NonNegative<uint32_t>, 750, 0, 3000)   \
  FIELD(thd2night, NonNegative<uint32_t>, 300, 0, 3000) \
  FIELD(cnt2day, NonNegative<uint32_t>, 10, 0, 100)
KAVO_DOCUMENT_CLASS(IRFilterSettings, KAVO_ISP_FIELDS_IRFilter,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "day", "night"};)

#define KAVO_ISP_FIELDS_IRLed(FIELD, NODE)          \
  FIELD(mode, Choice, "auto", pPossibleValues_mode) \
  FIELD(level, NonNegative<uint32_t>, 215, 0, 255)
KAVO_DOCUMENT_CLASS(IRLedSettings, KAVO_ISP_FIELDS_IRLed,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "manual"};)

#define KAVO_ISP_FIELDS_IR(FIELD, NODE) \
  NODE(filter, IRFilterSettingsT)       \
  NODE(led, IRLedSettingsT)
KAVO_DOCUMENT_CLASS(IRSettings, KAVO_ISP_FIELDS_IR)

// ---- "motor" -------------------------------------------------------------------------------------
// Speeds 1..15 (0 becomes 1); positions 0..100 except pan and tilt (0..3600). The zoom position is
// 8-bit, the others 32-bit.

// Pan and tilt: two classes of the same fields.
#define KAVO_ISP_FIELDS_MotorAxis(FIELD, NODE) \
  FIELD(speed, NonNegative<uint8_t>, 5, 1, 15) \
  FIELD(position, NonNegative<uint32_t>, 0, 0, 3600)
KAVO_DOCUMENT_CLASS(MotorPanSettings, KAVO_ISP_FIELDS_MotorAxis)
KAVO_DOCUMENT_CLASS(MotorTiltSettings, KAVO_ISP_FIELDS_MotorAxis)

#define KAVO_ISP_FIELDS_MotorZoom(FIELD, NODE) \
  FIELD(speed, NonNegative<uint8_t>, 5, 1, 15) \
  FIELD(position, NonNegative<uint8_t>, 0, 0, 100)
KAVO_DOCUMENT_CLASS(MotorZoomSettings, KAVO_ISP_FIELDS_MotorZoom)

// A missing mode reads as "ztrig", an unknown one is stored as "auto" (the first value).
#define KAVO_ISP_FIELDS_MotorFocus(FIELD, NODE)      \
  FIELD(mode, Choice, "ztrig", pPossibleValues_mode) \
  FIELD(speed, NonNegative<uint8_t>, 5, 1, 15)       \
  FIELD(position, NonNegative<uint32_t>, 0, 0, 100)
KAVO_DOCUMENT_CLASS(MotorFocusSettings, KAVO_ISP_FIELDS_MotorFocus,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "manual", "ztrig"};)

#define KAVO_ISP_FIELDS_Motor(FIELD, NODE) \
  NODE(pan, MotorPanSettingsT)             \
  NODE(tilt, MotorTiltSettingsT)           \
  NODE(zoom, MotorZoomSettingsT)           \
  NODE(focus, MotorFocusSettingsT)
KAVO_DOCUMENT_CLASS(MotorSettings, KAVO_ISP_FIELDS_Motor)

// ---- "misc" --------------------------------------------------------------------------------------

#define KAVO_ISP_FIELDS_MiscPowerled(FIELD, NODE)   \
  FIELD(mode, Choice, "auto", pPossibleValues_mode) \
  FIELD(interval, NonNegative<uint32_t>, 245, 0, 1000)
KAVO_DOCUMENT_CLASS(MiscPowerledSettings, KAVO_ISP_FIELDS_MiscPowerled,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "manual"};)

#define KAVO_ISP_FIELDS_Misc(FIELD, NODE)           \
  FIELD(mode, Choice, "auto", pPossibleValues_mode) \
  FIELD(vport0out, Flag, false)                     \
  FIELD(vport1out, Flag, false)                     \
  FIELD(vport0in, NonNegative<uint8_t>, 0, 0, 3)    \
  FIELD(vport1in, NonNegative<uint8_t>, 0, 0, 3)    \
  NODE(powerled, MiscPowerledSettingsT)
KAVO_DOCUMENT_CLASS(MiscSettings, KAVO_ISP_FIELDS_Misc,
                    static constexpr const char* pPossibleValues_mode[] = {"auto", "manual"};)

// ---- root ----------------------------------------------------------------------------------------

#define KAVO_ISP_FIELDS_Isp(FIELD, NODE) \
  NODE(image, ImageSettingsT)            \
  NODE(ae, AESettingsT)                  \
  NODE(awb, AWBSettingsT)                \
  NODE(ir, IRSettingsT)                  \
  NODE(motor, MotorSettingsT)            \
  NODE(misc, MiscSettingsT)
KAVO_DOCUMENT_CLASS(IspSettings, KAVO_ISP_FIELDS_Isp)

}  // namespace isp
}  // namespace kavo
