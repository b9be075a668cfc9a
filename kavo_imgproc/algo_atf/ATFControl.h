#pragma once
// The focus tracking's own component (the component table's eighth slot): it holds only the AF
// luminance sum the 3A statistics store and the two copies the tracking step takes of it; the
// tracking itself runs in the auto focus's step on its fields (algo_af/CAFControl.h).
#include <atomic>
#include <cstdint>

namespace kavo {
namespace isp {

class ATFControl {
 public:
  std::atomic<uint32_t> afLuminance{0};
  uint32_t afLuminanceCopy = 0, afLuminanceLast = 0;
};

}  // namespace isp
}  // namespace kavo
