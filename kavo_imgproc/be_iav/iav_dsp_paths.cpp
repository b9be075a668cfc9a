// The two paths of IAVDriver that run through the image-DSP library: the OV9715's white-balance
// gains (img_dsp_set_rgb_gain with digital gain 1024, under the mutex) and the local-tone WDR of the
// sensors other than the AR0331 (set_local_tone_WDR and set_local_exposure). They come with the
// library's wrappers; until the library is in this build they refuse.
#include "be_iav/iav_driver.h"
#include "misc/isp_log.h"

namespace kavo {
namespace isp {

int IAVDriver::set_wb_gain_dsp(const uint32_t[3]) {
  ISP_LOG_AS("iav_gain", "set_wb_gain", LOG_LEVEL_WARNING, 0, "the image-DSP library is not in this build");
  return -1;
}

int IAVDriver::set_local_tone_WDR(int) {
  ISP_LOG_AS("iav_wd_3dnr", "set_local_tone_WDR", LOG_LEVEL_WARNING, 0, "the image-DSP library is not in this build");
  return -1;
}

}  // namespace isp
}  // namespace kavo
