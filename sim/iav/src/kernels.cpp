// The image-kernel requests that the image-DSP library sends (the black level to the temporal
// filter, and its cancel): each record, and every block its pointers designate, is copied when the
// request arrives, as the driver does (the library rewrites its records afterwards), and decoded
// into the journal from that copy: the record's fields, and per block its size and an FNV-1a digest
// of its bytes. The DSP model takes the RGB gains and the tone curve from the copy.
#include <cerrno>
#include <cstring>

#include "img_dsp_records.h"
#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

// The names of the blocks a request's pointers designate, in the order of its layout.
struct BlockNames {
  uint32_t code;
  const char* name[4];
};
const BlockNames kBlockNames[] = {
    {IMG_DSP_REQ_BAD_PIXEL, {"hotTable", "darkTable"}},
    {IMG_DSP_REQ_VIGNETTE, {"table0", "table1", "table2", "table3"}},
    {IMG_DSP_REQ_COLOR_CORRECTION, {"inputTable", "lut3d", "toneCurve"}},
    {IMG_DSP_REQ_CHROMA_MEDIAN, {"table"}},
    {IMG_DSP_REQ_LUMA_SHARPENING, {"alphaTable"}},
    {IMG_DSP_REQ_SHARPEN_FIR_CONFIG, {"fir1", "fir2", "coring"}},
    {IMG_DSP_REQ_MCTF, {"config"}},
};

const char* blockName(uint32_t code, uint32_t i) {
  for (const BlockNames& b : kBlockNames)
    if (b.code == code && i < 4 && b.name[i] != nullptr) return b.name[i];
  return "block";
}

template <class T>
T field(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

void digest(JournalLine& line, const char* key, const uint8_t* bytes, size_t n) {
  line.object(key).unum("bytes", n).hex("fnv", fnv1a64(bytes, n)).close();
}

}  // namespace

