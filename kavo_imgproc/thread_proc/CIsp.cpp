// Holds the place of the image controller until the controller itself lands: start-up and stop
// call these in their order and nothing more happens.
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

CIsp::CIsp() = default;
CIsp::~CIsp() = default;
int CIsp::openDevices() { return 0; }
int CIsp::closeDevices() { return 0; }
int CIsp::initialize(SystemParameters*) { return 0; }
int enable_aaa(CIsp*, int) { return 0; }
int ipc_reset_mirror_state(CIsp*) { return 0; }

}  // namespace isp
}  // namespace kavo
