// IAVDriver: the image-kernel, sensor and statistics wrappers: one driver request each, the cached
// sensor controls, the sensor registers, white balance, black level, digital zoom, QP limits and
// the sensor's wide dynamic range. Log records name the system's own source file of each group.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "be_iav/iav_driver.h"
#include "kavo/os/device.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

using namespace kavo::os;

// One request wrapper: name (the log's function), source file, request, whether it takes the
// mutex, the failure message, and what a failure and a success return.
struct IAVDriver::Row {
  const char* name;
  const char* source;
  uint32_t code;
  bool locked;
  const char* failure;
  bool failMinusOne;  // a failure returns -1 (else the driver's result)
  bool zeroOnSuccess; // a success returns 0 (else the driver's result)
  bool withResult;    // the message is followed by the driver's result
};

namespace {

using Row = IAVDriver::Row;
// clang-format off
//                  operation                         file                request                                 locked  on failure
const Row kVignette{"set_vignette_compensation",     "iav_driver",       IAV_IOC_IMG_VIGNETTE_COMPENSATION,      true,   "[set_vignette_compensation]err_code=-1.", true, false, false};
const Row kVinMode{"get_vin_mode",                   "iav_vin",          IAV_IOC_VIN_SRC_GET_VIDEO_MODE,         true,   "get failed", false, false, false};
const Row kVinCount{"get_vin_src_number",            "iav_vin",          IAV_IOC_VIN_GET_SOURCE_NUM,             true,   "get failed", false, false, false};
const Row kVinSource{"get_vin_current_source",       "iav_vin",          IAV_IOC_VIN_GET_CURRENT_SRC,            true,   "get failed", false, false, false};
const Row kVideoInfo{"get_video_info",               "iav_vin",          IAV_IOC_VIN_SRC_GET_VIDEO_INFO,         true,   "get failed", false, false, false};
const Row kTrigger{"set_trigger_mode",               "iav_vin",          IAV_IOC_VIN_SRC_SET_TRIGGER_MODE,       true,   "set failed", false, false, false};
const Row kGetMirror{"get_mirror_mode",              "iav_vin",          IAV_IOC_VIN_SRC_GET_MIRROR_MODE,        true,   "get failed", false, false, false};
const Row kFlicker{"set_anti_flicker",               "iav_vin",          IAV_IOC_VIN_SRC_SET_ANTI_FLICKER,       true,   "set failed", false, false, false};
const Row kMapMask{"GetMapMask",                     "iav_mask",         IAV_IOC_GET_PRIVACY_MASK_INFO_EX,       false,  "[GetMapMask]err_code=-1\n", true, false, false};
const Row kMaskId{"get_privacymask_buffer_id",       "iav_mask",         IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX,  false,  "[get_privacymask_buffer_id]err_code=-1\n", true, false, false};
const Row kBufferFormat{"get_source_buffer_format",  "iav_mask",         IAV_IOC_GET_SOURCE_BUFFER_FORMAT_ALL_EX, false, "[get_source_buffer_format]err_code=-1\n", true, false, false};
const Row kSetMask{"set_mask",                       "iav_mask",         IAV_IOC_SET_PRIVACY_MASK_EX,            false,  "[set_mask]err_code=-1\n", true, false, false};
const Row kGetAgc{"get_agc_index",                   "iav_gain",         IAV_IOC_VIN_SRC_GET_AGC_INDEX,          true,   "rcode=", false, false, true};
const Row kAgcInfo{"get_agc_info",                   "iav_gain",         IAV_IOC_VIN_SRC_GET_AGC_INFO,           true,   "[get_agc_info]err_code=-1.\n", false, false, false};
const Row kTiles{"set_aaa_tiles_info",               "iav_3a",           IAV_IOC_IMG_AAA_SETUP_EX,               true,   "[set_aaa_tiles_info]err_code=-1.", true, false, false};
const Row kAaaData{"get_aaa_data",                   "iav_3a",           IAV_IOC_IMG_GET_STATISTICS,             false,  "[get_aaa_data]err_code=-1.\n", true, false, false};
const Row kRgbToRgb{"set_rgb_to_rgb_matrix",         "iav_matrix_gamma", IAV_IOC_IMG_COLOR_CORRECTION,           true,   "[set_rgb_to_rgb_matrix]err_code=-1.\n", false, false, false};
const Row kRgbToYuv{"set_rgb_to_yuv_matrix",         "iav_matrix_gamma", IAV_IOC_IMG_RGB_TO_YUV_SETUP,           true,   "[set_rgb_to_yuv_matrix]err_code=-1.\n", false, false, false};
const Row kGetShutter{"get_eshutter_time",           "iav_shutter",      IAV_IOC_VIN_SRC_GET_SHUTTER_TIME,       true,   "get failed", false, false, false};
const Row kShutterInfo{"get_shutter_info",           "iav_shutter",      IAV_IOC_VIN_SRC_GET_SHUTTER_INFO,       true,   "get failed", false, false, false};
const Row kChromaMedian{"set_chroma_median_filter",  "iav_filter",       IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP, true,   "[set_chroma_median_filter]err_code=-1.\n", false, true, false};
const Row kLeakage{"set_cfa_domain_leakage_filter",  "iav_filter",       IAV_IOC_IMG_CFA_LEAKAGE_FILTER_SETUP,   true,   "[set_cfa_domain_leakage_filter]err_code=-1.\n", false, true, false};
const Row kCfaNoise{"set_cfa_noise_filter",          "iav_filter",       IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP,     true,   "[set_cfa_noise_filter]err_code=-1.", false, true, false};
const Row kNoise{"set_image_noise_reduction",        "iav_filter",       IAV_IOC_IMG_NOISE_FILTER_SETUP,         true,   "[set_image_noise_reduction]err_code=-1.\n", false, true, false};
// clang-format on

// Registers of the AR0331's wide dynamic range, by level.
struct WdrRow {
  uint32_t r2410, r2412, r2438;
};
const WdrRow kWdr[] = {{31, 15, 20}, {63, 13, 16}, {79, 12, 8}, {95, 11, 0}};

constexpr uint32_t kGainLimit = 14000;
constexpr uint32_t kQpStreams[] = {1, 2, 4, 8};

}  // namespace

