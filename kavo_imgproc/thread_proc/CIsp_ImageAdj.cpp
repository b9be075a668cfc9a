// Holds the place of the picture adjustment and noise reduction: see CIsp_ImageAdj.h.
#include "thread_proc/CIsp_ImageAdj.h"

namespace kavo {
namespace isp {

int setLensShadeByLuma(CIsp*, uint32_t) { return 0; }
int set3DNR_byAGC(CIsp*, int) { return 0; }
int set_Chroma_Scale_inAGC(CIsp*, int) { return 0; }
int set_smart_sharpCoring(CIsp*, int) { return 0; }
int setChromaScale(CIsp*, int) { return 0; }

}  // namespace isp
}  // namespace kavo
