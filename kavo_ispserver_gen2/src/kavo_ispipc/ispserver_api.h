#pragma once
// The IPC front end "kavo_ispserver" and its thread.
#include "ispsettings.h"

namespace kavo {
namespace isp {

// Starts serving ISP requests on the live document `settings` (which it changes in place); 0, or
// the failure of the front end (the server then runs without IPC).
int startExtAPIThread(IspSettings* settings);

// Ends the IPC thread after the pass in progress, waits for it and closes the endpoint; nothing
// when it never started. The stop sequence calls it before it deletes what the thread uses.
void stopExtAPIThread();

// A copy of the live document, taken under the lock the IPC thread changes it under: a
// re-initialisation applies the copy, so the IPC thread never waits for the image pipeline.
IspSettings copyLiveSettings(IspSettings& settings);

}  // namespace isp
}  // namespace kavo