int IAVDriver::request(const Row& row, uintptr_t arg) {
  int rc;
  if (row.locked) {
    std::lock_guard<std::mutex> lock(mutex_);
    rc = devIoctl(iavFd(), row.code, arg);
  } else {
    rc = devIoctl(iavFd(), row.code, arg);
  }
  if (row.code == IAV_IOC_IMG_AAA_SETUP_EX ? rc != 0 : rc < 0) {
    if (row.withResult)
      ISP_LOG_AS(row.source, row.name, LOG_LEVEL_WARNING, errno, "%s%d", row.failure, rc);
    else
      ISP_LOG_AS(row.source, row.name, LOG_LEVEL_WARNING, errno, "%s", row.failure);
    return row.failMinusOne ? -1 : rc;
  }
  return row.zeroOnSuccess ? 0 : rc;
}

int IAVDriver::set_vignette_compensation(const void* r) { return request(kVignette, r); }
int IAVDriver::get_vin_mode(uint32_t* mode) { return request(kVinMode, mode); }
int IAVDriver::get_vin_src_number(int32_t* count) { return request(kVinCount, count); }
int IAVDriver::get_vin_current_source(int32_t* source) { return request(kVinSource, source); }
int IAVDriver::get_video_info(iav_vin_video_info_t* info) { return request(kVideoInfo, info); }
int IAVDriver::set_trigger_mode(uint32_t mode) { return request(kTrigger, uintptr_t{mode}); }
int IAVDriver::get_mirror_mode(iav_vin_mirror_mode_t* mirror) { return request(kGetMirror, mirror); }
int IAVDriver::set_anti_flicker(uint32_t value) { return request(kFlicker, &value); }
int IAVDriver::GetMapMask(iav_mmap_info_t* memory) { return request(kMapMask, memory); }
int IAVDriver::get_privacymask_buffer_id(iav_privacy_mask_buffer_id_t* id) { return request(kMaskId, id); }
int IAVDriver::get_source_buffer_format(iav_source_buffer_format_all_ex_t* f) { return request(kBufferFormat, f); }
int IAVDriver::set_mask(const iav_privacy_mask_setup_ex_t* setup) { return request(kSetMask, setup); }
int IAVDriver::get_agc_index(uint32_t* value) { return request(kGetAgc, value); }
int IAVDriver::get_agc_info(iav_agc_info_t* info) { return request(kAgcInfo, info); }
int IAVDriver::set_aaa_tiles_info(const iav_aaa_tile_info_t* tiles) { return request(kTiles, tiles); }
int IAVDriver::get_aaa_data(iav_aaa_stats_request_t* r) { return request(kAaaData, r); }
int IAVDriver::set_rgb_to_rgb_matrix(const iav_color_correction_t* m) { return request(kRgbToRgb, m); }
int IAVDriver::set_rgb_to_yuv_matrix(const iav_rgb_to_yuv_t* m) { return request(kRgbToYuv, m); }
int IAVDriver::get_eshutter_time(uint32_t* time) { return request(kGetShutter, time); }
int IAVDriver::get_shutter_info(iav_shutter_info_t* info) { return request(kShutterInfo, info); }
int IAVDriver::set_chroma_median_filter(const void* r) { return request(kChromaMedian, r); }
int IAVDriver::set_cfa_domain_leakage_filter(const void* r) { return request(kLeakage, r); }
int IAVDriver::set_cfa_noise_filter(const void* r) { return request(kCfaNoise, r); }
int IAVDriver::set_image_noise_reduction(const void* r) { return request(kNoise, r); }

