#pragma once
// The simulator's pseudo-random numbers: a xorshift generator, cheap enough per pixel, with
// deterministic seeds (the same frame gives the same noise in every run).
#include <cstdint>

namespace kavo {
namespace sim {
namespace iav {

inline uint64_t xorshift(uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}
// Uniform in [0, 1).
inline double uniform(uint64_t& s) { return static_cast<double>(xorshift(s) >> 11) / 9007199254740992.0; }
// Approximately N(0, 1): the sum of four uniforms, scaled.
inline double normal(uint64_t& s) {
  double sum = 0;
  for (int i = 0; i < 4; ++i) sum += uniform(s);
  return (sum - 2.0) * 1.7320508075688772;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
