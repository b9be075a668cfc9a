#pragma once
// What the sub-CPU receive path calls when the lens MCU reports a finished move (reply type 0x51):
// the auto focus registers itself here.

namespace kavo {
namespace isp {

class CallbackInterface {
 public:
  virtual ~CallbackInterface() = default;
  // `result` 1 for success.
  virtual int callback(int result) = 0;
};

}  // namespace isp
}  // namespace kavo
