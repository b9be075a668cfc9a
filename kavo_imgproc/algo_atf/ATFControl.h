#pragma once
// Holds the place of the focus tracking during zoom (its state lives with the auto focus) until it
// lands: the component table's ninth entry.

namespace kavo {
namespace isp {

class ATFControl {};

}  // namespace isp
}  // namespace kavo
