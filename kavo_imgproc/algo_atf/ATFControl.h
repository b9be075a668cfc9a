#pragma once
// The focus tracking's own component (the component table's eighth slot): it holds the AF luminance
// sum the 3A statistics store and the two copies each AF reading takes of it, and the lock request
// of the auto focus's restart from PostSeeking; the tracking itself runs in the auto focus's step on
// its fields (algo_af/CAFControl.h).
#include <atomic>
#include <cstdint>

namespace kavo {
namespace isp {

class ATFControl {
 public:
  std::atomic<uint32_t> afLuminance{0};
  uint32_t afLuminanceCopy = 0, afLuminanceLast = 0;
  // The lock request of a restart from PostSeeking, its reference focus position, and the frames
  // the settle test has been asked since (3A thread).
  uint8_t lockRequest = 0;
  int32_t lockReference = 0;
  int32_t lockFrames = 0;
};

}  // namespace isp
}  // namespace kavo
