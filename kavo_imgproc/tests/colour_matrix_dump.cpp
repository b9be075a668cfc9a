// Prints the RGB-to-YUV sets the colour conversion computes for given picture states, one JSON
// line each, for the double-precision check in colour_matrix_check.py. Arguments: none; the
// cases are the check's.
#include <cstdio>

#include "kavo/test/test_root.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"

using namespace kavo::isp;

namespace {

void print(const char* name, CIsp& isp, int sat, int hue, int contrast, int brightness) {
  std::printf("{\"case\": \"%s\", \"saturation\": %d, \"hue\": %d, \"contrast\": %d, \"brightness\": %d, \"model\": [",
              name, sat, hue, contrast, brightness);
  for (int i = 0; i < 12; ++i) std::printf("%s%d", i ? ", " : "", isp.modelYuv.get(i));
  std::printf("], \"set\": [");
  for (int i = 0; i < 12; ++i) std::printf("%s%d", i ? ", " : "", isp.savedYuv.get(i));
  std::printf("]}\n");
}

}  // namespace

int main() {
  kavo::test::TestRoot root;  // no device: the conversion is computed and its request fails quietly
  CIsp isp;
  const int16_t model[12] = {306, 601, 117, -207, -406, 614, 614, -514, -99, 0, 128, 128};
  isp.modelYuv.load(model);
  const struct {
    const char* name;
    int sat, hue, contrast, brightness;
  } cases[] = {{"neutral", 64, 0, 64, 0},   {"saturation 0", 0, 0, 64, 0},  {"hue +15", 64, 15, 64, 0},
               {"hue -15", 64, -15, 64, 0}, {"hue +7", 100, 7, 90, 20},     {"hue -4", 128, -4, 40, -30}};
  for (const auto& c : cases) {
    isp.saturation.store(c.sat);
    isp.hue.store(c.hue);
    isp.contrastGain.store(c.contrast);
    isp.brightness.store(c.brightness);
    color_conversion(&isp);
    print(c.name, isp, c.sat, c.hue, c.contrast, c.brightness);
  }
  // Black and white on then off: the saved set is the latest conversion, unchanged.
  set_yuv_BW(&isp, 1);
  print("black and white on", isp, cases[5].sat, cases[5].hue, cases[5].contrast, cases[5].brightness);
  set_yuv_BW(&isp, 0);
  print("black and white off", isp, cases[5].sat, cases[5].hue, cases[5].contrast, cases[5].brightness);
  return 0;
}
