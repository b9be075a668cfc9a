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
// records last accepted. Mode 2's blocks are the low-ISO areas (fir1_A, fir1_C, coring_A, alpha_A);
// its minimum and overall level records and its edge threshold are fields of the low-ISO record
// (levelRecord, edge_thresh_A) and its level[0..1] and edge stay unused; mode 3's are kept only for
// its alpha.
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

// Filter switches of the pipeline that no setter of this library changes; the ISO records copy them.
struct PipelineSwitches {
  uint8_t cfaNoiseFilter, leakageFilter, staticBadPixel;
};

// The low-ISO record's own areas (its other areas are mode 2's blocks and shared library buffers).
struct LowIsoAreas {
  uint8_t ccReg[IMG_DSP_CC_INPUT_TABLE_BYTES];
  uint32_t cc3d[IMG_DSP_CC_3D_TABLE_BYTES / 4];
  uint8_t chromaMedian[IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES];
  uint8_t zero[512];
  uint8_t spare[256];
};

// Colour-correction register sets in the register image (2,304 bytes each), by table selection: the
// input table of the ordinary colour correction, and the set for a 3D table that keeps its luma.
constexpr size_t kCcInputOffset[2] = {9344, 16256};
constexpr size_t kCcMergedOffset[2] = {11648, 13952};

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
  bool sharpen7x7;          // set and cleared by img_dsp_switch_sharpen_mode
  uint8_t highIsoSharpen;   // set only by the high-ISO mode; its value divides the high-ISO luma gain
  uint8_t passthroughShift, passthroughCoring, passthroughAlpha;

  // Low-ISO mode: the record (its level_0, level_1 and edge_thresh_A are mode 2's level-min,
  // level-overall and edge threshold) and its own areas.
  img_dsp_low_iso_record lowIso;
  LowIsoAreas lowIsoAreas;
  bool lowIsoColour;      // the preparation derives cc_3d_A from the loaded 3D table
  bool ccSourceFlag;      // the loaded 3D table carries the output curves already (nothing sets it)
  uint16_t lowIsoAlpha;   // value of mode 2's luma-sharpening table when it is rebuilt
  int16_t colourMatrix[9];  // RGB to YCbCr, 1024 = 1.0
  PipelineSwitches switches;
};

// High-ISO work area, in the order of the parameter record's address table.
struct HighIsoWork {
  uint8_t medianTable[3][IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES];
  uint8_t badPixel[2][IMG_DSP_BAD_PIXEL_TABLE_BYTES];
  struct Colour {
    uint8_t reg[IMG_DSP_CC_INPUT_TABLE_BYTES];
    uint32_t table[IMG_DSP_CC_3D_TABLE_BYTES / 4];
  } colour[3];
  uint32_t block[23][IMG_DSP_CORING_BLOCK_WORDS];  // FIR and coring blocks (256 bytes), see kHiso* below
  uint8_t alpha[IMG_DSP_LUMA_TABLE_BYTES];
  img_dsp_mctf_config alphaLevel[IMG_HIGH_ISO_ALPHA_TABLES];
  uint8_t zero[512];
  uint8_t coring[IMG_DSP_FIR_BLOCK_BYTES];  // mode 0's coring block while high-ISO sharpening holds
  uint8_t alpha2[512];
  uint8_t fir[IMG_DSP_FIR_BLOCK_BYTES];     // mode 0's FIR1 block, likewise
  uint8_t last[3888];
};
static_assert(sizeof(HighIsoWork) == IMG_HIGH_ISO_WORK_BYTES, "high-ISO work area");

// Blocks of the high-ISO work area.
enum : int {
  kHisoIsoFir = 0,       // five: the paths' isotropic FIRs
  kHisoBlendFir = 5,     // five: the paths' blended FIRs
  kHisoPathCoring = 10,  // three: the first three paths' coring
  kHisoOnceFir = 13,     // high-pass 256, written once per set-up, with its coring of 4s
  kHisoOnceCoring = 14,
  kHisoFixedFir = 15,    // the fixed 3x3 high-pass, once per set-up, with its coring of 8s
  kHisoFixedCoring = 16,
  kHisoInputCoring = 17,  // four: the input's coring tables
  kHisoHighPass256 = 21,  // once per set-up
  kHisoHighPass192 = 22,  // once per set-up
};

struct HighIso {
  HighIsoWork work;
  img_high_iso_params params;
  img_high_iso_input input;  // the library's copy of the last input
  // The one-time blocks of the current set-up are written (the set-up clears them with the area).
  bool onceFir, fixedFir, highPass256, highPass192;
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
  bool lowIsoInitialised = false;  // set by every set-up, never cleared
  HighIso hiso{};
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

// A sharpening mode's level-control record; mode 2's minimum and overall records are the low-ISO
// record's level_0 and level_1.
inline img_dsp_level_control_record& levelRecord(int mode, int which) {
  if (mode == IMG_DSP_MODE_LOW_ISO && which == kLevelMin) return g.p.lowIso.level_0;
  if (mode == IMG_DSP_MODE_LOW_ISO && which == kLevelOverall) return g.p.lowIso.level_1;
  return g.p.mode[mode].level[which];
}

// 2^n as a byte: 0 for n of 32 or more, and bytes wrap.
inline uint8_t pow2Byte(uint8_t n) { return n < 32 ? static_cast<uint8_t>(uint32_t{1} << n) : 0; }

inline int16_t saturate16(int64_t v) { return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : v > INT16_MAX ? INT16_MAX : v); }
inline uintptr_t addressOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace imgdsp
