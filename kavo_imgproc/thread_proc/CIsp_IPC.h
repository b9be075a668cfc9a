#pragma once
// The settings operations: the 0..100 values, times and mode strings of the settings documents
// turned into the units of the picture, exposure, white-balance, focus and device code and applied
// at once. Called on the IPC thread (settings changes), the main thread (start-up and
// re-initialisation) and by VISCA handlers; every one takes the controller first and returns 0
// unless said otherwise. Mode strings are compared exactly.
#include <cstdint>

namespace kavo {
namespace isp {

class CIsp;

// ---- picture ----
int ipc_set_brightness(CIsp* isp, uint32_t v);
int ipc_set_contrast(CIsp* isp, uint32_t v);
int ipc_set_saturation(CIsp* isp, uint32_t v);
int ipc_set_hue(CIsp* isp, uint32_t v);
int ipc_set_sharpness(CIsp* isp, uint32_t v);
int ipc_set_wdr(CIsp* isp, uint32_t level);
// Factors 2..8, any other as 1; kept as the zoom that scales the statistics.
int ipc_set_dzoom(CIsp* isp, uint32_t factor);
int ipc_set_flip(CIsp* isp, uint32_t on);
int ipc_set_mirror(CIsp* isp, uint32_t on);
// The driver's pair for a mirror/flip pattern (bit 0 flip, bit 1 mirror) on this board.
void mirrorModeOf(const CIsp* isp, uint32_t pattern, uint32_t* mode, uint32_t* bayer);

// ---- IR picture set ----
int ipc_apply_ir_state(CIsp* isp, uint32_t on);
uint32_t ipc_is_ir_on(CIsp* isp);
int ipc_set_ir_on(CIsp* isp, uint32_t on);

// ---- exposure ----
int ipc_set_ae_target(CIsp* isp, uint32_t v);
int ipc_set_shutter_limits(CIsp* isp, uint32_t longestUs, uint32_t shortestUs);
int ipc_set_gain_limit(CIsp* isp, uint32_t v);
int ipc_set_manual_shutter(CIsp* isp, uint32_t us);
// Inverted as peers expect: 0 % selects the highest AGC index.
int ipc_set_manual_gain(CIsp* isp, uint32_t v);
int ipc_set_dss(CIsp* isp, uint32_t on, uint32_t slowestIndex);
int ipc_set_ae_mode(CIsp* isp, const char* mode);
// The shutter index of a DSS minimum frame rate (1..30): the index of that frame time.
uint32_t dssIndexOfFrameRate(uint32_t fps);

// ---- white balance ----
// Settings value 0..100 onto a gain 256..4096 (50: 1024, doubling every 25).
uint32_t manualWbGainOf(uint32_t v);
int ipc_set_awb_rgain(CIsp* isp, uint32_t v);
int ipc_set_awb_bgain(CIsp* isp, uint32_t v);
int ipc_set_color_temp(CIsp* isp, uint32_t kelvin);
int ipc_set_awb_mode(CIsp* isp, const char* mode);

// ---- IR filter and LED ----
int ipc_set_ir_filter_thresholds(CIsp* isp, uint32_t thd2day, uint32_t thd2night, uint32_t cnt2day);
int ipc_set_ir_filter_mode(CIsp* isp, const char* mode);
int ipc_set_ir_led_level(CIsp* isp, uint32_t level);
int ipc_set_ir_led_mode(CIsp* isp, const char* mode);

// ---- lens and device ----
// Positions 0..100 (above counts as 100) on zoom-lens systems; the speed is not used. They wait for
// the lens (seconds).
int ipc_set_zoom_position(CIsp* isp, uint32_t speed, uint32_t position);
int ipc_set_focus_position(CIsp* isp, uint32_t speed, uint32_t position);
// The AF mode ("manual", "auto", "ztrig"; any other as "auto") on zoom-lens systems; its code is
// kept as g_isp.focusMode.
int ipc_set_focus_mode(CIsp* isp, const char* mode);
// The focus mode code of a settings mode string, and the string of a code (null for codes that have
// none: no mode set yet, push focus, a lens calibration).
int32_t focusModeCodeOf(const char* mode);
const char* focusModeNameOf(int32_t code);
// Absolute pan or tilt position on the pan/tilt unit, the other axis at 0.
int ipc_set_pan_position(CIsp* isp, uint32_t speed, uint32_t position);
int ipc_set_tilt_position(CIsp* isp, uint32_t speed, uint32_t position);
int ipc_set_vport0_output(CIsp* isp, uint32_t on);
int ipc_set_vport1_output(CIsp* isp, uint32_t on);
int ipc_set_powerled_interval(CIsp* isp, uint32_t ms);
// 0 while the DSP previews or encodes, else -1.
int ipc_get_iav_state(CIsp* isp);

}  // namespace isp
}  // namespace kavo
