#pragma once
// IAVDriver: the ISP server's handle on the video DSP ("/dev/iav", "/dev/ucode", "/dev/ambad"): the
// device and microcode set-up, the DSP-state wait, video input and output, and the thin wrappers of
// the image-kernel, sensor and statistics requests (iav.h), with the few values it caches so that
// unchanged settings are not sent again.
//
// One mutex serialises the requests marked locked; it is held only around the request itself (the
// mirror set-up sleeps after it, outside). The caches are compared and updated under it. The
// statistics read, the privacy-mask requests and the set-up of the devices run without it.
//
// The image-DSP library (img_dsp.h) is not re-entrant and has no lock of its own: every entry of it
// that the server reaches is offered here, under the same mutex (iav_dsp_paths.cpp), the lens
// shading and the bad-pixel correction included. The picture and per-model code calls the library
// only through these entries, never directly. One driver object per process: the library's state
// is process-wide.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "img_dsp.h"
#include "kavo/os/iav.h"

namespace kavo {
namespace isp {

// The video-input mode get_max_capabilities selects: source id, frame rate, mode, size, frame
// period, then the rest of the mode entry.
struct SelectedVin {
  int32_t sourceId;
  uint32_t frameRate;
  uint32_t mode;
  uint32_t width;
  uint32_t height;
  uint32_t framePeriod;
  uint32_t videoFormat;
  uint32_t bitResolution;
  uint32_t type;
  uint32_t isSupported;
  uint32_t reserved[3];
};

// The local-exposure record a driver starts with: on, radius 1, weights 16, shift 6, the default
// gain curve.
img_dsp_local_exposure_info defaultLocalExposure();

class IAVDriver {
 public:
  IAVDriver();
  virtual ~IAVDriver();
  IAVDriver(const IAVDriver&) = delete;
  IAVDriver& operator=(const IAVDriver&) = delete;

  // ---- devices, microcode, video set-up (main thread, without the mutex) ----
  int open_iav_device();
  int check_iav_status();
  int open_iav();
  int close_iav();
  int get_iav_state();
  int map_dsp();
  int load_ucode();
  int enter_idle();
  int enter_preview();
  int set_resource_limits();
  int setup_source_buffers();
  int get_max_capabilities();
  int set_vin();
  int set_vout();

  // ---- request wrappers: 0 or the driver's result on success, the negative result (or -1) ----
  int set_vignette_compensation(const void* record);
  int get_vin_mode(uint32_t* mode);
  int get_vin_src_number(int32_t* count);
  int get_vin_current_source(int32_t* source);
  int get_video_info(iav_vin_video_info_t* info);
  int set_trigger_mode(uint32_t mode);
  int get_mirror_mode(iav_vin_mirror_mode_t* mirror);
  int set_anti_flicker(uint32_t value);
  int GetMapMask(iav_mmap_info_t* memory);
  int get_privacymask_buffer_id(iav_privacy_mask_buffer_id_t* id);
  int get_source_buffer_format(iav_source_buffer_format_all_ex_t* format);
  int set_mask(const iav_privacy_mask_setup_ex_t* setup);
  int get_agc_index(uint32_t* value);
  int get_agc_info(iav_agc_info_t* info);
  int set_aaa_tiles_info(const iav_aaa_tile_info_t* tiles);
  int get_aaa_data(iav_aaa_stats_request_t* request);
  int set_rgb_to_rgb_matrix(const iav_color_correction_t* matrix);
  int set_rgb_to_yuv_matrix(const iav_rgb_to_yuv_t* matrix);
  int get_eshutter_time(uint32_t* time);
  int get_shutter_info(iav_shutter_info_t* info);
  // Records of the image-DSP library's kernels, passed through.
  int set_chroma_median_filter(const void* record);
  int set_cfa_domain_leakage_filter(const void* record);
  int set_cfa_noise_filter(const void* record);
  int set_image_noise_reduction(const void* record);

  // ---- cached sensor controls ----
  int set_eshutter_time(int time);
  int force_set_eshutter_time(int time);
  int set_agc_index(int value);
  int force_set_agc_index(int value);
  // Sleeps a second afterwards (outside the mutex), also after a failure.
  int set_mirror_mode(uint32_t pattern, uint32_t bayer);
  // The next mirror set-up is sent even when unchanged (re-initialisation).
  void reset_mirror_cache();

  // ---- sensor registers on "/dev/ambad" ----
  // The register's value; 0 when the request fails.
  uint32_t get_sensor_RegData(uint32_t reg);
  int set_sensor_RegData(uint32_t reg, uint32_t data, uint32_t extra);

  // ---- others ----
  int set_black_correction(const int16_t levels[4]);
  // Gains R, G, B in 1/1024; the gains last sent are not sent again.
  int set_wb_gain(const uint32_t gains[3]);
  // The next white balance is sent even when unchanged (re-initialisation).
  void reset_wb_cache();
  int set_dPTZ(int x, int y, int zoom);
  int change_qp_limit(unsigned level, unsigned light);
  int change_qp_limit_manual(int maxQp, int minQp);
  int set_wdr_level(int level);
  int set_sensor_wdr_level(int level);
  int set_2shutWD_level(int level);

