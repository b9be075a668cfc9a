#pragma once
// Holds the place of the privacy masks until they land: the open and close that the controller
// calls, mapping nothing.

namespace kavo {
namespace isp {

class MaskControl {
 public:
  // The mask memory and block geometry: holds the place (0).
  int init() { return 0; }
  int close() { return 0; }
};

}  // namespace isp
}  // namespace kavo
