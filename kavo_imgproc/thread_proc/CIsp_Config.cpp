// The per-model image configuration: black level, chroma median and bad-pixel filters, the model's
// RGB-to-YUV set and tone curve, the colour-correction register file and 3D table read from
// "/etc/ispserver/", and local exposure. Runs at every initialisation (start and re-initialisation),
// re-reading both files; every library call goes through the driver's locked entries.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "be_iav/iav_driver.h"
#include "kavo/os/path.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "CIsp_Config";
constexpr const char* kShared3dOpen = "[init_image_params]/etc/ispserver/3D.bin cannot be opened\n";
constexpr const char* kShared3dRead = "[init_image_params]read /etc/ispserver/3D.bin error\n";
constexpr const char* kRegRead = "[init_image_params]read X5M_CC_reg_1.1.bin error\n";

// A model's configuration: its files with the messages of a missing or short file, its RGB-to-YUV
// set, its tone curve, and what is printed for it (logged at level 4 when `logged`).
struct ModelConfig {
  const char* regFile;
  const char* table3d;
  const char* regOpenFailed;
  const char* table3dOpenFailed;
  int16_t yuv[12];
  const uint16_t* toneCurve;
  const char* banner;
  bool logged;
  bool localExposure;
};

// clang-format off
//                 register file                     3D table                          missing register file                                       missing 3D table                                         Y row            U row             V row            offsets      tone curve        banner                                     logged local exposure
const ModelConfig kBrisk  {"/etc/ispserver/reg.bin",        "/etc/ispserver/3D.bin",        "[init_image_params]X5M_CC_reg_1.1.bin cannot be opened\n", kShared3dOpen,                                     {306, 601, 117, -147, -288, 435, 473, -396, -76, 8, 128, 128}, kToneCurveS, "[init_image_params]For TORVEX_BRISK\n", false, false};
const ModelConfig kTarrow {"/etc/ispserver/reg.bin",        "/etc/ispserver/3D.bin",        "[init_image_params]X5M_CC_reg_1.1.bin cannot be opened\n", kShared3dOpen,                                     {306, 601, 117, -147, -288, 435, 473, -396, -76, 8, 128, 128}, kToneCurveS, "[init_image_params]For TORVEX_TARROW\n", false, false};
const ModelConfig kWren   {"/etc/ispserver/reg.bin",        "/etc/ispserver/3D.bin",        "[init_image_params]X5M_CC_reg_1.1.bin cannot be opened\n", kShared3dOpen,                                     {306, 601, 117, -147, -288, 435, 473, -396, -76, 8, 128, 128}, kToneCurveS, "[init_image_params]For TORVEX_WREN\n", false, false};
const ModelConfig kHalden {"/etc/ispserver/reg_halden.bin", "/etc/ispserver/3D_halden.bin", "[init_image_params]reg_halden.bin cannot be opened\n",     "[init_image_params]3D_halden.bin cannot be opened\n", {306, 601, 117, -173, -339, 512, 512, -429, -83, 0, 128, 128}, img_dsp_linear_tone_curve, "[init_image_params]For HALDEN_IR\n", false, true};
const ModelConfig kAlder  {"/etc/ispserver/reg_alder.bin",  "/etc/ispserver/3D_alder.bin",  "[init_image_params]reg_alder.bin cannot be opened\n",      "[init_image_params]3D_alder cannot be opened\n",      {306, 601, 117, -173, -339, 512, 486, -407, -78, 0, 128, 128}, img_dsp_linear_tone_curve, "[init_image_params]For ALDER_IR\n", false, true};
const ModelConfig kFinch  {"/etc/ispserver/reg_finch.bin",  "/etc/ispserver/3D_finch.bin",  "[init_image_params]reg_finch.bin cannot be opened\n",      "[init_image_params]3D_finch cannot be opened\n",      {306, 601, 117, -207, -406, 614, 614, -514, -99, 0, 128, 128}, img_dsp_linear_tone_curve, "[init_image_params]For FINCH_IR\n", true, true};
// An unknown model: model 1's set and curve with the shared file names.
const ModelConfig kUnknown{"/etc/ispserver/reg.bin",        "/etc/ispserver/3D.bin",        "[init_image_params]X5M_CC_reg_1.1.bin cannot be opened\n", kShared3dOpen,                                     {306, 601, 117, -173, -339, 512, 512, -429, -83, 0, 128, 128}, img_dsp_linear_tone_curve, "[init_image_params]System.model unknown. Please check ispserver.conf \n", true, false};
// clang-format on

