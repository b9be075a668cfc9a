// What each request of the library carries, for a driver stand-in that copies records deeply.
#include <cstddef>

#include "img_dsp_records.h"

namespace {

constexpr uint32_t at(size_t offset) { return static_cast<uint32_t>(offset); }

const img_dsp_request_layout kLayouts[] = {
    {IMG_DSP_REQ_BLACK_LEVEL, "IAV_IOC_IMG_BLACK_LEVEL_GLOBAL_OFFSET", sizeof(img_dsp_black_level_record), 0, {}},
    {IMG_DSP_REQ_BAD_PIXEL, "IAV_IOC_IMG_BAD_PIXEL_CORRECTION", sizeof(img_dsp_bad_pixel_record), 2,
     {{at(offsetof(img_dsp_bad_pixel_record, hot_table)), IMG_DSP_BAD_PIXEL_TABLE_BYTES},
      {at(offsetof(img_dsp_bad_pixel_record, dark_table)), IMG_DSP_BAD_PIXEL_TABLE_BYTES}}},
    {IMG_DSP_REQ_RGB_GAIN, "IAV_IOC_IMG_RGB_GAIN_ADJUST", sizeof(img_dsp_rgb_gain_record), 0, {}},
    {IMG_DSP_REQ_VIGNETTE, "IAV_IOC_IMG_VIGNETTE_COMPENSATION", sizeof(img_dsp_vignette_record), 4,
     {{at(offsetof(img_dsp_vignette_record, table)), IMG_DSP_VIGNETTE_TABLE_BYTES},
      {at(offsetof(img_dsp_vignette_record, table) + sizeof(uint16_t*)), IMG_DSP_VIGNETTE_TABLE_BYTES},
      {at(offsetof(img_dsp_vignette_record, table) + 2 * sizeof(uint16_t*)), IMG_DSP_VIGNETTE_TABLE_BYTES},
      {at(offsetof(img_dsp_vignette_record, table) + 3 * sizeof(uint16_t*)), IMG_DSP_VIGNETTE_TABLE_BYTES}}},
    {IMG_DSP_REQ_LOCAL_EXPOSURE, "IAV_IOC_IMG_LOCAL_EXPOSURE", sizeof(img_dsp_local_exposure_record), 0, {}},
    {IMG_DSP_REQ_COLOR_CORRECTION, "IAV_IOC_IMG_COLOR_CORRECTION", sizeof(img_dsp_color_correction_record), 3,
     {{at(offsetof(img_dsp_color_correction_record, input_table)), IMG_DSP_CC_INPUT_TABLE_BYTES},
      {at(offsetof(img_dsp_color_correction_record, lut_3d)), IMG_DSP_CC_3D_TABLE_BYTES},
      {at(offsetof(img_dsp_color_correction_record, tone_curve)), IMG_DSP_TONE_CURVE_WORDS * 4}}},
    {IMG_DSP_REQ_CHROMA_SCALE, "IAV_IOC_IMG_CHROMA_SCALE", sizeof(img_dsp_chroma_scale_record), 0, {}},
    {IMG_DSP_REQ_CHROMA_MEDIAN, "IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP", sizeof(img_dsp_chroma_median_record), 1,
     {{at(offsetof(img_dsp_chroma_median_record, table)), IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES}}},
    {IMG_DSP_REQ_LUMA_SHARPENING, "IAV_IOC_IMG_LUMA_SHARPENING", sizeof(img_dsp_luma_sharpening_record), 1,
     {{at(offsetof(img_dsp_luma_sharpening_record, alpha_table)), IMG_DSP_LUMA_TABLE_BYTES}}},
    {IMG_DSP_REQ_SHARPEN_FIR_CONFIG, "IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG", sizeof(img_dsp_fir_config_record), 3,
     {{at(offsetof(img_dsp_fir_config_record, fir1)), IMG_DSP_FIR_BLOCK_BYTES},
      {at(offsetof(img_dsp_fir_config_record, fir2)), IMG_DSP_FIR_BLOCK_BYTES},
      {at(offsetof(img_dsp_fir_config_record, coring)), IMG_DSP_CORING_BLOCK_WORDS * 4}}},
    {IMG_DSP_REQ_SHARPEN_EDGE, "IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL", sizeof(img_dsp_edge_control_record), 0, {}},
    {IMG_DSP_REQ_SHARPEN_LEVEL, "IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL", sizeof(img_dsp_level_control_record), 0, {}},
    {IMG_DSP_REQ_SHARPEN_MISC, "IAV_IOC_IMG_LUMA_SHARPENING_MISC", sizeof(img_dsp_misc_record), 0, {}},
    {IMG_DSP_REQ_MCTF, "IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP", sizeof(img_dsp_mctf_record), 1,
     {{at(offsetof(img_dsp_mctf_record, config)), sizeof(img_dsp_mctf_config)}}},
    {IMG_DSP_REQ_CANCEL, "IAV_IOC_IMG_DSP_CANCEL", 0, 0, {}},
};

}  // namespace

extern "C" const img_dsp_request_layout* img_dsp_request_layout_of(uint32_t code) {
  for (const img_dsp_request_layout& l : kLayouts)
    if (l.code == code) return &l;
  return nullptr;
}
