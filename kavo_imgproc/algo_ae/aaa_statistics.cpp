// The statistics read of the 3A step. Its reduction to the focus figures, the white-balance averages
// and the exposure luminance holds the place until the exposure control lands.
#include "algo_ae/aaa_statistics.h"

#include <algorithm>

#include "algo_af/CAFControl.h"
#include "be_iav/iav_driver.h"
#include "misc/isp_log.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

int Get_3A_data_1080p(CIsp* isp) {
  IAVDriver* driver = iavDriver();
  if (driver == nullptr || driver->get_aaa_data(&isp->statsRequest) < 0) {
    ISP_LOG("algo_ae/ae_statistics", LOG_LEVEL_WARNING, 0, "[Get_3A_data_1080p]get statistics data is failed.");
    return -1;
  }
  // The focus sums: every tile's FV1, and FV2 scaled by the digital zoom's square (16-bit sums).
  if (CAFControl* af = afControl()) {
    const uint32_t z = isp->stats.frame.af_tiles ? g_isp.dptzZoom.load(std::memory_order_relaxed) : 0;
    uint16_t fv1 = 0, fv2 = 0;
    const int tiles = std::min<int>(isp->stats.frame.af_tiles, IAV_AAA_MAX_AF_TILES);
    for (int t = 0; t < tiles; ++t) {
      fv1 = static_cast<uint16_t>(fv1 + isp->stats.af[t].fv1);
      fv2 = static_cast<uint16_t>(fv2 + z * z * isp->stats.af[t].fv2);
    }
    af->afHFSum0 = fv1;
    af->afHFSum1 = fv2;
  }
  return 0;
}

}  // namespace isp
}  // namespace kavo
