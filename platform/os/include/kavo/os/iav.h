#pragma once
// Records and request codes of the video-DSP driver ("/dev/iav", "/dev/ucode", "/dev/ambad"), as
// the programs fill and read them. Offsets are little-endian byte offsets. Records without pointers
// have their size and the offsets the programs rely on asserted; records that carry a pointer use
// the host's pointer width, so their size is asserted only on a 32-bit host (the camera).
//
// Request codes follow the Linux numbering: direction in bits 31-30 (1 write, 2 read, 3 both), a
// size field in bits 29-16, the type letter in bits 15-8 and the number in bits 7-0. The size field
// is the driver's (4 for nearly every request, whatever the record's size), so the codes are listed
// as the driver defines them rather than computed from sizeof.
#include <cstddef>
#include <cstdint>

// ---- decoding a request code -------------------------------------------------------------------

constexpr unsigned iavIocDir(uint32_t code) { return code >> 30; }
constexpr unsigned iavIocSize(uint32_t code) { return (code >> 16) & 0x3fffu; }
constexpr char iavIocType(uint32_t code) { return static_cast<char>((code >> 8) & 0xffu); }
constexpr unsigned iavIocNr(uint32_t code) { return code & 0xffu; }
constexpr uint32_t iavIoc(unsigned dir, char type, unsigned nr, unsigned size) {
  return (static_cast<uint32_t>(dir) << 30) | (static_cast<uint32_t>(size & 0x3fffu) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(type)) << 8) | (nr & 0xffu);
}
constexpr unsigned IAV_IOC_DIR_NONE = 0, IAV_IOC_DIR_WRITE = 1, IAV_IOC_DIR_READ = 2, IAV_IOC_DIR_BOTH = 3;

// ---- 'v': DSP state, idle, microcode, resource limits, bitstream ---------------------------------

constexpr uint32_t IAV_IOC_GET_UCODE_INFO = 0x80047600;        // "/dev/ucode", iav_ucode_load_info_t (out)
constexpr uint32_t IAV_IOC_GET_UCODE_VERSION = 0x80047601;     // "/dev/ucode", iav_ucode_version_t (out)
constexpr uint32_t IAV_IOC_UPDATE_UCODE = 0x40047602;          // "/dev/ucode", value 0: boot the loaded modules
constexpr uint32_t IAV_IOC_MAP_DSP = 0x80047612;               // iav_mmap_info_t (out): DSP memory
constexpr uint32_t IAV_IOC_MAP_BSB = 0x80047613;               // iav_mmap_info_t (out): bitstream ring
constexpr uint32_t IAV_IOC_GET_STATE = 0x80047652;             // uint32_t state (out), IAV_STATE_*
constexpr uint32_t IAV_IOC_ENTER_IDLE = 0x40047654;            // value 0
constexpr uint32_t IAV_IOC_GET_CHIP_ID_EX = 0x80047670;        // int32_t chip id (out)
constexpr uint32_t IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX = 0x40047673;  // iav_system_resource_setup_ex_s (in)
constexpr uint32_t IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX = 0x80047674;  // iav_system_resource_setup_ex_s (out)
constexpr uint32_t IAV_IOC_SET_SYSTEM_SETUP_INFO_EX = 0x40047675;      // iav_system_setup_info_ex_t (in)
constexpr uint32_t IAV_IOC_GET_SYSTEM_SETUP_INFO_EX = 0x80047676;      // iav_system_setup_info_ex_t (out)

// ---- 'i': video-input source --------------------------------------------------------------------

constexpr uint32_t IAV_IOC_VIN_GET_SOURCE_NUM = 0x80046901;    // int32_t count (out)
constexpr uint32_t IAV_IOC_VIN_SET_CURRENT_SRC = 0x40046902;   // pointer to int32_t source id
constexpr uint32_t IAV_IOC_VIN_GET_CURRENT_SRC = 0x80046902;   // int32_t source id (out)

// ---- 's': sensor controls of the current source ---------------------------------------------------

constexpr uint32_t IAV_IOC_VIN_SRC_GET_INFO = 0x80047301;           // iav_vin_source_info_t (out)
constexpr uint32_t IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE = 0x80047302;   // amba_vin_source_mode_info (in/out)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_VIDEO_MODE = 0x40047303;     // value: mode
constexpr uint32_t IAV_IOC_VIN_SRC_GET_VIDEO_MODE = 0x80047303;     // uint32_t mode (out)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_FRAME_RATE = 0x40047304;     // value: frame period (1/512,000,000 s)
constexpr uint32_t IAV_IOC_VIN_SRC_GET_VIDEO_INFO = 0x80047305;     // iav_vin_video_info_t (out)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_BLC = 0x40047306;            // iav_vin_black_level_t (in)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_SHUTTER_TIME = 0x40047307;   // value: shutter (1/512,000,000 s)
constexpr uint32_t IAV_IOC_VIN_SRC_GET_SHUTTER_TIME = 0x80047307;   // uint32_t shutter (out)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_AGC_INDEX = 0x40047308;      // value: gain (IAV_AGC_DB_ONE)
constexpr uint32_t IAV_IOC_VIN_SRC_GET_AGC_INDEX = 0x80047308;      // uint32_t gain (out)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_WB_GAIN = 0x40047309;        // iav_vin_wb_gain_t (in)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_TRIGGER_MODE = 0x4004730a;   // value
constexpr uint32_t IAV_IOC_VIN_SRC_SET_MIRROR_MODE = 0x4004730b;    // iav_vin_mirror_mode_t (in)
constexpr uint32_t IAV_IOC_VIN_SRC_GET_MIRROR_MODE = 0x8004730b;    // iav_vin_mirror_mode_t (out)
constexpr uint32_t IAV_IOC_VIN_SRC_SET_ANTI_FLICKER = 0x4004730c;   // pointer to uint32_t, or the value
constexpr uint32_t IAV_IOC_VIN_SRC_GET_AGC_INFO = 0x4004730d;       // iav_agc_info_t (out)
constexpr uint32_t IAV_IOC_VIN_SRC_GET_SHUTTER_INFO = 0x4004730e;   // iav_shutter_info_t (out)

