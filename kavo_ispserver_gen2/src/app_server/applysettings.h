#pragma once
// Carrying the settings document into the running image pipeline.
#include "ispsettings.h"

namespace kavo {
namespace isp {

// The whole document, at start-up and at every re-initialisation.
void applyStartupSettings(IspSettings& settings);

}  // namespace isp
}  // namespace kavo
