#pragma once
// The VISCA camera state that the VISCA handlers answer from; created by main for the whole run.

namespace kavo {
namespace isp {

class DVisca {
 public:
  DVisca();
  ~DVisca();
  DVisca(const DVisca&) = delete;
  DVisca& operator=(const DVisca&) = delete;
};

}  // namespace isp
}  // namespace kavo