// ---- 'e': encoder-side controls -----------------------------------------------------------------

constexpr uint32_t IAV_IOC_ENABLE_PREVIEW = 0x0000650B;                // value 0
constexpr uint32_t IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX = 0x40046520;   // iav_source_buffer_type_all_ex_t
constexpr uint32_t IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX = 0x40046524; // iav_source_buffer_format_all_ex_t
constexpr uint32_t IAV_IOC_GET_SOURCE_BUFFER_FORMAT_ALL_EX = 0x80046525; // iav_source_buffer_format_all_ex_t
constexpr uint32_t IAV_IOC_SET_ENCODE_FORMAT_EX = 0x40046528;          // iav_encode_format_ex_t
constexpr uint32_t IAV_IOC_SET_DIGITAL_ZOOM_EX = 0x4004652c;           // iav_digital_zoom_ex_t
constexpr uint32_t IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX = 0x40046533;    // iav_change_framerate_factor_ex_t
constexpr uint32_t IAV_IOC_READ_BITSTREAM_EX = 0x80046537;             // iav_bitstream_desc_t (out)
constexpr uint32_t IAV_IOC_SET_BITRATE_EX = 0x40046538;                // iav_bitrate_ex_t
constexpr uint32_t IAV_IOC_CHANGE_GOP_EX = 0x4004653A;                 // iav_change_gop_ex_t
constexpr uint32_t IAV_IOC_FORCE_IDR_EX = 0x4004653B;                  // value: stream id (mask)
constexpr uint32_t IAV_IOC_SET_H264_CONFIG_EX = 0x4004653E;            // iav_h264_config_ex_s (in)
constexpr uint32_t IAV_IOC_GET_H264_CONFIG_EX = 0xC004653F;            // iav_h264_config_ex_s (in: id, out)
constexpr uint32_t IAV_IOC_START_ENCODE_EX = 0x40046540;               // value: stream id (mask)
constexpr uint32_t IAV_IOC_STOP_ENCODE_EX = 0x40046541;                // value: stream id (mask)
constexpr uint32_t IAV_IOC_SET_QP_LIMIT_EX = 0x40046543;               // iav_qp_limit_ex_t (in)
constexpr uint32_t IAV_IOC_GET_QP_LIMIT_EX = 0xc0046544;               // iav_qp_limit_ex_t (in: id, out)
constexpr uint32_t IAV_IOC_SET_AUDIO_CLK_FREQ_EX = 0x40046549;         // value: audio sample rate in Hz
constexpr uint32_t IAV_IOC_QUERY_ME1_BUFFER_EX = 0xC0046560;           // iav_me1_buffer_info_t (in: id, out)

// ---- 'o': privacy masks ------------------------------------------------------------------------

constexpr uint32_t IAV_IOC_GET_PRIVACY_MASK_INFO_EX = 0x80046f20;       // iav_mmap_info_t (out): mask memory
constexpr uint32_t IAV_IOC_SET_PRIVACY_MASK_EX = 0x40046f22;            // iav_privacy_mask_setup_ex_t (in)
constexpr uint32_t IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX = 0x80046f24;  // iav_privacy_mask_buffer_id_t (out)

// ---- 'p': image kernels and 3A statistics (records of the 3A, colour and gain requests below; the
// ---- others are the image-DSP library's) -----------------------------------------------------------

constexpr uint32_t IAV_IOC_IMG_AAA_SETUP_EX = 0x40047000;                   // iav_aaa_tile_info_t
constexpr uint32_t IAV_IOC_IMG_GET_STATISTICS = 0x80047001;                 // iav_aaa_stats_request_t; waits for the next frame
constexpr uint32_t IAV_IOC_IMG_NOISE_FILTER_SETUP = 0x40047002;
constexpr uint32_t IAV_IOC_IMG_BLACK_LEVEL_GLOBAL_OFFSET = 0x40047003;
constexpr uint32_t IAV_IOC_IMG_BAD_PIXEL_CORRECTION = 0x40047004;
constexpr uint32_t IAV_IOC_IMG_CFA_LEAKAGE_FILTER_SETUP = 0x40047005;
constexpr uint32_t IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP = 0x40047006;
constexpr uint32_t IAV_IOC_IMG_RGB_GAIN_ADJUST = 0x40047007;                // iav_rgb_gain_t
constexpr uint32_t IAV_IOC_IMG_VIGNETTE_COMPENSATION = 0x40047008;
constexpr uint32_t IAV_IOC_IMG_LOCAL_EXPOSURE = 0x40047009;
constexpr uint32_t IAV_IOC_IMG_COLOR_CORRECTION = 0x4004700a;               // iav_color_correction_t (also RGB to RGB)
constexpr uint32_t IAV_IOC_IMG_RGB_TO_YUV_SETUP = 0x4004700b;                // iav_rgb_to_yuv_t
constexpr uint32_t IAV_IOC_IMG_CHROMA_SCALE = 0x4004700c;
constexpr uint32_t IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP = 0x4004700d;
constexpr uint32_t IAV_IOC_IMG_LUMA_SHARPENING = 0x4004700e;
constexpr uint32_t IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG = 0x4004700f;
constexpr uint32_t IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL = 0x40047010;
constexpr uint32_t IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL = 0x40047012;
constexpr uint32_t IAV_IOC_IMG_LUMA_SHARPENING_MISC = 0x40047013;
constexpr uint32_t IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP = 0x40047015;
constexpr uint32_t IAV_IOC_IMG_DSP_CANCEL = 0x8004701e;                     // value 0

