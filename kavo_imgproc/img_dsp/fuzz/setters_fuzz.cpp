// Drives the library's public entry points with records taken from the input: one entry per step,
// chosen by a byte, its parameter record filled from the bytes that follow, so sequences (7x7
// switch, FIR, spatial filter, colour files) meet each other. The request hook fails when the input
// asks it to. Every input starts from the defaults.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "img_dsp.h"

using imgdsp_fuzz::Input;
using imgdsp_fuzz::print;

namespace {

bool gFailRequests = false;

int request(int, unsigned long, void*) { return gFailRequests ? -1 : 0; }

uint16_t gVignette[4][IMG_DSP_VIGNETTE_TABLE_BYTES / 2];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const img_dsp_mem_ops ops = {std::malloc, std::free, std::memset, std::memcpy};
  img_dsp_set_mem_ops(&ops);
  img_dsp_set_print_op(print);
  img_dsp_set_ioctl_op(request);
  img_dsp_lib_deinit();
  if (img_dsp_lib_init() != 0) return 0;
  Input in{data, size};
  const int fd = 3;
  while (in.size > 0) {
    uint8_t op = in.take<uint8_t>();
    gFailRequests = (op & 0x80) != 0;
    int mode = static_cast<int8_t>(in.take<uint8_t>()) % 6;  // -5..5: the refused modes too
    switch (op & 0x1f) {
      case 0: { auto r = in.take<img_dsp_chroma_median_info>(); img_dsp_set_chroma_median_filter(fd, &r); break; }
      case 1: { auto r = in.take<img_dsp_chroma_scale_info>(); img_dsp_set_chroma_scale(fd, &r); break; }
      case 2: {
        std::vector<uint8_t> f = in.file(IMG_DSP_CC_REG_FILE_BYTES, 16);
        if (mode & 1) {
          uint32_t size = IMG_DSP_CC_REG_FILE_BYTES;
          std::memcpy(&f[8], &size, 4);
        }
        img_dsp_cc_reg_info r{f.data()};
        img_dsp_set_color_correction_reg(&r);
        break;
      }
      case 3: {
        std::vector<uint8_t> f = in.file(IMG_DSP_CC_3D_FILE_BYTES, 16);
        img_dsp_cc_3d_info r{f.data()};
        img_dsp_set_color_correction(fd, &r);
        break;
      }
      case 4: { auto r = in.take<img_dsp_tone_curve>(); img_dsp_load_tone_curve(fd, &r); break; }
      case 5: img_dsp_write_color_correction(fd); break;
      case 6: { auto r = in.take<img_dsp_bad_pixel_info>(); img_dsp_set_dynamic_bad_pixel_correction(fd, &r); break; }
      case 7: { auto r = in.take<img_dsp_local_exposure_info>(); img_dsp_set_local_exposure(fd, &r); break; }
      case 8: {
        auto r = in.take<img_dsp_black_level_info>();
        img_dsp_set_black_level_offset(fd, &r, in.take<uint8_t>() % 6);
        break;
      }
      case 9: {
        img_dsp_vignette_info r{in.take<uint8_t>(), in.take<uint8_t>(), {gVignette[0], gVignette[1], gVignette[2], gVignette[3]}};
        img_dsp_set_vignette(fd, &r);
        break;
      }
      case 10: { auto r = in.take<img_dsp_rgb_gain_info>(); img_dsp_set_rgb_gain(fd, &r, in.take<uint32_t>()); break; }
      case 11: { auto r = in.take<img_dsp_rgb_gain_info>(); img_dsp_set_wb_gain(fd, &r); break; }
      case 12: img_dsp_set_dgain(fd, in.take<uint16_t>()); break;
      case 13: { auto r = in.take<img_dsp_coring_info>(); img_dsp_set_sharpen_coring(fd, mode, &r); break; }
      case 14: img_dsp_set_sharpen_signal_retain_level(fd, mode, in.take<uint8_t>()); break;
      case 15: {
        auto r = in.take<img_dsp_fir_info>();
        if (op & 0x20) r.fir_strength = r.fir_strength % 258 - 1;  // mostly within bounds
        img_dsp_set_sharpen_fir(fd, mode, &r);
        break;
      }
      case 16: { auto r = in.take<img_dsp_level_info>(); img_dsp_set_sharpen_level_min(fd, mode, &r); break; }
      case 17: { auto r = in.take<img_dsp_level_info>(); img_dsp_set_sharpen_level_overall(fd, mode, &r); break; }
      case 18: { auto r = in.take<img_dsp_alpha_info>(); img_high_iso_set_sharpening_alpha(fd, mode, &r); break; }
      case 19: { auto r = in.take<img_dsp_spatial_filter_info>(); img_dsp_set_spatial_filter(fd, mode, &r); break; }
      case 20: img_dsp_switch_sharpen_mode(fd, in.take<uint8_t>()); break;
      case 21: { auto r = in.take<img_dsp_mctf_info>(); img_dsp_set_mctf_info(fd, &r); break; }
      case 22: img_dsp_enable_mctf(fd, in.take<uint8_t>()); break;
      case 23: { auto r = in.take<img_dsp_mctf_curve_desc>(); img_dsp_set_video_mctf(fd, &r); break; }
      case 24: img_dsp_cancel(fd); break;
      default: {  // every getter
        img_dsp_coring_info coring;
        img_dsp_fir_info fir;
        img_dsp_level_info level;
        img_dsp_alpha_info alpha;
        img_dsp_spatial_filter_info sf;
        img_dsp_tone_curve tone;
        img_dsp_get_sharpen_coring(mode, &coring);
        img_dsp_get_sharpen_fir(mode, &fir);
        img_dsp_get_sharpen_level_min(mode, &level);
        img_dsp_get_sharpen_level_overall(mode, &level);
        img_dsp_get_sharpening_alpha(mode, &alpha);
        img_dsp_get_spatial_filter(mode, &sf);
        img_dsp_get_sharpen_signal_retain_level(mode);
        img_dsp_get_tone_curve(&tone);
        break;
      }
    }
  }
  return 0;
}
