// Hooks, initialisation with the defaults, the version block and the cancel request.
#include <cstring>
#include <initializer_list>

#include "design.h"
#include "iso.h"
#include "state.h"
#include "tables.h"

namespace imgdsp {

State g;

namespace {

constexpr size_t kWorkBytes[3] = {2048, 24832, 16640};

const img_dsp_lib_version kVersion = {3, 5, 0, 0x20130718, "X5S image dsp"};

// RGB to YCbCr (BT.601, full range): the colour space in which the ISO modes recombine colour.
void colourMatrixDefaults() { copyIn(g.p.colourMatrix, kColourMatrixQ10, sizeof g.p.colourMatrix); }

// The three colour-correction buffers, made once for the life of the process. All or none: a
// buffer that cannot be had leaves nothing behind, and the next initialisation tries again.
bool allocateColourBuffers() {
  if (g.colourBuffersAllocated) return true;
  auto* input = static_cast<uint8_t*>(g.mem.allocate(IMG_DSP_CC_INPUT_TABLE_BYTES));
  auto* table = static_cast<uint8_t*>(g.mem.allocate(IMG_DSP_CC_3D_TABLE_BYTES));
  auto* tone = static_cast<uint32_t*>(g.mem.allocate(IMG_DSP_TONE_CURVE_WORDS * 4));
  if (!input || !table || !tone) {
    for (void* p : {static_cast<void*>(input), static_cast<void*>(table), static_cast<void*>(tone)})
      if (p) g.mem.release(p);
    return false;
  }
  // The low-ISO preparation reads them (as cc_reg_C and cc_3d_C) whether or not a file was loaded.
  clear(input, IMG_DSP_CC_INPUT_TABLE_BYTES);
  clear(table, IMG_DSP_CC_3D_TABLE_BYTES);
  clear(tone, IMG_DSP_TONE_CURVE_WORDS * 4);
  g.colourBuffersAllocated = true;
  g.ccInputTable = input;
  g.cc3d = table;
  g.ccTone = tone;
  clear(&g.ccRecord, sizeof g.ccRecord);
  g.ccRecord.input_table = input;
  g.ccRecord.lut_3d = table;
  g.ccRecord.tone_curve = tone;
  g.ccRecord.tone_update = 1;
  clear(g.ccRegImage, sizeof g.ccRegImage);
  return true;
}

int loadDefaults() {
  Params& p = g.p;
  clear(&p, sizeof p);
  p.tableSelect = 1;
  for (int16_t& r : p.blackReference) r = -512;
  if (!allocateColourBuffers()) return -1;
  img_high_iso_init();
  colourMatrixDefaults();
  img_dsp_low_iso_init();

  p.chromaMedian.table = p.chromaMedianTable;
  p.badPixel.hot_table = p.badPixelHot;
  p.badPixel.dark_table = p.badPixelDark;
  p.mctf.enable = 1;
  p.mctf.config = &p.mctfConfig;
  p.mctfInfo.enable = 1;

  p.passthroughShift = 4;  // the pass-through set-up of gain 1
  p.passthroughCoring = 8;
  p.passthroughAlpha = 32;
  for (int m = 0; m < IMG_DSP_MODE_COUNT; m++) sharpenModeDefaults(m);

  p.rgbInfo = p.wbInfo = {1024, 1024, 1024};
  p.digitalGain = 1024;
  p.rgbGain = img_dsp_rgb_gain_record{1024 * 64, 1024 * 64, 1024 * 64, 1024 * 64};
  return 0;
}

}  // namespace

void sharpenModeDefaults(int m) {
  SharpenMode& s = g.p.mode[m];
  s.firConfig.config = 3;
  s.firConfig.fir2_enable = 0;
  s.firConfig.fir1 = s.fir1;
  s.firConfig.fir2 = s.fir2;
  s.firConfig.coring = s.coringBlock;
  s.misc.group_index = static_cast<uint32_t>(m);
  s.misc.sharpen_kind = 2;
  s.misc.bypass = 1;
  s.alpha = {{255, 255}};
  s.luma.alpha[0] = s.luma.alpha[1] = 255;
  s.luma.edge_threshold = kNoEdgeLimit;
  s.luma.alpha_table = s.lumaTable;
  s.edge.edge_threshold = kNoEdgeLimit;

  if (m == IMG_DSP_MODE_LOW_ISO) g.p.lowIso.edge_thresh_A = kNoEdgeLimit;

  static const uint32_t kSelect[4] = {8, 10, 12, 14};
  for (int i = 0; i < 4; i++) {
    img_dsp_level_control_record& l = levelRecord(m, i);
    l.cmd_code = kLevelCmdCode;
    l.group_index = m == IMG_DSP_MODE_LOW_ISO ? 0 : static_cast<uint32_t>(m);  // the low-ISO record's
    l.select = kSelect[i];
    l.area = 6;
    l.clip_low = l.clip_low2 = kClipLow;
    l.clip_high = l.clip_high2 = kClipHigh;
  }
  img_dsp_reset_level_min(m);
  img_dsp_reset_level_overall(m);
  img_dsp_level_control_record& spatial = s.level[kLevelSpatial];
  spatial.low = 10, spatial.low_delta = 1, spatial.low_0 = 12, spatial.low_val = 0;
  spatial.high = 20, spatial.high_delta = 1, spatial.high_0 = 22, spatial.high_val = 0, spatial.base_val = 0;
  s.levelMin = {10, 1, 0, 0, 20, 1, 0};
  s.levelOverall = {10, 1, 16, 16, 20, 1, 16};

  std::memset(s.coring.coring, 8, sizeof s.coring.coring);
  s.firStandard = s.firWorking = s.fir7x7 = img_dsp_fir_info{64, {}};
  s.lumaBaseA = s.lumaBaseB = 32;
  if (m < 2) {
    img_dsp_build_luma_sharpen_table(s.lumaTable, s.lumaBaseA, s.lumaBaseB, s.lumaColumnLevel, s.lumaPositionLevel);
    img_dsp_pack_coring_table(s.coring.coring, s.coringBlock);
  }
  if (m < 3) img_dsp_design_sharpen_fir(m, &s.firStandard, &s.spatial);
}

int apply(int fd, uint32_t code, void* record, const char* failure) {
  int r = g.request(fd, code, record);
  if (r < 0) say(failure);
  return r;
}

bool modeAccepted(int mode, const char* name, bool allowHighIso) {
  if (mode < 0 || mode > IMG_DSP_MODE_HIGH_ISO) {
    say("Error: Unknown mode %d in %s\n", mode, name);
    return false;
  }
  if (mode == IMG_DSP_MODE_HIGH_ISO && !allowHighIso) {
    say("Warning! %s not allow set in highISO mode\n", name);
    return false;
  }
  return true;
}

}  // namespace imgdsp