// ---- 'd': image-sensor registers on "/dev/ambad" ---------------------------------------------------

constexpr uint32_t IAV_IOC_GET_SENSOR_REG = 0x800464ca;  // iav_sensor_reg_t (in: reg, out: data)
constexpr uint32_t IAV_IOC_SET_SENSOR_REG = 0x400464ca;  // iav_sensor_reg_write_t (in)

// ---- video output ('#', '$') --------------------------------------------------------------------

constexpr uint32_t IAV_IOC_VOUT_GET_SINK_INFO = 0x80042301;  // iav_vout_sink_info_t (in: id, out)
constexpr uint32_t IAV_IOC_VOUT_GET_SINK_NUM = 0x80042401;   // int32_t count (out)

// ---- values --------------------------------------------------------------------------------------

// DSP states reported by IAV_IOC_GET_STATE.
constexpr uint32_t IAV_STATE_IDLE = 0;
constexpr uint32_t IAV_STATE_PREVIEW = 1;
constexpr uint32_t IAV_STATE_ENCODING = 2;
constexpr uint32_t IAV_STATE_INIT = 3;  // no microcode running yet

// Picture types, bits 0-2 of iav_bitstream_desc_t::frameInfo.
constexpr uint32_t IAV_PIC_TYPE_IDR = 1;
constexpr uint32_t IAV_PIC_TYPE_I = 2;
constexpr uint32_t IAV_PIC_TYPE_P = 3;
constexpr uint32_t IAV_PIC_TYPE_B = 4;
constexpr uint32_t IAV_PIC_TYPE_MJPEG = 5;

// iav_encode_format_ex_t::encode_type.
constexpr uint8_t IAV_ENCODE_H264 = 1;
constexpr uint8_t IAV_ENCODE_MJPEG = 2;

// iav_vout_sink_info_t::sink_type.
constexpr int32_t IAV_VOUT_SINK_TYPE_CVBS = 1;
constexpr int32_t IAV_VOUT_SINK_TYPE_HDMI = 2;
constexpr int32_t IAV_VOUT_SINK_TYPE_DIGITAL = 3;

// Rate-control mode of iav_bitrate_ex_t.
enum iav_rate_control_mode : uint32_t {
  IAV_CBR = 0,
  IAV_VBR = 1,
};

constexpr int IAV_MAX_ENCODE_STREAMS = 4;
// The frame period of a video mode is given in units of 1/IAV_FRAME_RATE_CLOCK seconds.
constexpr uint32_t IAV_FRAME_RATE_CLOCK = 512000000u;

// ---- records -------------------------------------------------------------------------------------

// IAV_IOC_GET_UCODE_VERSION: all zero while no microcode runs.
struct iav_ucode_version_t {
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint32_t major_version;
  uint32_t minor_version;
};
static_assert(sizeof(iav_ucode_version_t) == 12, "ucode version record");

// IAV_IOC_GET_UCODE_INFO: the microcode region and where each module file goes in it.
struct iav_ucode_module_t {
  uint32_t offset;   // within the region
  char filename[20]; // NUL-terminated
};
struct iav_ucode_load_info_t {
  uint32_t map_size;  // bytes of the region to map from "/dev/ucode" at offset 0
  uint32_t nr_item;   // modules in use
  iav_ucode_module_t items[4];
};
static_assert(sizeof(iav_ucode_load_info_t) == 104, "ucode layout record");
static_assert(offsetof(iav_ucode_load_info_t, items) == 8, "ucode layout record");

// IAV_IOC_MAP_BSB and IAV_IOC_MAP_DSP: a read-only mapping made by the driver in the caller.
struct iav_mmap_info_t {
  uint8_t* addr;
  uint32_t length;
};

// IAV_IOC_VOUT_GET_SINK_INFO (344 bytes); the caller sets `id` before the query.
struct iav_vout_sink_info_t {
  int32_t id;
  int32_t source_id;
  char name[32];
  int32_t sink_type;  // IAV_VOUT_SINK_TYPE_*
  int32_t state;      // 1 while the sink is connected
  uint8_t reserved[296];
};
static_assert(sizeof(iav_vout_sink_info_t) == 344, "sink record");
static_assert(offsetof(iav_vout_sink_info_t, sink_type) == 40, "sink record");

// IAV_IOC_VIN_SRC_GET_INFO (68 bytes).
struct iav_vin_source_info_t {
  int32_t id;
  int32_t adapter_id;
  uint32_t dev_type;
  char name[36];
  int32_t sensor_id;
  uint32_t default_mode;  // the low 16 bits are the mode number
  uint32_t total_channel_num;
  uint32_t active_channel_id;
  uint32_t reserved;
};
static_assert(sizeof(iav_vin_source_info_t) == 68, "source info record");
static_assert(offsetof(iav_vin_source_info_t, sensor_id) == 48, "source info record");
static_assert(offsetof(iav_vin_source_info_t, total_channel_num) == 56, "source info record");

// IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE: the caller zeroes it and sets `mode`, `fps_table` and
// `fps_table_size`; the driver fills the size, the frame period and `is_supported`, and writes the
// frame periods the mode supports into the table (at most fps_table_size entries, then a 0).
struct amba_vin_source_mode_info {
  uint32_t mode;
  uint32_t width;
  uint32_t height;
  uint32_t frame_rate;  // frame period in 1/IAV_FRAME_RATE_CLOCK s
  uint32_t video_format;
  uint32_t bit_resolution;
  uint32_t type;
  uint32_t is_supported;
  uint32_t fps_table_size;
  uint32_t* fps_table;
};
static_assert(offsetof(amba_vin_source_mode_info, is_supported) == 28, "mode record");
static_assert(offsetof(amba_vin_source_mode_info, fps_table_size) == 32, "mode record");
static_assert(sizeof(void*) != 4 || sizeof(amba_vin_source_mode_info) == 40, "mode record");

// IAV_IOC_VIN_SRC_GET_VIDEO_INFO.
struct iav_vin_video_info_t {
  uint32_t width;
  uint32_t height;
  uint32_t frame_rate;  // frame period in 1/IAV_FRAME_RATE_CLOCK s
  uint32_t mode;
  uint32_t format;
  uint32_t type;
  uint32_t bits;
  uint32_t ratio;
  uint32_t system;
  uint32_t flip;
  uint32_t rotate;
  uint32_t reserved;
};
static_assert(sizeof(iav_vin_video_info_t) == 48, "video info record");

// IAV_IOC_GET/SET_SYSTEM_RESOURCE_LIMIT_EX (124 bytes).
struct iav_encode_size_t {
  uint32_t width;
  uint32_t height;
};
struct iav_system_resource_setup_ex_s {
  uint16_t main_source_buffer_max_width;
  uint16_t main_source_buffer_max_height;
  uint16_t second_source_buffer_max_width;
  uint16_t second_source_buffer_max_height;
  uint16_t third_source_buffer_max_width;
  uint16_t third_source_buffer_max_height;
  uint16_t fourth_source_buffer_max_width;
  uint16_t fourth_source_buffer_max_height;
  uint16_t vout_max_width;
  uint16_t vout_max_height;
  uint8_t stream_max_GOP_M[8];
  uint8_t stream_max_GOP_N[8];
  uint8_t stream_max_advanced_quality_model[8];
  iav_encode_size_t stream_max_encode_size[8];
  uint8_t MCTF_possible;
  uint8_t max_num_encode_streams;
  uint8_t max_num_cap_sources;
  uint8_t total_memory_size;
  uint32_t cavlc_max_bitrate;
  uint8_t encode_mode;
  uint8_t rotate_possible;
  uint8_t hdr_exposures_num;
  uint8_t oversampling_disable;
  uint8_t hd_sdi_mode;
  uint8_t reserved[3];
};
static_assert(sizeof(iav_system_resource_setup_ex_s) == 124, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, vout_max_width) == 16, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, stream_max_GOP_M) == 20, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, stream_max_GOP_N) == 28, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, stream_max_advanced_quality_model) == 36,
              "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, stream_max_encode_size) == 44, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, MCTF_possible) == 108, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, cavlc_max_bitrate) == 112, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, encode_mode) == 116, "resource limit record");
static_assert(offsetof(iav_system_resource_setup_ex_s, hd_sdi_mode) == 120, "resource limit record");

// IAV_IOC_GET/SET_SYSTEM_SETUP_INFO_EX (12 bytes). The streamer writes bytes 4-5 as one 16-bit
// field; the ISP server writes them, and bytes 6-7, as single bytes.
struct iav_system_setup_info_ex_t {
  uint16_t field0;
  uint16_t field2;
  uint16_t field4;
  uint8_t byte6;
  uint8_t byte7;
  uint32_t field8;
};
static_assert(sizeof(iav_system_setup_info_ex_t) == 12, "setup info record");

// IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX: 1 = the buffer is used for encoding, 0 = off.
struct iav_source_buffer_type_all_ex_t {
  uint32_t main_buffer_type;
  uint32_t second_buffer_type;
  uint32_t third_buffer_type;
  uint32_t fourth_buffer_type;
};
static_assert(sizeof(iav_source_buffer_type_all_ex_t) == 16, "buffer type record");

// IAV_IOC_SET/GET_SOURCE_BUFFER_FORMAT_ALL_EX (40 bytes): each sub-buffer scales the window
// `input_width` x `input_height` of the main buffer to its own size.
struct iav_sub_buffer_format_t {
  uint16_t width;
  uint16_t height;
  uint16_t input_width;
  uint16_t input_height;
  uint16_t reserved;
};
struct iav_source_buffer_format_all_ex_t {
  uint16_t main_width;
  uint16_t main_height;
  uint16_t main_reserved;
  iav_sub_buffer_format_t second;
  iav_sub_buffer_format_t third;
  iav_sub_buffer_format_t fourth;
  uint16_t reserved[2];
};
static_assert(sizeof(iav_source_buffer_format_all_ex_t) == 40, "buffer format record");
static_assert(offsetof(iav_source_buffer_format_all_ex_t, second) == 6, "buffer format record");
static_assert(offsetof(iav_source_buffer_format_all_ex_t, third) == 16, "buffer format record");
static_assert(offsetof(iav_source_buffer_format_all_ex_t, fourth) == 26, "buffer format record");

// IAV_IOC_SET_ENCODE_FORMAT_EX (16 bytes).
struct iav_encode_format_ex_t {
  uint32_t id;            // stream id: one bit, 1 << ordinal
  uint8_t encode_type;    // IAV_ENCODE_H264 or IAV_ENCODE_MJPEG
  uint8_t source;         // source buffer 0..3
  uint16_t reserved;
  uint16_t encode_width;
  uint16_t encode_height;
  uint16_t encode_x;
  uint16_t encode_y;
};
static_assert(sizeof(iav_encode_format_ex_t) == 16, "encode format record");
static_assert(offsetof(iav_encode_format_ex_t, encode_width) == 8, "encode format record");

