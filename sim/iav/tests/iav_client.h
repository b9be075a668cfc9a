#pragma once
// A minimal driver client for the simulator's tests: the requests a streamer makes, in its order,
// through the device seam.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "kavo/os/device.h"
#include "kavo/os/iav.h"
#include "kavo/os/path.h"
#include "kavo/sim/iav_sim.h"
#include "kavo/test/test_root.h"

namespace simtest {

using namespace kavo::os;

struct StreamSpec {
  uint8_t type = IAV_ENCODE_H264;
  uint16_t width = 320;
  uint16_t height = 240;
  uint8_t fps = 30;
  uint32_t N = 30;
  uint32_t mode = IAV_VBR;
  uint32_t avg = 16384;
  uint32_t max = 1000000;
};

// errno of a failed request, 0 on success.
inline int req(int fd, uint32_t code, uintptr_t arg) { return devIoctl(fd, code, arg) < 0 ? errno : 0; }
template <class T>
inline int req(int fd, uint32_t code, T* arg) {
  return devIoctl(fd, code, arg) < 0 ? errno : 0;
}

// FNV-1a (64 bits) of a block, as the journal spells it ("0x...").
inline std::string fnvHex(const void* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<const uint8_t*>(p)[i];
    h *= 0x100000001b3ull;
  }
  char t[24];
  std::snprintf(t, sizeof t, "0x%08llx", static_cast<unsigned long long>(h));
  return t;
}

inline void writeConfig(kavo::test::TestRoot& root, const std::string& json) { root.write("/etc/kavo_sim/iav.json", json); }