using namespace imgdsp;

extern "C" {

void img_dsp_set_mem_ops(const img_dsp_mem_ops* ops) {
  if (ops) g.mem = *ops;
}

void img_dsp_set_ioctl_op(img_dsp_request_fn fn) { g.request = fn; }

void img_dsp_set_print_op(img_dsp_print_fn fn) { g.print = fn; }

int img_dsp_lib_init(void) {
  if (!hooksReady() || g.initialised) return -1;
  if (loadDefaults() < 0) return -1;
  for (int i = 0; i < 3; i++) {
    if (!g.work[i]) g.work[i] = g.mem.allocate(kWorkBytes[i]);
    if (!g.work[i]) {
      for (void*& w : g.work) {
        g.mem.release(w);
        w = nullptr;
      }
      return -1;
    }
  }
  g.initialised = true;
  return 0;
}

int img_dsp_lib_deinit(void) {
  if (!hooksReady()) return -1;
  for (void*& w : g.work) {
    if (w) g.mem.release(w);
    w = nullptr;
  }
  g.initialised = false;
  return 0;
}

int img_dsp_cancel(int fd) {
  if (!hooksReady()) return -1;
  if (g.request(fd, IMG_DSP_REQ_CANCEL, nullptr) < 0) {
    say("cancel error\n");
    return -1;
  }
  return 0;
}

void img_dsp_get_lib_version(img_dsp_lib_version* out) {
  if (out && hooksReady()) copyIn(out, &kVersion, sizeof kVersion);
}

}  // extern "C"
