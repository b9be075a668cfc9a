#pragma once
// Picture adjustment and noise reduction: the operations that turn picture values into video-DSP
// settings. The RGB-to-YUV conversion carries brightness, contrast gain, saturation, hue and black
// and white; the tone curve carries contrast; then white-balance gains, sharpening, wide dynamic
// range, digital pan/tilt/zoom, lens shading and the noise-reduction family, some of them driven by
// the AGC index from the 3A step.
//
// Called from the IPC, VISCA and 3A threads. Every request goes through IAVDriver's entries, which
// hold the driver's mutex (the image-DSP library is not re-entrant).
#include <cstdint>

namespace kavo {
namespace isp {

class CIsp;

// ---- tables (Q11 hue, the noise-reduction rows; the coring rows are generated) ----
constexpr int kCoringRowCount = 10;
extern const uint8_t kCoringRows[kCoringRowCount][256];
// cos and sin of h x 6 degrees in Q11, h = -15..15.
int32_t hueCos(int h);
int32_t hueSin(int h);

// The CFA noise-filter record of the driver: word 0 enables, words 1-7 the thresholds, words 11-16
// the strengths, word 20 the level.
struct CfaNoiseFilter {
  uint16_t word[21];
};

// ---- conversion and colour ----
int setBrightness(CIsp* isp, int b);
int setSaturation(CIsp* isp, int s);
int setHue(CIsp* isp, int h);
// The contrast tone curve (64 neutral), loaded as all three channels.
int setContrast(CIsp* isp, int c);
// The conversion from the picture state; also the saved set that black and white restores.
int color_conversion(CIsp* isp);
// The model's set scaled row by row; 7 is neutral.
int setRGB2YUVScale(CIsp* isp, int y, int u, int v);
// 1: black and white (U and V rows 0); any other value: the saved set whole.
int set_yuv_BW(CIsp* isp, int on);
// Each gain clamped to 256..4096 (1024 = 1.0) and kept as the gains in use.
int set_rgb_gain(CIsp* isp, uint32_t r, uint32_t g, uint32_t b);
void get_rgb_gain(CIsp* isp, uint32_t gains[3]);

// ---- sharpness, dynamic range, zoom, shading ----
int setSharpness(CIsp* isp, int level);
// The driver's result; the AE switches modes at its next pass.
int setWDR(CIsp* isp, int level);
int setDZoom(CIsp* isp, int factor);
// Pan and tilt 0..100 (50 centred) within the range the zoom leaves; nothing at zoom 0.
int setDPTZ(CIsp* isp, int pan, int tilt, int zoom);
int setLensShadeCorrect(CIsp* isp, int level);
// Lens shading on above 7/8 and off below 2/8 of the AE target base (model 5).
int setLensShadeByLuma(CIsp* isp, uint32_t luma);
int set_qp_limit_mode(CIsp* isp, int on);

// ---- noise reduction ----
int UpdateNR(CIsp* isp, int level);
int setNR_spatial(CIsp* isp, int value);
int setNR_spatial_manual(CIsp* isp, int level);
int setNR_DynaBPC_manual(CIsp* isp, int level);
int setCoring_manual(CIsp* isp, int level);
int set3DNRLevel_manual(CIsp* isp, int value);
// Chroma-scale curve of the level (model 5 starts at 40).
int setChromaScale(CIsp* isp, int level);
// The AGC-driven adjustments of every 61st pass.
int set_Chroma_Scale_inAGC(CIsp* isp, int agc);
int set_smart_sharpCoring(CIsp* isp, int agc);
int set3DNR_byAGC(CIsp* isp, int agc);

// ---- exposure, and sharpness given up for noise reduction ----
// The shutter time (1/512,000,000 s), then the gain value of an AGC index, to the sensor; returns 1.
int set_shutter_agc(CIsp* isp, int32_t time, int32_t gain);
// Sharpening at the sharpness setting less the reduction of the level (at most the noise reduction in
// force, levels held to 0..11), kept in the second noise-reduction memory pair.
int set_NR_by_Decrease_Sharp(CIsp* isp, int level);

}  // namespace isp
}  // namespace kavo
