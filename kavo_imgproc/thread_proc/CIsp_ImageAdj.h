#pragma once
// Holds the place of the picture adjustment and noise reduction until they land: the operations the
// 3A step and the per-model configuration call, changing nothing.
#include <cstdint>

namespace kavo {
namespace isp {

class CIsp;

// Lens shading on above 7/8 and off below 2/8 of the AE target base (model 5).
int setLensShadeByLuma(CIsp* isp, uint32_t luma);
// The AGC-driven adjustments of every 61st pass.
int set3DNR_byAGC(CIsp* isp, int agc);
int set_Chroma_Scale_inAGC(CIsp* isp, int agc);
int set_smart_sharpCoring(CIsp* isp, int agc);
// Chroma-scale curve of the level (model 5 starts at 40).
int setChromaScale(CIsp* isp, int level);

}  // namespace isp
}  // namespace kavo
