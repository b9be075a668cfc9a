#pragma once
// The library's one state block and the few helpers every setter shares: the hook guard, the print
// hook, the request ("apply") and the mode checks of the sharpening setters.
#include <cstdint>

#include "img_dsp.h"

namespace imgdsp {

// Level-control records of a sharpening mode, in the order they are kept.
enum : int { kLevelMin = 0, kLevelOverall = 1, kLevelClamp = 2, kLevelSpatial = 3 };
constexpr uint32_t kLevelCmdCode = 0x2132;
constexpr int16_t kClipLow = -4096, kClipHigh = 4095;
constexpr uint16_t kNoEdgeLimit = 2047;

// One sharpening mode: the driver-side records with the blocks they point to, and the caller's
// records last accepted. Mode 2's blocks are the low-ISO areas (fir1_A, fir1_C, coring_A, alpha_A,
// level_0, level_1); mode 3's are kept only for its alpha.
struct SharpenMode {
  img_dsp_fir_config_record firConfig;
  uint8_t fir1[IMG_DSP_FIR_BLOCK_BYTES];
  uint8_t fir2[IMG_DSP_FIR_BLOCK_BYTES];
  uint32_t coringBlock[IMG_DSP_CORING_BLOCK_WORDS];
  uint8_t lumaTable[IMG_DSP_LUMA_TABLE_BYTES];
  img_dsp_luma_sharpening_record luma;
  img_dsp_edge_control_record edge;
  img_dsp_misc_record misc;
  img_dsp_level_control_record level[4];

  img_dsp_coring_info coring;
  uint8_t retainLevel;
  img_dsp_fir_info firStandard;  // the caller's record
  img_dsp_fir_info firWorking;   // what the spatial filter designs from in standard sharpening
  img_dsp_fir_info fir7x7;
  img_dsp_level_info levelMin, levelOverall;
  img_dsp_alpha_info alpha;
  img_dsp_spatial_filter_info spatial;
  uint8_t lumaBaseA, lumaBaseB, lumaColumnLevel, lumaPositionLevel;
};

// Everything every initialisation clears and sets to its defaults.
struct Params {
  uint8_t tableSelect;  // chooses the built-in bad-pixel rows and the colour input table
  int16_t blackReference[3];
  uint8_t spareFlag[2];

  bool ccRegLoaded, cc3dLoaded, hisoLoaded, toneLoaded;
  const uint8_t* ccRegFile;  // the caller's register file, as last accepted
  uint8_t cc3dHeader[128];
  uint8_t cc3dTail[1024];
  img_dsp_tone_curve tone;

  img_dsp_chroma_median_record chromaMedian;
  uint16_t chromaMedianTable[IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES / 2];
  uint16_t chromaMedianTable2[IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES / 2];
  img_dsp_chroma_median_info chromaMedianInfo;
  img_dsp_chroma_scale_record chromaScale;
  img_dsp_chroma_scale_info chromaScaleInfo;
  img_dsp_bad_pixel_record badPixel;
  uint8_t badPixelHot[IMG_DSP_BAD_PIXEL_TABLE_BYTES];
  uint8_t badPixelDark[IMG_DSP_BAD_PIXEL_TABLE_BYTES];
  img_dsp_bad_pixel_info badPixelInfo;
  img_dsp_local_exposure_record localExposure;
  img_dsp_local_exposure_info localExposureInfo;
  img_dsp_black_level_record blackLevel;
  img_dsp_black_level_info blackLevelInfo;
  img_dsp_vignette_record vignette;
  img_dsp_rgb_gain_record rgbGain;
  img_dsp_rgb_gain_info rgbInfo;  // the caller's gains
  img_dsp_rgb_gain_info wbInfo;   // the same with green at 1024
  uint32_t digitalGain;
  img_dsp_mctf_record mctf;
  img_dsp_mctf_config mctfConfig;
  img_dsp_mctf_info mctfInfo;

  SharpenMode mode[IMG_DSP_MODE_COUNT];
  uint8_t lowIsoAlpha2[IMG_DSP_LUMA_TABLE_BYTES];  // the low-ISO mode's second alpha table
  bool sharpen7x7;       // set and cleared by img_dsp_switch_sharpen_mode
  bool highIsoSharpen;   // set only by the high-ISO mode
  uint8_t passthroughShift, passthroughCoring, passthroughAlpha;
};

struct State {
  img_dsp_mem_ops mem{};
  img_dsp_request_fn request = nullptr;
  img_dsp_print_fn print = nullptr;

  bool initialised = false;
  bool colourBuffersAllocated = false;
  void* work[3] = {};
  uint8_t* ccInputTable = nullptr;  // IMG_DSP_CC_INPUT_TABLE_BYTES
  uint8_t* cc3d = nullptr;          // IMG_DSP_CC_3D_TABLE_BYTES
  uint32_t* ccTone = nullptr;       // IMG_DSP_TONE_CURVE_WORDS
  img_dsp_color_correction_record ccRecord{};
  uint8_t ccRegImage[IMG_DSP_CC_REG_FILE_BYTES] = {};
  uint8_t hisoTable[IMG_DSP_CC_3D_FILE_BYTES] = {};

  // Curves of the luma-sharpening table builder and the levels they were made for (-1: none yet).
  int lumaColumnLevel = -1, lumaPositionLevel = -1;
  int lumaPositionCurve[64] = {};
  int lumaColumnCurve[8] = {};

  Params p{};
};

extern State g;

inline bool hooksReady() {
  return g.mem.allocate && g.mem.release && g.mem.fill && g.mem.copy && g.request && g.print;
}

template <class... A>
inline void say(const char* format, A... args) {
  if (g.print) g.print(format, args...);
}

inline void clear(void* dst, size_t bytes) { g.mem.fill(dst, 0, bytes); }
inline void copyIn(void* dst, const void* src, size_t bytes) { g.mem.copy(dst, src, bytes); }

// Sends `record` with `code`; a negative driver result prints `failure`. Returns the driver's result.
int apply(int fd, uint32_t code, void* record, const char* failure);

// Mode check of the sharpening setters and getters: prints "Error: Unknown mode %d in <name>\n" for
// a mode outside 0..3 and, unless `allowHighIso`, "Warning! <name> not allow set in highISO mode\n"
// for mode 3; false when refused.
bool modeAccepted(int mode, const char* name, bool allowHighIso = false);

// Defaults of one sharpening mode (part of every initialisation).
void sharpenModeDefaults(int mode);

}  // namespace imgdsp