uint64_t fnv1a64(const uint8_t* bytes, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= bytes[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

bool isLibraryKernel(uint32_t code) {
  return code != IMG_DSP_REQ_CANCEL && img_dsp_request_layout_of(code) != nullptr;
}

int Sim::libraryKernel(Call& c) {
  const img_dsp_request_layout* layout = img_dsp_request_layout_of(c.code);
  KernelCopy& k = kernelCopy_;
  // The deep copy: the record first, then each block its pointers designate (a null pointer
  // leaves its block out).
  if (layout->record_bytes > sizeof k.record) return -EINVAL;
  std::memcpy(k.record, reinterpret_cast<const void*>(c.arg), layout->record_bytes);
  size_t used = 0;
  for (uint32_t i = 0; i < layout->pointer_count; ++i) {
    const img_dsp_request_pointer& p = layout->pointer[i];
    const uint8_t* from = field<const uint8_t*>(k.record, p.offset);
    k.block[i] = nullptr;
    k.blockBytes[i] = p.bytes;
    if (from == nullptr) continue;
    if (used + p.bytes > sizeof k.blocks) return -EINVAL;
    k.block[i] = k.blocks + used;
    std::memcpy(k.block[i], from, p.bytes);
    used += p.bytes;
  }
  JournalLine& line = c.line;
  line.object("arg");
  const uint8_t* r = k.record;
  switch (c.code) {
    case IMG_DSP_REQ_BLACK_LEVEL: {
      const auto b = field<img_dsp_black_level_record>(r, 0);
      line.num("o0", b.offset[0]).num("o1", b.offset[1]).num("o2", b.offset[2]).num("o3", b.offset[3]);
      line.num("r0", b.reference[0]).num("r1", b.reference[1]).num("r2", b.reference[2]);
      break;
    }
    case IMG_DSP_REQ_BAD_PIXEL:
      line.unum("enable", field<uint32_t>(r, offsetof(img_dsp_bad_pixel_record, enable)));
      line.unum("mode", field<uint32_t>(r, offsetof(img_dsp_bad_pixel_record, mode)));
      line.unum("fixed0", field<uint16_t>(r, offsetof(img_dsp_bad_pixel_record, fixed0)));
      line.unum("fixed1", field<uint16_t>(r, offsetof(img_dsp_bad_pixel_record, fixed1)));
      break;
    case IMG_DSP_REQ_RGB_GAIN: {
      const auto g = field<img_dsp_rgb_gain_record>(r, 0);
      line.unum("r", g.r_gain).unum("gr", g.g_gain_r).unum("gb", g.g_gain_b).unum("b", g.b_gain);
      break;
    }
    case IMG_DSP_REQ_VIGNETTE:
      line.unum("enable", r[offsetof(img_dsp_vignette_record, enable)]);
      line.unum("gainShift", r[offsetof(img_dsp_vignette_record, gain_shift)]);
      break;
    case IMG_DSP_REQ_LOCAL_EXPOSURE: {
      const auto e = field<img_dsp_local_exposure_record>(r, 0);
      line.unum("enable", e.enable).unum("radius", e.radius).unum("w0", e.weight[0]).unum("w1", e.weight[1]);
      line.unum("w2", e.weight[2]).unum("shift", e.weight_shift).num("offset", e.offset);
      line.num("r1", e.black_reference[1]).unum("gain0", e.gain_curve[0]).unum("gain255", e.gain_curve[255]);
      digest(line, "gainCurve", r + offsetof(img_dsp_local_exposure_record, gain_curve), sizeof e.gain_curve);
      break;
    }
    case IMG_DSP_REQ_COLOR_CORRECTION: {
      line.unum("enable", r[offsetof(img_dsp_color_correction_record, enable)]);
      for (int i = 0; i < 3; ++i) {
        const char* key[] = {"g0", "g1", "g2"};
        line.unum(key[i], field<uint32_t>(r, offsetof(img_dsp_color_correction_record, gain) + 4 * i));
      }
      line.unum("toneUpdate", field<uint32_t>(r, offsetof(img_dsp_color_correction_record, tone_update)));
      break;
    }
    case IMG_DSP_REQ_CHROMA_SCALE: {
      const auto s = field<img_dsp_chroma_scale_record>(r, 0);
      line.unum("enable", s.enable).unum("one", s.one);
      const char* key[] = {"m0", "m1", "m2", "m3", "m4", "m5"};
      for (int i = 0; i < 6; ++i) line.num(key[i], s.matrix[i]);
      line.unum("gain0", s.gain[0]).unum("gain127", s.gain[127]);
      digest(line, "gains", r + offsetof(img_dsp_chroma_scale_record, gain), sizeof s.gain);
      break;
    }
    case IMG_DSP_REQ_CHROMA_MEDIAN: {
      line.unum("mode", field<uint32_t>(r, offsetof(img_dsp_chroma_median_record, mode)));
      const char* key[] = {"t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7"};
      for (int i = 0; i < 8; ++i)
        line.unum(key[i], field<uint16_t>(r, offsetof(img_dsp_chroma_median_record, threshold) + 2 * i));
      break;
    }
    case IMG_DSP_REQ_LUMA_SHARPENING:
      line.unum("alpha0", r[offsetof(img_dsp_luma_sharpening_record, alpha)]);
      line.unum("alpha1", r[offsetof(img_dsp_luma_sharpening_record, alpha) + 1]);
      line.unum("edgeThreshold", field<uint16_t>(r, offsetof(img_dsp_luma_sharpening_record, edge_threshold)));
      break;
    case IMG_DSP_REQ_SHARPEN_FIR_CONFIG:
      line.unum("config", r[offsetof(img_dsp_fir_config_record, config)]);
      line.unum("fir2Enable", r[offsetof(img_dsp_fir_config_record, fir2_enable)]);
      // The shift word closes each FIR block (after its nine direction records).
      if (k.block[0] != nullptr) line.hex("fir1Shift", field<uint32_t>(k.block[0], IMG_DSP_FIR_BLOCK_BYTES - 4));
      if (k.block[1] != nullptr) line.hex("fir2Shift", field<uint32_t>(k.block[1], IMG_DSP_FIR_BLOCK_BYTES - 4));
      break;
    case IMG_DSP_REQ_SHARPEN_EDGE:
      line.unum("edgeThreshold", field<uint16_t>(r, offsetof(img_dsp_edge_control_record, edge_threshold)));
      break;
    case IMG_DSP_REQ_SHARPEN_LEVEL: {
      const auto l = field<img_dsp_level_control_record>(r, 0);
      line.hex("cmd", l.cmd_code).unum("group", l.group_index).unum("select", l.select);
      line.unum("low", l.low).unum("low0", l.low_0).unum("lowDelta", l.low_delta).unum("lowVal", l.low_val);
      line.unum("high", l.high).unum("high0", l.high_0).unum("highDelta", l.high_delta).unum("highVal", l.high_val);
      line.unum("base", l.base_val).unum("area", l.area).num("clipLow", l.clip_low).num("clipHigh", l.clip_high);
      break;
    }
    case IMG_DSP_REQ_SHARPEN_MISC: {
      const auto m = field<img_dsp_misc_record>(r, 0);
      line.unum("group", m.group_index).unum("kind", m.sharpen_kind).unum("bypass", m.bypass);
      break;
    }
    case IMG_DSP_REQ_MCTF:
      line.unum("enable", r[offsetof(img_dsp_mctf_record, enable)]);
      if (k.block[0] != nullptr) {
        const auto cfg = field<img_dsp_mctf_config>(k.block[0], 0);
        line.unum("curve0", cfg.curve[0][0]).unum("curve63", cfg.curve[0][63]).hex("edges", cfg.edges);
        line.unum("flags", cfg.flags);
      }
      break;
    default:
      break;
  }
  for (uint32_t i = 0; i < layout->pointer_count; ++i) {
    if (k.block[i] == nullptr)
      line.str(blockName(c.code, i), "null");
    else
      digest(line, blockName(c.code, i), k.block[i], k.blockBytes[i]);
  }
  line.close();

  DspSettings& d = st_->camera.dsp;
  if (c.code == IMG_DSP_REQ_RGB_GAIN) {
    const auto g = field<img_dsp_rgb_gain_record>(r, 0);
    if (g.r_gain == 0 || g.g_gain_r == 0 || g.g_gain_b == 0 || g.b_gain == 0) return -EINVAL;
    d.rgbGain = g;
  } else if (c.code == IMG_DSP_REQ_COLOR_CORRECTION && k.block[2] != nullptr) {
    // A record without a tone curve leaves the one in force.
    for (int i = 0; i < 256; ++i) {
      const uint32_t w = field<uint32_t>(k.block[2], 4 * i);
      for (int ch = 0; ch < 3; ++ch) d.tone[ch][i] = static_cast<uint16_t>((w >> (10 * ch)) & 1023u);
    }
  }
  return 0;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
