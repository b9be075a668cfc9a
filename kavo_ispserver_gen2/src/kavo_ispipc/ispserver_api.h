#pragma once
// The IPC front end "kavo_ispserver" and its thread.
#include "ispsettings.h"

namespace kavo {
namespace isp {

// Starts serving ISP requests on the live document `settings` (which it changes in place); 0, or
// the failure of the front end (the server then runs without IPC).
int startExtAPIThread(IspSettings* settings);

}  // namespace isp
}  // namespace kavo
