#pragma once
// Holds the place of the contrast auto focus until it lands: the reply callback of the sub-CPU link,
// an AF reset that enables AF on the controller, and a per-frame step that moves nothing.
#include <atomic>
#include <cstdint>

#include "algo_af/CallbackInterface.h"

namespace kavo {
namespace isp {

class CAFControl : public CallbackInterface {
 public:
  int callback(int result) override;
  // The two AF sums the statistics reduction writes each frame (3A thread).
  uint16_t afHFSum0 = 0, afHFSum1 = 0;
  std::atomic<uint32_t> callbacks{0};  // finished moves reported
  // The lens positions last known (lens moves and the VISCA position inquiries keep them).
  std::atomic<uint32_t> m_iCurrZoomPosition{0};
  std::atomic<uint32_t> m_iCurrFocusPosition{0};
};

class CIsp;

// Once, from enable_aaa on zoom-lens boards: AF enabled on the controller.
int resetAF(CIsp* isp);
// The per-frame step on zoom-lens boards: holds the place (nothing moves).
int emulatedISR_AF(CAFControl* af);

}  // namespace isp
}  // namespace kavo
