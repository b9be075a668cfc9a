// Draws privacy-mask rectangle 0 on the running simulated DSP, as the ISP server's mask control
// does, for the end-to-end test that looks for it in the streamer's video. Arguments: x y width
// height (main-buffer pixels). Prints the block grid ("blocks X Y") and exits 0, or 1 on failure.
#include <cstdio>
#include <cstdlib>

#include "algo_mask/MaskControl.h"
#include "be_iav/iav_driver.h"
#include "thread_proc/isp_globals.h"

using namespace kavo::isp;

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s x y width height\n", argv[0]);
    return 2;
  }
  IAVDriver driver;
  g_isp.components.iav.store(&driver);
  if (driver.open_iav() < 0) return 1;
  MaskControl masks;
  masks.init();
  const int rc = masks.setMask(0, std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
  std::printf("blocks %u %u\n", masks.blocksPerRow(), masks.blockRows());
  driver.close_iav();
  g_isp.components.iav.store(nullptr);
  return rc == 0 ? 0 : 1;
}
