// Luma-sharpening setters and getters per image mode: coring and signal retain, FIR, level controls,
// alpha, spatial filter, and the switch between standard and 7x7 sharpening. Modes 0 and 1 are sent;
// mode 2 (low ISO) is only stored; mode 3 (high ISO) is refused except by the alpha setter.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "design.h"
#include "state.h"

using namespace imgdsp;

namespace {

constexpr char kFirFailure[] = "error: IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG\n";
constexpr char kLevelFailure[] = "error: IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL\n";
constexpr char kEdgeFailure[] = "error: IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL\n";
constexpr char kMiscFailure[] = "error: IAV_IOC_IMG_LUMA_SHARPENING_MISC\n";
// The spatial-filter setter spells the FIR-configuration request without its driver prefix.
constexpr char kFirConfigFailure[] = "error: IOC_IMG_LUMA_SHARPENING_FIR_CONFIG\n";

inline bool sent(int mode) { return mode < IMG_DSP_MODE_LOW_ISO; }

// The caller's seven level bytes into a level-control record (bytes wrap).
void fillLevel(img_dsp_level_control_record& l, const img_dsp_level_info& v) {
  l.low = v.low;
  l.low_delta = v.low_delta;
  l.low_0 = static_cast<uint8_t>(v.low + pow2Byte(v.low_delta));
  l.low_val = v.low_val;
  l.high = v.high;
  l.high_delta = v.high_delta;
  l.high_0 = static_cast<uint8_t>(v.high + pow2Byte(v.high_delta));
  l.high_val = v.high_val;
  l.base_val = v.base_val;
}

// Scales a copy of the stored coring table by the mode's retain level and packs it into the mode's
// coring block (the pass-through value replaces the table while high-ISO sharpening holds).
void packCoring(SharpenMode& s) {
  uint8_t scratch[256];
  if (g.p.highIsoSharpen)
    std::memset(scratch, g.p.passthroughCoring, sizeof scratch);
  else
    std::memcpy(scratch, s.coring.coring, sizeof scratch);
  img_dsp_apply_signal_retain(scratch, s.retainLevel);
  img_dsp_pack_coring_table(scratch, s.coringBlock);
}

const img_dsp_fir_info& currentFir(const SharpenMode& s) { return g.p.sharpen7x7 ? s.fir7x7 : s.firWorking; }

int setLevel(int fd, int mode, const img_dsp_level_info* level, int which, const char* name) {
  if (!hooksReady() || !level) return -1;
  if (!modeAccepted(mode, name)) return -1;
  SharpenMode& s = g.p.mode[mode];
  img_dsp_level_info& kept = which == kLevelMin ? s.levelMin : s.levelOverall;
  img_dsp_level_control_record& record = levelRecord(mode, which);
  if (g.p.highIsoSharpen)
    which == kLevelMin ? img_dsp_reset_level_min(mode) : img_dsp_reset_level_overall(mode);
  else
    fillLevel(record, *level);
  if (sent(mode) && apply(fd, IMG_DSP_REQ_SHARPEN_LEVEL, &record, kLevelFailure) < 0) return -1;
  kept = *level;
  return 0;
}

// Getter pattern: null output -1; refused mode -1; mode 2 answers 0 and copies nothing.
template <class T>
int getStored(int mode, T* out, const T& (*field)(const SharpenMode&), const char* name, bool allowHighIso = false) {
  if (!out) return -1;
  if (!modeAccepted(mode, name, allowHighIso)) return -1;
  if (mode == IMG_DSP_MODE_LOW_ISO) return 0;
  *out = field(g.p.mode[mode]);
  return 0;
}

// Requests of the spatial-filter setter, in order, stopping at the first failure.
struct Request {
  uint32_t code;
  void* record;
  const char* failure;
};
int sendAll(int fd, std::initializer_list<Request> requests) {
  for (const Request& r : requests)
    if (apply(fd, r.code, r.record, r.failure) < 0) return -1;
  return 0;
}

}  // namespace