// IAV_IOC_GET/SET_H264_CONFIG_EX (108 bytes); the caller sets `id` before a query.
struct iav_h264_pic_info_t {
  uint32_t ar_x;
  uint32_t ar_y;
  uint32_t frame_mode;
  uint32_t rate;
  uint32_t scale;
  uint32_t width;
  uint32_t height;
  uint32_t reserved[2];
};
struct iav_h264_config_ex_s {
  uint32_t id;
  uint32_t average_bitrate;
  iav_h264_pic_info_t pic_info;
  uint16_t M;
  uint16_t N;
  uint8_t idr_interval;
  uint8_t gop_model;
  uint8_t bitrate_control;
  int8_t slice_alpha_c0_offset_div2;
  int8_t slice_beta_offset_div2;
  uint8_t deblocking_filter_enable;
  uint8_t entropy_codec;
  uint8_t force_intlc_tb_iframe;
  uint8_t allow_i_adv;
  uint8_t cpb_buf_idc;
  uint8_t en_panic_rc : 2;
  uint8_t cpb_cmp_idc : 2;
  uint8_t fast_rc_idc : 4;
  uint8_t hflip : 1;  // byte 59, bit 0
  uint8_t vflip : 1;  // byte 59, bit 1
  uint8_t rotate_clockwise : 1;
  uint8_t chroma_format : 1;
  uint8_t high_profile : 1;
  uint8_t reserved2 : 3;
  uint8_t qp_min_on_I;
  uint8_t qp_max_on_I;
  uint8_t qp_min_on_P;
  uint8_t qp_max_on_P;
  uint8_t qp_min_on_B;
  uint8_t qp_max_on_B;
  uint8_t i_qp_reduce;
  uint8_t p_qp_reduce;
  uint8_t adapt_qp;
  uint8_t skip_flag;
  uint8_t intra_refresh_mb_rows;
  uint8_t au_type;
  uint32_t cpb_user_size;
  int8_t qp_delta[3][4];
  uint8_t qp_roi_enable;
  uint8_t panic_div;
  uint8_t reserved[2];
  uint32_t pic_size_control;
  uint16_t intrabias_P;
  uint16_t intrabias_B;
  uint8_t enable_scene_detect;
  uint8_t intra16x16_bias;
  uint8_t intra4x4_bias;
  uint8_t inter16x16_bias;
  uint8_t inter8x8_bias;
  uint8_t direct16x16_bias;
  uint8_t direct8x8_bias;
  int8_t me_lambda_qp_offset;
};
static_assert(sizeof(iav_h264_config_ex_s) == 108, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, M) == 44, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, N) == 46, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, idr_interval) == 48, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, gop_model) == 49, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, qp_min_on_I) == 60, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, au_type) == 71, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, qp_delta) == 76, "H.264 config record");
static_assert(offsetof(iav_h264_config_ex_s, me_lambda_qp_offset) == 107, "H.264 config record");
// The flag byte holds hflip in bit 0 and vflip in bit 1.
constexpr size_t IAV_H264_CONFIG_FLAG_BYTE = 59;

// IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX: the stream runs at numerator/denominator of the input rate.
struct iav_change_framerate_factor_ex_t {
  uint32_t id;
  uint8_t ratio_numerator;
  uint8_t ratio_denominator;
  uint16_t reserved;
};
static_assert(sizeof(iav_change_framerate_factor_ex_t) == 8, "frame-rate factor record");

// IAV_IOC_CHANGE_GOP_EX: GOP length and key-frame (IDR) interval in GOPs.
struct iav_change_gop_ex_t {
  uint32_t id;
  uint32_t N;
  uint32_t idr_interval;
};
static_assert(sizeof(iav_change_gop_ex_t) == 12, "GOP record");

// IAV_IOC_SET_BITRATE_EX.
struct iav_bitrate_ex_t {
  uint32_t id;
  uint32_t rate_control_mode;  // iav_rate_control_mode
  uint32_t cbr_avg_bitrate;
  uint32_t vbr_min_bitrate;
  uint32_t vbr_max_bitrate;
};
static_assert(sizeof(iav_bitrate_ex_t) == 20, "bit-rate record");

// IAV_IOC_READ_BITSTREAM_EX: the descriptor of the next encoded frame (64 bytes). The frame's bytes
// stay in the ring until the next read. `frameStart` is the frame's address in the caller's ring
// mapping, truncated to 32 bits (the whole address on the camera): the frame's offset in the ring
// is iavRingOffset(ringBase, frameStart, ringSize), and byte k of the frame lies at
// ringBase + (offset + k) % ringSize.
struct iav_bitstream_desc_t {
  uint32_t frameNumber;    // consecutive over the H.264 streams; the MJPEG stream counts its own
  uint32_t sessionId;      // bumped by every start of the stream
  uint32_t frameStart;
  uint32_t frameInfo;      // bits 0-2 picture type (IAV_PIC_TYPE_*), bits 8-31 frame size
  uint8_t streamEnd;
  uint8_t streamIndex;     // stream ordinal 0..3
  uint16_t reserved0;
  uint16_t width;
  uint16_t height;
  uint32_t vinFrameNumber; // input frame the picture was taken from
  uint32_t reserved1[5];
  uint64_t pts;            // CLOCK_MONOTONIC time of the input frame in ns (strictly increasing in read order)
  uint32_t reserved2;
  uint32_t queueCounter;   // queueCounter - frameNumber = frames queued behind this one
};
static_assert(sizeof(iav_bitstream_desc_t) == 64, "bitstream descriptor");
static_assert(offsetof(iav_bitstream_desc_t, frameStart) == 8, "bitstream descriptor");
static_assert(offsetof(iav_bitstream_desc_t, frameInfo) == 12, "bitstream descriptor");
static_assert(offsetof(iav_bitstream_desc_t, streamIndex) == 17, "bitstream descriptor");
static_assert(offsetof(iav_bitstream_desc_t, pts) == 48, "bitstream descriptor");
static_assert(offsetof(iav_bitstream_desc_t, queueCounter) == 60, "bitstream descriptor");

