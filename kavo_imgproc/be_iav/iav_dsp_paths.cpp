// IAVDriver's entries into the image-DSP library. The library keeps all its state in one block and
// has no lock, so each entry holds the driver's mutex for the whole library call (which issues its
// requests through the hook below); reads and writes of the library's records by one caller never
// interleave with another's. Files are read before the mutex is taken.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "be_iav/iav_driver.h"
#include "kavo/os/device.h"
#include "kavo/os/path.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

using Lock = std::lock_guard<std::mutex>;

// The library's request hook: the driver request through the device seam.
int dspRequest(int fd, unsigned long request, void* arg) {
  return kavo::os::devIoctl(fd, request, reinterpret_cast<uintptr_t>(arg));
}

const img_dsp_mem_ops kMemOps{std::malloc, std::free, std::memset, std::memcpy};

// Gains of the local exposure by luma (1024 = 1.0); entries from 92 on are 1024.
const uint16_t kLocalExposureCurve[92] = {
    1024, 1054, 1140, 1320, 1460, 1538, 1580, 1610, 1630, 1640, 1640, 1635, 1625, 1610, 1592, 1563, 1534, 1505, 1475,
    1447, 1417, 1393, 1369, 1345, 1321, 1297, 1273, 1256, 1238, 1226, 1214, 1203, 1192, 1180, 1168, 1157, 1149, 1142,
    1135, 1127, 1121, 1113, 1106, 1098, 1091, 1084, 1080, 1077, 1074, 1071, 1067, 1065, 1061, 1058, 1055, 1051, 1048,
    1045, 1044, 1043, 1042, 1041, 1040, 1039, 1038, 1037, 1036, 1035, 1034, 1033, 1032, 1031, 1030, 1029, 1029, 1029,
    1029, 1028, 1028, 1028, 1028, 1027, 1027, 1027, 1026, 1026, 1026, 1026, 1025, 1025, 1025, 1025};

// The lens-shading file: four tables of 33 x 33 16-bit gains, then the 32-bit gain shift.
constexpr const char* kLensShadingFile = "/etc/ispserver/lens_shading.bin";
constexpr int kShadingSide = 33;
constexpr size_t kShadingTableBytes = sizeof(uint16_t) * kShadingSide * kShadingSide;

size_t readFully(int fd, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, static_cast<uint8_t*>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// Lowers the gains towards the left and right edges (columns outside 8-24) and, there, towards the
// top and bottom rows.
void softenEdges(uint16_t* table) {
  for (int r = 0; r < kShadingSide; ++r)
    for (int c = 0; c < kShadingSide; ++c) {
      if (c >= 8 && c <= 24) continue;
      uint32_t gain = table[r * kShadingSide + c];
      gain = gain * static_cast<uint32_t>(c < 8 ? c + 92 : 124 - c) / 100;
      if (r < 5 || r > 27) gain = gain * static_cast<uint32_t>(r < 5 ? r + 95 : 127 - r) / 100;
      table[r * kShadingSide + c] = static_cast<uint16_t>(gain);
    }
}

}  // namespace

img_dsp_local_exposure_info defaultLocalExposure() {
  img_dsp_local_exposure_info e{};
  e.enable = 1;
  e.radius = 1;
  e.weight[0] = e.weight[1] = e.weight[2] = 16;
  e.weight_shift = 6;
  for (int i = 0; i < 256; ++i) e.gain_curve[i] = i < 92 ? kLocalExposureCurve[i] : 1024;
  return e;
}

int IAVDriver::dsp_lib_init() {
  Lock lock(mutex_);
  img_dsp_set_mem_ops(&kMemOps);
  img_dsp_set_print_op(std::printf);
  img_dsp_set_ioctl_op(dspRequest);
  return img_dsp_lib_init();
}

int IAVDriver::dsp_get_black_level_offset(img_dsp_black_level_info* out) {
  Lock lock(mutex_);
  return img_dsp_get_black_level_offset(out);
}

