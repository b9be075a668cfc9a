// Holds the place of the settings pass until the image controller it feeds lands.
#include "applysettings.h"

namespace kavo {
namespace isp {

void applyStartupSettings(IspSettings&) {}

}  // namespace isp
}  // namespace kavo