// ---- cached sensor controls ---------------------------------------------------------------------

int IAVDriver::setCached(int* cache, uint32_t code, int value, bool compare, const char* source, const char* function,
                         const char* failure) {
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (compare && *cache == value) return 0;
    rc = devIoctl(iavFd(), code, static_cast<uintptr_t>(static_cast<uint32_t>(value)));
    // A request that failed leaves the sensor as it was: the next identical one is sent again.
    *cache = rc < 0 ? -1 : value;
  }
  if (rc < 0) ISP_LOG_AS(source, function, LOG_LEVEL_WARNING, errno, failure, value);
  return rc;
}

int IAVDriver::set_eshutter_time(int time) {
  return setCached(&cachedShutter_, IAV_IOC_VIN_SRC_SET_SHUTTER_TIME, time, true, "iav_shutter", __func__,
                   "set value=%d failed");
}
int IAVDriver::force_set_eshutter_time(int time) {
  return setCached(&cachedShutter_, IAV_IOC_VIN_SRC_SET_SHUTTER_TIME, time, false, "iav_shutter", __func__,
                   "set value=%d failed");
}
int IAVDriver::set_agc_index(int value) {
  return setCached(&cachedAgc_, IAV_IOC_VIN_SRC_SET_AGC_INDEX, value, true, "iav_gain", __func__, "agc_db=%d");
}
int IAVDriver::force_set_agc_index(int value) {
  return setCached(&cachedAgc_, IAV_IOC_VIN_SRC_SET_AGC_INDEX, value, false, "iav_gain", __func__, "agc_db=%d");
}

int IAVDriver::set_mirror_mode(uint32_t pattern, uint32_t bayer) {
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cachedMirror_[0] == pattern && cachedMirror_[1] == bayer) return 0;
    iav_vin_mirror_mode_t mirror{pattern, bayer};
    rc = devIoctl(iavFd(), IAV_IOC_VIN_SRC_SET_MIRROR_MODE, &mirror);
    cachedMirror_[0] = rc < 0 ? 255 : pattern;
    cachedMirror_[1] = rc < 0 ? 255 : bayer;
  }
  if (rc < 0) ISP_LOG_AS("iav_vin", __func__, LOG_LEVEL_WARNING, errno, "set failed");
  // The sensor needs a frame or two to settle; the other threads' requests go on meanwhile.
  kavo::utils::sleepMs(1000);
  return rc;
}

void IAVDriver::reset_mirror_cache() {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedMirror_[0] = cachedMirror_[1] = 255;
}

// ---- sensor registers ---------------------------------------------------------------------------

uint32_t IAVDriver::get_sensor_RegData(uint32_t reg) {
  iav_sensor_reg_t r{reg, 0};
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rc = devIoctl(sensorFd(), IAV_IOC_GET_SENSOR_REG, &r);
  }
  // A failed read gives no value: not what the record happened to hold.
  return rc < 0 ? 0 : r.data;
}