extern "C" {

int img_dsp_set_sharpen_coring(int fd, int mode, const img_dsp_coring_info* coring) {
  if (!hooksReady() || !coring) return -1;
  if (!modeAccepted(mode, "img_dsp_set_sharpen_coring")) return -1;
  SharpenMode& s = g.p.mode[mode];
  copyIn(&s.coring, coring, sizeof s.coring);
  packCoring(s);
  if (sent(mode) && apply(fd, IMG_DSP_REQ_SHARPEN_FIR_CONFIG, &s.firConfig, kFirFailure) < 0) return -1;
  return 0;
}

int img_dsp_get_sharpen_coring(int mode, img_dsp_coring_info* out) {
  return getStored<img_dsp_coring_info>(
      mode, out, [](const SharpenMode& s) -> const img_dsp_coring_info& { return s.coring; },
      "img_dsp_get_sharpen_coring");
}

int img_dsp_set_sharpen_signal_retain_level(int fd, int mode, uint8_t level) {
  if (!hooksReady()) return -1;
  if (!modeAccepted(mode, "img_dsp_set_sharpen_signal_retain_level")) return -1;
  SharpenMode& s = g.p.mode[mode];
  s.retainLevel = level;
  packCoring(s);
  if (!sent(mode)) return 0;
  int r = apply(fd, IMG_DSP_REQ_SHARPEN_FIR_CONFIG, &s.firConfig, kFirFailure);
  return r < 0 ? r : 0;
}

int img_dsp_get_sharpen_signal_retain_level(int mode) {
  if (!modeAccepted(mode, "img_dsp_get_sharpen_signal_retain_level")) return 255;
  if (mode == IMG_DSP_MODE_LOW_ISO) return 0;
  return g.p.mode[mode].retainLevel;
}

int img_dsp_set_sharpen_fir(int fd, int mode, const img_dsp_fir_info* fir) {
  if (!hooksReady() || !fir) return -1;
  if (!modeAccepted(mode, "img_dsp_set_sharpen_fir")) return -1;
  bool wide = g.p.sharpen7x7;
  int32_t strength = fir->fir_strength;
  if (strength < -1 || strength > (wide ? 256 : 192)) {
    say("Warning! img_dsp_set_sharpen_fir: fir_strength %d is out of bound\n", strength);
    return -1;
  }
  if (strength == -1) {
    const int16_t* c = fir->coeff;
    if (!wide && (c[6] || c[7] || c[8] || c[9])) {
      say("Warning! img_dsp_set_sharpen_fir: coeff[6]-coeff[9] is reserved. Please set them to all zero!\n");
      return -1;
    }
    int32_t sum = wide ? 4 * c[0] + 8 * c[1] + 8 * c[2] + 4 * c[3] + 4 * c[4] + 8 * c[5] + 4 * c[6] + 4 * c[7] +
                             4 * c[8] + c[9]
                       : 4 * c[0] + 8 * c[1] + 4 * c[2] + 4 * c[3] + 4 * c[4] + c[5];
    if (sum != 0) {
      say("Warning! img_dsp_set_sharpen_fir: fir coefficients not sum to 0!\n", sum);
      return -1;
    }
  }
  SharpenMode& s = g.p.mode[mode];
  if (g.p.highIsoSharpen)
    img_dsp_set_identity_fir(mode);
  else
    img_dsp_design_sharpen_fir(mode, fir, &s.spatial);
  if (wide) {
    s.fir7x7 = *fir;
  } else {
    s.firStandard = *fir;
    s.firWorking = *fir;
  }
  if (!sent(mode)) return 0;
  int r = apply(fd, IMG_DSP_REQ_SHARPEN_FIR_CONFIG, &s.firConfig, kFirFailure);
  return r < 0 ? r : 0;
}

int img_dsp_get_sharpen_fir(int mode, img_dsp_fir_info* out) {
  return getStored<img_dsp_fir_info>(
      mode, out,
      [](const SharpenMode& s) -> const img_dsp_fir_info& { return g.p.sharpen7x7 ? s.fir7x7 : s.firStandard; },
      "img_dsp_get_sharpen_fir");
}

int img_dsp_set_sharpen_level_min(int fd, int mode, const img_dsp_level_info* level) {
  return setLevel(fd, mode, level, kLevelMin, "img_dsp_set_sharpen_level_min");
}

int img_dsp_get_sharpen_level_min(int mode, img_dsp_level_info* out) {
  return getStored<img_dsp_level_info>(
      mode, out, [](const SharpenMode& s) -> const img_dsp_level_info& { return s.levelMin; },
      "img_dsp_get_sharpen_level_min");
}

int img_dsp_set_sharpen_level_overall(int fd, int mode, const img_dsp_level_info* level) {
  return setLevel(fd, mode, level, kLevelOverall, "img_dsp_set_sharpen_level_overall");
}

int img_dsp_get_sharpen_level_overall(int mode, img_dsp_level_info* out) {
  return getStored<img_dsp_level_info>(
      mode, out, [](const SharpenMode& s) -> const img_dsp_level_info& { return s.levelOverall; },
      "img_dsp_get_sharpen_level_overall");
}

int img_high_iso_set_sharpening_alpha(int fd, int mode, const img_dsp_alpha_info* alpha) {
  if (!hooksReady() || !alpha) return -1;
  if (!modeAccepted(mode, "img_high_iso_set_sharpening_alpha", true)) return -1;
  SharpenMode& s = g.p.mode[mode];
  if (g.p.highIsoSharpen) {
    s.luma.alpha[0] = s.luma.alpha[1] = 255;
  } else {
    s.luma.alpha[0] = alpha->alpha[1];
    s.luma.alpha[1] = alpha->alpha[0];
  }
  s.alpha = *alpha;
  if (sent(mode) && apply(fd, IMG_DSP_REQ_LUMA_SHARPENING, &s.luma, "error: IAV_IOC_IMG_LUMA_SHARPENING\n") < 0)
    return -1;
  return 0;
}

int img_dsp_get_sharpening_alpha(int mode, img_dsp_alpha_info* out) {
  return getStored<img_dsp_alpha_info>(
      mode, out, [](const SharpenMode& s) -> const img_dsp_alpha_info& { return s.alpha; },
      "img_dsp_get_sharpening_alpha", true);
}

int img_dsp_set_spatial_filter(int fd, int mode, const img_dsp_spatial_filter_info* filter) {
  if (!hooksReady() || !filter) return -1;
  if (!modeAccepted(mode, "img_dsp_set_spatial_filter")) return -1;
  if (filter->edge_threshold > kNoEdgeLimit) {
    say("Error: [img_dsp_set_spatial_filter] edge_threshold %d is out of bound\n", filter->edge_threshold);
    return -1;
  }
  Params& p = g.p;
  SharpenMode& s = p.mode[mode];
  bool on = filter->isotropic_strength != 0 || filter->directional_strength != 0;
  uint16_t edge = on ? filter->edge_threshold : kNoEdgeLimit;
  if (mode == IMG_DSP_MODE_LOW_ISO) {
    s.spatial = *filter;
    p.lowIso.edge_thresh_A = edge;
    return 0;
  }
  if (p.highIsoSharpen) {
    img_dsp_set_identity_fir(mode);
    s.misc.sharpen_kind = 2;
    s.misc.bypass = 0;
    s.edge.edge_threshold = s.luma.edge_threshold = kNoEdgeLimit;
    s.spatial = *filter;
    return sendAll(fd, {{IMG_DSP_REQ_SHARPEN_EDGE, &s.edge, "error: IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL\n"},
                        {IMG_DSP_REQ_SHARPEN_MISC, &s.misc, kMiscFailure},
                        {IMG_DSP_REQ_SHARPEN_FIR_CONFIG, &s.firConfig, kFirConfigFailure}});
  }
  img_dsp_design_sharpen_fir(mode, &currentFir(s), filter);
  s.edge.edge_threshold = s.luma.edge_threshold = edge;

  bool wide = p.sharpen7x7;
  s.misc.bypass = wide ? 1 : !on;
  img_dsp_level_info response = wide ? img_dsp_level_info{6, 3, 16, 16, 14, 1, 16} : img_dsp_level_info{10, 1, 0, 0, 20, 1, 0};
  img_dsp_level_control_record& spatial = s.level[kLevelSpatial];
  fillLevel(spatial, response);
  spatial.area = 6;
  spatial.clip_low = spatial.clip_low2 = kClipLow;
  spatial.clip_high = spatial.clip_high2 = kClipHigh;
  img_dsp_level_control_record& clamp = s.level[kLevelClamp];
  int32_t change = 16 * int32_t{filter->max_change};
  clamp.clip_low = wide ? static_cast<int16_t>(std::max(-change, int32_t{kClipLow})) : kClipLow;
  clamp.clip_high = wide ? static_cast<int16_t>(std::min(change, int32_t{kClipHigh})) : kClipHigh;

  s.spatial = *filter;
  return sendAll(fd, {{IMG_DSP_REQ_SHARPEN_EDGE, &s.edge, kEdgeFailure},
                      {IMG_DSP_REQ_SHARPEN_MISC, &s.misc, kMiscFailure},
                      {IMG_DSP_REQ_SHARPEN_FIR_CONFIG, &s.firConfig, kFirConfigFailure},
                      {IMG_DSP_REQ_SHARPEN_LEVEL, &spatial, kLevelFailure},
                      {IMG_DSP_REQ_SHARPEN_LEVEL, &clamp, kLevelFailure}});
}

int img_dsp_get_spatial_filter(int mode, img_dsp_spatial_filter_info* out) {
  return getStored<img_dsp_spatial_filter_info>(
      mode, out, [](const SharpenMode& s) -> const img_dsp_spatial_filter_info& { return s.spatial; },
      "img_dsp_get_spatial_filter");
}

int img_dsp_is_sharpen_7x7(void) { return g.p.sharpen7x7 ? 1 : 0; }

int img_dsp_switch_sharpen_mode(int fd, uint8_t on) {
  if (!hooksReady()) return -1;
  SharpenMode& s = g.p.mode[0];
  clear(s.lumaTable, sizeof s.lumaTable);
  img_dsp_spatial_filter_info filter = s.spatial;
  if (on) {
    s.misc.sharpen_kind = 1;
    g.p.sharpen7x7 = true;
  } else {
    img_dsp_build_luma_sharpen_table(s.lumaTable, s.lumaBaseA, s.lumaBaseB, s.lumaColumnLevel, s.lumaPositionLevel);
    s.misc.sharpen_kind = 2;
    g.p.sharpen7x7 = false;
  }
  img_dsp_fir_info fir = on ? s.fir7x7 : s.firStandard;
  img_dsp_set_spatial_filter(fd, 0, &filter);
  img_dsp_set_sharpen_fir(fd, 0, &fir);
  return 0;
}

}  // extern "C"
