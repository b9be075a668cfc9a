#pragma once
// The VISCA command handlers that the dispatcher reaches through its tables: lens (zoom, focus,
// calibration, lens reset), exposure, white balance, picture and device commands, and pan/tilt.
// Each takes (camera, work buffer) and returns the reply length (0: none).
//
// What stands here keeps the camera state the dispatcher's rules and the inquiries read (modes,
// levels, gains as numbers); moving the lens and reaching the picture path are the handlers' own
// later work.
#include <cstdint>

#include "if_visca/DVisca.h"

namespace kavo {
namespace isp {

// Lens.
int GeneralZoom(DVisca* visca, uint8_t* packet);       // 07, 45, 47 (47 replies the zoom position)
int GeneralFocusGroup(DVisca* visca, uint8_t* packet); // 08, 38, 48 (48 the focus, 38 06 a result)
int GeneralCamInit(DVisca* visca, uint8_t* packet);    // 19
// Exposure.
int GeneralAEGroup(DVisca* visca, uint8_t* packet);    // 39
int GeneralAEtarget(DVisca* visca, uint8_t* packet);   // 3A
int GeneralShutter(DVisca* visca, uint8_t* packet);    // 0A, 4A, 2A, 2B
int GeneralGain(DVisca* visca, uint8_t* packet);       // 0C, 4C, 2C
int GeneralExpComp(DVisca* visca, uint8_t* packet);    // 0E, 3E, 4E
int GeneralBLC(DVisca* visca, uint8_t* packet);        // 33
int GeneralIris(DVisca* visca, uint8_t* packet);       // 4B, D2, D3
// White balance and picture.
int GeneralAperture(DVisca* visca, uint8_t* packet);   // 02, 42
int GeneralRGain(DVisca* visca, uint8_t* packet);      // 03, 43
int GeneralBGain(DVisca* visca, uint8_t* packet);      // 04, 44
int GeneralUserColorTemp(DVisca* visca, uint8_t* packet);  // 05
int GeneralWhiteBalance(DVisca* visca, uint8_t* packet);   // 35
int GeneralWDR(DVisca* visca, uint8_t* packet);        // 3D
int GeneralDZoom(DVisca* visca, uint8_t* packet);      // 46
int GeneralDPTZ(DVisca* visca, uint8_t* packet);       // 56
int GeneralGmUserIAV(DVisca* visca, uint8_t* packet);  // B3..C7
int GeneralLensShade(DVisca* visca, uint8_t* packet);  // FE
// Devices.
int GeneralICR(DVisca* visca, uint8_t* packet);        // 01 (IR-cut filter)
int GeneralIrLedMode(DVisca* visca, uint8_t* packet);  // B0
int GeneralIrLedLvl(DVisca* visca, uint8_t* packet);   // B1
int GeneralPowerLedTime(DVisca* visca, uint8_t* packet);   // B2
int GeneralRemoteUpgrade(DVisca* visca, uint8_t* packet);  // C8
int VportOut(DVisca* visca, uint8_t* packet);          // D0
int GeneralHeater(DVisca* visca, uint8_t* packet);     // D1
int GeneralMask(DVisca* visca, uint8_t* packet);       // 76
// Pan/tilt (category 06), by byte 3.
int GeneralPanTilt(DVisca* visca, uint8_t* packet);

// The inquiries whose answers are those handlers' work: the zoom/focus correction check (F4) and
// the IR-cut and IR LED self-check (F5, 2 passed, 1 or 0 failed).
uint8_t ZFCorrectionCheck(DVisca* visca);
uint8_t ICR_IRLEDStatusCheck(DVisca* visca);

}  // namespace isp
}  // namespace kavo