inline uint32_t iavRingOffset(const uint8_t* ringBase, uint32_t frameStart, uint32_t ringSize) {
  // 32-bit arithmetic on purpose: the low 32 bits of the two addresses give the offset.
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ringBase));
  return ringSize == 0 ? 0 : (frameStart - base) % ringSize;
}

// IAV_IOC_SET/GET_QP_LIMIT_EX.
struct iav_qp_limit_ex_t {
  uint32_t id;  // stream mask
  uint8_t qp_min_on_I;
  uint8_t qp_max_on_I;
  uint8_t qp_min_on_P;
  uint8_t qp_max_on_P;
  uint8_t qp_min_on_B;
  uint8_t qp_max_on_B;
  uint8_t i_qp_reduce;  // byte 10
  uint8_t p_qp_reduce;
  uint8_t adapt_qp;     // byte 12
  uint8_t skip_flag;
  uint8_t reserved[2];
};
static_assert(sizeof(iav_qp_limit_ex_t) == 16, "QP limit record");

// IAV_IOC_SET_DIGITAL_ZOOM_EX: 16.16 fixed point.
struct iav_digital_zoom_ex_t {
  uint32_t zoom_factor_x;
  uint32_t zoom_factor_y;
  int32_t center_offset_x;
  int32_t center_offset_y;
};
static_assert(sizeof(iav_digital_zoom_ex_t) == 16, "digital zoom record");

// IAV_IOC_VIN_SRC_GET/SET_MIRROR_MODE.
struct iav_vin_mirror_mode_t {
  uint32_t pattern;
  uint32_t bayer_pattern;
};
static_assert(sizeof(iav_vin_mirror_mode_t) == 8, "mirror record");

// IAV_IOC_VIN_SRC_SET_WB_GAIN: gains in 1/1024.
struct iav_vin_wb_gain_t {
  uint32_t r_gain;
  uint32_t g_gain_r;
  uint32_t g_gain_b;
  uint32_t b_gain;
};
static_assert(sizeof(iav_vin_wb_gain_t) == 16, "white-balance gain record");

// IAV_IOC_VIN_SRC_SET_BLC: four black levels in Bayer order.
struct iav_vin_black_level_t {
  int16_t level[4];
};
static_assert(sizeof(iav_vin_black_level_t) == 8, "black level record");

// "/dev/ambad" sensor registers.
struct iav_sensor_reg_t {
  uint32_t reg;
  uint32_t data;
};
struct iav_sensor_reg_write_t {
  uint32_t reg;
  uint32_t data;
  uint32_t extra;
};
static_assert(sizeof(iav_sensor_reg_t) == 8 && sizeof(iav_sensor_reg_write_t) == 12, "sensor register records");

// IAV_IOC_QUERY_ME1_BUFFER_EX (32 bytes): the newest luma picture that the DSP finished in one of
// its ME1 buffers, the small luma pictures it keeps of source buffers 0..3 for motion analysis. The
// caller sets `buffer_id`; the driver fills the rest. The picture lies in the caller's DSP memory
// mapping (IAV_IOC_MAP_DSP on the same descriptor): row y begins `offset + y * pitch` bytes into it
// and holds `width` luma bytes; `pitch` may exceed `width` (the bytes between are padding), and
// the last row ends inside the mapping. The DSP fills a small ring of pictures per buffer, so a
// picture stays unchanged for at least the next two input frames: copy what is kept longer.
// Errors: EAGAIN, no picture finished yet (the input has just started); EPERM, the DSP is neither
// in preview nor encoding; EINVAL, a buffer id above 3 or a source buffer that is switched off.
struct iav_me1_buffer_info_t {
  uint32_t buffer_id;  // in: 0..3, the source buffer the picture is taken from
  uint32_t offset;     // out: first byte of row 0 in the DSP memory mapping
  uint16_t width;      // out: pixels (bytes) per row
  uint16_t height;     // out: rows
  uint16_t pitch;      // out: bytes from one row to the next, >= width
  uint16_t reserved;
  uint32_t seq_num;    // out: input frame the picture was taken from (rises by one per input frame)
  uint32_t reserved1;
  uint64_t pts;        // out: CLOCK_MONOTONIC time of that input frame in ns
};
static_assert(sizeof(iav_me1_buffer_info_t) == 32, "ME1 buffer record");
static_assert(offsetof(iav_me1_buffer_info_t, width) == 8, "ME1 buffer record");
static_assert(offsetof(iav_me1_buffer_info_t, seq_num) == 16, "ME1 buffer record");
static_assert(offsetof(iav_me1_buffer_info_t, pts) == 24, "ME1 buffer record");

// ==== image side: what the ISP server reads and sets (3A statistics, sensor information, privacy
// ==== masks, colour). Records the driver defines; the ISP server's wrappers pass them through.

// IAV_IOC_MAP_DSP also gives the DSP memory information: the DSP memory mapped read-only into the
// caller (iav_mmap_info_t: address and length).

