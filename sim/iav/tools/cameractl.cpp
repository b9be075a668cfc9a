// The simulated camera from a shell (README.md, "The camera"):
//   kavo_sim_camera [--root DIR] scene JSON|@FILE   sets the scene script (checked first)
//   kavo_sim_camera [--root DIR] show               prints the scene now, the sensor's settings in
//                                                   force and the lens inputs, as one JSON line
//   kavo_sim_camera [--root DIR] lens KEY=VALUE...  publishes lens inputs (irCutIn, irLed, iris,
//                                                   zoom, focus, focusInfinity, focusPerDioptre,
//                                                   depthOfField, magnification, moving)
//   kavo_sim_camera [--root DIR] encode [WxH]       brings the DSP up and starts one H.264 stream as a
//                                                   streamer would (default 640x360), then exits; the
//                                                   DSP stays encoding
// Exit code 0, 1 on a failure (message on standard error), 2 on a wrong command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/mman.h>

#include "kavo/os/device.h"
#include "kavo/os/iav.h"
#include "kavo/os/path.h"
#include "kavo/sim/iav_sim.h"

using namespace kavo::os;
namespace sim = kavo::sim::iav;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: kavo_sim_camera [--root DIR] scene JSON|@FILE | show | lens KEY=VALUE... | encode [WxH]\n");
  return 2;
}

int fail(const char* what) {
  std::fprintf(stderr, "kavo_sim_camera: %s: %s\n", what, std::strerror(errno));
  return 1;
}

int req(int fd, uint32_t code, uintptr_t arg, const char* what) {
  if (devIoctl(fd, code, arg) < 0) {
    std::fprintf(stderr, "kavo_sim_camera: %s: %s\n", what, std::strerror(errno));
    return 1;
  }
  return 0;
}
template <class T>
int req(int fd, uint32_t code, T* arg, const char* what) {
  return req(fd, code, reinterpret_cast<uintptr_t>(arg), what);
}

// The microcode load of a streamer: modules from /lib/firmware/ into the region, then boot.
int loadMicrocode() {
  int fd = devOpen("/dev/ucode", O_RDWR);
  if (fd < 0) return fail("/dev/ucode");
  iav_ucode_version_t v{};
  int rc = req(fd, IAV_IOC_GET_UCODE_VERSION, &v, "IAV_IOC_GET_UCODE_VERSION");
  if (rc == 0 && v.major_version == 0 && v.minor_version == 0) {
    iav_ucode_load_info_t info{};
    rc = req(fd, IAV_IOC_GET_UCODE_INFO, &info, "IAV_IOC_GET_UCODE_INFO");
    void* region = rc ? MAP_FAILED : devMmap(nullptr, info.map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (rc == 0 && region == MAP_FAILED) rc = fail("mmap of /dev/ucode");
    for (uint32_t i = 0; rc == 0 && i < info.nr_item && i < 4; ++i) {
      std::ifstream f(path(std::string("/lib/firmware/") + info.items[i].filename), std::ios::binary);
      std::stringstream ss;
      ss << f.rdbuf();
      const std::string body = ss.str();
      if (body.empty() || info.items[i].offset + body.size() > info.map_size) {
        std::fprintf(stderr, "kavo_sim_camera: microcode module %s missing\n", info.items[i].filename);
        rc = 1;
      } else {
        std::memcpy(static_cast<uint8_t*>(region) + info.items[i].offset, body.data(), body.size());
      }
    }
    if (region != MAP_FAILED) devMunmap(region, info.map_size);
    if (rc == 0) rc = req(fd, IAV_IOC_UPDATE_UCODE, uintptr_t{0}, "IAV_IOC_UPDATE_UCODE");
  }
  devClose(fd);
  return rc;
}

int encode(const std::string& size) {
  unsigned w = 640, h = 360;
  if (!size.empty() && (std::sscanf(size.c_str(), "%ux%u", &w, &h) != 2 || w == 0 || h == 0 || (w | h) & 1 ||
                        w > 4096 || h > 4096))
    return usage();
  if (int rc = loadMicrocode()) return rc;
  int fd = devOpen("/dev/iav", O_RDWR);
  if (fd < 0) return fail("/dev/iav");
  int32_t src = 0;
  iav_vin_source_info_t info{};
  uint32_t table[256] = {};
  amba_vin_source_mode_info mode{};
  iav_system_resource_setup_ex_s limits{};
  iav_source_buffer_type_all_ex_t types{1, 0, 0, 0};
  iav_source_buffer_format_all_ex_t formats{};
  iav_encode_format_ex_t format{1, IAV_ENCODE_H264, 0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(h), 0, 0};
  int rc = req(fd, IAV_IOC_ENTER_IDLE, uintptr_t{0}, "IAV_IOC_ENTER_IDLE");
  if (rc == 0) rc = req(fd, IAV_IOC_VIN_SET_CURRENT_SRC, &src, "IAV_IOC_VIN_SET_CURRENT_SRC");
  if (rc == 0) rc = req(fd, IAV_IOC_VIN_SRC_GET_INFO, &info, "IAV_IOC_VIN_SRC_GET_INFO");
  if (rc == 0) {
    mode.mode = info.default_mode;
    mode.fps_table = table;
    mode.fps_table_size = 256;
    rc = req(fd, IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE, &mode, "IAV_IOC_VIN_SRC_CHECK_VIDEO_MODE");
  }
  if (rc == 0) rc = req(fd, IAV_IOC_VIN_SRC_SET_VIDEO_MODE, uintptr_t{mode.mode}, "IAV_IOC_VIN_SRC_SET_VIDEO_MODE");
  if (rc == 0) rc = req(fd, IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{mode.frame_rate}, "IAV_IOC_VIN_SRC_SET_FRAME_RATE");
  if (rc == 0) rc = req(fd, IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX, &limits, "IAV_IOC_GET_SYSTEM_RESOURCE_LIMIT_EX");
  if (rc == 0) {
    limits.main_source_buffer_max_width = static_cast<uint16_t>(w);
    limits.main_source_buffer_max_height = static_cast<uint16_t>(h);
    limits.stream_max_encode_size[0] = {w, h};
    limits.stream_max_GOP_M[0] = 1;
    limits.stream_max_GOP_N[0] = 255;
    limits.max_num_encode_streams = 1;
    rc = req(fd, IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX, &limits, "IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX");
  }
  if (rc == 0) rc = req(fd, IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX, &types, "IAV_IOC_SET_SOURCE_BUFFER_TYPE_ALL_EX");
  if (rc == 0) {
    formats.main_width = static_cast<uint16_t>(w);
    formats.main_height = static_cast<uint16_t>(h);
    rc = req(fd, IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX, &formats, "IAV_IOC_SET_SOURCE_BUFFER_FORMAT_ALL_EX");
  }
  if (rc == 0) rc = req(fd, IAV_IOC_SET_ENCODE_FORMAT_EX, &format, "IAV_IOC_SET_ENCODE_FORMAT_EX");
  if (rc == 0) rc = req(fd, IAV_IOC_ENABLE_PREVIEW, uintptr_t{0}, "IAV_IOC_ENABLE_PREVIEW");
  if (rc == 0) rc = req(fd, IAV_IOC_START_ENCODE_EX, uintptr_t{1}, "IAV_IOC_START_ENCODE_EX");
  devClose(fd);
  return rc;
}

int lens(int argc, char** argv, int first) {
  sim::LensInputs l{};
  if (!sim::lensInputs(l)) return fail("the DSP state");
  for (int i = first; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr) return usage();
    const std::string key(argv[i], static_cast<size_t>(eq - argv[i]));
    char* end = nullptr;
    const long v = std::strtol(eq + 1, &end, 0);
    if (*end != '\0') return usage();
    struct Field {
      const char* name;
      void* at;
      bool isSigned;
    };
    const Field fields[] = {{"irCutIn", &l.irCutIn, false},           {"irLed", &l.irLed, false},
                            {"iris", &l.iris, false},                 {"zoom", &l.zoom, true},
                            {"focus", &l.focus, true},                {"focusInfinity", &l.focusInfinity, true},
                            {"focusPerDioptre", &l.focusPerDioptre, true}, {"depthOfField", &l.depthOfField, false},
                            {"magnification", &l.magnification, false}, {"moving", &l.moving, false}};
    bool found = false;
    for (const auto& f : fields) {
      if (key != f.name) continue;
      if (!f.isSigned && v < 0) return usage();
      const int32_t x = static_cast<int32_t>(v);
      std::memcpy(f.at, &x, sizeof x);
      found = true;
    }
    if (!found) return usage();
  }
  return sim::setLensInputs(l) ? 0 : fail("the DSP state");
}

