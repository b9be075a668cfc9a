// Chroma median filter, chroma scale, colour correction (register file, 3D table, tone curve).
#include <algorithm>
#include <cstring>

#include "state.h"

using namespace imgdsp;

namespace {

// Chroma-median coefficient rows; a strength s interpolates between rows (3 s) >> 8 and the next.
constexpr uint8_t kMedianRows[4][36] = {
    {},
    {26, 29, 31, 5, 26, 30, 0, 5, 29, 22, 31, 31, 8, 29, 30, 0, 8, 31,
     31, 31, 31, 10, 31, 31, 0, 10, 31, 19, 22, 24, 12, 19, 23, 0, 12, 22},
    {26, 29, 31, 22, 26, 30, 20, 26, 29, 22, 31, 31, 22, 29, 30, 15, 22, 31,
     31, 31, 31, 29, 31, 31, 28, 31, 31, 19, 22, 24, 18, 19, 23, 16, 19, 22},
    {31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31,
     31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31, 31},
};
constexpr uint16_t kMedianThresholds[8] = {33, 81, 33, 81, 40, 130, 40, 130};
constexpr int16_t kChromaScaleMatrix[6] = {0, -44, 228, 180, -92, 0};

constexpr size_t kCc3dHeaderBytes = 128;
constexpr size_t kCc3dTailOffset = 16512;
constexpr uint32_t kUnityQ16 = 0x10000;

void medianCoefficients(uint16_t strength, uint8_t out[36]) {
  int k = (3 * strength) >> 8, w = (3 * strength) % 256;
  for (int i = 0; i < 36; i++)
    out[i] = k >= 3 ? kMedianRows[3][i]
                    : static_cast<uint8_t>((kMedianRows[k + 1][i] * w + kMedianRows[k][i] * (256 - w) + 128) >> 8);
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

bool overlaps(const void* a, size_t aBytes, const void* b, size_t bBytes) {
  auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return x < y + bBytes && y < x + aBytes;
}

void warnVersion(const uint8_t* reg, const uint8_t* table, const char* line1, const char* line2) {
  say(line1, le32(reg), le32(reg + 4), le32(table), le32(table + 4));
  say(line2);
}

}  // namespace

extern "C" {

int img_dsp_set_chroma_median_filter(int fd, const img_dsp_chroma_median_info* info) {
  if (!hooksReady() || !info) return -1;
  if (info->cb_strength > 256 || info->cr_strength > 256) {
    say("Error: Chroma median filter strength must <= 256\n");
    return -1;
  }
  Params& p = g.p;
  bool on = info->enable != 0 && (info->cb_strength != 0 || info->cr_strength != 0);
  uint8_t cb[36] = {}, cr[36] = {};
  if (on) {
    medianCoefficients(info->cb_strength, cb);
    medianCoefficients(info->cr_strength, cr);
  }
  uint8_t order[72];
  for (int grp = 0; grp < 4; grp++)
    for (int i = 0; i < 9; i++) {
      order[18 * grp + i] = cb[9 * grp + i];
      order[18 * grp + 9 + i] = cr[9 * grp + i];
    }
  for (int w = 0; w < 24; w++)
    p.chromaMedianTable[w] = static_cast<uint16_t>(order[3 * w] | order[3 * w + 1] << 5 | order[3 * w + 2] << 10);
  copyIn(p.chromaMedianTable2, p.chromaMedianTable, sizeof p.chromaMedianTable2);
  p.chromaMedian.mode = on ? 2 : 0;
  p.chromaMedian.zero = 0;
  p.chromaMedian.table = p.chromaMedianTable;
  copyIn(p.chromaMedian.threshold, kMedianThresholds, sizeof kMedianThresholds);
  p.chromaMedianInfo = *info;
  return apply(fd, IMG_DSP_REQ_CHROMA_MEDIAN, &p.chromaMedian, "error: IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP\n") < 0
             ? -1
             : 0;
}

int img_dsp_get_chroma_median_filter(img_dsp_chroma_median_info* out) {
  if (!out) return -1;
  *out = g.p.chromaMedianInfo;
  return 0;
}

int img_dsp_set_chroma_scale(int fd, const img_dsp_chroma_scale_info* info) {
  if (!hooksReady() || !info) return -1;
  if (info->enable >= 3) {
    say("Error: undefined enable %d in img_dsp_set_chroma_scale\n", info->enable);
    return -1;
  }
  img_dsp_chroma_scale_record& r = g.p.chromaScale;
  clear(&r, sizeof r);
  r.enable = info->enable != 0;  // 2 is taken like 1
  r.one = 1;
  copyIn(r.matrix, kChromaScaleMatrix, sizeof kChromaScaleMatrix);
  copyIn(r.gain, info->gain, sizeof r.gain);
  g.p.chromaScaleInfo = *info;
  return apply(fd, IMG_DSP_REQ_CHROMA_SCALE, &r, "error: IAV_IOC_IMG_CHROMA_SCALE\n") < 0 ? -1 : 0;
}

int img_dsp_get_chroma_scale(img_dsp_chroma_scale_info* out) {
  if (!out) return -1;
  *out = g.p.chromaScaleInfo;
  return 0;
}

int img_dsp_set_color_correction_reg(const img_dsp_cc_reg_info* info) {
  if (!hooksReady() || !info || !info->reg_file) return -1;
  const uint8_t* reg = info->reg_file;
  if (le32(reg + 8) != IMG_DSP_CC_REG_FILE_BYTES) {
    say("Error: Color correction reg file format error!\n");
    return -1;
  }
  Params& p = g.p;
  auto differs = [reg](const uint8_t* t) { return le32(reg) != le32(t) || le32(reg + 4) != le32(t + 4); };
  if (p.cc3dLoaded && differs(p.cc3dHeader))
    warnVersion(reg, p.cc3dHeader, "Warning: Color correction reg file is programmed to Ver %d.%d. Current CC_3D version is %d.%d\n",
                "A New CC_3D table is required\n");
  if (p.hisoLoaded && differs(g.hisoTable))
    warnVersion(reg, g.hisoTable,
                "Warning: Color correction reg file is programmed to Ver %d.%d. Current HISO CC_3D version is %d.%d\n",
                "A New HISO CC_3D table is required\n");
  copyIn(g.ccRegImage, reg, IMG_DSP_CC_REG_FILE_BYTES);
  p.ccRegLoaded = true;
  p.ccRegFile = reg;
  return 0;
}

int img_dsp_set_color_correction(int fd, const img_dsp_cc_3d_info* info) {
  if (!hooksReady() || !info || !info->table) return -1;
  Params& p = g.p;
  const uint8_t* t = info->table;
  if (!p.ccRegLoaded) {
    say("Error! Please input color correction reg file first!\n");
    return -1;
  }
  // Checked before anything changes: a table inside the library's own buffers would be copied
  // onto itself (and read beyond the 3D buffer).
  if (overlaps(t, IMG_DSP_CC_3D_FILE_BYTES, g.cc3d, IMG_DSP_CC_3D_TABLE_BYTES) ||
      overlaps(t, IMG_DSP_CC_3D_FILE_BYTES, g.hisoTable, sizeof g.hisoTable)) {
    say("Error: Using IMGDSP interal memory as Color correction input is not allowed!\n");
    return -1;
  }
  if (le32(t + 8) != 0) {
    copyIn(g.hisoTable, t, IMG_DSP_CC_3D_FILE_BYTES);
    p.hisoLoaded = true;
    return 0;
  }
  const uint8_t* reg = g.ccRegImage;
  if (le32(reg) != le32(t) || le32(reg + 4) != le32(t + 4)) {
    say("Error: Color correction reg file/3D file version mismatch! CC_reg ver %d.%d and CC_3D ver %d.%d\n", le32(reg),
        le32(reg + 4), le32(t), le32(t + 4));
    return -1;
  }
  copyIn(p.cc3dHeader, t, kCc3dHeaderBytes);
  copyIn(p.cc3dTail, t + kCc3dTailOffset, sizeof p.cc3dTail);
  img_dsp_color_correction_record& r = g.ccRecord;
  r.enable = 1;
  for (uint32_t& gain : r.gain) gain = kUnityQ16;
  copyIn(g.ccInputTable, g.ccRegImage + kCcInputOffset[p.tableSelect ? 1 : 0], IMG_DSP_CC_INPUT_TABLE_BYTES);
  copyIn(g.cc3d, t + kCc3dHeaderBytes, IMG_DSP_CC_3D_TABLE_BYTES);
  p.cc3dLoaded = true;
  return img_dsp_write_color_correction(fd);
}

int img_dsp_load_tone_curve(int fd, const img_dsp_tone_curve* curve) {
  if (!hooksReady() || !curve) return -1;
  g.p.toneLoaded = true;
  // A value above 10 bits would spill into the next channel's field.
  auto v = [curve](int c, int i) { return std::min<uint32_t>(curve->channel[c][i], 1023); };
  for (int i = 0; i < 256; i++) g.ccTone[i] = v(0, i) | v(1, i) << 10 | v(2, i) << 20;
  g.ccRecord.tone_update = 0;
  copyIn(&g.p.tone, curve, sizeof g.p.tone);
  return img_dsp_write_color_correction(fd);
}

int img_dsp_get_tone_curve(img_dsp_tone_curve* out) {
  if (!out) return -1;
  *out = g.p.tone;
  return 0;
}

int img_dsp_write_color_correction(int fd) {
  if (!hooksReady()) return -1;
  if (!g.p.cc3dLoaded || !g.p.toneLoaded) return 0;
  return apply(fd, IMG_DSP_REQ_COLOR_CORRECTION, &g.ccRecord, "error: IAV_IOC_IMG_COLOR_CORRECTION\n") < 0 ? -1 : 0;
}

}  // extern "C"