// ---- sensor information ------------------------------------------------------------------------

// The gain of IAV_IOC_VIN_SRC_SET/GET_AGC_INDEX is a value, not an index: the sensor gain in dB in
// units of 1/IAV_AGC_DB_ONE dB (the ISP server sends entries of its AGC table: entry 198 =
// 496,846,011 is 29.6 dB).
constexpr uint32_t IAV_AGC_DB_ONE = 1u << 24;

// IAV_IOC_VIN_SRC_GET_AGC_INFO (a read under a write-direction code): the sensor's gain range.
struct iav_agc_info_t {
  int32_t db_max;   // 1/IAV_AGC_DB_ONE dB
  int32_t db_min;
  int32_t db_step;  // the finest step the sensor takes
  int32_t reserved;
};
static_assert(sizeof(iav_agc_info_t) == 16, "AGC information record");

// IAV_IOC_VIN_SRC_GET_SHUTTER_INFO (a read under a write-direction code): exposure times in
// 1/IAV_FRAME_RATE_CLOCK s.
struct iav_shutter_info_t {
  uint32_t max_shutter;   // the longest exposure the sensor takes
  uint32_t min_shutter;   // the shortest
  uint32_t frame_period;  // of the running video mode (0 before a mode is set)
  uint32_t reserved;
};
static_assert(sizeof(iav_shutter_info_t) == 16, "shutter information record");

// ---- 3A statistics ------------------------------------------------------------------------------

// Grid positions and sizes of the statistics tiles are in 1/IAV_AAA_GRID of the picture's width and
// height (12 AWB tiles of 340 span 4080 of 4096).
constexpr uint32_t IAV_AAA_GRID = 4096;
constexpr int IAV_AAA_MAX_AWB_TILES = 96;  // also the AE tiles
constexpr int IAV_AAA_MAX_AF_TILES = 40;
constexpr int IAV_AAA_HISTOGRAM_BINS = 64;

// IAV_IOC_IMG_AAA_SETUP_EX: where the DSP takes its statistics. A grid with more tiles than the
// maxima above, or starting outside the picture, is refused (EINVAL); tiles that reach past the
// picture's edge are cut there.
struct iav_aaa_tile_info_t {
  uint8_t ae_awb_tile_changed;  // 1: take the AWB and AE grids of this record
  uint8_t af_tile_changed;      // 1: take the AF grid of this record
  uint16_t awb_tile_num_col;
  uint16_t awb_tile_num_row;
  uint16_t awb_tile_col_start;
  uint16_t awb_tile_row_start;
  uint16_t awb_tile_width;
  uint16_t awb_tile_height;
  uint16_t awb_tile_active_width;   // the part of each tile that is summed, centred in it
  uint16_t awb_tile_active_height;
  uint16_t awb_pix_min_value;  // pixels (14-bit, after black level) outside min..max are not summed
  uint16_t awb_pix_max_value;
  uint16_t ae_tile_num_col;
  uint16_t ae_tile_num_row;
  uint16_t ae_tile_col_start;
  uint16_t ae_tile_row_start;
  uint16_t ae_tile_width;
  uint16_t ae_tile_height;
  uint16_t ae_pix_min_value;
  uint16_t ae_pix_max_value;
  uint16_t af_tile_num_col;
  uint16_t af_tile_num_row;
  uint16_t af_tile_col_start;
  uint16_t af_tile_row_start;
  uint16_t af_tile_width;
  uint16_t af_tile_height;
  uint16_t af_tile_active_width;
  uint16_t af_tile_active_height;
};
static_assert(sizeof(iav_aaa_tile_info_t) == 54, "3A tile record");
static_assert(offsetof(iav_aaa_tile_info_t, ae_tile_num_col) == 22, "3A tile record");
static_assert(offsetof(iav_aaa_tile_info_t, af_tile_num_col) == 38, "3A tile record");

// The statistics of one frame, into the caller's buffers. Tiles run row by row (index = row x
// columns + column). Values are taken after the black level and the white-balance gains, in linear
// light, on a 16-bit scale: a tile value is the mean of its 14-bit pixels times 4 (full scale
// 65532); linear luma is (306 R + 601 G + 117 B) / 1024 of such values.
struct iav_awb_tile_t {
  uint16_t r;
  uint16_t g;
  uint16_t b;
  uint16_t reserved;
};
struct iav_ae_tile_t {
  uint16_t lin_y;
  uint16_t reserved;
};
// Focus values: high-pass energies of the tile's luma, FV1 of a fine band, FV2 of a coarser one;
// they peak when the lens brings the tile into focus (saturating at 65535).
struct iav_af_tile_t {
  uint16_t fv1;
  uint16_t fv2;
};
// Counts of the picture's pixels by value, 64 bins of 1024 on the 16-bit scale (bin = value >> 10).
struct iav_aaa_histogram_t {
  uint32_t r[IAV_AAA_HISTOGRAM_BINS];
  uint32_t g[IAV_AAA_HISTOGRAM_BINS];
  uint32_t b[IAV_AAA_HISTOGRAM_BINS];
};
// Mean linear luma of the picture's quarters (top left, top right, bottom left, bottom right).
struct iav_aaa_luma_t {
  uint32_t quarter[4];
};
// The frame the statistics were taken from, and the sensor settings in force for it.
struct iav_aaa_frame_info_t {
  uint32_t frame_number;  // input frame (as iav_bitstream_desc_t::vinFrameNumber)
  uint32_t missed;        // frames whose statistics nobody read since the last read
  uint64_t pts;           // capture time, ns (the DSP's clock)
  uint32_t shutter;       // 1/IAV_FRAME_RATE_CLOCK s
  int32_t agc_db;         // 1/IAV_AGC_DB_ONE dB
  uint16_t awb_tiles;     // tiles filled
  uint16_t ae_tiles;
  uint16_t af_tiles;
  uint16_t reserved;
};
static_assert(sizeof(iav_awb_tile_t) == 8 && sizeof(iav_ae_tile_t) == 4 && sizeof(iav_af_tile_t) == 4,
              "statistics tiles");
