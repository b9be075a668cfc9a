// What the ISP server sends through its driver, one request per run, for the process tests of the
// camera (the real streamer encodes meanwhile):
//   kavo_isp_probe shutter TIME      set_eshutter_time (1/512,000,000 s)
//   kavo_isp_probe agc VALUE         set_agc_index
//   kavo_isp_probe colour on|off     set_rgb_to_yuv_matrix with the model's set, or its U and V rows zero
//   kavo_isp_probe mirror PATTERN    set_mirror_mode (bayer 1)
// Exit code 0, or 1 when the request failed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "be_iav/iav_driver.h"

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
  }
  d.close_iav();
  return rc < 0 ? 1 : 0;
}
