#include "osd.h"

namespace kavo {
namespace osd {

volatile sig_atomic_t quitRequested = 0;

}  // namespace osd
}  // namespace kavo
