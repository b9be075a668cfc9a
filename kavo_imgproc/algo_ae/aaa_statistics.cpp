// The statistics read of the 3A step. Its reduction to the focus figures, the white-balance averages
// and the exposure luminance holds the place until the exposure control lands.
#include "algo_ae/aaa_statistics.h"

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
  return 0;
}

}  // namespace isp
}  // namespace kavo