const ModelConfig& configOf(int32_t model) {
  switch (model) {
    case ALDER_IR:
      return kAlder;
    case HALDEN_IR:
      return kHalden;
    case TORVEX_BRISK:
      return kBrisk;
    case TORVEX_TARROW:
      return kTarrow;
    case TORVEX_WREN:
      return kWren;
    case FINCH_IR:
      return kFinch;
    default:
      return kUnknown;
  }
}

void warn(const char* text) { ISP_LOG_AS(kSource, "init_image_params", LOG_LEVEL_WARNING, 0, "%s", text); }

// Reads `file` whole into `buf` (cleared first). False when it cannot be opened; a short file is
// logged with `shortText` and what was read is kept.
bool readConfigFile(const char* file, uint8_t* buf, size_t bytes, const char* openText, const char* shortText) {
  std::memset(buf, 0, bytes);
  const int fd = ::open(kavo::os::path(file).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    warn(openText);
    return false;
  }
  ssize_t got;
  do {
    got = ::read(fd, buf, bytes);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(bytes)) warn(shortText);
  ::close(fd);
  return true;
}

}  // namespace

void init_image_params(CIsp* isp) {
  IAVDriver* driver = iavDriver();
  const int32_t model = isp->system().model;
  const ModelConfig& m = configOf(model);

  img_dsp_black_level_info black{};
  driver->dsp_get_black_level_offset(&black);
  if (model == FINCH_IR) {
    for (int32_t& level : black.level) level = -295;
    setChromaScale(isp, 40);
  }
  driver->dsp_set_black_level_offset(&black, 3);

  const img_dsp_chroma_median_info median{1, 255, 255};
  driver->dsp_set_chroma_median_filter(&median);
  const img_dsp_bad_pixel_info badPixels{3, 8, 8};
  driver->set_bad_pixel_correction(&badPixels);

  isp->modelYuv.load(m.yuv);
  if (m.logged)
    warn(m.banner);
  else
    debugPrintf(0, "%s", m.banner);
  // The model's curve is the base of the contrast curve whether or not the files below are there.
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 256; ++i) isp->toneCurve.set(c * 256 + i, m.toneCurve[i]);

  if (!readConfigFile(m.regFile, isp->ccRegFile, sizeof isp->ccRegFile, m.regOpenFailed, kRegRead)) return;
  if (!readConfigFile(m.table3d, isp->cc3dFile, sizeof isp->cc3dFile, m.table3dOpenFailed, kShared3dRead)) return;

  const img_dsp_cc_reg_info reg{isp->ccRegFile};
  if (driver->dsp_set_color_correction_reg(&reg) < 0) warn("img_dsp_set_color_correction_reg error!\n");
  const img_dsp_cc_3d_info table{isp->cc3dFile};
  if (driver->dsp_set_color_correction(&table) < 0) warn("img_dsp_set_color_correction error!\n");
  driver->dsp_write_color_correction();
  img_dsp_tone_curve curve;
  for (int c = 0; c < 3; ++c) std::memcpy(curve.channel[c], m.toneCurve, sizeof curve.channel[c]);
  driver->dsp_load_tone_curve(&curve);
  if (m.localExposure) driver->set_local_exposure();

  iav_rgb_to_yuv_t yuv{};
  for (int i = 0; i < 9; ++i) {
    yuv.matrix_values[i] = m.yuv[i];
    debugPrintf(0, "rgb2yuv_init.matrix_values[%d]=%d\r\n", i, m.yuv[i]);
  }
  yuv.y_offset = m.yuv[9];
  yuv.u_offset = m.yuv[10];
  yuv.v_offset = m.yuv[11];
  debugPrintf(0, "rgb2yuv_init.y_offset=%d\r\n", yuv.y_offset);
  debugPrintf(0, "rgb2yuv_init.u_offset=%d\r\n", yuv.u_offset);
  debugPrintf(0, "rgb2yuv_init.v_offset=%d\r\n", yuv.v_offset);
  if (driver->set_rgb_to_yuv_matrix(&yuv) < 0) debugPrintf(0, "[init_image_params]set_rgb_to_yuv fail.\r\n");
}

}  // namespace isp
}  // namespace kavo