int IAVDriver::dsp_set_black_level_offset(const img_dsp_black_level_info* levels, uint32_t bayerOrder) {
  Lock lock(mutex_);
  return img_dsp_set_black_level_offset(iavFd(), levels, bayerOrder);
}

int IAVDriver::dsp_set_chroma_median_filter(const img_dsp_chroma_median_info* info) {
  Lock lock(mutex_);
  return img_dsp_set_chroma_median_filter(iavFd(), info);
}

int IAVDriver::dsp_set_color_correction_reg(const img_dsp_cc_reg_info* info) {
  Lock lock(mutex_);
  return img_dsp_set_color_correction_reg(info);
}

int IAVDriver::dsp_set_color_correction(const img_dsp_cc_3d_info* info) {
  Lock lock(mutex_);
  return img_dsp_set_color_correction(iavFd(), info);
}

int IAVDriver::dsp_write_color_correction() {
  Lock lock(mutex_);
  return img_dsp_write_color_correction(iavFd());
}

int IAVDriver::dsp_load_tone_curve(const img_dsp_tone_curve* curve) {
  Lock lock(mutex_);
  return img_dsp_load_tone_curve(iavFd(), curve);
}

int IAVDriver::dsp_get_spatial_filter(img_dsp_spatial_filter_info* out) {
  Lock lock(mutex_);
  return img_dsp_get_spatial_filter(0, out);
}

int IAVDriver::dsp_get_dynamic_bad_pixel_correction(img_dsp_bad_pixel_info* out) {
  Lock lock(mutex_);
  return img_dsp_get_dynamic_bad_pixel_correction(out);
}

// ---- the wrappers of the picture controls -------------------------------------------------------

int IAVDriver::set_sharpen_alpha(const img_dsp_alpha_info* alpha) {
  Lock lock(mutex_);
  img_high_iso_set_sharpening_alpha(iavFd(), 0, alpha);
  return 0;
}

int IAVDriver::set_sharpen_level_overall(const img_dsp_level_info* level) {
  Lock lock(mutex_);
  img_dsp_set_sharpen_level_overall(iavFd(), 0, level);
  return 0;
}

int IAVDriver::set_sharpen_level_min(const img_dsp_level_info* level) {
  Lock lock(mutex_);
  img_dsp_set_sharpen_level_min(iavFd(), 0, level);
  return 0;
}

int IAVDriver::set_sharpen_coring(const img_dsp_coring_info* coring, uint8_t retainLevel) {
  Lock lock(mutex_);
  img_dsp_set_sharpen_coring(iavFd(), 0, coring);
  img_dsp_set_sharpen_signal_retain_level(iavFd(), 0, retainLevel);
  return 0;
}

int IAVDriver::set_chroma_scale(const img_dsp_chroma_scale_info* scale) {
  Lock lock(mutex_);
  img_dsp_set_chroma_scale(iavFd(), scale);
  return 0;
}

int IAVDriver::set_sharpen_fir(const img_dsp_fir_info* fir, uint32_t sharpen7x7) {
  Lock lock(mutex_);
  img_dsp_switch_sharpen_mode(iavFd(), static_cast<uint8_t>(sharpen7x7 & 0xffu));
  img_dsp_set_sharpen_fir(iavFd(), 0, fir);
  return 0;
}

int IAVDriver::set_spatial_filter(int mode, const img_dsp_spatial_filter_info* filter) {
  Lock lock(mutex_);
  img_dsp_set_spatial_filter(iavFd(), mode, filter);
  return 0;
}

int IAVDriver::set_bad_pixel_correction(const img_dsp_bad_pixel_info* info) {
  // Under the mutex like every library entry: another thread's sharpening call would otherwise run
  // inside the library at the same time.
  Lock lock(mutex_);
  img_dsp_set_dynamic_bad_pixel_correction(iavFd(), info);
  return 0;
}

// ---- temporal filter, white balance and local exposure ------------------------------------------