  // ---- the image-DSP library, under the mutex (iav_dsp_paths.cpp) ----
  // Registers the library's six hooks (memory, print, the request through the device seam), then
  // img_dsp_lib_init; its result (-1 once initialised already).
  int dsp_lib_init();
  // The per-model set-up's entries: the library's results.
  int dsp_get_black_level_offset(img_dsp_black_level_info* out);
  int dsp_set_black_level_offset(const img_dsp_black_level_info* levels, uint32_t bayerOrder);
  int dsp_set_chroma_median_filter(const img_dsp_chroma_median_info* info);
  int dsp_set_color_correction_reg(const img_dsp_cc_reg_info* info);
  int dsp_set_color_correction(const img_dsp_cc_3d_info* info);
  int dsp_write_color_correction();
  int dsp_load_tone_curve(const img_dsp_tone_curve* curve);
  // What the picture controls read back.
  int dsp_get_spatial_filter(img_dsp_spatial_filter_info* out);
  int dsp_get_dynamic_bad_pixel_correction(img_dsp_bad_pixel_info* out);
  // The sharpening, chroma-scale, spatial-filter and bad-pixel wrappers: 0 whatever the library
  // answers. Mode 0 unless a mode is given.
  int set_sharpen_alpha(const img_dsp_alpha_info* alpha);
  int set_sharpen_level_overall(const img_dsp_level_info* level);
  int set_sharpen_level_min(const img_dsp_level_info* level);
  // The coring table, then the signal-retain level.
  int set_sharpen_coring(const img_dsp_coring_info* coring, uint8_t retainLevel);
  int set_chroma_scale(const img_dsp_chroma_scale_info* scale);
  // Switches 7x7 sharpening by the low byte of `sharpen7x7`, then sets the FIR.
  int set_sharpen_fir(const img_dsp_fir_info* fir, uint32_t sharpen7x7);
  int set_spatial_filter(int mode, const img_dsp_spatial_filter_info* filter);
  int set_bad_pixel_correction(const img_dsp_bad_pixel_info* info);
  // Temporal noise filter at `level` (0 off, up to 255); -1 for any other level, nothing sent.
  int set_3Dnr(int level);
  // Sends the local-exposure record the WDR operations keep; the library's result.
  int set_local_exposure();
  // Local-tone WDR (the sensors other than the AR0331): level 0 off, else on with that radius.
  int set_local_tone_WDR(int level);
  // Radius, weights and shift of the local-exposure record; nothing sent.
  int set_gammaWD_level(int level);
  // Loads "/etc/ispserver/lens_shading.bin" and sends it, softened at the edges, as the vignette
  // correction (on when `enable` is non-zero); the library's result, or -1 without the file.
  int set_lens_shading_correct(int enable);
  // The local-exposure record in force (tests).
  img_dsp_local_exposure_info localExposure();

  // What tests and the controller read.
  int iavFd() const { return iavFd_.load(std::memory_order_relaxed); }
  int sensorFd() const { return sensorFd_.load(std::memory_order_relaxed); }
  const SelectedVin& selectedVin() const { return selectedVin_; }
  const iav_vout_sink_info_t& vout() const { return vout_; }
  int qpLevel() const { return qpLevel_.load(std::memory_order_relaxed); }

  // A row of the request wrappers' table (iav_requests.cpp).
  struct Row;

 private:
  int request(const Row& row, uintptr_t arg);
  template <class T>
  int request(const Row& row, T* arg) {
    return request(row, reinterpret_cast<uintptr_t>(arg));
  }
  int setCached(int* cache, uint32_t code, int value, bool compare, const char* source, const char* function,
                const char* failure);
  int readQp(iav_qp_limit_ex_t& qp, const char* function);
  void writeQp(iav_qp_limit_ex_t qp, const char* function);
  // The OV9715's white-balance path through the image-DSP library (iav_dsp_paths.cpp); the caller
  // holds the mutex.
  int set_wb_gain_dsp(const uint32_t gains[3]);

  std::mutex mutex_;
  std::atomic<int> iavFd_{-1};
  std::atomic<int> sensorFd_{-1};
  // Guarded by mutex_.
  int cachedShutter_ = -1;
  int cachedOther_ = -1;  // read by no operation
  int cachedAgc_ = -1;
  uint32_t cachedMirror_[2] = {255, 255};
  uint32_t cachedWbGain_[3] = {0, 0, 0};  // 0: none sent (a gain is never 0)
  std::atomic<int> qpLevel_{10};
  // Guarded by mutex_: the local-exposure record of the WDR operations, and the lens-shading tables
  // (the library's vignette record keeps pointers to them).
  img_dsp_local_exposure_info localExposure_ = defaultLocalExposure();
  uint16_t lensShading_[4][33 * 33] = {};
  // Main thread only.
  bool dspMapped_ = false;
  SelectedVin selectedVin_{};
  iav_vout_sink_info_t vout_{};
  uint8_t* ucodeRegion_ = nullptr;
  uint32_t ucodeRegionSize_ = 0;
};

}  // namespace isp
}  // namespace kavo
