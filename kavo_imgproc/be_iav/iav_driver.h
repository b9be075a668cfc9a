#pragma once
// IAVDriver: the ISP server's handle on the video DSP ("/dev/iav", "/dev/ambad", "/dev/ucode"): the
// device and microcode set-up, the DSP-state wait, video input and output, and the thin wrappers of
// the image-kernel, sensor and statistics requests (iav.h), with the few values it caches so that
// unchanged settings are not sent again.
//
// One mutex serialises the requests marked locked; it is held only around the request itself (the
// mirror set-up sleeps after it, outside). The caches are compared and updated under it. The
// statistics read, the privacy-mask requests and the set-up of the devices run without it.
//
// The wrappers that call the image-DSP library (local exposure and the tone WDR, the temporal
// filter, lens shading, sharpening, chroma scale, spatial filter, bad pixels, and the RGB gain of
// the OV9715 path of set_wb_gain) live with that library: iav_dsp_paths.cpp holds the two this
// class calls itself.
#include <atomic>
#include <cstdint>
#include <mutex>

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
  // Gains R, G, B in 1/1024.
  int set_wb_gain(const uint32_t gains[3]);
  int set_dPTZ(int x, int y, int zoom);
  int change_qp_limit(unsigned level, unsigned light);
  int change_qp_limit_manual(int maxQp, int minQp);
  int set_wdr_level(int level);
  int set_sensor_wdr_level(int level);
  int set_2shutWD_level(int level);

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
  // The image-DSP library's paths (iav_dsp_paths.cpp).
  int set_wb_gain_dsp(const uint32_t gains[3]);
  int set_local_tone_WDR(int level);

  std::mutex mutex_;
  std::atomic<int> iavFd_{-1};
  std::atomic<int> sensorFd_{-1};
  // Guarded by mutex_.
  int cachedShutter_ = -1;
  int cachedOther_ = -1;  // read by no operation
  int cachedAgc_ = -1;
  uint32_t cachedMirror_[2] = {255, 255};
  std::atomic<int> qpLevel_{10};
  // Main thread only.
  bool dspMapped_ = false;
  SelectedVin selectedVin_{};
  iav_vout_sink_info_t vout_{};
  uint8_t* ucodeRegion_ = nullptr;
  uint32_t ucodeRegionSize_ = 0;
};

}  // namespace isp
}  // namespace kavo
