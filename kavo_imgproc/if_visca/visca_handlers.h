#pragma once
// The VISCA command handlers that the dispatcher reaches through its tables: lens (zoom, focus,
// calibration, lens reset), exposure, white balance, picture and device commands, and pan/tilt.
// Each takes (camera, work buffer) and returns the reply length (0: none).
//
// They keep the camera state the dispatcher's rules and the inquiries read, and carry the command
// out on the lens (sub-CPU object), the exposure, white-balance and mask controls and the picture
// path. The long ones (calibration, lens reset, the self-checks) wait in steps that a stop cuts
// short (viscaWaitMs).
#include <cstdint>

#include "if_visca/DVisca.h"

namespace kavo {
namespace isp {

class CIsp;

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
// The device operations without a VISCA code.
// 01 without the picture change and the refocus: the filter in when `install` is non-zero, else out.
void GeneralICRByFlag(DVisca* visca, int install);
// The level the LEDs take at night under automatic day/night, which it applies at once.
void GeneralIrLedDriveLevel(DVisca* visca, uint32_t level);
// B2's interval, at most 65535 ms.
void GeneralPowerLedInterval(DVisca* visca, uint32_t interval);
// Pan/tilt (category 06), by byte 3.
int GeneralPanTilt(DVisca* visca, uint8_t* packet);

// ---- lens moves (visca_lens_cmds.cpp): each holds the DVisca guard for its move ----
// 47: zoom to bytes 4-7 (clamped to the lens), focus on the lens table with the biases; replies the zoom.
int zoomABS(DVisca* visca, uint8_t* packet);
// 47 with a focus in bytes 8-11: both as given, refused beyond the lens; replies the zoom.
int ZoomFocusABS(DVisca* visca, uint8_t* packet);
// 45: byte 4 1 wide by the step, 0 tele by it, else the step as the target; always on the lens.
int zoomREL(DVisca* visca, uint8_t* packet);
// 48: focus to bytes 4-7 unless an AF mode owns the focus; replies the focus.
int SetFocusABS(DVisca* visca, uint8_t* packet);
// 07 00 stop, 07 0A home.
int zoomStopOrHome(DVisca* visca, uint8_t code);
void moveZoomAbsolute(DVisca* visca, uint32_t zoom);
void SetZoomPercentage(DVisca* visca, uint32_t percent);
// Calibration steps (38 07..0E); true when the step succeeded.
bool ZeroZoomBias();
bool FindZoomBias();
bool ApplyZoomBias();
bool FindFocusBiasAtWide(DVisca* visca);
bool SetWideFocusBias();
bool FindFocusBiasAtTele(DVisca* visca);
bool SetTeleFocusBias();
void CalibrationDone();
// 38 06: 1 on success, 0 on failure (the picture turns green or red).
uint8_t FullLensCalibration(DVisca* visca);

// ---- exposure (visca_exposure.cpp) ----
void SetAE_fullauto(DVisca* visca);
void SetAE_manual(DVisca* visca);
// `flicker`: the fastest flicker-safe step the loop may reach.
void SetAE_flick60(DVisca* visca, uint32_t flicker);
void SetAE_flick50(DVisca* visca, uint32_t flicker);
void SetAE_sht_priority(DVisca* visca);
void SetAE_iris_priority(DVisca* visca);
void SetAE_iris_adj(DVisca* visca);
// 39 01: the AE target back to the board's base and the controller restarted.
void AEReset(DVisca* visca);
// Times in 1/x second (0 as 1/30).
void SetShutterSpdMax(DVisca* visca, uint32_t time);
void SetShutterSpdMin(DVisca* visca, uint32_t time);
// The manual shutter (manual and shutter-priority modes only) to a time, 1/30 s at the longest.
void SetManualShutterTime(DVisca* visca, uint32_t time);
// The AE target of a VISCA level 0..100 (above as 100): the board's base at 50, 150 a step.
uint32_t viscaAeTargetOf(uint32_t level);
// The AE target of the camera state and of the AE controller, which the next pass works to.
void viscaSetAeTarget(uint32_t target);

// The operation flags of the controller (the AWB one is enable_awb of AWBControl.h).
int enable_ae(CIsp* isp, int on);
int enable_af(CIsp* isp, int on);

// The inquiries whose answers are those handlers' work: the zoom/focus correction check (F4) and
// the IR-cut and IR LED self-check (F5, 2 passed, 1 or 0 failed).
uint8_t ZFCorrectionCheck(DVisca* visca);
uint8_t ICR_IRLEDStatusCheck(DVisca* visca);

}  // namespace isp
}  // namespace kavo