int show() {
  sim::SceneNow s{};
  sim::SensorNow n{};
  sim::LensInputs l{};
  if (!sim::sceneNow(s) || !sim::sensorNow(n) || !sim::lensInputs(l)) return fail("the DSP state");
  // The moment of the reading on the journals' clock (the DSP's on the real clock), so that a
  // reader can place it among the journal lines.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::printf("{\"monotonicNs\": %llu, ", static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
                                                static_cast<unsigned long long>(now.tv_nsec));
  std::printf("\"scene\": {\"lux\": %.4g, \"kelvin\": %.0f, \"distance\": %.4g, \"ir\": %.4g}, ", s.lux, s.kelvin,
              s.distance, s.irLux);
  std::printf("\"sensor\": {\"frame\": %llu, \"shutter\": %u, \"agcDb\": %d, \"wb\": [%u, %u, %u], \"mirror\": %u}, ",
              static_cast<unsigned long long>(n.frame), n.shutter, n.agcDb, n.wb[0], n.wb[1], n.wb[2], n.mirror);
  std::printf("\"lens\": {\"irCutIn\": %u, \"irLed\": %u, \"iris\": %u, \"zoom\": %d, \"focus\": %d, "
              "\"focusInfinity\": %d, \"focusPerDioptre\": %d, \"depthOfField\": %u, \"magnification\": %u, "
              "\"moving\": %u}}\n",
              l.irCutIn, l.irLed, l.iris, l.zoom, l.focus, l.focusInfinity, l.focusPerDioptre, l.depthOfField,
              l.magnification, l.moving);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--root") == 0) {
    ::setenv("KAVO_ROOT", argv[i + 1], 1);
    i += 2;
  }
  if (i >= argc) return usage();
  const std::string cmd = argv[i];
  if (cmd == "scene" && i + 2 == argc) {
    std::string text = argv[i + 1];
    if (!text.empty() && text[0] == '@') {
      std::ifstream f(text.substr(1), std::ios::binary);
      if (!f) return fail(text.c_str() + 1);
      std::stringstream ss;
      ss << f.rdbuf();
      text = ss.str();
    }
    std::string error;
    if (!sim::setScene(text, &error)) {
      std::fprintf(stderr, "kavo_sim_camera: scene refused: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (cmd == "show" && i + 1 == argc) return show();
  if (cmd == "lens" && i + 1 < argc) return lens(argc, argv, i + 1);
  if (cmd == "encode" && i + 2 >= argc) return encode(i + 1 < argc ? argv[i + 1] : "");
  return usage();
}