int IAVDriver::set_3Dnr(int level) {
  // The alpha byte takes 0..255; a negative level would wrap into a strong filter.
  if (level < 0 || level > 255) {
    if (level < 0) ISP_LOG_AS("iav_wd_3dnr", __func__, LOG_LEVEL_WARNING, 0, "[set_3Dnr]level=%d refused", level);
    return -1;
  }
  int rc;
  img_dsp_mctf_info info{};
  {
    Lock lock(mutex_);
    img_dsp_get_mctf_info(&info);
    debugPrintf(0, "[get_3Dnr]mctf_info.alpha=%d\n", info.alpha);
    info.enable = level > 0 ? 1 : 0;
    info.alpha = static_cast<uint8_t>(level);
    info.threshold[1] = 80;  // byte 3
    info.threshold[2] = 160;
    info.threshold[5] = info.threshold[6] = info.threshold[7] = 32;  // bytes 7 to 9
    rc = img_dsp_set_mctf_info(iavFd(), &info);
  }
  if (rc < 0) ISP_LOG_AS("iav_wd_3dnr", __func__, LOG_LEVEL_WARNING, errno, "set failed");
  debugPrintf(0, "[set_3Dnr]mctf_info.alpha=%d\n", info.alpha);
  return rc;
}

int IAVDriver::set_wb_gain_dsp(const uint32_t gains[3]) {
  const img_dsp_rgb_gain_info rgb{gains[0], gains[1], gains[2]};
  return img_dsp_set_rgb_gain(iavFd(), &rgb, 1024);
}

int IAVDriver::set_local_exposure() {
  int rc;
  {
    Lock lock(mutex_);
    rc = img_dsp_set_local_exposure(iavFd(), &localExposure_);
  }
  if (rc < 0) ISP_LOG_AS("iav_wd_3dnr", "set_local_exposure", LOG_LEVEL_WARNING, errno, "set failed");
  return rc;
}

int IAVDriver::set_local_tone_WDR(int level) {
  debugPrintf(0, "[set_local_tone_WDR]level=%d\n", level);
  {
    Lock lock(mutex_);
    if (level == 0) {
      localExposure_.enable = 0;
    } else {
      localExposure_.enable = 1;
      localExposure_.radius = static_cast<uint8_t>(level);
    }
  }
  return set_local_exposure();
}

int IAVDriver::set_gammaWD_level(int level) {
  {
    Lock lock(mutex_);
    localExposure_.radius = static_cast<uint8_t>(level);
    localExposure_.weight[0] = localExposure_.weight[1] = localExposure_.weight[2] = 16;
    localExposure_.weight_shift = 6;
  }
  debugPrintf(0, "[set_gammaWD_level]level = %d\n", level);
  return 0;
}

img_dsp_local_exposure_info IAVDriver::localExposure() {
  Lock lock(mutex_);
  return localExposure_;
}

// ---- lens shading -------------------------------------------------------------------------------

int IAVDriver::set_lens_shading_correct(int enable) {
  const int fd = ::open(kavo::os::path(kLensShadingFile).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, errno, "lens_shading.bin cannot be opened");
    return -1;
  }
  uint16_t tables[4][kShadingSide * kShadingSide] = {};
  if (readFully(fd, tables, sizeof tables) != sizeof tables)
    ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "read vignette_table error");
  uint32_t shift = 0;
  if (readFully(fd, &shift, sizeof shift) != sizeof shift)
    ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "read gain_shift error");
  ::close(fd);
  g_isp.lensShadingGainShift.store(shift, std::memory_order_relaxed);
  for (int t = 0; t < 3; ++t) softenEdges(tables[t]);
  static_assert(sizeof tables == 4 * kShadingTableBytes, "lens-shading tables");

  int rc;
  {
    Lock lock(mutex_);
    std::memcpy(lensShading_, tables, sizeof lensShading_);
    img_dsp_vignette_info v{};
    v.enable = enable != 0 ? 1 : 0;
    v.gain_shift = static_cast<uint8_t>(shift & 0xffu);
    for (int t = 0; t < 4; ++t) v.table[t] = lensShading_[t];
    rc = img_dsp_set_vignette(iavFd(), &v);
  }
  if (rc < 0) ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "rCode=%d", rc);
  return rc;
}

}  // namespace isp
}  // namespace kavo