int IAVDriver::set_sensor_RegData(uint32_t reg, uint32_t data, uint32_t extra) {
  iav_sensor_reg_write_t w{reg, data, extra};
  std::lock_guard<std::mutex> lock(mutex_);
  return devIoctl(sensorFd(), IAV_IOC_SET_SENSOR_REG, &w);
}

// ---- others -------------------------------------------------------------------------------------

int IAVDriver::set_black_correction(const int16_t levels[4]) {
  iav_vin_black_level_t b{};
  std::memcpy(b.level, levels, sizeof b.level);
  ISP_LOG_AS("iav_vin", __func__, LOG_LEVEL_DEBUG, 0, "set_blc %d %d %d %d\n", b.level[0], b.level[1], b.level[2],
             b.level[3]);
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rc = devIoctl(iavFd(), IAV_IOC_VIN_SRC_SET_BLC, &b);
  }
  if (rc < 0) ISP_LOG_AS("iav_vin", __func__, LOG_LEVEL_WARNING, errno, "set failed");
  return rc;
}

int IAVDriver::set_wb_gain(const uint32_t gains[3]) {
  const uint32_t r = gains[0], g = gains[1], b = gains[2];
  if (r == 0 || g == 0 || b == 0) {
    ISP_LOG_AS("iav_gain", __func__, LOG_LEVEL_WARNING, 0, "[set_wb_gain]err_code=0.\n");
    return -1;
  }
  if (r >= kGainLimit || g >= kGainLimit || b >= kGainLimit) {
    ISP_LOG_AS("iav_gain", __func__, LOG_LEVEL_WARNING, 0, "[set_wb_gain]err_code=%d_%d_%d.\n", r, g, b);
    return -1;
  }
  const int32_t sensor = g_isp.sys.sensor;
  if (sensor != SENSOR_OV9715 && sensor != SENSOR_AR0331) return 0;
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The white balance hands its gains over several times a second, mostly unchanged.
    if (std::equal(gains, gains + 3, cachedWbGain_)) return 0;
    if (sensor == SENSOR_OV9715) {
      rc = set_wb_gain_dsp(gains);
    } else {
      iav_vin_wb_gain_t w{r, g, g, b};
      rc = devIoctl(iavFd(), IAV_IOC_VIN_SRC_SET_WB_GAIN, &w);
    }
    // As for the shutter: a request that failed is sent again by the next identical one.
    for (int c = 0; c < 3; ++c) cachedWbGain_[c] = rc < 0 ? 0 : gains[c];
  }
  if (rc < 0) ISP_LOG_AS("iav_gain", __func__, LOG_LEVEL_WARNING, errno, "set gain error.");
  return rc;
}

void IAVDriver::reset_wb_cache() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint32_t& c : cachedWbGain_) c = 0;
}

int IAVDriver::set_dPTZ(int x, int y, int zoom) {
  iav_digital_zoom_ex_t z{0x10000, 0x10000, 0, 0};
  if (zoom >= 2) {
    z.zoom_factor_x = z.zoom_factor_y = static_cast<uint32_t>(zoom) << 16;
    z.center_offset_x = static_cast<int32_t>(static_cast<uint32_t>(x) << 16);
    z.center_offset_y = static_cast<int32_t>(static_cast<uint32_t>(y) << 16);
  }
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rc = devIoctl(iavFd(), IAV_IOC_SET_DIGITAL_ZOOM_EX, &z);
  }
  if (rc != 0) ISP_LOG_AS("iav_dzoom", __func__, LOG_LEVEL_WARNING, errno, "[set_dPTZ]err_code=-1.\n");
  return rc;
}

int IAVDriver::readQp(iav_qp_limit_ex_t& qp, const char* function) {
  qp = iav_qp_limit_ex_t{};
  qp.id = 1;
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rc = devIoctl(iavFd(), IAV_IOC_GET_QP_LIMIT_EX, &qp);
  }
  if (rc < 0) ISP_LOG_AS("iav_Image", function, LOG_LEVEL_WARNING, errno, "get failed");
  return rc;
}

void IAVDriver::writeQp(iav_qp_limit_ex_t qp, const char* function) {
  for (uint32_t id : kQpStreams) {
    qp.id = id;
    int rc;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      rc = devIoctl(iavFd(), IAV_IOC_SET_QP_LIMIT_EX, &qp);
    }
    if (rc < 0) ISP_LOG_AS("iav_Image", function, LOG_LEVEL_WARNING, errno, "set failed");
  }
}

