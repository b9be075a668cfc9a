#pragma once
// The ISP server's main thread: start-up, the run-state loop with re-initialisation, and the
// orderly stop.
#include "ispsettings.h"

namespace kavo {
namespace isp {

// The program: 0 after an orderly stop, -1 when start-up fails.
int ispServerMain();

// SIGINT and SIGTERM: records the signal and asks for a stop; the main loop does the rest.
void signal_callback_handler(int signum);

// The step shared by start-up and re-initialisation: initialise the controller, (re)start the 3A
// thread and enable 3A.
void startIspProcessing();

// Polls the run state every 50 ms, re-initialises the image pipeline with `settings` when asked
// to, and returns once a stop is asked for.
void runStateLoop(IspSettings& settings);

}  // namespace isp
}  // namespace kavo
