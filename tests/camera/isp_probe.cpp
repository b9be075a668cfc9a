// What the ISP server sends through its driver, one request per run, for the process tests of the
// camera (the real streamer encodes meanwhile):
//   kavo_isp_probe shutter TIME      set_eshutter_time (1/512,000,000 s)
//   kavo_isp_probe agc VALUE         set_agc_index
//   kavo_isp_probe colour on|off     set_rgb_to_yuv_matrix with the model's set, or its U and V rows zero
//   kavo_isp_probe mirror PATTERN    set_mirror_mode (bayer 1)
//   kavo_isp_probe stats SECONDS     get_aaa_data back to back, as the 3A thread reads them; prints
//                                    "reads R missed M frames F" (F: input frames the reads spanned)
// Exit code 0, or 1 when a request failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "be_iav/iav_driver.h"
#include "kavo/utils/clock.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kavo_isp_probe shutter TIME | agc VALUE | colour on|off | mirror PATTERN\n");
    return 2;
  }
  kavo::isp::IAVDriver d;
  if (d.open_iav_device() != 0) return 1;
  const std::string cmd = argv[1], arg = argv[2];
  int rc = -1;
  if (cmd == "shutter") {
    rc = d.set_eshutter_time(std::atoi(arg.c_str()));
  } else if (cmd == "agc") {
    rc = d.set_agc_index(std::atoi(arg.c_str()));
  } else if (cmd == "colour") {
    iav_rgb_to_yuv_t m{{306, 601, 117, -173, -339, 512, 512, -429, -83}, 0, 128, 128};
    if (arg == "off") std::memset(&m.matrix_values[3], 0, 6 * sizeof m.matrix_values[0]);
    rc = d.set_rgb_to_yuv_matrix(&m);
  } else if (cmd == "mirror") {
    rc = d.set_mirror_mode(static_cast<uint32_t>(std::atoi(arg.c_str())), 1);
  } else if (cmd == "stats") {
    static iav_awb_tile_t awb[IAV_AAA_MAX_AWB_TILES];
    static iav_ae_tile_t ae[IAV_AAA_MAX_AWB_TILES];
    static iav_af_tile_t af[IAV_AAA_MAX_AF_TILES];
    iav_aaa_histogram_t histogram{};
    iav_aaa_luma_t luma{};
    iav_aaa_frame_info_t frame{};
    iav_aaa_stats_request_t r{awb, ae, af, &histogram, &luma, &frame};
    const uint64_t end = kavo::utils::nowMs() + 1000ull * static_cast<uint64_t>(std::atoi(arg.c_str()));
    unsigned long reads = 0, missed = 0, first = 0;
    rc = 0;
    while (rc == 0 && kavo::utils::nowMs() < end) {
      rc = d.get_aaa_data(&r);
      if (reads++ == 0) first = frame.frame_number;
      missed += frame.missed;
    }
    std::printf("reads %lu missed %lu frames %lu\n", reads, missed, frame.frame_number - first + 1);
  }
  d.close_iav();
  return rc < 0 ? 1 : 0;
}