int IAVDriver::change_qp_limit(unsigned level, unsigned light) {
  ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_INFO, 0, "change_qp_limit, for test only \n");
  iav_qp_limit_ex_t qp;
  // Without the current record there is nothing safe to write back.
  if (readQp(qp, __func__) < 0) return -1;
  auto defaults = [&qp] {
    qp.qp_min_on_I = 1;
    qp.qp_max_on_I = 51;
    qp.qp_min_on_P = 1;
    qp.qp_max_on_P = 51;
    qp.i_qp_reduce = 6;
    qp.adapt_qp = 2;
  };
  auto iRange = [&qp](uint8_t lo, uint8_t hi) {
    qp.qp_min_on_I = lo;
    qp.qp_max_on_I = hi;
  };
  const int32_t model = g_isp.sys.model;
  if (model != TORVEX_BRISK && model != TORVEX_TARROW) {
    if (level >= 1 && level <= 3)
      iRange(20, 41);
    else if (level >= 4 && level <= 6)
      iRange(18, 38);
    else if (level >= 7 && level <= 9)
      iRange(15, 35);
    else
      defaults();
  } else if (level >= 1 && level <= 5) {
    static const uint8_t kRanges[5][2] = {{0, 0}, {33, 38}, {32, 37}, {31, 36}, {30, 35}};
    if (level == 1)
      iRange(light < 14500 ? 38 : 35, light < 14500 ? 43 : 40);
    else
      iRange(kRanges[level - 1][0], kRanges[level - 1][1]);
    qp.qp_min_on_P = 14;
    qp.qp_max_on_P = 45;
    qp.i_qp_reduce = 10;
    qp.adapt_qp = 2;
  } else {
    defaults();
  }
  writeQp(qp, __func__);
  qpLevel_.store(static_cast<int>(level));
  return 1;
}

int IAVDriver::change_qp_limit_manual(int maxQp, int minQp) {
  ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "change_qp_limit, for test only \n");
  iav_qp_limit_ex_t qp;
  if (readQp(qp, __func__) < 0) return -1;
  ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "[get]qp_range_on_I=%d~%d\n", qp.qp_min_on_I, qp.qp_max_on_I);
  qp.qp_min_on_I = static_cast<uint8_t>(minQp);
  qp.qp_max_on_I = static_cast<uint8_t>(maxQp);
  qp.qp_min_on_P = 1;
  qp.qp_max_on_P = 51;
  qp.i_qp_reduce = 1;
  qp.adapt_qp = 0;
  ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "[set]qp_range_on_I=%d~%d\n", qp.qp_min_on_I, qp.qp_max_on_I);
  writeQp(qp, __func__);
  if (readQp(qp, __func__) == 0)
    ISP_LOG_AS("iav_Image", __func__, LOG_LEVEL_WARNING, 0, "[get again]qp_range_on_I=%d~%d\n", qp.qp_min_on_I,
               qp.qp_max_on_I);
  return 1;
}

int IAVDriver::set_wdr_level(int level) {
  if (g_isp.sys.sensor == SENSOR_AR0331)
    set_sensor_wdr_level(level);
  else
    set_local_tone_WDR(level);
  return 0;
}

int IAVDriver::set_sensor_wdr_level(int level) {
  // The sensor knows four levels; no row applies to any other.
  if (level < 0 || level > 3) {
    ISP_LOG_AS("iav_wd_3dnr", __func__, LOG_LEVEL_WARNING, 0, "WDR level %d refused: the sensor has levels 0 to 3", level);
    return -1;
  }
  const WdrRow& r = kWdr[level];
  set_sensor_RegData(0x2410, r.r2410, 0);
  set_sensor_RegData(0x2412, r.r2412, 0);
  set_sensor_RegData(0x2438, r.r2438, 0);
  return 0;
}

int IAVDriver::set_2shutWD_level(int level) {
  int rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rc = devIoctl(iavFd(), IAV_IOC_VIN_SRC_SET_ANTI_FLICKER, static_cast<uintptr_t>(static_cast<uint32_t>(level)));
  }
  if (rc < 0) ISP_LOG_AS("iav_wd_3dnr", __func__, LOG_LEVEL_WARNING, errno, "set failed");
  return rc;
}

}  // namespace isp
}  // namespace kavo