static_assert(sizeof(iav_aaa_histogram_t) == 768 && sizeof(iav_aaa_luma_t) == 16, "statistics records");
static_assert(sizeof(iav_aaa_frame_info_t) == 32, "statistics frame record");

// IAV_IOC_IMG_GET_STATISTICS: returns once the next frame's statistics are ready (paces the
// caller) and fills each buffer that is not null. Buffers hold the maxima above.
struct iav_aaa_stats_request_t {
  iav_awb_tile_t* awb;              // IAV_AAA_MAX_AWB_TILES
  iav_ae_tile_t* ae;                // IAV_AAA_MAX_AWB_TILES
  iav_af_tile_t* af;                // IAV_AAA_MAX_AF_TILES
  iav_aaa_histogram_t* histogram;
  iav_aaa_luma_t* luma;
  iav_aaa_frame_info_t* frame;
};
static_assert(sizeof(void*) != 4 || sizeof(iav_aaa_stats_request_t) == 24, "statistics request");

// Room for every record of one statistics read, at the maxima above, and the request that fills it.
struct iav_aaa_stats_buffers_t {
  iav_awb_tile_t awb[IAV_AAA_MAX_AWB_TILES];
  iav_ae_tile_t ae[IAV_AAA_MAX_AWB_TILES];
  iav_af_tile_t af[IAV_AAA_MAX_AF_TILES];
  iav_aaa_histogram_t histogram;
  iav_aaa_luma_t luma;
  iav_aaa_frame_info_t frame;
};
inline iav_aaa_stats_request_t iavStatsRequest(iav_aaa_stats_buffers_t& b) {
  return iav_aaa_stats_request_t{b.awb, b.ae, b.af, &b.histogram, &b.luma, &b.frame};
}

// ---- privacy masks ------------------------------------------------------------------------------

// IAV_IOC_GET_PRIVACY_MASK_INFO_EX: the privacy-mask memory (iav_mmap_info_t), mapped read-write
// into the caller: IAV_PRIVACY_MASK_BUFFERS buffers of equal size one after the other. A buffer is
// a bitmap of 16 x 16-pixel blocks of the main source buffer: one 32-bit word per block (non-zero:
// masked), rows padded to a multiple of 32 bytes.
constexpr uint32_t IAV_PRIVACY_MASK_BLOCK = 16;
constexpr uint32_t IAV_PRIVACY_MASK_BUFFERS = 4;

// IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX: the buffer the next set-up is to be written into.
struct iav_privacy_mask_buffer_id_t {
  uint8_t buffer_id;
  uint8_t buffer_count;
  uint16_t reserved;
};
static_assert(sizeof(iav_privacy_mask_buffer_id_t) == 4, "privacy mask buffer record");

// IAV_IOC_SET_PRIVACY_MASK_EX: the bitmap of `buffer_id` is in force from the next frame, painted in
// the colour y, u, v; the driver then moves on to the next buffer.
struct iav_privacy_mask_setup_ex_t {
  uint8_t enable;
  uint8_t y;
  uint8_t u;
  uint8_t v;
  uint16_t block_count_x;
  uint16_t block_count_y;
  uint8_t buffer_id;
  uint8_t reserved[3];
};
static_assert(sizeof(iav_privacy_mask_setup_ex_t) == 12, "privacy mask set-up record");

// ---- colour -------------------------------------------------------------------------------------

// IAV_IOC_IMG_RGB_TO_YUV_SETUP: RGB to YUV, rows Y, U, V of Q10 values, then the offsets (8-bit
// units). Zero U and V rows give a black-and-white picture.
struct iav_rgb_to_yuv_t {
  int16_t matrix_values[9];
  int16_t y_offset;
  int16_t u_offset;
  int16_t v_offset;
};
static_assert(sizeof(iav_rgb_to_yuv_t) == 24, "RGB to YUV record");

// IAV_IOC_IMG_RGB_GAIN_ADJUST: channel gains, 65536 = 1.0 (the image-DSP library sends its 1/1024
// gains times 64).
struct iav_rgb_gain_t {
  uint32_t r_gain;
  uint32_t g_gain_r;
  uint32_t g_gain_b;
  uint32_t b_gain;
};
static_assert(sizeof(iav_rgb_gain_t) == 16, "RGB gain record");

// IAV_IOC_IMG_COLOR_CORRECTION (also the ISP server's RGB-to-RGB request): the colour correction
// with its tone curve. The driver reads the tables while the request runs.
struct iav_color_correction_t {
  uint8_t enable;
  uint8_t reserved[3];
  uint32_t gain[3];              // 16.16
  const uint8_t* input_table;    // 2,304 bytes
  const uint8_t* lut_3d;         // 16,384 bytes
  uint32_t tone_update;
  const uint32_t* tone_curve;    // 256 words: R | G << 10 | B << 20, 10-bit values; null: unchanged
  uint32_t reserved2;
};
static_assert(offsetof(iav_color_correction_t, input_table) == 16, "colour correction record");
static_assert(sizeof(void*) != 4 || sizeof(iav_color_correction_t) == 36, "colour correction record");