inline std::vector<nlohmann::json> journal() {
  kavo::sim::iav::flushJournal();
  std::vector<nlohmann::json> out;
  std::ifstream in(kavo::sim::iav::journalFile());
  std::string line;
  while (std::getline(in, line)) out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

class Client {
 public:
  ~Client() { close(); }
  void close() {
    if (iav >= 0) devClose(iav);
    iav = -1;
  }

  // The microcode load of a streamer; 0 or the errno of the first failure (-1: did not boot).
  int loadUcode() {
    int fd = devOpen("/dev/ucode", O_RDWR);
    if (fd < 0) return errno;
    iav_ucode_version_t v{};
    int e = req(fd, IAV_IOC_GET_UCODE_VERSION, &v);
    if (!e && v.major_version == 0 && v.minor_version == 0) {
      iav_ucode_load_info_t info{};
      e = req(fd, IAV_IOC_GET_UCODE_INFO, &info);
      void* region = MAP_FAILED;
      if (!e) {
        region = devMmap(nullptr, info.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (region == MAP_FAILED) e = errno;
      }
      for (uint32_t i = 0; !e && i < info.nr_item; ++i) {
        std::ifstream f(path(std::string("/lib/firmware/") + info.items[i].filename), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        const std::string body = ss.str();
        if (body.empty() || info.items[i].offset + body.size() > info.map_size) e = ENOENT;
        if (!e) std::memcpy(static_cast<uint8_t*>(region) + info.items[i].offset, body.data(), body.size());
      }
      if (region != MAP_FAILED) devMunmap(region, info.map_size);
      if (!e) e = req(fd, IAV_IOC_UPDATE_UCODE, uintptr_t{0});
      if (!e) e = req(fd, IAV_IOC_GET_UCODE_VERSION, &v);
      if (!e && v.major_version == 0 && v.minor_version == 0) e = -1;
    }
    devClose(fd);
    return e;
  }

  // Idle, input, limits, buffers, streams, preview: the open sequence. 0 or the first errno.
  int setup(const std::vector<StreamSpec>& specs, uint32_t audioHz = 48000) {
    streams = specs;
    int e = loadUcode();
    if (e) return e;
    iav = devOpen("/dev/iav", O_RDWR);
    if (iav < 0) return errno;
    if ((e = req(iav, IAV_IOC_ENTER_IDLE, uintptr_t{0}))) return e;
    int32_t count = 0, src = 0;
    if ((e = req(iav, IAV_IOC_VIN_GET_SOURCE_NUM, &count))) return e;
    if ((e = req(iav, IAV_IOC_VIN_SET_CURRENT_SRC, &src))) return e;
    iav_vin_source_info_t info{};
    if ((e = req(iav, IAV_IOC_VIN_SRC_GET_INFO, &info))) return e;
    uint32_t table[256] = {};
    mode = amba_vin_source_mode_info{};
    mode.mode = info.default_mode;
    mode.fps_table = table;
    mode.fps_table_size = 256;
    if ((e = req(iav, IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, &mode))) return e;
    inputFps = mode.frame_rate ? IAV_FRAME_RATE_CLOCK / mode.frame_rate : 0;
    iav_mmap_info_t bsb{};
    if ((e = req(iav, IAV_IOC_MAP_BSB, &bsb))) return e;
    ring = bsb.addr;
    ringSize = bsb.length;
    if ((e = req(iav, IAV_IOC_VIN_SET_CURRENT_SRC, &src))) return e;
    if ((e = req(iav, IAV_IOC_VIN_SRC_SET_VIDEO_MODE, uintptr_t{mode.mode}))) return e;
    if ((e = req(iav, IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{mode.frame_rate}))) return e;
    iav_system_resource_setup_ex_s limits{};
    if ((e = req(iav, IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX, &limits))) return e;
    uint16_t* maxes = &limits.main_source_buffer_max_width;
    for (size_t k = 0; k < specs.size(); ++k) {
      maxes[2 * k] = specs[k].width;
      maxes[2 * k + 1] = specs[k].height;
      limits.stream_max_encode_size[k] = {specs[k].width, specs[k].height};
      limits.stream_max_GOP_M[k] = k == 0 ? 3 : 1;
      limits.stream_max_GOP_N[k] = 255;
    }
    limits.MCTF_possible = 1;
    limits.max_num_encode_streams = 4;
    limits.max_num_cap_sources = 4;
    limits.cavlc_max_bitrate = 2000000;
    if ((e = req(iav, IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX, &limits))) return e;
    iav_system_setup_info_ex_t setup{};
    if ((e = req(iav, IAV_IOC_GET_SYSTEM_SETUP_INFO_EX, &setup))) return e;
    setup.field0 = setup.field2 = setup.field4 = 1;
    setup.byte6 = 1;
    if ((e = req(iav, IAV_IOC_SET_SYSTEM_SETUP_INFO_EX, &setup))) return e;
    iav_source_buffer_type_all_ex_t types{1, specs.size() >= 2 ? 1u : 0u, specs.size() >= 3 ? 1u : 0u,
                                          specs.size() >= 4 ? 1u : 0u};
    if ((e = req(iav, IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX, &types))) return e;
    iav_source_buffer_format_all_ex_t formats{};
    formats.main_width = specs[0].width;
    formats.main_height = specs[0].height;
    iav_sub_buffer_format_t* subs[3] = {&formats.second, &formats.third, &formats.fourth};
    for (size_t k = 1; k < specs.size(); ++k)
      *subs[k - 1] = iav_sub_buffer_format_t{specs[k].width, specs[k].height, specs[0].width, specs[0].height, 0};
    if ((e = req(iav, IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX, &formats))) return e;
    for (size_t k = 0; k < specs.size(); ++k) {
      const uint32_t id = 1u << k;
      if ((e = setFrameRate(id, specs[k].fps))) return e;
      iav_encode_format_ex_t fmt{id, specs[k].type, static_cast<uint8_t>(k), 0, specs[k].width, specs[k].height, 0, 0};
      if ((e = req(iav, IAV_IOC_SET_ENCODE_FORMAT_EX, &fmt))) return e;
      if (specs[k].type != IAV_ENCODE_H264) continue;
      iav_bitrate_ex_t rate{id, specs[k].mode, specs[k].avg, 16384, specs[k].max};
      if ((e = req(iav, IAV_IOC_SET_BITRATE_EX, &rate))) return e;
      iav_h264_config_ex_s h{};
      h.id = id;
      if ((e = req(iav, IAV_IOC_GET_H264_CONFIG_EX, &h))) return e;
      h.M = 1;
      h.N = static_cast<uint16_t>(specs[k].N);
      h.idr_interval = 1;
      h.gop_model = 0;
      h.au_type = 0;
      if ((e = req(iav, IAV_IOC_SET_H264_CONFIG_EX, &h))) return e;
    }
    if ((e = req(iav, IAV_IOC_ENABLE_PREVIEW, uintptr_t{0}))) return e;
    return req(iav, IAV_IOC_SET_AUDIO_CLK_FREQ_EX, uintptr_t{audioHz});
  }

  int setFrameRate(uint32_t id, uint8_t fps) {
    iav_change_framerate_factor_ex_t f{id, fps, static_cast<uint8_t>(inputFps), 0};
    int e = req(iav, IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX, &f);
    if (e) return e;
    iav_change_gop_ex_t g{id, fps, 1};
    return req(iav, IAV_IOC_CHANGE_GOP_EX, &g);
  }

  int startStop(bool start) {
    for (size_t k = 0; k < streams.size(); ++k)
      if (int e = req(iav, start ? IAV_IOC_START_ENCODE_EX : IAV_IOC_STOP_ENCODE_EX, uintptr_t{1u << k})) return e;
    return 0;
  }

  int read(iav_bitstream_desc_t& d) { return req(iav, IAV_IOC_READ_BITSTREAM_EX, &d); }

  uint32_t offsetOf(const iav_bitstream_desc_t& d) const { return iavRingOffset(ring, d.frameStart, ringSize); }
  std::vector<uint8_t> bytes(const iav_bitstream_desc_t& d) const {
    const uint32_t size = d.frameInfo >> 8, off = offsetOf(d);
    std::vector<uint8_t> out(size);
    for (uint32_t k = 0; k < size; ++k) out[k] = ring[(off + k) % ringSize];
    return out;
  }

  int iav = -1;
  uint8_t* ring = nullptr;
  uint32_t ringSize = 0;
  uint32_t inputFps = 0;
  amba_vin_source_mode_info mode{};
  std::vector<StreamSpec> streams;
};

// NAL unit types of an Annex B frame, in order; every start code must have 4 bytes.
inline std::vector<int> nalTypes(const std::vector<uint8_t>& f, bool* all4 = nullptr) {
  std::vector<int> types;
  bool four = true;
  for (size_t p = 0; p + 3 < f.size(); ++p) {
    if (f[p] == 0 && f[p + 1] == 0 && f[p + 2] == 1) {
      if (p == 0 || f[p - 1] != 0) four = false;
      types.push_back(f[p + 3] & 0x1f);
      p += 2;
    }
  }
  if (all4) *all4 = four;
  return types;
}

}  // namespace simtest
